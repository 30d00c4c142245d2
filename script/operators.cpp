#include "script/operators.h"

#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <limits>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "dirbase/attributes.h"
#include "script/ast.h"
#include "script/lex.h"
#include "script/lex_pattern.h"

namespace {

// Results go into values that hold no payload almost always (fresh stack
// values); those are written directly, anything else through its setter.
inline bool plain(const Any& v) {
    return !v.encoded && v.type != ANY_STRING && v.type != ANY_CHAR && v.type != ANY_REFERENCE &&
           v.type <= ANY_UNDEFINED;
}
inline void putBool(Any& out, bool b) {
    if (!plain(out)) out.clear();
    out.type = ANY_BOOLEAN;
    out.hint = 0;
    out.value.b = b;
}
inline void putInt32(Any& out, int32_t i) {
    if (!plain(out)) out.clear();
    out.type = ANY_INT32;
    out.hint = 0;
    out.value.i32 = i;
}
inline void putInt64(Any& out, int64_t i) {
    if (!plain(out)) out.clear();
    out.type = ANY_INT64;
    out.hint = 0;
    out.value.i64 = i;
}
inline void putDouble(Any& out, double d) {
    if (!plain(out)) out.clear();
    out.type = ANY_DOUBLE;
    out.hint = 0;
    out.value.d = d;
}

bool isString(const Any& v) {
    return !v.isEncoded() && (v.getType() == ANY_STRING || v.getType() == ANY_CHAR);
}

bool isNullish(const Any& v) {
    return !v.isEncoded() && (v.getType() == ANY_NULL || v.getType() == ANY_UNDEFINED);
}

bool isNumber(const Any& v) {
    if (v.isEncoded()) return false;
    switch (v.getType()) {
    case ANY_INT32:
    case ANY_INT64:
    case ANY_FLOAT:
    case ANY_DOUBLE: return true;
    default: return false;
    }
}

bool isEquality(int op) {
    return op >= OP_EQ && op <= OP_SNE;
}

bool isComparison(int op) {
    return op >= OP_LT && op <= OP_GE;
}

double asDouble(const Any& v) {
    switch (v.getType()) {
    case ANY_BOOLEAN: return v.getBool() ? 1.0 : 0.0;
    case ANY_INT32: return v.getInt32();
    case ANY_INT64: return static_cast<double>(v.getInt64());
    case ANY_FLOAT: return v.getFloat();
    default: return v.getDouble();
    }
}

long long asInt64(const Any& v) {
    switch (v.getType()) {
    case ANY_BOOLEAN: return v.getBool() ? 1 : 0;
    case ANY_INT32: return v.getInt32();
    default: return v.getInt64();
    }
}

// Comparison and equality on promoted values. Strict equality also wants
// the operands' kinds to match (sameType).
template <typename T>
bool compare(int op, T a, T b, bool sameType) {
    switch (op) {
    case OP_LT: return a < b;
    case OP_LE: return a <= b;
    case OP_GT: return a > b;
    case OP_GE: return a >= b;
    case OP_EQ: return a == b;
    case OP_NE: return !(a == b);
    case OP_SEQ: return sameType && a == b;
    default: return !(sameType && a == b);
    }
}

// Floating-point arithmetic; the remainder is the floating remainder.
template <typename T>
T floatArith(int op, T a, T b) {
    switch (op) {
    case OP_ADD: return a + b;
    case OP_SUB: return a - b;
    case OP_MUL: return a * b;
    case OP_DIV: return a / b;
    default: return static_cast<T>(fmod(static_cast<double>(a), static_cast<double>(b)));
    }
}

// Integer arithmetic that wraps. Division and remainder by zero have no
// value: they answer RangeError 24 ("Illegal Argument") so that a script
// can never trap the process. The most negative value divided by -1 would
// overflow: that is RangeError 24 too, while its remainder is simply 0.
template <typename T, typename U>
int intArith(int op, T a, T b, T& out, Error::Type* type) {
    switch (op) {
    case OP_ADD: out = static_cast<T>(static_cast<U>(a) + static_cast<U>(b)); return 0;
    case OP_SUB: out = static_cast<T>(static_cast<U>(a) - static_cast<U>(b)); return 0;
    case OP_MUL: out = static_cast<T>(static_cast<U>(a) * static_cast<U>(b)); return 0;
    default: break;
    }
    if (b == 0) {
        *type = Error::RangeError;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    if (b == -1) {
        if (op == OP_MOD) {
            out = 0;
            return 0;
        }
        if (a == std::numeric_limits<T>::min()) {
            *type = Error::RangeError;
            return DirError::E_ILLEGAL_ARGUMENT;
        }
    }
    out = op == OP_DIV ? a / b : a % b;
    return 0;
}

int notImplemented(Error::Type* type) {
    *type = Error::ReferenceError;
    return DirError::E_NOT_IMPLEMENTED;
}

int illegalMath(Error::Type* type) {
    *type = Error::TypeError;
    return DirError::E_ILLEGAL_MATH_OPERAND;
}

// Both operands numbers or booleans (no strings, no null/undefined).
int numericMath(int op, const Any& l, const Any& r, Any& out, Error::Type* type) {
    uint16_t lt = l.getType(), rt = r.getType();
    bool lb = lt == ANY_BOOLEAN, rb = rt == ANY_BOOLEAN;
    if ((!lb && !isNumber(l)) || (!rb && !isNumber(r))) {
        // The boolean rule comes before the one for objects: a boolean
        // next to an object is an operator not implemented, not an
        // operand illegal for math.
        return lb || rb ? notImplemented(type) : illegalMath(type);
    }
    bool same = lt == rt;
    bool cmp = isComparison(op) || isEquality(op);
    if (lt == ANY_DOUBLE || rt == ANY_DOUBLE) {
        double a = asDouble(l), b = asDouble(r);
        if (cmp)
            putBool(out, compare(op, a, b, same));
        else
            putDouble(out, floatArith(op, a, b));
        return 0;
    }
    if (lt == ANY_FLOAT || rt == ANY_FLOAT) {
        // Booleans take part in double and 64-bit arithmetic only.
        if (lb || rb) return notImplemented(type);
        float a = static_cast<float>(asDouble(l)), b = static_cast<float>(asDouble(r));
        if (cmp)
            putBool(out, compare(op, a, b, same));
        else
            out.setFloat(floatArith(op, a, b));
        return 0;
    }
    if (lt == ANY_INT64 || rt == ANY_INT64) {
        long long a = asInt64(l), b = asInt64(r);
        if (cmp) {
            putBool(out, compare(op, a, b, same));
            return 0;
        }
        long long v;
        int rc = intArith<long long, unsigned long long>(op, a, b, v, type);
        if (rc == 0) putInt64(out, v);
        return rc;
    }
    if (lb != rb) return notImplemented(type);
    if (lb) {
        int a = l.getBool() ? 1 : 0, b = r.getBool() ? 1 : 0;
        if (cmp) {
            putBool(out, compare(op, a, b, same));
            return 0;
        }
        if (op == OP_MOD) {
            putInt32(out, 0);
            return 0;
        }
        int v;
        int rc = intArith<int, unsigned int>(op, a, b, v, type);
        if (rc == 0) putInt32(out, v);
        return rc;
    }
    int a = l.getInt32(), b = r.getInt32();
    if (cmp) {
        putBool(out, compare(op, a, b, same));
        return 0;
    }
    int v;
    int rc = intArith<int, unsigned int>(op, a, b, v, type);
    if (rc == 0) putInt32(out, v);
    return rc;
}

// A string against a number (operators other than +); s is the string.
int stringNumberMath(int op, const Any& l, const Any& r, bool stringLeft, Any& out, Error::Type* type) {
    const Any& s = stringLeft ? l : r;
    const Any& n = stringLeft ? r : l;
    const char* text = s.getString() != nullptr ? s.getString() : "";
    if (op == OP_SEQ || op == OP_SNE) {
        putBool(out, op == OP_SNE);
        return 0;
    }
    if (n.getType() == ANY_FLOAT || n.getType() == ANY_DOUBLE) {
        double sv;
        if (!Lex::convertToDouble(text, sv)) {
            // A text that is no number has no value next to a float: the
            // operation fails like its integer counterpart does.
            *type = Error::TypeError;
            return DirError::E_NOT_CONVERTIBLE;
        }
        double nv = asDouble(n);
        double a = stringLeft ? sv : nv, b = stringLeft ? nv : sv;
        if (op == OP_EQ)
            putBool(out, fabs(a - b) < 1e-11);
        else if (op == OP_NE)
            putBool(out, a != b);
        else if (isComparison(op))
            putBool(out, compare(op, a, b, false));
        else
            putDouble(out, floatArith(op, a, b));
        return 0;
    }
    long long sv;
    if (!Lex::convertToInt64(text, sv)) {
        if (isComparison(op) || op == OP_EQ) {
            putBool(out, false);
            return 0;
        }
        if (op == OP_NE) {
            putBool(out, true);
            return 0;
        }
        *type = Error::TypeError;
        return DirError::E_NOT_CONVERTIBLE;
    }
    long long nv = asInt64(n);
    long long a = stringLeft ? sv : nv, b = stringLeft ? nv : sv;
    if (isComparison(op) || isEquality(op)) {
        putBool(out, compare(op, a, b, false));
        return 0;
    }
    long long v;
    int rc = intArith<long long, unsigned long long>(op, a, b, v, type);
    if (rc == 0) putInt64(out, v);
    return rc;
}

// The walk that tells whether a value's text form is bounded, before the
// value layer builds it: the containers on the path (a cycle has no text),
// the elements left to print, and the bytes of text left (the texts of the
// strings, keys and pattern sources inside, counted each time a shared part
// appears again). Elements alone would not do: a few hundred references to
// an array holding one long string print that string each time.
struct TextWalk {
    std::vector<const Translatable*> path;
    size_t elements = kMaxTextElements;
    size_t bytes = kMaxStringBytes;
    bool tooLong = false;

    bool text(const char* s) {
        if (s == nullptr) return true;
        size_t n = strnlen(s, bytes + 1);
        if (n > bytes) {
            tooLong = true;
            return false;
        }
        bytes -= n;
        return true;
    }
    bool value(const Any* v);
    bool object(const Translatable* t);
};

bool TextWalk::value(const Any* v) {
    if (v == nullptr || v->isEncoded()) return true;
    if (isString(*v)) return text(v->getString());
    if (v->getType() == OBJ_ANYARRAY_ID) return object(v->getArray());
    if (v->getType() == ANY_REFERENCE) return object(v->getReferenced());
    return true;
}

bool TextWalk::object(const Translatable* t) {
    if (t == nullptr) return true;
    unsigned int id = t->getObjectID();
    if (id == OBJ_ZEPHAN_PATTERN_ID) {
        const ZephanPattern* p = dynamic_cast<const ZephanPattern*>(t);
        return p == nullptr || text(p->source());
    }
    if (id != OBJ_ANYARRAY_ID && id != OBJ_ATTRIBUTES_ID) return true;
    for (const Translatable* p : path)
        if (p == t) return false;
    if (path.size() >= kMaxTextDepth) return false;
    path.push_back(t);
    bool ok = true;
    if (id == OBJ_ANYARRAY_ID) {
        const AnyArray* a = static_cast<const AnyArray*>(t);
        for (int i = 0; ok && i < a->size(); i++) ok = elements-- > 0 && value(a->get(i));
    } else {
        for (Attributes::AttrList* n = static_cast<const Attributes*>(t)->head; ok && n != nullptr; n = n->next)
            ok = elements-- > 0 && text(n->name) && value(n->getValue());
    }
    path.pop_back();
    return ok;
}

}  // namespace

bool textIsBounded(const Translatable* object) {
    TextWalk walk;
    return walk.object(object);
}

int plainTextOf(Parser* parser, const Any& value, char** text) {
    *text = nullptr;
    if (isString(value)) {
        *text = strdup(value.getString() != nullptr ? value.getString() : "");
        return 0;
    }
    TextWalk walk;
    if (!walk.value(&value)) return walk.tooLong ? DirError::E_NO_RESOURCE : DirError::E_NOT_CONVERTIBLE;
    char* made = const_cast<Any&>(value).toString(parser);
    *text = made != nullptr ? made : strdup("");
    return 0;
}

char* plainText(Parser* parser, const Any& value) {
    char* text = nullptr;
    plainTextOf(parser, value, &text);
    return text;
}

int binaryMath(Parser* parser, int op, const Any& l, const Any& r, Any& out, Error::Type* type) {
    bool ls = isString(l), rs = isString(r);
    if (op == OP_ADD && (ls || rs)) {
        char *a = nullptr, *b = nullptr;
        int rc = plainTextOf(parser, l, &a);
        if (rc == 0) rc = plainTextOf(parser, r, &b);
        if (rc != 0) {
            free(a);
            free(b);
            *type = rc == DirError::E_NO_RESOURCE ? Error::RangeError : Error::TypeError;
            return rc;
        }
        size_t la = strlen(a), lb = strlen(b);
        if (la + lb > kMaxStringBytes) {
            free(a);
            free(b);
            *type = Error::RangeError;
            return DirError::E_NO_RESOURCE;
        }
        char* joined = static_cast<char*>(realloc(a, la + lb + 1));
        memcpy(joined + la, b, lb + 1);
        free(b);
        out.clear();
        out.set(static_cast<const char*>(nullptr));
        out.value.s = joined;
        return 0;
    }
    if (isNullish(l) || isNullish(r)) {
        bool ln = l.getType() == ANY_NULL, rn = r.getType() == ANY_NULL;
        bool both = isNullish(l) && isNullish(r);
        switch (op) {
        case OP_EQ: putBool(out, both); return 0;
        case OP_NE: putBool(out, !both); return 0;
        case OP_SEQ: putBool(out, both && ln == rn); return 0;
        case OP_SNE: putBool(out, !(both && ln == rn)); return 0;
        default:
            // Nothing but equality applies to null and undefined; the failure
            // is reported as an operand illegal for arithmetic.
            return illegalMath(type);
        }
    }
    if (ls && rs) {
        if (!isComparison(op) && !isEquality(op)) return notImplemented(type);
        int c = strcmp(l.getString() != nullptr ? l.getString() : "", r.getString() != nullptr ? r.getString() : "");
        putBool(out, compare(op, c, 0, true));
        return 0;
    }
    if (ls || rs) {
        const Any& other = ls ? r : l;
        if (isNumber(other)) return stringNumberMath(op, l, r, ls, out, type);
        // A string against a boolean or an object: unequal strictly, no
        // other operator defined.
        if (op == OP_SEQ || op == OP_SNE) {
            putBool(out, op == OP_SNE);
            return 0;
        }
        return notImplemented(type);
    }
    return numericMath(op, l, r, out, type);
}

int binaryBits(int op, const Any& l, const Any& r, Any& out, Error::Type* type) {
    uint16_t lt = l.isEncoded() ? 0 : l.getType(), rt = r.isEncoded() ? 0 : r.getType();
    if ((lt != ANY_INT32 && lt != ANY_INT64) || (rt != ANY_INT32 && rt != ANY_INT64)) {
        *type = Error::TypeError;
        return DirError::E_ILLEGAL_BINARY_OPERAND;
    }
    if (lt == ANY_INT32 && rt == ANY_INT32) {
        uint32_t a = static_cast<uint32_t>(l.getInt32());
        int32_t b = r.getInt32();
        switch (op) {
        case OP_SHL: putInt32(out, static_cast<int32_t>(a << (b & 31))); break;
        case OP_SHR: putInt32(out, l.getInt32() >> (b & 31)); break;
        case OP_USHR: putInt32(out, static_cast<int32_t>(a >> (b & 31))); break;
        case OP_BITWISE_AND: putInt32(out, l.getInt32() & b); break;
        case OP_BITWISE_OR: putInt32(out, l.getInt32() | b); break;
        default: putInt32(out, l.getInt32() ^ b); break;
        }
        return 0;
    }
    long long a = asInt64(l), b = asInt64(r);
    switch (op) {
    case OP_SHL: putInt64(out, static_cast<long long>(static_cast<unsigned long long>(a) << (b & 63))); break;
    case OP_SHR: putInt64(out, a >> (b & 63)); break;
    case OP_USHR: putInt64(out, static_cast<long long>(static_cast<uint32_t>(a) >> (b & 31))); break;
    case OP_BITWISE_AND: putInt64(out, a & b); break;
    case OP_BITWISE_OR: putInt64(out, a | b); break;
    default: putInt64(out, a ^ b); break;
    }
    return 0;
}

int negateValue(Any& v, Error::Type* type) {
    if (v.isEncoded()) return illegalMath(type);
    switch (v.getType()) {
    case ANY_INT32: v.setInt32(static_cast<int32_t>(0u - static_cast<uint32_t>(v.getInt32()))); return 0;
    case ANY_INT64: v.setInt64(static_cast<int64_t>(0ull - static_cast<uint64_t>(v.getInt64()))); return 0;
    case ANY_FLOAT: v.setFloat(-v.getFloat()); return 0;
    case ANY_DOUBLE: v.setDouble(-v.getDouble()); return 0;
    default: return illegalMath(type);
    }
}

// ~ complements a 32- or 64-bit integer, like the other bitwise operators;
// anything else is TypeError 101.
int complementValue(Any& v, Error::Type* type) {
    if (!v.isEncoded() && v.getType() == ANY_INT32) {
        v.setInt32(~v.getInt32());
        return 0;
    }
    if (!v.isEncoded() && v.getType() == ANY_INT64) {
        v.setInt64(~v.getInt64());
        return 0;
    }
    *type = Error::TypeError;
    return DirError::E_ILLEGAL_BINARY_OPERAND;
}

int stepValue(Any& v, int delta, Error::Type* type) {
    if (!v.isEncoded()) {
        switch (v.getType()) {
        case ANY_INT32:
            v.value.i32 = static_cast<int32_t>(static_cast<uint32_t>(v.value.i32) + static_cast<uint32_t>(delta));
            return 0;
        case ANY_INT64:
            v.value.i64 = static_cast<int64_t>(static_cast<uint64_t>(v.value.i64) + static_cast<uint64_t>(delta));
            return 0;
        case ANY_FLOAT: v.value.f += static_cast<float>(delta); return 0;
        case ANY_DOUBLE: v.value.d += delta; return 0;
        default: break;
        }
    }
    *type = Error::TypeError;
    return DirError::E_NOT_CONVERTIBLE;
}
