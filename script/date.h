// Date: the script language's date-time object (an instant to the
// millisecond, with the last broken-down conversion), and DatePrototype,
// its class: construction, the methods scripts call on dates and on the
// class itself (Date.now(), Date.parse(...)), and the text forms for logs,
// file names and database timestamps.
//
// Time zones: local conversions use the zone named by the script variable
// TZ when the current scope holds a non-empty string there, else the
// process's own zone (the TZ environment variable, else the machine's);
// the arithmetic is DateZone's (script/date_zone.h), so a script's TZ never
// touches the process's own zone. A host may install conversion hooks that
// replace it (they are given getLocalTZ() when the script names no zone).
//
// Ownership: a Date is reference-counted like every script object; the
// prototype lives as long as the process (the class registry holds it).
// Thread-safety: a Date belongs to the thread running its parser. The debug
// time, the cached machine zone name and the hooks are process-wide and set
// before scripts run.
#ifndef DRV_SCRIPT_DATE_H
#define DRV_SCRIPT_DATE_H

#include <time.h>

#include <stddef.h>

#include "dirbase/translatable.h"

class AbstractVarSet;

const unsigned int OBJ_DATE_ID = 9300;

class Date : public Translatable {
public:
    // Broken-down-time hook: (utc, zone name, seconds, out tm, out zone
    // abbreviation of at most 12 bytes with its NUL, out offset in minutes
    // east). Answers 0 or an error code.
    typedef int (*TmHook)(bool utc, const char* zone, long long seconds, struct tm* out, char* abbr,
                          int* offsetMinutes);
    // Seconds hook: (zone name, out seconds, the broken-down local time).
    typedef int (*SecondsHook)(const char* zone, long long* out, struct tm* tm);
    static TmHook _tmHook;
    static SecondsHook _secondsHook;

    // The instants a date may be given: 100 million days either side of
    // 1970, as in ECMAScript (the calendar arithmetic stays far from
    // overflowing).
    static const long long kMaxMillis = 8640000000000000LL;

    // Now (gettimeofday), or the debug time when one is set.
    Date();
    explicit Date(long long ms);
    Date(const Date& other);
    Date& operator=(const Date&) = delete;

    // Fixes the time of every new Date (process-wide); secs -1 clears it.
    static void setDebugTime(long secs, int msecs);

    // The machine's zone name: the target of /etc/localtime after its
    // "zoneinfo/" part, else the C library's abbreviation. Process-wide
    // buffer, computed once.
    static const char* getLocalTZ();

    // The zone a scope names: its TZ variable when that is a non-empty
    // string, else null (the process's zone). The text belongs to the scope,
    // which may be null.
    static const char* zoneOf(AbstractVarSet* scope);
    // zoneOf the parser's current scope (parser may be null).
    static const char* scopeZone(Parser* parser);

    // Splits the milliseconds so that milliseconds stays within 0-999.
    // ms beyond kMaxMillis either way is clamped (callers refuse it first).
    void setTime(long long ms);
    long long getTime() const { return seconds * 1000 + milliseconds; }

    // Fills tm, zone and offset: UTC, or local in the scope's zone.
    int buildTm(Parser* parser, bool utc);
    // The same in the named zone (null: the process's zone), for callers
    // that hold a zone name rather than a parser.
    int buildTmIn(const char* zoneName, bool utc);
    // seconds from tm read as local time in the scope's zone (normalising
    // out-of-range fields); milliseconds are kept.
    int buildTime(Parser* parser);

    // The text forms; each a new string, or null when conversion fails.
    // local "%a %b %d %Y %H:%M:%S GMT+hhmm (abbr)".
    char* toString(Parser* parser) override;
    // The ISO text, as toISOString gives it (no quotes around it).
    char* toJSON(Parser* parser) override;
    // UTC "%Y-%m-%dT%H:%M:%S.mmmZ".
    char* toISOString(Parser* parser);
    // strftime of format after a conversion (utc or local), with
    // ".%03d"-style suffix appended when suffix is given (printf'd with the
    // milliseconds).
    char* format(Parser* parser, bool utc, const char* format, const char* suffix);

    unsigned int getObjectID() const override { return OBJ_DATE_ID; }
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;
    int compareTo(const Principal* principal, int* result, const Translatable* other) const override;

    long long seconds;
    int milliseconds;
    struct tm tm;
    char zone[13];
    int offset;  // minutes east of UTC, of the last conversion
};

class DatePrototype : public Translatable {
public:
    bool isPrototype() const override { return true; }
    unsigned int getObjectID() const override { return OBJ_DATE_ID; }
    // No argument: now; one 32- or 64-bit integer: milliseconds since 1970
    // (beyond Date::kMaxMillis: 24); another single argument: 24; more than
    // one: 21.
    int construct(Parser* parser, Any** args, Translatable** out) const override;
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;

    // Reads text (see script/date_parse.h) into a new Date reference in
    // *result: 0, or 24 with a debug line naming where the text failed.
    // A text without a zone takes the current offset of the scope's zone.
    static int complexParse(Parser* parser, const char* text, Any** result);
    // What complexParse reads, as milliseconds since 1970 UTC, for readers
    // of date texts that run no script (the CSV reader's date columns), so
    // that they read every text as a script would. A text without a zone
    // takes the offset zoneName (null: the process's zone) has now, through
    // the host's conversion hook when one is installed. 0, or 24: for a
    // text that does not fit, with *errorAt (may be null) set to where it
    // stopped fitting; *errorAt is left alone when the hook fails.
    // offsetMinutes (may be null) receives the offset used.
    static int parseText(const char* text, const char* zoneName, long long* ms, int* offsetMinutes,
                         size_t* errorAt);
};

// Registers Date under its object id with its members; idempotent.
void script_registerDate();

#endif
