// Array methods: join, slice and concat (sharing element objects), includes,
// of and isArray.
var a = [1, 'two', 3.5, null, [4, 5], {'k': 'v'}];
print(a.join());
print([1, 2, 3].join(' - '), [].join('-') == '', ['x'].join('-'), [1, 2].join(''));
print([1, 2].join('0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890'));
var sl = [10, 20, 30, 40];
print(sl.slice(1), sl.slice(-2), sl.slice(1, 3), sl.slice(1, -1));
print(sl.slice(3, 1), sl.slice(9), sl.slice(-9), sl.slice(2, 99), sl.length);
var inner = [1];
var outer = [inner, 2];
var copy = outer.slice(0);
copy[0][0] = 'changed';
copy[1] = 'x';
print(inner[0], outer[1], copy[1]);
print([1, 2].concat([3], [], [4, 5]), [].concat());
var joined = outer.concat([inner]);
joined[2][0] = 'again';
print(inner[0], joined.length, outer.length);
print([1, 2, 3].includes(2), [1, 2, 3].includes(2, 2), [1, 2, 3].includes('2'), ['a', null].includes(null));
print([1, 2].includes(2L), ['x', 'y'].includes('y', -5), [[1]].includes([1]), [inner].includes(inner));
print([].isArray(), Array.isArray([1]), Array.isArray('x'), AnyArray.isArray({}));
var n = Array.of(3);
print(n.length, n[0], n.join(), [].of(0).length);
n[1] = 'set';
print(n.join('|'));
var j = sl.join;
print(j('+'));
