// A global split has one budget for all its searches, like replace.
var run = 'aaaaaaaaaaaaaaaaaaaaaac';
var s = '';
for (var i = 0; i < 500; i++) { s = s + run; }
print(s.length);
s.split(/(a+)+b|c/g);
