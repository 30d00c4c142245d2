#include "tools/ftd/ftd_direct.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ft/ft_parallel.h"

namespace {

// n rounded up to a whole number of device blocks.
size_t roundUpToBlock(size_t n) {
    return (n + FtdDirectSink::kAlign - 1) / FtdDirectSink::kAlign * FtdDirectSink::kAlign;
}

// Aligned buffers kept between files: memory fresh from the system costs a
// page fault per page on first touch (on a virtual machine, one in the host
// as well), which is more than the copy into it, and a large file takes
// several buffers. One size serves the sinks and most readers.
const size_t kPooledSize = FtdDirectSink::kBufferSize + 2 * FtdDirectSink::kAlign;
const int kPoolMax = 8;
CriticalBlock _poolLock{LOCK_RANK_NONE, kProcessLifetime};
unsigned char* _pool[kPoolMax] GUARDED_BY(_poolLock);
int _pooled GUARDED_BY(_poolLock) = 0;

// A buffer of at least size bytes, aligned for direct I/O; null when none
// can be had.
unsigned char* takeBuffer(size_t size) {
    if (size <= kPooledSize) {
        {
            CriticalSection hold(_poolLock);
            if (_pooled > 0) return _pool[--_pooled];
        }
        size = kPooledSize;
    }
    void* p = nullptr;
    return posix_memalign(&p, FtdDirectSink::kAlign, size) == 0 ? static_cast<unsigned char*>(p) : nullptr;
}

// Gives back a buffer that takeBuffer(size) returned.
void giveBuffer(unsigned char* buffer, size_t size) {
    if (buffer == nullptr) return;
    if (size <= kPooledSize) {
        CriticalSection hold(_poolLock);
        if (_pooled < kPoolMax) {
            _pool[_pooled++] = buffer;
            return;
        }
    }
    free(buffer);
}

}  // namespace

FtdDirectSink::FtdDirectSink(int fd) : _fd(fd), _flags(::fcntl(fd, F_GETFL)) {}

std::unique_ptr<FtdDirectSink> FtdDirectSink::start(int fd) {
    std::unique_ptr<FtdDirectSink> sink(new FtdDirectSink(fd));
    if (sink->_flags < 0 || ::fcntl(fd, F_SETFL, sink->_flags | O_DIRECT) != 0) return nullptr;
    for (int i = 0; i < kBuffers; i++) {
        unsigned char* p = takeBuffer(kBufferSize);
        if (p == nullptr) break;
        sink->_buffers.push_back({p, 0});
    }
    if (sink->_buffers.size() == static_cast<size_t>(kBuffers)) {
        sink->_filling = 0;
        {
            CondSection hold(sink->_lock);
            for (int i = 1; i < kBuffers; i++) sink->_free.push_back(i);
        }
        FtdDirectSink* self = sink.get();
        sink->_thread.reset(new FtBesideThread([self] { self->drain(); }));
        if (sink->_thread->onItsOwnThread()) return sink;
        // Without a thread of its own the drain would only run at join():
        // stop it at once and write through the page cache instead.
        {
            CondSection hold(sink->_lock);
            sink->_stop = true;
        }
        sink->_thread.reset();
    }
    ::fcntl(fd, F_SETFL, sink->_flags);
    return nullptr;
}

FtdDirectSink::~FtdDirectSink() {
    if (_thread != nullptr) {
        {
            CondSection hold(_lock);
            _stop = true;
            _full.clear();
            _lock.broadcast();
        }
        _thread.reset();
        ::fcntl(_fd, F_SETFL, _flags);
    }
    for (Buffer& b : _buffers) giveBuffer(b.data, kBufferSize);
}

int FtdDirectSink::write(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        Buffer& b = _buffers[static_cast<size_t>(_filling)];
        size_t take = n < kBufferSize - b.used ? n : kBufferSize - b.used;
        memcpy(b.data + b.used, p, take);
        b.used += take;
        p += take;
        n -= take;
        if (b.used == kBufferSize && submit() != 0) return -1;
    }
    return 0;
}

int FtdDirectSink::submit() {
    CondSection hold(_lock);
    if (_error == 0) {
        _full.push_back(_filling);
        _lock.broadcast();
    }
    while (_free.empty() && _error == 0) _lock.wait();
    if (_error != 0) {
        errno = _error;
        return -1;
    }
    _filling = _free.front();
    _free.pop_front();
    _buffers[static_cast<size_t>(_filling)].used = 0;
    return 0;
}

void FtdDirectSink::drain() {
    for (;;) {
        int index;
        {
            CondSection hold(_lock);
            while (_full.empty() && !_stop) _lock.wait();
            if (_full.empty()) return;
            index = _full.front();
            _full.pop_front();
            _busy = true;
        }
        const Buffer& b = _buffers[static_cast<size_t>(index)];
        int rc = writeOut(b.data, b.used, _offset);
        int err = errno;
        if (rc == 0) _offset += static_cast<long long>(b.used);
        CondSection hold(_lock);
        _busy = false;
        _free.push_back(index);
        if (rc != 0 && _error == 0) {
            // Nothing after a failed write may land: the file would have a hole.
            _error = err != 0 ? err : EIO;
            _full.clear();
        }
        _lock.broadcast();
    }
}

int FtdDirectSink::writeOut(const unsigned char* data, size_t n, long long offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(_fd, data, n, offset);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EINVAL && _directOn) {
            // The file system takes no direct I/O (or not at this
            // alignment): the page cache does the rest.
            _directOn = false;
            if (::fcntl(_fd, F_SETFL, _flags) != 0) return -1;
            continue;
        }
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return -1;
        }
        data += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
    return 0;
}

int FtdDirectSink::finish() {
    // The filling buffer's whole blocks go direct; the rest, shorter than a
    // block, waits here until they are written, then goes through the page
    // cache (direct I/O cannot write it).
    Buffer& last = _buffers[static_cast<size_t>(_filling)];
    unsigned char tail[kAlign];
    size_t tailLength = last.used % kAlign;
    last.used -= tailLength;
    memcpy(tail, last.data + last.used, tailLength);
    int err;
    {
        CondSection hold(_lock);
        if (_error == 0 && last.used > 0) {
            _full.push_back(_filling);
            _lock.broadcast();
        }
        while ((!_full.empty() || _busy) && _error == 0) _lock.wait();
        _stop = true;
        _lock.broadcast();
        err = _error;
    }
    _thread.reset();
    if (::fcntl(_fd, F_SETFL, _flags) != 0 && err == 0) err = errno;
    if (err == 0 && tailLength > 0) {
        _directOn = false;
        if (writeOut(tail, tailLength, _offset) != 0) err = errno;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

FtdRangeReader::FtdRangeReader(int fd, size_t maxRange) : _fd(fd) {
    // Room for a range that starts and ends inside a device block.
    size_t capacity = roundUpToBlock(maxRange + FtdDirectSink::kAlign);
    _buffer = takeBuffer(capacity);
    if (_buffer != nullptr) _capacity = capacity;
}

FtdRangeReader::~FtdRangeReader() {
    if (_directFd >= 0) ::close(_directFd);
    giveBuffer(_buffer, _capacity);
}

namespace {

// cachestat(2), newer than this system's headers: how many pages of a range
// of a file are in the page cache, found without reading any of them (a
// read with RWF_NOWAIT answers too, but starts read-ahead of what is missing,
// which is the cost being avoided).
#ifndef __NR_cachestat
#define __NR_cachestat 451
#endif
struct CacheStatRange {
    uint64_t offset;
    uint64_t length;
};
struct CacheStat {
    uint64_t cached;
    uint64_t dirty;
    uint64_t writeback;
    uint64_t evicted;
    uint64_t recentlyEvicted;
};

// Whether every page of the range is in the page cache; true when the
// kernel cannot say, so that the reader behaves as before it asked.
bool allCached(int fd, long long offset, size_t n) {
    CacheStatRange range = {static_cast<uint64_t>(offset), n};
    CacheStat st;
    if (syscall(__NR_cachestat, fd, &range, &st, 0) != 0) return true;
    // Pages are the size of device blocks here.
    size_t lead = static_cast<size_t>(offset % static_cast<long long>(FtdDirectSink::kAlign));
    return st.cached >= roundUpToBlock(lead + n) / FtdDirectSink::kAlign;
}

// Reads n bytes at offset whole; the count read (short only at the end of
// the file), or -1 with errno.
ssize_t readWhole(int fd, unsigned char* to, size_t n, long long offset) {
    size_t have = 0;
    while (have < n) {
        ssize_t got = ::pread(fd, to + have, n - have, offset + static_cast<long long>(have));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(have);
}
}  // namespace

bool FtdRangeReader::openDirect() {
    if (_directFd == -2) {
        // A new open of the same file (whatever its name is now) with its
        // own status flags, so that direct I/O leaves the caller's alone.
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", _fd);
        _directFd = ::open(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
        struct stat a, b;
        if (_directFd >= 0 && (::fstat(_fd, &a) != 0 || ::fstat(_directFd, &b) != 0 || a.st_ino != b.st_ino ||
                               a.st_dev != b.st_dev)) {
            ::close(_directFd);
            _directFd = -1;
        }
        if (_directFd < 0) _directFd = -1;
    }
    return _directFd >= 0;
}

const unsigned char* FtdRangeReader::read(long long offset, size_t n) {
    const size_t lead = static_cast<size_t>(offset % static_cast<long long>(FtdDirectSink::kAlign));
    const long long start = offset - static_cast<long long>(lead);
    if (_buffer == nullptr || lead + n > _capacity) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!allCached(_fd, offset, n) && openDirect()) {
        // Whole device blocks around the range.
        ssize_t got = readWhole(_directFd, _buffer, roundUpToBlock(lead + n), start);
        if (got >= static_cast<ssize_t>(lead + n)) return _buffer + lead;
        if (got >= 0) errno = 0;
        if (got >= 0 || errno != EINVAL) return nullptr;
        // Refused at this alignment after all: the page cache it is.
        ::close(_directFd);
        _directFd = -1;
    }
    ssize_t got = readWhole(_fd, _buffer, n, offset);
    if (got == static_cast<ssize_t>(n)) return _buffer;
    if (got >= 0) errno = 0;
    return nullptr;
}
