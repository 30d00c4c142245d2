// Connections: one TLS connection over TCP carrying control items and
// message frames. Each connection belongs to one coms thread for its whole
// life: socket work, events and listener callbacks all happen there, and the
// public operations called from other threads are posted to it through the
// thread's operation targets. Holders of a Connection* on other threads
// bracket their use with addLock/removeLock; destroy() deletes the
// connection once nobody holds it any more.
#ifndef DRV_COMS_CONNECTION_H
#define DRV_COMS_CONNECTION_H

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "common/daemon_thread.h"
#include "common/sem.h"
#include "common/thread_context.h"
#include "coms/control.h"

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

    static constexpr int kDefaultLost = 20000;      // ms, while timing is not enabled
    static constexpr int kDefaultHeartbeat = 4500;  // ms, while timing is not enabled
    static constexpr int kReadBufferSize = 16384;
    static constexpr int kMaxComsThreads = 32;
    static constexpr int kNameLength = 80;

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
    // (null returned). Plain connections run without TLS.
    static Connection* attach(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain);
    // Places a new connection: the context with the fewest connections (the
    // first such), whose count is raised.
    static ComsThreadContext* pickContext();
    // In a child forked to serve one socket: every connection the parent had
    // is dropped without a word to its peer (its socket copy closed, its
    // events off), so that the parent keeps its connections to itself.
    static void dropInheritedConnections();

    // ---- any thread ----------------------------------------------------
    // Takes the message in every case. -10 (deleted) unless the handshake is
    // complete and no close was sent; otherwise posted, 0.
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
    void setLatencyProbing(bool on) { _latencyProbing = on; }
    // The local address to connect from (an IPv4 text), or null for any.
    void setBindAddress(const char* address);

    const char* getName() const { return _name; }
    const char* getPeerAddress() const { return _peer; }
    int getType() const { return _type; }
    int getTypeVersion() const { return _typeVersion; }
    int getFlag() const { return _flag; }
    int getServerVersion() const { return _serverVersion; }
    bool isComplete() const { return _complete; }
    bool isAccepted() const { return _accepted; }
    bool isPlain() const { return _plain; }
    bool isTimingEnabled() const { return _timingEnabled; }
    int getMode() const { return _mode; }
    int getLost() const { return _t_lost; }
    int getHeartbeat() const { return _t_heartbeat; }
    int getLatency() const { return _latency; }
    int getDrift() const { return _drift; }
    long long getBytesSent() const { return _bytesSent; }
    long long getBytesReceived() const { return _bytesReceived; }
    // Bytes waiting in the write queue (read on the coms thread).
    size_t getQueuedBytes() const { return _queuedBytes; }
    int getLockCount();
    Connector* getConnector() const { return _connector; }
    ComsThreadContext* getContext() const { return _context; }
    // The peer's certificate once the handshake is done (not a new reference).
    X509* getPeerCertificate() const { return _peerCert; }

    void handleEvent(Event* e) override;

private:
    friend class ComsThreadContext;
    friend class ConnectionOps;
    // A queued piece of output: a copy of small writes, or a part of a
    // message's own buffer (the block that holds its last part owns it).
    struct WriteBlock {
        WriteBlock* next;
        size_t length;
        size_t offset;  // bytes already written
        const unsigned char* bytes;
        Message* owner;
        unsigned char data[1];
    };
    struct Op;

    Connection(ComsThreadContext* ctx, const char* host, const char* port, X509* cert, EVP_PKEY* key, int type);
    Connection(ComsThreadContext* ctx, Connector* connector, int socket, const char* peer, bool plain);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    static void deleteNow(void* connection);

    // Operations run on the coms thread.
    int doConnect();
    void doSend(Message* message);
    void doClose();
    void doDestroy();
    void doSetTiming();

    void createEvents();
    int installClientCertificate();
    void continueHandshake();
    void handshakeDone();
    void buildConnectionInfo();
    void doReadEvent();
    void consume(const unsigned char* data, size_t n);
    void dispatch(ControlItem& item);
    void serverHandshake(const ControlItem& item);
    void deliver(Message* message);
    void onHeartbeatTimer();
    void onLostTimer();
    void handleSSLError(int result, int mode);
    void handleSyscallError(int err);
    void cleanup(bool inDtor);
    void lostConnection();

    // The write path.
    void writeBytes(const void* bytes, size_t n);
    void writeDirect(const unsigned char* bytes, size_t n);
    // Writes what the socket takes now; the count written. A block that
    // could not go at all is to be offered again, unchanged.
    size_t writeNow(const unsigned char* bytes, size_t n);
    void queueBytes(const unsigned char* bytes, size_t n);
    WriteBlock* queueReference(const unsigned char* bytes, size_t n);
    static void freeBlock(WriteBlock* block);
    void writeLargeMessage(Message* message);
    void processWriteQueue();
    void writeCode(int code);
    void writeU32(uint32_t v);
    void writeU8(int v);
    void sendTiming();
    void sendNow(int code);
    int rawWrite(const unsigned char* bytes, size_t n);
    void afterWrite();
    // Puts the socket under the TLS object, with writes gathered in a buffer
    // that goes to the socket in large pieces.
    void attachSocket();
    // Sends what the TLS layer has gathered. False while the socket pushes
    // back (the write event then finishes it).
    bool flushTls();
    // Batching for the send target: writes gather in a buffer until flushed.
    void cork();
    void uncork();

    // Listener calls, with the in-callback flag set.
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
        _inCallback = true;
        call(l);
        _inCallback = false;
    }

    void releaseDestroyLock();
    int lostTimeout() const;
    int heartbeatInterval() const;

    ComsThreadContext* _context;
    std::atomic<ConnectionListener*> _listener;
    Connector* _connector;

    char _name[kNameLength + 1];
    char* _host;
    char* _port;
    char* _peer;
    char* _bindAddress;
    uint32_t _address;  // network byte order
    bool _resolved;
    bool _resolveStarted;
    int _resolveError;
    bool _inDoConnect;
    int _socket;
    SSL* _ssl;
    SSL_CTX* _clientCtx;
    X509* _peerCert;
    X509* _cert;
    EVP_PKEY* _key;
    std::atomic<int> _mode;

    FdEvent* _readEvent;
    FdEvent* _writeEvent;
    TimerEvent* _heartbeatTimer;
    TimerEvent* _lostTimer;

    int _type;
    int _typeVersion;
    int _flag;
    std::atomic<int> _serverVersion;
    bool _forceVersionZero;
    bool _plain;
    bool _sentType2;  // the handshake used C_TYPE2 (sent or received)

    std::atomic<bool> _complete;
    std::atomic<bool> _closeSent;
    bool _cleanupCalled;
    bool _accepted;
    bool _inCallback;
    bool _destroyPending;
    bool _waitingDestroy;   // guarded by _lockBlock
    bool _deleteScheduled;  // guarded by _lockBlock
    bool _latentDestroy;
    std::atomic<bool> _timingEnabled;
    bool _latencyProbing;
    bool _closeAfterWrite;
    bool _handshakeDone;
    bool _flushPending;
    // Sends, timing changes and closes posted and not yet run: a destroy
    // waits for them, so that what was sent before it still goes out.
    std::atomic<int> _opsPending;
    bool _destroyAfterOps;

    std::atomic<int> _t_lost;
    std::atomic<int> _t_heartbeat;
    std::atomic<int> _latency;
    std::atomic<int> _drift;
    long _lastRead;

    ControlDecoder _decoder;

    WriteBlock* _queueHead;
    WriteBlock* _queueTail;
    std::atomic<size_t> _queuedBytes;
    unsigned char* _corkBuffer;
    size_t _corkUsed;
    size_t _corkCapacity;
    bool _corked;

    std::atomic<long long> _bytesSent;
    std::atomic<long long> _bytesReceived;
    unsigned char* _readBuffer;

    int _lockCount;
    CriticalBlock _lockBlock;

    char* _info;

    // Every connection of the process, for dropInheritedConnections.
    Connection* _allNext;
    Connection* _allPrev;
    void enlist();
    void delist();

    static void infoCallback(const SSL* ssl, int where, int ret);
};

// One coms thread's share of the work: its event loop, its operation targets
// and the number of connections placed on it. Constructed on the thread it
// serves; owner's later list deletes connections off their event handlers.
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

    OpTarget* connectionTarget;
    OpTarget* attachTarget;
    OpTarget* connectTarget;
    OpTarget* sendTarget;
    // The send target itself: a close must follow the sends before it.
    OpTarget* closeTarget;
    OpTarget* destroyTarget;
    OpTarget* releaseTarget;
    // On the first thread only: the connectors' construction and binding.
    OpTarget* connectorTarget;
    OpTarget* bindTarget;

private:
    DaemonThread* _owner;
    int _index;
    int _connections;
    ThreadContext* _tc;
    TimerEvent* _laterTimer;
};

#endif
