// The Date's readers of untrusted text: the date-text reader (scripts and
// CSV columns), POSIX TZ rules (a script's TZ variable) and zone files. The
// first byte picks the reader; the rest is its input. A reading that
// succeeds must be consistent: the date text's fields give milliseconds that
// read back to the same fields when the text named UTC.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "script/date_parse.h"
#include "script/date_zone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            DateText t;
            size_t at = 0;
            if (date_scanText(input.c_str(), &t, &at) != 0) {
                if (at > strlen(input.c_str())) abort();
                break;
            }
            if (t.month < 0 || t.month > 99 || t.day > 99 || t.millis > 999) abort();
            long long ms = date_textMillis(t);
            if (t.offsetMinutes == 0 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 28 &&
                t.hour < 24 && t.minute < 60 && t.second < 60) {
                struct tm tm;
                long long secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
                DateZone::utcTime(secs, &tm);
                if (tm.tm_year + 1900 != t.year || tm.tm_mon + 1 != t.month || tm.tm_mday != t.day ||
                    tm.tm_hour != t.hour || tm.tm_min != t.minute || tm.tm_sec != t.second)
                    abort();
            }
            break;
        }
        case 1:
            DateZone::parsePosix(input.data(), input.size());
            break;
        default:
            DateZone::parseTzif(reinterpret_cast<const unsigned char*>(input.data()), input.size());
            break;
    }
    return 0;
}
