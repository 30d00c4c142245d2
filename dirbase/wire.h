// Named steps for code that writes or reads a known layout of the tagged
// encoding in one block (a value's fields, an object header) instead of
// value by value through MessageBase: WireWriter fills a block the caller
// has sized, WireReader walks bytes in place and says whether they have the
// layout expected. Both only touch the bytes they are given; each belongs
// to the one thread that made it.
#ifndef DRV_DIRBASE_WIRE_H
#define DRV_DIRBASE_WIRE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "dirbase/message.h"

// Sizes of the pieces, for callers that size a block first.
const size_t kWireTag = 1;
const size_t kWireFieldHead = 2;    // tag 11 and the field number
const size_t kWireObjectHead = 5;   // tag 9 and the object id
const size_t kWireInt32Field = 7;   // field head, tag 2, 4 bytes

class WireWriter {
public:
    explicit WireWriter(unsigned char* p) : _p(p) {}

    void putTag(unsigned char tag) { *_p++ = tag; }
    void putU8(unsigned char v) { *_p++ = v; }
    void putU32BE(uint32_t v) {
        putBE32(_p, v);
        _p += 4;
    }
    void putU64BE(uint64_t v) {
        putBE64(_p, v);
        _p += 8;
    }
    // Tag 11 and the field number (its low byte).
    void putFieldHead(unsigned int n) {
        putTag(TAG_FIELD);
        putU8(static_cast<unsigned char>(n));
    }
    void putObjectHead(uint32_t id) {
        putTag(TAG_OBJECT);
        putU32BE(id);
    }
    void putInt32Field(unsigned int n, uint32_t v) {
        putFieldHead(n);
        putTag(TAG_INT32);
        putU32BE(v);
    }
    unsigned char* position() const { return _p; }

private:
    unsigned char* _p;
};

class WireReader {
public:
    WireReader(const unsigned char* p, size_t n) : _p(p), _end(p + n) {}

    size_t left() const { return static_cast<size_t>(_end - _p); }
    // Each take fails (false, nothing consumed) when the bytes are not there
    // or not the ones expected.
    bool takeTag(unsigned char tag) {
        if (_p == _end || *_p != tag) return false;
        _p++;
        return true;
    }
    bool takeAnyTag(unsigned char* tag) {
        if (_p == _end) return false;
        *tag = *_p++;
        return true;
    }
    bool takeU8(unsigned char* v) { return takeAnyTag(v); }
    bool takeU32BE(uint32_t* v) {
        if (left() < 4) return false;
        *v = getBE32(_p);
        _p += 4;
        return true;
    }
    bool takeU64BE(uint64_t* v) {
        if (left() < 8) return false;
        *v = getBE64(_p);
        _p += 8;
        return true;
    }
    // Tag 11 and exactly this field number.
    bool takeFieldHead(unsigned int n) {
        if (left() < 2 || _p[0] != TAG_FIELD || _p[1] != static_cast<unsigned char>(n)) return false;
        _p += 2;
        return true;
    }
    // Tag 9 and exactly this object id.
    bool takeObjectHead(uint32_t id) {
        if (left() < 5 || _p[0] != TAG_OBJECT || getBE32(_p + 1) != id) return false;
        _p += 5;
        return true;
    }
    bool takeInt32Field(unsigned int n, uint32_t* v) {
        if (left() < kWireInt32Field || _p[0] != TAG_FIELD || _p[1] != static_cast<unsigned char>(n) ||
            _p[2] != TAG_INT32)
            return false;
        *v = getBE32(_p + 3);
        _p += kWireInt32Field;
        return true;
    }
    // n bytes in place (they stay the caller's to copy).
    const unsigned char* takeBytes(size_t n) {
        if (left() < n) return nullptr;
        const unsigned char* at = _p;
        _p += n;
        return at;
    }
    const unsigned char* position() const { return _p; }

private:
    const unsigned char* _p;
    const unsigned char* _end;
};

#endif
