// max-memory-mb: 48
// A plain assignment copies a text. Copies of one long text kept in a short
// loop, a few steps each, reach the run's memory allowance long before the
// memory would otherwise be looked at, and end the run as kept texts do.
var s = 'x';
for (var i = 0; i < 20; i++) s = s + s;
var kept = [];
for (var k = 0; k < 3000; k++) kept[k] = s;
print(kept.length);
