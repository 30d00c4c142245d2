// max-depth: 3
function f(n) { return f(n + 1); };
f(0);
