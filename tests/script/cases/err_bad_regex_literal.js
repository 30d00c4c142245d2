// A pattern that does not compile is a lexical error.
var r = /a(b/;
