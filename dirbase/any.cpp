// Any's life cycle, copies, moves, payload access, equality and scripting
// hooks; ObjRef's counts; AnyArray but its text form. The text forms and
// the typed conversions are in any_text.cpp, the translators in
// any_xlator.cpp.
#include "dirbase/any.h"

#include <stdlib.h>
#include <string.h>

#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dirbase/any_internal.h"
#include "dirbase/message.h"

using any_internal::dupOrNull;
using any_internal::fatal;
using any_internal::isObjectKind;
using any_internal::truncateToInt64;

void any_internal::fatal(const char* message, const char* file, int line) {
    log(0, "%s", message);
    _dravika_assert(message, file, line);
}

// --- ObjRef --------------------------------------------------------------

void ObjRef::destroy(Translatable* obj) {
    any_internal::deleteNested(obj);
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

// --- Any: the per-thread block cache --------------------------------------

namespace {

// Sanitizers track every block themselves: reuse here would hide their
// findings, so they get the plain allocator.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DRV_ANY_BLOCK_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DRV_ANY_BLOCK_CACHE 0
#endif
#endif
#ifndef DRV_ANY_BLOCK_CACHE
#define DRV_ANY_BLOCK_CACHE 1
#endif

#if DRV_ANY_BLOCK_CACHE
// Free blocks of one thread, linked through their first word. A block freed
// on another thread than the one that made it simply joins that thread's
// list. Plain thread data (no constructor, so reaching it costs no guard);
// the first block kept arranges for the list to be emptied when the thread
// ends, and from then on blocks go straight back to the allocator.
struct AnyBlocks {
    void* head;
    size_t count;
    bool watched;
    bool gone;
};
__thread AnyBlocks t_anyBlocks;
const size_t kAnyBlocksKept = 512;

struct AnyBlocksAtExit {
    ~AnyBlocksAtExit() {
        AnyBlocks& c = t_anyBlocks;
        c.gone = true;
        while (c.head != nullptr) {
            void* next = *static_cast<void**>(c.head);
            ::operator delete(c.head);
            c.head = next;
        }
        c.count = 0;
    }
};

void watchAnyBlocks() {
    static thread_local AnyBlocksAtExit atExit;
    (void)atExit;
    t_anyBlocks.watched = true;
}
#endif

}  // namespace

void* Any::operator new(size_t size) {
#if DRV_ANY_BLOCK_CACHE
    AnyBlocks& c = t_anyBlocks;
    if (size == sizeof(Any) && c.head != nullptr) {
        void* p = c.head;
        c.head = *static_cast<void**>(p);
        c.count--;
        return p;
    }
#endif
    return ::operator new(size);
}

void Any::operator delete(void* p, size_t size) {
    (void)size;  // only the block cache asks for it
    if (p == nullptr) return;
#if DRV_ANY_BLOCK_CACHE
    AnyBlocks& c = t_anyBlocks;
    if (size == sizeof(Any) && !c.gone && c.count < kAnyBlocksKept) {
        if (!c.watched) watchAnyBlocks();
        *static_cast<void**>(p) = c.head;
        c.head = p;
        c.count++;
        return;
    }
#endif
    ::operator delete(p);
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
        if (!isObjectKind(type))
            value = other.value;
        else if (other.value.object != nullptr)
            copyObject(other.value.object);
        break;
    }
}

namespace {

// Owned objects copied through their own copy, one inside another, on this
// thread: each level takes stack, so past this many the copy gives up.
const int kMaxNestedObjectCopies = 64;
thread_local int _objectCopyDepth = 0;

}  // namespace

void Any::copyObject(const Translatable* obj) {
    // Through the object's encoding. An encoding that does not decode is
    // kept as it is, so that nothing is lost: it travels on unchanged, and
    // using it reports the failure again.
    Message message(0);
    if (message.writeObject(type, obj) == 0) {
        message.switchToRead();
        Translatable* copy = nullptr;
        if (message.readObject(type, &copy) == 0 && copy != nullptr) {
            value.object = copy;
            return;
        }
        message.recover();
        message.switchToRead();
        unsigned int id = 0;
        unsigned char* bytes = nullptr;
        size_t length = 0;
        if (message.readOpaqueObject(&id, &bytes, &length) == 0 && bytes != nullptr) {
            log(LOG_WARNING, 0, 0, "Warning: copy of object type: %d does not decode, kept encoded", type);
            encoded = true;
            encodedLength = length;
            value.bytes = bytes;
            return;
        }
        free(bytes);
    }
    // An object that cannot be encoded (nested too deep for a message, or
    // refused by its translator) may still have a copy of its own.
    if (_objectCopyDepth < kMaxNestedObjectCopies) {
        Translatable* copy = nullptr;
        _objectCopyDepth++;
        int rc = obj->clone(nullptr, &copy);
        _objectCopyDepth--;
        if (rc == 0 && copy != nullptr) {
            value.object = copy;
            return;
        }
    }
    log(LOG_ERROR, 0, 0, "Error: object of type: %d cannot be copied, copy is null", type);
    type = ANY_NULL;
    hint = HINT_NONE;
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

void Any::releasePayload() {
    if (encoded) {
        free(value.bytes);
    } else {
        switch (type) {
        case ANY_STRING:
        case ANY_CHAR: free(value.s); break;
        case ANY_REFERENCE: delete value.ref; break;
        case OBJ_ANYARRAY_ID: any_internal::deleteNested(value.array); break;
        default:
            if (isObjectKind(type)) any_internal::deleteNested(value.object);
            break;
        }
    }
    value.i64 = 0;
}

// The text may be this value's own: it is copied before the old payload goes.
void Any::set(const char* text) {
    char* copy = dupOrNull(text);
    clear();
    type = ANY_STRING;
    hint = HINT_STRING;
    value.s = copy;
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
    char* copy = dupOrNull(text);
    clear();
    type = ANY_CHAR;
    value.s = copy;
}

void Any::setReference(Translatable* obj) {
    // The new count is taken first: obj may be the object whose last count
    // this value holds.
    ObjRef* ref = new ObjRef(obj);
    clear();
    type = ANY_REFERENCE;
    value.ref = ref;
}

void Any::setArray(AnyArray* array) {
    clear();
    type = static_cast<uint16_t>(OBJ_ANYARRAY_ID);
    value.array = array;
}

void Any::setObject(Translatable* obj) {
    setObject(obj, obj != nullptr ? obj->getObjectID() : 0);
}

void Any::setObject(Translatable* obj, unsigned int kind) {
    clear();
    if (obj == nullptr) return;
    if (!(kind > ANY_UNDEFINED)) {
        _dravika_assert("kind > ANY_UNDEFINED", __FILE__, __LINE__);
        return;
    }
    setType(kind);
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
    // other is emptied before this value's payload goes: it may be part of
    // that payload (an element of this value's array), freed with it.
    const uint16_t t = other.type, h = other.hint;
    const bool wasEncoded = other.encoded;
    const uint64_t length = other.encodedLength;
    const auto v = other.value;
    // other keeps its kind; the payload it no longer owns is emptied.
    if (other.ownsPayload()) other.value.i64 = 0;
    other.encoded = false;
    other.encodedLength = 0;
    clear();
    type = t;
    hint = h;
    encoded = wasEncoded;
    encodedLength = length;
    value = v;
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
        // The object decides even about itself (an array holding NaN is not
        // equal to itself); a reference that leads back to itself is met
        // again within compareNested, which ends the walk.
        Translatable* a = getReferenced();
        Translatable* b = other.getReferenced();
        if (a == nullptr || b == nullptr) return a == b;
        return any_internal::compareNested(a, b, [](const void* x, const void* y) {
            bool equal = false;
            return static_cast<const Translatable*>(x)->isEqual(nullptr, &equal, static_cast<const Translatable*>(y)) == 0 &&
                   equal;
        });
    }
    case OBJ_ANYARRAY_ID: {
        if (value.array == nullptr || other.value.array == nullptr) return value.array == other.value.array;
        return any_internal::compareNested(value.array, other.value.array, [](const void* x, const void* y) {
            bool equal = false;
            return static_cast<const AnyArray*>(x)->isEqual(nullptr, &equal, static_cast<const AnyArray*>(y)) == 0 &&
                   equal;
        });
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

// --- AnyArray ------------------------------------------------------------

AnyArray::AnyArray() : count(0), elements(nullptr) {}

namespace {

// Arrays whose elements are still to be copied, each with its original.
typedef std::vector<std::pair<AnyArray*, const AnyArray*>> PendingCopies;

// Copies source's elements into the empty array copy. An element that is an
// array gets an empty one, left in pending to fill: arrays nest without
// limit, and copying them by recursion would take a stack frame per level.
void copyElements(AnyArray* copy, const AnyArray& source, PendingCopies& pending) {
    if (source.count == 0) return;
    copy->elements = static_cast<Any**>(malloc(sizeof(Any*) * source.count));
    copy->count = source.count;
    for (int i = 0; i < source.count; i++) {
        const Any* e = source.elements[i];
        if (e != nullptr && !e->encoded && e->type == OBJ_ANYARRAY_ID && e->value.array != nullptr) {
            AnyArray* inner = new AnyArray();
            Any* a = new Any();
            a->setArray(inner);
            a->hint = e->hint;
            pending.emplace_back(inner, e->value.array);
            copy->elements[i] = a;
        } else {
            copy->elements[i] = e != nullptr ? new Any(*e) : nullptr;
        }
    }
}

}  // namespace

AnyArray::AnyArray(const AnyArray& other) : Translatable(), count(0), elements(nullptr) {
    PendingCopies pending;  // allocates only once an array holds an array
    copyElements(this, other, pending);
    while (!pending.empty()) {
        std::pair<AnyArray*, const AnyArray*> next = pending.back();
        pending.pop_back();
        copyElements(next.first, *next.second, pending);
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

