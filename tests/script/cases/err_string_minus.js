var s = 'a';
var t = s - 'b';
