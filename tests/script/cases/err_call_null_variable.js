// Calling a variable that holds null is a call on a null object.
var cb = null;
cb(1);
