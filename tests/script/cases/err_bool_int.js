var b = true;
var n = b + 1;
