(undefined)(1);
