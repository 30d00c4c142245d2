// The coms thread pool, the operation targets, and a connection's life:
// construction, the public operations posted to its thread, the lock count,
// cleanup and deferred destruction.
#include "coms/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/delayed_event.h"
#include "common/log.h"
#include "common/op_target.h"
#include "common/os.h"
#include "common/perf_data.h"
#include "common/properties.h"
#include "coms/coms_error.h"
#include "coms/connector.h"
#include "coms/frame.h"
#include "dirbase/message.h"

namespace {

CriticalBlock _initLock;      // starting and stopping the pool
CriticalBlock _contextsLock;  // the contexts' connection counts and the table
Connection::ComsHelper* _helpers[Connection::kMaxComsThreads];
Connection::ComsThreadContext* _contexts[Connection::kMaxComsThreads];
std::atomic<int> _threadCount{0};
std::atomic<int> _loopWait{5000};
// Frames this large are written from their own buffers, never copied.
const size_t kLargeFrame = 16384;
std::atomic<long> _live{0};
ClientResolver _defaultResolver;
std::atomic<Resolver*> _resolver{&_defaultResolver};
CriticalBlock _allLock;
Connection* _allConnections = nullptr;

// Posted ops on a sync target live on the poster's stack.
struct CreateOp : DeferredOp {
    Connection::ComsThreadContext* ctx;
    const char* host;
    const char* port;
    X509* cert;
    EVP_PKEY* key;
    int type;
    Connection* result = nullptr;
};

// Ops of the asynchronous targets, queued through their own link.
struct QueuedOp : DeferredOp {
    QueuedOp* queueNext = nullptr;
};

struct AttachOp : QueuedOp {
    Connection::ComsThreadContext* ctx;
    Connector* connector;
    int socket;
    char peer[INET_ADDRSTRLEN];
    bool plain;
};

}  // namespace

// What the connection's own targets carry.
struct Connection::Op : QueuedOp {
    enum Kind { CONNECT, SEND, SET_TIMING, CLOSE, DESTROY, RELEASE };
    Op(Kind k, Connection* c) : kind(k), connection(c), message(nullptr), event(nullptr) {}
    Kind kind;
    Connection* connection;
    Message* message;
    DelayedEvent* event;
};

// The one place outside the class that may build connections and run ops.
class ConnectionOps {
public:
    static Connection* construct(const CreateOp* op) {
        return new Connection(op->ctx, op->host, op->port, op->cert, op->key, op->type);
    }
    static void run(Connection::Op* op);
    static void beginBatch(Connection* c) {
        c->addLock();
        c->cork();
    }
    static void endBatch(Connection* c) {
        c->uncork();
        c->removeLock();
    }
    static Connection* connectionOf(DeferredOp* op) { return static_cast<Connection::Op*>(op)->connection; }
    static void runPosted(DeferredOp* op) { run(static_cast<Connection::Op*>(op)); }
};

namespace {

// Client connections, constructed for a caller on another thread.
class ConnectionOpTarget : public OpTarget {
public:
    int execute(DeferredOp* op) override {
        auto* c = static_cast<CreateOp*>(op);
        c->result = ConnectionOps::construct(c);
        return 0;
    }
};

// The asynchronous targets keep their own queue, linked through the ops.
// A posted op costs no allocation and no process-wide registry, so a burst
// of thousands of sends stays linear.
class QueueTarget : public AsyncOpTarget {
public:
    ~QueueTarget() override {
        QueuedOp* op = takeAll();
        while (op != nullptr) {
            QueuedOp* next = op->queueNext;
            delete op;
            op = next;
        }
    }
    int doExecute(DeferredOp* op) override {
        auto* q = static_cast<QueuedOp*>(op);
        q->queueNext = nullptr;
        // The count goes up with the op in the queue, so that the loop never
        // calls for an op it cannot find.
        CriticalSection hold(_opLock);
        if (_opTail != nullptr)
            _opTail->queueNext = q;
        else
            _opHead = q;
        _opTail = q;
        _countEvent.advanceWriteCount();
        return 0;
    }
    void processQueue() override {
        QueuedOp* op = takeAll();
        int taken = 0;
        while (op != nullptr) {
            QueuedOp* next = op->queueNext;
            run(op);
            delete op;
            op = next;
            taken++;
        }
        finish(taken);
    }

protected:
    virtual void run(QueuedOp* op) { execute(op); }
    QueuedOp* takeAll() {
        CriticalSection hold(_opLock);
        QueuedOp* all = _opHead;
        _opHead = _opTail = nullptr;
        return all;
    }
    // One unit of the count per op taken.
    void finish(int taken) {
        for (int i = 0; i < (taken > 0 ? taken : 1); i++) _countEvent.advanceReadCount();
        perfIncrement(PC_NP_REMOVE);
    }

private:
    CriticalBlock _opLock;
    QueuedOp* _opHead = nullptr;
    QueuedOp* _opTail = nullptr;
};

// Connections of accepted sockets. Asynchronous: the accepting thread has
// no use for the result, and waiting on another coms thread could deadlock
// against a callback there that creates a connection on ours.
class AttachOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        auto* a = static_cast<AttachOp*>(op);
        Connection::attach(a->ctx, a->connector, a->socket, a->peer, a->plain);
        return 0;
    }
};

class ConnectionTargetBase : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        ConnectionOps::runPosted(op);
        return 0;
    }
};

class ConnectOpTarget : public ConnectionTargetBase {};
class DestroyOpTarget : public ConnectionTargetBase {};
class ReleaseOpTarget : public ConnectionTargetBase {};

// Sends gather: the writes of consecutive sends on one connection go to TLS
// together when the batch ends, so that many small messages share records
// and system calls. Order on each connection is the order of the posts;
// closes and timing changes share this queue so that they keep their place
// among the sends.
class SendOpTarget : public ConnectionTargetBase {
public:
    void processQueue() override {
        QueuedOp* op = takeAll();
        Connection* batch = nullptr;
        int taken = 0;
        while (op != nullptr) {
            QueuedOp* next = op->queueNext;
            Connection* c = ConnectionOps::connectionOf(op);
            if (c != batch) {
                if (batch != nullptr) ConnectionOps::endBatch(batch);
                batch = c;
                ConnectionOps::beginBatch(batch);
            }
            execute(op);
            delete op;
            op = next;
            taken++;
        }
        if (batch != nullptr) ConnectionOps::endBatch(batch);
        finish(taken);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// The pool

class Connection::ComsHelper : public DaemonThread {
public:
    explicit ComsHelper(int index) : _index(index), _stop(false) {
        char name[kNameLength + 1];
        snprintf(name, sizeof(name), "coms-%d", index + 1);
        setName(name);
        setDeleteOnExit(false);
    }

    void run() override {
        auto* ctx = new ComsThreadContext(this, _index);
        {
            CriticalSection hold(_contextsLock);
            _contexts[_index] = ctx;
        }
        setInitialized();
        long round = 0;
        while (!_stop) {
            Reactor::run(_loopWait);
            processLaterList();
            if (_index == 0 && _debug_coms <= LOG_TRACE && ++round % 10 == 0) {
                CriticalSection hold(_contextsLock);
                for (int i = 0; i < _threadCount; i++) {
                    if (_contexts[i] == nullptr) continue;
                    log(_debug_coms, LOG_TRACE, 0, 0, "== Coms thread context %d, connections = %d", i,
                        _contexts[i]->connectionCountLocked());
                }
            }
        }
        {
            CriticalSection hold(_contextsLock);
            _contexts[_index] = nullptr;
        }
        delete ctx;
        processLaterList();
    }

    void stop() { _stop = true; }

private:
    int _index;
    std::atomic<bool> _stop;
};

void Connection::comsInit() {
    if (_threadCount.load() > 0) return;
    CriticalSection hold(_initLock);
    if (_threadCount.load() > 0) return;
    int n = s_getIntProperty("coms_threads", 1);
    if (n < 1) n = 1;
    if (n > kMaxComsThreads) n = kMaxComsThreads;
    log(_debug_coms, LOG_INFO, 0, 0, "Will start %d coms threads", n);
    for (int i = 0; i < n; i++) {
        _helpers[i] = new ComsHelper(i);
        _helpers[i]->start();
    }
    _threadCount = n;
}

int Connection::comsThreadCount() {
    return _threadCount;
}

Connection::ComsThreadContext* Connection::getComsContext(int i) {
    CriticalSection hold(_contextsLock);
    if (i < 0 || i >= _threadCount) return nullptr;
    return _contexts[i];
}

void Connection::comsStop() {
    CriticalSection hold(_initLock);
    int n = _threadCount;
    for (int i = 0; i < n; i++) _helpers[i]->stop();
    for (int i = 0; i < n; i++) {
        _helpers[i]->join();
        delete _helpers[i];
        _helpers[i] = nullptr;
    }
    _threadCount = 0;
}

void Connection::setLoopWait(int ms) {
    _loopWait = ms > 0 ? ms : 1;
}

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

Connection::ComsThreadContext* Connection::pickContext() {
    CriticalSection hold(_contextsLock);
    ComsThreadContext* best = nullptr;
    for (int i = 0; i < _threadCount; i++) {
        ComsThreadContext* c = _contexts[i];
        if (c != nullptr && (best == nullptr || c->connectionCountLocked() < best->connectionCountLocked())) best = c;
    }
    if (best != nullptr) best->_connections++;
    return best;
}

// ---------------------------------------------------------------------------
// ComsThreadContext

Connection::ComsThreadContext::ComsThreadContext(DaemonThread* owner, int index)
    : connectorTarget(nullptr), bindTarget(nullptr), _owner(owner), _index(index), _connections(0),
      _tc(ThreadContext::get()) {
    connectionTarget = new ConnectionOpTarget();
    attachTarget = new AttachOpTarget();
    connectTarget = new ConnectOpTarget();
    sendTarget = new SendOpTarget();
    closeTarget = sendTarget;
    destroyTarget = new DestroyOpTarget();
    releaseTarget = new ReleaseOpTarget();
    if (index == 0) Connector::createOpTargets(this);
    _laterTimer = new TimerEvent(this);
}

Connection::ComsThreadContext::~ComsThreadContext() {
    delete _laterTimer;
    delete connectionTarget;
    delete attachTarget;
    delete connectTarget;
    delete sendTarget;
    delete destroyTarget;
    delete releaseTarget;
    delete connectorTarget;
    delete bindTarget;
}

int Connection::ComsThreadContext::getConnectionCount() {
    CriticalSection hold(_contextsLock);
    return _connections;
}

void Connection::ComsThreadContext::adjustCount(int delta) {
    CriticalSection hold(_contextsLock);
    _connections += delta;
}

void Connection::ComsThreadContext::deleteLater(void* obj, void (*fn)(void*)) {
    _owner->deleteLater(obj, fn);
    // The loop turns to the later list only between its long rounds; the
    // timer runs it at the next pass instead, outside every other handler.
    _laterTimer->set(0);
}

void Connection::ComsThreadContext::handleEvent(Event*) {
    _owner->processLaterList();
}

// ---------------------------------------------------------------------------
// Construction

Connection::Connection(ComsThreadContext* ctx, const char* host, const char* port, X509* cert, EVP_PKEY* key, int type)
    : _context(ctx), _listener(nullptr), _connector(nullptr), _host(strdup(host)), _port(strdup(port)), _peer(nullptr),
      _bindAddress(nullptr), _address(0), _resolved(false), _resolveStarted(false), _resolveError(0),
      _inDoConnect(false), _socket(-1), _ssl(nullptr), _clientCtx(nullptr), _peerCert(nullptr), _cert(cert), _key(key),
      _mode(SM_READ), _readEvent(nullptr), _writeEvent(nullptr), _heartbeatTimer(nullptr), _lostTimer(nullptr),
      _type(type), _typeVersion(0), _flag(0), _serverVersion(1), _forceVersionZero(false), _plain(false),
      _sentType2(false), _complete(false), _closeSent(false), _cleanupCalled(false), _accepted(false),
      _inCallback(false), _destroyPending(false), _waitingDestroy(false), _deleteScheduled(false),
      _latentDestroy(false), _timingEnabled(false), _latencyProbing(false), _closeAfterWrite(false),
      _handshakeDone(false), _flushPending(false), _opsPending(0), _destroyAfterOps(false), _t_lost(kDefaultLost),
      _t_heartbeat(kDefaultHeartbeat), _latency(-1), _drift(0), _lastRead(0), _queueHead(nullptr), _queueTail(nullptr),
      _queuedBytes(0), _corkBuffer(nullptr), _corkUsed(0), _corkCapacity(0), _corked(false), _bytesSent(0),
      _bytesReceived(0), _readBuffer(nullptr), _lockCount(0), _info(nullptr), _allNext(nullptr), _allPrev(nullptr) {
    size_t len = strlen(_host);
    if (len >= 3 && strcmp(_host + len - 3, ":v0") == 0) {
        _host[len - 3] = '\0';
        _forceVersionZero = true;
    }
    snprintf(_name, sizeof(_name), "C-%s:%s", _host, _port);
    if (_cert != nullptr) X509_up_ref(_cert);
    if (_key != nullptr) EVP_PKEY_up_ref(_key);
    _live++;
    enlist();
}

Connection::Connection(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain)
    : _context(ctx), _listener(nullptr), _connector(connector), _host(nullptr), _port(nullptr),
      _peer(strdup(peer != nullptr ? peer : "")), _bindAddress(nullptr), _address(0), _resolved(true),
      _resolveStarted(true), _resolveError(0), _inDoConnect(false), _socket(socket), _ssl(nullptr), _clientCtx(nullptr),
      _peerCert(nullptr), _cert(nullptr), _key(nullptr), _mode(SM_ACCEPT), _readEvent(nullptr), _writeEvent(nullptr),
      _heartbeatTimer(nullptr), _lostTimer(nullptr), _type(0), _typeVersion(0), _flag(0), _serverVersion(1),
      _forceVersionZero(false), _plain(plain), _sentType2(false), _complete(false), _closeSent(false),
      _cleanupCalled(false), _accepted(false), _inCallback(false), _destroyPending(false), _waitingDestroy(false),
      _deleteScheduled(false), _latentDestroy(false), _timingEnabled(false), _latencyProbing(false),
      _closeAfterWrite(false), _handshakeDone(false), _flushPending(false), _opsPending(0), _destroyAfterOps(false), _t_lost(kDefaultLost),
      _t_heartbeat(kDefaultHeartbeat), _latency(-1), _drift(0), _lastRead(0), _queueHead(nullptr), _queueTail(nullptr),
      _queuedBytes(0), _corkBuffer(nullptr), _corkUsed(0), _corkCapacity(0), _corked(false), _bytesSent(0),
      _bytesReceived(0), _readBuffer(nullptr), _lockCount(0), _info(nullptr), _allNext(nullptr), _allPrev(nullptr) {
    snprintf(_name, sizeof(_name), "S-%s", _peer);
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

void Connection::dropInheritedConnections() {
    // Only the forking thread exists here; the list is walked as it stands.
    for (Connection* c = _allConnections; c != nullptr; c = c->_allNext) {
        if (c->_socket >= 0) ::close(c->_socket);
        c->_socket = -1;
        c->_cleanupCalled = true;
        if (c->_context->isCurrentThread() && c->_readEvent != nullptr) {
            c->_readEvent->enabled(false);
            c->_writeEvent->enabled(false);
            c->_heartbeatTimer->enabled(false);
            c->_lostTimer->enabled(false);
        }
    }
}

Connection* Connection::create(const char* host, const char* port, X509* cert, EVP_PKEY* key, int type) {
    if (host == nullptr || port == nullptr) return nullptr;
    comsInit();
    ComsThreadContext* ctx = pickContext();
    if (ctx == nullptr) return nullptr;
    // A client connection holds nothing bound to its thread until it
    // connects; a coms thread builds it at once rather than wait on another
    // coms thread that may be waiting on it.
    bool onComsThread = false;
    for (int i = 0; i < _threadCount && !onComsThread; i++) {
        ComsThreadContext* c = getComsContext(i);
        onComsThread = c != nullptr && c->isCurrentThread();
    }
    if (onComsThread) return new Connection(ctx, host, port, cert, key, type);
    CreateOp op;
    op.ctx = ctx;
    op.host = host;
    op.port = port;
    op.cert = cert;
    op.key = key;
    op.type = type;
    ctx->connectionTarget->doExecute(&op);
    return op.result;
}

Connection* Connection::attach(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain) {
    if (!ctx->isCurrentThread()) {
        auto* op = new AttachOp();
        op->ctx = ctx;
        op->connector = connector;
        op->socket = socket;
        snprintf(op->peer, sizeof(op->peer), "%s", peer != nullptr ? peer : "");
        op->plain = plain;
        ctx->attachTarget->doExecute(op);
        return nullptr;
    }
    auto* c = new Connection(ctx, connector, socket, peer, plain);
    c->createEvents();
    if (plain) {
        c->_mode = SM_READ;
        c->doReadEvent();
        return c;
    }
    SSL_CTX* sslCtx = connector != nullptr ? connector->getSslContext() : nullptr;
    c->_ssl = sslCtx != nullptr ? SSL_new(sslCtx) : nullptr;
    if (c->_ssl == nullptr) {
        log(0, "%s: no usable TLS context for an accepted connection", c->_name);
        ERR_clear_error();
        c->cleanup(false);
        return c;
    }
    c->attachSocket();
    SSL_set_app_data(c->_ssl, c);
    SSL_set_info_callback(c->_ssl, infoCallback);
    SSL_set_accept_state(c->_ssl);
    c->_mode = SM_ACCEPT;
    c->continueHandshake();
    return c;
}

Connection::~Connection() {
    cleanup(true);
    delete _readEvent;
    delete _writeEvent;
    delete _heartbeatTimer;
    delete _lostTimer;
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
    delist();
    _live--;
}

void Connection::deleteNow(void* p) {
    auto* c = static_cast<Connection*>(p);
    c->_context->adjustCount(-1);
    delete c;
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
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: resolve completes: %s -> %u.%u.%u.%u (inDoConnect = %d)", _name,
        _host != nullptr ? _host : "", b[0], b[1], b[2], b[3], _inDoConnect ? 1 : 0);
    _address = error == 0 ? address : 0;
    _resolveError = error;
    _resolved = true;
    if (!_inDoConnect) {
        addLock();
        _context->connectTarget->doExecute(new Op(Op::CONNECT, this));
    }
}

int Connection::send(Message* message) {
    if (message == nullptr) return COMS_E_NOT_CONNECTED;
    if (!_complete || _closeSent) {
        delete message;
        return COMS_E_NOT_CONNECTED;
    }
    addLock();
    _opsPending++;
    auto* op = new Op(Op::SEND, this);
    op->message = message;
    _context->sendTarget->doExecute(op);
    return 0;
}

void Connection::close() {
    _listener = nullptr;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: close() called", _name);
    addLock();
    _opsPending++;
    _context->closeTarget->doExecute(new Op(Op::CLOSE, this));
}

void Connection::destroy(Connection* c) {
    if (c == nullptr) return;
    c->addLock();
    c->_listener = nullptr;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: destory() called", c->_name);
    c->_context->destroyTarget->doExecute(new Op(Op::DESTROY, c));
}

void Connection::setTiming(int lost, int heartbeat) {
    _t_lost = lost;
    _t_heartbeat = heartbeat;
    if (!_timingEnabled) return;
    addLock();
    _opsPending++;
    _context->sendTarget->doExecute(new Op(Op::SET_TIMING, this));
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
            _lockCount, _waitingDestroy ? 1 : 0);
        callDestroy = _lockCount == 0 && _waitingDestroy && !_deleteScheduled;
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

void ConnectionOps::run(Connection::Op* op) {
    Connection* c = op->connection;
    switch (op->kind) {
    case Connection::Op::CONNECT: {
        int rc = c->doConnect();
        if (rc < 0) {
            c->callOnNoConnect(rc);
            c->cleanup(false);
        }
        c->removeLock();
        break;
    }
    case Connection::Op::SEND:
    case Connection::Op::SET_TIMING:
    case Connection::Op::CLOSE:
        if (op->kind == Connection::Op::SEND)
            c->doSend(op->message);
        else if (op->kind == Connection::Op::CLOSE)
            c->doClose();
        else
            c->doSetTiming();
        if (--c->_opsPending == 0 && c->_destroyAfterOps) {
            c->_destroyAfterOps = false;
            c->doDestroy();
        }
        c->removeLock();
        break;
    case Connection::Op::DESTROY: c->doDestroy(); break;
    case Connection::Op::RELEASE: delete op->event; break;
    }
}

void Connection::doSend(Message* message) {
    if (!_complete || _closeSent || _cleanupCalled) {
        delete message;
        return;
    }
    setFrameLength(message);
    if (message->totalBytes() >= kLargeFrame) {
        writeLargeMessage(message);
        return;
    }
    for (const MessageBase::_Buffer* b = message->firstBuffer(); b != nullptr; b = b->next)
        writeBytes(b->data, b->used);
    delete message;
}

void Connection::doClose() {
    if (_complete && !_closeSent && !_cleanupCalled) writeCode(C_CLOSE);
    _closeSent = true;
}

void Connection::doSetTiming() {
    if (_timingEnabled && !_cleanupCalled) sendTiming();
}

void Connection::doDestroy() {
    if (_opsPending > 0) {
        // The destroy's lock stays until the last of them has run.
        _destroyAfterOps = true;
        return;
    }
    if (_corked) uncork();
    if (_queueHead != nullptr && !_cleanupCalled) {
        if (!_latentDestroy) {
            // Give the queue one heartbeat to drain before the socket goes.
            log(0, "%p: Warning: write queue head is not NULL!!!", static_cast<void*>(this));
            _latentDestroy = true;
            if (_heartbeatTimer != nullptr) _heartbeatTimer->set(heartbeatInterval());
            releaseDestroyLock();
            return;
        }
        log(0, "%p: Warning: write queue head is still not null after T_HEARTBEAT", static_cast<void*>(this));
    }
    _latentDestroy = true;
    if (!_cleanupCalled) cleanup(false);
    releaseDestroyLock();
    if (_inCallback) {
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy deferred (in handler)", _name);
        _destroyPending = true;
        return;
    }
    {
        CriticalSection hold(_lockBlock);
        if (_deleteScheduled) return;
        _waitingDestroy = true;
        if (_lockCount > 0) {
            log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy deferred because of locks.", _name);
            return;
        }
        _deleteScheduled = true;
    }
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Destroy calling deleteLater", _name);
    _context->deleteLater(this, deleteNow);
}

void Connection::cleanup(bool inDtor) {
    log(_debug_coms, LOG_TRACE, 0, 0, "%s: Connection::cleanup() called, _cleanupCalled = %d, _inDtor = %d", _name,
        _cleanupCalled ? 1 : 0, inDtor ? 1 : 0);
    if (_cleanupCalled) return;
    _cleanupCalled = true;
    _closeSent = true;
    _complete = false;
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Connection cleanup (sent = %lld, received = %lld)", _name, _bytesSent.load(),
        _bytesReceived.load());
    if (_readEvent != nullptr) _readEvent->enabled(false);
    if (_writeEvent != nullptr) _writeEvent->enabled(false);
    if (_heartbeatTimer != nullptr) _heartbeatTimer->enabled(false);
    if (_lostTimer != nullptr) _lostTimer->enabled(false);
    if (_ssl != nullptr) {
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_socket >= 0) {
        ::close(_socket);
        _socket = -1;
    }
    if (_clientCtx != nullptr) {
        SSL_CTX_free(_clientCtx);
        _clientCtx = nullptr;
    }
    _decoder.reset();
    while (_queueHead != nullptr) {
        WriteBlock* b = _queueHead;
        _queueHead = b->next;
        freeBlock(b);
    }
    _queueTail = nullptr;
    _queuedBytes = 0;
    _corkUsed = 0;
    if (inDtor) return;
    // The read and cork buffers stay until the destructor: a caller further
    // up the stack may still be walking them.
    bool schedule = false;
    {
        CriticalSection hold(_lockBlock);
        bool unowned = _destroyPending || (_connector != nullptr && !_accepted);
        if (unowned && !_deleteScheduled) {
            if (_lockCount == 0) {
                _deleteScheduled = true;
                schedule = true;
            } else {
                _waitingDestroy = true;  // the last removeLock finishes it
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
