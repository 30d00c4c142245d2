// one script per line
// Each syntax error is the first failure, reported where it is; columns of
// the first line count from 0, reported as 1 for the first character.
function f(a) { return a; }
x = !!y;
x = - -y;
x = {k: 1};
return;
for (;;) x;
x = new C;
x = new a.b.C + 1;
let class = 1;
var x y;
var x : 1;
if x
while (a b
x = 'abc
x = /* open
x = [1, 2
x = {'a': 1 'b': 2};
switch (x) { case y: }
switch (x) { case 1 }
do x = 1; until (y);
do x = 1; while (y)
for (i = 0; i < 3 i++) x;
x = a ? b;
f(1, 2;
x = a[1;
x = function g() {};
function (a) {};
function f(a,) {};
function f(1) {};
function f() x;
try { x; }
