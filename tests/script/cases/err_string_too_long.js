var s = 'x';
for (var i = 0; i < 40; i++) { s = s + s; }
