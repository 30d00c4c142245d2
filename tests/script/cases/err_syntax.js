print('not run');
var a = !!true;
