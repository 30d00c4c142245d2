#include "csv/csv_date.h"

#include <ctype.h>
#include <time.h>

namespace {

// Reads exactly n digits at *p into *out.
bool digits(const char** p, int n, int* out) {
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (!isdigit(static_cast<unsigned char>((*p)[i]))) return false;
        v = v * 10 + ((*p)[i] - '0');
    }
    *p += n;
    *out = v;
    return true;
}

bool noObjects(const Translatable*, long long*) {
    return false;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long daysFromCivil(long long y, int m, int d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

bool csv_parseIsoDate(const char* text, long long* ms) {
    const char* p = text;
    int year, month, day, hour = 0, minute = 0, second = 0, millis = 0;
    if (p == nullptr || !digits(&p, 4, &year) || *p++ != '-' || !digits(&p, 2, &month) || *p++ != '-' ||
        !digits(&p, 2, &day))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
    if (*p == 'T' || (*p == ' ' && isdigit(static_cast<unsigned char>(p[1])))) {
        p++;
        if (!digits(&p, 2, &hour) || *p++ != ':' || !digits(&p, 2, &minute)) return false;
        if (*p == ':') {
            p++;
            if (!digits(&p, 2, &second)) return false;
            if (*p == '.' || *p == ',') {
                p++;
                int scale = 100;
                if (!isdigit(static_cast<unsigned char>(*p))) return false;
                for (; isdigit(static_cast<unsigned char>(*p)); p++, scale /= 10) millis += (*p - '0') * scale;
            }
        }
        if (hour > 23 || minute > 59 || second > 59) return false;
    }
    long long wall = (daysFromCivil(year, month, day) * 86400LL + hour * 3600 + minute * 60 + second) * 1000 + millis;
    if (*p == 'Z') {
        p++;
    } else if (*p == '+' || *p == '-') {
        int sign = *p++ == '-' ? -1 : 1;
        int oh, om = 0;
        if (!digits(&p, 2, &oh)) return false;
        if (*p == ':') p++;
        if (isdigit(static_cast<unsigned char>(*p)) && !digits(&p, 2, &om)) return false;
        if (oh > 23 || om > 59) return false;
        wall -= sign * (oh * 3600LL + om * 60) * 1000;
    } else {
        if (*p != '\0') return false;
        // Local time: mktime finds the offset in force at that moment.
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        time_t t = mktime(&tm);
        if (t == static_cast<time_t>(-1) && !(year == 1969 && month == 12 && day == 31)) return false;
        *ms = static_cast<long long>(t) * 1000 + millis;
        return true;
    }
    if (*p != '\0') return false;
    *ms = wall;
    return true;
}

CSVDateHooks csv_dateHooks = {csv_parseIsoDate, noObjects};
