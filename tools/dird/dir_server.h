// DirServer: the directory server. It listens with a Connector (TLS, the
// whitelist honoured) and gives every accepted connection a DirSession by
// the type the client announced:
//
//   333  login: the login exchange issues a session certificate
//   336  enrolment: add, remove, identify, certificate upgrade
//   448  directory clients (remote providers): the M_* requests, answered
//        from the domain root (dird_root.h) and the host's providers, or
//        relayed to an agent (the masquerade form, code + 10000)
//   550  agents calling in: they serve their own providers over the
//        connection, and the server relays clients' requests to them
//
// Clients of types 448 and 550 must present a certificate the domain's CA
// issued (a session or an agent certificate); the principal of a client
// session is made from it, never taken from its requests.
//
// Received messages are handled on a pool of worker threads ("dird-work"),
// never on the coms thread that received them; replies go back through the
// connection's own send path. Operations run through the execution thread
// (Directory::execute's machinery) so that lengthy ones report progress
// ("M_EXECUTE_UPDATE") and answer later.
//
// Ownership: the server owns its state, root provider, directory,
// connector, worker pool and sessions; a session holds a lock on its
// connection until the last job that uses it is done. Sessions may outlive
// the server (an answer or a confirmation still queued on the execution
// thread holds one): what they do then reaches only their connection and
// the shared counters. A stop() that found the execution thread held by a
// provider leaves the state, root provider and directory behind for good.
//
// Thread-safety: start and stop from one thread; everything else from any
// thread. The session table, the relay table and a session's own tables
// (its searches, its listeners) are guarded by their own locks, taken alone.
#ifndef DRV_TOOLS_DIRD_DIR_SERVER_H
#define DRV_TOOLS_DIRD_DIR_SERVER_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/periodic_thread.h"
#include "common/sem.h"
#include "common/thread_annotations.h"
#include "coms/coms_barrier.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "dir/dir_protocol.h"
#include "dirbase/enumeration.h"
#include "tools/dird/login_throttle.h"

class Directory;
class DirectoryEnumeration;
class DirectoryObject;
class DirectorySPI;
class DirdRootSPI;
class DirdState;
class DirServer;
class Message;
class Principal;
class DirWorkPool;
class RelayedListenerRequest;

struct DirServerOptions {
    std::string stateDir;
    // The domain of a new state folder (ignored, or checked, for an existing one).
    std::string domain;
    std::string port = "14000";
    std::string bindAddress;
    // "rule, rule, ..." (coms/connector.h); empty: no whitelist.
    std::string whitelist;
    int workers = 4;
    // Entries per "M_SEARCH_PARTIAL_REPLY".
    int partialEntries = 64;
    // How long a relayed request waits for the agent's answer.
    int relayTimeoutMs = 40000;
    // A client may have this many messages waiting for a worker, and this
    // many bytes of answers waiting to go out (it does not read them). Past
    // either, its session is closed: what it sends or leaves unread would
    // otherwise pile up in this process without bound.
    int maxWaitingRequests = 4096;
    size_t maxUnreadBytes = 64u << 20;
    // What one client session may have this server hold for it: relayed
    // requests not yet answered, and listeners (those relayed to agents and
    // those on this server's own providers, each). Past a cap the request
    // is refused at once and nothing is kept for it, so that one client
    // cannot fill this process's memory. A client keeps a few requests in
    // hand (the load script one per session) and a listener per thing it
    // watches: as many as may wait for a worker is far beyond that, and
    // still only a few MB of records a session.
    int maxRelaysPerSession = 4096;
    int maxListenersPerSession = 4096;
    // A login or enrolment connection is one short exchange, open to
    // anyone: after this long it is closed, answered or not.
    int exchangeSessionMs = 60000;
    // Listen for clients (an agent that only calls its server need not).
    bool listen = true;
    // How long stop() waits for the execution thread to end the operations
    // still running. Past it (a provider's operation hangs), the server's
    // directory, root provider and state are left behind, never freed, so
    // that the operation finds them when it returns.
    int stopWaitMs = 10000;
};

// The server's counters. Work the server started that may finish after it
// is gone (an operation a provider answers later) counts through these,
// held by a shared reference, never through the server.
struct DirServerCounters {
    std::atomic<long long> requestsServed{0};
    std::atomic<long long> errorsAnswered{0};
    std::atomic<long long> malformedMessages{0};
    // Executes handed to the execution thread and not yet answered.
    std::atomic<int> executesRunning{0};
};

// One accepted (or, in agent mode, initiated) connection.
class DirSession : public ConnectionListener, public std::enable_shared_from_this<DirSession> {
public:
    enum Kind { KIND_LOGIN = 333, KIND_ENROL = 336, KIND_CLIENT = 448, KIND_AGENT = 550, KIND_UPSTREAM = -1 };

    // Takes a lock on connection and ownership of principal.
    DirSession(DirServer* server, Connection* connection, Kind kind, Principal* principal, const std::string& agent);
    ~DirSession() override;

    int onReceive(Connection* connection, Message* message) override;
    void onNoConnect(Connection* connection, int code) override;
    void onLost(Connection* connection) override;
    void onClosed(Connection* connection) override;
    void onConnectComplete(Connection* connection) override;

    // Sends on the session's connection (taking message); false when it is gone.
    bool send(Message* message);
    // Handles one received message (on a worker thread). Defined by concern
    // in dird_requests.cpp, dird_login.cpp and dird_relay.cpp.
    void handle(Message* message);

    Kind kind() const { return _kind; }
    Connection* connection() const { return _connection; }
    const Principal* principal() const { return _principal.get(); }
    const std::string& agent() const { return _agent; }
    bool isClosed() const { return _closed.load(); }
    // The client asked for more than it takes in: it has too many requests
    // waiting for a worker, or leaves too many answers unread. Nothing more
    // is taken from it or sent to it, and the sweeper closes the session.
    bool isOverrun() const { return _overrun.load(); }
    // When the session began (ms, monotonic).
    long long openedMs() const { return _openedMs; }
    // A received message was handled (or dropped) by the workers.
    void requestDone() { _waiting--; }
    // The handshake finished (sessions this process initiated).
    bool isConnected() const { return _connected.load(); }
    // Ends the session: no more sends, the connection is destroyed once the
    // jobs using it are done.
    void close();

    // What the relay table holds for this client, counted under the
    // server's relay lock as records are added and dropped (no scan). The
    // records share it, so that one dropped after the session went still
    // finds it; each session has its own, so it also names the session in
    // the table without a pointer that could be reused.
    struct Held {
        int relays = 0;
        int listeners = 0;
    };
    const std::shared_ptr<Held>& held() const { return _held; }

    // A search whose later parts wait for the client's acknowledgement.
    struct PendingSearch {
        std::unique_ptr<DirectoryEnumeration> results;
        int sent = 0;  // entries sent so far
    };

private:
    // dird_requests.cpp
    void handleRequest(Message* m, int code);
    void handleSearch(DirProtocol::Request& req, const Principal* principal);
    // The next part of a partial search; *finished for the last.
    Message* nextSearchPart(long long id, PendingSearch* search, bool* finished);
    void handleAck(long long id);
    void handleListen(DirProtocol::Request& req, const Principal* principal);
    void replyError(int code, long long id, int error);
    // dird_login.cpp
    void handleLogin(Message* m, int code);
    // 0 with the user's security text, or 20: a wrong password, or too many
    // of them lately from this peer (login_throttle.h).
    int checkPassword(const std::string& user, const std::string& password, std::string* security);
    void handleEnrol(Message* m, int code);
    void replyEnrol(int code, int result, const std::string& text);
    // dird_relay.cpp
    void handleMasquerade(Message* m, int code);
    void handleAgentReply(Message* m, int code);
    // Marks the session overrun (logged once, with why).
    void overrun(const char* why);
    // A request refused past one of the session's caps: logs it, the first
    // time for that cap only, so that a flood of them does not flood the log.
    enum Cap { CAP_RELAYS = 1, CAP_RELAYED_LISTENERS = 2, CAP_LISTENERS = 4 };
    void refusedPastCap(Cap cap, int limit);

    DirServer* _server;
    Connection* _connection;
    Kind _kind;
    // The server's limit, kept here: send() runs on the execution thread
    // too, possibly once the server is gone.
    size_t _maxUnreadBytes;
    std::unique_ptr<Principal> _principal;
    std::string _agent;  // the asset id of an agent session
    std::atomic<bool> _closed{false};
    std::atomic<bool> _connected{false};
    std::atomic<bool> _overrun{false};
    long long _openedMs;
    // Messages received and not yet handled by a worker.
    std::atomic<int> _waiting{0};
    CriticalBlock _searchLock;
    std::map<long long, std::unique_ptr<PendingSearch>> _searches GUARDED_BY(_searchLock);
    std::shared_ptr<Held> _held = std::make_shared<Held>();
    // The listeners this client holds on the server's own providers, by
    // provider and listener id: a provider keeps one record per listener id
    // of a connection, so these bound the records. They stay until the
    // session ends, as the records do.
    CriticalBlock _listenLock;
    std::set<std::pair<const DirectorySPI*, int>> _listening GUARDED_BY(_listenLock);
    // The caps already logged (Cap bits).
    std::atomic<int> _capsLogged{0};
};

class DirServer : public ConnectorListener {
    // First: the public counters below refer into it.
    std::shared_ptr<DirServerCounters> _counters;

public:
    explicit DirServer(const DirServerOptions& options);
    ~DirServer() override;
    DirServer(const DirServer&) = delete;
    DirServer& operator=(const DirServer&) = delete;

    // Opens the state folder, starts the server directory over hostRoot
    // (the host's root provider: the federated providers of this machine),
    // the workers and the connector. False with *error set.
    bool start(DirectorySPI* hostRoot, std::string* error);
    // The port bound (0 before start).
    int port() const;
    // Refuses new connections, closes every session, stops the workers and
    // ends the operations still running (waiting at most stopWaitMs for
    // the execution thread). Nothing that runs later reaches the server.
    void stop();

    bool newConnection(Connection* connection, int type) override;
    void onBindFailed(int err, int attempt, int attempts, int pauseMs, bool willRetry) override;

    // ---- used by the sessions ----
    DirdState* state() { return _state.get(); }
    LoginThrottle* logins() { return &_logins; }
    DirdRootSPI* root() { return _root.get(); }
    Directory* directory() { return _directory; }
    const DirServerOptions& options() const { return _options; }
    void queue(const std::shared_ptr<DirSession>& session, Message* message);
    void forget(DirSession* session);
    // The agent session of an asset, or null.
    std::shared_ptr<DirSession> agentSession(const std::string& assetId);
    // Agent mode: calls the directory server at host:port as agent (type
    // 550, with the certificate the domain issued to this asset) and serves
    // this machine's providers to it over that connection. Returns at once;
    // upstreamConnected() tells when the server took it.
    bool connectUpstream(const char* host, const char* port, X509* cert, EVP_PKEY* key);
    bool upstreamConnected() EXCLUDES(_sessionLock);
    // Whether an upstream connection exists or is being made.
    bool upstreamAlive() EXCLUDES(_sessionLock);

    // Relayed requests: the id used towards the agent, by which its answer
    // finds the client and the client's own id.
    struct Relay {
        std::weak_ptr<DirSession> client;
        // The agent session the request went to: only its answers are taken.
        std::weak_ptr<DirSession> agent;
        int code;  // of the request
        long long clientId;
        int listenerId;        // a relayed listener: the client's listener id
        bool persistent;       // listeners stay until the client goes
        long long deadline;    // ms (monotonic); 0 for listeners
        std::shared_ptr<DirSession::Held> held;  // the client's
    };
    // The id of the new relay, or 0 when its client has as many relays in
    // hand as it may (nothing is recorded then).
    long long addRelay(const Relay& relay) EXCLUDES(_relayLock);
    // The relay of that id, when it went to the agent session from (any
    // agent when from is null); false when there is none. Removed unless
    // keep (or persistent).
    bool takeRelay(long long id, const std::shared_ptr<DirSession>& from, bool keep, Relay* out);
    // The relay of a client's request id (a search being acknowledged) and
    // the agent session it went to.
    bool findRelayOf(const DirSession* client, long long clientId, long long* relayId,
                     std::shared_ptr<DirSession>* agent);
    // Relayed listeners by the id the agent knows them by; found only for
    // the agent session they went to. A client's listener opened again
    // towards the same agent keeps the id it was given. The request (of
    // code, M_OPEN_LISTENER or M_OPEN_LISTENER2) is kept to open the
    // listener again when the asset calls in again. 0 when it would be a new
    // record past the client's cap (nothing is recorded then).
    int addRelayedListener(const std::shared_ptr<DirSession>& client, int clientListenerId,
                           const std::shared_ptr<DirSession>& agent, const std::string& assetId, int code,
                           const std::shared_ptr<const RelayedListenerRequest>& request) EXCLUDES(_relayLock);
    // The asset's agent called in again as session agent: the listeners
    // relayed to its earlier sessions (gone or not) move to this one and
    // are opened on it again, under the ids they had.
    void reopenRelayedListeners(const std::string& assetId, const std::shared_ptr<DirSession>& agent)
        EXCLUDES(_relayLock);
    bool findRelayedListener(int agentListenerId, const std::shared_ptr<DirSession>& from,
                             std::shared_ptr<DirSession>* client, int* clientListenerId);
    // Drops relays whose time passed (answering the client with 13), those
    // whose agent went away (answering 11) and those of clients gone. A
    // relayed listener stays while its client does: its agent may call in
    // again.
    void sweepRelays() EXCLUDES(_relayLock);
    // Frees the closed sessions whose coms thread is done with them; with
    // wait, all of them.
    void reapClosed(bool wait) EXCLUDES(_sessionLock);
    // Closes the sessions of clients that asked for more than they take in.
    void closeOverrun() EXCLUDES(_sessionLock);
    // Closes the login and enrolment sessions open longer than an exchange
    // takes.
    void closeLongExchanges() EXCLUDES(_sessionLock);

    // Counters for logs, tests and the load script.
    std::atomic<long long>& requestsServed;
    std::atomic<long long>& errorsAnswered;
    std::atomic<long long>& malformedMessages;
    const std::shared_ptr<DirServerCounters>& counters() const { return _counters; }
    int sessionCount() EXCLUDES(_sessionLock);
    // Relayed requests and relayed listeners held, for all clients.
    size_t relayRecords() EXCLUDES(_relayLock);

private:
    DirServerOptions _options;
    std::unique_ptr<DirdState> _state;
    std::unique_ptr<DirdRootSPI> _root;
    Directory* _directory = nullptr;
    Connector* _connector = nullptr;
    std::unique_ptr<DirWorkPool> _pool;
    std::unique_ptr<PeriodicThread> _sweeper;
    LoginThrottle _logins;

    // Gives the agent's asset the address it called in from, when it has none.
    void noteAgentAddress(const std::string& assetId, const char* address);

    CriticalBlock _sessionLock;
    std::map<DirSession*, std::shared_ptr<DirSession>> _sessions GUARDED_BY(_sessionLock);
    std::map<std::string, std::weak_ptr<DirSession>> _agents GUARDED_BY(_sessionLock);
    bool _stopping GUARDED_BY(_sessionLock) = false;
    std::weak_ptr<DirSession> _upstream GUARDED_BY(_sessionLock);
    // Sessions closed but perhaps still inside a callback on their coms
    // thread: each is freed once the barrier behind that callback passed.
    // Lock order: _sessionLock, then the delayed-event registry (posting
    // and looking up a barrier's marker).
    std::vector<std::pair<ComsBarrier, std::shared_ptr<DirSession>>> _closing GUARDED_BY(_sessionLock);

    // Answers each relay's client with error, in the relayed request's form.
    void answerRelays(const std::vector<Relay>& relays, int error);

    CriticalBlock _relayLock;
    std::map<long long, Relay> _relays GUARDED_BY(_relayLock);
    // The relays by client and the client's request id, for the
    // acknowledgements of relayed searches; an entry counts only while the
    // relay it names is there (a client may use an id again).
    std::map<std::pair<const DirSession::Held*, long long>, long long> _relayOf GUARDED_BY(_relayLock);
    std::map<long long, Relay>::iterator eraseRelay(std::map<long long, Relay>::iterator it) REQUIRES(_relayLock);
    long long _nextRelayId GUARDED_BY(_relayLock) = 1LL << 40;
    struct RelayedListener {
        std::weak_ptr<DirSession> client;
        int clientListenerId;
        std::weak_ptr<DirSession> agent;
        // The client's key in _relayedListenerOf (never dereferenced).
        const DirSession* clientKey;
        // What opens it again on a later session of the asset's agent.
        std::string assetId;
        int code;
        std::shared_ptr<const RelayedListenerRequest> request;
        std::shared_ptr<DirSession::Held> held;  // the client's
    };
    std::map<int, RelayedListener> _relayedListeners GUARDED_BY(_relayLock);
    // The same records by client session and the client's listener id, so
    // that a listener opened again is relayed under the id it has; an entry
    // counts only while the record it names is that client's.
    std::map<std::pair<const DirSession*, int>, int> _relayedListenerOf GUARDED_BY(_relayLock);
    void eraseRelayedListener(std::map<int, RelayedListener>::iterator it) REQUIRES(_relayLock);
    int _nextRelayedListener GUARDED_BY(_relayLock) = 1 << 24;
};

// Installs the sender of listener updates for records held for remote
// clients ("M_LISTENER_UPDATE", "M_LISTENER_UPDATE2"), unless one is set.
void dird_installListenerUpdateSender();

#endif
