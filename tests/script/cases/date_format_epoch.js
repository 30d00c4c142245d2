// The seconds since 1970 that format's %s gives are the instant's own,
// whatever zone the script names: the C library would compute them from
// the local fields as if they were in the process's zone.
var d = Date.parse("2024-03-10T07:30:00Z");
print(d.format("%s"));
var TZ = "America/New_York";
print(d.format("%s"), d.format("%H:%M %s|%10s|%%s|%%%s"));
TZ = "Asia/Kolkata";
print(new Date(0).format("%s"), new Date(-1000).format("[%s]"));
TZ = "<+0530>-5:30";
print(d.format("%s %Y"));
// A width that does not fit leaves the whole result empty, as before.
print(d.format("%300s") == "", d.format("%200s").length);
