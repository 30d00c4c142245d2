if (a) {
  x = 1;
