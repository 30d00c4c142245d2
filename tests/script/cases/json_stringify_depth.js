// JSON.stringify nests as deep as the text forms do (64 arrays or objects)
// and no deeper: a deeper value has no JSON form, and the answer is null.
var a = [];
for (var i = 0; i < 63; i++) { a = [a]; }
var s = JSON.stringify(a);
print(s.length, s == "" + a);
print(JSON.stringify([a]));
var o = {"k": 1};
for (var i = 0; i < 63; i++) { o = {"k": o}; }
print(JSON.stringify(o).length);
print(JSON.stringify({"k": o}));
// Far deeper than any stack allows for a recursive writer.
var d = [];
for (var i = 0; i < 20000; i++) { d = [d]; }
print(JSON.stringify(d));
