var d = new Date(0);
d.setTime();
