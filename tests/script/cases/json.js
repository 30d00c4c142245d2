// JSON text in and out: every value kind, key order, escapes, the lexer's
// extras (single quotes, comments, trailing commas), and round trips.
var v = JSON.parse("{'s': 'text', 'i': 42, 'n': -7, 'd': 2.5, 'b': true, 'f': false, 'z': null, 'a': [1, [2, []], {}], 'o': {'x': 'y'}}");
print(JSON.stringify(v));
print(typeof v.i, typeof v.s, typeof v.z, typeof v.a, v.a.length, v.o.x, v.d + 1, v.n * 2, v.b && true);
var again = JSON.parse(JSON.stringify(v));
print(JSON.stringify(again) == JSON.stringify(v), again.a[1][0], again.o.x);
var e = JSON.parse('["tab\\there", "quote\\"q", "back\\\\slash", "nl\\nx", "\\u0041\\x42"]');
print(e[0] == 'tab\there', e[1], e[2], e[3] == 'nl\nx', e[4]);
print(JSON.stringify(e));
var e2 = JSON.parse(JSON.stringify(e));
print(e2[0] == e[0], e2[1] == e[1], e2[2] == e[2], e2[3] == e[3], e2[4] == e[4]);
var u = JSON.parse(JSON.stringify(['é']));
print(JSON.stringify(['é']), u[0] == 'é', u[0].length);
print(JSON.stringify('a"b'), JSON.stringify(5), JSON.stringify(1.5), JSON.stringify(null), JSON.stringify(true));
var q = JSON.parse('[2147483648, 2147483648]');
print(q[0], q[1], q[1] === 2147483648L);
print(JSON.stringify(JSON.parse("{'a': 1, /* note */ 'b': [1, 2,],}")), JSON.stringify(JSON.parse('[]')));
var cyc = [1];
cyc[1] = cyc;
print(JSON.stringify(cyc) == null);
var deep = '[[[[[[[[[[';
var close = ']]]]]]]]]]';
deep = deep + deep + deep + deep + deep;
close = close + close + close + close + close;
print(JSON.stringify(JSON.parse(deep + close)).length);
