var i = 0;
while (true) { i++; if (i == 3) { break; } }
print(i);
var n = 0;
var k = 0;
while (k < 5) { k++; if (k % 2 == 0) { continue; } n = n + k; }
print(n);
var s = 0;
for (var j = 0; j < 4; j++) { s += j; }
print(s);
var d = 0;
do { d++; } while (d < 3);
print(d);
var e = 10;
do { e++; } while (false);
print(e);
var t = 0;
for (var a = 0; a < 3; a++) { for (var b = 0; b < 3; b++) { if (b == 1) { break; } t++; } }
print(t);
var x = 2;
x *= 3;
print(x);
x -= 1;
print(x);
x /= 2;
print(x);
x %= 2;
print(x);
var c = 1;
print(c++);
print(c);
print(++c);
print(c--);
print(--c);
var fl = 1.5;
fl++;
print(fl);
function stops() { print('in'); break; print('not after break'); };
var turns = 0;
while (turns < 3) { turns++; stops(); print('not after the call'); }
print(turns);
