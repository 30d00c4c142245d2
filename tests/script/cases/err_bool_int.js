// one script per line
// A boolean meets only another boolean, a double or a 64-bit integer in
// arithmetic; next to any other operand, an object included, the operator
// is not implemented.
var b = true; var n = b + 1;
var b = true; var n = b * 1.5F;
var b = true; var n = b < [1];
var o = {'a': 1}; var n = o == false;
