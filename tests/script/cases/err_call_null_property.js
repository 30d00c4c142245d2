// Calling a property that holds null is a call on a null object.
var o = {"cb": null};
o.cb(1);
