#include "script/date.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/date_parse.h"
#include "script/date_zone.h"
#include "script/parser.h"
#include "script/varset.h"

Date::TmHook Date::_tmHook = nullptr;
Date::SecondsHook Date::_secondsHook = nullptr;

namespace {

// The debug time: seconds -1 means none. Set before scripts run; atomics
// only so that a test changing it races with nothing.
std::atomic<long> _debugSecs{-1};
std::atomic<int> _debugMsecs{0};

long long floorDiv1000(long long ms) {
    return ms >= 0 ? ms / 1000 : -((-(ms + 1)) / 1000) - 1;
}

// Zone names are kept to 12 bytes; longer ones are cut.
void copyZone(char* dst, const char* src) {
    size_t n = src != nullptr ? strnlen(src, 12) : 0;
    if (n > 0) memcpy(dst, src, n);
    dst[n] = '\0';
}

// strftime computes %s with mktime from the broken-down fields, read in the
// process's own zone; the fields here are in the script's zone (or the host
// hook's), so the number would be off by the difference. Each %s directive
// (with its flags, width and modifier) is formatted from the process's
// broken-down time of the same instant instead, and its text put into the
// format literally, with any '%' doubled. Null when fmt has no %s.
char* withEpochSeconds(const char* fmt, long long seconds) {
    std::string out;
    bool found = false;
    struct tm process;
    for (size_t i = 0; fmt[i] != '\0';) {
        if (fmt[i] != '%') {
            out += fmt[i++];
            continue;
        }
        size_t j = i + 1;
        while (fmt[j] != '\0' && strchr("_-0^#", fmt[j]) != nullptr) j++;
        while (fmt[j] >= '0' && fmt[j] <= '9') j++;
        if (fmt[j] == 'E' || fmt[j] == 'O') j++;
        if (fmt[j] != 's') {
            // Any other directive, "%%" included, stays for strftime.
            size_t end = fmt[j] != '\0' ? j + 1 : j;
            out.append(fmt + i, end - i);
            i = end;
            continue;
        }
        if (!found) {
            time_t t = static_cast<time_t>(seconds);
            tzset();
            if (localtime_r(&t, &process) == nullptr) return nullptr;
            found = true;
        }
        std::string directive(fmt + i, j + 1 - i);
        // A width beyond the whole result's room leaves it empty, as
        // strftime leaves a result that does not fit.
        char text[512];
        size_t n = strftime(text, sizeof text, directive.c_str(), &process);
        if (n == 0) return strdup("");
        for (size_t k = 0; k < n; k++) {
            if (text[k] == '%') out += '%';
            out += text[k];
        }
        i = j + 1;
    }
    return found ? strdup(out.c_str()) : nullptr;
}

}  // namespace

// ---- Date -------------------------------------------------------------------

Date::Date() : seconds(0), milliseconds(0), tm(), zone("UTC"), offset(0) {
    long secs = _debugSecs.load();
    if (secs != -1) {
        seconds = secs;
        milliseconds = _debugMsecs.load();
        return;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    seconds = now.tv_sec;
    milliseconds = static_cast<int>(now.tv_usec / 1000);
}

Date::Date(long long ms) : seconds(0), milliseconds(0), tm(), zone("UTC"), offset(0) {
    setTime(ms);
}

Date::Date(const Date& other)
    : Translatable(other), seconds(other.seconds), milliseconds(other.milliseconds), tm(other.tm), zone(),
      offset(other.offset) {
    memcpy(zone, other.zone, sizeof(zone));
    tm.tm_zone = zone;
}

void Date::setDebugTime(long secs, int msecs) {
    _debugMsecs = msecs;
    _debugSecs = secs;
}

const char* Date::getLocalTZ() {
    static char name[256];
    static std::once_flag once;
    std::call_once(once, [] {
        char link[256];
        ssize_t n = readlink("/etc/localtime", link, sizeof(link) - 1);
        if (n > 0) {
            link[n] = '\0';
            const char* at = strstr(link, "zoneinfo/");
            if (at != nullptr && at[9] != '\0') {
                snprintf(name, sizeof(name), "%s", at + 9);
                return;
            }
        }
        tzset();
        struct tm tm;
        time_t now = time(nullptr);
        localtime_r(&now, &tm);
        snprintf(name, sizeof(name), "%s", tzname[tm.tm_isdst > 0 ? 1 : 0]);
    });
    return name;
}

const char* Date::zoneOf(AbstractVarSet* scope) {
    const Any* v = scope != nullptr ? scope->get("TZ") : nullptr;
    const char* text = v != nullptr && v->getType() == ANY_STRING ? v->getString() : nullptr;
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

const char* Date::scopeZone(Parser* parser) {
    return zoneOf(parser != nullptr ? parser->getCurrentScope() : nullptr);
}

void Date::setTime(long long ms) {
    if (ms > kMaxMillis) ms = kMaxMillis;
    if (ms < -kMaxMillis) ms = -kMaxMillis;
    seconds = floorDiv1000(ms);
    milliseconds = static_cast<int>(ms - seconds * 1000);
}

int Date::buildTm(Parser* parser, bool utc) {
    return buildTmIn(scopeZone(parser), utc);
}

int Date::buildTmIn(const char* zoneName, bool utc) {
    if (_tmHook != nullptr) {
        char abbr[13] = "";
        int minutes = 0;
        int rc = _tmHook(utc, zoneName != nullptr ? zoneName : getLocalTZ(), seconds, &tm, abbr, &minutes);
        if (rc != 0) return rc;
        abbr[12] = '\0';
        copyZone(zone, abbr);
        offset = minutes;
    } else if (utc) {
        DateZone::utcTime(seconds, &tm);
        copyZone(zone, "GMT");
        offset = 0;
    } else {
        DateZone::Local local;
        DateZone::localTime(zoneName, seconds, &tm, &local);
        copyZone(zone, local.abbr);
        offset = local.offsetSeconds / 60;
    }
    tm.tm_zone = zone;
    tm.tm_gmtoff = offset * 60L;
    return 0;
}

int Date::buildTime(Parser* parser) {
    const char* zoneName = scopeZone(parser);
    if (_secondsHook != nullptr) {
        long long secs = 0;
        int rc = _secondsHook(zoneName != nullptr ? zoneName : getLocalTZ(), &secs, &tm);
        if (rc != 0) return rc;
        seconds = secs;
        return 0;
    }
    seconds = DateZone::fromLocal(zoneName, &tm);
    return 0;
}

char* Date::format(Parser* parser, bool utc, const char* fmt, const char* suffix) {
    if (buildTm(parser, utc) != 0) return nullptr;
    char* epoch = withEpochSeconds(fmt, seconds);
    char text[256 + 16];
    size_t n = strftime(text, 256, epoch != nullptr ? epoch : fmt, &tm);
    free(epoch);
    if (n == 0) text[0] = '\0';
    if (suffix != nullptr) snprintf(text + n, sizeof(text) - n, suffix, milliseconds);
    return strdup(text);
}

char* Date::toString(Parser* parser) {
    char* head = format(parser, false, "%a %b %d %Y %H:%M:%S", nullptr);
    if (head == nullptr) return nullptr;
    int abs = offset < 0 ? -offset : offset;
    char* out = nullptr;
    if (asprintf(&out, "%s GMT%c%02d%02d (%s)", head, offset < 0 ? '-' : '+', abs / 60, abs % 60, zone) < 0)
        out = nullptr;
    free(head);
    return out;
}

char* Date::toISOString(Parser* parser) {
    return format(parser, true, "%Y-%m-%dT%H:%M:%S", ".%03dZ");
}

// The JSON form is the ISO text itself, as the script method gives it.
char* Date::toJSON(Parser* parser) {
    return toISOString(parser);
}

int Date::clone(const Principal*, Translatable** result) const {
    *result = new Date(*this);
    return 0;
}

int Date::isEqual(const Principal*, bool* result, const Translatable* other) const {
    const Date* d = other != nullptr && other->getObjectID() == OBJ_DATE_ID && !other->isPrototype()
                        ? static_cast<const Date*>(other)
                        : nullptr;
    *result = d != nullptr && d->seconds == seconds && d->milliseconds == milliseconds;
    return 0;
}

int Date::compareTo(const Principal*, int* result, const Translatable* other) const {
    if (other == nullptr || other->getObjectID() != OBJ_DATE_ID || other->isPrototype())
        return DirError::E_ILLEGAL_ARGUMENT;
    long long a = getTime(), b = static_cast<const Date*>(other)->getTime();
    *result = a < b ? -1 : a > b ? 1 : 0;
    return 0;
}
