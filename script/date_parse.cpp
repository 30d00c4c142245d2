#include "script/date_parse.h"

#include <string.h>

#include "common/error_codes.h"
#include "script/date_zone.h"

namespace {

class Scanner {
public:
    explicit Scanner(const char* text) : _start(text), _p(text) {}

    bool eat(char c) {
        if (*_p != c) return false;
        _p++;
        return true;
    }
    bool digits(int count, int* out) {
        int v = 0;
        for (int i = 0; i < count; i++) {
            if (_p[i] < '0' || _p[i] > '9') return false;
            v = v * 10 + (_p[i] - '0');
        }
        _p += count;
        *out = v;
        return true;
    }
    bool isDigit() const { return *_p >= '0' && *_p <= '9'; }
    bool atEnd() const { return *_p == '\0'; }
    size_t offset() const { return static_cast<size_t>(_p - _start); }

private:
    const char* _start;
    const char* _p;
};

int scan(Scanner& s, DateText* out) {
    memset(out, 0, sizeof(*out));
    if (!s.digits(4, &out->year)) return DirError::E_ILLEGAL_ARGUMENT;
    s.eat('-');
    if (!s.digits(2, &out->month)) return DirError::E_ILLEGAL_ARGUMENT;
    s.eat('-');
    if (!s.digits(2, &out->day)) return DirError::E_ILLEGAL_ARGUMENT;
    if (s.eat('T')) {
        if (!s.digits(2, &out->hour)) return DirError::E_ILLEGAL_ARGUMENT;
        s.eat(':');
        if (!s.digits(2, &out->minute)) return DirError::E_ILLEGAL_ARGUMENT;
        bool colon = s.eat(':');
        if (colon || s.isDigit()) {
            if (!s.digits(2, &out->second)) return DirError::E_ILLEGAL_ARGUMENT;
            if (s.eat('.') && !s.digits(3, &out->millis)) return DirError::E_ILLEGAL_ARGUMENT;
        }
    }
    if (s.eat('Z')) {
        out->hasZone = true;
    } else {
        int sign = s.eat('+') ? 1 : s.eat('-') ? -1 : 0;
        if (sign != 0) {
            int hours, minutes = 0;
            if (!s.digits(2, &hours)) return DirError::E_ILLEGAL_ARGUMENT;
            // Minutes only after a colon: "+0530" is refused.
            if (s.eat(':') && !s.digits(2, &minutes)) return DirError::E_ILLEGAL_ARGUMENT;
            out->hasZone = true;
            out->offsetMinutes = sign * (hours * 60 + minutes);
        }
    }
    return s.atEnd() ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

}  // namespace

int date_scanText(const char* text, DateText* out, size_t* errorAt) {
    if (text == nullptr) text = "";
    Scanner s(text);
    int rc = scan(s, out);
    if (rc != 0 && errorAt != nullptr) *errorAt = s.offset();
    return rc;
}

long long date_textMillis(const DateText& t) {
    long long secs = DateZone::daysFromCivil(t.year, t.month, t.day) * 86400LL + t.hour * 3600LL + t.minute * 60LL +
                     t.second - t.offsetMinutes * 60LL;
    return secs * 1000 + t.millis;
}
