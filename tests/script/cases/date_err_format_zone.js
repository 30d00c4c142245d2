// The zone fields are refused in a format.
var d = new Date(0);
d.format("%d %Z");
