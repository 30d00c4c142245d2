var n = null;
var m = n + 1;
