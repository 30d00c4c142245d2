// Patterns in the Java syntax over UTF-8: whole-text test, flags, lookaround,
// named groups and back-references, possessive quantifiers and atomic groups,
// class intersection, quoting, and patterns built at run time.
print(/b/.test('abc'), /a.c/.test('abc'), /ABC/i.test('abc'), /(?i)abc/.test('ABC'));
print(/x/gi, /a\/b/m, /[0-9]+/);
print(/a.b/m.test('a\nb'), /a.b/.test('a\nb'));
print('foobar foobaz'.replace(/foo(?=baz)/, 'X'), 'foobar foobaz'.replace(/foo(?!bar)/, 'X'));
print('price: $42'.search(/(?<=\$)\d+/), 'a1 b2'.replace(/(?<!a)\d/g, '#'));
print(/(?<y>\d{4})-(?<m>\d\d)/.test('2024-02'), /(?<w>a+)b\k<w>/.test('aabaa'), /(?<w>a+)b\k<w>/.test('aaba'));
print(/a*+a/.test('aaa'), /a*a/.test('aaa'), /(?>a*)a/.test('aaa'), /a++b/.test('aab'));
print('abcde'.replace(/[a-z&&[^aeiou]]/g, ''), /\Q.*\E/.test('.*'), /\Q.*\E/.test('ab'));
print(/\p{L}+/.test('héllo'), /h.llo/.test('héllo'), /^.{5}$/.test('héllo'));
var p = new ZephanPattern('[0-9]+');
print(p, p.test('123'), p.test('12a'), 'a12b'.replace(p, '#'), new ZephanPattern(5).test('5'));
p.anything = 1;
print(p.source, p.anything);
var bad = new ZephanPattern('(unclosed');
print(bad, bad.test('(unclosed'), 'x(unclosed'.search(bad), 'a(b'.replace(bad, 'z'), 'a(b'.split(bad));
