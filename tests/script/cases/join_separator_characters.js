// join keeps up to 79 characters of its separator, however many bytes they
// take; length counts bytes (each é is two).
var u = "";
for (var i = 0; i < 50; i++) { u = u + "é"; }
print(u.length);
var j = [1, 2].join(u);
print(j.length, j == "1" + u + "2");
// A longer separator keeps its first 79 characters, whole.
var w = "";
for (var i = 0; i < 79; i++) { w = w + "é"; }
var k = [1, 2].join(u + u);
print(k.length, k == "1" + w + "2");
print([1, 2, 3].join(w + "xyz") == "1" + w + "2" + w + "3");
