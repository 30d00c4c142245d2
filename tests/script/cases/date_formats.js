// Every text form of one instant: the UTC ones fixed, the local ones in
// Tokyo (no daylight saving), and the printed form in string contexts.
var TZ = "Asia/Tokyo";
var d = Date.parse("2024-02-29T12:34:56.789Z");
print(d.getTime());
print(d.toJSON());
print(d.toISOString());
// JSON.stringify gives the same text as toJSON.
print(JSON.stringify(d) == d.toJSON());
print(d.toISOStringFileFormat());
print(d.toISOStringFileFormatLong());
print(d.toTimestamp());
print(d.toGMTString());
print(d.toUTCString());
print(d.toLocaleDateString());
print(d.toLocaleString());
print(d.toLocaleTimeString());
print(d.format("%Y-%m-%d %H:%M %j %A"));
print(d.format("%Y"));
print(d);
print(d.getDate(), d.getDay());
// Milliseconds stay within 0-999 before 1970 too.
var before = new Date(-1);
print(before.getTime(), before.toJSON(), before.toISOStringFileFormatLong());
var e = new Date(1000005);
print(e.getTime(), e.toTimestamp());
// A zone given as a POSIX rule rather than a zone file.
TZ = "<+0530>-5:30";
print(new Date(0));
TZ = "EST5EDT,M3.2.0,M11.1.0";
print(new Date(1720000000000L));
// The ends of the range.
print(new Date(8640000000000000L).toJSON(), new Date(-8640000000000000L).toJSON());
