var s = 'héllo';
print(s.charAt(4));
print(s.charAt(5));
