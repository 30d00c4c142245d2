// max-memory-mb: 48
// JSON.parse makes one value per element: trees kept in a short loop reach
// the run's memory allowance in far fewer steps than the memory is
// otherwise looked at after, and end the run as kept texts do.
var s = '1,';
for (var i = 0; i < 17; i++) s = s + s;
var text = '[' + s + '1]';
var kept = [];
for (var k = 0; k < 40; k++) kept[k] = JSON.parse(text);
print(kept.length);
