// replace with strings (every occurrence) and patterns (first, or every one
// with g; the replacement is literal), and split with strings and patterns.
print('a-b-c'.replace('-', '+'), 'aaa'.replace('a', 'aa'), 'abc'.replace('', 'x'), 'a.b.c'.replace('.', ''));
print('héllo'.replace('é', 'e'), 'abc'.replace('abc', ''), 'abc'.replace('x', 'y'));
print('a1b22c'.replace(/[0-9]+/g, '#'), 'a1b22c'.replace(/[0-9]+/, '#'));
print('a1b22c'.replace(/([0-9])/, '<$1>'), 'ABC'.replace(/b/i, 'x'));
print('abc'.replace(/x*/g, '-'), 'é'.replace(/x*/g, '-'), 'aa'.replace(/a*/g, '-'));
print('a,b,,c'.split(','), 'a,b,'.split(','), ',a'.split(','));
print('abc'.split(''), 'abc'.split(), ''.split(','), ''.split(), 'x'.split('x'));
print('a--b--'.split('--'), 'héllo'.split('l'));
print('a1b2c3'.split(/[0-9]/g), '1a2b'.split(/[0-9]/g), 'a1b2c'.split(/[0-9]/));
print('a b  c'.split(/ +/g, 1), 'abc'.split(/x*/g), 'ab'.split(/$/));
