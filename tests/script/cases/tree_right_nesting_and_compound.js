x = a - b - c;
x *= 3;
// The tree, not the run, is compared: binary operators nest to the right; a compound assignment uses its
// target twice.
