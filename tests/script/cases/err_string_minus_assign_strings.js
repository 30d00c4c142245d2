// `-` between two strings is not defined, also as a compound assignment.
var s = "abc";
s -= "b";
