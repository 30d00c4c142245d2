(null)(1);
