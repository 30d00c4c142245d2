// A repeated key is a syntax error.
var o = JSON.parse("{'a': 1, 'b': 2}");
print(o.b);
JSON.parse("{'a': 1, 'a': 2}");
