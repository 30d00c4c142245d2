var x = 1;
1 = 2;
