var o = {'a': 1};
print(o.missing);
var v = o.missing.x;
