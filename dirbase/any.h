// Any: the one self-describing value of the runtime (null, boolean, integers,
// floating point, strings, undefined, references, arrays, owned objects, and
// objects still in their encoded form); AnyArray, the array kind; ObjRef, the
// counted reference that the reference kind holds.
#ifndef DRV_DIRBASE_ANY_H
#define DRV_DIRBASE_ANY_H

#include <stddef.h>
#include <stdint.h>

#include "common/sem.h"
#include "dirbase/translatable.h"

class AnyArray;
class Attributes;
class Function;
class MessageBase;
class ObjRef;

// Kind codes. Any other code names the object id of an owned object.
enum AnyKind : uint16_t {
    ANY_INVALID = 0,
    ANY_NULL = 1,
    ANY_BOOLEAN = 2,
    ANY_INT32 = 3,
    ANY_INT64 = 4,
    ANY_FLOAT = 5,
    ANY_DOUBLE = 6,
    ANY_STRING = 7,
    ANY_REFERENCE = 8,
    ANY_CHAR = 9,
    ANY_UNDEFINED = 10,
};

const unsigned int OBJ_ANY_ID = 1000;
const unsigned int OBJ_ANYARRAY_ID = 1030;
const unsigned int OBJ_FUNCTION_ID = 9224;
const unsigned int OBJ_ATTRIBUTES_ID = 1001;

// Declared-type hints carried with a value.
enum AnyHint : uint16_t {
    HINT_NONE = 0,
    HINT_STRING = 1,       // every string the runtime creates
    HINT_BOOL_TEXT = 4,    // a string holding a boolean's text
    HINT_INT32_TEXT = 6,
    HINT_INT64_TEXT = 7,
    HINT_ENUM_TEXT = 9,
    HINT_DATE = 13,        // an integer of milliseconds since 1970-01-01 UTC
    HINT_ANY = 1002,       // accepted by every typed conversion, nothing written
};

// The escaped, double-quoted form of a UTF-8 text (see Any::toString).
char* escapeJSONString(const char* text);

class ObjRef {
public:
    // Takes one count on object (null allowed).
    explicit ObjRef(Translatable* object = nullptr);
    // A further count on the same object.
    ObjRef(const ObjRef& other);
    ObjRef& operator=(const ObjRef&) = delete;
    // Drops the count; the last one deletes the object, outside the lock.
    virtual ~ObjRef();

    // The referenced object's text (newly allocated), "null" when empty.
    virtual char* toString(Parser* parser);

    Translatable* get() const { return object; }
    // Drops the count held and takes one on obj.
    void set(Translatable* obj);

    // Counts change atomically (no lock): a count is one word, and the
    // thread that drops the last one deletes the object.
    static void addRef(Translatable* obj) {
        if (obj != nullptr) __atomic_fetch_add(&obj->_refCount, 1, __ATOMIC_RELAXED);
    }
    // Drops one count; deletes the object when it was the last.
    static void release(Translatable* obj) {
        if (obj != nullptr && __atomic_sub_fetch(&obj->_refCount, 1, __ATOMIC_ACQ_REL) == 0) destroy(obj);
    }
    // The current count (for a holder that wants to know whether it is the
    // only one).
    static int count(const Translatable* obj) { return __atomic_load_n(&obj->_refCount, __ATOMIC_ACQUIRE); }

    Translatable* object;

private:
    // Out of line, so that the inline release needs no complete type.
    static void destroy(Translatable* obj);
};

class Any : public Translatable {
public:
    Any() : encoded(false), encodedLength(0), type(ANY_NULL), hint(HINT_NONE) { value.i64 = 0; }
    // A string with hint 1; the text is duplicated (null gives an absent text).
    explicit Any(const char* text);
    explicit Any(bool v);
    explicit Any(int v);
    explicit Any(long v);
    explicit Any(long long v);
    explicit Any(float v);
    explicit Any(double v);
    // Deep copy; copying an invalid (kind 0) value stops the process. An
    // owned object is copied through its encoding (see copyObject).
    Any(const Any& other) : Translatable(), encoded(false), encodedLength(0), type(ANY_NULL), hint(HINT_NONE) {
        value.i64 = 0;
        if (other.isScalar()) {
            type = other.type;
            hint = other.hint;
            value = other.value;
        } else {
            copyFrom(other);
        }
    }
    // other may live inside this value (an element of its array): it is
    // read, or copied, before the old payload goes.
    Any& operator=(const Any& other) {
        if (this != &other) {
            if (other.isScalar()) {
                const uint16_t t = other.type, h = other.hint;
                const auto v = other.value;
                clear();
                type = t;
                hint = h;
                value = v;
            } else {
                Any copy(other);
                takeFrom(copy);
            }
        }
        return *this;
    }
    ~Any() override {
        if (ownsPayload()) releasePayload();
    }

    // Values are made and dropped by the million while scripts run: blocks
    // of exactly an Any's size are kept per thread for reuse.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size);

    static Any* makeUndefined();
    // An int64 of milliseconds since 1970 with the date hint.
    static Any* makeDate(long long ms);
    // The value a scripting variable receives on assignment, or null for
    // arrays and objects (which are passed by reference).
    static Any* createForVariableAssign(const Any* value);

    // Releases the payload and leaves null, hint 0, not encoded.
    void clear() {
        if (ownsPayload()) releasePayload();
        encoded = false;
        encodedLength = 0;
        type = ANY_NULL;
        hint = HINT_NONE;
        value.i64 = 0;
    }
    // Whether the whole value lives in the Any itself (null, boolean,
    // numbers, undefined): copying it copies the bits, dropping it frees
    // nothing.
    bool isScalar() const {
        return !encoded && (type <= ANY_DOUBLE ? type != ANY_INVALID : type == ANY_UNDEFINED);
    }
    // Makes this a string with hint 1 holding a copy of text (which may be
    // this value's own text, or part of its payload).
    void set(const char* text);
    void setBool(bool v);
    void setInt32(int32_t v);
    void setInt64(int64_t v);
    void setFloat(float v);
    void setDouble(double v);
    void setUndefined();
    // Kind 9, a copy of text.
    void setChar(const char* text);
    // A reference holding one count on obj.
    void setReference(Translatable* obj);
    // Takes ownership.
    void setArray(AnyArray* array);
    // Takes ownership; the kind is the object's id. An object whose id is
    // below 11 (a principal's is 7, the string kind) would pass for a
    // built-in value, so that stops the process ("kind > ANY_UNDEFINED"):
    // such an object travels under another id of its translator, given here.
    void setObject(Translatable* obj);
    void setObject(Translatable* obj, unsigned int kind);
    // Takes ownership of the whole encoding of an object of that id.
    void setEncoded(unsigned int id, unsigned char* bytes, size_t length);
    // Programming errors stop the process: "type < 0xFFFF", "t < 0xFFFF".
    void setType(unsigned int t);
    void setHint(unsigned int t);

    // Clears this value and moves other's payload here; other keeps its
    // kind but no longer owns a payload. other may live inside this value.
    void takeFrom(Any& other);
    // A new value of the same type, hint and encoded state that shares no
    // storage. Arrays and owned objects are refused (programming error).
    Any* createReference() const;
    // createReference(), or a deep copy for an array or an owned object
    // (which a reference cannot share): how stored values reach scripts.
    Any* createReferenceOrCopy() const;
    // Decodes an encoded payload in place; the held object of kinds 8 and
    // up (the referenced object for a reference). False when there is none
    // or decoding fails.
    bool getObject(Translatable** obj);
    // Like getObject but hands ownership over: a new decoded object (the
    // bytes stay), or the held array or object detached.
    bool takeObject(Translatable** obj);
    // Multiplies a number by s (unary minus).
    void setSign(int s);
    unsigned long hashValue() const;

    uint16_t getType() const { return type; }
    uint16_t getHint() const { return hint; }
    bool isEncoded() const { return encoded; }
    // The text of a string (kind 7 or 9), or null.
    const char* getString() const;
    bool getBool() const { return value.b; }
    int32_t getInt32() const { return value.i32; }
    int64_t getInt64() const { return value.i64; }
    float getFloat() const { return value.f; }
    double getDouble() const { return value.d; }
    AnyArray* getArray() const;
    // The referenced object of a reference, or null.
    Translatable* getReferenced() const;
    const unsigned char* getEncodedBytes() const { return encoded ? value.bytes : nullptr; }

    // Typed conversions: true on success with the result written; false
    // leaves the output untouched. The Parser forms first resolve an
    // assignable reference to its current value.
    bool convertToBool(bool& out) const { return convertToBool(nullptr, out); }
    bool convertToBool(Parser* parser, bool& out) const;
    bool convertToInt32(int& out) const { return convertToInt32(nullptr, out); }
    bool convertToInt32(Parser* parser, int& out) const;
    bool convertToInt64(long long& out) const { return convertToInt64(nullptr, out); }
    bool convertToInt64(Parser* parser, long long& out) const;
    bool convertToDouble(double& out) const { return convertToDouble(nullptr, out); }
    bool convertToDouble(Parser* parser, double& out) const;
    bool convertToEnum(int& out) const { return convertToEnum(nullptr, out); }
    bool convertToEnum(Parser* parser, int& out) const;
    // A newly allocated copy of the text, or null.
    bool convertToString(char*& out) const { return convertToString(nullptr, out); }
    bool convertToString(Parser* parser, char*& out) const;
    bool convertToFunction(Function** out) const { return convertToFunction(nullptr, out); }
    bool convertToFunction(Parser* parser, Function** out) const;
    bool convertToArray(AnyArray** out) const { return convertToArray(nullptr, out); }
    bool convertToArray(Parser* parser, AnyArray** out) const;
    bool convertToAttributes(Attributes** out) const { return convertToAttributes(nullptr, out); }
    bool convertToAttributes(Parser* parser, Attributes** out) const;

    // The text conversions behind the typed ones, also used on their own.
    static bool textToInt32(const char* text, int& out);
    static bool textToInt64(const char* text, long long& out);
    static bool textToDouble(const char* text, double& out);
    static bool textToBool(const char* text);

    bool operator==(const Any& other) const;
    bool operator!=(const Any& other) const { return !(*this == other); }

    int getField(Parser* parser, Any** result, const char* name) const override;
    char* toString(Parser* parser) override;
    char* toJSON(Parser* parser) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;
    const char* getTypeOf(Parser* parser) const override;
    const char* getClassOf(Parser* parser) const override;

    bool encoded;
    uint64_t encodedLength;
    uint16_t type;
    uint16_t hint;
    union {
        bool b;
        int32_t i32;
        int64_t i64;
        float f;
        double d;
        char* s;
        ObjRef* ref;
        AnyArray* array;
        Translatable* object;
        unsigned char* bytes;
    } value;

private:
    bool ownsPayload() const { return encoded || !(type <= ANY_DOUBLE || type == ANY_UNDEFINED); }
    // Frees a string, reference, array, owned object or encoding.
    void releasePayload();
    void copyFrom(const Any& other);
    // The payload of a copy of an owned object of this value's kind: the
    // object decoded from its encoding, else that encoding, else the
    // object's own copy; else the value becomes null.
    void copyObject(const Translatable* obj);
    // This value, or the current value behind an assignable reference.
    const Any* resolved(Parser* parser) const;
};

class AnyArray : public Translatable {
public:
    AnyArray();
    // Deep copy of every element.
    AnyArray(const AnyArray& other);
    AnyArray& operator=(const AnyArray&) = delete;
    ~AnyArray() override;

    // Takes ownership; grows by exactly one slot.
    void append(Any* value);
    // Deletes every element and empties the array.
    void clear();
    int size() const { return count; }
    // The element at i (null for an empty slot or an index out of range).
    Any* get(int i) const { return i >= 0 && i < count ? elements[i] : nullptr; }

    int getField(Parser* parser, Any** result, const char* name) const override;
    int getArrayElement(Parser* parser, Any** result, const Any* index) const override;
    int setArrayElement(Parser* parser, const Any* index, Any* value) override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    int count;
    Any** elements;
};

int AnyXlator(MessageBase* message, Translatable** obj, int direction);
// writeObjectField(field, OBJ_ANY_ID, value), in one step for values of a
// fixed size; the same bytes either way.
int writeAnyField(MessageBase* message, unsigned int field, const Any* value);
// readObjectField(field, OBJ_ANY_ID, value): values laid out as
// writeAnyField writes them are read in place, anything else the long way.
int readAnyField(MessageBase* message, unsigned int field, Any** value);
int AnyArrayXlator(MessageBase* message, Translatable** obj, int direction);
// In-place decoders of Any and AnyArray (see InPlaceFn in message.h).
Translatable* AnyInPlace(const unsigned char* p, size_t available, size_t* used);
Translatable* AnyArrayInPlace(const unsigned char* p, size_t available, size_t* used);
// An Any object at p, header to trailer, in the layout its translator writes,
// while that translator is AnyXlator: the value, with *used set to its size.
// Null otherwise. For in-place decoders of records that hold values.
Any* parseAnyInPlace(const unsigned char* p, size_t available, size_t* used);

// A deep copy of an object made by encoding it with its translator and
// decoding the result; null when that fails.
Translatable* copyByEncoding(unsigned int id, const Translatable* obj);

#endif
