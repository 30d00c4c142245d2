function f(a, b) { return b; };
f(1);
