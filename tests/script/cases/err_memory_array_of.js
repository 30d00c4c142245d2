// max-memory-mb: 48
// Array.of reserves its slots at once: large arrays kept in a short loop
// reach the run's memory allowance in far fewer steps than the memory is
// otherwise looked at after, and end the run as kept texts do.
var kept = [];
for (var k = 0; k < 24; k++) kept[k] = Array.of(2097152);
print(kept.length);
