var s = 'a';
s++;
