function f() { return 1; }
print(f());
