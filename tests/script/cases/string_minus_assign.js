// Subtracting from a string variable converts the string, it never appends:
// a string and an integer meet in 64-bit arithmetic.
var s = "5";
s = s - 1;
print(s, typeof s);
var t = "10";
t -= 3;
print(t);
var u = "7";
u = u + 1;
print(u);
