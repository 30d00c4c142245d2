// The server side: a Connector listens on a port on the first coms thread,
// accepts sockets (optionally handling each in a forked child), starts TLS
// and hands each connection to its listener once the client has said what
// it is. The address whitelist and the kill switch that the server handshake
// applies live here too.
#ifndef DRV_COMS_CONNECTOR_H
#define DRV_COMS_CONNECTOR_H

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <string>

#include "common/sem.h"
#include "common/thread_context.h"
#include "coms/connection.h"

// Thread-safety: a Connector lives on the first coms thread; create, bind
// and destroy may be called from any thread (they run there), destroy also
// from inside a call of the connector's own listener: the listener is called
// with no lock of the connector held. The whitelist and the kill switch are
// process-wide and thread-safe.
class Connector;
class FdEvent;
class TimerEvent;

class ConnectorListener {
public:
    virtual ~ConnectorListener() = default;
    // A client announced its type: true accepts it (the listener usually sets
    // the connection's listener here), false refuses it with C_AUTHFAIL.
    // Runs on the connection's coms thread.
    virtual bool newConnection(Connection* connection, int type) = 0;
    // An attempt to bind failed with errno err. attempt counts from 1;
    // willRetry says whether another attempt follows after pauseMs (only
    // while the address is in use). For programs that tell a person why they
    // are waiting; the log has the same. Runs on the first coms thread.
    virtual void onBindFailed(int err, int attempt, int attempts, int pauseMs, bool willRetry) {
        (void)err, (void)attempt, (void)attempts, (void)pauseMs, (void)willRetry;
    }
};

class Connector final : public EventHandler {
public:
    // Each accepted socket is handled in a forked child process.
    static constexpr int FLAG_FORK = 1;
    // No TLS: accepted connections are plain.
    static constexpr int FLAG_PLAIN = 2;
    static constexpr int kNameLength = 40;
    static constexpr int kDefaultBindAttempts = 20;
    static constexpr int kDefaultBindPauseMs = 4000;
    // The version a server announces in C_COMPLETE2 unless told otherwise.
    static constexpr int kDefaultServerVersion = 1;

    // Starts the coms threads if needed and constructs the connector on the
    // first of them. The certificate and key are referenced, not taken.
    static Connector* create(ConnectorListener* listener, X509* cert, EVP_PKEY* key, int flags);
    // Closes the listening socket on the first coms thread and forgets the
    // listener: once it returns the listener is called no more, and a client
    // that announces its type later is refused. Calls of the listener under
    // way on other threads are waited for; a destroy from inside a call of
    // the listener does not wait for that call, which runs to its end.
    // Connections it accepted keep the connector (each holds a reference);
    // the last one deletes it.
    static void destroy(Connector* connector);
    // Taken by each connection it accepts, for as long as the connection lives.
    void addRef() { _refs.fetch_add(1, std::memory_order_relaxed); }
    static void releaseRef(Connector* connector);

    // Binds on the first coms thread (waiting for the result): 0 or -1. The
    // port is a decimal number or a service name; "0" lets the system choose
    // a free port (see getPort). A destroy while the bind waits for a busy
    // port ends it with -1 at its next attempt; the bind keeps the connector
    // until then.
    int bind(const char* port);
    // The address to listen on (IPv4 text) before bind; all addresses by default.
    void setBindAddress(const char* address);
    // The port actually bound, 0 before bind.
    int getPort() const { return _boundPort; }

    // Forwards to the listener; refuses when there is none (or no longer).
    bool newConnection(Connection* connection, int type);

    const char* getName() const { return _name; }
    int getFlags() const { return _flags; }
    // The server context, null for plain connectors or when the certificate
    // or key could not be used.
    SSL_CTX* getSslContext() const { return _ctx; }
    void setServerVersion(int version) { _serverVersion = version; }
    int getServerVersion() const { return _serverVersion; }

    void handleEvent(Event* e) override;

    // ---- process-wide --------------------------------------------------
    // Orders clients of type 333 (on connecting) and 550 (at their next
    // heartbeat) to stop.
    static std::atomic<bool> _killAllClients;
    // Replaces the whitelist ("rule, rule, ..."); null removes it and with it
    // every check.
    static void setUXWhitelist(const char* text);
    static bool hasWhitelist();
    // Whether an IPv4 address text passes the whitelist in force.
    static bool passesWhitelist(const char* address);
    // Checks address against one whitelist text (as passesWhitelist does).
    static bool checkWhitelist(const char* whitelist, const char* address);
    // The first rule of a whitelist text that can never match (the check
    // skips such rules with a warning), with the reason; false when every
    // rule is usable. For programs that take rules from their users.
    static bool findBadWhitelistRule(const char* whitelist, std::string* rule, std::string* reason);
    // How many times a bind is tried while the port stays in use, and the
    // pause between tries (defaults 20 and 4000 ms); shared with the stream
    // connector.
    static void setBindRetry(int attempts, int pauseMs);
    static int bindAttempts();
    static int bindPauseMs();

    // Called once on the first coms thread when its context is built.
    static void createOpTargets(Connection::ComsThreadContext* ctx);

private:
    friend class ConnectorOps;

    Connector(ConnectorListener* listener, X509* cert, EVP_PKEY* key, int flags);
    ~Connector();
    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;

    // The bound socket listens: accept from it (first coms thread); false,
    // with the socket closed, once the connector was destroyed.
    bool listening(int socket);
    void acceptOne();
    // Stops accepting (first coms thread).
    void shutdown();
    // Clears the listener and waits until no call of it is under way, but
    // for the one the calling thread may be in (any thread).
    void forgetListener();
    // Runs call(listener) with the listener in force and no lock held;
    // false when there is none (any more).
    template <class Call>
    bool callListener(Call call);

    // The listener and the number of its calls under way. The block is not
    // held during a call, so that the listener may destroy the connector.
    CondBlock _listenerBlock;
    ConnectorListener* _listener GUARDED_BY(_listenerBlock);
    int _listenerCalls GUARDED_BY(_listenerBlock);
    // The owner's reference and one for each connection accepted.
    std::atomic<int> _refs{1};
    // Set by shutdown: a bind still under way gives up.
    std::atomic<bool> _closed{false};
    int _flags;
    SSL_CTX* _ctx;
    int _socket;
    FdEvent* _readEvent;
    // Re-arms accepting after the process ran out of descriptors.
    TimerEvent* _retryTimer;
    char _name[kNameLength + 1];
    char _traceName[kNameLength + 16];
    char* _bindAddress;
    int _boundPort;
    int _serverVersion;

    static char* _whitelist;
    static CriticalBlock _whitelistLock;
};

#endif
