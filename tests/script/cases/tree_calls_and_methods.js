a.b(1); a.b.c(1); new p.Q(); a.b();
// The tree, not the run, is compared: a.b(1) calls the member a.b; a.b.c(1) is a method call of c on a.b;
// once a `new` has been parsed, even the first form is a method call.
