// The same identifiers evaluated again and again follow the scope chain as
// it stands at each evaluation, not as it stood the first time.
var v = 'global';
function show() { return v; };
print(show());
function shadow() { var v = 'shadowed'; return show(); };
print(shadow());
print(show());
// Frames that define their variables in a different order on each call.
function order(first) {
    var r = 0;
    if (first) { var a = 'a1'; var b = 'b1'; } else { var b = 'b2'; var a = 'a2'; }
    r = a + b;
    return r;
};
print(order(true), order(false), order(true));
// A missing argument moves the variables declared after it.
function args(p, q) { var c = 'c' + p; var out = c; return out; };
print(args(1), args(2, 3), args(4));
// A loop reading a global while a callee declares and drops a local of
// the same name.
var n = 10;
function inner() { var n = 1; return n; };
var total = 0;
for (var i = 0; i < 3; i++) { total = total + n + inner(); }
print(total);
// A let shadows for the rest of its block only.
var w = 1;
var seen = '';
for (var j = 0; j < 2; j++) { seen = seen + w; { let w = 5; seen = seen + w; } seen = seen + w; }
print(seen);
// A variable declared only on some calls.
function maybe(d) { if (d) { var extra = 'x'; } return typeof extra; };
print(maybe(true), maybe(false), maybe(true));
// A function that assigns its own name while it runs still finishes.
function once() { once = 7; return 'ran'; };
print(once(), once);
// Deep recursion finds the function through every caller's frame.
function depth(k) { var r = k; if (k > 0) { r = depth(k - 1) + 1; } return r; };
print(depth(50));
// A class name denotes its class even where a variable has that name.
var Date = 5;
print(Date.parse('2024-01-01T00:00:00.000Z').getTime());
// 32-bit arithmetic wraps; strict equality also compares kinds.
var big = 2147483647;
print(big + 1, 3 === 3, 3 === 3.0, 7 - 10, 4 * 5 < 21, 2 - 3 - 4);
