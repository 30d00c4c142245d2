// In a[i] = value the element reference is made first, the value is
// evaluated next, and the element is stored last: an index that names a
// variable is read when the element is stored. Every shape of target
// agrees.
var k = 0;
var b = [7, 7, 7];
b[k] = (k = 2);
print(b);
var m = 0;
var c = {"x": [7, 7, 7]};
c.x[m] = (m = 2);
print(c.x);
// A computed index is a value from the start.
var n = 0;
var d = [7, 7, 7];
d[n + 0] = (n = 2);
print(d);
// The compound form reads the element before the value changes the index.
var j = 0;
var e = [7, 7, 7];
e[j] += (j = 1);
print(e);
