// max-steps: 1000
var i = 0;
while (true) { i++; }
