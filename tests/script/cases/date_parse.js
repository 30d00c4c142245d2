// The accepted date texts, with and without separators, seconds,
// milliseconds and zone; a text without a zone takes the zone's offset.
var TZ = "Asia/Tokyo";
var texts = ["2024-02-29T12:34:56.789Z", "20240229T1234", "2024-02-29T12:34+01:00", "2024-02-29T12:34:56-05:30",
             "20240229T123456.001+01", "2024-02-29Z", "202402-29", "2024-0229T23:59:59.999-00:30",
             "2023-02-29T00:00Z", "1969-12-31T23:59:59.999Z"];
for (var i = 0; i < texts.length; i++) {
    var d = Date.parse(texts[i]);
    print(texts[i], d.getTime(), d.toJSON());
}
// Construction: now, milliseconds (32- or 64-bit), and the class methods.
var n = new Date();
print(n.getTime() > 1700000000000L, Date.now().getTime() >= n.getTime());
print(new Date(86400000).toJSON(), new Date(4102444800000L).toJSON());
var t = Date.today();
print(t.format("%H:%M:%S"), t.getTime() % 1000);
print(Date.tomorrow().getTime() - t.getTime(), t.getTime() - Date.yesterday().getTime());
var s = new Date(0);
s.setTime(1709210096789L);
print(s.toJSON(), s.setTime(5L), s.getTime());
