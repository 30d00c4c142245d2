// A date joined to a string shows the same local time as the date printed
// alone: both follow the script's TZ.
var TZ = "Asia/Tokyo";
var d = new Date(0);
print(d);
print("" + d);
print(d + "!");
var s = "at ";
s = s + d;
print(s);
TZ = "America/New_York";
print("" + d);
