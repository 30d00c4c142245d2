// Any: the one self-describing value of the runtime (null, boolean, integers,
// floating point, strings, undefined, references, arrays, owned objects, and
// objects still in their encoded form).
#ifndef DRV_DIRBASE_ANY_H
#define DRV_DIRBASE_ANY_H

#include <stdint.h>

#include "dirbase/translatable.h"

class AnyArray;
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

class Any : public Translatable {
public:
    Any();
    // A string with hint 1; the text is duplicated (null gives an absent text).
    explicit Any(const char* text);
    ~Any() override;
    Any(const Any&) = delete;
    Any& operator=(const Any&) = delete;

    static Any* makeUndefined();

    // Releases the payload and leaves null, hint 0, not encoded.
    void clear();
    // Makes this a string with hint 1 holding a copy of text.
    void set(const char* text);

    uint16_t getType() const { return type; }
    uint16_t getHint() const { return hint; }
    bool isEncoded() const { return encoded; }
    // The text of a string (kind 7 or 9), or null.
    const char* getString() const;

    unsigned int getObjectID() const override;

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
};

#endif
