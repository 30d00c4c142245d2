// 399 nested calls, each adding a chain of 20 ones: within the limits of
// an ordinary stack.
function f(n) { if (n == 0) { return 0; } else { return 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + f(n - 1); } };
print(f(399));
