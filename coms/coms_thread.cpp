// The coms thread pool: the threads and their contexts, placing connections
// on the least loaded one, and the operation targets through which other
// threads reach a connection.
#include "coms/coms_thread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <unistd.h>

#include "common/log.h"
#include "common/perf_data.h"
#include "common/properties.h"
#include "coms/connector.h"
#include "coms/listen_socket.h"

namespace {

// Lock order: each is taken alone.
CriticalBlock _initLock{LOCK_RANK_NONE, kProcessLifetime};      // starting and stopping the pool
CriticalBlock _contextsLock{LOCK_RANK_NONE, kProcessLifetime};  // the contexts' connection counts and the table
Connection::ComsHelper* _helpers[Connection::kMaxComsThreads];  // _initLock
Connection::ComsThreadContext* _contexts[Connection::kMaxComsThreads] GUARDED_BY(_contextsLock);
std::atomic<int> _threadCount{0};
std::atomic<int> _loopWait{5000};

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

// Holds the socket and a reference to the connector until the connection
// takes both over; an op dropped unrun (the pool stops) gives them back.
struct AttachOp : QueuedOp {
    ~AttachOp() override {
        if (connector == nullptr) return;
        ::close(socket);
        Connector::releaseRef(connector);
    }
    Connection::ComsThreadContext* ctx;
    Connector* connector;  // null once handed over
    int socket;
    char peer[INET_ADDRSTRLEN];
    bool plain;
};

}  // namespace

// The one place outside the class that may build connections and run ops.
class ConnectionOps {
public:
    static Connection* construct(const CreateOp* op) {
        return new Connection(op->ctx, op->host, op->port, op->cert, op->key, op->type);
    }
    // On ctx's thread; the connection adopts the connector reference.
    static Connection* accepted(Connection::ComsThreadContext* ctx, Connector* connector, int socket, const char* peer,
                                bool plain) {
        auto* c = new Connection(ctx, connector, socket, peer, plain);
        c->startAccepted();
        return c;
    }
    static void run(Connection::Op* op);
    static void runPosted(DeferredOp* op) { run(static_cast<Connection::Op*>(op)); }
};

// ---------------------------------------------------------------------------
// QueueTarget

QueueTarget::~QueueTarget() {
    IntrusiveQueue<QueuedOp> left = takeAll();
    while (QueuedOp* op = left.pop())
        if (op->owned) delete op;
}

int QueueTarget::doExecute(DeferredOp* op) {
    auto* q = static_cast<QueuedOp*>(op);
    QueuedOp* head = _posted.load(std::memory_order_relaxed);
    do {
        q->next = head;
    } while (!_posted.compare_exchange_weak(head, q, std::memory_order_release, std::memory_order_relaxed));
    // Counted once the op is on the stack, so that the loop never calls for
    // an op it cannot find; a loop that takes the op before the count only
    // finds the count already served.
    _countEvent.countWrite();
    _countEvent.nudgeOwner();
    return 0;
}

void QueueTarget::processQueue() {
    IntrusiveQueue<QueuedOp> batch = takeAll();
    int taken = 0;
    while (QueuedOp* op = batch.pop()) {
        // The op may be reused by its owner as soon as it has run.
        bool owned = op->owned;
        execute(op);
        if (owned) delete op;
        taken++;
    }
    finish(taken);
}

IntrusiveQueue<QueuedOp> QueueTarget::takeAll() {
    return IntrusiveQueue<QueuedOp>::fromNewestFirst(_posted.exchange(nullptr, std::memory_order_acquire));
}

void QueueTarget::finish(int taken) {
    _countEvent.advanceReadCount(taken > 0 ? taken : 1);
    perfIncrement(PC_NP_REMOVE);
}

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

// Connections of accepted sockets. Asynchronous: the accepting thread has
// no use for the result, and waiting on another coms thread could deadlock
// against a callback there that creates a connection on ours.
class AttachOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        auto* a = static_cast<AttachOp*>(op);
        Connector* connector = a->connector;
        a->connector = nullptr;
        ConnectionOps::accepted(a->ctx, connector, a->socket, a->peer, a->plain);
        return 0;
    }
};

// Connects, destroys, releases and batches of outgoing items. Sends,
// closes and timing changes of one connection share its batch, so that
// their order is the order of the calls and the writes of one batch go to
// TLS together.
class ConnectionTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        ConnectionOps::runPosted(op);
        return 0;
    }
};

// One target per kind of request, each with its own queue.
class ConnectOpTarget : public ConnectionTarget {};
// Closes go here too, behind the sends asked before them.
class SendOpTarget : public ConnectionTarget {};
class DestroyOpTarget : public ConnectionTarget {};
class ReleaseOpTarget : public ConnectionTarget {};
class ReadOpTarget : public ConnectionTarget {};

}  // namespace

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
    case Connection::Op::OUTGOING: c->runOutgoing(); break;
    case Connection::Op::DESTROY: c->doDestroy(); break;
    case Connection::Op::RELEASE: delete op->event; break;
    case Connection::Op::READ_TURN:
        // Read as if the socket had said so, in whatever mode it is now.
        if (!c->isClosed()) c->handleEvent(c->_readEvent);
        c->removeLock();
        break;
    }
}

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
    readTarget = new ReadOpTarget();
    if (index == 0) {
        Connector::createOpTargets(this);
        bindTarget = ListenSocket::createOpTarget();
    }
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
    delete readTarget;
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
// Construction on the caller's behalf

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
    // Taken now, on the accepting thread, while the connector surely lives.
    connector->addRef();
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
    return ConnectionOps::accepted(ctx, connector, socket, peer, plain);
}
