// max-memory-mb: 16
// Arrays cost no text, but what they hold counts against the allowance too.
var a = [];
for (var i = 0; i < 1000000; i++) { a = [a, a]; }
print("kept them all");
