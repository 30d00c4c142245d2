var a = [];
a[0] = a;
print(a.length);
var s = '' + a;
