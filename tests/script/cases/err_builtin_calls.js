// one script per line
// Every way a built-in method call can fail answers its own error code.
// Character positions and their arguments.
'abc'.charAt(-1);
'héllo'.charCodeAt(5);
'abc'.charAt();
'abc'.charAt('1');
'abc'.endsWith('c', 4);
'abc'.endsWith('c', -1);
'abc'.indexOf('a', 1L);
'abc'.indexOf();
'abc'.substring();
'abc'.slice(1.5);
// Wrong kinds of search, replace and split arguments.
'abc'.search('b');
'abc'.search();
'abc'.replace(1, 'x');
'abc'.replace('a');
'abc'.split(5);
'abc'.split(',', 'x');
var a = [1]; a[1] = a; 'x'.concat(a);
// Names no prototype answers, and values that are not strings.
'abc'.nosuch();
var n = 5; n.charAt(0);
'abc'.abs();
String.fromCodePoint(65);
String.fromCharCode(72, 'a');
// Arrays.
[1, 2].concat([3], 4);
[1].slice();
Array.of(-1);
Array.of(20000000);
[1].includes();
[1].join(',', 2).x(1);
var a = [1]; a[1] = a; a.join();
// JSON.
JSON.parse('5');
JSON.parse();
JSON.parse('[1, 2');
JSON.parse('[1] 2');
JSON.parse('{a: 1}');
JSON.parse("{'a' 1}");
JSON.parse('[1 2]');
JSON.parse('[1,,2]');
JSON.parse('[-"x"]');
JSON.parse('[undefined]');
JSON.parse('["unterminated]');
JSON.parse('');
JSON.stringify();
JSON.nosuch(1);
// Patterns.
new ZephanPattern();
var r = /a/; r.test();
var r = /a/; r.exec('a');
'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!'.replace(/(a+)+b/g, 'x');
var r = /a/y;
