// one script per line
// 17 MiB of text, as 17 references to one MiB or as a few references to a
// part that holds it, is more than a script string may hold.
var s = 'x'; for (var k = 0; k < 20; k++) { s = s + s; } var a = Array.of(17); for (var i = 0; i < 17; i++) { a[i] = s; } JSON.stringify(a);
var s = 'x'; for (var k = 0; k < 20; k++) { s = s + s; } var a = [s]; var b = []; for (var i = 0; i < 20; i++) { b = b.concat([a]); } 'x'.concat(b);
var s = 'x'; for (var k = 0; k < 20; k++) { s = s + s; } var a = [s]; var b = []; for (var i = 0; i < 20; i++) { b = b.concat([a]); } [b].join();
var s = 'x'; for (var k = 0; k < 20; k++) { s = s + s; } var a = [s]; var b = []; for (var i = 0; i < 20; i++) { b = b.concat([a]); } 'x' + b;
