// Directory: the entry point of all directory operations. One Directory per
// login session or server instance walks names entry by entry and hands each
// step to a provider (DirectorySPI). Providers opened for domains, hosts,
// assets and endpoints are kept in one process-wide list keyed by what they
// serve, pinned by the sessions whose root they are, locked by the
// resolutions using them, and swept when idle. Local providers registered in
// the object registry are reached through objects of class "D" + their name.
//
// Ownership: a Directory owns its principal, root object, certificate, key
// and strings. The provider list owns its providers and keys. The session's
// root provider is owned by the list when it was opened for the session,
// otherwise by whoever handed it to startServerDirectoryService.
//
// Thread-safety: any thread may resolve names and run the synchronous
// operations on one Directory at once. Process-wide state is guarded by the
// provider lock (_providerCb: the list, pinCount, lockedSPI, disposePending)
// and the listener lock (_listenerCb). Order: the provider lock may be held
// while a provider's own lock or the listener lock is taken, never the
// reverse. The hooks are set once during start-up, before other threads run.
#ifndef DRV_DIR_DIRECTORY_H
#define DRV_DIR_DIRECTORY_H

#include <pthread.h>

#include <atomic>
#include <memory>

#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "common/sem.h"
#include "common/thread_annotations.h"
#include "dirbase/translatable.h"

class Acl;
class AlertListener;
class AuthListener;
class SecurityObject;
class Any;
class Asset;
class AsyncResolveHelper;
class Attributes;
class ClassEnumeration;
class DelayedEvent;
class Directory;
class DirName;
class DirNameEntry;
class DirectoryEnumeration;
class DirectoryListener;
class DirectoryObject;
class DirectorySPI;
class Endpoint;
class ExecuteUpdate;
class FutureResult;
class FutureResultListener;
class Input;
class ListenerEntry;
class ManagedConnectionListener;
class NetClientSPI;
class Connection;
class Output;
class Principal;
class ResolveContext;

// The directory's calls into the remote provider (NetClientSPI), kept behind
// an interface so that the resolution code does not depend on the network
// and tests can put a fake in its place. A client session installs the real
// one when none is installed; until then (a local or server directory of a
// process that has no client session) every step that needs a remote
// provider answers 11 ("Not connected"), as a remote provider that cannot
// reach its peer does.
class RemoteProviderSeam {
public:
    virtual ~RemoteProviderSeam() = default;
    // A new provider for a domain or "temp" entry (domain may be null); the
    // caller adds it to the provider list. Null when none can be made.
    virtual DirectorySPI* openDomain(Directory* directory, const char* domain, const char* host, const char* port,
                                     Attributes* domainAttributes, const char* key) = 0;
    // A new provider for an asset, reached through masq when it is set.
    virtual DirectorySPI* openAsset(Directory* directory, DirectorySPI* masq, const char* domain, const Asset* asset,
                                    const char* key) = 0;
    // The process-wide mode: 0 reaches masquerading assets through the
    // domain provider, 1 is a server whose masquerading assets connect in.
    virtual int getMode() = 0;
    // Sends a resolve of entry below current; the answer completes event.
    // 0 when sent, else the error.
    virtual int asyncResolve(DirectorySPI* spi, DelayedEvent* event, const Endpoint* target,
                             const Principal* principal, DirectoryObject* current, const DirNameEntry* entry) = 0;
    // Whether the provider holds a managed connection; its asset id or null.
    virtual bool hasManagedConnection(DirectorySPI* spi) = 0;
    virtual const char* assetIdOf(DirectorySPI* spi) = 0;
    // Whether the provider's asset has its files read through directory
    // operations (it is reached through another provider, or it called in)
    // rather than over a file-transfer connection of its own.
    virtual bool readsThroughDirectory(DirectorySPI*) { return false; }
    // The host and file-transfer port of the provider's asset (the port is
    // "14001" unless the asset gives one); false when spi is not a remote
    // provider.
    virtual bool fileServiceOf(DirectorySPI*, std::string* /*host*/, std::string* /*port*/) { return false; }
    virtual void forceReset1(DirectorySPI* spi) = 0;
    virtual void forceReset2(DirectorySPI* spi) = 0;
    virtual void forceReset3(DirectorySPI* spi) = 0;
    virtual void addAlertListener(DirectorySPI* spi, AlertListener* listener, const Principal* principal) = 0;
    virtual void setManagedConnection(DirectorySPI* spi, ManagedConnectionListener* listener) = 0;
    // Sets _routeMQ, _instanceIdFn, _uniqueIdFn and _miniGuidFn to the
    // forwarders of the first client provider (_initSpi).
    virtual void installClientHooks() = 0;
};

class Directory : public Translatable {
public:
    // One open provider, newest first.
    struct ProviderEntry {
        DirectorySPI* spi;  // owned by the list
        char* key;          // "D" + domain, "H" + host or asset id
        int pinCount;       // sessions using it as their root provider
        ProviderEntry* next;
    };

    // ---- Session construction and end ----
    // A client session over the domain's remote provider (shared with other
    // sessions of the same domain). Needs the remote provider library: null
    // with *err = 11 without it.
    static Directory* startClientDirectoryService(const char* domain, const char* host, const char* port,
                                                  X509* cert, EVP_PKEY* key, int* err);
    // A session of the process's own over the domain's open remote provider
    // (null when none is open), for requests a provider makes itself (an
    // asset reload). It runs as a copy of principal, holds the execution
    // thread like a client session, and its end logs nothing.
    static Directory* startInternalSession(const char* domain, const Principal* principal);
    // A server session whose root is the given local provider and whose
    // principal is the server principal; root "D" + domain (domain may be
    // null). Takes ownership of cert and key. Never null.
    static Directory* startServerDirectoryService(DirectorySPI* spi, X509* cert, EVP_PKEY* key, const char* domain,
                                                  int* err);
    // Registers the translators; 0.
    static int startProxyDirectoryService();
    // Login to a domain's directory server and the session it starts; see
    // dir/login.h (Login) for the exchange, the progress texts and codes.
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const char* password, AuthListener* listener, int* err);
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const SecurityObject* credential, AuthListener* listener, int* err);
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   X509* cert, EVP_PKEY* key, AuthListener* listener, int* err);
    static Directory* authenticateUsingSsh(const char* domain, const char* host, const char* port, const char* user,
                                           AuthListener* listener, int* err);
    static Directory* authenticateViaKeyChain(const char* domain, const char* host, const char* port,
                                              const char* user, const char* keychainPath, AuthListener* listener,
                                              int* err);
    // Registers every translator once; later calls do nothing.
    static void init();

    ~Directory() override;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Deletes the directory, or only marks it when a masquerade provider is
    // locked to it; testDispose deletes a marked one, and so does the end of
    // that provider. When that provider is the session's own root (a remote
    // domain provider locks its opener to itself), the session's pin on it
    // goes at once, so that it can idle out. testDispose may be given a
    // directory already deleted: it only looks it up among the live sessions.
    static void dispose(Directory* directory);
    static void testDispose(Directory* directory);
    // The provider through which masquerading assets are reached.
    void lockToSPI(DirectorySPI* spi);

    // ---- Principal in force ----
    // The calling thread runs as a copy of principal until revertUser.
    void substituteUser(const Principal* principal);
    void revertUser();
    // The thread's substituted principal, else the session's. The session's
    // stays alive while the result is held, also across a relogin that
    // replaces it; a substitution is not owned by the result (it lives until
    // this thread reverts it).
    std::shared_ptr<const Principal> findPrincipal() const;

    // ---- Synchronous operations (err receives 0 or the error code) ----
    Attributes* getAttributes(const DirName* name, int* err);
    Acl* getAcl(const DirName* name, int* err);
    ClassEnumeration* list(const DirName* name, int* err);
    // filter: the wanted attribute names (commas or spaces), null for all.
    DirectoryEnumeration* search(const DirName* name, const char* filter, int* err);
    // Reading and writing go through the file transfer service; null with
    // 21 until that service provides _openFile. A file of an asset reached
    // through another provider or over its own call-in connection is read
    // through "readBytes" operations instead (MasqInputReader): path names
    // the file (the remote path of the object reached when path is null),
    // and the Input must be deleted before this directory.
    Input* openForRead(const DirName* name, const char* path, int* err);
    Output* openForWrite(const DirName* name, int mode, int* err);

    // ---- Re-authentication through "/auth:" (waits for the result) ----
    // The operation's value (the caller's), or null with *err set.
    Any* authenticateAlternateUser(const char* user, int* err);
    // The returned principal replaces the session's; operations running
    // meanwhile keep the one they started with.
    void relogin(int* err);

    // ---- Name resolution ----
    // The domain part: opens or finds the provider of a "//" name's first
    // entry, or starts a "/" or relative name at the session's root.
    int resolveToDomain(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener);
    // Finds or opens the provider for a domain, temp, host, asset or
    // endpoint entry. With pending, an asset lookup that must wait stores its
    // future result there and answers 62.
    int openProvider(const DirNameEntry* entry, ResolveContext* rc, FutureResult** pending,
                     FutureResultListener* listener);
    // Resolves every entry; with arh, a remote provider's step is sent
    // asynchronously (31 until it completes).
    int resolveToObject(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener,
                        AsyncResolveHelper* arh);
    // Resolves all entries but the last (the search pattern or listener filter).
    int resolveForSearch(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener);
    // Switches the context to the registered provider of a "D" + name object.
    static void adjustSPI(ResolveContext* rc, DirectoryObject* object);
    // Force-resets the remote provider named by a "//" name's first entry.
    int resetDomain(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener, bool wait);

    // ---- Provider list ----
    // Marks unpinned, unlocked, idle providers without client listeners;
    // deletes those already marked. Then retries unconnected listeners.
    static void testIdleProviders();
    static DirectorySPI* findManagedSPI(const char* assetId);
    // Server side (remote provider library, net_client_seam.cpp): hands a
    // connection an agent opened to the provider of that agent id (false
    // when none has it); the provider of an asset with its lock count
    // raised (the caller removes the lock), or null; forgets the keys on
    // file of an asset's providers.
    static bool attachConnection(Connection* connection, const char* agentId, EVP_PKEY* key);
    static NetClientSPI* findProxy(const char* assetId);
    static void resetMasqProvider(const char* assetId);
    // The list entry whose provider is usable (not marked, not temporary)
    // and whose key matches, or null. The caller holds the provider lock.
    static ProviderEntry* findProviderLocked(const char* key) REQUIRES(_providerCb);
    // Pushes a provider at the head of the list (taking ownership).
    static void addProvider(DirectorySPI* spi, const char* key, int pinCount) EXCLUDES(_providerCb);
    // Lists a provider just opened under key, unless another one of that key
    // was listed while it was being built (two threads opening one domain):
    // then that one is used, pinned pinCount more times, and the new one is
    // listed unpinned and marked (never handed out) and returned in *spare,
    // locked, for the caller to end with closeSpare (the sweep deletes it
    // after that); sessions it locked to itself move to the one used.
    // Returns the provider to use, with a lock taken on it for the caller to
    // release, so that the sweep cannot end it before the caller holds it.
    static DirectorySPI* adoptProvider(DirectorySPI* opened, const char* key, int pinCount, DirectorySPI** spare)
        EXCLUDES(_providerCb);
    // Closes the spare adoptProvider gave (may be null) and drops the lock it
    // kept on it.
    static void closeSpare(DirectorySPI* spare);

    // ---- Execution (defined with the execution thread, directory_exec.cpp) ----
    FutureResult* execute(const DirName* name, FutureResultListener* listener, const char* operation, Any** args);
    FutureResult* executeWithLengthyOp(const DirName* name, const char* description, FutureResultListener* listener,
                                       const char* operation, Any** args);
    static void executeComplete(long long id, int error);
    static void executeComplete(long long id, FutureResult* result);
    static void executeUpdated(long long id, ExecuteUpdate* update);
    static void spiConnected(const char* name);
    // openProvider's asset and endpoint lookups: the mapper hook, the asset
    // cache, or a "getAsset"/"getEndpointData" request on this directory.
    // 0 with a new copy in *out; 62 with *pending set when pending is given
    // and the lookup must wait; else 13, 29 (73 for endpoints) or 30.
    int lookupAssetForOpen(const char* id, FutureResult** pending, FutureResultListener* listener, Asset** out);
    int lookupEndpointForOpen(const char* id, FutureResult** pending, FutureResultListener* listener,
                              Endpoint** out);

    // ---- Listeners (defined with the listener code, directory_listen.cpp) ----
    int addListener(const DirName* name, DirectoryListener* listener, int* err);
    void removeListener(DirectoryListener* listener);
    static void listenComplete(int listenerId, DirectorySPI* spi);
    static void processDisconnect(DirectorySPI* spi);
    // The provider is being deleted: the listeners it served connected are
    // disconnected, and none keeps its address (a retry finds their name's
    // provider again).
    static void forgetProvider(const DirectorySPI* spi);
    static void retryListeners();
    // retryListeners on the "dir-listen-0" thread, soon; requests made before
    // a queued pass starts are served by it.
    static void requestListenerRetry();
    // Whether a listener of this process has that id (takes the listener lock).
    static bool hasListener(int listenerId);
    static void processDirectoryUpdate(int listenerId, int kind, const DirNameEntry* entry,
                                       const Attributes* attributes, const Acl* acl);
    // Whether a client listener entry names this provider (takes the listener lock).
    static bool listenerUsesSPI(DirectorySPI* spi);
    int addAlertListener(const DirName* name, AlertListener* listener, int* err);
    int startAssetMonitor(const DirName* name, ManagedConnectionListener* listener, int* err);
    int stopAssetMonitor(const DirName* name, int* err);

    // ---- Fields ----
    // Names this session among each thread's substituted principals; never
    // reused, so a later session at the same address finds none of them.
    uint64_t _serial;
    // The session's default principal. relogin replaces it while other
    // threads may be reading it (findPrincipal), so both go through
    // std::atomic_store and std::atomic_load; the one replaced is freed when
    // its last reader lets go of it.
    std::shared_ptr<const Principal> principal;
    DirectorySPI* spi;       // root provider of the session's domain
    DirectoryObject* root;   // "D" + domain, no value
    X509* certificate;
    EVP_PKEY* privateKey;
    char* domain;
    char* host;
    char* port;
    DirectorySPI* lockedSPI GUARDED_BY(_providerCb);
    bool disposePending GUARDED_BY(_providerCb);
    // Whether the session still holds its pin on `spi`. A dispose waiting on
    // the session's own root provider gives the pin up early, or the wait
    // could never end.
    bool rootPinned GUARDED_BY(_providerCb);
    // Whether `spi` came from the provider list (a client or internal
    // session), where the sweep may end it once unpinned. Set before the
    // session is handed out, read without a lock afterwards.
    bool rootListed;
    // Requests made through this session that still hold its resolution
    // context (counted by ExecHelper): the destructor ends them and waits
    // for them to let go before anything of the session goes.
    std::atomic<int> _requests{0};
    // A client session holds the execution thread until its logout.
    bool _holdsExecThread;
    bool _internal;  // started by startInternalSession
    // Listener retries resolving through this session right now.
    int _listenerRetries GUARDED_BY(_listenerCb);
    // Links in the list of live sessions.
    Directory* _nextSession GUARDED_BY(_providerCb);
    Directory* _prevSession GUARDED_BY(_providerCb);

    // ---- Process-wide state ----
    static CriticalBlock _providerCb;
    static ProviderEntry* _providerList GUARDED_BY(_providerCb);
    // Every live session, so that a provider's end can take itself out of
    // the sessions locked to it (no session is left pointing at a deleted
    // provider) and finish their pending disposes.
    static Directory* _sessions GUARDED_BY(_providerCb);
    // Unlocks every session locked to spi; those waiting to be disposed
    // are added to `finish`, for the caller to delete once it has let the
    // provider lock go.
    // Also retires spi as the root of the sessions standing on it (none
    // pins it by then), so that they never read it again.
    static void releaseSessionsOf(DirectorySPI* spi, std::vector<Directory*>* finish) REQUIRES(_providerCb);
    static bool isLiveLocked(const Directory* directory) REQUIRES(_providerCb);
    // Makes the open remote provider of rootName ("D" + domain) the
    // session's root, pinned; false when none is open.
    bool pinOpenRoot(const char* rootName) EXCLUDES(_providerCb);
    // Locks the session's root provider for rc; false when the session no
    // longer pins it and the sweep has marked or deleted it.
    bool lockRoot(ResolveContext* rc) EXCLUDES(_rootLock);
    // Whether a listed root may still be read: cleared by the sweep, under
    // the provider lock, before it deletes the provider.
    CriticalBlock _rootLock;
    bool _rootUsable GUARDED_BY(_rootLock);
    // Gives up the session's pin on its root provider.
    void unpinRootLocked() REQUIRES(_providerCb);
    // At the session's end: its listeners and their records go, and any
    // retry still resolving through the session is waited for.
    void dropListeners() EXCLUDES(_listenerCb);
    // Frees the provider records of a listener of this process.
    static void dropLocalRecords(int listenerId) EXCLUDES(_listenerCb);
    static CriticalBlock _listenerCb;
    static ListenerEntry* _listeners GUARDED_BY(_listenerCb);
    // Installed by the first client session (or a test); null until then.
    static RemoteProviderSeam* _remote;
    // Called with an alert listener when alerts are asked of a local domain.
    static void (*addLocalAlertListener)(AlertListener* listener);
    // Opens a file through the file transfer service, which picks the
    // transfer host from the provider reached (127.0.0.1:14001 for a local
    // one, the asset's address for a remote one, a masquerade reader for a
    // masquerading asset). Installed by that service; null answers 21.
    static int (*_openFile)(Directory* directory, DirectorySPI* spi, const char* remotePath, bool write, int mode,
                            void** stream);
    // Client hooks, set once by the first client login while _routeMQ is
    // unset; each forwards to the same-named operation of _initSpi, the
    // first client session's provider, or once the idle sweep has ended
    // that one, the next client session's.
    static DirectorySPI* _initSpi GUARDED_BY(_providerCb);
    // Makes spi the hooks' provider unless they have one, and installs the
    // hooks once.
    static void adoptHookProvider(DirectorySPI* spi) EXCLUDES(_providerCb);
    // The hooks' provider with a lock taken on it (the caller removes it),
    // or null.
    static DirectorySPI* lockHookProvider() EXCLUDES(_providerCb);
    static void* _routeMQ;
    static long long (*_instanceIdFn)();
    static long long (*_uniqueIdFn)();
    static int (*_miniGuidFn)(char* buffer, int size);
    static bool _debug;
    static bool _spi_debug;

private:
    Directory();
    // resolveToObject's remote branch: takes the answer of an outstanding
    // remote resolve, or sends one (31 while it is out).
    int consumeAsyncResolve(ResolveContext* rc, AsyncResolveHelper* arh);
    int startAsyncResolve(ResolveContext* rc, AsyncResolveHelper* arh);
};

// Registers the translators of dir's own encodable classes (DirectoryObject).
void dir_registerTranslators();

#endif
