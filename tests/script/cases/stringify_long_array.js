// 110,000 numbers: more elements than a generic text form prints, well
// within the longest string.
var a = Array.of(110000); for (var i = 0; i < 110000; i++) { a[i] = i; }
print(JSON.stringify(a).length);
