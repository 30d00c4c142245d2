nothing(1);
