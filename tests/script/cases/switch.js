var x = 0;
switch (2) { case 1: x = 1; case 2: x = 2; case 3: x = 3; }
print(x);
switch (2) { case 1: x = 10; case 2: x = 20; break; case 3: x = 30; }
print(x);
switch (9) { case 1: x = 100; }
print(x);
switch (9) { default: x = 7; case 1: x = 8; }
print(x);
switch ('b') { case 'a': print('A'); case 'b': print('B'); }
switch (-1) { case -1: print('minus one'); }
switch (null) { case null: print('null label'); }
case 5: print('a label outside a switch is ignored');
var hits = 0;
for (var i = 0; i < 3; i++) { switch (i) { case 1: continue; } hits++; }
print(hits);
