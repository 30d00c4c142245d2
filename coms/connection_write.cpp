// The write path of a connection: control items and frames go straight to
// TLS (through the batch buffer while a batch runs) until the socket pushes
// back; from then on they join the write queue, which the write event
// drains in order, and which a peer that stops reading cannot grow past its
// bound: the connection ends there instead. Also the end of a connection
// that must close once its last item is written (a refusal or a kill).
#include <errno.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "common/log.h"
#include "common/os.h"
#include "coms/connection.h"
#include "coms/tls.h"
#include "dirbase/message.h"

namespace {

// Writes at least this large skip the batch buffer: copying them would cost
// more than the record they fill on their own.
const size_t kCorkDirect = 16384;
// A batch is written out once it holds this much.
const size_t kCorkLimit = 256 * 1024;
// TLS records gather up to this much before they go to the socket.
const long kTlsWriteBuffer = 256 * 1024;

std::atomic<size_t> _queueLimit{Connection::kDefaultQueueLimit};

}  // namespace

void Connection::setQueueLimit(size_t bytes) {
    _queueLimit.store(bytes, std::memory_order_relaxed);
}

size_t Connection::getQueueLimit() {
    return _queueLimit.load(std::memory_order_relaxed);
}

void Connection::writeCode(int code) {
    unsigned char b = static_cast<unsigned char>(code);
    writeBytes(&b, 1);
}

void Connection::writeU8(int v) {
    unsigned char b = static_cast<unsigned char>(v);
    writeBytes(&b, 1);
}

void Connection::writeU32(uint32_t v) {
    unsigned char b[4];
    putBE32(b, v);
    writeBytes(b, 4);
}

void Connection::sendTiming() {
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: setTiming() sending C_SET_TIMING. lost = %d, hb = %d", _name, _t_lost.load(),
        _t_heartbeat.load());
    writeCode(C_SET_TIMING);
    writeU32(static_cast<uint32_t>(_t_lost.load()));
    writeU32(static_cast<uint32_t>(_t_heartbeat.load()));
    if (isClosed()) return;
    restartLostTimer();
    armHeartbeat();
}

// ---------------------------------------------------------------------------
// Batching

void Connection::cork() {
    if (!isClosed()) setFlag(F_CORKED);
}

void Connection::flushCork() {
    size_t used = _corkUsed;
    _corkUsed = 0;
    writeDirect(_corkBuffer, used);
}

void Connection::uncork() {
    clearFlag(F_CORKED);
    if (_corkUsed == 0) return;
    flushCork();
    afterWrite();
}

void Connection::writeBytes(const void* bytes, size_t n) {
    if (isClosed() || n == 0) return;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (hasFlag(F_CORKED)) {
        if (n >= kCorkDirect) {
            if (_corkUsed > 0) flushCork();
            writeDirect(p, n);
            return;
        }
        if (_corkUsed + n > kCorkLimit) {
            flushCork();
            if (isClosed()) return;
        }
        if (_corkUsed + n > _corkCapacity) {
            size_t capacity = _corkCapacity == 0 ? 4096 : _corkCapacity;
            while (capacity < _corkUsed + n) capacity *= 2;
            auto* grown = static_cast<unsigned char*>(realloc(_corkBuffer, capacity));
            if (grown == nullptr) {
                writeDirect(p, n);
                return;
            }
            _corkBuffer = grown;
            _corkCapacity = capacity;
        }
        memcpy(_corkBuffer + _corkUsed, p, n);
        _corkUsed += n;
        return;
    }
    writeDirect(p, n);
    afterWrite();
}

// ---------------------------------------------------------------------------
// TLS and the socket

void Connection::attachSocket() {
    BIO* socketBio = BIO_new_socket(_socket, BIO_NOCLOSE);
    BIO* buffer = BIO_new(BIO_f_buffer());
    if (socketBio == nullptr || buffer == nullptr || BIO_set_write_buffer_size(buffer, kTlsWriteBuffer) <= 0) {
        BIO_free(buffer);
        BIO_free(socketBio);
        SSL_set_fd(_ssl, _socket);
        return;
    }
    // The socket BIO reads for TLS and ends the write chain: one reference each.
    BIO_up_ref(socketBio);
    BIO_push(buffer, socketBio);
    SSL_set_bio(_ssl, socketBio, buffer);
}

bool Connection::flushTls() {
    if (isPlain() || _ssl == nullptr) return true;
    BIO* out = SSL_get_wbio(_ssl);
    errno = 0;
    if (BIO_flush(out) > 0) {
        clearFlag(F_FLUSH_PENDING);
        return true;
    }
    if (BIO_should_retry(out)) {
        setFlag(F_FLUSH_PENDING);
        _mode = SM_WRITE;
        _writeEvent->enabled(true);
        return false;
    }
    int err = errno;
    log(_debug_coms, LOG_INFO, 0, 0, "%s: unable to write to the socket (errno = %d)", _name, err);
    handleSyscallError(err != 0 ? err : EPIPE);
    return false;
}

int Connection::rawWrite(const unsigned char* bytes, size_t n) {
    int len = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
    if (isPlain()) return static_cast<int>(::send(_socket, bytes, static_cast<size_t>(len), MSG_NOSIGNAL));
    // With partial writes on, the library returns after every record, which
    // says nothing about the socket: keep writing until all is out or the
    // socket pushes back. A refusal after some progress reports the progress;
    // the retry from the write event meets the refusal again.
    int done = 0;
    while (done < len) {
        ERR_clear_error();
        int rv = SSL_write(_ssl, bytes + done, len - done);
        if (rv <= 0) return done > 0 ? done : rv;
        done += rv;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Writing and queueing

void Connection::writeDirect(const unsigned char* bytes, size_t n) {
    if (isClosed() || n == 0) return;
    if (!_queue.empty()) {
        if (queueOverflows()) return;
        queueCopy(bytes, n);
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: there is a write queue.  Saved: %d", _name, static_cast<int>(n));
        return;
    }
    size_t done = writeNow(bytes, n);
    if (isClosed()) return;
    if (done < n) {
        queueCopy(bytes + done, n - done);
        if (done > 0)
            log(_debug_coms, LOG_TRACE, 0, 0,
                "%s: not all bytes were written: %d were saved on the queue (mode = write)", _name,
                static_cast<int>(n - done));
        return;
    }
    flushTls();
}

size_t Connection::writeNow(const unsigned char* bytes, size_t n) {
    int rv = rawWrite(bytes, n);
    if (rv > 0) {
        _bytesSent += rv;
        if (static_cast<size_t>(rv) < n) {
            _mode = SM_WRITE;
            _writeEvent->enabled(true);
        }
        return static_cast<size_t>(rv);
    }
    if (isPlain()) {
        int err = errno;
        _mode = SM_WRITE;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            _writeEvent->enabled(true);
        else
            handleSyscallError(err);
        return 0;
    }
    handleSSLError(rv, SM_WRITE);
    return 0;
}

void Connection::queueCopy(const unsigned char* bytes, size_t n) {
    if (!_queue.pushCopy(bytes, n)) closeForLackOfMemory(n);
}

bool Connection::queueReference(const unsigned char* bytes, size_t n) {
    if (_queue.pushReference(bytes, n)) return true;
    closeForLackOfMemory(n);
    return false;
}

void Connection::closeForLackOfMemory(size_t n) {
    // Bytes left out would leave a stream the peer can no longer follow:
    // the connection ends instead, and whoever waits on it hears so.
    log(0, "%s: no memory to queue %zu bytes; closing the connection", _name, n);
    markIncomplete();
    cleanup(false);
}

bool Connection::queueOverflows() {
    size_t queued = _queue.bytes();
    size_t limit = _queueLimit.load(std::memory_order_relaxed);
    if (queued < limit) return false;
    // A peer that reads nothing would otherwise cost memory without end.
    // Dropping writes would leave a stream that can no longer be followed,
    // so the connection ends instead, and whoever waits on it hears so.
    log(0, "%s: the peer is not reading: %zu bytes wait to be written (limit %zu); closing the connection", _name,
        queued, limit);
    dropBroken();
    return true;
}

void Connection::writeLargeMessage(Message* message) {
    // Pending small writes go first.
    if (_corkUsed > 0) flushCork();
    if (!isClosed() && !_queue.empty() && queueOverflows()) {
        delete message;
        return;
    }
    const MessageBase::_Buffer* b = message->firstBuffer();
    bool referenced = false;
    // A buffer may hold nothing (one whose block a reader took out in place
    // before the message was passed on): it has nothing to write, and an
    // empty TLS write would read as a failure.
    for (; b != nullptr && _queue.empty() && !isClosed(); b = b->next) {
        if (b->used == 0) continue;
        size_t done = writeNow(b->data, b->used);
        if (done < b->used && !isClosed()) {
            // On failure the connection is closed, which ends both loops.
            if (!queueReference(b->data + done, b->used - done)) break;
            referenced = true;
            if (done > 0)
                log(_debug_coms, LOG_TRACE, 0, 0,
                    "%s: not all bytes were written: %d were saved on the queue (mode = write)", _name,
                    static_cast<int>(b->used - done));
            b = b->next;
            break;
        }
    }
    // What is left waits in the queue as it stands in the message, which
    // goes with the block that holds its last part.
    for (; b != nullptr && !isClosed(); b = b->next) {
        if (b->used == 0) continue;
        if (!queueReference(b->data, b->used)) break;
        referenced = true;
    }
    if (isClosed() || !referenced) {
        delete message;
        if (!isClosed() && _queue.empty()) flushTls();
    } else {
        _queue.setOwner(message);
    }
    if (!hasFlag(F_CORKED)) afterWrite();
}

void Connection::processWriteQueue() {
    if (!_queue.empty() && !isClosed()) {
        int refusal = 0;
        int completed = 0;
        WriteQueue::Drain d = _queue.drain(
            [this](const unsigned char* bytes, size_t n) {
                int rv = rawWrite(bytes, n);
                if (rv > 0) _bytesSent += rv;
                return rv;
            },
            &refusal, &completed);
        if (completed > 0) _mode = SM_READ;
        if (d == WriteQueue::REFUSED) {
            if (isPlain()) {
                int err = errno;
                _mode = SM_WRITE;
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                    _writeEvent->enabled(true);
                else
                    handleSyscallError(err);
                return;
            }
            handleSSLError(refusal, SM_WRITE);
            return;
        }
        if (d == WriteQueue::PARTIAL) {
            _mode = SM_WRITE;
            _writeEvent->enabled(true);
            return;
        }
    }
    if (isClosed() || !flushTls()) return;
    afterWrite();
}

void Connection::afterWrite() {
    // A refusal goes out before the socket closes.
    if (hasFlag(F_CLOSE_AFTER_WRITE) && !isClosed() && _queue.empty() && !hasFlag(F_CORKED) &&
        !hasFlag(F_FLUSH_PENDING)) {
        // A refused connection has no owner yet and goes by itself; one that
        // was complete (killed at a heartbeat) belongs to its listener, which
        // must hear that it ended or it would never destroy it.
        bool owned = isComplete();
        markIncomplete();
        if (_ssl != nullptr) SSL_shutdown(_ssl);
        // Unread input would turn the close into a reset, which can reach the
        // client before it has read the refusal. What has arrived is read
        // away up to a bound: a peer that keeps writing would otherwise hold
        // the thread here for as long as it liked, and its reset is its own.
        char discard[4096];
        for (int i = 0; i < 16 && recv(_socket, discard, sizeof(discard), MSG_DONTWAIT) > 0; i++) {
        }
        if (owned) callOnLost(kLongCallMs, false);
        cleanup(false);
    }
}
