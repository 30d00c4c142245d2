if (true) { let b = 1; }
print(b);
