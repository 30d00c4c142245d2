// Messages over an SfsFile.
#include "coms/file_message.h"

#include "dirbase/sfs.h"

FileMessage::FileMessage(SfsFile* file, int mode) : MessageBase(mode), _file(file) {
    if (mode == MODE_READ) grow(kReadBuffer);
}

FileMessage::~FileMessage() {}

int FileMessage::appendBytes(const void* data, size_t n) {
    if (_error != 0) return _error;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
        if (_file == nullptr || _file->write(const_cast<char*>(p), chunk) != chunk) return setError(MSG_E_WRITE_SHORT);
        p += chunk;
        n -= static_cast<size_t>(chunk);
    }
    return 0;
}

bool FileMessage::fill() {
    if (_file == nullptr || _atEnd) return false;
    _Buffer* last = _last;
    if (last == nullptr || last->capacity - last->used < kReadBuffer / 2) last = grow(kReadBuffer);
    int got = _file->read(reinterpret_cast<char*>(last->data + last->used),
                          static_cast<int>(last->capacity - last->used));
    if (got <= 0) {
        _atEnd = true;
        return false;
    }
    last->used += static_cast<size_t>(got);
    return true;
}

size_t FileMessage::readLocBytes(_BufferLocation* loc, void* dest, size_t n) {
    unsigned char* out = static_cast<unsigned char*>(dest);
    size_t done = MessageBase::readLocBytes(loc, out, n);
    while (done < n && fill()) done += MessageBase::readLocBytes(loc, out != nullptr ? out + done : nullptr, n - done);
    return done;
}
