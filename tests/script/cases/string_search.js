// The search methods work in bytes, with the edge rules of each method.
var s = 'abcabc';
print(s.indexOf('c'), s.indexOf('c', 3), s.indexOf('x'), s.indexOf('c', 6), s.indexOf('c', 50));
print(s.indexOf(''), s.indexOf('', 4), s.indexOf('a', -3), ''.indexOf(''));
print(s.lastIndexOf('b'), s.lastIndexOf('b', 3), s.lastIndexOf('b', 0), s.lastIndexOf('a', -2), s.lastIndexOf('b', -2));
print(s.lastIndexOf('abc'), s.lastIndexOf('', 2), s.lastIndexOf('', 99), s.lastIndexOf('abcabcabc'));
print(s.includes('ca'), s.includes('ca', 3), s.includes('ca', 2), s.includes('', 6), s.includes('', 7));
print(s.startsWith('ab'), s.startsWith('ca', 2), s.startsWith('a', -1), s.startsWith('', 6), s.startsWith('', 7));
print(s.endsWith('bc'), s.endsWith(''), s.endsWith('abc', 6), s.endsWith('ab', 2), s.endsWith('abcabcx'));
var m = 'héllo';
print(m.indexOf('l'), m.lastIndexOf('l'), m.includes('é'), m.startsWith('hé'), m.endsWith('llo'));
print('a1b'.indexOf(1), 'a1b'.search(/[0-9]/), m.search(/l+/), m.search(/x/));
