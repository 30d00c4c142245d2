var z = 0;
var n = 7 / z;
