// A method called on a property that holds null: a call on a null object.
var o = {"p": {"q": null}};
o.p.q.m(1);
