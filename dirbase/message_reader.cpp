// MessageBase's reader: plain values at the read position (or a
// container's position), objects and containers through their translators,
// opaque objects, and the field readers that look fields up in the index of
// the object being read (message_index.cpp).
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "dirbase/message.h"
#include "dirbase/message_internal.h"
#include "dirbase/translatable.h"

using message_internal::kHandOverMin;

namespace {

// Nesting levels that an in-place decoder may stand in for.
const int kInPlaceLevels = 4;

}  // namespace

// --- reading -------------------------------------------------------------

int MessageBase::readTag(_BufferLocation* loc, unsigned char expected, unsigned char* got) {
    unsigned char tag;
    if (!TAKE(loc, &tag, 1)) return setError(MSG_E_EOF);
    if (got != nullptr) *got = tag;
    if (tag != expected) return refuseTag(loc, tag);
    return 0;
}

int MessageBase::readTagOrNull(_BufferLocation* loc, unsigned char expected, unsigned char nullTag) {
    if (_error != 0) return _error;
    if (loc == nullptr) return setError(MSG_E_EOF);
    unsigned char tag;
    if (!TAKE(loc, &tag, 1)) return setError(MSG_E_EOF);
    if (tag == nullTag) return 0;
    if (tag != expected) return refuseTag(loc, tag);
    return 1;
}

int MessageBase::refuseTag(_BufferLocation* loc, unsigned char tag) {
    if (isReadPosition(loc))
        returnByte(tag);
    else
        loc->offset--;
    return setError(MSG_E_BAD_TYPE);
}

int MessageBase::readPlain(_BufferLocation* loc, unsigned char tag, void* dest, size_t n) {
    if (_error != 0) return _error;
    if (loc == nullptr) return setError(MSG_E_EOF);
    // Tag and value in one step when both sit in the buffer.
    _Buffer* b = loc->buffer;
    if (b != nullptr && b->used - loc->offset > n && b->data[loc->offset] == tag) {
        memcpy(dest, b->data + loc->offset + 1, n);
        loc->offset += n + 1;
        return 0;
    }
    int rc = readTag(loc, tag, nullptr);
    if (rc != 0) return rc;
    if (!TAKE(loc, dest, n)) return setError(MSG_E_INCOMPLETE);
    return 0;
}

int MessageBase::readBool(bool* v) {
    unsigned char b;
    int rc = readPlain(_cur, TAG_BOOL, &b, 1);
    if (rc == 0) *v = b != 0;
    return rc;
}

namespace {

// The value of a fixed-width big-endian number: its bits, copied into T.
template <class T>
T fromBigEndian(const unsigned char* b) {
    T v;
    if (sizeof(T) == 8) {
        uint64_t bits = getBE64(b);
        memcpy(&v, &bits, 8);
    } else {
        uint32_t bits = getBE32(b);
        memcpy(&v, &bits, 4);
    }
    return v;
}

}  // namespace

template <class T>
int MessageBase::readNumber(unsigned char tag, T* v) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "numbers on the wire are 4 or 8 bytes");
    unsigned char b[sizeof(T)];
    int rc = readPlain(_cur, tag, b, sizeof(T));
    if (rc == 0) *v = fromBigEndian<T>(b);
    return rc;
}

int MessageBase::readInt32(int32_t* v) {
    return readNumber(TAG_INT32, v);
}

int MessageBase::readInt64(int64_t* v) {
    return readNumber(TAG_INT64, v);
}

int MessageBase::readFloat(float* v) {
    return readNumber(TAG_FLOAT, v);
}

int MessageBase::readDouble(double* v) {
    return readNumber(TAG_DOUBLE, v);
}

int MessageBase::readCmd(int32_t* cmd) {
    return readNumber(TAG_CMD, cmd);
}

int MessageBase::readBlock(_BufferLocation* loc, uint32_t length, unsigned char** out) {
    *out = nullptr;
    _Buffer* b = loc->buffer;
    if ((b != nullptr && b->used - loc->offset >= length) || availableFrom(loc) >= length) {
        unsigned char* data = static_cast<unsigned char*>(malloc(static_cast<size_t>(length) + 1));
        if (data == nullptr || !TAKE(loc, data, length)) {
            free(data);
            return setError(MSG_E_INCOMPLETE);
        }
        data[length] = 0;
        *out = data;
        return 0;
    }
    // Not all there yet: grow with what actually arrives, so that a length
    // out of all proportion cannot make us allocate it up front.
    size_t capacity = 65536 < length ? 65536 : length;
    size_t have = 0;
    unsigned char* data = static_cast<unsigned char*>(malloc(capacity + 1));
    while (data != nullptr && have < length) {
        if (have == capacity) {
            capacity = capacity * 2 < length ? capacity * 2 : length;
            unsigned char* grown = static_cast<unsigned char*>(realloc(data, capacity + 1));
            if (grown == nullptr) {
                free(data);
                return setError(MSG_E_INCOMPLETE);
            }
            data = grown;
        }
        size_t got = readLocBytes(loc, data + have, capacity - have);
        have += got;
        if (got == 0) {
            free(data);
            return setError(MSG_E_INCOMPLETE);
        }
    }
    if (data == nullptr) return setError(MSG_E_INCOMPLETE);
    data[length] = 0;
    *out = data;
    return 0;
}

int MessageBase::readStringAt(_BufferLocation* loc, char** s) {
    *s = nullptr;
    int rc = readTagOrNull(loc, TAG_STRING, TAG_NULL_STRING);
    if (rc <= 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    unsigned char* data;
    rc = readBlock(loc, getBE32(b), &data);
    if (rc == 0) *s = reinterpret_cast<char*>(data);
    return rc;
}

int MessageBase::readString(char** s) {
    return readStringAt(_cur, s);
}

void MessageBase::freeStringArray(char** strings) {
    if (strings == nullptr) return;
    for (char** p = strings; *p != nullptr; p++) free(*p);
    free(strings);
}

int MessageBase::readStringArrayAt(_BufferLocation* loc, char*** strings, int* count) {
    *strings = nullptr;
    *count = 0;
    int rc = readTagOrNull(loc, TAG_STRING_ARRAY, TAG_NULL_STRING);
    if (rc <= 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    uint32_t n = getBE32(b);
    if (n > static_cast<uint32_t>(INT_MAX) - 1) return setError(MSG_E_INCOMPLETE);
    // Grown as strings arrive rather than trusting the count.
    size_t capacity = n < 16 ? n + 1 : 17;
    char** out = static_cast<char**>(malloc(sizeof(char*) * capacity));
    size_t have = 0;
    out[0] = nullptr;
    for (uint32_t i = 0; i < n; i++) {
        unsigned char* data;
        if (!TAKE(loc, b, 4) || readBlock(loc, getBE32(b), &data) != 0) {
            out[have] = nullptr;
            freeStringArray(out);
            return setError(MSG_E_INCOMPLETE);
        }
        if (have + 1 == capacity) {
            capacity = capacity * 2 < static_cast<size_t>(n) + 1 ? capacity * 2 : static_cast<size_t>(n) + 1;
            out = static_cast<char**>(realloc(out, sizeof(char*) * capacity));
        }
        out[have++] = reinterpret_cast<char*>(data);
    }
    out[have] = nullptr;
    *strings = out;
    *count = static_cast<int>(n);
    return 0;
}

int MessageBase::readStringArray(char*** strings, int* count) {
    return readStringArrayAt(_cur, strings, count);
}

int MessageBase::readBytesAt(_BufferLocation* loc, unsigned char** data, uint32_t* length) {
    *data = nullptr;
    *length = 0;
    if (_error != 0) return _error;
    if (loc == nullptr) return setError(MSG_E_EOF);
    int rc = readTag(loc, TAG_BYTES, nullptr);
    if (rc != 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    uint32_t n = getBE32(b);
    if (handOver(loc, n, data)) {
        *length = n;
        return 0;
    }
    rc = readBlock(loc, n, data);
    if (rc == 0) *length = n;
    return rc;
}

bool MessageBase::handOver(_BufferLocation* loc, uint32_t length, unsigned char** data) {
    // A large block that is all that is left of the read position's buffer,
    // with no index entry in that buffer, is handed over in place instead of
    // being copied into a second allocation of the same size.
    _Buffer* b = loc->buffer;
    if (loc != &_readLoc || b == nullptr || b->indexRefs != 0 || length < kHandOverMin ||
        b->used - loc->offset != length)
        return false;
    memmove(b->data, b->data + loc->offset, length);
    b->data[length] = 0;
    *data = b->data;
    _releasedBytes += b->used;
    b->data = static_cast<unsigned char*>(malloc(1));
    b->capacity = 0;
    b->used = 0;
    loc->offset = 0;
    return true;
}

int MessageBase::readBytes(unsigned char** data, uint32_t* length) {
    return readBytesAt(_cur, data, length);
}

int MessageBase::readBytesInto(std::vector<unsigned char>* into, uint32_t* length) {
    *length = 0;
    if (_error != 0) return _error;
    _BufferLocation* loc = _cur;
    if (loc == nullptr) return setError(MSG_E_EOF);
    int rc = readTag(loc, TAG_BYTES, nullptr);
    if (rc != 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    const size_t n = getBE32(b);
    size_t have = 0;
    while (have < n) {
        // Grown only as far as the bytes that came, whatever length was
        // announced.
        if (into->size() <= have) into->resize(std::min(n, std::max<size_t>(65536, 2 * have)));
        size_t got = readLocBytes(loc, into->data() + have, std::min(n, into->size()) - have);
        if (got == 0) return setError(MSG_E_INCOMPLETE);
        have += got;
    }
    *length = static_cast<uint32_t>(n);
    return 0;
}

int MessageBase::readObjectAt(_BufferLocation* loc, unsigned int id, Translatable** obj) {
    *obj = nullptr;
    int rc = readTagOrNull(loc, TAG_OBJECT, TAG_NULL_OBJECT);
    if (rc <= 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    if (getBE32(b) != id) {
        skipObjectBody(loc);
        return setError(MSG_E_BAD_TYPE);
    }
    if (_frameCount >= kMaxNesting) {
        log(LOG_ERROR, 0, 0, "Error: objects nested deeper than %d in message", kMaxNesting);
        return setError(MSG_E_MISSING_TYPE);
    }
    // An object in the exact layout its translator writes, whole in this
    // buffer, may be decoded where it lies, without an index (the in-place
    // decoders cover a few levels of nesting; deeper down the general path
    // keeps its depth checks).
    InPlaceFn inPlace = findInPlaceFn(id);
    if (inPlace != nullptr && _frameCount + kInPlaceLevels < kMaxNesting && loc->buffer != nullptr &&
        loc->buffer->used > loc->offset) {
        size_t used = 0;
        Translatable* result = inPlace(loc->buffer->data + loc->offset, loc->buffer->used - loc->offset, &used);
        if (result != nullptr) {
            loc->offset += used;
            releaseRead();
            *obj = result;
            return 0;
        }
    }
    rc = indexObject(loc);
    if (rc != 0) return rc;
    XlatorFn fn = findXlatorFn(id);
    if (fn == nullptr) {
        popFrame();
        return setError(MSG_E_NO_TRANSLATOR);
    }
    // An object's translator reads by field only; a plain read there has no
    // position to read from.
    _BufferLocation* saved = _cur;
    _cur = nullptr;
    Translatable* result = nullptr;
    int xrc = fn(this, &result, XLATE_DECODE);
    _cur = saved;
    popFrame();
    if (xrc != 0) {
        log(LOG_WARNING, 0, 0, "Warning: object translator failed for ObjectId: %d", static_cast<int>(id));
        return _error != 0 ? _error : -1;
    }
    *obj = result;
    return 0;
}

int MessageBase::readObject(unsigned int id, Translatable** obj) {
    return readObjectAt(_cur, id, obj);
}

int MessageBase::readContainerAt(_BufferLocation* loc, unsigned int id, Translatable** obj) {
    *obj = nullptr;
    if (_error != 0) return _error;
    if (loc == nullptr) return setError(MSG_E_EOF);
    int rc = readTag(loc, TAG_CONTAINER, nullptr);
    if (rc != 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    if (getBE32(b) != id) {
        skipContainerBody(loc);
        return setError(MSG_E_BAD_TYPE);
    }
    if (_frameCount >= kMaxNesting) {
        log(LOG_ERROR, 0, 0, "Error: objects nested deeper than %d in message", kMaxNesting);
        return setError(MSG_E_MISSING_TYPE);
    }
    XlatorFn fn = findXlatorFn(id);
    if (fn == nullptr) return setError(MSG_E_NO_TRANSLATOR);
    // An empty frame: a container has no fields of its own.
    pushFrame();
    _BufferLocation* saved = _cur;
    _cur = loc;
    Translatable* result = nullptr;
    int xrc = fn(this, &result, XLATE_DECODE);
    _cur = saved;
    popFrame();
    if (xrc != 0) {
        log(LOG_WARNING, 0, 0, "Warning: container translator failed for ObjectId: %d", static_cast<int>(id));
        skipContainerBody(loc);
        return _error != 0 ? _error : -1;
    }
    rc = readTag(loc, TAG_CONTAINER_END, nullptr);
    if (rc != 0) {
        delete result;
        return rc;
    }
    *obj = result;
    return 0;
}

int MessageBase::readContainer(unsigned int id, Translatable** obj) {
    return readContainerAt(_cur, id, obj);
}

int MessageBase::readOpaqueAt(_BufferLocation* loc, unsigned int* id, unsigned char** bytes, size_t* length) {
    *id = 0;
    *bytes = nullptr;
    *length = 0;
    if (_error != 0) return _error;
    if (loc == nullptr) return setError(MSG_E_EOF);
    unsigned char head[5];
    if (!TAKE(loc, head, 1)) return setError(MSG_E_EOF);
    if (head[0] == TAG_NULL_OBJECT) return 0;
    if (head[0] != TAG_OBJECT) {
        if (isReadPosition(loc))
            returnByte(head[0]);
        else
            loc->offset--;
        return setError(MSG_E_BAD_TYPE);
    }
    loc->offset--;
    // Hold the start of the object while it is skipped, then copy it whole.
    _BufferLocation start = *loc;
    start.buffer->indexRefs++;
    int rc = skipValue(loc);
    size_t n = 0;
    if (rc == 0) {
        const _Buffer* b = start.buffer;
        size_t offset = start.offset;
        for (; b != loc->buffer; b = b->next) {
            n += b->used - offset;
            offset = 0;
        }
        n += loc->offset - offset;
        unsigned char* copy = static_cast<unsigned char*>(malloc(n));
        _BufferLocation from = start;
        readLocBytes(&from, copy, n);
        *id = getBE32(copy + 1);
        *bytes = copy;
        *length = n;
    }
    start.buffer->indexRefs--;
    if (isReadPosition(loc)) releaseRead();
    return rc != 0 ? setError(rc) : 0;
}

int MessageBase::readOpaqueObject(unsigned int* id, unsigned char** bytes, size_t* length) {
    return readOpaqueAt(_cur, id, bytes, length);
}

bool MessageBase::hasNext() {
    if (_error != 0 || _cur == nullptr) return false;
    unsigned char b;
    if (!TAKE(_cur, &b, 1)) return false;
    if (isReadPosition(_cur))
        returnByte(b);
    else
        _cur->offset--;
    return b != TAG_CONTAINER_END;
}

// --- field readers -------------------------------------------------------

int MessageBase::readBoolField(unsigned int n, bool* v) {
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    if (rc != 0) return rc;
    unsigned char b;
    rc = readPlain(&loc, TAG_BOOL, &b, 1);
    if (rc == 0) *v = b != 0;
    return rc;
}

int MessageBase::readInt32Field(unsigned int n, int32_t* v) {
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    if (rc != 0) return rc;
    unsigned char b[8];
    unsigned char tag;
    if (!TAKE(&loc, &tag, 1)) return setError(MSG_E_EOF);
    if (tag == TAG_INT32) {
        if (!TAKE(&loc, b, 4)) return setError(MSG_E_INCOMPLETE);
        *v = static_cast<int32_t>(getBE32(b));
        return 0;
    }
    if (tag == TAG_INT64) {
        if (!TAKE(&loc, b, 8)) return setError(MSG_E_INCOMPLETE);
        *v = static_cast<int32_t>(getBE32(b + 4));
        return 0;
    }
    return setError(MSG_E_BAD_TYPE);
}

int MessageBase::readInt64Field(unsigned int n, int64_t* v) {
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    if (rc != 0) return rc;
    unsigned char b[8];
    rc = readPlain(&loc, TAG_INT64, b, 8);
    if (rc == 0) *v = static_cast<int64_t>(getBE64(b));
    return rc;
}

int MessageBase::readFloatField(unsigned int n, float* v) {
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    if (rc != 0) return rc;
    unsigned char b[4];
    rc = readPlain(&loc, TAG_FLOAT, b, 4);
    if (rc == 0) {
        uint32_t bits = getBE32(b);
        memcpy(v, &bits, 4);
    }
    return rc;
}

int MessageBase::readDoubleField(unsigned int n, double* v) {
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    if (rc != 0) return rc;
    unsigned char b[8];
    rc = readPlain(&loc, TAG_DOUBLE, b, 8);
    if (rc == 0) {
        uint64_t bits = getBE64(b);
        memcpy(v, &bits, 8);
    }
    return rc;
}

int MessageBase::readStringField(unsigned int n, char** s) {
    *s = nullptr;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readStringAt(&loc, s);
}

int MessageBase::readStringArrayField(unsigned int n, char*** strings, int* count) {
    *strings = nullptr;
    *count = 0;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readStringArrayAt(&loc, strings, count);
}

int MessageBase::readBytesField(unsigned int n, unsigned char** data, uint32_t* length) {
    *data = nullptr;
    *length = 0;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readBytesAt(&loc, data, length);
}

int MessageBase::readObjectField(unsigned int n, unsigned int id, Translatable** obj) {
    *obj = nullptr;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readObjectAt(&loc, id, obj);
}

int MessageBase::readContainerField(unsigned int n, unsigned int id, Translatable** obj) {
    *obj = nullptr;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readContainerAt(&loc, id, obj);
}

int MessageBase::readOpaqueObjectField(unsigned int n, unsigned int* id, unsigned char** bytes, size_t* length) {
    if (n == FIELD_AT_READ_POSITION) return readOpaqueAt(_cur, id, bytes, length);
    *id = 0;
    *bytes = nullptr;
    *length = 0;
    _BufferLocation loc;
    int rc = fieldLocation(n, &loc);
    return rc != 0 ? rc : readOpaqueAt(&loc, id, bytes, length);
}

