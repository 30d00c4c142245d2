// 100,000 nested arrays: a syntax error, not a stack overflow.
var s = '[[[[[[[[[[';
for (var i = 0; i < 4; i++) { s = s + s + s + s + s + s + s + s + s + s; }
print(s.length);
JSON.parse(s);
