var s = 'a';
var n = -s;
