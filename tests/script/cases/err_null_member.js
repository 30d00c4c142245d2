var n = null.x;
