// The tagged object encoding: MessageBase writes and reads a self-describing,
// big-endian tag stream held in a chain of buffers; Message keeps its bytes in
// memory. Every encodable class has a translator function registered under
// its object id; objects are framed by a header naming that id and a trailer,
// and their fields carry one-byte numbers so that a reader can take them in
// any order and skip those it does not know.
//
// Thread-safety: a message belongs to one thread at a time; the translator
// registry is process-wide and safe to read from any thread.
//
// Where things are: the buffers and the writer in message.cpp, the reader in
// message_reader.cpp with its field index and skipper in message_index.cpp,
// the translator registry in xlator_registry.cpp (each library registers
// its own translators: dirbase_registerTranslators in translators.h). The
// C_MESG frame around a message is the connection layer's (coms/frame.h).
//
// Tags and what follows them (multi-byte numbers big-endian):
//   1 boolean (1 byte)      2 int32 (4)        3 int64 (8)
//   4 float (4)             5 double (8)       6 string (4-byte length, bytes)
//   7 null string / null string array          8 null object
//   9 object header (4-byte id), fields, 10 object trailer
//   11 field (1-byte number, then one value)
//   12 container header (4-byte id), values, 13 container trailer
//   14 byte block (4-byte length, bytes)
//   15 string array (4-byte count, then length + bytes per string)
//   16 command (4 bytes)
#ifndef DRV_DIRBASE_MESSAGE_H
#define DRV_DIRBASE_MESSAGE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "common/sharded_counter.h"

class MessageBase;
class Translatable;

// Big-endian helpers shared by the encoders: one whole-word access each.
inline void putBE32(unsigned char* p, uint32_t v) {
    v = __builtin_bswap32(v);
    __builtin_memcpy(p, &v, 4);
}
inline uint32_t getBE32(const unsigned char* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline void putBE64(unsigned char* p, uint64_t v) {
    v = __builtin_bswap64(v);
    __builtin_memcpy(p, &v, 8);
}
inline uint64_t getBE64(const unsigned char* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

// Encodes *obj (direction 1) or decodes a new object into *obj (direction 2).
// Returns 0, or -1 on failure; a failed decode deletes what it built.
typedef int (*XlatorFn)(MessageBase* message, Translatable** obj, int direction);

// Decodes an object whose fields (after its 5-byte header, through its
// trailer) lie at p, when they have exactly the layout that the class's
// translator writes: the object, with *used set to the bytes through the
// trailer. Null when the bytes are anything else; the translator then reads
// them the general way. Optional beside a translator: it must give what the
// translator would, and it is how long records skip the field index.
typedef Translatable* (*InPlaceFn)(const unsigned char* p, size_t available, size_t* used);

const int XLATE_ENCODE = 1;
const int XLATE_DECODE = 2;

enum MessageTag : unsigned char {
    TAG_BOOL = 1,
    TAG_INT32 = 2,
    TAG_INT64 = 3,
    TAG_FLOAT = 4,
    TAG_DOUBLE = 5,
    TAG_STRING = 6,
    TAG_NULL_STRING = 7,
    TAG_NULL_OBJECT = 8,
    TAG_OBJECT = 9,
    TAG_OBJECT_END = 10,
    TAG_FIELD = 11,
    TAG_CONTAINER = 12,
    TAG_CONTAINER_END = 13,
    TAG_BYTES = 14,
    TAG_STRING_ARRAY = 15,
    TAG_CMD = 16,
};

// The sticky error codes of a message. The first one sticks; every later
// read fails at once with it until recover().
enum MessageError {
    MSG_OK = 0,
    MSG_E_WRITE_SHORT = -10,     // set by messages that write to a file
    MSG_E_EOF = -11,             // no byte where a tag was expected
    MSG_E_INCOMPLETE = -12,      // the bytes of a value ended early
    MSG_E_MISSING_TYPE = -13,    // unknown tag, or no tag where a value was expected
    MSG_E_BAD_TYPE = -14,        // the tag or object id differs from the expected one
    MSG_E_MISSING_FIELD = -15,   // the field number is not in the current object
    MSG_E_NO_FIELD_CODE = -16,   // the object's fields ended early
    MSG_E_BAD_FIELD_CODE = -17,  // a byte other than a field or the trailer between fields
    MSG_E_NO_TRANSLATOR = -18,   // no translator for the object id
    MSG_E_NULL_OBJECT = -19,     // null object where one was required
};

// The display text of an encoding error code (-11 to -19); an empty text for
// every other code. These are the texts that the connection layer's
// messageFromError gives for the same codes, so it answers -11..-19 from here.
const char* encodingErrorText(int code);

// Objects nested deeper than this in one message are refused (-13), so that
// hostile input cannot exhaust the stack of the recursive translators. The
// writer refuses them too (the same -13, sticky), so that what it writes
// can be read back.
const int kMaxNesting = 200;

// Field numbers are one byte on the wire. A number above 255 is written with
// its low byte only, and reading number n asks for repeat (n - 1) / 256 of
// its low byte: a record that numbers its fields from 1 upward in order
// (a long array) reads back what it wrote, while for numbers up to 255 the
// first occurrence wins.
//
// readOpaqueObjectField with this number reads at the current position.
const unsigned int FIELD_AT_READ_POSITION = 0xFFFFFFFFu;

class MessageBase {
public:
    struct _Buffer {
        unsigned char* data;
        size_t capacity;
        size_t used;
        // Field-index entries that still point into this buffer.
        int indexRefs;
        _Buffer* next;
    };

    // A place in the chain. Reading leaves the offset at the end of a buffer
    // until more bytes are asked for, so the byte just read is always in the
    // location's own buffer (returnByte relies on this).
    struct _BufferLocation {
        _Buffer* buffer;
        size_t offset;
    };

    enum Mode { MODE_WRITE = 1, MODE_READ = 2 };

    explicit MessageBase(int mode);
    virtual ~MessageBase();
    // Messages and their small buffers come from the allocating thread's
    // block cache (common/block_cache.h): a message built on one thread and
    // deleted on another (once a connection has written it) goes back to
    // the first, without touching malloc on either.
    static void* operator new(size_t n);
    static void operator delete(void* p);
    MessageBase(const MessageBase&) = delete;
    MessageBase& operator=(const MessageBase&) = delete;

    // Write mode: appends bytes after the last buffer's data, growing the
    // chain. Subclasses that send bytes elsewhere keep no buffers while
    // writing, so that every write reaches them through here.
    virtual int appendBytes(const void* data, size_t n);
    // Copies n bytes from loc into dest (null skips them) and advances loc,
    // crossing buffers; returns the number of bytes taken, less than n when
    // the bytes ran out. Subclasses that fetch further bytes override it.
    virtual size_t readLocBytes(_BufferLocation* loc, void* dest, size_t n);
    // Pushes one byte back at the read position; the next read returns it.
    virtual void returnByte(unsigned char b);

    int getMode() const { return _mode; }
    int getError() const { return _error; }
    // Clears the sticky error.
    void recover() { _error = 0; }
    // Sets the sticky error unless one is already set; returns the sticky code.
    int setError(int code);

    // Read mode, positioned after the 9-byte frame header.
    void switchToRead();

    // --- writing ---------------------------------------------------------
    int writeBool(bool v);
    int writeInt32(int32_t v);
    int writeInt64(int64_t v);
    int writeFloat(float v);
    int writeDouble(double v);
    // A null text writes tag 7.
    int writeString(const char* s);
    int writeString(const char* s, uint32_t length);
    // A null array writes tag 7; a null element is written as an empty string.
    int writeStringArray(const char* const* strings, int count);
    int writeBytes(const void* data, uint32_t length);
    int writeCmd(int32_t cmd);
    // Tag 8 for a null object, else tag 9, id, the translator's fields, tag 10.
    // An id without a translator is a programming error that stops the process.
    int writeObject(unsigned int id, const Translatable* obj);
    // Tag 12, id, the translator's values, tag 13. Without a translator
    // nothing is written and -1 returned.
    int writeContainer(unsigned int id, const Translatable* obj);
    // A stored encoded object, written back byte for byte.
    int writeOpaqueObject(const unsigned char* bytes, size_t length);
    // Appends bytes that the caller has already encoded (at most 48 of
    // them, made by fill into the buffer it is given): for translators that
    // write several small fields in one step.
    template <class Fill>
    int writeEncoded(size_t n, Fill fill) {
        return _error != 0 ? _error : emit(n, fill);
    }

    int writeBoolField(unsigned int n, bool v);
    int writeInt32Field(unsigned int n, int32_t v);
    int writeInt64Field(unsigned int n, int64_t v);
    int writeFloatField(unsigned int n, float v);
    int writeDoubleField(unsigned int n, double v);
    int writeStringField(unsigned int n, const char* s);
    int writeStringArrayField(unsigned int n, const char* const* strings, int count);
    int writeBytesField(unsigned int n, const void* data, uint32_t length);
    int writeObjectField(unsigned int n, unsigned int id, const Translatable* obj);
    int writeContainerField(unsigned int n, unsigned int id, const Translatable* obj);
    int writeOpaqueObjectField(unsigned int n, const unsigned char* bytes, size_t length);

    // --- reading ---------------------------------------------------------
    // Each reader returns 0, or the sticky error code. The plain readers read
    // at the current position (the read position, or inside a container the
    // container's position).
    int readBool(bool* v);
    int readInt32(int32_t* v);
    int readInt64(int64_t* v);
    int readFloat(float* v);
    int readDouble(double* v);
    // A new NUL-terminated copy (free()), or null for tag 7.
    int readString(char** s);
    // A new null-terminated array of new strings (freeStringArray), or null
    // with count 0 for tag 7.
    int readStringArray(char*** strings, int* count);
    // A new block (free()); never null on success.
    int readBytes(unsigned char** data, uint32_t* length);
    // A block into the caller's reusable buffer, which grows (as the bytes
    // arrive) when too small: the bytes are (*into)[0, *length).
    int readBytesInto(std::vector<unsigned char>* into, uint32_t* length);
    int readCmd(int32_t* cmd);
    // A null object gives a null result and success.
    int readObject(unsigned int id, Translatable** obj);
    int readContainer(unsigned int id, Translatable** obj);
    // The whole encoding of the next object (header to trailer), a copy
    // (free()), with its id; a null object gives null bytes and id 0.
    int readOpaqueObject(unsigned int* id, unsigned char** bytes, size_t* length);
    // True while a value other than the container trailer follows.
    bool hasNext();
    // Clears the error and skips values up to the next command tag, which
    // stays unread. -11 when the message ends first.
    int skipToCmd();

    // Field readers: by number in the object being read (see above for
    // numbers over 255). A number that is not there sets -15.
    int readBoolField(unsigned int n, bool* v);
    // Also accepts an int64 and keeps its low 32 bits.
    int readInt32Field(unsigned int n, int32_t* v);
    int readInt64Field(unsigned int n, int64_t* v);
    int readFloatField(unsigned int n, float* v);
    int readDoubleField(unsigned int n, double* v);
    int readStringField(unsigned int n, char** s);
    int readStringArrayField(unsigned int n, char*** strings, int* count);
    int readBytesField(unsigned int n, unsigned char** data, uint32_t* length);
    int readObjectField(unsigned int n, unsigned int id, Translatable** obj);
    int readContainerField(unsigned int n, unsigned int id, Translatable** obj);
    // n == FIELD_AT_READ_POSITION reads at the current position.
    int readOpaqueObjectField(unsigned int n, unsigned int* id, unsigned char** bytes, size_t* length);
    // Whether field n is in the object being read (no error either way).
    bool hasField(unsigned int n);
    // The bytes of field n's value in the object being read, as far as the
    // buffer it starts in holds them (*available); null when the field is
    // not there or an error is set (nothing is set either way). For
    // translators that read small values of a known layout in place.
    const unsigned char* peekField(unsigned int n, size_t* available);
    // Number of fields indexed for the object being read.
    int fieldCount() const;
    // The k-th field of the object being read, in the order the fields were
    // written: its number's low byte in *field and its value's bytes as far
    // as the buffer it starts in holds them (*available). Null when k is out
    // of range or an error is set. For translators of long records that walk
    // their fields in order rather than look each one up.
    const unsigned char* peekFieldAt(int k, unsigned char* field, size_t* available) const {
        if (_error != 0 || _frameCount == 0) return nullptr;
        const IndexFrame& f = _frames[_frameCount - 1];
        if (k < 0 || k >= f.count) return nullptr;
        const IndexEntry& e = _entries[f.start + k];
        *field = e.field;
        *available = e.loc.buffer->used - e.loc.offset;
        return e.loc.buffer->data + e.loc.offset;
    }

    static void freeStringArray(char** strings);

    // --- bytes -----------------------------------------------------------
    // Total bytes held in the buffers (frame header included while writing).
    size_t totalBytes() const;
    // Copies every buffered byte into a new block (free()).
    unsigned char* copyBytes(size_t* length) const;
    int bufferCount() const;
    // The chain of buffers, first to last, for writers that send them as
    // they are (a connection writes a frame buffer by buffer).
    const _Buffer* firstBuffer() const { return _first; }
    // The read position as a count of bytes consumed since the first byte
    // the message ever held (buffers already released included).
    size_t readOffset() const;
    // Bytes held beyond the read position: an upper bound on what the rest
    // of the message can still decode into.
    size_t unreadBytes() const;

    // --- translator registry (xlator_registry.cpp) -------------------------
    // Registration happens at start-up; the newest registration of an id wins.
    static void registerObjectXlator(unsigned int id, XlatorFn fn, InPlaceFn inPlace = nullptr);
    // The translator of id, or null. Id 7 is answered by the principal hook
    // without a lookup. Lock-free; safe beside registrations.
    static XlatorFn findXlatorFn(unsigned int id) {
        if (id == kPrincipalObjectId) return _principalXlator.load(std::memory_order_acquire);
        const XlatorSlot* slot = findSlot(id);
        return slot != nullptr ? slot->fn : nullptr;
    }
    // The in-place decoder registered with id's translator, or null.
    static InPlaceFn findInPlaceFn(unsigned int id) {
        if (id == kPrincipalObjectId) return nullptr;
        const XlatorSlot* slot = findSlot(id);
        return slot != nullptr ? slot->inPlace : nullptr;
    }
    // Forgets every registration; no lookup may run meanwhile (tests, exit).
    static void unregisterAll();
    // The Principal translator, answered for id 7; null until principals exist.
    static void setPrincipalXlator(XlatorFn fn);

    // Messages created in this process.
    static ShardedCounter _n_messages;

    // --- the C_MESG frame (read and written by coms/frame.h) -------------
    // The frame a message travels in: bytes of the length and of the type
    // seen so far, the declared body length, the message type (also the
    // type of a message being written), and body bytes received. The buffers
    // only reserve the 9-byte header in the first buffer of a message being
    // written; what the frame means is the connection layer's.
    struct FrameState {
        int lengthBytesSeen;
        int typeBytesSeen;
        uint32_t length;
        uint32_t type;
        size_t bodyReceived;
    };
    FrameState& frame() { return _frame; }
    const FrameState& frame() const { return _frame; }
    // The first buffer's data, beginning with the 9-byte frame header; the
    // buffer is made (header only) when the message has none yet.
    unsigned char* frameHeader();
    // Room for bytes that arrive from outside, at the end of the last buffer
    // (*room bytes); when that buffer is full or there is none, a new one of
    // exactly `size` bytes first. appendCommit(n) counts n bytes written there.
    unsigned char* appendRoom(size_t size, size_t* room);
    void appendCommit(size_t n) { _last->used += n; }
    // Gives the last buffer room for capacity bytes in all, keeping the
    // bytes it holds (they may move): a buffer filled from outside that
    // turns out to need more. Checked: false, with nothing changed, when the
    // memory cannot be had. Not while the message is being read.
    bool growLastBuffer(size_t capacity);
    // Moves every buffer of from (all the bytes it holds) to the end of this
    // message without copying them; from is left empty. Neither message may
    // be inside an object it is reading.
    void takeBuffers(MessageBase* from);

    struct XlatorSlot {
        unsigned int id;
        XlatorFn fn;
        InPlaceFn inPlace;
        // Whether the slot holds a registration; fn may be null in one (a
        // registration that takes an id's translator away), so it cannot
        // mark the empty slots that end a search.
        bool used;
    };
    // An open-addressing table over the registrations, at most half full.
    struct XlatorTable {
        size_t mask;
        XlatorSlot slots[1];
    };
    static size_t xlatorHash(unsigned int id) { return id * 2654435761u; }

private:
    static const XlatorSlot* findSlot(unsigned int id) {
        const XlatorTable* t = _xlatorTable.load(std::memory_order_acquire);
        if (t == nullptr) return nullptr;
        for (size_t i = xlatorHash(id) & t->mask; t->slots[i].used; i = (i + 1) & t->mask)
            if (t->slots[i].id == id) return &t->slots[i];
        return nullptr;
    }
    static const unsigned int kPrincipalObjectId = 7;
    static std::atomic<XlatorFn> _principalXlator;
    static std::atomic<const XlatorTable*> _xlatorTable;

protected:
    struct IndexEntry {
        unsigned char field;
        int next;  // once the frame has a lookup table: an entry of its number groups
        _BufferLocation loc;
    };
    struct IndexFrame {
        int start;    // first entry in _entries
        int count;
        int table;    // slot in _tables once a lookup table was built, else -1
    };

    // The growth rule: in write mode the first buffer holds the 9-byte frame
    // header and gets max(n + 9, 256) bytes (9 when n is 0); later ones
    // double up to 32 KiB, never less than n + 9. In read mode exactly n.
    _Buffer* grow(size_t n);
    static void freeBuffer(_Buffer* b);
    void freeBuffers();
    // Releases leading buffers that the read position has left and that no
    // index entry points into.
    void releaseRead();

    // Bytes available from loc without fetching.
    size_t availableFrom(const _BufferLocation* loc) const;

    int readTag(_BufferLocation* loc, unsigned char expected, unsigned char* got);
    // The tag of a value that may also come in its null form: 1 for expected,
    // 0 for nullTag (consumed), or the error.
    int readTagOrNull(_BufferLocation* loc, unsigned char expected, unsigned char nullTag);
    // Puts back a tag that is not the one expected and records MSG_E_BAD_TYPE.
    int refuseTag(_BufferLocation* loc, unsigned char tag);
    int readPlain(_BufferLocation* loc, unsigned char tag, void* dest, size_t n);
    // A 4- or 8-byte number after its tag at the read position.
    template <class T>
    int readNumber(unsigned char tag, T* v);
    int readStringAt(_BufferLocation* loc, char** s);
    int readStringArrayAt(_BufferLocation* loc, char*** strings, int* count);
    int readBytesAt(_BufferLocation* loc, unsigned char** data, uint32_t* length);
    int readObjectAt(_BufferLocation* loc, unsigned int id, Translatable** obj);
    int readContainerAt(_BufferLocation* loc, unsigned int id, Translatable** obj);
    int readOpaqueAt(_BufferLocation* loc, unsigned int* id, unsigned char** bytes, size_t* length);
    int readBlock(_BufferLocation* loc, uint32_t length, unsigned char** out);
    bool handOver(_BufferLocation* loc, uint32_t length, unsigned char** data);
    // Skips one value at loc; the error code it would set, or 0.
    int skipValue(_BufferLocation* loc);
    // After an object's or a container's header whose id is not the one
    // asked for (or whose translator failed): steps over the rest of it, as
    // far as the bytes allow, so that reading goes on after it.
    void skipObjectBody(_BufferLocation* loc);
    void skipContainerBody(_BufferLocation* loc);
    // Indexes the fields of an object whose header was read; pushes a frame.
    int indexObject(_BufferLocation* loc);
    void pushFrame();
    void popFrame();
    // False, with nothing added, when the index cannot grow (it holds as
    // many fields as one message may, or there is no memory).
    bool addEntry(unsigned char field, _Buffer* buffer, size_t offset);
    bool growEntries();
    // Room for one more lookup table; false when there is no memory.
    bool reserveTable();
    // The location of field n in the current frame, or null.
    const _BufferLocation* findField(unsigned int n);
    int fieldLocation(unsigned int n, _BufferLocation* loc);
    bool isReadPosition(const _BufferLocation* loc) const { return loc == &_readLoc; }

    // Room for n more bytes at the end of the last buffer, or null when the
    // bytes must go through appendBytes.
    unsigned char* reserve(size_t n) {
        if (_last == nullptr || _last->capacity - _last->used < n) return nullptr;
        unsigned char* p = _last->data + _last->used;
        _last->used += n;
        return p;
    }
    int put(const void* data, size_t n) {
        if (_last != nullptr && _last->capacity - _last->used >= n) {
            __builtin_memcpy(_last->data + _last->used, data, n);
            _last->used += n;
            return 0;
        }
        return appendBytes(data, n);
    }
    // Writes n bytes (at most 48) made by fill, straight into the buffer
    // when they fit.
    template <class Fill>
    int emit(size_t n, Fill fill) {
        unsigned char* p = reserve(n);
        if (p != nullptr) {
            fill(p);
            return 0;
        }
        unsigned char tmp[48];
        fill(tmp);
        return appendBytes(tmp, n);
    }
    int putTag(unsigned char tag) {
        return emit(1, [tag](unsigned char* p) { p[0] = tag; });
    }
    int putField(unsigned int n) {
        return emit(2, [n](unsigned char* p) {
            p[0] = TAG_FIELD;
            p[1] = static_cast<unsigned char>(n);
        });
    }
    int encodeObject(XlatorFn fn, const Translatable* obj);
    // Sets and returns the error of an object nested deeper than kMaxNesting.
    int refuseTooDeep();
    // A tag and a 4-byte big-endian number after it.
    int putTag32(unsigned char tag, uint32_t v) {
        return emit(5, [tag, v](unsigned char* p) {
            p[0] = tag;
            putBE32(p + 1, v);
        });
    }

    _Buffer* _first;
    _Buffer* _last;
    _BufferLocation _readLoc;
    int _mode;

    FrameState _frame;

    // The stack of object indexes being read.
    IndexEntry* _entries;
    int _entryCount;
    int _entryCapacity;
    IndexFrame* _frames;
    int _frameCount;
    int _frameCapacity;
    int* _tables;  // 257 group bounds per built lookup table (findField)
    int _tableCount;
    int _tableCapacity;

    int _error;

    // First storage of the index stack; most messages need no more.
    static const int kInlineEntries = 16;
    static const int kInlineFrames = 8;
    IndexEntry _inlineEntries[kInlineEntries];
    IndexFrame _inlineFrames[kInlineFrames];

    // Where plain readers read: the read position, a container's position,
    // or null inside an object's translator (which reads by field only).
    _BufferLocation* _cur;
    // Bytes of buffers already released, for readOffset().
    size_t _releasedBytes;
    // Objects and containers being written around the write position.
    int _writeDepth;
};

// In-memory messages.
class Message : public MessageBase {
public:
    // A message to send, in write mode; type goes into the frame header.
    explicit Message(int type);
    // A message being received, in read mode, empty.
    Message();
    // Reads an existing encoding: one buffer holding a copy of the bytes.
    Message(const char* bytes, size_t n);
    ~Message() override;

    // The message type of the frame (given when writing, read with the frame).
    uint32_t getType() const { return _frame.type; }

    // Appends the bytes of from that its read position has not reached yet,
    // to its end, block by block (a relay forwards the rest of a request
    // it has read the head of). from's read position moves to its end.
    int appendProxy(Message* from);
};

#endif
