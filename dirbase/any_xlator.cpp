// The translators of Any (1000) and AnyArray (1030). Values of a fixed size
// (null, undefined, boolean, the numbers) take a one-block path both ways:
// written whole into the buffer, and read in place when their bytes have
// exactly the layout that the writer makes; anything else goes field by
// field through MessageBase. Both paths give the same bytes and results.
//
// The fields of an Any: 1 kind code (int32); 2 the payload, absent for null
// and undefined; 3 the hint (int32), optional on reading.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "dirbase/any.h"
#include "dirbase/any_internal.h"
#include "dirbase/message.h"
#include "dirbase/wire.h"

namespace {

// The tag of a fixed-size payload, or 0 for the kinds that have none or whose
// size varies.
unsigned char payloadTag(unsigned int kind) {
    switch (kind) {
    case ANY_BOOLEAN: return TAG_BOOL;
    case ANY_INT32: return TAG_INT32;
    case ANY_INT64: return TAG_INT64;
    case ANY_FLOAT: return TAG_FLOAT;
    case ANY_DOUBLE: return TAG_DOUBLE;
    default: return 0;
    }
}

// Bytes of a fixed-size payload after its tag.
size_t payloadBytes(unsigned char tag) {
    switch (tag) {
    case TAG_BOOL: return 1;
    case TAG_INT32:
    case TAG_FLOAT: return 4;
    case TAG_INT64:
    case TAG_DOUBLE: return 8;
    default: return 0;
    }
}

bool hasNoPayload(unsigned int kind) {
    return kind == ANY_NULL || kind == ANY_UNDEFINED;
}

// The encoded size of the fields (kind, payload, hint) of a value of a fixed
// size; 0 for the other kinds.
size_t primitiveSize(const Any* a) {
    if (a->encoded) return 0;
    if (hasNoPayload(a->type)) return 2 * kWireInt32Field;
    unsigned char tag = payloadTag(a->type);
    if (tag == 0) return 0;
    return 2 * kWireInt32Field + kWireFieldHead + kWireTag + payloadBytes(tag);
}

// Writes those fields; the block was sized by primitiveSize. The value is
// read whole before the first byte is written (a byte store could alias it).
inline __attribute__((always_inline)) void putPrimitiveFields(WireWriter& w, const Any* a) {
    const uint32_t kind = a->type;
    const uint32_t hint = a->hint;
    const unsigned char tag = payloadTag(kind);
    const bool truth = tag == TAG_BOOL && a->value.b;
    uint32_t bits32;
    uint64_t bits64;
    memcpy(&bits32, &a->value, 4);
    memcpy(&bits64, &a->value, 8);
    w.putInt32Field(1, kind);
    if (tag != 0) {
        w.putFieldHead(2);
        w.putTag(tag);
        switch (payloadBytes(tag)) {
        case 1: w.putU8(truth ? 1 : 0); break;
        case 4: w.putU32BE(bits32); break;
        default: w.putU64BE(bits64); break;
        }
    }
    w.putInt32Field(3, hint);
}

// Whether the registered Any translator is this file's, so that the one-block
// paths may stand in for it.
bool ownAnyXlator() {
    return MessageBase::findXlatorFn(OBJ_ANY_ID) == AnyXlator;
}

// Decodes field by field; the general path of AnyXlator.
int decodeAny(MessageBase* m, Translatable** obj) {
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

// Encodes field by field; the general path of AnyXlator.
int encodeAny(MessageBase* m, const Any* a) {
    if (a->encoded) {
        m->writeInt32Field(1, a->type);
        m->writeOpaqueObjectField(2, a->value.bytes, a->encodedLength);
        m->writeInt32Field(3, a->hint);
        return m->getError() != 0 ? -1 : 0;
    }
    int rc = 0;
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

// The payload bits of a fixed-size payload whose bytes are at p.
inline void setPayloadBits(Any* a, const unsigned char* p, size_t n) {
    if (n == 1) {
        a->value.b = *p != 0;
    } else if (n == 4) {
        uint32_t bits = getBE32(p);
        memcpy(&a->value, &bits, 4);
    } else {
        uint64_t bits = getBE64(p);
        memcpy(&a->value, &bits, 8);
    }
}

// A string payload in place (after field 2's head): a copy of the text, or an
// absent text for a null string. False when the bytes are anything else.
__attribute__((noinline)) bool takeStringPayload(WireReader& r, Any* a) {
    if (r.takeTag(TAG_NULL_STRING)) return true;
    uint32_t length;
    const unsigned char* text;
    if (!r.takeTag(TAG_STRING) || !r.takeU32BE(&length) || (text = r.takeBytes(length)) == nullptr) return false;
    a->value.s = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    memcpy(a->value.s, text, length);
    a->value.s[length] = '\0';
    return true;
}

// The fields and trailer of an Any object in the exact layout the encoder
// writes: field 1 (kind, int32), field 2 (payload) unless null or undefined,
// field 3 (hint, int32), trailer. Null when the bytes are anything else (the
// general path then decides).
// Inlined into its callers, so that the reader stays in registers.
inline __attribute__((always_inline)) Any* takeCanonicalAnyFields(WireReader& r) {
    uint32_t kind, hint;
    if (!r.takeInt32Field(1, &kind)) return nullptr;
    unsigned char tag = payloadTag(kind);
    bool text = kind == ANY_STRING || kind == ANY_CHAR;
    Any* a;
    if (tag != 0) {
        size_t n = payloadBytes(tag);
        const unsigned char* bytes;
        if (!r.takeFieldHead(2) || !r.takeTag(tag) || (bytes = r.takeBytes(n)) == nullptr) return nullptr;
        a = new Any();
        setPayloadBits(a, bytes, n);
    } else if (text) {
        a = new Any();
        if (!r.takeFieldHead(2) || !takeStringPayload(r, a)) {
            delete a;
            return nullptr;
        }
    } else if (hasNoPayload(kind)) {
        a = new Any();
    } else {
        return nullptr;
    }
    // Typed only now: the kind decides what the destructor frees.
    a->type = static_cast<uint16_t>(kind);
    if (!r.takeInt32Field(3, &hint) || hint >= 0xFFFF || !r.takeTag(TAG_OBJECT_END)) {
        delete a;
        return nullptr;
    }
    a->hint = static_cast<uint16_t>(hint);
    return a;
}

// The same with the object header first.
Any* parseCanonicalAny(const unsigned char* p, size_t available) {
    WireReader r(p, available);
    return r.takeObjectHead(OBJ_ANY_ID) ? takeCanonicalAnyFields(r) : nullptr;
}

}  // namespace

int AnyXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction != XLATE_ENCODE) return decodeAny(m, obj);
    const Any* a = static_cast<const Any*>(*obj);
    size_t n = primitiveSize(a);
    if (n == 0) return encodeAny(m, a);
    int rc = m->writeEncoded(n, [a](unsigned char* p) {
        WireWriter w(p);
        putPrimitiveFields(w, a);
    });
    return rc != 0 ? -1 : 0;
}

int writeAnyField(MessageBase* m, unsigned int field, const Any* value) {
    // A value of a fixed size goes out whole (field, header, fields and
    // trailer in one block) while the registered Any translator is ours.
    size_t n = value != nullptr ? primitiveSize(value) : 0;
    if (n == 0 || !ownAnyXlator()) return m->writeObjectField(field, OBJ_ANY_ID, value);
    return m->writeEncoded(kWireFieldHead + kWireObjectHead + n + kWireTag, [field, value](unsigned char* p) {
        WireWriter w(p);
        w.putFieldHead(field);
        w.putObjectHead(OBJ_ANY_ID);
        putPrimitiveFields(w, value);
        w.putTag(TAG_OBJECT_END);
    });
}

Any* parseAnyInPlace(const unsigned char* p, size_t available, size_t* used) {
    if (!ownAnyXlator()) return nullptr;
    WireReader r(p, available);
    Any* a = r.takeObjectHead(OBJ_ANY_ID) ? takeCanonicalAnyFields(r) : nullptr;
    if (a != nullptr) *used = static_cast<size_t>(r.position() - p);
    return a;
}

Translatable* AnyInPlace(const unsigned char* p, size_t available, size_t* used) {
    WireReader r(p, available);
    Any* a = takeCanonicalAnyFields(r);
    if (a != nullptr) *used = static_cast<size_t>(r.position() - p);
    return a;
}

int readAnyField(MessageBase* m, unsigned int field, Any** value) {
    size_t available;
    const unsigned char* p = m->peekField(field, &available);
    if (p != nullptr && ownAnyXlator()) {
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
        if (array->elements == nullptr) {
            delete array;
            return -1;
        }
        array->count = count;
    }
    // While the fields sit in the order they were written (1, 2, 3, ... by
    // their low byte), the k-th indexed field is the one that field number
    // k + 1 names, repeats past 255 included: the elements are then taken
    // in order instead of looked up.
    unsigned char field;
    size_t available;
    bool inOrder = ownAnyXlator() && m->peekFieldAt(0, &field, &available) != nullptr && field == 1;
    for (int i = 0; i < count; i++) {
        unsigned int n = static_cast<unsigned int>(i) + 2;
        Any*& element = array->elements[i];
        if (inOrder) {
            const unsigned char* p = m->peekFieldAt(i + 1, &field, &available);
            inOrder = p != nullptr && field == static_cast<unsigned char>(n);
            if (inOrder && (element = parseCanonicalAny(p, available)) != nullptr) continue;
        }
        if (readAnyField(m, n, &element) != 0) {
            delete array;
            return -1;
        }
    }
    *obj = array;
    return 0;
}

Translatable* AnyArrayInPlace(const unsigned char* p, size_t available, size_t* used) {
    if (!ownAnyXlator()) return nullptr;
    WireReader r(p, available);
    uint32_t count;
    if (!r.takeInt32Field(1, &count)) return nullptr;
    // Each element takes at least a field head and the smallest Any (header,
    // two int32 fields, trailer): a count that the bytes cannot hold is left
    // to the general path, before anything is allocated for it.
    const size_t kMinElement = kWireFieldHead + kWireObjectHead + 2 * kWireInt32Field + kWireTag;
    if (count > static_cast<uint32_t>(INT32_MAX) || count > r.left() / kMinElement) return nullptr;
    AnyArray* array = new AnyArray();
    if (count > 0) {
        array->elements = static_cast<Any**>(calloc(count, sizeof(Any*)));
        if (array->elements == nullptr) {
            delete array;
            return nullptr;
        }
        array->count = static_cast<int>(count);
    }
    for (uint32_t i = 0; i < count; i++) {
        if (!r.takeFieldHead(i + 2) || !r.takeObjectHead(OBJ_ANY_ID) ||
            (array->elements[i] = takeCanonicalAnyFields(r)) == nullptr) {
            delete array;
            return nullptr;
        }
    }
    if (!r.takeTag(TAG_OBJECT_END)) {
        delete array;
        return nullptr;
    }
    *used = static_cast<size_t>(r.position() - p);
    return array;
}
