// Time-zone arithmetic for the script Date object, done by this code rather
// than by switching the process's TZ: the zone files under
// /usr/share/zoneinfo (TZif, versions 1 to 4) are read here, and times past
// a file's last transition, as well as zones given as POSIX TZ strings
// ("CET-1CEST,M3.5.0,M10.5.0/3"), follow the POSIX rule. The C library's
// localtime_r only knows one zone per process, and changing it under the
// feet of the other threads (the log writes local times) would be a race;
// a script may name any zone in its TZ variable, so each conversion here
// takes the zone as an argument.
//
// Zone names: a leading ':' is ignored; a name made of letters, digits and
// "_+-./" without a ".." part is looked up as a file under the zone
// directory, and anything else, or a name without such a file, is read as a
// POSIX TZ string. A name that is neither is UTC with the abbreviation "UTC".
//
// An empty or null name is the process's own zone, the one localtime_r
// uses: the TZ environment variable when set (read as above, but also an
// absolute file name; empty is UTC; a form this code cannot read is left
// to the C library), else the machine's zone (/etc/localtime; UTC without
// it). TZ is read again on every call, so a change of it takes effect.
//
// Thread-safety: every function may be called from any thread, though
// changing TZ while other threads convert times is the caller's race, as it
// is for the C library. Parsed zones are kept in a small process-wide cache
// guarded by its own lock (a leaf: nothing else is taken under it); a zone,
// once parsed, is never changed. Names longer than any real zone's are
// parsed on every use and never kept.
#ifndef DRV_SCRIPT_DATE_ZONE_H
#define DRV_SCRIPT_DATE_ZONE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

namespace DateZone {

// The conversion of one instant in one zone.
struct Local {
    int offsetSeconds;  // east of UTC
    bool isDst;
    char abbr[16];  // NUL-terminated, at most 15 characters
};

// What the zone says at the instant secs (seconds since 1970 UTC).
void lookup(const char* zone, int64_t secs, Local* out);

// Broken-down local time of secs in zone; tm_zone is left null (the
// caller points it at storage of its own) and tm_gmtoff is the offset.
void localTime(const char* zone, int64_t secs, struct tm* out, Local* local);

// The instant of a wall-clock time in zone. Out-of-range fields are
// normalised (month 13 is January of the next year, day 0 the last day of
// the month before). A time that a change of offset skipped is read with
// the offset in force before the change. A time that occurs twice gives
// the instant whose daylight flag is tm_isdst (positive: daylight time,
// 0: standard time), as mktime does; with a negative tm_isdst, or when
// both have the same flag, the earlier instant. A time that occurs
// once keeps its clock reading whatever tm_isdst says (mktime would shift
// it by the daylight difference), so a date moved across a change of
// offset keeps its time of day.
int64_t fromLocal(const char* zone, const struct tm* tm);

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12; other
// months and days are normalised arithmetically).
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day);
// The broken-down UTC time of secs (tm_wday and tm_yday included).
void utcTime(int64_t secs, struct tm* out);

// Parses a POSIX TZ string into a zone usable by the other functions;
// exposed for the fuzz target. True when the whole text is understood.
bool parsePosix(const char* text, size_t length);
// Parses the bytes of a TZif file; exposed for the fuzz target.
bool parseTzif(const unsigned char* data, size_t length);

// Forgets the parsed zones (tests).
void clearCache();
// The bytes of the names the cache holds (tests).
size_t cachedNameBytes();

}  // namespace DateZone

#endif
