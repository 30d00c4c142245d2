// The date-time text scanner of the script Date object. The whole reading,
// with the offset of the zone for a text without one, is
// DatePrototype::parseText (script/date.h), which other libraries use too.
//
// Accepted, in this order and with nothing after it: a four-digit year; an
// optional '-' and a two-digit month; an optional '-' and a two-digit day;
// optionally 'T', a two-digit hour, an optional ':' and two-digit minutes,
// then optionally an optional ':' and two-digit seconds, then optionally '.'
// and exactly three digits of milliseconds; then the zone: 'Z', or '+'/'-'
// with two-digit hours and optionally ':' and two-digit minutes, or the end
// of the text (the zone's offset then comes from the caller). Only the form
// is checked: the fields are combined arithmetically, so a day 30 in
// February rolls into March.
//
// Thread-safety: pure functions.
#ifndef DRV_SCRIPT_DATE_PARSE_H
#define DRV_SCRIPT_DATE_PARSE_H

#include <stddef.h>

struct DateText {
    int year, month, day;  // month and day 1-based as written
    int hour, minute, second, millis;
    bool hasZone;
    int offsetMinutes;  // east of UTC; 0 without a zone
};

// Reads text into out. 0, or 24 ("Illegal Argument") with *errorAt set to
// the byte offset where the text stopped fitting.
int date_scanText(const char* text, DateText* out, size_t* errorAt);

// Milliseconds since 1970 UTC of out's fields, less its offset.
long long date_textMillis(const DateText& out);

#endif
