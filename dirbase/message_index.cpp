// The reader's field index and the skipper: indexing an object records
// where each of its fields' values starts (so that translators read fields
// in any order), and skipping steps over a whole value of any tag, nested
// ones included, without recursion.
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "dirbase/message.h"
#include "dirbase/message_internal.h"

// --- the field index -----------------------------------------------------

namespace {

// Frames with more fields than this get a lookup table instead of a scan.
const int kLinearScanMax = 16;
// Ints per lookup table: where each field number's group of entries starts,
// and where the last one ends.
const int kTableSlots = 257;
// The fields one message's index may hold at once. An entry takes eight
// times the smallest field, so without a bound a peer's frame of tiny
// fields would cost eight times its size again; no message this system
// exchanges comes near it (an array of four million elements would).
const int kMaxIndexEntries = 1 << 22;

// A larger heap copy of an array that may still be in its inline storage;
// null (the array untouched) when there is no memory for it.
void* grownArray(void* array, const void* inlineStorage, size_t size, int count, int capacity) {
    if (array != inlineStorage) return realloc(array, size * static_cast<size_t>(capacity));
    void* grown = malloc(size * static_cast<size_t>(capacity));
    if (grown != nullptr) memcpy(grown, array, size * static_cast<size_t>(count));
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
                // Fields whose values have a fixed size (most of them) are
                // stepped over here, without a round through the value step.
                while (end - p >= 3 && p[0] == TAG_FIELD) {
                    unsigned char fixed = kSpan[p[2]];
                    if (fixed == 0 || fixed >= SPAN_LENGTH || end - p < 2 + fixed) break;
                    p += 2 + fixed;
                }
                if (p == end) return 0;
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
    if (span == SPAN_OBJECT && end - p > 5) {
        // An object whose fields all have fixed-size values (a number held
        // in an Any, say) in one tight step; anything else the full walk.
        const unsigned char* q = p + 5;
        while (end - q >= 3 && q[0] == TAG_FIELD) {
            unsigned char fixed = kSpan[q[2]];
            if (fixed == 0 || fixed >= SPAN_LENGTH || end - q < 2 + fixed) break;
            q += 2 + fixed;
        }
        if (q != end && *q == TAG_OBJECT_END) return static_cast<size_t>(q + 1 - p);
    }
    return span == 0 ? 0 : fastSkip(p, end);
}

}  // namespace

bool MessageBase::growEntries() {
    int capacity = _entryCapacity * 2;
    void* grown = capacity <= kMaxIndexEntries ? grownArray(_entries, _inlineEntries, sizeof(IndexEntry), _entryCount,
                                                            capacity)
                                               : nullptr;
    if (grown == nullptr) {
        log(LOG_ERROR, 0, 0, "Error: more than %d fields to index in one message", _entryCapacity);
        return false;
    }
    _entries = static_cast<IndexEntry*>(grown);
    _entryCapacity = capacity;
    return true;
}

bool MessageBase::addEntry(unsigned char field, _Buffer* buffer, size_t offset) {
    if (_entryCount == _entryCapacity && !growEntries()) return false;
    IndexEntry& e = _entries[_entryCount++];
    e.field = field;
    e.next = -1;
    e.loc.buffer = buffer;
    e.loc.offset = offset;
    buffer->indexRefs++;
    _frames[_frameCount - 1].count++;
    return true;
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
        // The entries are written straight into the array, and the counts
        // they add (the frame's, the buffer's) brought up to date once.
        IndexFrame& frame = _frames[_frameCount - 1];
        int added = 0;
        bool done = false;
        while (p != end) {
            if (*p == TAG_OBJECT_END) {
                done = true;
                p++;
                break;
            }
            if (*p != TAG_FIELD || end - p < 3) break;
            size_t n = valueSize(p + 2, end);
            if (n == 0) break;
            if (__builtin_expect(_entryCount == _entryCapacity, 0) && !growEntries()) {
                frame.count += added;
                buffer->indexRefs += added;
                popFrame();
                return setError(MSG_E_BAD_FIELD_CODE);
            }
            IndexEntry& e = _entries[_entryCount++];
            e.field = p[1];
            e.next = -1;
            e.loc.buffer = buffer;
            e.loc.offset = static_cast<size_t>(p + 2 - data);
            added++;
            p += 2 + n;
        }
        frame.count += added;
        buffer->indexRefs += added;
        loc->offset = static_cast<size_t>(p - data);
        if (done) return 0;
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
        if (!addEntry(b[1], buffer, offset)) {
            rc = MSG_E_BAD_FIELD_CODE;
            break;
        }
        rc = skipValue(loc);
        if (rc != 0) break;
    }
    popFrame();
    return setError(rc);
}

bool MessageBase::reserveTable() {
    if (_tableCount < _tableCapacity) return true;
    int capacity = _tableCapacity == 0 ? 4 : _tableCapacity * 2;
    void* grown = realloc(_tables, sizeof(int) * kTableSlots * static_cast<size_t>(capacity));
    if (grown == nullptr) return false;
    _tables = static_cast<int*>(grown);
    _tableCapacity = capacity;
    return true;
}

const MessageBase::_BufferLocation* MessageBase::findField(unsigned int n) {
    if (_frameCount == 0) return nullptr;
    IndexFrame& f = _frames[_frameCount - 1];
    unsigned char field = static_cast<unsigned char>(n);
    unsigned int occurrence = n == 0 ? 0 : (n - 1) >> 8;
    // Without memory for a table, the scan still finds the field.
    if (f.count <= kLinearScanMax || (f.table < 0 && !reserveTable())) {
        for (int i = f.start; i < f.start + f.count; i++) {
            if (_entries[i].field == field) {
                if (occurrence == 0) return &_entries[i].loc;
                occurrence--;
            }
        }
        return nullptr;
    }
    if (f.table < 0) {
        f.table = _tableCount++;
        // The entries grouped by number, each group in order of appearance:
        // run[b] is where number b's group starts (run[256] the end), and the
        // next words of the entries from there on, in turn, name the entries
        // of that group. Any occurrence is then one step away, whatever
        // order the translator asks for them in (a long array's elements,
        // numbers repeating every 256, would cost a walk each otherwise).
        int* run = _tables + kTableSlots * f.table;
        for (int b = 0; b < kTableSlots; b++) run[b] = 0;
        for (int i = f.start; i < f.start + f.count; i++) run[_entries[i].field + 1]++;
        for (int b = 1; b < kTableSlots; b++) run[b] += run[b - 1];
        int fill[256];
        for (int b = 0; b < 256; b++) fill[b] = run[b];
        for (int i = f.start; i < f.start + f.count; i++) _entries[f.start + fill[_entries[i].field]++].next = i;
    }
    const int* run = _tables + kTableSlots * f.table;
    if (occurrence >= static_cast<unsigned int>(run[field + 1] - run[field])) return nullptr;
    return &_entries[_entries[f.start + run[field] + static_cast<int>(occurrence)].next].loc;
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
                    char* bigger = static_cast<char*>(malloc(capacity * 2));
                    if (bigger == nullptr) {
                        rc = MSG_E_INCOMPLETE;
                        break;
                    }
                    capacity *= 2;
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

void MessageBase::skipObjectBody(_BufferLocation* loc) {
    for (;;) {
        unsigned char b[2];
        if (!TAKE(loc, b, 1) || b[0] == TAG_OBJECT_END) return;
        if (b[0] != TAG_FIELD || !TAKE(loc, b + 1, 1) || skipValue(loc) != 0) return;
    }
}

void MessageBase::skipContainerBody(_BufferLocation* loc) {
    for (;;) {
        unsigned char next;
        if (!TAKE(loc, &next, 1) || next == TAG_CONTAINER_END) return;
        loc->offset--;
        if (skipValue(loc) != 0) return;
    }
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

