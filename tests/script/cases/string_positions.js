// Character positions count UTF-8 characters; length counts bytes.
var s = 'héllo wörld';
print(s.length);
print(s.charAt(1), s.charAt(7), s.charAt(0));
print(s.charCodeAt(1), s.charCodeAt(0));
print(s.substring(1, 4), s.substring(4, 1), s.substring(-5, 2));
print(s.substring(6), s.substring(6, 100));
print(s.slice(-5), s.slice(-5, -3), s.slice(0, 100));
print('[' + s.slice(20) + ']', '[' + s.slice(3, 1) + ']', '[' + s.slice(-20) + ']', '[' + ''.slice(0) + ']');
var euro = '€';
print(euro.length, euro.charCodeAt(0));
var face = '😀';
print(face.length, face.charCodeAt(0), ('a' + face + 'b').charAt(2), ('a' + face + 'b').slice(1, 2) == face);
print('ABC def'.toLowerCase(), 'Größe'.toUpperCase(), 'MiXeD'.toLocaleLowerCase(), 'MiXeD'.toLocaleUpperCase());
print('ab'.concat('c', 1, true, null), 'x'.concat());
var up = 'abc'.toUpperCase;
print(up());
