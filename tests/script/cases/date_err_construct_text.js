// Only milliseconds construct a date; texts go through Date.parse.
var d = new Date("2024-02-29");
