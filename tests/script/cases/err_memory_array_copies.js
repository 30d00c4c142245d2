// max-memory-mb: 48
// Each slice copies the texts of the array's strings. Copies kept in a short
// loop reach the run's memory allowance in far fewer steps than the memory
// is otherwise looked at after, and end the run as kept texts do.
var s = 'x';
for (var i = 0; i < 22; i++) s = s + s;
var four = [s];
var kept = [];
for (var k = 0; k < 60; k++) kept[k] = four.slice(0);
print(kept.length);
