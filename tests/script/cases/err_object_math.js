var o = {'a': 1};
var n = o - 1;
