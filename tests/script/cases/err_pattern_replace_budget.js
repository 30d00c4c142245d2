// Every search of a global replace is bounded, and so is the replace as a
// whole: each of these 500 matches costs heavy backtracking through 22 a's
// (within the bound of one search), and all of them together are refused.
var run = 'aaaaaaaaaaaaaaaaaaaaaac';
var s = '';
for (var i = 0; i < 500; i++) { s = s + run; }
print(s.length);
s.replace(/(a+)+b|c/g, '-');
