// max-memory-mb: 48
// Strings are values: an array made by concat holds copies of their texts.
// A concat that would copy more text than the run may grow by is refused
// before it copies any.
var s = 'x';
for (var i = 0; i < 20; i++) s = s + s;
var one = [s];
var many = one.concat(one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one, one);
print(many.length);
