var s = 'abc';
var c = s[0];
