// A character position names the same character for charAt and
// charCodeAt, also in text that is not well-formed UTF-8: a lead byte
// followed by more continuation bytes than one character steps over, or a
// lead byte of a five-byte form. The code is that of the character charAt
// gives, read on its own.
var s = '\xc3\xa9\x80\x80\x80\x80x';
print(s.charAt(0).length, s.charAt(1).length, s.charAt(2));
print(s.charCodeAt(0) == s.charAt(0).charCodeAt(0), s.charCodeAt(1) == s.charAt(1).charCodeAt(0));
print(s.charCodeAt(2));
var t = '\xf8\x88\x80\x80\x80!';
print(t.charAt(0).length, t.charCodeAt(0) == t.charAt(0).charCodeAt(0), t.charAt(1).length, t.charCodeAt(2));
var u = 'a\xe2\x82\xac\x80b';
print(u.charAt(1).length, u.charCodeAt(1) == u.charAt(1).charCodeAt(0), u.charCodeAt(2));
var v = 'a\xe2\x82\xacb';
print(v.charCodeAt(1), v.charCodeAt(2));
