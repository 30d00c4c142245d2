// DatePrototype: construction, Date.parse, and the method table of dates.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/date.h"
#include "script/date_parse.h"
#include "script/date_zone.h"
#include "script/parser.h"

namespace {

Any* referenceTo(Translatable* object) {
    Any* v = new Any();
    v->setReference(object);
    return v;
}

Any* textResult(char* text) {
    if (text == nullptr) return nullptr;
    Any* v = new Any(text);
    free(text);
    return v;
}

bool isInteger(const Any* v) {
    return v->getType() == ANY_INT32 || v->getType() == ANY_INT64;
}

long long integerOf(const Any* v) {
    return v->getType() == ANY_INT32 ? v->getInt32() : v->getInt64();
}

// An integer argument within the instants a date may hold.
bool isInstant(const Any* v) {
    if (!isInteger(v)) return false;
    long long ms = integerOf(v);
    return ms >= -Date::kMaxMillis && ms <= Date::kMaxMillis;
}

// Today at 00:00:00.000 local time, moved by days.
Any* dayStart(Parser* parser, int days) {
    Date* d = new Date();
    d->milliseconds = 0;
    if (d->buildTm(parser, false) != 0) {
        delete d;
        return nullptr;
    }
    d->tm.tm_hour = d->tm.tm_min = d->tm.tm_sec = 0;
    d->tm.tm_mday += days;
    if (d->buildTime(parser) != 0) {
        delete d;
        return nullptr;
    }
    return referenceTo(d);
}

// One method: self is the date (null when called on the class); a result of
// null with 0 stands for "no value".
typedef int (*Method)(Parser* parser, Date* self, Any** args, Any** result);

int getTime(Parser*, Date* self, Any**, Any** result) {
    *result = new Any(self->getTime());
    return 0;
}

// Takes the 64-bit milliseconds that getTime gives, and no other type: a
// 32-bit integer is refused like a text.
int setTime(Parser*, Date* self, Any** args, Any** result) {
    if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
    if (args[0]->getType() != ANY_INT64 || !isInstant(args[0])) return DirError::E_ILLEGAL_ARGUMENT;
    self->setTime(integerOf(args[0]));
    *result = Any::makeUndefined();
    return 0;
}

int setDate(Parser* parser, Date* self, Any** args, Any** result) {
    if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
    if (!isInteger(args[0])) return DirError::E_ILLEGAL_ARGUMENT;
    long long day = integerOf(args[0]);
    // Far beyond any calendar; keeps the broken-down field in range.
    if (day < -1000000000LL || day > 1000000000LL) return DirError::E_ILLEGAL_ARGUMENT;
    if (int rc = self->buildTm(parser, false); rc != 0) return rc;
    self->tm.tm_mday = static_cast<int>(day);
    long long before = self->seconds;
    if (int rc = self->buildTime(parser); rc != 0) return rc;
    if (self->seconds > Date::kMaxMillis / 1000 || self->seconds < -Date::kMaxMillis / 1000) {
        self->seconds = before;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    *result = Any::makeUndefined();
    return 0;
}

int getDate(Parser* parser, Date* self, Any**, Any** result) {
    if (int rc = self->buildTm(parser, false); rc != 0) return rc;
    *result = new Any(self->tm.tm_mday);
    return 0;
}

int now(Parser*, Date*, Any**, Any** result) {
    *result = referenceTo(new Date());
    return 0;
}

int today(Parser* parser, Date*, Any**, Any** result) {
    *result = dayStart(parser, 0);
    return *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

int tomorrow(Parser* parser, Date*, Any**, Any** result) {
    *result = dayStart(parser, 1);
    return *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

int yesterday(Parser* parser, Date*, Any**, Any** result) {
    *result = dayStart(parser, -1);
    return *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

int parse(Parser* parser, Date*, Any** args, Any** result) {
    if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
    if (args[0]->getType() != ANY_STRING) return DirError::E_ILLEGAL_ARGUMENT;
    return DatePrototype::complexParse(parser, args[0]->getString(), result);
}

int toISOString(Parser* parser, Date* self, Any**, Any** result) {
    *result = textResult(self->toISOString(parser));
    return *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

// The fixed text forms: UTC or local, a strftime format and a suffix
// printed with the milliseconds.
struct FixedForm {
    const char* name;
    bool utc;
    const char* format;
    const char* suffix;
};
const FixedForm kForms[] = {
    {"toISOStringFileFormat", true, "%Y-%m-%dT%H-%M-%SZ", nullptr},
    {"toISOStringFileFormatLong", true, "%Y-%m-%dT%H-%M-%S", "-%03dZ"},
    {"toTimestamp", true, "'%Y-%m-%d %H:%M:%S", ".%03d'"},
    {"toGMTString", true, "%a %b %d %Y %H:%M:%S GMT", nullptr},
    {"toUTCString", true, "%a %b %d %Y %H:%M:%S GMT", nullptr},
    {"toLocaleDateString", false, "%x", nullptr},
    {"toLocaleString", false, "%x %I:%M:%S %p", nullptr},
    {"toLocaleTimeString", false, "%I:%M:%S %p", nullptr},
};

int formatArg(Parser* parser, Date* self, Any** args, Any** result) {
    if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
    char* fmt = nullptr;
    if (!args[0]->convertToString(parser, fmt) || fmt == nullptr) return DirError::E_NOT_CONVERTIBLE;
    // The zone fields would show the conversion's private zone data.
    if (strstr(fmt, "%z") != nullptr || strstr(fmt, "%Z") != nullptr) {
        free(fmt);
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    *result = textResult(self->format(parser, false, fmt, nullptr));
    free(fmt);
    return *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
}

struct MethodEntry {
    const char* name;
    int memberId;       // in the member-name table
    bool needsInstance; // false: callable on the class too
    Method run;
};

// getDay answers the day of the month, the same as getDate: scripts
// written for this runtime rely on it.
const MethodEntry kMethods[] = {
    {"getTime", 36, true, getTime},
    {"setTime", 55, true, setTime},
    {"setDate", 54, true, setDate},
    {"getDate", 28, true, getDate},
    {"getDay", 29, true, getDate},
    {"now", 39, false, now},
    {"today", 40, false, today},
    {"tomorrow", 41, false, tomorrow},
    {"yesterday", 42, false, yesterday},
    {"parse", 25, false, parse},
    {"toJSON", 43, true, toISOString},
    {"toISOString", 46, true, toISOString},
    {"format", 53, true, formatArg},
    {"toISOStringFileFormat", 82, true, nullptr},
    {"toISOStringFileFormatLong", 83, true, nullptr},
    {"toTimestamp", 84, true, nullptr},
    {"toGMTString", 45, true, nullptr},
    {"toUTCString", 52, true, nullptr},
    {"toLocaleDateString", 47, true, nullptr},
    {"toLocaleString", 49, true, nullptr},
    {"toLocaleTimeString", 50, true, nullptr},
};

}  // namespace

int DatePrototype::construct(Parser*, Any** args, Translatable** out) const {
    *out = nullptr;
    size_t n = 0;
    while (args != nullptr && args[n] != nullptr) n++;
    if (n == 0) {
        *out = new Date();
        return 0;
    }
    if (n > 1) return DirError::E_NOT_IMPLEMENTED;
    if (!isInstant(args[0])) return DirError::E_ILLEGAL_ARGUMENT;
    *out = new Date(integerOf(args[0]));
    return 0;
}

int DatePrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) {
    *result = nullptr;
    if (name == nullptr) return DirError::E_NO_SUCH_FUNCTION;
    Date* date = self != nullptr && self->getObjectID() == OBJ_DATE_ID && !self->isPrototype()
                     ? static_cast<Date*>(self)
                     : nullptr;
    for (const MethodEntry& m : kMethods) {
        if (strcmp(m.name, name) != 0) continue;
        if (m.needsInstance && date == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
        int rc;
        if (m.run != nullptr) {
            rc = m.run(parser, date, args, result);
        } else {
            rc = DirError::E_ILLEGAL_ARGUMENT;
            for (const FixedForm& f : kForms)
                if (strcmp(f.name, name) == 0) {
                    *result = textResult(date->format(parser, f.utc, f.format, f.suffix));
                    rc = *result != nullptr ? 0 : DirError::E_ILLEGAL_ARGUMENT;
                }
        }
        if (rc != 0) {
            delete *result;
            *result = nullptr;
        }
        return rc;
    }
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* DatePrototype::toString(Parser*) {
    return strdup("[class Date]");
}

int DatePrototype::parseText(const char* text, const char* zoneName, long long* ms, int* offsetMinutes,
                             size_t* errorAt) {
    DateText t;
    if (date_scanText(text, &t, errorAt) != 0) return DirError::E_ILLEGAL_ARGUMENT;
    if (!t.hasZone) {
        // The zone's offset now, as the conversion hook or the zone data
        // gives it.
        Date now;
        if (now.buildTmIn(zoneName, false) != 0) return DirError::E_ILLEGAL_ARGUMENT;
        t.offsetMinutes = now.offset;
    }
    *ms = date_textMillis(t);
    if (offsetMinutes != nullptr) *offsetMinutes = t.offsetMinutes;
    return 0;
}

int DatePrototype::complexParse(Parser* parser, const char* text, Any** result) {
    *result = nullptr;
    if (text == nullptr) text = "";
    long long ms = 0;
    int offset = 0;
    // Stays so when the text fits and only the zone's offset failed.
    size_t at = SIZE_MAX;
    if (parseText(text, Date::scopeZone(parser), &ms, &offset, &at) != 0) {
        if (parser != nullptr && at != SIZE_MAX)
            parser->printf(5, "Error parsing date at '%s' in '%s'\n", text + at, text);
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    Date* d = new Date(ms);
    d->offset = offset;
    memcpy(d->zone, "GMT", 4);
    *result = referenceTo(d);
    return 0;
}

void script_registerDate() {
    static int members[sizeof(kMethods) / sizeof(kMethods[0]) + 1];
    size_t n = 0;
    for (const MethodEntry& m : kMethods) members[n++] = m.memberId;
    members[n] = 0;
    Parser::registerObject(OBJ_DATE_ID, "Date", new DatePrototype(), false);
    Parser::registerMembers("Date", members);
}
