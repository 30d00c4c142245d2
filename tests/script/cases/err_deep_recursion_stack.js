// max-depth: 10000000
// Plain recursion with a call depth allowed far beyond any stack: the
// stack's own bound ends it with the error of calls nested too deep.
function f(n) { if (n == 0) { return 0; } else { return 1 + f(n - 1); } };
print(f(10));
print(f(10000000));
