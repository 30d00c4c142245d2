#include "dirbase/message.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dirbase/translatable.h"

std::atomic<long> MessageBase::_n_messages{0};
XlatorFn MessageBase::_principalXlator = nullptr;
MessageBase::XlatorSlot* MessageBase::_xlatorTable = nullptr;
size_t MessageBase::_xlatorMask = 0;

namespace {

const size_t kFrameHeader = 9;
const size_t kFirstBufferMin = 256;
const size_t kBufferMax = 32768;
const unsigned char kFrameMesg = 3;
// Blocks from this size on may be handed over in place (see handOver).
const uint32_t kHandOverMin = 65536;
// Frames with more fields than this get a lookup table instead of a scan.
const int kLinearScanMax = 16;
// Limits of a received C_MESG frame, and the largest buffer that one
// received body allocates at a time.
const uint32_t kMaxFrameBody = 0x4FFFFFFF;
const uint32_t kMaxFrameType = 0xFFFFFF;
const size_t kMaxReadBuffer = 16u << 20;

// The translator registry as registered, newest first; MessageBase keeps a
// table over it for the lookups.
struct XlatorEntry {
    unsigned int id;
    XlatorFn fn;
    XlatorEntry* next;
};
XlatorEntry* _xlatorList = nullptr;
size_t _xlatorCount = 0;

void tableInsert(MessageBase::XlatorSlot* table, size_t mask, unsigned int id, XlatorFn fn) {
    size_t i = (id * 2654435761u) & mask;
    while (table[i].fn != nullptr && table[i].id != id) i = (i + 1) & mask;
    table[i].id = id;
    table[i].fn = fn;
}

}  // namespace

const char* encodingErrorText(int code) {
    return errorText(ERRORS_ENCODING, code, "");
}

// --- registry ------------------------------------------------------------

void MessageBase::registerObjectXlator(unsigned int id, XlatorFn fn) {
    XlatorEntry* e = static_cast<XlatorEntry*>(malloc(sizeof(XlatorEntry)));
    e->id = id;
    e->fn = fn;
    e->next = _xlatorList;
    _xlatorList = e;

    size_t size = _xlatorTable == nullptr ? 0 : _xlatorMask + 1;
    if ((_xlatorCount + 1) * 2 > size) {
        size_t bigger = size == 0 ? 64 : size * 2;
        XlatorSlot* table = static_cast<XlatorSlot*>(calloc(bigger, sizeof(XlatorSlot)));
        for (size_t i = 0; i < size; i++)
            if (_xlatorTable[i].fn != nullptr) tableInsert(table, bigger - 1, _xlatorTable[i].id, _xlatorTable[i].fn);
        free(_xlatorTable);
        _xlatorTable = table;
        _xlatorMask = bigger - 1;
    }
    // The newest registration is the one found first in the list.
    tableInsert(_xlatorTable, _xlatorMask, id, fn);
    _xlatorCount++;
}

void MessageBase::unregisterAll() {
    while (_xlatorList != nullptr) {
        XlatorEntry* next = _xlatorList->next;
        free(_xlatorList);
        _xlatorList = next;
    }
    free(_xlatorTable);
    _xlatorTable = nullptr;
    _xlatorMask = 0;
    _xlatorCount = 0;
}

// --- life cycle ----------------------------------------------------------

MessageBase::MessageBase(int mode)
    : _first(nullptr), _last(nullptr), _readLoc{nullptr, 0}, _mode(mode), _lengthBytesSeen(0), _typeBytesSeen(0),
      _frameLength(0), _frameType(0), _bodyReceived(0), _entries(_inlineEntries), _entryCount(0),
      _entryCapacity(kInlineEntries), _frames(_inlineFrames), _frameCount(0), _frameCapacity(kInlineFrames),
      _tables(nullptr), _tableCount(0), _tableCapacity(0), _error(0), _cur(&_readLoc), _releasedBytes(0) {
    _n_messages.fetch_add(1, std::memory_order_relaxed);
}

MessageBase::~MessageBase() {
    freeBuffers();
    if (_entries != _inlineEntries) free(_entries);
    if (_frames != _inlineFrames) free(_frames);
    free(_tables);
}

void MessageBase::freeBuffer(_Buffer* b) {
    if (b->data != reinterpret_cast<unsigned char*>(b + 1)) free(b->data);
    free(b);
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
        b = static_cast<_Buffer*>(malloc(sizeof(_Buffer) + capacity + 1));
        b->data = reinterpret_cast<unsigned char*>(b + 1);
    } else {
        b = static_cast<_Buffer*>(malloc(sizeof(_Buffer)));
        b->data = static_cast<unsigned char*>(malloc(capacity + 1));
    }
    b->capacity = capacity;
    b->used = 0;
    b->indexRefs = 0;
    b->next = nullptr;
    if (header) {
        b->data[0] = kFrameMesg;
        memset(b->data + 1, 0, 4);
        putBE32(b->data + 5, _frameType);
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

namespace {

// The common case of reading bytes that sit in the location's buffer.
inline bool fastTake(MessageBase::_BufferLocation* loc, void* dest, size_t n) {
    MessageBase::_Buffer* b = loc->buffer;
    if (b == nullptr || b->used - loc->offset < n) return false;
    memcpy(dest, b->data + loc->offset, n);
    loc->offset += n;
    return true;
}

}  // namespace

#define TAKE(loc, dest, n) (fastTake((loc), (dest), (n)) || readLocBytes((loc), (dest), (n)) == (n))

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

// The fields of an object whose header is written, and its trailer.
int MessageBase::encodeObject(XlatorFn fn, const Translatable* obj) {
    Translatable* p = const_cast<Translatable*>(obj);
    int xrc = fn(this, &p, XLATE_ENCODE);
    int rc = putTag(TAG_OBJECT_END);
    return xrc != 0 ? -1 : rc;
}

int MessageBase::writeObject(unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    if (obj == nullptr) return putTag(TAG_NULL_OBJECT);
    XlatorFn fn = requireXlator(id);
    if (fn == nullptr) return -1;
    int rc = putTag32(TAG_OBJECT, id);
    return rc != 0 ? rc : encodeObject(fn, obj);
}

int MessageBase::writeContainer(unsigned int id, const Translatable* obj) {
    if (_error != 0) return _error;
    XlatorFn fn = findXlatorFn(id);
    if (fn == nullptr) {
        log(0, "Fatal error encoding object of type: %d", static_cast<int>(id));
        return -1;
    }
    int rc = putTag32(TAG_CONTAINER, id);
    if (rc != 0) return rc;
    Translatable* p = const_cast<Translatable*>(obj);
    int xrc = fn(this, &p, XLATE_ENCODE);
    rc = putTag(TAG_CONTAINER_END);
    return xrc != 0 ? -1 : rc;
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

// --- the field index -----------------------------------------------------

namespace {

// A larger heap copy of an array that may still be in its inline storage.
void* grownArray(void* array, const void* inlineStorage, size_t size, int count, int capacity) {
    if (array != inlineStorage) return realloc(array, size * static_cast<size_t>(capacity));
    void* grown = malloc(size * static_cast<size_t>(capacity));
    memcpy(grown, array, size * static_cast<size_t>(count));
    return grown;
}

}  // namespace

void MessageBase::pushFrame() {
    if (_frameCount == _frameCapacity) {
        _frameCapacity *= 2;
        _frames = static_cast<IndexFrame*>(grownArray(_frames, _inlineFrames, sizeof(IndexFrame), _frameCount,
                                                      _frameCapacity));
    }
    _frames[_frameCount++] = IndexFrame{_entryCount, 0, -1};
}

void MessageBase::popFrame() {
    IndexFrame& f = _frames[--_frameCount];
    for (int i = f.start; i < f.start + f.count; i++) _entries[i].loc.buffer->indexRefs--;
    _entryCount = f.start;
    if (f.table >= 0) _tableCount = f.table;
    releaseRead();
}

namespace {

// How fastSkip steps over the value after each tag: below 0x80 the whole
// value's size, tag included; SPAN_LENGTH a length-prefixed value; SPAN_OBJECT
// and SPAN_CONTAINER an opening; 0 anything it leaves to the careful walk.
enum : unsigned char { SPAN_LENGTH = 0x80, SPAN_OBJECT = 0x81, SPAN_CONTAINER = 0x82 };
const unsigned char kSpan[256] = {
    0, 2, 5, 9, 5, 9, SPAN_LENGTH, 1, 1, SPAN_OBJECT, 0, 0, SPAN_CONTAINER, 0, SPAN_LENGTH, 0,
};

// The size of the well-formed value at p when it lies wholly before end and
// nests at most 64 deep; 0 otherwise (the careful walk then decides).
size_t fastSkip(const unsigned char* p, const unsigned char* end) {
    const unsigned char* start = p;
    uint64_t objects = 0;  // one bit per open level: 1 object, 0 container
    int depth = 0;
    for (;;) {
        // A value.
        if (p == end) return 0;
        unsigned char span = kSpan[*p];
        if (span != 0 && span < SPAN_LENGTH) {
            if (end - p < span) return 0;
            p += span;
        } else if (span == SPAN_LENGTH) {
            if (end - p < 5) return 0;
            uint32_t n = getBE32(p + 1);
            p += 5;
            if (static_cast<size_t>(end - p) < n) return 0;
            p += n;
        } else if (span == SPAN_OBJECT || span == SPAN_CONTAINER) {
            if (end - p < 5 || depth == 64) return 0;
            p += 5;
            objects = (objects << 1) | (span == SPAN_OBJECT ? 1 : 0);
            depth++;
        } else {
            return 0;
        }
        // What follows it, up to the next value or the end of this one.
        for (;;) {
            if (depth == 0) return static_cast<size_t>(p - start);
            if (p == end) return 0;
            if (objects & 1) {
                if (*p == TAG_FIELD) {
                    if (end - p < 2) return 0;
                    p += 2;
                    break;
                }
                if (*p != TAG_OBJECT_END) return 0;
            } else if (*p != TAG_CONTAINER_END) {
                break;
            }
            p++;
            objects >>= 1;
            depth--;
        }
    }
}

// The size of the value at p when it lies wholly before end (and nests at
// most 64 deep); 0 when the careful walk has to decide.
inline size_t valueSize(const unsigned char* p, const unsigned char* end) {
    unsigned char span = kSpan[*p];
    if (span != 0 && span < SPAN_LENGTH) return end - p >= span ? span : 0;
    if (span == SPAN_LENGTH) {
        if (end - p < 5) return 0;
        size_t n = static_cast<size_t>(getBE32(p + 1)) + 5;
        return static_cast<size_t>(end - p) >= n ? n : 0;
    }
    return span == 0 ? 0 : fastSkip(p, end);
}

}  // namespace

void MessageBase::addEntry(unsigned char field, _Buffer* buffer, size_t offset) {
    if (_entryCount == _entryCapacity) {
        _entryCapacity *= 2;
        _entries = static_cast<IndexEntry*>(grownArray(_entries, _inlineEntries, sizeof(IndexEntry), _entryCount,
                                                       _entryCapacity));
    }
    IndexEntry& e = _entries[_entryCount++];
    e.field = field;
    e.next = -1;
    e.loc.buffer = buffer;
    e.loc.offset = offset;
    buffer->indexRefs++;
    _frames[_frameCount - 1].count++;
}

int MessageBase::indexObject(_BufferLocation* loc) {
    pushFrame();
    // Fields that lie in the current buffer are indexed with a pointer; the
    // careful loop below takes over at a buffer boundary, at anything
    // malformed (to report it) and at nesting too deep for the fast walk.
    if (loc->buffer != nullptr) {
        _Buffer* buffer = loc->buffer;
        const unsigned char* data = buffer->data;
        const unsigned char* p = data + loc->offset;
        const unsigned char* end = data + buffer->used;
        while (p != end) {
            if (*p == TAG_OBJECT_END) {
                loc->offset = static_cast<size_t>(p + 1 - data);
                return 0;
            }
            if (*p != TAG_FIELD || end - p < 3) break;
            size_t n = valueSize(p + 2, end);
            if (n == 0) break;
            addEntry(p[1], buffer, static_cast<size_t>(p + 2 - data));
            p += 2 + n;
        }
        loc->offset = static_cast<size_t>(p - data);
    }
    int rc = 0;
    for (;;) {
        unsigned char b[2];
        if (!TAKE(loc, b, 1)) {
            rc = MSG_E_NO_FIELD_CODE;
            break;
        }
        if (b[0] == TAG_OBJECT_END) return 0;
        if (b[0] != TAG_FIELD) {
            rc = MSG_E_BAD_FIELD_CODE;
            break;
        }
        if (!TAKE(loc, b + 1, 1)) {
            rc = MSG_E_NO_FIELD_CODE;
            break;
        }
        // Word by word: the offset was just stored, and one wide load of the
        // whole location would wait for that store to land.
        _Buffer* buffer = loc->buffer;
        size_t offset = loc->offset;
        addEntry(b[1], buffer, offset);
        rc = skipValue(loc);
        if (rc != 0) break;
    }
    popFrame();
    return setError(rc);
}

const MessageBase::_BufferLocation* MessageBase::findField(unsigned int n) {
    if (_frameCount == 0) return nullptr;
    IndexFrame& f = _frames[_frameCount - 1];
    unsigned char field = static_cast<unsigned char>(n);
    unsigned int occurrence = n == 0 ? 0 : (n - 1) >> 8;
    if (f.count <= kLinearScanMax) {
        for (int i = f.start; i < f.start + f.count; i++) {
            if (_entries[i].field == field) {
                if (occurrence == 0) return &_entries[i].loc;
                occurrence--;
            }
        }
        return nullptr;
    }
    if (f.table < 0) {
        if (_tableCount == _tableCapacity) {
            _tableCapacity = _tableCapacity == 0 ? 4 : _tableCapacity * 2;
            _tables = static_cast<int*>(realloc(_tables, sizeof(int) * 256 * _tableCapacity));
        }
        f.table = _tableCount++;
        int* table = _tables + 256 * f.table;
        for (int i = 0; i < 256; i++) table[i] = -1;
        // Chained back to front, so each chain runs in order of appearance.
        for (int i = f.start + f.count - 1; i >= f.start; i--) {
            _entries[i].next = table[_entries[i].field];
            table[_entries[i].field] = i;
        }
    }
    int i = _tables[256 * f.table + field];
    while (i >= 0 && occurrence > 0) {
        i = _entries[i].next;
        occurrence--;
    }
    return i >= 0 ? &_entries[i].loc : nullptr;
}

int MessageBase::fieldLocation(unsigned int n, _BufferLocation* loc) {
    if (_error != 0) return _error;
    const _BufferLocation* at = findField(n);
    if (at == nullptr) return setError(MSG_E_MISSING_FIELD);
    *loc = *at;
    return 0;
}

bool MessageBase::hasField(unsigned int n) {
    return findField(n) != nullptr;
}

const unsigned char* MessageBase::peekField(unsigned int n, size_t* available) {
    *available = 0;
    if (_error != 0) return nullptr;
    const _BufferLocation* at = findField(n);
    if (at == nullptr) return nullptr;
    *available = at->buffer->used - at->offset;
    return at->buffer->data + at->offset;
}

int MessageBase::fieldCount() const {
    return _frameCount == 0 ? 0 : _frames[_frameCount - 1].count;
}

// --- skipping ------------------------------------------------------------

int MessageBase::skipValue(_BufferLocation* loc) {
    if (loc->buffer != nullptr) {
        _Buffer* b = loc->buffer;
        size_t n = fastSkip(b->data + loc->offset, b->data + b->used);
        if (n > 0) {
            loc->offset += n;
            return 0;
        }
    }
    // Nested objects and containers are followed with an explicit stack, so
    // hostile nesting costs heap, not stack.
    char small[64];
    char* stack = small;
    size_t depth = 0, capacity = sizeof(small);
    int rc = 0;
    bool expectValue = true;
    for (;;) {
        if (expectValue) {
            unsigned char tag;
            if (!TAKE(loc, &tag, 1)) {
                rc = MSG_E_MISSING_TYPE;
                break;
            }
            size_t skip = 0;
            unsigned char b[4];
            switch (tag) {
            case TAG_BOOL: skip = 1; break;
            case TAG_INT32:
            case TAG_FLOAT: skip = 4; break;
            case TAG_INT64:
            case TAG_DOUBLE: skip = 8; break;
            case TAG_NULL_STRING:
            case TAG_NULL_OBJECT: break;
            case TAG_STRING:
            case TAG_BYTES:
                if (!TAKE(loc, b, 4)) {
                    rc = MSG_E_INCOMPLETE;
                    break;
                }
                skip = getBE32(b);
                break;
            case TAG_STRING_ARRAY: {
                if (!TAKE(loc, b, 4)) {
                    rc = MSG_E_INCOMPLETE;
                    break;
                }
                uint32_t count = getBE32(b);
                for (uint32_t i = 0; i < count; i++) {
                    if (!TAKE(loc, b, 4) || readLocBytes(loc, nullptr, getBE32(b)) != getBE32(b)) {
                        rc = MSG_E_INCOMPLETE;
                        break;
                    }
                }
                break;
            }
            case TAG_OBJECT:
            case TAG_CONTAINER:
                if (!TAKE(loc, b, 4)) {
                    rc = MSG_E_INCOMPLETE;
                    break;
                }
                if (depth == capacity) {
                    capacity *= 2;
                    char* bigger = static_cast<char*>(malloc(capacity));
                    memcpy(bigger, stack, depth);
                    if (stack != small) free(stack);
                    stack = bigger;
                }
                stack[depth++] = static_cast<char>(tag);
                break;
            default:
                log(LOG_ERROR, 0, 0, "Error: Missing type descriptor in message: %d", tag);
                rc = MSG_E_MISSING_TYPE;
                break;
            }
            if (rc != 0) break;
            if (skip > 0 && readLocBytes(loc, nullptr, skip) != skip) {
                rc = MSG_E_INCOMPLETE;
                break;
            }
            expectValue = false;
        }
        if (depth == 0) break;
        unsigned char b;
        if (!TAKE(loc, &b, 1)) {
            rc = stack[depth - 1] == TAG_OBJECT ? MSG_E_NO_FIELD_CODE : MSG_E_MISSING_TYPE;
            break;
        }
        if (stack[depth - 1] == TAG_OBJECT) {
            if (b == TAG_OBJECT_END) {
                depth--;
            } else if (b == TAG_FIELD) {
                if (!TAKE(loc, &b, 1)) {
                    rc = MSG_E_NO_FIELD_CODE;
                    break;
                }
                expectValue = true;
            } else {
                rc = MSG_E_BAD_FIELD_CODE;
                break;
            }
        } else if (b == TAG_CONTAINER_END) {
            depth--;
        } else {
            loc->offset--;  // the byte read is the value's tag
            expectValue = true;
        }
    }
    if (stack != small) free(stack);
    return rc;
}

int MessageBase::skipToCmd() {
    _error = 0;
    _cur = &_readLoc;
    for (;;) {
        unsigned char tag;
        if (!TAKE(&_readLoc, &tag, 1)) return setError(MSG_E_EOF);
        returnByte(tag);
        if (tag == TAG_CMD) return 0;
        // Hold the start so that a malformed value can be stepped over by a
        // single byte instead of swallowing a command inside it.
        _BufferLocation start = _readLoc;
        start.buffer->indexRefs++;
        int rc = skipValue(&_readLoc);
        start.buffer->indexRefs--;
        if (rc != 0) {
            _readLoc = start;
            readLocBytes(&_readLoc, nullptr, 1);
        }
        releaseRead();
    }
}

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
        if (!TAKE(loc, data, length)) {
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
    while (have < length) {
        if (have == capacity) {
            capacity = capacity * 2 < length ? capacity * 2 : length;
            data = static_cast<unsigned char*>(realloc(data, capacity + 1));
        }
        size_t got = readLocBytes(loc, data + have, capacity - have);
        have += got;
        if (got == 0) {
            free(data);
            return setError(MSG_E_INCOMPLETE);
        }
    }
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

int MessageBase::readObjectAt(_BufferLocation* loc, unsigned int id, Translatable** obj) {
    *obj = nullptr;
    int rc = readTagOrNull(loc, TAG_OBJECT, TAG_NULL_OBJECT);
    if (rc <= 0) return rc;
    unsigned char b[4];
    if (!TAKE(loc, b, 4)) return setError(MSG_E_INCOMPLETE);
    if (getBE32(b) != id) return setError(MSG_E_BAD_TYPE);
    if (_frameCount >= kMaxNesting) {
        log(LOG_ERROR, 0, 0, "Error: objects nested deeper than %d in message", kMaxNesting);
        return setError(MSG_E_MISSING_TYPE);
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
    if (getBE32(b) != id) return setError(MSG_E_BAD_TYPE);
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
        // Go on after the container.
        for (;;) {
            unsigned char next;
            if (!TAKE(loc, &next, 1)) break;
            if (next == TAG_CONTAINER_END) break;
            loc->offset--;
            if (skipValue(loc) != 0) break;
        }
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

// --- Message -------------------------------------------------------------

Message::Message(int type) : MessageBase(MODE_WRITE) {
    _frameType = static_cast<uint32_t>(type);
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

void Message::setFrameLength() {
    if (_first == nullptr) {
        int mode = _mode;
        _mode = MODE_WRITE;
        grow(0);
        _mode = mode;
    }
    putBE32(_first->data + 1, static_cast<uint32_t>(totalBytes() - kFrameHeader));
}

int Message::read(const unsigned char* data, size_t& n) {
    size_t at = 0;
    while (_lengthBytesSeen < 4 && at < n) {
        _frameLength = (_frameLength << 8) | data[at++];
        if (++_lengthBytesSeen < 4) continue;
        // Read as a signed number: a length with the top bit set is negative.
        int32_t length = static_cast<int32_t>(_frameLength);
        if (length < 1) {
            log(0, "Less than or zero size message");
            n -= at;
            return -1;
        }
        if (_frameLength > kMaxFrameBody) {
            log(0, "packet too large 2G");
            n -= at;
            return -1;
        }
    }
    while (_lengthBytesSeen == 4 && _typeBytesSeen < 4 && at < n) {
        _frameType = (_frameType << 8) | data[at++];
        if (++_typeBytesSeen == 4 && _frameType > kMaxFrameType) {
            log(0, "illogical message type");
            n -= at;
            return -1;
        }
    }
    if (_typeBytesSeen < 4) {
        n -= at;
        return 0;
    }
    while (_bodyReceived < _frameLength && at < n) {
        if (_last == nullptr || _last->used == _last->capacity) {
            // The exact remaining size, but never more than a slice at a time:
            // the length is the peer's claim, and memory follows the bytes
            // that actually arrive.
            size_t remaining = _frameLength - _bodyReceived;
            grow(remaining < kMaxReadBuffer ? remaining : kMaxReadBuffer);
        }
        size_t room = _last->capacity - _last->used;
        size_t take = n - at < room ? n - at : room;
        memcpy(_last->data + _last->used, data + at, take);
        _last->used += take;
        _bodyReceived += take;
        at += take;
    }
    n -= at;
    return _bodyReceived == _frameLength ? 1 : 0;
}
