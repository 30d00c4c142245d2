// max-memory-mb: 48
// One split of a text made of separators makes a value for every piece,
// many times the text's size: a split whose pieces would hold more than the
// run may grow by is refused.
var s = ',';
for (var i = 0; i < 20; i++) s = s + s;
print(s.split(',').length);
