var s = 'x';
var n = s * 2.5;
