#include "dirbase/any.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dirbase/message.h"
#include "io/utf8.h"

namespace {

// Logs the message and reports it as a broken invariant.
void fatal(const char* message, const char* file, int line) {
    log(0, "%s", message);
    _dravika_assert(message, file, line);
}

inline bool isObjectKind(unsigned int t) {
    return t >= 11 && t != OBJ_ANYARRAY_ID;
}

char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

// Truncation toward zero that saturates instead of overflowing.
long long truncateToInt64(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return 9223372036854775807LL;
    if (d <= -9223372036854775808.0) return -9223372036854775807LL - 1;
    return static_cast<long long>(d);
}

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

// --- ObjRef --------------------------------------------------------------

CriticalBlock ObjRef::objRefLock;

void ObjRef::addRef(Translatable* obj) {
    if (obj == nullptr) return;
    CriticalSection lock(objRefLock);
    obj->_refCount++;
}

void ObjRef::release(Translatable* obj) {
    if (obj == nullptr) return;
    bool last;
    {
        CriticalSection lock(objRefLock);
        last = --obj->_refCount == 0;
    }
    if (last) delete obj;
}

ObjRef::ObjRef(Translatable* object) : object(object) {
    addRef(object);
}

ObjRef::ObjRef(const ObjRef& other) : object(other.object) {
    addRef(object);
}

ObjRef::~ObjRef() {
    release(object);
}

void ObjRef::set(Translatable* obj) {
    addRef(obj);
    Translatable* old = object;
    object = obj;
    release(old);
}

char* ObjRef::toString(Parser* parser) {
    if (object == nullptr) return strdup("null");
    return object->toString(parser);
}

// --- Any: construction ---------------------------------------------------

Any::Any() : encoded(false), encodedLength(0), type(ANY_NULL), hint(HINT_NONE) {
    value.i64 = 0;
}

Any::Any(const char* text) : Any() {
    set(text);
}

Any::Any(bool v) : Any() {
    setBool(v);
}

Any::Any(int v) : Any() {
    setInt32(v);
}

Any::Any(long v) : Any() {
    setInt64(v);
}

Any::Any(long long v) : Any() {
    setInt64(v);
}

Any::Any(float v) : Any() {
    setFloat(v);
}

Any::Any(double v) : Any() {
    setDouble(v);
}

Any::Any(const Any& other) : Translatable(), encoded(false), encodedLength(0), type(ANY_NULL), hint(HINT_NONE) {
    value.i64 = 0;
    copyFrom(other);
}

Any& Any::operator=(const Any& other) {
    if (this != &other) {
        clear();
        copyFrom(other);
    }
    return *this;
}

Any::~Any() {
    clear();
}

void Any::copyFrom(const Any& other) {
    if (other.type == ANY_INVALID) {
        fatal("Any::Any called on bad object", __FILE__, __LINE__);
        return;
    }
    type = other.type;
    hint = other.hint;
    if (other.encoded) {
        encoded = true;
        encodedLength = other.encodedLength;
        value.bytes = static_cast<unsigned char*>(malloc(encodedLength == 0 ? 1 : encodedLength));
        if (encodedLength > 0) memcpy(value.bytes, other.value.bytes, encodedLength);
        return;
    }
    switch (type) {
    case ANY_STRING:
    case ANY_CHAR: value.s = dupOrNull(other.value.s); break;
    case ANY_REFERENCE: value.ref = other.value.ref != nullptr ? new ObjRef(*other.value.ref) : nullptr; break;
    case OBJ_ANYARRAY_ID: value.array = other.value.array != nullptr ? new AnyArray(*other.value.array) : nullptr; break;
    default:
        if (isObjectKind(type))
            value.object = other.value.object != nullptr ? copyByEncoding(type, other.value.object) : nullptr;
        else
            value = other.value;
        break;
    }
}

Any* Any::makeUndefined() {
    Any* a = new Any();
    a->type = ANY_UNDEFINED;
    return a;
}

Any* Any::makeDate(long long ms) {
    Any* a = new Any(ms);
    a->hint = HINT_DATE;
    return a;
}

void Any::clear() {
    if (encoded) {
        free(value.bytes);
    } else {
        switch (type) {
        case ANY_STRING:
        case ANY_CHAR: free(value.s); break;
        case ANY_REFERENCE: delete value.ref; break;
        case OBJ_ANYARRAY_ID: delete value.array; break;
        default:
            if (isObjectKind(type)) delete value.object;
            break;
        }
    }
    encoded = false;
    encodedLength = 0;
    type = ANY_NULL;
    hint = HINT_NONE;
    value.i64 = 0;
}

void Any::set(const char* text) {
    clear();
    type = ANY_STRING;
    hint = HINT_STRING;
    value.s = dupOrNull(text);
}

void Any::setBool(bool v) {
    clear();
    type = ANY_BOOLEAN;
    value.b = v;
}

void Any::setInt32(int32_t v) {
    clear();
    type = ANY_INT32;
    value.i32 = v;
}

void Any::setInt64(int64_t v) {
    clear();
    type = ANY_INT64;
    value.i64 = v;
}

void Any::setFloat(float v) {
    clear();
    type = ANY_FLOAT;
    value.f = v;
}

void Any::setDouble(double v) {
    clear();
    type = ANY_DOUBLE;
    value.d = v;
}

void Any::setUndefined() {
    clear();
    type = ANY_UNDEFINED;
}

void Any::setChar(const char* text) {
    clear();
    type = ANY_CHAR;
    value.s = dupOrNull(text);
}

void Any::setReference(Translatable* obj) {
    clear();
    type = ANY_REFERENCE;
    value.ref = new ObjRef(obj);
}

void Any::setArray(AnyArray* array) {
    clear();
    type = static_cast<uint16_t>(OBJ_ANYARRAY_ID);
    value.array = array;
}

void Any::setObject(Translatable* obj) {
    clear();
    if (obj == nullptr) return;
    setType(obj->getObjectID());
    value.object = obj;
}

void Any::setEncoded(unsigned int id, unsigned char* bytes, size_t length) {
    clear();
    setType(id);
    encoded = true;
    encodedLength = length;
    value.bytes = bytes;
}

void Any::setType(unsigned int t) {
    if (!(t < 0xFFFF)) {
        _dravika_assert("type < 0xFFFF", __FILE__, __LINE__);
        return;
    }
    type = static_cast<uint16_t>(t);
}

void Any::setHint(unsigned int t) {
    if (!(t < 0xFFFF)) {
        _dravika_assert("t < 0xFFFF", __FILE__, __LINE__);
        return;
    }
    hint = static_cast<uint16_t>(t);
}

void Any::takeFrom(Any& other) {
    clear();
    type = other.type;
    hint = other.hint;
    encoded = other.encoded;
    encodedLength = other.encodedLength;
    value = other.value;
    // other keeps its kind; the payload it no longer owns is emptied.
    switch (other.type) {
    case ANY_STRING:
    case ANY_CHAR:
    case ANY_REFERENCE:
    case OBJ_ANYARRAY_ID: other.value.i64 = 0; break;
    default:
        if (other.encoded || isObjectKind(other.type)) other.value.i64 = 0;
        break;
    }
    other.encoded = false;
    other.encodedLength = 0;
}

Any* Any::createReference() const {
    if (!encoded && type == OBJ_ANYARRAY_ID) {
        fatal("Logic Error: OBJ_ANYARRAY_ID cannot be used in createReference()", __FILE__, __LINE__);
        return nullptr;
    }
    if (!encoded && isObjectKind(type)) {
        fatal("Logic Error: generic type cannot be used in createReference()", __FILE__, __LINE__);
        return nullptr;
    }
    if (type == ANY_INVALID) {
        fatal("Any::Any called on bad object", __FILE__, __LINE__);
        return nullptr;
    }
    return new Any(*this);
}

Any* Any::createReferenceOrCopy() const {
    if (!encoded && (type == OBJ_ANYARRAY_ID || isObjectKind(type))) return new Any(*this);
    return createReference();
}

Any* Any::createForVariableAssign(const Any* v) {
    if (v == nullptr) return nullptr;
    if (v->encoded) return nullptr;
    Any* a;
    switch (v->type) {
    case ANY_INVALID: fatal("Any::createForVariableAssign called on bad object", __FILE__, __LINE__); return nullptr;
    case ANY_NULL: return new Any();
    case ANY_BOOLEAN:
    case ANY_INT32:
    case ANY_INT64:
    case ANY_FLOAT:
    case ANY_DOUBLE:
        a = new Any();
        a->type = v->type;
        a->value = v->value;
        return a;
    case ANY_STRING:
    case ANY_CHAR: return new Any(v->value.s);
    case ANY_REFERENCE:
        a = new Any();
        a->setReference(v->value.ref != nullptr ? v->value.ref->object : nullptr);
        return a;
    case ANY_UNDEFINED: return makeUndefined();
    default: return nullptr;
    }
}

Translatable* copyByEncoding(unsigned int id, const Translatable* obj) {
    Message message(0);
    if (message.writeObject(id, obj) != 0) return nullptr;
    message.switchToRead();
    Translatable* copy = nullptr;
    if (message.readObject(id, &copy) != 0) return nullptr;
    return copy;
}

bool Any::getObject(Translatable** obj) {
    *obj = nullptr;
    if (encoded) {
        Message message(reinterpret_cast<const char*>(value.bytes), encodedLength);
        Translatable* decoded = nullptr;
        if (message.readObject(type, &decoded) != 0 || decoded == nullptr) {
            log(LOG_WARNING, 0, 0, "Warning: decode of object type: %d failed", type);
            return false;
        }
        free(value.bytes);
        encoded = false;
        encodedLength = 0;
        if (type == OBJ_ANYARRAY_ID)
            value.array = static_cast<AnyArray*>(decoded);
        else
            value.object = decoded;
        *obj = decoded;
        return true;
    }
    if (type == ANY_REFERENCE)
        *obj = value.ref != nullptr ? value.ref->object : nullptr;
    else if (type == OBJ_ANYARRAY_ID)
        *obj = value.array;
    else if (isObjectKind(type))
        *obj = value.object;
    return *obj != nullptr;
}

bool Any::takeObject(Translatable** obj) {
    *obj = nullptr;
    if (encoded) {
        Message message(reinterpret_cast<const char*>(value.bytes), encodedLength);
        if (message.readObject(type, obj) != 0 || *obj == nullptr) {
            log(LOG_WARNING, 0, 0, "Warning: decode of object type: %d failed", type);
            *obj = nullptr;
            return false;
        }
        return true;
    }
    if (type == OBJ_ANYARRAY_ID || isObjectKind(type)) {
        *obj = value.object;
        value.object = nullptr;
    }
    return *obj != nullptr;
}

void Any::setSign(int s) {
    if (encoded) return;
    switch (type) {
    case ANY_INT32: value.i32 = static_cast<int32_t>(static_cast<uint32_t>(value.i32) * static_cast<uint32_t>(s)); break;
    case ANY_INT64: value.i64 = static_cast<int64_t>(static_cast<uint64_t>(value.i64) * static_cast<uint64_t>(s)); break;
    case ANY_FLOAT: value.f *= static_cast<float>(s); break;
    case ANY_DOUBLE: value.d *= s; break;
    default: break;
    }
}

unsigned long Any::hashValue() const {
    if (encoded) return 0;
    switch (type) {
    case ANY_BOOLEAN: return value.b ? 1 : 0;
    case ANY_INT32: return static_cast<unsigned long>(static_cast<long>(value.i32));
    case ANY_INT64: {
        uint64_t v = static_cast<uint64_t>(value.i64);
        return static_cast<unsigned long>((v >> 32) ^ (v & 0xFFFFFFFFu));
    }
    case ANY_FLOAT: return static_cast<unsigned long>(truncateToInt64(value.f));
    case ANY_DOUBLE: return static_cast<unsigned long>(truncateToInt64(value.d));
    case ANY_STRING:
    case ANY_CHAR: return static_cast<unsigned long>(getHashValue(value.s));
    default: return 0;
    }
}

const char* Any::getString() const {
    return !encoded && (type == ANY_STRING || type == ANY_CHAR) ? value.s : nullptr;
}

AnyArray* Any::getArray() const {
    return !encoded && type == OBJ_ANYARRAY_ID ? value.array : nullptr;
}

Translatable* Any::getReferenced() const {
    return !encoded && type == ANY_REFERENCE && value.ref != nullptr ? value.ref->object : nullptr;
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

// --- equality ------------------------------------------------------------

bool Any::operator==(const Any& other) const {
    if (encoded || other.encoded) return false;
    // Integers of both widths, and both floating-point widths, compare by
    // value across kinds whatever the hints.
    if ((type == ANY_INT32 || type == ANY_INT64) && (other.type == ANY_INT32 || other.type == ANY_INT64) &&
        type != other.type) {
        int64_t a = type == ANY_INT32 ? value.i32 : value.i64;
        int64_t b = other.type == ANY_INT32 ? other.value.i32 : other.value.i64;
        return a == b;
    }
    if ((type == ANY_FLOAT || type == ANY_DOUBLE) && (other.type == ANY_FLOAT || other.type == ANY_DOUBLE) &&
        type != other.type) {
        double a = type == ANY_FLOAT ? value.f : value.d;
        double b = other.type == ANY_FLOAT ? other.value.f : other.value.d;
        return a == b;
    }
    if (type != other.type || hint != other.hint) return false;
    switch (type) {
    case ANY_NULL:
    case ANY_UNDEFINED: return true;
    case ANY_BOOLEAN: return value.b == other.value.b;
    case ANY_INT32: return value.i32 == other.value.i32;
    case ANY_INT64: return value.i64 == other.value.i64;
    case ANY_FLOAT: return value.f == other.value.f;
    case ANY_DOUBLE: return value.d == other.value.d;
    case ANY_STRING:
    case ANY_CHAR:
        if (value.s == nullptr || other.value.s == nullptr) return value.s == other.value.s;
        return strcmp(value.s, other.value.s) == 0;
    case ANY_REFERENCE: {
        Translatable* a = getReferenced();
        Translatable* b = other.getReferenced();
        if (a == b) return true;
        if (a == nullptr || b == nullptr) return false;
        bool equal = false;
        return a->isEqual(nullptr, &equal, b) == 0 && equal;
    }
    case OBJ_ANYARRAY_ID: {
        if (value.array == nullptr || other.value.array == nullptr) return value.array == other.value.array;
        bool equal = false;
        return value.array->isEqual(nullptr, &equal, other.value.array) == 0 && equal;
    }
    default: return false;
    }
}

int Any::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = other != nullptr && other->getObjectID() == OBJ_ANY_ID && *this == *static_cast<const Any*>(other);
    return 0;
}

int Any::clone(const Principal*, Translatable** result) const {
    *result = new Any(*this);
    return 0;
}

unsigned int Any::getObjectID() const {
    return OBJ_ANY_ID;
}

// --- scripting hooks -----------------------------------------------------

int Any::getField(Parser* parser, Any** result, const char* name) const {
    *result = nullptr;
    if (encoded) return DirError::E_TYPE_MISMATCH;
    if (type == ANY_NULL || type == ANY_UNDEFINED) return DirError::E_UNDEFINED_PROPERTY;
    if ((type == ANY_STRING || type == ANY_CHAR) && name != nullptr && strcmp(name, "length") == 0) {
        *result = new Any(static_cast<int>(value.s != nullptr ? strlen(value.s) : 0));
        return 0;
    }
    return Translatable::getField(parser, result, name);
}

const char* Any::getTypeOf(Parser* parser) const {
    if (encoded) return "nativeJava";
    switch (type) {
    case ANY_NULL: return "object";
    case ANY_BOOLEAN: return "boolean";
    case ANY_INT32:
    case ANY_FLOAT:
    case ANY_DOUBLE: return "number";
    case ANY_INT64: return hint == HINT_DATE ? "date" : "number";
    case ANY_STRING:
    case ANY_CHAR: return "string";
    case ANY_REFERENCE: {
        Translatable* target = getReferenced();
        return target != nullptr && target->getObjectID() == OBJ_FUNCTION_ID ? "function" : "object";
    }
    case ANY_UNDEFINED:
    case ANY_INVALID: return "undefined";
    case OBJ_ANYARRAY_ID: return "object";
    default: return value.object != nullptr ? value.object->getTypeOf(parser) : "object";
    }
}

const char* Any::getClassOf(Parser* parser) const {
    if (encoded) return "nativeJava";
    switch (type) {
    case ANY_INVALID: return "invalid";
    case ANY_NULL: return "null";
    case ANY_BOOLEAN: return "boolean";
    case ANY_INT32: return hint == HINT_DATE ? "date" : "int32";
    case ANY_INT64: return hint == HINT_DATE ? "date" : "int64";
    case ANY_FLOAT: return "float";
    case ANY_DOUBLE: return "double";
    case ANY_STRING: return "string";
    case ANY_CHAR: return "char";
    case ANY_UNDEFINED: return "undefined";
    case ANY_REFERENCE: {
        Translatable* target = getReferenced();
        const char* name = target != nullptr && _scriptTypeHooks.className != nullptr
                               ? _scriptTypeHooks.className(parser, target->getObjectID())
                               : nullptr;
        return name != nullptr ? name : "object";
    }
    case OBJ_ANYARRAY_ID: return "array";
    default: return value.object != nullptr ? value.object->getClassOf(parser) : "object";
    }
}

// --- text forms ----------------------------------------------------------

namespace {

// Values that arrive encoded inside encoded values are decoded one level per
// text form; this bounds how deep such a chain may go on one thread.
thread_local int _textDepth = 0;

class TextDepth {
public:
    TextDepth() { _textDepth++; }
    ~TextDepth() { _textDepth--; }
    bool tooDeep() const { return _textDepth > kMaxNesting; }
};

}  // namespace

char* Any::toString(Parser* parser) {
    if (encoded) {
        TextDepth depth;
        Translatable* obj;
        if (depth.tooDeep() || !getObject(&obj)) return nullptr;
        return obj->toString(parser);
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
    case ANY_REFERENCE: return value.ref != nullptr ? value.ref->toString(parser) : strdup("null");
    case ANY_UNDEFINED: return strdup("undefined");
    case OBJ_ANYARRAY_ID: return value.array != nullptr ? value.array->toString(parser) : strdup("null");
    default:
        if (isObjectKind(type)) return value.object != nullptr ? value.object->toString(parser) : strdup("null");
        return nullptr;
    }
}

char* Any::toJSON(Parser* parser) {
    if (encoded) {
        TextDepth depth;
        Translatable* obj;
        if (depth.tooDeep() || !getObject(&obj)) return nullptr;
        return obj->toJSON(parser);
    }
    switch (type) {
    case ANY_STRING: return value.s != nullptr ? quoted(value.s, '"') : nullptr;
    case ANY_REFERENCE: {
        Translatable* target = getReferenced();
        return target != nullptr ? target->toJSON(parser) : strdup("null");
    }
    default:
        if (isObjectKind(type)) return value.object != nullptr ? value.object->toJSON(parser) : strdup("null");
        return toString(parser);
    }
}

// --- AnyArray ------------------------------------------------------------

AnyArray::AnyArray() : count(0), elements(nullptr) {}

AnyArray::AnyArray(const AnyArray& other) : Translatable(), count(other.count), elements(nullptr) {
    if (count > 0) {
        elements = static_cast<Any**>(malloc(sizeof(Any*) * count));
        for (int i = 0; i < count; i++)
            elements[i] = other.elements[i] != nullptr ? new Any(*other.elements[i]) : nullptr;
    }
}

AnyArray::~AnyArray() {
    clear();
}

void AnyArray::append(Any* v) {
    elements = static_cast<Any**>(realloc(elements, sizeof(Any*) * (count + 1)));
    elements[count++] = v;
}

void AnyArray::clear() {
    for (int i = 0; i < count; i++) delete elements[i];
    free(elements);
    elements = nullptr;
    count = 0;
}

int AnyArray::getField(Parser* parser, Any** result, const char* name) const {
    *result = nullptr;
    if (name != nullptr && strcmp(name, "length") == 0) {
        *result = new Any(count);
        return 0;
    }
    return Translatable::getField(parser, result, name);
}

int AnyArray::getArrayElement(Parser*, Any** result, const Any* index) const {
    *result = nullptr;
    if (index == nullptr || index->encoded || (index->type != ANY_INT32 && index->type != ANY_INT64))
        return DirError::E_ILLEGAL_ARGUMENT;
    long long i = index->type == ANY_INT32 ? index->value.i32 : index->value.i64;
    const Any* element = i >= 0 && i < count ? elements[i] : nullptr;
    *result = element != nullptr ? element->createReferenceOrCopy() : Any::makeUndefined();
    return 0;
}

int AnyArray::setArrayElement(Parser*, const Any* index, Any* v) {
    if (index == nullptr || index->encoded || index->type != ANY_INT32 || index->value.i32 < 0) {
        delete v;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    int i = index->value.i32;
    if (i >= count) {
        _dravika_assert("index < count", __FILE__, __LINE__);
        delete v;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    delete elements[i];
    elements[i] = v;
    return 0;
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

unsigned int AnyArray::getObjectID() const {
    return OBJ_ANYARRAY_ID;
}

int AnyArray::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = false;
    if (other == nullptr || other->getObjectID() != OBJ_ANYARRAY_ID) return 0;
    const AnyArray* o = static_cast<const AnyArray*>(other);
    if (o->count != count) return 0;
    for (int i = 0; i < count; i++) {
        const Any* a = elements[i];
        const Any* b = o->elements[i];
        if (a == nullptr || b == nullptr) {
            if (a != b) return 0;
        } else if (!(*a == *b)) {
            return 0;
        }
    }
    *result = true;
    return 0;
}

// --- translators ---------------------------------------------------------

namespace {

void int32Field(unsigned char* p, unsigned char n, uint32_t v) {
    p[0] = TAG_FIELD;
    p[1] = n;
    p[2] = TAG_INT32;
    putBE32(p + 3, v);
}

// The encoded size of the fields of a value of a fixed size (kind, payload,
// hint); 0 for the other kinds.
size_t primitiveSize(const Any* a) {
    if (a->encoded) return 0;
    switch (a->type) {
    case ANY_NULL:
    case ANY_UNDEFINED: return 14;
    case ANY_BOOLEAN: return 18;
    case ANY_INT32:
    case ANY_FLOAT: return 21;
    case ANY_INT64:
    case ANY_DOUBLE: return 25;
    default: return 0;
    }
}

// Writes those fields as one block; returns their size.
size_t primitiveFields(const Any* a, unsigned char* p) {
    if (a->encoded) return 0;
    uint32_t kind = a->type;
    uint32_t hint = a->hint;
    switch (a->type) {
    case ANY_NULL:
    case ANY_UNDEFINED:
        int32Field(p, 1, kind);
        int32Field(p + 7, 3, hint);
        return 14;
    case ANY_BOOLEAN:
        int32Field(p, 1, kind);
        p[7] = TAG_FIELD;
        p[8] = 2;
        p[9] = TAG_BOOL;
        p[10] = a->value.b ? 1 : 0;
        int32Field(p + 11, 3, hint);
        return 18;
    case ANY_INT32:
    case ANY_FLOAT: {
        uint32_t bits;
        memcpy(&bits, &a->value, 4);
        int32Field(p, 1, kind);
        int32Field(p + 7, 2, bits);
        p[9] = a->type == ANY_INT32 ? TAG_INT32 : TAG_FLOAT;
        int32Field(p + 14, 3, hint);
        return 21;
    }
    case ANY_INT64:
    case ANY_DOUBLE: {
        uint64_t bits;
        memcpy(&bits, &a->value, 8);
        int32Field(p, 1, kind);
        p[7] = TAG_FIELD;
        p[8] = 2;
        p[9] = a->type == ANY_INT64 ? TAG_INT64 : TAG_DOUBLE;
        putBE64(p + 10, bits);
        int32Field(p + 18, 3, hint);
        return 25;
    }
    default: return 0;
    }
}

}  // namespace

int AnyXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Any* a = static_cast<const Any*>(*obj);
        if (a->encoded) {
            m->writeInt32Field(1, a->type);
            m->writeOpaqueObjectField(2, a->value.bytes, a->encodedLength);
            m->writeInt32Field(3, a->hint);
            return m->getError() != 0 ? -1 : 0;
        }
        int rc = 0;
        size_t n = primitiveSize(a);
        if (n > 0) return m->writeEncoded(n, [a](unsigned char* p) { primitiveFields(a, p); }) != 0 ? -1 : 0;
        switch (a->type) {
        case ANY_INVALID: return -1;
        case ANY_STRING:
        case ANY_CHAR:
            m->writeInt32Field(1, a->type);
            m->writeStringField(2, a->value.s);
            break;
        case ANY_REFERENCE: {
            // The referenced object travels under its own id.
            Translatable* target = a->getReferenced();
            if (target == nullptr) {
                m->writeInt32Field(1, ANY_NULL);
                break;
            }
            unsigned int id = target->getObjectID();
            m->writeInt32Field(1, static_cast<int32_t>(id));
            rc = m->writeObjectField(2, id, target);
            break;
        }
        default:
            m->writeInt32Field(1, a->type);
            rc = m->writeObjectField(2, a->type, a->type == OBJ_ANYARRAY_ID ? a->value.array : a->value.object);
            break;
        }
        m->writeInt32Field(3, a->hint);
        return rc != 0 || m->getError() != 0 ? -1 : 0;
    }

    *obj = nullptr;
    int32_t kind;
    if (m->readInt32Field(1, &kind) != 0) return -1;
    if (kind <= ANY_INVALID || kind >= 0xFFFF || kind == ANY_REFERENCE) return -1;
    int32_t hint = 0;
    int rc = m->readInt32Field(3, &hint);
    if (rc == MSG_E_MISSING_FIELD) {
        m->recover();
        hint = 0;
    } else if (rc != 0) {
        return -1;
    }
    if (hint < 0 || hint >= 0xFFFF) return -1;

    Any* a = new Any();
    bool ok = true;
    switch (kind) {
    case ANY_NULL:
    case ANY_UNDEFINED: break;
    case ANY_BOOLEAN: ok = m->readBoolField(2, &a->value.b) == 0; break;
    case ANY_INT32: ok = m->readInt32Field(2, &a->value.i32) == 0; break;
    case ANY_INT64: ok = m->readInt64Field(2, &a->value.i64) == 0; break;
    case ANY_FLOAT: ok = m->readFloatField(2, &a->value.f) == 0; break;
    case ANY_DOUBLE: ok = m->readDoubleField(2, &a->value.d) == 0; break;
    case ANY_STRING:
    case ANY_CHAR: ok = m->readStringField(2, &a->value.s) == 0; break;
    case static_cast<int32_t>(OBJ_ANYARRAY_ID): {
        Translatable* array = nullptr;
        ok = m->readObjectField(2, OBJ_ANYARRAY_ID, &array) == 0;
        a->value.array = static_cast<AnyArray*>(array);
        break;
    }
    default: {
        // Kept in its encoded form until it is used.
        unsigned int id;
        unsigned char* bytes;
        size_t length;
        ok = m->readOpaqueObjectField(2, &id, &bytes, &length) == 0;
        if (ok && bytes != nullptr) {
            if (id != static_cast<unsigned int>(kind)) {
                free(bytes);
                ok = false;
            } else {
                a->encoded = true;
                a->encodedLength = length;
                a->value.bytes = bytes;
            }
        }
        break;
    }
    }
    a->type = static_cast<uint16_t>(kind);
    a->hint = static_cast<uint16_t>(hint);
    if (!ok) {
        delete a;
        return -1;
    }
    *obj = a;
    return 0;
}

int writeAnyField(MessageBase* m, unsigned int field, const Any* value) {
    // A value of a fixed size goes out whole (field, header, fields and
    // trailer in one block) while the registered Any translator is ours.
    size_t n = value != nullptr ? primitiveSize(value) : 0;
    if (n == 0 || MessageBase::findXlatorFn(OBJ_ANY_ID) != AnyXlator)
        return m->writeObjectField(field, OBJ_ANY_ID, value);
    return m->writeEncoded(n + 8, [field, value, n](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(field);
        p[2] = TAG_OBJECT;
        putBE32(p + 3, OBJ_ANY_ID);
        primitiveFields(value, p + 7);
        p[n + 7] = TAG_OBJECT_END;
    });
}

namespace {

// An Any object in the exact layout the encoder writes: header, field 1
// (kind, int32), field 2 (payload) unless null or undefined, field 3 (hint,
// int32), trailer. Null when the bytes are anything else.
Any* parseCanonicalAny(const unsigned char* p, size_t available) {
    const unsigned char* end = p + available;
    auto int32Field = [&](unsigned char n, uint32_t* v) {
        if (end - p < 7 || p[0] != TAG_FIELD || p[1] != n || p[2] != TAG_INT32) return false;
        *v = getBE32(p + 3);
        p += 7;
        return true;
    };
    uint32_t kind, hint;
    if (end - p < 5 || p[0] != TAG_OBJECT || getBE32(p + 1) != OBJ_ANY_ID) return nullptr;
    p += 5;
    if (!int32Field(1, &kind)) return nullptr;
    Any* a = nullptr;
    if (kind == ANY_NULL || kind == ANY_UNDEFINED) {
        a = new Any();
    } else {
        if (end - p < 3 || p[0] != TAG_FIELD || p[1] != 2) return nullptr;
        unsigned char tag = p[2];
        p += 3;
        switch (kind) {
        case ANY_BOOLEAN:
            if (tag != TAG_BOOL || end - p < 1) return nullptr;
            a = new Any(*p != 0);
            p += 1;
            break;
        case ANY_INT32:
        case ANY_FLOAT:
            if (tag != (kind == ANY_INT32 ? TAG_INT32 : TAG_FLOAT) || end - p < 4) return nullptr;
            a = new Any();
            {
                uint32_t bits = getBE32(p);
                memcpy(&a->value, &bits, 4);
            }
            p += 4;
            break;
        case ANY_INT64:
        case ANY_DOUBLE:
            if (tag != (kind == ANY_INT64 ? TAG_INT64 : TAG_DOUBLE) || end - p < 8) return nullptr;
            a = new Any();
            {
                uint64_t bits = getBE64(p);
                memcpy(&a->value, &bits, 8);
            }
            p += 8;
            break;
        case ANY_STRING:
        case ANY_CHAR:
            if (tag == TAG_NULL_STRING) {
                a = new Any();
            } else {
                if (tag != TAG_STRING || end - p < 4) return nullptr;
                uint32_t length = getBE32(p);
                p += 4;
                if (static_cast<size_t>(end - p) < length) return nullptr;
                a = new Any();
                a->value.s = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
                memcpy(a->value.s, p, length);
                a->value.s[length] = '\0';
                p += length;
            }
            break;
        default: return nullptr;
        }
    }
    a->type = static_cast<uint16_t>(kind);
    if (!int32Field(3, &hint) || hint >= 0xFFFF || end - p < 1 || *p != TAG_OBJECT_END) {
        delete a;
        return nullptr;
    }
    a->hint = static_cast<uint16_t>(hint);
    return a;
}

}  // namespace

int readAnyField(MessageBase* m, unsigned int field, Any** value) {
    size_t available;
    const unsigned char* p = m->peekField(field, &available);
    if (p != nullptr && MessageBase::findXlatorFn(OBJ_ANY_ID) == AnyXlator) {
        *value = parseCanonicalAny(p, available);
        if (*value != nullptr) return 0;
    }
    Translatable* obj;
    int rc = m->readObjectField(field, OBJ_ANY_ID, &obj);
    *value = static_cast<Any*>(obj);
    return rc;
}

int AnyArrayXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const AnyArray* array = static_cast<const AnyArray*>(*obj);
        m->writeInt32Field(1, array->count);
        for (int i = 0; i < array->count; i++)
            if (writeAnyField(m, static_cast<unsigned int>(i) + 2, array->elements[i]) != 0) return -1;
        return m->getError() != 0 ? -1 : 0;
    }

    *obj = nullptr;
    int32_t count;
    if (m->readInt32Field(1, &count) != 0) return -1;
    // Every element is a field of its own, so the index bounds the count.
    if (count < 0 || count >= m->fieldCount()) return -1;
    AnyArray* array = new AnyArray();
    if (count > 0) {
        array->elements = static_cast<Any**>(calloc(static_cast<size_t>(count), sizeof(Any*)));
        array->count = count;
    }
    for (int i = 0; i < count; i++) {
        if (readAnyField(m, static_cast<unsigned int>(i) + 2, &array->elements[i]) != 0) {
            delete array;
            return -1;
        }
    }
    *obj = array;
    return 0;
}
