// A connection's life: its state table, construction, the public operations
// posted to its coms thread, the batch of outgoing items, the lock count,
// cleanup and deferred destruction.
#include "coms/connection.h"

#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/delayed_event.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/coms_thread.h"
#include "coms/connector.h"
#include "coms/frame.h"
#include "dirbase/message.h"

namespace {

// Frames this large are written from their own buffers, never copied.
const size_t kLargeFrame = 16384;
// Rounds of a batch before it yields its thread to other work.
const int kOutgoingRounds = 16;
std::atomic<long> _live{0};
ClientResolver _defaultResolver;
std::atomic<Resolver*> _resolver{&_defaultResolver};
CriticalBlock _allLock{LOCK_RANK_NONE, kProcessLifetime};  // taken alone
Connection* _allConnections GUARDED_BY(_allLock) = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// State

bool Connection::canMove(State from, State to) {
    if (from == ST_CLOSED) return false;
    if (to == ST_CLOSED) return true;
    switch (from) {
    case ST_NEW: return to == ST_TLS || to == ST_NEGOTIATING;
    case ST_TLS: return to == ST_NEGOTIATING;
    case ST_NEGOTIATING: return to == ST_COMPLETE || to == ST_REFUSING;
    case ST_COMPLETE: return to == ST_COMPLETE || to == ST_REFUSING || to == ST_NEGOTIATING;
    case ST_REFUSING: return to == ST_NEGOTIATING;
    default: return false;
    }
}

const char* Connection::stateName(int state) {
    switch (state) {
    case ST_NEW: return "new";
    case ST_TLS: return "tls";
    case ST_NEGOTIATING: return "negotiating";
    case ST_COMPLETE: return "complete";
    case ST_REFUSING: return "refusing";
    case ST_CLOSED: return "closed";
    default: return "unknown";
    }
}

bool Connection::moveTo(State to) {
    State from = getState();
    if (!canMove(from, to)) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: state %s cannot become %s", _name, stateName(from), stateName(to));
        return false;
    }
    _state.store(to, std::memory_order_release);
    return true;
}

void Connection::markIncomplete() {
    State s = getState();
    if (s == ST_COMPLETE || s == ST_REFUSING) moveTo(ST_NEGOTIATING);
}

// ---------------------------------------------------------------------------
// Process-wide

long Connection::liveConnections() {
    return _live;
}

void Connection::setResolver(Resolver* resolver) {
    _resolver = resolver != nullptr ? resolver : &_defaultResolver;
}

Resolver* Connection::getResolver() {
    return _resolver;
}

const char* Connection::modeName(int mode) {
    switch (mode) {
    case SM_READ: return "SM_READ";
    case SM_WRITE: return "SM_WRITE";
    case SM_ACCEPT: return "SM_ACCEPT";
    case SM_CONNECT: return "SM_CONNECT";
    default: return "unknown";
    }
}

// ---------------------------------------------------------------------------
// Construction

Connection::Connection(ComsThreadContext* ctx, const char* host, const char* port, X509* cert, EVP_PKEY* key, int type)
    : _context(ctx), _connector(nullptr), _host(strdup(host)), _port(strdup(port)), _listener(nullptr),
      _state(ST_NEW), _flags(0), _mode(SM_READ), _serverVersion(1), _t_lost(kDefaultLost),
      _t_heartbeat(kDefaultHeartbeat), _latency(-1), _drift(0), _bytesSent(0), _bytesReceived(0), _address(0),
      _resolveError(0), _resolved(false), _peer(nullptr), _bindAddress(nullptr), _socket(-1), _ssl(nullptr),
      _clientCtx(nullptr), _peerCert(nullptr), _cert(cert), _key(key), _readEvent(nullptr), _writeEvent(nullptr),
      _heartbeat(onHeartbeatDue, this), _lost(onLostDue, this), _type(type), _typeVersion(0), _flag(0),
      _lastRead(0), _corkBuffer(nullptr), _corkUsed(0), _corkCapacity(0), _readBuffer(nullptr), _info(nullptr),
      _outboxPosted(false), _outboxOp(new Op(Op::OUTGOING, this, false)), _lockCount(0), _destroyStage(DS_NONE),
      _allNext(nullptr), _allPrev(nullptr) {
    size_t len = strlen(_host);
    if (len >= 3 && strcmp(_host + len - 3, ":v0") == 0) {
        _host[len - 3] = '\0';
        setFlag(F_FORCE_V0);
    }
    snprintf(_name, sizeof(_name), "C-%s:%s", _host, _port);
    if (_cert != nullptr) X509_up_ref(_cert);
    if (_key != nullptr) EVP_PKEY_up_ref(_key);
    _live++;
    enlist();
}

Connection::Connection(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain)
    : _context(ctx), _connector(connector), _host(nullptr), _port(nullptr), _listener(nullptr), _state(ST_NEW),
      _flags(plain ? F_RESOLVE_STARTED | F_PLAIN : F_RESOLVE_STARTED), _mode(SM_ACCEPT), _serverVersion(1), _t_lost(kDefaultLost),
      _t_heartbeat(kDefaultHeartbeat), _latency(-1), _drift(0), _bytesSent(0), _bytesReceived(0), _address(0),
      _resolveError(0), _resolved(true), _peer(strdup(peer != nullptr ? peer : "")), _bindAddress(nullptr),
      _socket(socket), _ssl(nullptr), _clientCtx(nullptr), _peerCert(nullptr), _cert(nullptr), _key(nullptr),
      _readEvent(nullptr), _writeEvent(nullptr), _heartbeat(onHeartbeatDue, this), _lost(onLostDue, this), _type(0),
      _typeVersion(0), _flag(0), _lastRead(0), _corkBuffer(nullptr), _corkUsed(0), _corkCapacity(0),
      _readBuffer(nullptr), _info(nullptr), _outboxPosted(false), _outboxOp(new Op(Op::OUTGOING, this, false)),
      _lockCount(0), _destroyStage(DS_NONE), _allNext(nullptr), _allPrev(nullptr) {
    snprintf(_name, sizeof(_name), "S-%s", _peer);
    // The reference attach took keeps the connector for as long as this
    // connection lives: its type item may come after the owner destroyed it.
    _live++;
    enlist();
}

void Connection::enlist() {
    CriticalSection hold(_allLock);
    _allNext = _allConnections;
    if (_allNext != nullptr) _allNext->_allPrev = this;
    _allConnections = this;
}

void Connection::delist() {
    CriticalSection hold(_allLock);
    if (_allPrev != nullptr)
        _allPrev->_allNext = _allNext;
    else
        _allConnections = _allNext;
    if (_allNext != nullptr) _allNext->_allPrev = _allPrev;
}

void Connection::dropInheritedConnections() NO_THREAD_SAFETY_ANALYSIS {
    // Only the forking thread exists here (a lock held at the fork may never
    // be released); the list is walked as it stands.
    for (Connection* c = _allConnections; c != nullptr; c = c->_allNext) {
        if (c->_socket >= 0) ::close(c->_socket);
        c->_socket = -1;
        c->_state.store(ST_CLOSED);
        if (c->_context->isCurrentThread() && c->_readEvent != nullptr) {
            c->_readEvent->enabled(false);
            c->_writeEvent->enabled(false);
            c->_context->clock()->cancel(&c->_heartbeat);
            c->_context->clock()->cancel(&c->_lost);
        }
    }
}

Connection::~Connection() {
    // The events go before cleanup closes the socket: their removal from the
    // loop's watch set names the descriptor, whose number another thread may
    // reuse as soon as it is closed.
    delete _readEvent;
    _readEvent = nullptr;
    delete _writeEvent;
    _writeEvent = nullptr;
    cleanup(true);
    X509_free(_cert);
    EVP_PKEY_free(_key);
    X509_free(_peerCert);
    free(_host);
    free(_port);
    free(_peer);
    free(_bindAddress);
    free(_info);
    free(_readBuffer);
    free(_corkBuffer);
    {
        // Nothing is posted any more: destroy waited for the last batch.
        CriticalSection hold(_outboxLock);
        for (const Outgoing& o : _outbox) delete o.message;
        _outbox.clear();
    }
    delete _outboxOp;
    delist();
    _live--;
    if (_connector != nullptr) Connector::releaseRef(_connector);
}

void Connection::deleteNow(void* p) {
    auto* c = static_cast<Connection*>(p);
    c->_context->adjustCount(-1);
    bool endsProcess = c->hasFlag(F_ENDS_PROCESS);
    delete c;
    // The child served its one client; nothing else runs in it.
    if (endsProcess) _exit(0);
}

void Connection::setBindAddress(const char* address) {
    free(_bindAddress);
    _bindAddress = address != nullptr ? strdup(address) : nullptr;
}

// ---------------------------------------------------------------------------
// Public operations

int Connection::connect() {
    comsInit();
    addLock();
    _context->connectTarget->doExecute(new Op(Op::CONNECT, this));
    return 0;
}

void Connection::resolveComplete(uint32_t address, int error) {
    // A second answer changes nothing: the first may be in use already.
    if (_resolved) return;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    // The result first, then the stage: whoever goes on finds it stored.
    _address = error == 0 ? address : 0;
    _resolveError = error;
    _resolved = true;
    uint8_t before = _resolveStage.exchange(RS_ANSWERED);
    bool inDoConnect = before == RS_IN_CALL;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: resolve completes: %s -> %u.%u.%u.%u (inDoConnect = %d)", _name,
        _host != nullptr ? _host : "", b[0], b[1], b[2], b[3], inDoConnect ? 1 : 0);
    if (before == RS_WAITING) {
        addLock();
        _context->connectTarget->doExecute(new Op(Op::CONNECT, this));
    }
}

// Sends, closes and timing changes join the connection's outbox; the first
// one after a batch ran posts the batch op (with a lock that the batch
// releases), the rest ride along.
int Connection::send(Message* message) {
    if (message == nullptr) return COMS_E_NOT_CONNECTED;
    if (!isComplete() || hasFlag(F_CLOSE_SENT)) {
        delete message;
        return COMS_E_NOT_CONNECTED;
    }
    bool post;
    {
        CriticalSection hold(_outboxLock);
        _outbox.push_back(Outgoing{message, Outgoing::SEND});
        post = !_outboxPosted;
        _outboxPosted = true;
    }
    if (post) {
        addLock();
        _context->sendTarget->doExecute(_outboxOp);
    }
    return 0;
}

void Connection::close() {
    _listener = nullptr;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: close() called", _name);
    bool post;
    {
        CriticalSection hold(_outboxLock);
        _outbox.push_back(Outgoing{nullptr, Outgoing::CLOSE});
        post = !_outboxPosted;
        _outboxPosted = true;
    }
    if (post) {
        addLock();
        _context->closeTarget->doExecute(_outboxOp);
    }
}

void Connection::setTiming(int lost, int heartbeat) {
    _t_lost = lost;
    _t_heartbeat = heartbeat;
    if (!hasFlag(F_TIMING_ENABLED)) return;
    bool post;
    {
        CriticalSection hold(_outboxLock);
        _outbox.push_back(Outgoing{nullptr, Outgoing::SET_TIMING});
        post = !_outboxPosted;
        _outboxPosted = true;
    }
    if (post) {
        addLock();
        _context->sendTarget->doExecute(_outboxOp);
    }
}

void Connection::destroy(Connection* c) {
    if (c == nullptr) return;
    c->addLock();
    c->_listener = nullptr;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: destory() called", c->_name);
    c->_context->destroyTarget->doExecute(new Op(Op::DESTROY, c));
}

void Connection::postReadTurn() {
    addLock();
    _context->readTarget->doExecute(new Op(Op::READ_TURN, this));
}

void Connection::releaseDelayedEvent(DelayedEvent* event) {
    auto* op = new Op(Op::RELEASE, this);
    op->event = event;
    _context->releaseTarget->doExecute(op);
}

const char* Connection::getConnectionInfo() {
    return _info != nullptr ? _info : "";
}

void Connection::addLock() {
    CriticalSection hold(_lockBlock);
    _lockCount++;
    log(_debug_coms, LOG_TRACE, 0, 0, "%s: connection add lock count: %d", _name, _lockCount);
}

void Connection::removeLock() {
    bool callDestroy;
    {
        CriticalSection hold(_lockBlock);
        _lockCount--;
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: connection remove lock count: %d, waitingDestroy = %d", _name,
            _lockCount, _destroyStage == DS_WAITING ? 1 : 0);
        callDestroy = _lockCount == 0 && _destroyStage == DS_WAITING;
        if (callDestroy) log(_debug_coms, LOG_DEBUG, 0, 0, "%s: calling destroy: %d", _name, _lockCount);
    }
    if (callDestroy) destroy(this);
}

int Connection::getLockCount() {
    CriticalSection hold(_lockBlock);
    return _lockCount;
}

void Connection::releaseDestroyLock() {
    // The lock destroy() took; dropping it must not call destroy() again.
    CriticalSection hold(_lockBlock);
    _lockCount--;
}

// ---------------------------------------------------------------------------
// On the coms thread

void Connection::runOutgoing() {
    // While the poster keeps adding, the batch keeps going without a new
    // post: the poster then touches only the outbox, and neither side pays
    // for waking the other. A bounded number of rounds keeps one busy
    // connection from holding its thread; what is left is posted again.
    bool more = false;
    for (int round = 0; round < kOutgoingRounds; round++) {
        {
            CriticalSection hold(_outboxLock);
            if (_outbox.empty()) {
                _outboxPosted = false;
                break;
            }
            _running.swap(_outbox);
            more = round + 1 == kOutgoingRounds;
        }
        // One batch: the writes of all its items go to TLS together.
        cork();
        for (const Outgoing& o : _running) {
            switch (o.kind) {
            case Outgoing::SEND: doSend(o.message); break;
            case Outgoing::CLOSE: doClose(); break;
            case Outgoing::SET_TIMING: doSetTiming(); break;
            }
        }
        _running.clear();
        uncork();
    }
    if (more) {
        bool again;
        {
            CriticalSection hold(_outboxLock);
            again = !_outbox.empty();
            if (!again) _outboxPosted = false;
        }
        if (again) {
            // The lock this batch held goes on with the next post.
            _context->sendTarget->doExecute(_outboxOp);
            return;
        }
    }
    if (hasFlag(F_DESTROY_AFTER_OPS)) {
        clearFlag(F_DESTROY_AFTER_OPS);
        doDestroy();
    }
    removeLock();
}

void Connection::doSend(Message* message) {
    if (!isComplete() || hasFlag(F_CLOSE_SENT)) {
        delete message;
        return;
    }
    const MessageBase::_Buffer* first = message->firstBuffer();
    if (first == nullptr) {
        setFrameLength(message);  // builds the header of an empty message
        first = message->firstBuffer();
    }
    // One walk for the length of the frame; a small frame is usually one
    // buffer and needs none.
    size_t total = first->used;
    for (const MessageBase::_Buffer* b = first->next; b != nullptr; b = b->next) total += b->used;
    const size_t body = total - 9;
    if (body < 1 || body > kMaxFrameBody || message->getType() > kMaxFrameType) {
        // The peer would refuse the frame and drop the connection with
        // everything queued behind it: only this message is lost.
        log(0, "%s: message of type %u with a body of %zu bytes cannot be framed, not sent", _name,
            message->getType(), body);
        delete message;
        return;
    }
    putBE32(first->data + 1, static_cast<uint32_t>(body));
    if (total >= kLargeFrame) {
        writeLargeMessage(message);
        return;
    }
    for (const MessageBase::_Buffer* b = first; b != nullptr; b = b->next) writeBytes(b->data, b->used);
    delete message;
}

void Connection::doClose() {
    if (isComplete() && !hasFlag(F_CLOSE_SENT)) writeCode(C_CLOSE);
    setFlag(F_CLOSE_SENT);
}

void Connection::doSetTiming() {
    if (hasFlag(F_TIMING_ENABLED) && !isClosed()) sendTiming();
}

void Connection::doDestroy() {
    {
        CriticalSection hold(_outboxLock);
        if (_outboxPosted) {
            // The destroy's lock stays until the batch has run.
            setFlag(F_DESTROY_AFTER_OPS);
            return;
        }
    }
    if (hasFlag(F_CORKED)) uncork();
    // Records that TLS gathered and the socket has not taken yet are as
    // unsent as the queue: both get the heartbeat.
    if ((!_queue.empty() || hasFlag(F_FLUSH_PENDING)) && !isClosed()) {
        if (!hasFlag(F_LATENT_DESTROY)) {
            // Give the queue one heartbeat to drain before the socket goes.
            log(0, "%p: Warning: write queue head is not NULL!!!", static_cast<void*>(this));
            setFlag(F_LATENT_DESTROY);
            if (_readEvent != nullptr) _context->clock()->arm(&_heartbeat, heartbeatInterval(), true);
            releaseDestroyLock();
            return;
        }
        log(0, "%p: Warning: write queue head is still not null after T_HEARTBEAT", static_cast<void*>(this));
    }
    setFlag(F_LATENT_DESTROY);
    if (!isClosed()) cleanup(false);
    releaseDestroyLock();
    if (hasFlag(F_IN_CALLBACK)) {
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy deferred (in handler)", _name);
        setFlag(F_DESTROY_PENDING);
        return;
    }
    {
        CriticalSection hold(_lockBlock);
        if (_destroyStage == DS_SCHEDULED) return;
        _destroyStage = DS_WAITING;
        if (_lockCount > 0) {
            log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy deferred because of locks.", _name);
            return;
        }
        _destroyStage = DS_SCHEDULED;
    }
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy calling deleteLater", _name);
    _context->deleteLater(this, deleteNow);
}

void Connection::cleanup(bool inDtor) {
    log(_debug_coms, LOG_TRACE, 0, 0, "%s: Connection::cleanup() called, _cleanupCalled = %d, _inDtor = %d", _name,
        isClosed() ? 1 : 0, inDtor ? 1 : 0);
    if (isClosed()) return;
    moveTo(ST_CLOSED);
    setFlag(F_CLOSE_SENT);
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Connection cleanup (sent = %lld, received = %lld)", _name, _bytesSent.load(),
        _bytesReceived.load());
    if (_readEvent != nullptr) _readEvent->enabled(false);
    if (_writeEvent != nullptr) _writeEvent->enabled(false);
    if (ConnectionClock::isArmed(&_heartbeat)) _context->clock()->cancel(&_heartbeat);
    if (ConnectionClock::isArmed(&_lost)) _context->clock()->cancel(&_lost);
    if (_ssl != nullptr) {
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_socket >= 0) {
        // The events outlive the socket here (a handler up the stack may be
        // one of them), so their watch is settled before the number is freed.
        if (_readEvent != nullptr && _context->isCurrentThread()) _readEvent->settleBeforeClose();
        ::close(_socket);
        _socket = -1;
    }
    if (_clientCtx != nullptr) {
        SSL_CTX_free(_clientCtx);
        _clientCtx = nullptr;
    }
    _decoder.reset();
    _queue.clear();
    _corkUsed = 0;
    if (inDtor) return;
    // The read and cork buffers stay until the destructor: a caller further
    // up the stack may still be walking them.
    bool schedule = false;
    {
        CriticalSection hold(_lockBlock);
        // Destroyed already (from a callback, or waiting a heartbeat for its
        // queue), or accepted by no one: nobody else will delete it.
        bool unowned = hasFlag(F_DESTROY_PENDING) || hasFlag(F_LATENT_DESTROY) ||
                       (_connector != nullptr && !hasFlag(F_ACCEPTED));
        if (unowned && _destroyStage != DS_SCHEDULED) {
            if (_lockCount == 0) {
                _destroyStage = DS_SCHEDULED;
                schedule = true;
            } else {
                _destroyStage = DS_WAITING;  // the last removeLock finishes it
            }
        }
    }
    if (schedule) _context->deleteLater(this, deleteNow);
}

// ---------------------------------------------------------------------------

void ConnectionListener::onResolveComplete(Connection*, int, int) {
}

void ClientResolver::resolve(const char* host, Connection* connection) {
    connection->addLock();
    struct hostent entry;
    struct hostent* result = nullptr;
    char buffer[8192];
    int herr = 0;
    uint32_t address = 0;
    int error = -3;
    if (gethostbyname_r(host, &entry, buffer, sizeof(buffer), &result, &herr) == 0 && result != nullptr &&
        result->h_addrtype == AF_INET && result->h_addr_list[0] != nullptr) {
        memcpy(&address, result->h_addr_list[0], sizeof(address));
        error = 0;
    }
    connection->resolveComplete(address, error);
    connection->removeLock();
}
