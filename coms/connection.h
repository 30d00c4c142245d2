// Connections: one TLS connection over TCP carrying control items and
// message frames. Each connection belongs to one coms thread for its whole
// life: socket work, events and listener callbacks all happen there, and the
// public operations called from other threads are posted to it through the
// thread's operation targets. Holders of a Connection* on other threads
// bracket their use with addLock/removeLock; destroy() deletes the
// connection once nobody holds it any more.
//
// Thread-safety: the public operations under "any thread" may be called from
// anywhere; everything else runs on the connection's coms thread. Each member
// says below who owns it. Lock order: _outboxLock and _lockBlock are never
// held together; the contexts' lock (coms_thread.cpp) is taken alone.
//
// The implementation is split by concern: connection.cpp (life, public
// operations, destruction), connection_handshake.cpp, connection_dispatch.cpp
// (events, reading, items, errors), connection_write.cpp (the write path),
// coms_thread.cpp (the pool and its operation targets).
#ifndef DRV_COMS_CONNECTION_H
#define DRV_COMS_CONNECTION_H

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "common/daemon_thread.h"
#include "common/sem.h"
#include "common/thread_context.h"
#include "coms/connection_clock.h"
#include "coms/control.h"
#include "coms/write_queue.h"

class Connection;
class Connector;
class DelayedEvent;
class FdEvent;
class Message;
class OpTarget;
class TimerEvent;

// Told about a connection's life, always on its coms thread.
class ConnectionListener {
public:
    virtual ~ConnectionListener() = default;
    // A message arrived. 0: the connection deletes it; 1: the listener keeps it.
    virtual int onReceive(Connection* connection, Message* message) = 0;
    // The connection could not be made or was refused; code is a connection
    // error code (coms/coms_error.h).
    virtual void onNoConnect(Connection* connection, int code) = 0;
    virtual void onLost(Connection* connection) = 0;
    // The peer closed the connection with C_CLOSE.
    virtual void onClosed(Connection* connection) = 0;
    virtual void onConnectComplete(Connection* connection) = 0;
    // The host lookup finished: error 0 and the IPv4 address (network byte
    // order), or an error and 0.
    virtual void onResolveComplete(Connection* connection, int error, int address);
};

// Looks a host up for a client connection and ends, now or later, with
// connection->resolveComplete(address, error).
class Resolver {
public:
    virtual ~Resolver() = default;
    virtual void resolve(const char* host, Connection* connection) = 0;
};

// The reentrant IPv4 host lookup: the first address, or error -3.
class ClientResolver : public Resolver {
public:
    void resolve(const char* host, Connection* connection) override;
};

class Connection final : public EventHandler {
public:
    enum Mode { SM_READ = 1, SM_WRITE = 2, SM_ACCEPT = 3, SM_CONNECT = 4 };

    // Where a connection is in its life. Only these moves are made; any
    // other is refused (logged, state kept) by moveTo:
    //
    //   ST_NEW         -> ST_TLS         socket up, TLS connect or accept started
    //   ST_NEW         -> ST_NEGOTIATING a plain accepted socket (no TLS)
    //   ST_TLS         -> ST_NEGOTIATING the TLS handshake finished
    //   ST_NEGOTIATING -> ST_COMPLETE    completion item received (client) or
    //                                    the type item accepted (server)
    //   ST_COMPLETE    -> ST_COMPLETE    allowed, though a repeated completion
    //                                    item is ignored before it gets here
    //   ST_NEGOTIATING -> ST_REFUSING    the server refuses the type item and
    //   ST_COMPLETE    -> ST_REFUSING    closes once the refusal is written
    //   ST_COMPLETE    -> ST_NEGOTIATING the connection stops being usable
    //                                    without being cleaned up yet
    //   any            -> ST_CLOSED      cleanup: socket, TLS and queue gone
    //
    // ST_CLOSED is final. Written on the coms thread only; read anywhere.
    enum State : uint8_t { ST_NEW, ST_TLS, ST_NEGOTIATING, ST_COMPLETE, ST_REFUSING, ST_CLOSED };

    // Independent switches, one bit each in _flags. Set and cleared on the
    // coms thread only (except where noted); read anywhere.
    enum Flag : uint32_t {
        F_RESOLVE_STARTED = 1u << 0,   // the resolver was asked
        F_FORCE_V0 = 1u << 2,          // host ended in ":v0": C_TYPE whatever the version
        F_PLAIN = 1u << 3,             // accepted without TLS
        F_SENT_TYPE2 = 1u << 4,        // the handshake used C_TYPE2 (sent or received)
        F_CLOSE_SENT = 1u << 5,        // C_CLOSE written (or cleanup): no more sends
        F_ACCEPTED = 1u << 6,          // server side: the connector's listener took it
        F_IN_CALLBACK = 1u << 7,       // a listener call is running
        F_DESTROY_PENDING = 1u << 8,   // destroy asked from inside a listener call
        F_LATENT_DESTROY = 1u << 9,    // destroy waits one heartbeat for the queue
        F_TIMING_ENABLED = 1u << 10,   // both sides agreed on C_SET_TIMING
        F_LATENCY_PROBING = 1u << 11,  // heartbeats are C_GET_LD (set before connect)
        F_CLOSE_AFTER_WRITE = 1u << 12,  // a refusal or kill: close once written
        F_TLS_DONE = 1u << 13,         // the TLS info callback saw the handshake end
        F_FLUSH_PENDING = 1u << 14,    // TLS records wait for the socket
        F_DESTROY_AFTER_OPS = 1u << 15,  // destroy waits for posted sends to run
        F_CORKED = 1u << 16,           // writes gather in the batch buffer
        F_ENDS_PROCESS = 1u << 17,     // a forked child's one connection: deleting it ends the child
    };

    // Whether a connection may move from one state to another (the table
    // above).
    static bool canMove(State from, State to);
    // The text of a state, for logs.
    static const char* stateName(int state);

    static constexpr int kDefaultLost = 20000;      // ms, while timing is not enabled
    static constexpr int kDefaultHeartbeat = 4500;  // ms, while timing is not enabled
    static constexpr int kReadBufferSize = 16384;
    // The bytes one read event takes before the connection lets the rest of
    // its thread run: a peer that sends faster than its items are handled
    // would otherwise keep the socket from running dry, and every other
    // connection of the thread would wait for it without end.
    static constexpr long long kReadTurnBytes = 256 * 1024;
    static constexpr int kMaxComsThreads = 32;
    static constexpr int kNameLength = 80;
    // A listener call longer than this (ms) is logged.
    static constexpr int kLongCallMs = 1000;

    class ComsThreadContext;
    class ComsHelper;

    // ---- process-wide --------------------------------------------------
    // Starts the coms threads on first use ("coms_threads", 1 to 32).
    static void comsInit();
    // Threads started, 0 before comsInit.
    static int comsThreadCount();
    // The context of thread i (from 0), or null.
    static ComsThreadContext* getComsContext(int i);
    // Stops and joins the coms threads; the next comsInit reads the setting
    // again. Only once every connection and connector is gone (tools and
    // tests that end cleanly).
    static void comsStop();
    // How long each round of a coms thread's loop waits before it turns to
    // its later list (5000 ms). Shorter rounds let comsStop return sooner.
    static void setLoopWait(int ms);
    // Connections constructed and not yet deleted, in this process.
    static long liveConnections();
    // The resolver of client connections (a ClientResolver by default); null
    // restores the default.
    static void setResolver(Resolver* resolver);
    static Resolver* getResolver();
    // The text of a mode: "SM_READ", ..., or "unknown".
    static const char* modeName(int mode);
    // The most bytes a connection keeps waiting for a peer that does not
    // read: a write that finds this much already queued ends the connection
    // (logged, onLost or onNoConnect) instead of queueing without bound.
    // One write may take the queue past it, so a single message larger than
    // the limit still goes whole. Any thread; read at every queued write.
    static constexpr size_t kDefaultQueueLimit = 128u << 20;
    static void setQueueLimit(size_t bytes);
    static size_t getQueueLimit();
    // Called on the coms thread when a server orders this process to stop
    // (C_KILL), just before the process ends with status 1.
    static void setKillHandler(void (*fn)(Connection* connection));

    // ---- client side ---------------------------------------------------
    // Constructs a client connection on the least loaded coms thread and
    // returns it; null when host or port is missing. A host ending in ":v0"
    // forces the version-zero handshake. The certificate and key are
    // referenced, not taken; without them an anonymous certificate is made
    // at connect time.
    static Connection* create(const char* host, const char* port, X509* cert, EVP_PKEY* key, int type);
    // Starts resolving, connecting and the TLS handshake on the coms thread.
    // Failures reach the listener as onNoConnect. Returns 0.
    int connect();
    // Reports the host lookup (address in network byte order).
    void resolveComplete(uint32_t address, int error);

    // ---- server side ---------------------------------------------------
    // Constructs the connection of an accepted socket on ctx's thread: at
    // once (and returned) when the caller is that thread, else posted there
    // (null returned). Plain connections run without TLS. The connector's
    // reference for the connection is taken here, before any post, so that
    // the connector outlives an attach still queued when its owner destroys
    // it; an attach that never runs (the pool stops) closes the socket and
    // gives the reference back.
    static Connection* attach(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain);
    // Places a new connection: the context with the fewest connections (the
    // first such), whose count is raised.
    static ComsThreadContext* pickContext();
    // In a child forked to serve one socket: every connection the parent had
    // is dropped without a word to its peer (its socket copy closed, its
    // events off), so that the parent keeps its connections to itself.
    static void dropInheritedConnections();
    // In such a child: the child exits (status 0) once this connection has
    // been deleted, that is once its listener destroyed it.
    void endProcessWhenDeleted() { setFlag(F_ENDS_PROCESS); }

    // ---- any thread ----------------------------------------------------
    // Takes the message in every case. -10 (deleted) unless the handshake is
    // complete and no close was sent; otherwise posted, 0. A message no
    // frame can carry (no body, more than kMaxFrameBody, or a type above
    // kMaxFrameType) is logged and dropped when its turn comes, rather than
    // break the connection.
    int send(Message* message);
    // Clears the listener and sends C_CLOSE once (if complete).
    void close();
    // Clears the listener; the connection is cleaned up and deleted on its
    // thread once no locks remain.
    static void destroy(Connection* connection);
    void addLock();
    void removeLock();
    // Lost time-out and heartbeat interval in ms; sent to the server as
    // C_SET_TIMING once timing is enabled.
    void setTiming(int lost, int heartbeat);
    // "%s-%s, sig: %s-%d" (TLS version, cipher, signature algorithm and key
    // bits of the peer certificate, or "none"); empty before the handshake.
    const char* getConnectionInfo();
    // Deletes a delayed event on the coms thread.
    void releaseDelayedEvent(DelayedEvent* event);

    // Settings for a client before connect().
    void setListener(ConnectionListener* listener) { _listener = listener; }
    ConnectionListener* getListener() const { return _listener; }
    void setTypeVersion(int version) { _typeVersion = version; }
    void setLatencyProbing(bool on) { on ? setFlag(F_LATENCY_PROBING) : clearFlag(F_LATENCY_PROBING); }
    // The local address to connect from (an IPv4 text), or null for any.
    void setBindAddress(const char* address);

    const char* getName() const { return _name; }
    const char* getPeerAddress() const { return _peer; }
    int getType() const { return _type; }
    int getTypeVersion() const { return _typeVersion; }
    int getFlag() const { return _flag; }
    int getServerVersion() const { return _serverVersion; }
    State getState() const { return _state.load(std::memory_order_acquire); }
    bool isComplete() const { return getState() == ST_COMPLETE; }
    bool isAccepted() const { return hasFlag(F_ACCEPTED); }
    bool isPlain() const { return hasFlag(F_PLAIN); }
    bool isTimingEnabled() const { return hasFlag(F_TIMING_ENABLED); }
    int getMode() const { return _mode; }
    int getLost() const { return _t_lost; }
    int getHeartbeat() const { return _t_heartbeat; }
    int getLatency() const { return _latency; }
    int getDrift() const { return _drift; }
    long long getBytesSent() const { return _bytesSent; }
    long long getBytesReceived() const { return _bytesReceived; }
    // Bytes waiting in the write queue.
    size_t getQueuedBytes() const { return _queue.bytes(); }
    int getLockCount();
    Connector* getConnector() const { return _connector; }
    ComsThreadContext* getContext() const { return _context; }
    // The peer's certificate once the handshake is done (not a new reference).
    X509* getPeerCertificate() const { return _peerCert; }
    // Why the connection failed, beyond its error code, when that is known
    // (a static text, e.g. that the peer refused TLS 1.2); else null. Set
    // before the listener hears of the failure.
    const char* getFailureReason() const { return _failureReason.load(std::memory_order_acquire); }

    void handleEvent(Event* e) override;

private:
    friend class ComsThreadContext;
    friend class ConnectionOps;
    struct Op;
    // What a send, close or timing change asks of the coms thread, in the
    // order they were asked.
    struct Outgoing {
        enum Kind : uint8_t { SEND, CLOSE, SET_TIMING };
        Message* message;
        Kind kind;
    };
    // How far the deletion of a connection has come, under _lockBlock:
    // DS_NONE -> DS_WAITING (locks still held) -> DS_SCHEDULED, or DS_NONE ->
    // DS_SCHEDULED at once. DS_SCHEDULED is final.
    enum DestroyStage : uint8_t { DS_NONE, DS_WAITING, DS_SCHEDULED };

    Connection(ComsThreadContext* ctx, const char* host, const char* port, X509* cert, EVP_PKEY* key, int type);
    // Adopts a reference to connector that the caller took for it.
    Connection(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    static void deleteNow(void* connection);

    bool hasFlag(Flag f) const { return (_flags.load(std::memory_order_relaxed) & f) != 0; }
    void setFlag(Flag f) { _flags.fetch_or(f, std::memory_order_relaxed); }
    void clearFlag(Flag f) { _flags.fetch_and(~static_cast<uint32_t>(f), std::memory_order_relaxed); }
    bool isClosed() const { return getState() == ST_CLOSED; }
    // Moves to state if the table allows it; false (logged) otherwise.
    bool moveTo(State state);
    // Leaves ST_COMPLETE (or ST_REFUSING) for ST_NEGOTIATING: messages may no
    // longer flow, and cleanup follows.
    void markIncomplete();

    // Operations run on the coms thread.
    int doConnect();
    // Runs every send, close and timing change posted so far, as one batch.
    void runOutgoing();
    void doSend(Message* message);
    void doClose();
    void doDestroy();
    void doSetTiming();

    // connection_handshake.cpp
    // Starts an accepted connection: its events, then TLS (or, plain, reading).
    void startAccepted();
    void createEvents();
    int installClientCertificate();
    void continueHandshake();
    void handshakeDone();
    void buildConnectionInfo();
    void serverHandshake(const ControlItem& item);
    static void infoCallback(const SSL* ssl, int where, int ret);

    // connection_dispatch.cpp
    void doReadEvent();
    // After a read turn ended on its bound: what TLS holds already decrypted
    // or read ahead raises no socket event, so a later turn is posted for it.
    void postReadTurn();
    void consume(const unsigned char* data, size_t n);
    void dispatch(ControlItem& item);
    void deliver(Message* message);
    void onHeartbeatTimer();
    void onLostTimer();
    static void onHeartbeatDue(void* connection);
    static void onLostDue(void* connection);
    // Restarts the lost time-out, or the heartbeat interval, from now; the
    // heartbeat keeps the round a latent destroy waits for.
    void restartLostTimer();
    void armHeartbeat();
    void handleSSLError(int result, int mode);
    void handleSyscallError(int err);
    // Ends a connection whose stream can no longer be trusted: onLost if it
    // had completed, else onNoConnect with COMS_E_NOT_CONNECTED.
    void dropBroken();
    void callOnLost(int longMs, bool afterZeroRead);
    void callOnNoConnect(int code);
    void callOnClosed();
    void callOnConnectComplete();
    // Runs one call on the listener, if there is one, marked as in progress
    // so that a destroy asked from inside it waits until it returns.
    template <class Call>
    void callListener(Call call) {
        ConnectionListener* l = _listener;
        if (l == nullptr) return;
        setFlag(F_IN_CALLBACK);
        call(l);
        clearFlag(F_IN_CALLBACK);
    }

    // connection.cpp
    void cleanup(bool inDtor);
    void releaseDestroyLock();
    int lostTimeout() const;
    int heartbeatInterval() const;

    // connection_write.cpp: the write path.
    void writeBytes(const void* bytes, size_t n);
    void writeDirect(const unsigned char* bytes, size_t n);
    // Writes what the socket takes now; the count written. A block that
    // could not go at all is to be offered again, unchanged.
    size_t writeNow(const unsigned char* bytes, size_t n);
    // Queue bytes behind what waits already; when memory runs out the
    // connection is closed instead (queueReference then returns false).
    void queueCopy(const unsigned char* bytes, size_t n);
    bool queueReference(const unsigned char* bytes, size_t n);
    void closeForLackOfMemory(size_t n);
    // True, with the connection ended, when the queue already holds the
    // limit: the peer has stopped reading and nothing more may join it.
    bool queueOverflows();
    void writeLargeMessage(Message* message);
    void processWriteQueue();
    void writeCode(int code);
    void writeU32(uint32_t v);
    void writeU8(int v);
    void sendTiming();
    int rawWrite(const unsigned char* bytes, size_t n);
    void afterWrite();
    // Puts the socket under the TLS object, with writes gathered in a buffer
    // that goes to the socket in large pieces.
    void attachSocket();
    // Sends what the TLS layer has gathered. False while the socket pushes
    // back (the write event then finishes it).
    bool flushTls();
    // Batching: writes gather in a buffer until uncork.
    void cork();
    void uncork();
    void flushCork();

    // ---- set at construction, then read-only -------------------------
    ComsThreadContext* _context;
    Connector* _connector;
    char _name[kNameLength + 1];
    char* _host;
    char* _port;

    // ---- any thread ----------------------------------------------------
    std::atomic<ConnectionListener*> _listener;
    std::atomic<State> _state;
    std::atomic<uint32_t> _flags;  // bits of Flag
    std::atomic<int> _mode;
    std::atomic<int> _serverVersion;
    std::atomic<int> _t_lost;
    std::atomic<int> _t_heartbeat;
    std::atomic<int> _latency;
    std::atomic<int> _drift;
    std::atomic<long long> _bytesSent;
    std::atomic<long long> _bytesReceived;
    std::atomic<const char*> _failureReason{nullptr};

    // ---- the resolver's thread, then the coms thread -------------------
    // Written by resolveComplete before it posts the connect.
    uint32_t _address;  // network byte order
    int _resolveError;
    std::atomic<bool> _resolved;
    // Who goes on with the connect once the resolver answers: doConnect, if
    // the answer came while it was still calling the resolver, else the
    // answer, which posts the connect again. Each side moves the stage once,
    // atomically, so that exactly one of them goes on.
    enum ResolveStage : uint8_t { RS_NONE, RS_IN_CALL, RS_WAITING, RS_ANSWERED };
    std::atomic<uint8_t> _resolveStage{RS_NONE};

    // ---- coms thread ---------------------------------------------------
    char* _peer;
    char* _bindAddress;
    int _socket;
    SSL* _ssl;
    SSL_CTX* _clientCtx;
    X509* _peerCert;
    X509* _cert;
    EVP_PKEY* _key;
    FdEvent* _readEvent;
    FdEvent* _writeEvent;
    // Served by the thread's ConnectionClock rather than a loop timer each.
    ConnectionClock::Deadline _heartbeat;
    ConnectionClock::Deadline _lost;
    int _type;
    int _typeVersion;
    int _flag;
    long _lastRead;  // seconds, of the last read
    ControlDecoder _decoder;
    WriteQueue _queue;
    unsigned char* _corkBuffer;
    size_t _corkUsed;
    size_t _corkCapacity;
    unsigned char* _readBuffer;
    char* _info;
    // The batch being run by runOutgoing; kept to reuse its storage.
    std::vector<Outgoing> _running;

    // ---- _outboxLock ---------------------------------------------------
    // Sends, closes and timing changes posted and not yet run. One op per
    // batch is posted (_outboxOp, reused), so a send costs no allocation; a
    // destroy waits for the batch so that what was sent before it goes out.
    CriticalBlock _outboxLock;
    std::vector<Outgoing> _outbox GUARDED_BY(_outboxLock);
    bool _outboxPosted GUARDED_BY(_outboxLock);
    Op* _outboxOp;  // owned; in the send target's queue while _outboxPosted

    // ---- _lockBlock ----------------------------------------------------
    CriticalBlock _lockBlock;
    int _lockCount GUARDED_BY(_lockBlock);
    DestroyStage _destroyStage GUARDED_BY(_lockBlock);

    // ---- _allLock (process-wide): every connection, for dropInheritedConnections
    Connection* _allNext;
    Connection* _allPrev;
    void enlist();
    void delist();
};

// One coms thread's share of the work: its event loop, its operation targets
// and the number of connections placed on it. Constructed on the thread it
// serves; owner's later list deletes connections off their event handlers.
// The targets are used from any thread; the rest is the coms thread's but
// for the connection count (the contexts' lock in coms_thread.cpp).
class Connection::ComsThreadContext final : public EventHandler {
    friend class Connection;

public:
    ComsThreadContext(DaemonThread* owner, int index);
    ~ComsThreadContext();
    ComsThreadContext(const ComsThreadContext&) = delete;
    ComsThreadContext& operator=(const ComsThreadContext&) = delete;

    int getIndex() const { return _index; }
    // Connections placed on this thread (read under the contexts' lock).
    int getConnectionCount();
    // The same, for a caller that holds the contexts' lock.
    int connectionCountLocked() const { return _connections; }
    // Raises or lowers the count under the contexts' lock.
    void adjustCount(int delta);
    bool isCurrentThread() const { return ThreadContext::peek() == _tc; }
    ThreadContext* getThreadContext() const { return _tc; }
    DaemonThread* getOwner() const { return _owner; }

    // Hands fn(obj) to the owner's later list and runs the list soon, outside
    // every other event handler.
    void deleteLater(void* obj, void (*fn)(void*));
    void handleEvent(Event* e) override;
    // The heartbeat and lost deadlines of this thread's connections.
    ConnectionClock* clock() { return &_clock; }

    OpTarget* connectionTarget;
    OpTarget* attachTarget;
    OpTarget* connectTarget;
    OpTarget* sendTarget;
    // The send target itself: a close must follow the sends before it.
    OpTarget* closeTarget;
    OpTarget* destroyTarget;
    OpTarget* releaseTarget;
    // Read turns a connection posts itself (Connection::postReadTurn).
    OpTarget* readTarget;
    // On the first thread only: the connectors' construction and binding.
    OpTarget* connectorTarget;
    OpTarget* bindTarget;

private:
    DaemonThread* _owner;
    int _index;
    int _connections;  // the contexts' lock
    ThreadContext* _tc;
    TimerEvent* _laterTimer;
    ConnectionClock _clock;
};

#endif
