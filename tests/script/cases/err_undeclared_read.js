var a = 1;
print(a + notDeclared);
