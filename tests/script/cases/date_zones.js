// Local time around daylight-saving changes, month ends and leap days in
// two fixed zones, chosen through the script's TZ variable.
var TZ = "America/New_York";
print(Date.parse("2024-03-10T06:59:59Z"));
print(Date.parse("2024-03-10T07:00:00Z"));
print(Date.parse("2024-11-03T05:59:59Z"));
print(Date.parse("2024-11-03T06:00:00Z"));
// setDate keeps the wall-clock time across a change of offset.
var noon = Date.parse("2024-03-09T17:00:00Z");
noon.setDate(10);
print(noon, noon.toJSON());
// 01:30 happens twice on November 3: the earlier instant is taken.
var twice = Date.parse("2024-11-02T05:30:00Z");
twice.setDate(3);
print(twice);
// Its later, EST, reading stays where it is when the day is set again.
var later = new Date(1730615400000L);
print(later.getTime(), later);
later.setDate(later.getDate());
print(later.getTime(), later);
// Month ends in a leap year and in a common one.
var m = Date.parse("2024-01-31T17:00:00Z");
m.setDate(32);
print(m.toJSON());
m.setDate(30);
print(m.toJSON());
m.setDate(0);
print(m.toJSON(), m.getDate());
var common = Date.parse("2023-02-28T17:00:00Z");
common.setDate(29);
print(common.toJSON());
var leap = Date.parse("2024-02-29T14:00:00Z");
print(leap.getDate());

TZ = "Australia/Sydney";
print(leap.getDate(), leap);
print(Date.parse("2024-04-06T15:59:59Z"));
print(Date.parse("2024-04-06T16:00:00Z"));
print(Date.parse("2024-10-05T16:00:00Z"));
var spring = Date.parse("2024-10-05T02:00:00Z");
spring.setDate(6);
print(spring, spring.toJSON());
// 02:30 on October 6 does not exist: it is read with the offset before.
var gap = Date.parse("2024-10-04T16:30:00Z");
gap.setDate(6);
print(gap, gap.toJSON());
