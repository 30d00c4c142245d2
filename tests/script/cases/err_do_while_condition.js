var n = 5;
do { break; } while (n);
