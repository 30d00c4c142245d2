// max-memory-mb: 48
// The same for a split by a pattern.
var s = ',';
for (var i = 0; i < 20; i++) s = s + s;
print(s.split(/,/g).length);
