var z = 0L;
var n = 7 % z;
