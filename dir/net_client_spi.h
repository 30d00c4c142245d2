// NetClientSPI: the directory provider that stands for a remote domain server
// or a remote asset (an agent). It owns at most one connection to its peer,
// keeps (re)connecting on a timer, checks the peer's certificate against the
// public key on file, answers directory calls by sending the directory
// messages (dir_protocol.h) and waiting for their replies, sends
// asynchronous resolves and executes for the execution thread, and carries
// the alert, event, statistics and unique-id traffic of the peer. In a
// server process it can also adopt a connection that an agent opened
// towards it (a reversed connection), or relay requests to an agent for
// another client (proxy).
//
// Threads: every provider's timer, start, lost, call-home and alert work runs
// on one process-wide "dir-client" thread. Connection callbacks arrive on coms
// threads (through a ProviderLink, so that a provider being deleted is never
// called). Directory calls come from any thread, asynchronous ones from the
// execution thread.
//
// Ownership: the provider list owns providers; a provider owns its
// connection, strings, keys, attributes and asset copy. Alert listeners and
// the managed listener belong to their callers.
//
// Thread-safety: the connection state (connection and flags) is guarded by
// `state`, which also serialises sends; the unique-id block by `idBlock`;
// the connect-attempt condition by `attempt`. The provider's own lock
// (DirectorySPI::lock, for _locks) is never held while `state` is taken.
// Lock order: state before a connection's own locks; no registry lock is
// held while state is held, except the DelayedEvent registry taken by
// lockById inside the receive path (never the other way round). The input
// list lock is taken alone, except that an input's own data lock is taken
// under it to feed it.
#ifndef DRV_DIR_NET_CLIENT_SPI_H
#define DRV_DIR_NET_CLIENT_SPI_H

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/sem.h"
#include "common/thread_annotations.h"
#include "common/thread_context.h"
#include "coms/connection.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"

class Asset;
class Attributes;
class DelayedEvent;
class Directory;
class Endpoint;
class Input;
class Message;
class ProviderLink;

// Alert viewers riding on a provider; called on the "dir-client" thread.
class AlertListener {
public:
    virtual ~AlertListener() = default;
    // Takes the alert.
    virtual void alertUpdate(Translatable* alert) = 0;
    virtual void alertClear(const char* alertId) = 0;
    virtual void connected() = 0;
    virtual void disconnected() = 0;
    virtual void startSync() = 0;
    virtual void endSync() = 0;
};

// Request ids in ascending order, kept in one vector: ids are handed out in
// sequence, so an insert is nearly always an append, and a set of a few
// hundred outstanding ids costs no allocation per request. Not thread-safe.
class RequestIdSet {
public:
    using const_iterator = std::vector<long long>::const_iterator;
    void insert(long long id) {
        if (_ids.empty() || _ids.back() < id) {
            _ids.push_back(id);
            return;
        }
        auto at = std::lower_bound(_ids.begin(), _ids.end(), id);
        if (at == _ids.end() || *at != id) _ids.insert(at, id);
    }
    // True when id was in the set.
    bool erase(long long id) {
        auto at = std::lower_bound(_ids.begin(), _ids.end(), id);
        if (at == _ids.end() || *at != id) return false;
        _ids.erase(at);
        return true;
    }
    bool contains(long long id) const { return std::binary_search(_ids.begin(), _ids.end(), id); }
    void clear() { _ids.clear(); }
    size_t size() const { return _ids.size(); }
    const_iterator begin() const { return _ids.begin(); }
    const_iterator end() const { return _ids.end(); }

private:
    std::vector<long long> _ids;
};

// The embedding server's view of one managed asset.
class ManagedConnectionListener {
public:
    virtual ~ManagedConnectionListener() = default;
    virtual void alertUpdated(const char* assetId, Translatable* alert) = 0;
    virtual void alertCleared(const char* assetId, const char* alertId) = 0;
    virtual void syncStarted(const char* assetId) = 0;
    virtual void agentConnected(const char* assetName, const char* assetId, const char* peer) = 0;
    virtual void agentVerified(const char* assetId) = 0;
    virtual void agentDisconnected(const char* assetId) = 0;
    virtual void agentRemoved(const char* assetId) = 0;
    virtual void agentError(const char* assetId, const char* text) = 0;
};

// The clean-up of an input opened by M_READ_REMOTE_FILE_REPLY: takes it off
// NetClientSPI::_inputList as it is destroyed.
void NetClientCleanupHandler(Input* input);

class NetClientSPI : public DirectorySPI, public ConnectionListener, public EventHandler, public FutureResultListener {
public:
    // Timer periods (ms) of the connect algorithm.
    static const int kFirstRun = 1;
    static const int kSkipPass = 3000;
    static const int kAfterAttempt = 6000;
    static const int kManagedBackoff = 45000;
    static const int kReversedCheck = 6000;
    static const int kConnectionType = 448;
    // How long a synchronous call waits for its reply (ms), and for a
    // connection; tests shorten it.
    static std::atomic<int> _netclient_timeout;
    // A search answered in parts gets more time with each part, but not
    // without end: once its first part is this many time-outs old, a part
    // that is not the last fails it with 13; and it fails with 39 once it
    // has gathered more than _maxSearchEntries entries (tests lower it).
    static const int kSearchPeriods = 10;
    static std::atomic<int> _maxSearchEntries;
    // Called by a synchronous call that has given up on its reply, just
    // before it returns; a seam for tests of replies that come too late.
    static void (*_gaveUpHook)(NetClientSPI* spi, DelayedEvent* event);

    // A domain provider. keyOnFile (may be null) is copied; key replaces the
    // domain identifier (the provider key, "D" + domain).
    NetClientSPI(Directory* directory, const char* domain, const char* host, const char* port,
                 Attributes* domainAttributes, const char* key, const EVP_PKEY* keyOnFile);
    // An asset provider, reached through masqThrough when it is set.
    NetClientSPI(Directory* directory, NetClientSPI* masqThrough, const char* domain, const Asset* asset,
                 const char* key, const Endpoint* endpoint);
    ~NetClientSPI() override;

    // ---- DirectorySPI ----
    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    // The synchronous form: sends and waits for the final reply.
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) override;
    int listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
               int listenerId) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    int openForRead(const Principal* principal, const DirectoryObject* object, const char* path,
                    Input** out) override;
    int openForWrite(const Principal* principal, const DirectoryObject* object, Output** out) override;
    bool isIdle() override;
    bool isNetworkSPI() override { return true; }
    void closeDirectory() override;
    char* toString() const override;

    // ---- ConnectionListener (coms thread) ----
    int onReceive(Connection* connection, Message* message) override;
    void onNoConnect(Connection* connection, int code) override;
    void onLost(Connection* connection) override;
    void onClosed(Connection* connection) override;
    void onConnectComplete(Connection* connection) override;
    void onResolveComplete(Connection* connection, int error, int address) override;
    // ---- the connect timer ("dir-client" thread) ----
    void handleEvent(Event* e) override;
    // ---- asset reload ----
    void onComplete(FutureResult* result) override;
    void onUpdate(FutureResult*, ExecuteUpdate*) override {}

    // ---- asynchronous forms (execution thread) ----
    // 11 at once when not connected; 0 once sent.
    int asyncResolve(DelayedEvent* event, const Endpoint* target, const Principal* principal,
                     DirectoryObject* current, const DirNameEntry* entry);
    int asyncExecute(const Principal* principal, DirectoryObject* current, const char* operation, Any** args,
                     long long id, Connection** used);

    // ---- relaying (server side) ----
    // Forwards request (read up to just after its id) under a new id and
    // waits for the peer's reply, handed back with origId as its id.
    int proxy(int messageType, long long origId, Message* request, Message** reply);
    // Adopts a connection an agent opened to this server (a reversed provider).
    void attachCallHome(Connection* connection);

    // ---- alerts, management, misc ----
    void addAlertListener(AlertListener* listener, const Principal* principal);
    void setManagedConnection(ManagedConnectionListener* listener);
    bool hasManagedConnection();
    void forceReset1();
    void forceReset2();
    void forceReset3();
    void resetKeys();
    // Unique ids from the peer, 20 at a time: 0 with the id, or the error.
    int localUniqueId(long long* id);
    int localMiniGuid(char* buffer, int size);
    long long localInstanceId();
    void processMQ(long long a, long long b, const char* data, unsigned long length);
    bool isReversed();
    // An asset reached through another provider or over its call-in
    // connection: its files are read through directory operations.
    bool readsThroughDirectory() { return masqThrough != nullptr || isReversed(); }
    // The peer's host and file-transfer port, as they stand now.
    bool fileService(std::string* hostOut, std::string* portOut) EXCLUDES(state);
    // The coms error of a failed connect to a directory code (and its text
    // for the managed listener); refused, unreachable and unknown-host
    // failures make the next two timer runs skip.
    int mapErrorCode(int comsError, const char** text);

    static void setMode(int mode) { _mode.store(mode); }
    static int getMode() { return _mode.load(); }

    const char* getAssetId() const;
    const char* assetAgentId() const;
    bool isConnected();
    int getLastError();
    const char* getName() const { return name; }
    // Marks id as a request of this provider waiting for a reply of
    // replyCode, as a call does when it sends, and takes the mark off: for
    // the fuzzer and tests, which have no peer to send a request to.
    void expectReply(long long id, int replyCode) EXCLUDES(state);
    void forgetReply(long long id) EXCLUDES(state);
    // What the provider keeps of the requests on its connection: calls and
    // resolves waiting for replies, executes sent, listeners opened.
    struct Outstanding {
        size_t calls;
        size_t executes;
        size_t listeners;
    };
    Outstanding outstanding() EXCLUDES(state);

    // Installs the remote-provider seam of the directory (Directory::_remote),
    // the listener-update sender and the asynchronous execute hook. Idempotent.
    static void install();
    // Stops the "dir-client" thread once every provider is gone (tests and
    // tools that end cleanly). Later providers start it again.
    static void stopThread();

    // Server hooks (set once by an embedding server).
    static int (*_handleIdentifyFn)(int code, const char* text);
    static bool _upgrade_certs;
    static void (*eventDispatcher)(Translatable* event);
    static void (*statDispatcher)(const char* a, const char* b, Translatable* statsFile);
    static void (*_dispatchMQ)(long long a, long long b, const unsigned char* data, uint32_t length);
    static Translatable* (*_authHelper)(const char* assetId, int kind, const char* a, const char* b);
    // The rule sets of a managed agent: the count (negative: none to send)
    // and a malloc'ed array of RuleSet objects in *ruleSets, both handed
    // over to the provider.
    static int (*_ruleHelperFn)(const char* assetId, Connection* connection, const Asset* asset,
                                Translatable*** ruleSets);

    // Remote files read over the directory protocol: the input that each
    // M_READ_REMOTE_FILE_REPLY opened, under the id of its request, fed by
    // the file-data messages of that id until it is destroyed (its clean-up,
    // NetClientCleanupHandler, takes it off). Process-wide, as the ids are.
    static CriticalBlock _inputListLock;
    static std::multimap<long long, Input*> _inputList GUARDED_BY(_inputListLock);

private:
    friend class ProviderLink;
    friend class NetClientThread;
    struct SyncCall;

    // Construction only: nothing else can see the provider yet.
    void initCommon(Directory* directory, const char* domain, const char* key) NO_THREAD_SAFETY_ANALYSIS;
    void start();
    void connectNow();
    // Waits for the connection as the directory calls do; 0 when connected,
    // else lastError or 11.
    int waitConnected();
    // Sends m on the current connection under the state mutex; takes m.
    int sendLocked(Message* m) REQUIRES(state);
    int sendMessage(Message* m);
    // Sends m and waits for the reply to event's id: replyCode is the code
    // of the answer the request expects (an error reply is always taken).
    // 0 with *value set, or the error (13 on time-out). The event leaves the
    // registry when the wait ends: what it holds then is final.
    int call(Message* m, DelayedEvent* event, int replyCode, void** value);
    // True when the request `id` of this provider takes a reply of `code`;
    // a final reply also ends the wait.
    bool takesReply(long long id, int code, bool final) EXCLUDES(state);
    void completeConnect(Connection* connection);
    // Sends the agent its rule sets from _ruleHelperFn, when that is set.
    void sendRuleSets(Connection* connection);
    // Drops the connection after a failure (certificate, lost, closed).
    void markBad(int error) REQUIRES(state);
    void wakeWaiters() REQUIRES(state);
    // Ends every waiting synchronous call with error and forgets the
    // listeners opened (the connection went).
    void failPendingCalls(int error);
    void signalAttempt();
    // Tells the managed listener, if any, why its agent cannot be reached.
    void reportAgentError(const char* text) EXCLUDES(listenersLock);
    // The timer dropped a connection that was still up (a forced reset):
    // what waited on it fails and its listeners are to be opened again.
    void endOfServingConnection();
    // Forgets the requests that ended without their reply (timed out, or
    // given up by their callers) and the listeners removed since they were
    // opened: their replies are then dropped like any stray, and a long
    // session keeps no record of them. Run by the connect timer.
    void pruneRecords() EXCLUDES(state);
    // Asks for the asset's record again after a failed connect, holding a
    // lock on the provider until the answer is in (onComplete).
    void reloadAsset();
    // Takes the address, key and file-transfer port of a fresh record
    // (null: none came).
    void takeAsset(const Asset* fresh);
    // Ends a reload: frees its request and session, then unlocks.
    void endReload(FutureResult* fr, Directory* via);
    // The domain attributes become {"ftPort": ftport}, as an asset's are.
    void setFileTransferPort(int ftport) REQUIRES(state);
    // The loss of c, on the dir-client thread; nothing when the provider
    // holds another connection by then (only compared, never used).
    void doLost(Connection* c);
    void doCallHome(Connection* connection);
    void handleAlertMessage(int code, std::vector<Translatable*>& alerts, const char* alertId);
    bool checkCertificate(Connection* connection);
    int localResolve(DirectoryObject* current, const DirNameEntry* entry, DirectoryObject*& out);
    int localAttributes(DirectoryObject* object, Attributes*& out);
    void receive(Connection* connection, Message* message);
    void touch() { lastUsed.store(time(nullptr)); }
    const char* masqAsset() const;
    // Tear the connection away from this provider and destroy it.
    static void dropConnection(Connection* c, ProviderLink* link, bool wait);

    // ---- connection state ----
    CondBlock state;
    Connection* connection GUARDED_BY(state);
    bool connected GUARDED_BY(state);
    bool mayConnect GUARDED_BY(state);
    bool connectBad GUARDED_BY(state);
    int lastError GUARDED_BY(state);
    bool domainAttributesPending GUARDED_BY(state);
    // When the pending domain attributes were asked for (monotonic ms).
    long long attributesAskedAt GUARDED_BY(state);
    // True when the domain attributes that complete the current connect
    // have not come within the request time-out.
    bool attributesOverdue() REQUIRES(state);
    // Ends a connect whose domain attributes are overdue as a connect that
    // timed out (41), to be dropped at the next timer run; true when it did.
    bool giveUpOnAttributes() EXCLUDES(state);
    // Requests waiting for replies on this provider's connection: the
    // synchronous calls, the asynchronous resolves and the relayed requests,
    // by id, with the code of the reply each can take (kRelayedReply for a
    // relayed request, which takes whatever comes, unread). A reply is
    // delivered only to a request of this provider that expects its kind:
    // delayed-event ids are process-wide, and a peer must not be able to hand
    // a waiter of another provider, or of another kind, an object it will
    // misread. An asynchronous resolve whose request ended unanswered is
    // pruned by the timer (pruneRecords).
    static const int kRelayedReply = 0;
    std::map<long long, int> pendingCalls GUARDED_BY(state);
    // Relayed requests outstanding, read without the lock by the receive
    // path, which looks for a relayed id only while there are some.
    std::atomic<int> proxyCount{0};
    // Executes sent on the current connection and not answered yet; they
    // fail with "Not connected" when the connection goes. Only these take
    // progress and results from this provider's peer: future-result ids are
    // process-wide. One whose request ended otherwise (time-out, or a
    // caller that destroyed its result) is pruned by the timer.
    RequestIdSet execIds GUARDED_BY(state);
    // Listeners opened on the current connection: only their confirmations
    // and updates are taken from this provider's peer, listener ids being
    // process-wide. Forgotten with the connection, whose registrations at
    // the peer go with it; a retry opens them again. A listener removed
    // from the directory is pruned by the timer.
    std::set<int> listenerIds GUARDED_BY(state);
    bool listensFor(int listenerId) EXCLUDES(state);
    ProviderLink* link;  // set once at construction

    CondBlock attempt;
    int attemptCount GUARDED_BY(attempt);

    // ---- unique ids ----
    CondBlock idBlock;
    long long instanceId GUARDED_BY(idBlock);
    long long ids[20] GUARDED_BY(idBlock);
    char* miniGuids[20] GUARDED_BY(idBlock);
    int idIndex GUARDED_BY(idBlock);
    int miniGuidIndex GUARDED_BY(idBlock);
    // How many entries of ids and miniGuids the last batch filled.
    int batchCount GUARDED_BY(idBlock);
    bool idRequestOutstanding GUARDED_BY(idBlock);
    int takeFromBatch(long long* id, char* buffer, int size) EXCLUDES(idBlock);
    // Asks the peer for a batch, which the caller marked outstanding; a
    // request that cannot be sent takes the mark off. 0 or the error.
    int requestBatch() EXCLUDES(idBlock);
    bool idsArrived GUARDED_BY(idBlock);
    // Batches received so far: tells a taker whose request lost its mark
    // whether an answer came (empty, say) or the request was dropped with
    // its connection.
    long long batchesReceived GUARDED_BY(idBlock);
    // Takes the mark off a batch request that went with its connection and
    // wakes the takers waiting for it, to ask again on the next one.
    void dropBatchRequest() EXCLUDES(idBlock);

    // ---- alerts and management (dir-client thread and callers) ----
    CriticalBlock listenersLock;
    std::vector<AlertListener*> alertListeners GUARDED_BY(listenersLock);  // newest first
    Principal* alertPrincipal GUARDED_BY(listenersLock);
    ManagedConnectionListener* managedListener GUARDED_BY(listenersLock);

    // ---- fixed after construction, or touched by the dir-client thread ----
    Attributes* domainAttributes GUARDED_BY(state);
    Attributes* agentAttributes GUARDED_BY(state);
    char* host GUARDED_BY(state);
    char* port GUARDED_BY(state);
    char* ftPort GUARDED_BY(state);
    EVP_PKEY* keyOnFile GUARDED_BY(state);
    bool certificateRequired GUARDED_BY(state);
    std::atomic<int> reconnectPass;
    TimerEvent* timer;  // dir-client thread only
    Directory* directory;
    // The session's certificate and key, referenced for the provider's life
    // (the session may end first).
    X509* certificate;
    EVP_PKEY* privateKey;
    char* domain;
    std::atomic<int> connectErrors;
    std::atomic<bool> resetting;
    std::atomic<time_t> connectedAt;
    std::atomic<time_t> lostAt;
    std::atomic<bool> closed;
    NetClientSPI* masqThrough;
    std::atomic<time_t> lastUsed;
    bool lostNotified;  // dir-client thread only
    char name[61];
    Asset* asset;  // immutable copy, or null
    // What an asset reload asks as, and where (see reloadAsset).
    Principal* reloadPrincipal;
    char* reloadDomain;
    std::atomic<bool> reloading;
    std::atomic<Directory*> reloadSession{nullptr};
    long long serial;  // the provider's number in the live registry

    static std::atomic<int> _mode;
};

#endif
