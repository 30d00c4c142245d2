// max-depth: 1000000
// The call depth allowed here is far beyond what any thread's stack holds:
// each call also evaluates a chain of fifty additions, and the stack runs
// out first. That ends the run with the error of calls nested too deep.
function f(n) { if (n == 0) { return 0; } else { return 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + f(n - 1); } };
print(f(3));
print(f(100000));
