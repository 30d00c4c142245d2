// one script per line
// setTime takes the 64-bit milliseconds getTime gives; a 32-bit integer is
// another type.
var d = new Date(0); d.setTime(5);
var d = new Date(0); d.setTime(5.0);
// A date has no toString method of its own: only the argument-less
// conversion is answered, before any method is looked for.
var d = new Date(0); d.toString(1);
// The minutes of a zone come only after a colon.
Date.parse('2024-02-29T12:34:56-0530');
Date.parse('2024-02-29T12:34+01:0');
