// A construction needs its argument list, even an empty one.
print('not run');
var d = new Date;
