// Large files written and read around the page cache.
//
// A file that arrives whole is read by nobody on this machine while it
// arrives, so the page cache gains nothing from holding it, and filling the
// cache is what costs most: every page is taken from free memory (on a
// virtual machine that has handed its free memory back to the host, each
// page is a fault in the host as well) and then pushes part of the
// machine's working set out. A sink instead copies the bytes into a few
// aligned buffers and writes them with direct I/O on a thread of its own
// (an "ft-work" thread), so that the session thread goes on reading the network
// while the device works. Only the last piece, shorter than a device block,
// goes through the page cache.
//
// A file system that refuses direct I/O gets the same buffers written
// through the page cache: the sink turns direct I/O off at the first EINVAL
// and carries on.
//
// The previous version of a file, read for a partial update, is read from
// the page cache where it is there (a cached read is a copy) and around it
// where it is not (a file the sink wrote, say): reading it in would cost
// the same fresh pages as writing it did, for bytes read once.
//
// Thread-safety: one owner thread calls write() and finish() and destroys
// the sink; the sink's thread takes full buffers from it. _lock guards the
// buffer lists, the thread's progress and its error; the descriptor is the
// thread's alone until finish() has returned (the owner must not touch it
// in between).
#ifndef DRV_TOOLS_FTD_FTD_DIRECT_H
#define DRV_TOOLS_FTD_FTD_DIRECT_H

#include <stddef.h>

#include <deque>
#include <memory>
#include <vector>

#include "common/sem.h"
#include "common/thread_annotations.h"

class FtBesideThread;

class FtdDirectSink {
public:
    // Files expected to reach this size are worth a sink.
    static const long long kMinSize = 8LL << 20;
    // Device blocks: the alignment of every direct write, in memory and in
    // the file.
    static const size_t kAlign = 4096;
    // Buffers of 4 MiB: each write is large enough for the device to stream,
    // and three keep one filling, one being written and one to spare.
    static const size_t kBufferSize = 4 << 20;
    static const int kBuffers = 3;

    // Turns direct I/O on for fd, an empty file that the sink fills from
    // offset 0, and starts the thread. Null (fd as it was) when the file
    // system does not offer direct I/O or no thread can be made.
    static std::unique_ptr<FtdDirectSink> start(int fd);
    // Stops the thread; what was not finished is left unwritten.
    ~FtdDirectSink();
    FtdDirectSink(const FtdDirectSink&) = delete;
    FtdDirectSink& operator=(const FtdDirectSink&) = delete;

    // Appends n bytes. 0, or -1 with errno of the first write that failed.
    int write(const void* data, size_t n);
    // Writes everything appended, waits for it, and gives the descriptor
    // back in the mode it had. 0 or -1 with errno. Once.
    int finish();

private:
    explicit FtdDirectSink(int fd);
    // The thread's loop: writes full buffers in order until told to stop.
    void drain();
    // Hands the buffer being filled to the thread and takes a free one
    // (waiting for it). 0 or -1 with errno.
    int submit();
    // Writes n bytes at offset, falling back to the page cache when the
    // file system refuses direct I/O. 0 or -1 (errno set).
    int writeOut(const unsigned char* data, size_t n, long long offset);

    struct Buffer {
        unsigned char* data;
        size_t used;
    };
    const int _fd;
    const int _flags;  // the descriptor's status flags before the sink
    std::vector<Buffer> _buffers;
    // Owner's: the buffer being filled.
    int _filling = -1;
    CondBlock _lock;
    std::deque<int> _full GUARDED_BY(_lock);
    std::deque<int> _free GUARDED_BY(_lock);
    bool _busy GUARDED_BY(_lock) = false;  // the thread holds a buffer
    bool _stop GUARDED_BY(_lock) = false;
    int _error GUARDED_BY(_lock) = 0;
    // The thread's: where its next write goes, and whether direct I/O is
    // still on.
    long long _offset = 0;
    bool _directOn = true;
    std::unique_ptr<FtBesideThread> _thread;
};

// Reads ranges of one file into a buffer of its own, aligned for direct
// I/O. Thread-safety: one thread per reader; readers of the same file on
// other threads are independent.
class FtdRangeReader {
public:
    // fd stays the caller's; ranges are at most maxRange bytes.
    FtdRangeReader(int fd, size_t maxRange);
    ~FtdRangeReader();
    FtdRangeReader(const FtdRangeReader&) = delete;
    FtdRangeReader& operator=(const FtdRangeReader&) = delete;

    // The n bytes at offset, valid until the next read; null when they
    // cannot be read whole (errno set, or 0 when the file ends first).
    const unsigned char* read(long long offset, size_t n);
    int fd() const { return _fd; }

private:
    // Opens the direct twin unless done before; whether there is one.
    bool openDirect();

    const int _fd;
    // The same file opened for direct I/O when a range is first found
    // outside the page cache; -2 before that, -1 when it cannot be.
    int _directFd = -2;
    unsigned char* _buffer = nullptr;
    size_t _capacity = 0;
};

#endif
