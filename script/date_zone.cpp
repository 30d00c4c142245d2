#include "script/date_zone.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/sem.h"
#include "common/thread_annotations.h"

namespace {

const char kZoneDir[] = "/usr/share/zoneinfo/";
const char kMachineZone[] = "/etc/localtime";
// Zone files are a few kilobytes; anything far larger is not one.
const off_t kMaxZoneFile = 1 << 20;
const size_t kMaxCachedZones = 64;
// Longest name the cache keeps. A script may name a zone with any text it
// can build (megabytes); the cache outlives the run, so such names would
// stay held by the process after the script's memory was given back. No
// zone file name or POSIX rule in use comes near this length.
const size_t kMaxCachedName = 256;

// When a POSIX rule switches: day form and time of day (seconds, may be
// negative or past midnight).
struct RuleDate {
    enum Kind { JULIAN_NO_LEAP, ZERO_BASED, MONTH_WEEK_DAY } kind = MONTH_WEEK_DAY;
    int month = 0, week = 0, weekday = 0, day = 0;
    int32_t time = 7200;
};

struct PosixRule {
    bool valid = false;
    std::string stdAbbr, dstAbbr;
    int32_t stdOffset = 0, dstOffset = 0;  // east of UTC
    bool hasDst = false;
    RuleDate start, end;
};

struct ZoneType {
    int32_t offset;  // east of UTC
    bool isDst;
    std::string abbr;
};

struct Zone {
    std::vector<int64_t> times;    // transitions, ascending
    std::vector<uint8_t> typeOf;   // per transition
    std::vector<ZoneType> types;
    PosixRule rule;                // the footer, or the whole zone
    // The process's zone in a form only the C library understands: asked
    // through localtime_r.
    bool fromLibc = false;

    void lookup(int64_t t, DateZone::Local* out) const;
};

void setLocal(DateZone::Local* out, int32_t offset, bool dst, const std::string& abbr) {
    out->offsetSeconds = offset;
    out->isDst = dst;
    size_t n = std::min(abbr.size(), sizeof(out->abbr) - 1);
    memcpy(out->abbr, abbr.data(), n);
    out->abbr[n] = '\0';
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool isLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int monthDays(int64_t y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// The UTC instant at which rule date d of year falls, the clock then
// showing offset.
int64_t ruleInstant(int64_t year, const RuleDate& d, int32_t offset) {
    int64_t days;
    switch (d.kind) {
        case RuleDate::JULIAN_NO_LEAP:
            days = DateZone::daysFromCivil(year, 1, 1) + d.day - 1 + (isLeap(year) && d.day >= 60 ? 1 : 0);
            break;
        case RuleDate::ZERO_BASED:
            days = DateZone::daysFromCivil(year, 1, 1) + d.day;
            break;
        default: {
            int64_t first = DateZone::daysFromCivil(year, d.month, 1);
            int64_t firstWeekday = ((first % 7) + 11) % 7;  // 1970-01-01 was a Thursday (4)
            days = first + (d.weekday - firstWeekday + 7) % 7 + 7 * (d.week - 1);
            while (days >= first + monthDays(year, d.month)) days -= 7;
            break;
        }
    }
    return days * 86400 + d.time - offset;
}

void ruleLookup(const PosixRule& r, int64_t t, DateZone::Local* out) {
    if (!r.hasDst) {
        setLocal(out, r.stdOffset, false, r.stdAbbr);
        return;
    }
    struct tm tm;
    DateZone::utcTime(t + r.stdOffset, &tm);
    int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
    int64_t start = ruleInstant(year, r.start, r.stdOffset);
    int64_t end = ruleInstant(year, r.end, r.dstOffset);
    bool dst = start < end ? (t >= start && t < end) : !(t >= end && t < start);
    if (dst)
        setLocal(out, r.dstOffset, true, r.dstAbbr);
    else
        setLocal(out, r.stdOffset, false, r.stdAbbr);
}

void libcLookup(int64_t t, DateZone::Local* out) {
    time_t at = static_cast<time_t>(t);
    struct tm tm;
    if (localtime_r(&at, &tm) == nullptr) {
        setLocal(out, 0, false, "UTC");
        return;
    }
    setLocal(out, static_cast<int32_t>(tm.tm_gmtoff), tm.tm_isdst > 0, tm.tm_zone != nullptr ? tm.tm_zone : "");
}

void Zone::lookup(int64_t t, DateZone::Local* out) const {
    if (fromLibc) {
        libcLookup(t, out);
        return;
    }
    if (!times.empty() && t >= times.front() && (t < times.back() || !rule.valid)) {
        size_t i = static_cast<size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
        const ZoneType& z = types[typeOf[i]];
        setLocal(out, z.offset, z.isDst, z.abbr);
        return;
    }
    if (!times.empty() && t < times.front()) {
        setLocal(out, types[0].offset, types[0].isDst, types[0].abbr);
        return;
    }
    if (rule.valid) {
        ruleLookup(rule, t, out);
        return;
    }
    if (!types.empty()) {
        setLocal(out, types[0].offset, types[0].isDst, types[0].abbr);
        return;
    }
    setLocal(out, 0, false, "UTC");
}

// ---- POSIX TZ strings -----------------------------------------------------

class PosixReader {
public:
    PosixReader(const char* p, const char* end) : _p(p), _end(end) {}

    bool read(PosixRule* r) {
        if (!abbr(&r->stdAbbr) || !offset(&r->stdOffset, 24)) return false;
        r->stdOffset = -r->stdOffset;  // POSIX counts west of Greenwich
        if (_p == _end) {
            r->valid = true;
            return true;
        }
        if (!abbr(&r->dstAbbr)) return false;
        r->hasDst = true;
        r->dstOffset = r->stdOffset + 3600;
        if (_p < _end && *_p != ',') {
            int32_t v;
            if (!offset(&v, 24)) return false;
            r->dstOffset = -v;
        }
        if (_p == _end) {
            // No rule: the United States' (second Sunday of March to the
            // first Sunday of November), as the C library assumes.
            r->start.month = 3, r->start.week = 2, r->start.weekday = 0;
            r->end.month = 11, r->end.week = 1, r->end.weekday = 0;
            r->valid = true;
            return true;
        }
        if (!eat(',') || !date(&r->start) || !eat(',') || !date(&r->end) || _p != _end) return false;
        r->valid = true;
        return true;
    }

private:
    bool eat(char c) {
        if (_p < _end && *_p == c) {
            _p++;
            return true;
        }
        return false;
    }
    bool number(int* out, int max) {
        if (_p >= _end || *_p < '0' || *_p > '9') return false;
        int v = 0;
        while (_p < _end && *_p >= '0' && *_p <= '9') {
            v = v * 10 + (*_p++ - '0');
            if (v > max) return false;
        }
        *out = v;
        return true;
    }
    bool abbr(std::string* out) {
        const char* begin;
        if (eat('<')) {
            begin = _p;
            while (_p < _end && (isalnum(static_cast<unsigned char>(*_p)) || *_p == '+' || *_p == '-')) _p++;
            size_t n = static_cast<size_t>(_p - begin);
            if (!eat('>') || n < 3) return false;
            out->assign(begin, n);
            return true;
        }
        begin = _p;
        while (_p < _end && isalpha(static_cast<unsigned char>(*_p))) _p++;
        size_t n = static_cast<size_t>(_p - begin);
        if (n < 3) return false;
        out->assign(begin, n);
        return true;
    }
    // [+-]hh[:mm[:ss]], hours at most maxHours.
    bool offset(int32_t* out, int maxHours) {
        int sign = 1;
        if (eat('-'))
            sign = -1;
        else
            eat('+');
        int h, m = 0, s = 0;
        if (!number(&h, maxHours)) return false;
        if (eat(':')) {
            if (!number(&m, 59)) return false;
            if (eat(':') && !number(&s, 59)) return false;
        }
        *out = sign * (h * 3600 + m * 60 + s);
        return true;
    }
    bool date(RuleDate* d) {
        if (eat('J')) {
            d->kind = RuleDate::JULIAN_NO_LEAP;
            if (!number(&d->day, 365) || d->day < 1) return false;
        } else if (eat('M')) {
            d->kind = RuleDate::MONTH_WEEK_DAY;
            if (!number(&d->month, 12) || d->month < 1 || !eat('.') || !number(&d->week, 5) || d->week < 1 ||
                !eat('.') || !number(&d->weekday, 6))
                return false;
        } else {
            d->kind = RuleDate::ZERO_BASED;
            if (!number(&d->day, 365)) return false;
        }
        d->time = 7200;
        if (eat('/')) return offset(&d->time, 167);
        return true;
    }

    const char* _p;
    const char* _end;
};

bool parsePosixRule(const char* text, size_t length, PosixRule* out) {
    PosixReader reader(text, text + length);
    *out = PosixRule();
    if (!reader.read(out)) {
        *out = PosixRule();
        return false;
    }
    return true;
}

// ---- TZif files ---------------------------------------------------------------

class ByteReader {
public:
    ByteReader(const unsigned char* p, size_t n) : _p(p), _left(n) {}
    bool has(size_t n) const { return n <= _left; }
    bool skip(size_t n) {
        if (!has(n)) return false;
        _p += n;
        _left -= n;
        return true;
    }
    uint32_t u32() {
        uint32_t v = (uint32_t(_p[0]) << 24) | (uint32_t(_p[1]) << 16) | (uint32_t(_p[2]) << 8) | _p[3];
        skip(4);
        return v;
    }
    int64_t i64() {
        uint64_t hi = u32();
        uint64_t lo = u32();
        return static_cast<int64_t>((hi << 32) | lo);
    }
    const unsigned char* pos() const { return _p; }
    size_t left() const { return _left; }

private:
    const unsigned char* _p;
    size_t _left;
};

struct TzifCounts {
    uint32_t isut, isstd, leap, time, type, chars;
};

bool readHeader(ByteReader& r, int* version, TzifCounts* c) {
    if (!r.has(44) || memcmp(r.pos(), "TZif", 4) != 0) return false;
    unsigned char v = r.pos()[4];
    *version = v == 0 ? 1 : v - '0';
    r.skip(20);
    c->isut = r.u32();
    c->isstd = r.u32();
    c->leap = r.u32();
    c->time = r.u32();
    c->type = r.u32();
    c->chars = r.u32();
    // Sane limits keep the sizes below from overflowing.
    return c->type >= 1 && c->type <= 256 && c->chars >= 1 && c->time <= 1000000 && c->leap <= 100000 &&
           c->isut <= c->type && c->isstd <= c->type;
}

// Reads one data block (4- or 8-byte times) into zone.
bool readBlock(ByteReader& r, const TzifCounts& c, size_t timeSize, Zone* zone) {
    size_t need = c.time * timeSize + c.time + c.type * 6 + c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut;
    if (!r.has(need)) return false;
    zone->times.resize(c.time);
    for (uint32_t i = 0; i < c.time; i++)
        zone->times[i] = timeSize == 8 ? r.i64() : static_cast<int64_t>(static_cast<int32_t>(r.u32()));
    for (uint32_t i = 1; i < c.time; i++)
        if (zone->times[i] <= zone->times[i - 1]) return false;
    zone->typeOf.assign(r.pos(), r.pos() + c.time);
    r.skip(c.time);
    for (uint8_t t : zone->typeOf)
        if (t >= c.type) return false;
    const unsigned char* typeBytes = r.pos();
    r.skip(c.type * 6);
    const char* chars = reinterpret_cast<const char*>(r.pos());
    zone->types.clear();
    for (uint32_t i = 0; i < c.type; i++) {
        const unsigned char* b = typeBytes + 6 * i;
        ZoneType t;
        t.offset = static_cast<int32_t>((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
        t.isDst = b[4] != 0;
        if (b[5] >= c.chars || t.offset < -25 * 3600 || t.offset > 26 * 3600) return false;
        t.abbr.assign(chars + b[5], strnlen(chars + b[5], c.chars - b[5]));
        zone->types.push_back(t);
    }
    r.skip(c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut);
    return true;
}

bool parseTzifInto(const unsigned char* data, size_t length, Zone* zone) {
    ByteReader r(data, length);
    int version;
    TzifCounts c;
    if (!readHeader(r, &version, &c) || !readBlock(r, c, 4, zone)) return false;
    if (version < 2) return true;
    if (!readHeader(r, &version, &c) || !readBlock(r, c, 8, zone)) return false;
    // The footer: a newline, the POSIX rule for later times, a newline.
    if (r.left() < 2 || r.pos()[0] != '\n') return true;
    const char* text = reinterpret_cast<const char*>(r.pos()) + 1;
    const char* nl = static_cast<const char*>(memchr(text, '\n', r.left() - 1));
    if (nl != nullptr && nl > text) parsePosixRule(text, static_cast<size_t>(nl - text), &zone->rule);
    return true;
}

bool readFile(const std::string& path, std::vector<unsigned char>* out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMaxZoneFile;
    if (ok) {
        out->resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < out->size()) {
            ssize_t n = read(fd, out->data() + got, out->size() - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        ok = got == out->size();
    }
    close(fd);
    return ok;
}

// Whether name may be looked up as a file under the zone directory.
bool plainZoneName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.size() > 255) return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && strchr("_+-./", c) == nullptr) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        std::string part = name.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = slash + 1;
    }
    return true;
}

bool loadFile(const std::string& path, Zone* zone) {
    std::vector<unsigned char> bytes;
    if (readFile(path, &bytes) && parseTzifInto(bytes.data(), bytes.size(), zone)) return true;
    *zone = Zone();
    return false;
}

// A zone a script names: a file under the zone directory, else a POSIX
// rule, else UTC.
std::shared_ptr<const Zone> loadZone(const std::string& name) {
    auto zone = std::make_shared<Zone>();
    if (plainZoneName(name) && loadFile(kZoneDir + name, zone.get())) return zone;
    parsePosixRule(name.data(), name.size(), &zone->rule);
    return zone;
}

// The process's zone as the C library's localtime takes it from tz (the
// TZ environment variable, null when unset). The environment is the
// process owner's, so unlike a script's name it may also be an absolute
// file name.
std::shared_ptr<const Zone> loadProcessZone(const char* tz) {
    auto zone = std::make_shared<Zone>();
    if (tz == nullptr) {
        loadFile(kMachineZone, zone.get());  // UTC when missing
        return zone;
    }
    std::string name = tz[0] == ':' ? tz + 1 : tz;
    if (name.empty()) return zone;  // set but empty: UTC
    if (name[0] == '/' ? loadFile(name, zone.get()) : plainZoneName(name) && loadFile(kZoneDir + name, zone.get()))
        return zone;
    if (parsePosixRule(name.data(), name.size(), &zone->rule)) return zone;
    // A form this reader does not know: the C library answers, once it has
    // taken in the present TZ (localtime_r alone does not look again).
    *zone = Zone();
    tzset();
    zone->fromLibc = true;
    return zone;
}

CriticalBlock _zoneLock(LOCK_RANK_DATE_ZONES, kProcessLifetime);
std::map<std::string, std::shared_ptr<const Zone>> _zones GUARDED_BY(_zoneLock);
// The process's zone and the TZ value it was read for ("" when TZ was
// unset, else "=" and the value), so that a change of TZ is seen.
std::string _processKey GUARDED_BY(_zoneLock);
std::shared_ptr<const Zone> _processZone GUARDED_BY(_zoneLock);

std::shared_ptr<const Zone> processZone() {
    const char* tz = getenv("TZ");
    std::string key = tz != nullptr ? std::string("=") + tz : std::string();
    {
        CriticalSection lock(_zoneLock);
        if (_processZone != nullptr && _processKey == key) return _processZone;
    }
    std::shared_ptr<const Zone> z = loadProcessZone(tz != nullptr ? key.c_str() + 1 : nullptr);
    CriticalSection lock(_zoneLock);
    _processKey = key;
    _processZone = z;
    return z;
}

std::shared_ptr<const Zone> zoneNamed(const char* zone) {
    std::string name = zone != nullptr ? zone : "";
    if (!name.empty() && name[0] == ':') name.erase(0, 1);
    if (name.empty()) return processZone();
    {
        CriticalSection lock(_zoneLock);
        auto it = _zones.find(name);
        if (it != _zones.end()) return it->second;
    }
    // Read outside the lock: two threads may both parse a zone, and the
    // second simply replaces the first's equal copy.
    std::shared_ptr<const Zone> z = loadZone(name);
    if (name.size() > kMaxCachedName) return z;
    CriticalSection lock(_zoneLock);
    if (_zones.size() >= kMaxCachedZones) _zones.clear();
    _zones[name] = z;
    return z;
}

}  // namespace

namespace DateZone {

int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    // Normalise the month first, then count with a March-based year.
    y += floorDiv(m - 1, 12);
    m = m - 1 - 12 * floorDiv(m - 1, 12) + 1;
    y -= m <= 2;
    int64_t era = floorDiv(y, 400);
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + (d - 1);
}

void utcTime(int64_t secs, struct tm* out) {
    memset(out, 0, sizeof(*out));
    int64_t days = floorDiv(secs, 86400);
    int64_t rem = secs - days * 86400;
    out->tm_hour = static_cast<int>(rem / 3600);
    out->tm_min = static_cast<int>(rem % 3600 / 60);
    out->tm_sec = static_cast<int>(rem % 60);
    out->tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    int64_t z = days + 719468;
    int64_t era = floorDiv(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    out->tm_year = static_cast<int>(y - 1900);
    out->tm_mon = static_cast<int>(m - 1);
    out->tm_mday = static_cast<int>(d);
    out->tm_yday = static_cast<int>(days - daysFromCivil(y, 1, 1));
}

void lookup(const char* zone, int64_t secs, Local* out) {
    zoneNamed(zone)->lookup(secs, out);
}

void localTime(const char* zone, int64_t secs, struct tm* out, Local* local) {
    lookup(zone, secs, local);
    utcTime(secs + local->offsetSeconds, out);
    out->tm_isdst = local->isDst ? 1 : 0;
    out->tm_gmtoff = local->offsetSeconds;
    out->tm_zone = nullptr;
}

int64_t fromLocal(const char* zone, const struct tm* tm) {
    std::shared_ptr<const Zone> z = zoneNamed(zone);
    int64_t wall = daysFromCivil(static_cast<int64_t>(tm->tm_year) + 1900, static_cast<int64_t>(tm->tm_mon) + 1,
                                 tm->tm_mday) * 86400 +
                   static_cast<int64_t>(tm->tm_hour) * 3600 + static_cast<int64_t>(tm->tm_min) * 60 + tm->tm_sec;
    // The offsets a day before and a day after bracket any one change.
    Local before, after, check;
    z->lookup(wall - 86400, &before);
    z->lookup(wall + 86400, &after);
    int64_t first = wall - before.offsetSeconds;
    z->lookup(first, &check);
    bool firstFits = check.offsetSeconds == before.offsetSeconds;
    bool firstDst = check.isDst;
    int64_t second = wall - after.offsetSeconds;
    z->lookup(second, &check);
    bool secondFits = second != first && check.offsetSeconds == after.offsetSeconds;
    // The clock went back over this time, so it happened twice (first is
    // the earlier): the daylight flag picks one, as with mktime, so that a
    // broken-down time converted back gives the instant it came from.
    if (firstFits && secondFits && tm->tm_isdst >= 0 && firstDst != (tm->tm_isdst > 0) &&
        check.isDst == (tm->tm_isdst > 0))
        return second;
    if (firstFits) return first;
    if (secondFits) return second;
    return first;  // skipped: read with the offset before the change
}

bool parsePosix(const char* text, size_t length) {
    PosixRule rule;
    if (!parsePosixRule(text, length, &rule)) return false;
    Local out;
    ruleLookup(rule, 0, &out);
    ruleLookup(rule, 4102444800LL, &out);
    return true;
}

bool parseTzif(const unsigned char* data, size_t length) {
    Zone zone;
    if (!parseTzifInto(data, length, &zone)) return false;
    Local out;
    zone.lookup(0, &out);
    zone.lookup(-(1LL << 40), &out);
    zone.lookup(1LL << 40, &out);
    return true;
}

size_t cachedNameBytes() {
    CriticalSection lock(_zoneLock);
    size_t bytes = 0;
    for (const auto& entry : _zones) bytes += entry.first.size();
    return bytes;
}

void clearCache() {
    CriticalSection lock(_zoneLock);
    _zones.clear();
    _processZone = nullptr;
    _processKey.clear();
}

}  // namespace DateZone
