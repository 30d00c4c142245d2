// The text sides of Any: its text and JSON forms (and AnyArray's), the
// escaping of strings, and the typed conversions with the text parsing
// behind them.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "dirbase/any.h"
#include "dirbase/any_internal.h"
#include "dirbase/message.h"
#include "io/utf8.h"

using any_internal::dupOrNull;
using any_internal::fatal;
using any_internal::isObjectKind;
using any_internal::truncateToInt64;

namespace {

// "%f" with trailing zeros removed, keeping one digit after the point.
char* formatReal(double d) {
    char buf[400];
    snprintf(buf, sizeof(buf), "%f", d);
    char* point = strchr(buf, '.');
    if (point != nullptr) {
        char* end = buf + strlen(buf) - 1;
        while (end > point + 1 && *end == '0') *end-- = '\0';
    }
    return strdup(buf);
}

char* formatDate(long long ms) {
    char buf[80];
    time_t seconds = static_cast<time_t>(ms / 1000);
    int millis = static_cast<int>(ms % 1000);
    struct tm tm;
    if (gmtime_r(&seconds, &tm) == nullptr) {
        snprintf(buf, sizeof(buf), "%lld", ms);
    } else {
        snprintf(buf, sizeof(buf), "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    }
    return strdup(buf);
}

char* quoted(const char* text, char quote) {
    size_t n = strlen(text);
    char* out = static_cast<char*>(malloc(n + 3));
    out[0] = quote;
    memcpy(out + 1, text, n);
    out[n + 1] = quote;
    out[n + 2] = '\0';
    return out;
}

const char* skipBlanks(const char* p) {
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) p++;
    return p;
}

bool parseInteger(const char* text, bool wide, long long& out) {
    const char* p = skipBlanks(text != nullptr ? text : "");
    if (*p == '\0') {
        out = 0;
        return true;
    }
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
    }
    const char* number = p;
    unsigned long long whole = 0;
    while (*p >= '0' && *p <= '9') whole = whole * 10 + static_cast<unsigned>(*p++ - '0');
    bool real = false;
    double fraction = 0;
    if (*p == '.') {
        char* end;
        fraction = strtod(number, &end);
        if (end > p) p = end;
        real = true;
    }
    p = skipBlanks(p);
    unsigned long long unit = 1;
    if (*p != '\0') {
        switch (tolower(static_cast<unsigned char>(*p))) {
        case 'k': unit = 1ULL << 10; break;
        case 'm': unit = 1ULL << 20; break;
        case 'g': unit = 1ULL << 30; break;
        case 't': unit = wide ? 1ULL << 40 : 1; break;
        case 'p': unit = wide ? 1ULL << 50 : 1; break;
        case 'e': unit = wide ? 1ULL << 60 : 1; break;
        default: break;
        }
        p = skipBlanks(p + 1);
        if (*p != '\0') return false;
    }
    if (real) {
        double d = fraction * static_cast<double>(unit);
        out = truncateToInt64(negative ? -d : d);
    } else {
        unsigned long long v = whole * unit;
        out = static_cast<long long>(negative ? 0 - v : v);
    }
    return true;
}

}  // namespace

char* escapeJSONString(const char* text) {
    if (text == nullptr) return nullptr;
    size_t length = strlen(text);
    size_t capacity = length + 2 + 1;
    char* out = static_cast<char*>(malloc(capacity));
    size_t at = 0;
    auto reserve = [&](size_t n) {
        if (at + n + 2 > capacity) {
            size_t step = n <= 2 ? 8 : (n <= 10 ? 16 : 64);
            capacity += step > n + 2 ? step : n + 2;
            out = static_cast<char*>(realloc(out, capacity));
        }
    };
    out[at++] = '"';
    int i = 0;
    while (text[i] != '\0') {
        int start = i;
        uint32_t ch = u8_nextchar(text, &i);
        char escape[16];
        int n = 0;
        switch (ch) {
        case '\\': n = snprintf(escape, sizeof(escape), "\\\\"); break;
        case '"': n = snprintf(escape, sizeof(escape), "\\\""); break;
        case 7: n = snprintf(escape, sizeof(escape), "\\a"); break;
        case 8: n = snprintf(escape, sizeof(escape), "\\b"); break;
        case 9: n = snprintf(escape, sizeof(escape), "\\t"); break;
        case 10: n = snprintf(escape, sizeof(escape), "\\n"); break;
        case 12: n = snprintf(escape, sizeof(escape), "\\f"); break;
        case 13: n = snprintf(escape, sizeof(escape), "\\r"); break;
        default:
            if (ch < 32 || ch == 127)
                n = snprintf(escape, sizeof(escape), "\\x%hhX", static_cast<unsigned char>(ch));
            else if (ch >= 128 && ch <= 65535)
                n = snprintf(escape, sizeof(escape), "\\u%04X", ch);
            else if (ch > 65535)
                n = snprintf(escape, sizeof(escape), "\\U%08X", ch);
            break;
        }
        if (n > 0) {
            reserve(static_cast<size_t>(n));
            memcpy(out + at, escape, static_cast<size_t>(n));
            at += static_cast<size_t>(n);
        } else {
            size_t len = static_cast<size_t>(i - start);
            reserve(len);
            memcpy(out + at, text + start, len);
            at += len;
        }
    }
    reserve(1);
    out[at++] = '"';
    out[at] = '\0';
    return out;
}

// --- conversions ---------------------------------------------------------

const Any* Any::resolved(Parser* parser) const {
    if (parser == nullptr || encoded || type != ANY_REFERENCE || _scriptTypeHooks.assignedValue == nullptr)
        return this;
    Translatable* target = getReferenced();
    if (target == nullptr || !target->isAssignable()) return this;
    const Any* current = _scriptTypeHooks.assignedValue(parser, target);
    return current != nullptr ? current : this;
}

bool Any::textToInt32(const char* text, int& out) {
    long long v;
    if (!parseInteger(text, false, v)) return false;
    out = static_cast<int>(v);
    return true;
}

bool Any::textToInt64(const char* text, long long& out) {
    return parseInteger(text, true, out);
}

bool Any::textToDouble(const char* text, double& out) {
    const char* p = skipBlanks(text != nullptr ? text : "");
    if (*p == '\0') {
        out = 0.0;
        return true;
    }
    char buf[131];
    if (p[0] == '.')
        snprintf(buf, sizeof(buf), "0%s", p);
    else if (p[0] == '-' && p[1] == '.')
        snprintf(buf, sizeof(buf), "-0%s", p + 1);
    else
        snprintf(buf, sizeof(buf), "%s", p);
    char* end;
    double d = strtod(buf, &end);
    if (end == buf) return false;
    out = d;
    return true;
}

bool Any::textToBool(const char* text) {
    if (text == nullptr) return false;
    return strcasecmp(text, "yes") == 0 || strcasecmp(text, "true") == 0 || strcmp(text, "1") == 0;
}

bool Any::convertToBool(Parser* parser, bool& out) const {
    const Any* v = resolved(parser);
    if (v->hint == HINT_ANY) return true;
    if (v->encoded) return false;
    if (v->type == ANY_BOOLEAN) {
        out = v->value.b;
        return true;
    }
    if ((v->type == ANY_STRING || v->type == ANY_CHAR) && v->hint == HINT_BOOL_TEXT) {
        out = textToBool(v->value.s);
        return true;
    }
    return false;
}

bool Any::convertToInt32(Parser* parser, int& out) const {
    const Any* v = resolved(parser);
    if (!v->encoded && v->type == ANY_INT32) {
        out = v->value.i32;
        return true;
    }
    if (v->hint == HINT_ANY) return true;
    if (!v->encoded && (v->type == ANY_STRING || v->type == ANY_CHAR) && v->hint == HINT_INT32_TEXT)
        return textToInt32(v->value.s, out);
    return false;
}

bool Any::convertToInt64(Parser* parser, long long& out) const {
    const Any* v = resolved(parser);
    if (!v->encoded && v->type == ANY_INT64) {
        out = v->value.i64;
        return true;
    }
    if (!v->encoded && v->type == ANY_INT32) {
        out = v->value.i32;
        return true;
    }
    if (v->hint == HINT_ANY) return true;
    if (!v->encoded && (v->type == ANY_STRING || v->type == ANY_CHAR) && v->hint == HINT_INT64_TEXT)
        return textToInt64(v->value.s, out);
    return false;
}

bool Any::convertToDouble(Parser* parser, double& out) const {
    const Any* v = resolved(parser);
    if (v->hint == HINT_ANY) return true;
    if (v->encoded) return false;
    switch (v->type) {
    case ANY_BOOLEAN: out = v->value.b ? 1.0 : 0.0; return true;
    case ANY_INT32: out = v->value.i32; return true;
    case ANY_INT64: out = static_cast<double>(v->value.i64); return true;
    case ANY_FLOAT: out = v->value.f; return true;
    case ANY_DOUBLE: out = v->value.d; return true;
    case ANY_STRING:
    case ANY_CHAR: return textToDouble(v->value.s, out);
    default: return false;
    }
}

bool Any::convertToEnum(Parser* parser, int& out) const {
    const Any* v = resolved(parser);
    if (v->hint == HINT_ANY) return true;
    if (!v->encoded && (v->type == ANY_STRING || v->type == ANY_CHAR) && v->hint == HINT_ENUM_TEXT) {
        out = v->value.s != nullptr ? static_cast<int>(strtol(v->value.s, nullptr, 10)) : 0;
        return true;
    }
    return false;
}

bool Any::convertToString(Parser* parser, char*& out) const {
    const Any* v = resolved(parser);
    if (v->hint != HINT_STRING) return false;
    out = dupOrNull(v->getString());
    return true;
}

bool Any::convertToFunction(Parser* parser, Function** out) const {
    Translatable* target = resolved(parser)->getReferenced();
    if (target == nullptr || target->getObjectID() != OBJ_FUNCTION_ID) return false;
    *out = reinterpret_cast<Function*>(target);
    return true;
}

bool Any::convertToArray(Parser* parser, AnyArray** out) const {
    Translatable* target = resolved(parser)->getReferenced();
    if (target == nullptr || target->getObjectID() != OBJ_ANYARRAY_ID) return false;
    *out = static_cast<AnyArray*>(target);
    return true;
}

bool Any::convertToAttributes(Parser* parser, Attributes** out) const {
    Translatable* target = resolved(parser)->getReferenced();
    if (target == nullptr || target->getObjectID() != OBJ_ATTRIBUTES_ID) return false;
    *out = reinterpret_cast<Attributes*>(target);
    return true;
}

// --- text forms ----------------------------------------------------------

namespace {

// A text form recurses once per level of containers (arrays, referenced and
// owned objects, values decoded on the way), and a value can hold itself.
// The containers being printed on this thread are kept here: one met again
// inside itself, or one more than kMaxNesting deep, has no text, which its
// holder shows as null. A value that deep cannot be sent either.
thread_local int _textDepth = 0;
thread_local const Translatable* _textPath[kMaxNesting];

char* nestedText(Translatable* container, Parser* parser, bool json) {
    const int depth = _textDepth;
    if (depth >= kMaxNesting) return nullptr;
    for (int i = 0; i < depth; i++)
        if (_textPath[i] == container) return nullptr;
    _textPath[depth] = container;
    _textDepth = depth + 1;
    char* text = json ? container->toJSON(parser) : container->toString(parser);
    _textDepth = depth;
    return text;
}

}  // namespace

char* Any::toString(Parser* parser) {
    if (encoded) {
        Translatable* obj;
        if (_textDepth >= kMaxNesting || !getObject(&obj)) return nullptr;
        return nestedText(obj, parser, false);
    }
    char buf[80];
    switch (type) {
    case ANY_NULL: return strdup("null");
    case ANY_BOOLEAN: return strdup(value.b ? "true" : "false");
    case ANY_INT32: snprintf(buf, sizeof(buf), "%d", value.i32); return strdup(buf);
    case ANY_INT64:
        if (hint == HINT_DATE) return formatDate(value.i64);
        snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(value.i64));
        return strdup(buf);
    case ANY_FLOAT: return formatReal(value.f);
    case ANY_DOUBLE: return formatReal(value.d);
    case ANY_STRING: return escapeJSONString(value.s);
    case ANY_CHAR: return value.s != nullptr ? quoted(value.s, '\'') : nullptr;
    case ANY_REFERENCE: {
        Translatable* target = getReferenced();
        return target != nullptr ? nestedText(target, parser, false) : strdup("null");
    }
    case ANY_UNDEFINED: return strdup("undefined");
    case OBJ_ANYARRAY_ID: return value.array != nullptr ? nestedText(value.array, parser, false) : strdup("null");
    default:
        if (isObjectKind(type))
            return value.object != nullptr ? nestedText(value.object, parser, false) : strdup("null");
        return nullptr;
    }
}

char* Any::toJSON(Parser* parser) {
    if (encoded) {
        Translatable* obj;
        if (_textDepth >= kMaxNesting || !getObject(&obj)) return nullptr;
        return nestedText(obj, parser, true);
    }
    switch (type) {
    case ANY_STRING: return value.s != nullptr ? quoted(value.s, '"') : nullptr;
    case ANY_REFERENCE: {
        Translatable* target = getReferenced();
        return target != nullptr ? nestedText(target, parser, true) : strdup("null");
    }
    default:
        if (isObjectKind(type))
            return value.object != nullptr ? nestedText(value.object, parser, true) : strdup("null");
        return toString(parser);
    }
}

char* AnyArray::toString(Parser* parser) {
    int* level = _scriptTypeHooks.prettyLevel != nullptr && parser != nullptr ? _scriptTypeHooks.prettyLevel(parser)
                                                                                : nullptr;
    size_t capacity = 64, at = 0;
    char* out = static_cast<char*>(malloc(capacity));
    auto add = [&](const char* s, size_t n) {
        if (at + n + 1 > capacity) {
            while (at + n + 1 > capacity) capacity *= 2;
            out = static_cast<char*>(realloc(out, capacity));
        }
        memcpy(out + at, s, n);
        at += n;
    };
    auto indent = [&](int depth) {
        for (int d = 0; d < depth; d++) add("    ", 4);
    };
    int outer = level != nullptr ? *level : 0;
    add(level != nullptr ? "[\n" : "[ ", 2);
    if (level != nullptr) (*level)++;
    for (int i = 0; i < count; i++) {
        if (i > 0) add(level != nullptr ? ",\n" : ", ", 2);
        if (level != nullptr) indent(outer + 1);
        char* text = elements[i] != nullptr ? elements[i]->toString(parser) : nullptr;
        if (text != nullptr) {
            add(text, strlen(text));
            free(text);
        } else {
            add("null", 4);
        }
    }
    if (level != nullptr) {
        *level = outer;
        add("\n", 1);
        indent(outer);
        add("]", 1);
    } else {
        add(" ]", 2);
    }
    out[at] = '\0';
    return out;
}

