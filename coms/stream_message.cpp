#include "coms/stream_message.h"

#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "common/log.h"
#include "coms/stream_connection.h"

namespace {

const size_t kMostPerWrite = 1u << 30;

long long wallMs() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void sleepFor(long long ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

FlowPacer::FlowPacer()
    : nowMs(wallMs), sleepMs(sleepFor), _limited(false), _perSlice(0), _haveSlice(false), _slice(0), _start(0),
      _budget(0) {
}

namespace {

// Bytes per slice at a rate in kbit/s (a negative product gives 100).
double bytesPerSlice(double kbps) {
    double perSlice = kbps * 0.125 * FlowPacer::kSliceMs;
    return perSlice < 0 ? 1.0 * FlowPacer::kSliceMs : perSlice;
}

}  // namespace

bool FlowPacer::limitsAt(double kbps) {
    // A rate beyond any link (or not a number) would not fit the budget's
    // integer: it is no limit at all.
    return kbps != 0 && bytesPerSlice(kbps) < kMostPerSlice;
}

void FlowPacer::setRate(double kbps) {
    _limited = limitsAt(kbps);
    _perSlice = bytesPerSlice(kbps);
    _haveSlice = false;
}

size_t FlowPacer::take(size_t n) {
    if (!_limited) return n;
    long long now = nowMs();
    long long slice = now / kSliceMs;
    if (!_haveSlice || slice != _slice) {
        if (!_haveSlice) _start = now;
        _budget = static_cast<long long>(_perSlice - 0.99999);
        _slice = slice;
        _haveSlice = true;
    }
    if (_budget <= 0) {
        long long next = _start + kSliceMs;
        long long delay = next - now;
        if (delay > kSliceMs) {
            log(0, "StreamMessage: Woah, delay greather than resolution: %lld", delay);
            sleepMs(500);
        } else if (delay > 0) {
            sleepMs(delay);
        }
        _start = next;
        _slice = next / kSliceMs;
        _budget = static_cast<long long>(_perSlice - 0.999);
    }
    // A budget below one byte would never let anything through.
    if (_budget < 1) _budget = 1;
    size_t allowed = n < static_cast<size_t>(_budget) ? n : static_cast<size_t>(_budget);
    _budget -= static_cast<long long>(allowed);
    return allowed;
}

StreamMessage::StreamMessage(StreamConnection* connection, int mode) : MessageBase(mode), _connection(connection) {
    if (mode == MODE_READ) grow(kFirstReadBuffer);
}

StreamMessage::~StreamMessage() {
}

int StreamMessage::appendBytes(const void* data, size_t n) {
    if (_error != 0) return _error;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        // One write takes an int's worth: a larger block goes in pieces
        // rather than be cut to its low bits.
        size_t chunk = _pacer.take(n < kMostPerWrite ? n : kMostPerWrite);
        if (_connection == nullptr || _connection->writeBytes(p, chunk) != 0) return setError(MSG_E_WRITE_SHORT);
        p += chunk;
        n -= chunk;
    }
    return 0;
}

bool StreamMessage::fetch() {
    if (_connection == nullptr) return false;
    _Buffer* last = _last;
    if (last == nullptr || last->capacity - last->used < kMinRoom) last = grow(kNextReadBuffer);
    int got = _connection->read(last->data + last->used, last->capacity - last->used);
    if (got <= 0) return false;
    last->used += static_cast<size_t>(got);
    return true;
}

size_t StreamMessage::readLocBytes(_BufferLocation* loc, void* dest, size_t n) {
    unsigned char* out = static_cast<unsigned char*>(dest);
    size_t done = MessageBase::readLocBytes(loc, out, n);
    // A large read past everything buffered goes straight into the caller's
    // memory rather than through a buffer and a copy. The next fetch starts
    // a buffer again, so a returned byte still lands where it was read.
    while (n - done >= kDirectRead && out != nullptr && isReadPosition(loc) && _connection != nullptr) {
        size_t want = n - done < 0x40000000 ? n - done : 0x40000000;
        int got = _connection->read(out + done, static_cast<int>(want));
        if (got <= 0) return done;
        done += static_cast<size_t>(got);
    }
    while (done < n && fetch()) done += MessageBase::readLocBytes(loc, out != nullptr ? out + done : nullptr, n - done);
    return done;
}
