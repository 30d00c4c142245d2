// Only a function statement declares its name; a function literal assigned
// to a name that no scope declares is an undeclared assignment.
g = function() { return 1; };
print(g());
