var x = 1;
{ let x = 2; }
print(x);
{ var y = 3; }
print(y);
let a = 1;
if (true) { a = 2; }
print(a);
var z = 1;
if (true) { var z = 5; }
print(z);
var k = 0;
while (k < 2) { let inner = k; k++; }
print(typeof inner);
for (var j = 0; j < 4; j++) { }
print(j);
for (let m = 0; m < 2; m++) { }
print(typeof m);
var s1 = 'x';
var s2 = s1;
s2 = s2 + 'y';
print(s1, s2);
var o = {'a': 1};
var p = o;
p.a = 9;
print(o.a);
