// MessageBase's buffers and its writer: the chain of buffers, raw reads and
// writes of bytes across it, and every write* function. The reader (with
// its field index) is message_reader.cpp and message_index.cpp; the
// translator registry is xlator_registry.cpp; the C_MESG frame around a
// message belongs to the connection layer (coms/frame.h).
#include "dirbase/message.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "common/block_cache.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dirbase/message_internal.h"
#include "dirbase/translatable.h"

using message_internal::kFrameHeader;
using message_internal::kHandOverMin;

ShardedCounter MessageBase::_n_messages;

namespace {

const size_t kFirstBufferMin = 256;
const size_t kBufferMax = 32768;
const unsigned char kFrameMesg = 3;

}  // namespace

const char* encodingErrorText(int code) {
    return errorText(ERRORS_ENCODING, code, "");
}

// --- life cycle ----------------------------------------------------------

MessageBase::MessageBase(int mode)
    : _first(nullptr), _last(nullptr), _readLoc{nullptr, 0}, _mode(mode), _frame{0, 0, 0, 0, 0}, _entries(_inlineEntries), _entryCount(0),
      _entryCapacity(kInlineEntries), _frames(_inlineFrames), _frameCount(0), _frameCapacity(kInlineFrames),
      _tables(nullptr), _tableCount(0), _tableCapacity(0), _error(0), _cur(&_readLoc), _releasedBytes(0),
      _writeDepth(0) {
    _n_messages.add(1);
}

MessageBase::~MessageBase() {
    freeBuffers();
    if (_entries != _inlineEntries) free(_entries);
    if (_frames != _inlineFrames) free(_frames);
    free(_tables);
}

void* MessageBase::operator new(size_t n) {
    void* p = block_cache::allocate(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void MessageBase::operator delete(void* p) {
    block_cache::release(p);
}

void MessageBase::freeBuffer(_Buffer* b) {
    if (b->data != reinterpret_cast<unsigned char*>(b + 1)) free(b->data);
    block_cache::release(b);
}

void MessageBase::freeBuffers() {
    while (_first != nullptr) {
        _Buffer* next = _first->next;
        freeBuffer(_first);
        _first = next;
    }
    _last = nullptr;
    _readLoc.buffer = nullptr;
    _readLoc.offset = 0;
}

int MessageBase::setError(int code) {
    if (_error == 0) _error = code;
    return _error;
}

MessageBase::_Buffer* MessageBase::grow(size_t n) {
    size_t capacity;
    bool header = false;
    if (_mode == MODE_WRITE) {
        if (_first == nullptr) {
            capacity = n == 0 ? kFrameHeader : (n + kFrameHeader > kFirstBufferMin ? n + kFrameHeader : kFirstBufferMin);
            header = true;
        } else {
            capacity = 2 * _last->capacity;
            if (capacity > kBufferMax) capacity = kBufferMax;
            if (capacity < n + kFrameHeader) capacity = n + kFrameHeader;
        }
    } else {
        capacity = n;
    }
    // Small buffers share one allocation with their record; large ones get
    // their own, with one spare byte past the capacity: room for the
    // terminator when a received block is handed over in place (readBytes).
    _Buffer* b;
    if (capacity < kHandOverMin) {
        b = static_cast<_Buffer*>(block_cache::allocate(sizeof(_Buffer) + capacity + 1));
        b->data = reinterpret_cast<unsigned char*>(b + 1);
    } else {
        b = static_cast<_Buffer*>(block_cache::allocate(sizeof(_Buffer)));
        b->data = static_cast<unsigned char*>(malloc(capacity + 1));
    }
    b->capacity = capacity;
    b->used = 0;
    b->indexRefs = 0;
    b->next = nullptr;
    if (header) {
        b->data[0] = kFrameMesg;
        memset(b->data + 1, 0, 4);
        putBE32(b->data + 5, _frame.type);
        b->used = kFrameHeader;
    }
    if (_last != nullptr)
        _last->next = b;
    else
        _first = b;
    _last = b;
    return b;
}

void MessageBase::releaseRead() {
    if (_mode != MODE_READ || _readLoc.buffer == nullptr) return;
    while (_first != nullptr && _first != _readLoc.buffer && _first->indexRefs == 0) {
        _Buffer* b = _first;
        _first = b->next;
        _releasedBytes += b->used;
        freeBuffer(b);
    }
}

// --- raw bytes -----------------------------------------------------------

int MessageBase::appendBytes(const void* data, size_t n) {
    if (_error != 0) return _error;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (_last != nullptr) {
        size_t room = _last->capacity - _last->used;
        size_t take = room < n ? room : n;
        if (take > 0) {
            memcpy(_last->data + _last->used, p, take);
            _last->used += take;
            p += take;
            n -= take;
        }
    }
    if (n > 0 || _first == nullptr) {
        _Buffer* b = grow(n);
        if (n > 0) memcpy(b->data + b->used, p, n);
        b->used += n;
    }
    return 0;
}

size_t MessageBase::readLocBytes(_BufferLocation* loc, void* dest, size_t n) {
    unsigned char* out = static_cast<unsigned char*>(dest);
    if (loc->buffer == nullptr) {
        if (_first == nullptr) return 0;
        loc->buffer = _first;
        loc->offset = 0;
    }
    size_t done = 0;
    while (done < n) {
        _Buffer* b = loc->buffer;
        size_t avail = b->used - loc->offset;
        if (avail == 0) {
            if (b->next == nullptr) break;
            loc->buffer = b->next;
            loc->offset = 0;
            if (loc == &_readLoc) releaseRead();
            continue;
        }
        size_t take = n - done < avail ? n - done : avail;
        if (out != nullptr) memcpy(out + done, b->data + loc->offset, take);
        loc->offset += take;
        done += take;
    }
    return done;
}

void MessageBase::returnByte(unsigned char b) {
    if (_readLoc.buffer != nullptr && _readLoc.offset > 0) {
        _readLoc.offset--;
        _readLoc.buffer->data[_readLoc.offset] = b;
    }
}

size_t MessageBase::availableFrom(const _BufferLocation* loc) const {
    const _Buffer* b = loc->buffer;
    size_t offset = loc->offset;
    if (b == nullptr) {
        b = _first;
        offset = 0;
    }
    size_t total = 0;
    for (; b != nullptr; b = b->next) {
        total += b->used - offset;
        offset = 0;
    }
    return total;
}

size_t MessageBase::totalBytes() const {
    size_t total = 0;
    for (const _Buffer* b = _first; b != nullptr; b = b->next) total += b->used;
    return total;
}

unsigned char* MessageBase::copyBytes(size_t* length) const {
    size_t total = totalBytes();
    unsigned char* out = static_cast<unsigned char*>(malloc(total == 0 ? 1 : total));
    size_t at = 0;
    for (const _Buffer* b = _first; b != nullptr; b = b->next) {
        memcpy(out + at, b->data, b->used);
        at += b->used;
    }
    *length = total;
    return out;
}

int MessageBase::bufferCount() const {
    int n = 0;
    for (const _Buffer* b = _first; b != nullptr; b = b->next) n++;
    return n;
}

size_t MessageBase::readOffset() const {
    size_t at = _releasedBytes;
    for (const _Buffer* b = _first; b != nullptr && b != _readLoc.buffer; b = b->next) at += b->used;
    return at + _readLoc.offset;
}

size_t MessageBase::unreadBytes() const {
    size_t held = _releasedBytes + totalBytes();
    size_t at = readOffset();
    return held > at ? held - at : 0;
}

void MessageBase::switchToRead() {
    _mode = MODE_READ;
    _readLoc.buffer = _first;
    _readLoc.offset = 0;
    _cur = &_readLoc;
    if (_first != nullptr) readLocBytes(&_readLoc, nullptr, kFrameHeader);
}

// --- writing -------------------------------------------------------------

int MessageBase::writeBool(bool v) {
    if (_error != 0) return _error;
    return emit(2, [v](unsigned char* p) {
        p[0] = TAG_BOOL;
        p[1] = v ? 1 : 0;
    });
}

int MessageBase::writeInt32(int32_t v) {
    if (_error != 0) return _error;
    return putTag32(TAG_INT32, static_cast<uint32_t>(v));
}

int MessageBase::writeInt64(int64_t v) {
    if (_error != 0) return _error;
    return emit(9, [v](unsigned char* p) {
        p[0] = TAG_INT64;
        putBE64(p + 1, static_cast<uint64_t>(v));
    });
}

int MessageBase::writeFloat(float v) {
    if (_error != 0) return _error;
    uint32_t bits;
    memcpy(&bits, &v, 4);
    return putTag32(TAG_FLOAT, bits);
}

int MessageBase::writeDouble(double v) {
    if (_error != 0) return _error;
    uint64_t bits;
    memcpy(&bits, &v, 8);
    return emit(9, [bits](unsigned char* p) {
        p[0] = TAG_DOUBLE;
        putBE64(p + 1, bits);
    });
}

int MessageBase::writeString(const char* s) {
    if (s == nullptr) {
        if (_error != 0) return _error;
        return putTag(TAG_NULL_STRING);
    }
    return writeString(s, static_cast<uint32_t>(strlen(s)));
}

int MessageBase::writeString(const char* s, uint32_t length) {
    if (_error != 0) return _error;
    if (s == nullptr) return putTag(TAG_NULL_STRING);
    int rc = putTag32(TAG_STRING, length);
    return rc != 0 ? rc : put(s, length);
}

int MessageBase::writeStringArray(const char* const* strings, int count) {
    if (_error != 0) return _error;
    if (strings == nullptr) return putTag(TAG_NULL_STRING);
    if (count < 0) count = 0;
    int rc = putTag32(TAG_STRING_ARRAY, static_cast<uint32_t>(count));
    for (int i = 0; rc == 0 && i < count; i++) {
        const char* s = strings[i] != nullptr ? strings[i] : "";
        uint32_t length = static_cast<uint32_t>(strlen(s));
        rc = emit(4, [length](unsigned char* p) { putBE32(p, length); });
        if (rc == 0) rc = put(s, length);
    }
    return rc;
}

int MessageBase::writeBytes(const void* data, uint32_t length) {
    if (_error != 0) return _error;
    if (data == nullptr) length = 0;
    int rc = putTag32(TAG_BYTES, length);
    return rc != 0 || length == 0 ? rc : put(data, length);
}

int MessageBase::writeCmd(int32_t cmd) {
    if (_error != 0) return _error;
    return putTag32(TAG_CMD, static_cast<uint32_t>(cmd));
}

namespace {

XlatorFn requireXlator(unsigned int id) {
    XlatorFn fn = MessageBase::findXlatorFn(id);
    if (fn == nullptr) {
        log(0, "Fatal error: unable to find translator for object id: %d", static_cast<int>(id));
        _dravika_assert("translator registered for the object id", __FILE__, __LINE__);
    }
    return fn;
}

}  // namespace

// The fields of an object whose header is written, and its trailer. A
// translator that fails has left part of an object behind, which no reader
// could make sense of: the message fails from there on.
int MessageBase::encodeObject(XlatorFn fn, const Translatable* obj) {
    Translatable* p = const_cast<Translatable*>(obj);
    _writeDepth++;
    int xrc = fn(this, &p, XLATE_ENCODE);
    _writeDepth--;
    if (xrc != 0) return setError(xrc);
    return putTag(TAG_OBJECT_END);
}

// Readers refuse objects nested deeper than kMaxNesting; so does the writer,
// so that the sender hears of it rather than the receiver, and so that a
// value holding itself ends here instead of exhausting the stack.
int MessageBase::refuseTooDeep() {
    log(LOG_ERROR, 0, 0, "Error: objects nested deeper than %d written to message", kMaxNesting);
    return setError(MSG_E_MISSING_TYPE);
}

int MessageBase::writeObject(unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    if (obj == nullptr) return putTag(TAG_NULL_OBJECT);
    if (_writeDepth >= kMaxNesting) return refuseTooDeep();
    XlatorFn fn = requireXlator(id);
    if (fn == nullptr) return -1;
    int rc = putTag32(TAG_OBJECT, id);
    return rc != 0 ? rc : encodeObject(fn, obj);
}

int MessageBase::writeContainer(unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    if (_writeDepth >= kMaxNesting) return refuseTooDeep();
    XlatorFn fn = findXlatorFn(id);
    if (fn == nullptr) {
        log(0, "Fatal error encoding object of type: %d", static_cast<int>(id));
        return -1;
    }
    int rc = putTag32(TAG_CONTAINER, id);
    if (rc != 0) return rc;
    Translatable* p = const_cast<Translatable*>(obj);
    _writeDepth++;
    int xrc = fn(this, &p, XLATE_ENCODE);
    _writeDepth--;
    if (xrc != 0) return setError(xrc);
    return putTag(TAG_CONTAINER_END);
}

int MessageBase::writeOpaqueObject(const unsigned char* bytes, size_t length) {
    if (_error != 0) return _error;
    if (bytes == nullptr || length == 0) return putTag(TAG_NULL_OBJECT);
    return put(bytes, length);
}

int MessageBase::writeBoolField(unsigned int n, bool v) {
    if (_error != 0) return _error;
    return emit(4, [n, v](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(n);
        p[2] = TAG_BOOL;
        p[3] = v ? 1 : 0;
    });
}

int MessageBase::writeInt32Field(unsigned int n, int32_t v) {
    if (_error != 0) return _error;
    return emit(7, [n, v](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(n);
        p[2] = TAG_INT32;
        putBE32(p + 3, static_cast<uint32_t>(v));
    });
}

int MessageBase::writeInt64Field(unsigned int n, int64_t v) {
    if (_error != 0) return _error;
    return emit(11, [n, v](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(n);
        p[2] = TAG_INT64;
        putBE64(p + 3, static_cast<uint64_t>(v));
    });
}

int MessageBase::writeFloatField(unsigned int n, float v) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeFloat(v);
}

int MessageBase::writeDoubleField(unsigned int n, double v) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeDouble(v);
}

int MessageBase::writeStringField(unsigned int n, const char* s) {
    if (_error != 0) return _error;
    if (s == nullptr) {
        return emit(3, [n](unsigned char* p) {
            p[0] = TAG_FIELD;
            p[1] = static_cast<unsigned char>(n);
            p[2] = TAG_NULL_STRING;
        });
    }
    uint32_t length = static_cast<uint32_t>(strlen(s));
    int rc = emit(7, [n, length](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(n);
        p[2] = TAG_STRING;
        putBE32(p + 3, length);
    });
    return rc != 0 ? rc : put(s, length);
}

int MessageBase::writeStringArrayField(unsigned int n, const char* const* strings, int count) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeStringArray(strings, count);
}

int MessageBase::writeBytesField(unsigned int n, const void* data, uint32_t length) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeBytes(data, length);
}

int MessageBase::writeObjectField(unsigned int n, unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    if (obj == nullptr) {
        return emit(3, [n](unsigned char* p) {
            p[0] = TAG_FIELD;
            p[1] = static_cast<unsigned char>(n);
            p[2] = TAG_NULL_OBJECT;
        });
    }
    if (_writeDepth >= kMaxNesting) return refuseTooDeep();
    XlatorFn fn = requireXlator(id);
    if (fn == nullptr) return -1;
    int rc = emit(7, [n, id](unsigned char* p) {
        p[0] = TAG_FIELD;
        p[1] = static_cast<unsigned char>(n);
        p[2] = TAG_OBJECT;
        putBE32(p + 3, id);
    });
    return rc != 0 ? rc : encodeObject(fn, obj);
}

int MessageBase::writeContainerField(unsigned int n, unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeContainer(id, obj);
}

int MessageBase::writeOpaqueObjectField(unsigned int n, const unsigned char* bytes, size_t length) {
    if (_error != 0) return _error;
    int rc = putField(n);
    return rc != 0 ? rc : writeOpaqueObject(bytes, length);
}


unsigned char* MessageBase::frameHeader() {
    if (_first == nullptr) {
        int mode = _mode;
        _mode = MODE_WRITE;
        grow(0);
        _mode = mode;
    }
    return _first->data;
}

unsigned char* MessageBase::appendRoom(size_t size, size_t* room) {
    if (_last == nullptr || _last->used == _last->capacity) grow(size);
    *room = _last->capacity - _last->used;
    return _last->data + _last->used;
}

bool MessageBase::growLastBuffer(size_t capacity) {
    _Buffer* b = _last;
    if (b == nullptr || capacity <= b->capacity) return b != nullptr;
    // One spare byte past the capacity, as grow() gives large buffers.
    unsigned char* data;
    if (b->data == reinterpret_cast<unsigned char*>(b + 1)) {
        // The bytes share the record's allocation: they move to a block of
        // their own (freeBuffer frees both).
        data = static_cast<unsigned char*>(malloc(capacity + 1));
        if (data == nullptr) return false;
        memcpy(data, b->data, b->used);
    } else {
        data = static_cast<unsigned char*>(realloc(b->data, capacity + 1));
        if (data == nullptr) return false;
    }
    b->data = data;
    b->capacity = capacity;
    return true;
}

void MessageBase::takeBuffers(MessageBase* from) {
    if (from->_first == nullptr) return;
    // A message being written keeps its frame header in front.
    if (_mode == MODE_WRITE && _first == nullptr) frameHeader();
    if (_last != nullptr)
        _last->next = from->_first;
    else
        _first = from->_first;
    _last = from->_last;
    from->_releasedBytes += from->totalBytes();
    from->_first = nullptr;
    from->_last = nullptr;
    from->_readLoc.buffer = nullptr;
    from->_readLoc.offset = 0;
}

// --- Message -------------------------------------------------------------

Message::Message(int type) : MessageBase(MODE_WRITE) {
    _frame.type = static_cast<uint32_t>(type);
}

Message::Message() : MessageBase(MODE_READ) {}

Message::Message(const char* bytes, size_t n) : MessageBase(MODE_READ) {
    if (n > 0) {
        _Buffer* b = grow(n);
        memcpy(b->data, bytes, n);
        b->used = n;
    }
}

Message::~Message() {}

int Message::appendProxy(Message* from) {
    if (_error != 0) return _error;
    unsigned char block[4096];
    for (;;) {
        size_t n = from->readLocBytes(&from->_readLoc, block, sizeof block);
        if (n == 0) return 0;
        int rc = appendBytes(block, n);
        if (rc != 0) return rc;
    }
}
