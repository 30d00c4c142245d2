var x = true;
var y = x && 1;
