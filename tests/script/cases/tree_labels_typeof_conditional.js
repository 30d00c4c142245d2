case -1: case 'x': default: typeof a < b; c ? a : b = 1;
// The tree, not the run, is compared: typeof takes the comparison after it; the else branch of ?: is an
// assignment; labels stand in any list and attach to the next statement.
