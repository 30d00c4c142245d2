// Dates reach 100 million days either side of 1970 and no further.
var d = new Date(8640000000000001L);
