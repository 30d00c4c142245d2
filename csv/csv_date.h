// How the CSV reader turns date columns into date values: two replaceable
// hooks, one for text and one for script objects, so that the scripting
// language's Date parser can take over in one assignment:
//
//   csv_dateHooks.parseText = [](const char* t, long long* ms) { ... complexParse ... };
//
// The built-in text parser understands the ISO-8601 forms that exports
// write: "YYYY-MM-DD", then optionally "T" or a space and "hh:mm", ":ss",
// ".fraction", then optionally "Z" or an offset "+hh:mm" / "-hhmm". Without
// an offset the time is local time. The built-in object hook knows no
// objects.
//
// Thread-safety: set the hooks before any reader starts; they are then only
// read, and each must be safe to call from any thread.
#ifndef DRV_CSV_CSV_DATE_H
#define DRV_CSV_CSV_DATE_H

class Translatable;

struct CSVDateHooks {
    // True with *ms (milliseconds since 1970-01-01 UTC) set when text is a date.
    bool (*parseText)(const char* text, long long* ms);
    // True with *ms set when object is a date object.
    bool (*objectMillis)(const Translatable* object, long long* ms);
};

extern CSVDateHooks csv_dateHooks;

// The built-in text parser described above.
bool csv_parseIsoDate(const char* text, long long* ms);

#endif
