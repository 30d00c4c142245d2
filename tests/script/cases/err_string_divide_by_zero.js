var n = '7' / 0;
