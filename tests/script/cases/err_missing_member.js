// one script per line
// A member a plain value lacks is a ReferenceError wherever no call falls
// back to the value's own methods: read as a property, or called on the
// value of an expression. Called through a variable or a literal, the
// method is the value's (the last two lines).
var s = 'abc'; var n = s.nosuch;
var x = 1; print((x + 1).toString());
var s = 'abc'; print(s.toUpperCase());
print('abc'.toUpperCase());
