// A connection at work on its coms thread: its events and timers, reading
// and dispatching control items and frames, the listener calls, and the
// handling of TLS and socket errors.
#include <errno.h>
#include <openssl/err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"

namespace {

const int kLongLostAfterReadMs = 100;
// The most one read asks for, straight into a message body.
const size_t kMaxReadSize = 1u << 30;

// Times listener calls against thresholds of 100 ms and more, twice per
// message delivered: the coarse clock (a tick's resolution) is plenty and
// reads without the counter the fine clock asks of the hardware.
long long coarseMonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int errnoToCode(int err) {
    switch (err) {
    case ECONNREFUSED:
    case EPIPE: return COMS_E_REFUSED;
    case ECONNRESET: return COMS_E_RESET;
    case ENETDOWN:
    case ENETUNREACH: return COMS_E_NO_NETWORK_ROUTE;
    case EHOSTDOWN:
    case EHOSTUNREACH: return COMS_E_NO_HOST_ROUTE;
    default: return COMS_E_NOT_CONNECTED;
    }
}

void (*_killHandler)(Connection*) = nullptr;

}  // namespace

void Connection::setKillHandler(void (*fn)(Connection*)) {
    _killHandler = fn;
}

// A value set locally that cannot be a timer delay (a setting of 0, say)
// leaves the default in force, as one from the peer does: a lost time-out
// of 0 would end the connection at once, a heartbeat of 0 would send
// heartbeats as fast as the loop turns.
int Connection::lostTimeout() const {
    int lost = _t_lost.load();
    return hasFlag(F_TIMING_ENABLED) && lost > 0 ? lost : kDefaultLost;
}

int Connection::heartbeatInterval() const {
    int heartbeat = _t_heartbeat.load();
    return hasFlag(F_TIMING_ENABLED) && heartbeat > 0 ? heartbeat : kDefaultHeartbeat;
}


// ---------------------------------------------------------------------------
// Events

void Connection::handleEvent(Event* e) {
    if (isClosed()) return;
    if (e == _readEvent) {
        switch (_mode) {
        case SM_READ: doReadEvent(); break;
        case SM_WRITE:
            doReadEvent();
            if (!isClosed()) processWriteQueue();
            break;
        case SM_ACCEPT:
        case SM_CONNECT: continueHandshake(); break;
        default: log(0, "%s: Logic error in handleEvent: mode = %s", _name, modeName(_mode)); break;
        }
    } else if (e == _writeEvent) {
        _writeEvent->enabled(false);
        switch (_mode) {
        case SM_READ: doReadEvent(); break;
        case SM_WRITE: processWriteQueue(); break;
        case SM_ACCEPT:
        case SM_CONNECT: continueHandshake(); break;
        default: log(0, "%s: Logic error in handleEvent: mode = %s", _name, modeName(_mode)); break;
        }
    }
}

void Connection::onHeartbeatTimer() {
    if (hasFlag(F_LATENT_DESTROY)) {
        log(_debug_coms, LOG_DEBUG, 0, 0, "%p: processing latent destroy", static_cast<void*>(this));
        destroy(this);
        return;
    }
    armHeartbeat();
    if (!isComplete()) return;
    if (hasFlag(F_SENT_TYPE2) && hasFlag(F_LATENCY_PROBING)) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        writeCode(C_GET_LD);
        writeU32(static_cast<uint32_t>(now.tv_sec));
        writeU32(static_cast<uint32_t>(now.tv_usec));
    } else {
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: sending C_HB", _name);
        writeCode(C_HB);
    }
}

void Connection::restartLostTimer() {
    if (!isClosed()) _context->clock()->arm(&_lost, lostTimeout(), false);
}

void Connection::armHeartbeat() {
    if (isClosed()) return;
    // The round a latent destroy waits for is set once: timing items from
    // the peer must not push it back, or a peer that reads nothing and keeps
    // sending them would hold a destroyed connection, and its queue, for good.
    if (hasFlag(F_LATENT_DESTROY) && ConnectionClock::isArmed(&_heartbeat)) return;
    _context->clock()->arm(&_heartbeat, heartbeatInterval(), true);
}

void Connection::onHeartbeatDue(void* c) {
    auto* self = static_cast<Connection*>(c);
    if (!self->isClosed()) self->onHeartbeatTimer();
}

void Connection::onLostDue(void* c) {
    auto* self = static_cast<Connection*>(c);
    if (!self->isClosed()) self->onLostTimer();
}

void Connection::onLostTimer() {
    log(_debug_coms, LOG_INFO, 0, 0, "%s: lost timer.  Connection lost", _name);
    if (_listener.load() != nullptr) {
        if (_connector != nullptr || isComplete())
            callOnLost(kLongCallMs, false);
        else
            callOnNoConnect(COMS_E_HANDSHAKE_TIMEOUT);
    }
    markIncomplete();
    cleanup(false);
}

// ---------------------------------------------------------------------------
// Reading

void Connection::doReadEvent() {
    long long taken = 0;
    while (!isClosed()) {
        if (taken >= kReadTurnBytes) {
            // The socket is watched level-triggered, so what it still holds
            // is reported again on the thread's next pass.
            if (!isPlain() && SSL_has_pending(_ssl)) postReadTurn();
            break;
        }
        restartLostTimer();
        _lastRead = static_cast<long>(time(nullptr));
        // The body of a large frame is read straight into the buffer of its
        // message, which the listener then owns: stored once, never copied.
        size_t room = 0;
        unsigned char* body = _decoder.bodySpace(&room);
        bool direct = body != nullptr && room >= static_cast<size_t>(kReadBufferSize);
        unsigned char* into = direct ? body : _readBuffer;
        int want = direct ? static_cast<int>(room < kMaxReadSize ? room : kMaxReadSize) : kReadBufferSize;
        int rv;
        if (isPlain()) {
            rv = static_cast<int>(::read(_socket, into, static_cast<size_t>(want)));
            if (rv < 0) {
                int err = errno;
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) break;
                log(0, "%s: read error: (ret = %d, errno = %d)", _name, rv, err);
                handleSyscallError(err);
                break;
            }
        } else {
            ERR_clear_error();
            rv = SSL_read(_ssl, into, want);
            if (rv <= 0) {
                if (SSL_get_error(_ssl, rv) != SSL_ERROR_ZERO_RETURN) {
                    handleSSLError(rv, _mode);
                    break;
                }
                rv = 0;
            }
        }
        if (rv == 0) {
            log(_debug_coms, LOG_INFO, 0, 0, "%s: Zero byte successful read.  SSL connection closed.", _name);
            callOnLost(kLongLostAfterReadMs, true);
            markIncomplete();
            cleanup(false);
            break;
        }
        _bytesReceived += rv;
        taken += rv;
        if (direct) {
            ControlItem item;
            if (_decoder.bodyCommit(static_cast<size_t>(rv), &item) == 1) dispatch(item);
        } else {
            consume(_readBuffer, static_cast<size_t>(rv));
        }
        if (hasFlag(F_DESTROY_PENDING)) {
            cleanup(false);
            break;
        }
    }
    if (!isClosed()) processWriteQueue();
}

void Connection::consume(const unsigned char* data, size_t n) {
    size_t at = 0;
    while (at < n && !isClosed() && !hasFlag(F_DESTROY_PENDING)) {
        size_t used = 0;
        ControlItem item;
        int rc = _decoder.feed(data + at, n - at, &used, &item);
        at += used;
        if (rc < 0) {
            // The frame cannot be followed, and nothing after it can be trusted.
            log(0, "%s: unreadable message frame, closing the connection", _name);
            dropBroken();
            return;
        }
        if (rc == 1) dispatch(item);
    }
}

void Connection::dispatch(ControlItem& item) {
    switch (item.code) {
    case C_HB:
        if (_type == kKillOnHeartbeatType && Connector::_killAllClients) {
            log(0, "%s: Killing connection", _name);
            writeCode(C_KILL);
            setFlag(F_CLOSE_AFTER_WRITE);
            afterWrite();
        }
        break;
    case C_TYPE:
    case C_TYPE2:
        if (_connector != nullptr)
            serverHandshake(item);
        else
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: type item from a server ignored", _name);
        break;
    case C_MESG: deliver(item.message); break;
    case C_CLOSE:
        callOnClosed();
        markIncomplete();
        cleanup(false);
        break;
    case C_COMPLETE:
    case C_COMPLETE2:
        if (_connector != nullptr) break;
        if (isComplete()) {
            // The listener has started its work on the connection once; a
            // server that repeats the item must not make it start over.
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: repeated completion item ignored", _name);
            break;
        }
        _serverVersion = item.code == C_COMPLETE ? 0 : static_cast<int>(item.serverVersion);
        if (!moveTo(ST_COMPLETE)) break;
        callOnConnectComplete();
        break;
    case C_AUTHFAIL:
    case C_NOT_WHITELIST:
        if (_connector != nullptr) break;
        markIncomplete();
        callOnNoConnect(item.code == C_AUTHFAIL ? COMS_E_AUTH : COMS_E_WHITELIST);
        // The server closes its end now; the refusal is the one report.
        cleanup(false);
        break;
    case C_ENABLE_TIMING:
        setFlag(F_TIMING_ENABLED);
        if (_connector != nullptr)
            writeCode(C_ENABLE_TIMING);
        else
            sendTiming();
        break;
    case C_SET_TIMING: {
        int lost = static_cast<int>(item.lost);
        int heartbeat = static_cast<int>(item.heartbeat);
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: received C_SETTIMING (_t_lost = %d, _t_heartbeat = %d)", _name, lost,
            heartbeat);
        // Values that cannot be timer delays leave the current ones in force.
        if (lost > 0) _t_lost = lost;
        if (heartbeat > 0) _t_heartbeat = heartbeat;
        if (hasFlag(F_TIMING_ENABLED)) {
            restartLostTimer();
            armHeartbeat();
        }
        break;
    }
    case C_KILL:
        if (_connector != nullptr) {
            // Only a server may order its client to stop, never the reverse.
            log(0, "%s: C_KILL from a client ignored", _name);
            break;
        }
        log(0, "%s: received C_KILL. Must Exit", _name);
        if (_killHandler != nullptr) _killHandler(this);
        fflush(stdout);
        fflush(stderr);
        // Other threads keep running; static destructors must not start
        // under them.
        _exit(1);
    case C_GET_LD: {
        struct timeval now;
        gettimeofday(&now, nullptr);
        writeCode(C_LD_REPLY);
        writeU32(item.sec);
        writeU32(item.usec);
        writeU32(static_cast<uint32_t>(now.tv_sec));
        writeU32(static_cast<uint32_t>(now.tv_usec));
        break;
    }
    case C_LD_REPLY: {
        struct timeval now;
        gettimeofday(&now, nullptr);
        int latency, drift;
        computeLatency(WireTime{item.sec, item.usec}, WireTime{item.replySec, item.replyUsec},
                       WireTime{now.tv_sec, now.tv_usec}, &latency, &drift);
        _latency = latency;
        _drift = drift;
        break;
    }
    default: break;
    }
}


void Connection::deliver(Message* message) {
    ConnectionListener* l = _listener;
    if (l == nullptr) {
        delete message;
        return;
    }
    int type = static_cast<int>(message->getType());
    setFlag(F_IN_CALLBACK);
    long long start = coarseMonotonicMs();
    int rv = l->onReceive(this, message);
    long long took = coarseMonotonicMs() - start;
    clearFlag(F_IN_CALLBACK);
    if (took > kLongCallMs) log(0, "%s: LONG onReceive: t = %d, type = %d", _name, static_cast<int>(took), type);
    if (rv == 0)
        delete message;
    else if (rv != 1)
        log(0, "WARNING: unexpected return from onReceive");
}

// ---------------------------------------------------------------------------
// Listener calls

void Connection::callOnLost(int longMs, bool afterZeroRead) {
    ConnectionListener* l = _listener;
    if (l == nullptr) return;
    setFlag(F_IN_CALLBACK);
    long long start = coarseMonotonicMs();
    l->onLost(this);
    long long took = coarseMonotonicMs() - start;
    clearFlag(F_IN_CALLBACK);
    if (took > longMs) {
        if (afterZeroRead)
            log(0, "%s: LONG onLost: (t = %d)", _name, static_cast<int>(took));
        else
            log(0, "%s: LONG onLost, %d", _name, static_cast<int>(took));
    }
}

void Connection::callOnNoConnect(int code) {
    callListener([&](ConnectionListener* l) { l->onNoConnect(this, code); });
}

void Connection::callOnClosed() {
    callListener([&](ConnectionListener* l) { l->onClosed(this); });
}

void Connection::callOnConnectComplete() {
    callListener([&](ConnectionListener* l) { l->onConnectComplete(this); });
}

// ---------------------------------------------------------------------------
// Errors

void Connection::handleSSLError(int result, int mode) {
    int savedErrno = errno;
    _mode = mode;
    int err = SSL_get_error(_ssl, result);
    switch (err) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_X509_LOOKUP:
    case SSL_ERROR_WANT_ACCEPT:
    case SSL_ERROR_WANT_CONNECT: return;
    case SSL_ERROR_WANT_WRITE: _writeEvent->enabled(true); return;
    case SSL_ERROR_ZERO_RETURN:
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL reads EOF", _name);
        callOnNoConnect(COMS_E_REFUSED);
        markIncomplete();
        cleanup(false);
        return;
    case SSL_ERROR_SYSCALL: {
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL error syscall: (ret = %d, ssl_error = %d, errno = %d)", _name, result,
            err, savedErrno);
        ERR_clear_error();
        // A failed connect leaves its reason on the socket rather than in errno.
        if (savedErrno == 0 || savedErrno == EPIPE || savedErrno == ENOTCONN) {
            int soError = 0;
            socklen_t len = sizeof(soError);
            if (_socket >= 0 && getsockopt(_socket, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError != 0)
                savedErrno = soError;
        }
        handleSyscallError(savedErrno);
        return;
    }
    default: {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: SSL error in connection", _name);
        // The error code stays the generic one; the reason goes with it, to
        // the log and to whoever asks the connection.
        const char* why = logSslFailure(_name);
        if (why != nullptr) {
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: %s", _name, why);
            _failureReason.store(why, std::memory_order_release);
        }
        dropBroken();
        return;
    }
    }
}

void Connection::dropBroken() {
    if (isComplete())
        callOnLost(kLongCallMs, false);
    else
        callOnNoConnect(COMS_E_NOT_CONNECTED);
    markIncomplete();
    cleanup(false);
}

void Connection::handleSyscallError(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) return;
    if (_connector != nullptr) {
        _readEvent->enabled(false);
        _writeEvent->enabled(false);
        if (isComplete()) callOnLost(kLongCallMs, false);
    } else if (isComplete()) {
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL error syscall: forcing lost connection", _name);
        callOnLost(kLongCallMs, false);
    } else {
        callOnNoConnect(errnoToCode(err));
    }
    markIncomplete();
    cleanup(false);
}

