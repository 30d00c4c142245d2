// Number suffixes are capital letters only: 10l is the number 10 followed
// by the name l, which no rule accepts there.
print('not run');
print(10l);
