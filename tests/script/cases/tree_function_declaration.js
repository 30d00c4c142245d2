function f(a) { let x = a, y; return x; };
// The tree, not the run, is compared: a declaration assigns the function to its name; several names in one
// `var` become an unscoped list.
