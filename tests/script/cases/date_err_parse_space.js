// A space between date and time is not one of the accepted forms.
var d = Date.parse("2024-02-29 12:34");
