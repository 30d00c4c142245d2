// Arrays have no sort method.
var a = [3, 1, 2];
a.sort();
