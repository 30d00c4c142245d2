// max-memory-mb: 48
// A split makes one value per piece: pieces kept in a short loop reach the
// run's memory allowance in far fewer steps than the memory is otherwise
// looked at after, and end the run as kept texts do.
var s = ',';
for (var i = 0; i < 18; i++) s = s + s;
var kept = [];
for (var k = 0; k < 40; k++) kept[k] = s.split(',');
print(kept.length);
