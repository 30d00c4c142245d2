// A string that is not a number cannot be subtracted from.
var w = "abc";
w = w - 1;
