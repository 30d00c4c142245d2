var f = 1.5;
var n = f << 1;
