// max-memory-mb: 48
// A run that keeps what it builds ends once the process has grown by the
// run's allowance, long before its step budget would.
var s = "x";
while (s.length < 1000000) { s = s + s; }
var kept = [];
while (kept.length < 1000) { kept[kept.length] = s + ""; }
print(kept.length);
