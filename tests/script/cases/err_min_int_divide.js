var m = -2147483647 - 1;
print(m % -1);
var n = m / -1;
