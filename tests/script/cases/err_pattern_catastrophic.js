// A catastrophic pattern ends instead of running for ever: test and search
// find nothing, split (like replace) fails.
var s = 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!';
print(/(a+)+b/.test(s), s.search(/(a+)+b/));
s.split(/(a+)+b/g);
