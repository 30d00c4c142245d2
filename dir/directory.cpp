#include "dir/directory.h"
#include "dir/security_object.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/future_result.h"
#include "dir/net_client_spi.h"
#include "dir/principal.h"
#include "dir/resolve_context.h"
#include "dirbase/message.h"
#include "dirbase/translators.h"
#include "records/records.h"

CriticalBlock Directory::_providerCb(LOCK_RANK_DIR_PROVIDERS, kProcessLifetime);
Directory::ProviderEntry* Directory::_providerList = nullptr;
Directory* Directory::_sessions = nullptr;
RemoteProviderSeam* Directory::_remote = nullptr;
void (*Directory::addLocalAlertListener)(AlertListener*) = nullptr;
int (*Directory::_openFile)(Directory*, DirectorySPI*, const char*, bool, int, void**) = nullptr;
DirectorySPI* Directory::_initSpi = nullptr;
void* Directory::_routeMQ = nullptr;
long long (*Directory::_instanceIdFn)() = nullptr;
long long (*Directory::_uniqueIdFn)() = nullptr;
int (*Directory::_miniGuidFn)(char*, int) = nullptr;
bool Directory::_debug = false;
bool Directory::_spi_debug = false;

void dir_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_DIRECTORYOBJECT_ID, DirectoryObjectXlator);
    Principal::registerXlators();
    exec_registerTranslators();
    MessageBase::registerObjectXlator(OBJ_SECURITYOBJECT_ID, SecurityObjectXlator);
}

void Directory::init() {
    // Logins may start on several threads at once: the first does the work
    // and the others wait for it.
    static std::once_flag once;
    std::call_once(once, [] {
        // Every library's translators, lowest layer first, so that a higher
        // one could take an id over (the newest registration wins).
        dirbase_registerTranslators();
        records_registerTranslators();
        dir_registerTranslators();
    });
}

namespace {

// The calling thread's substituted principals, by session serial. Kept per
// thread rather than in a thread-specific key per session: the system has
// only about a thousand such keys, and a process may hold more sessions. A
// thread seldom runs as someone else in more than one session, so a short
// list does. An entry that a thread left in a session that has ended is
// freed when the thread exits.
struct Substitutions {
    std::vector<std::pair<uint64_t, Principal*>> entries;
    ~Substitutions() {
        for (auto& e : entries) delete e.second;
    }
    Principal** find(uint64_t serial) {
        for (auto& e : entries)
            if (e.first == serial) return &e.second;
        return nullptr;
    }
};

thread_local Substitutions t_substituted;
std::atomic<uint64_t> g_nextSerial{1};

char* prefixed(char prefix, const char* text) {
    std::string s(1, prefix);
    if (text != nullptr) s += text;
    return strdup(s.c_str());
}

}  // namespace

Directory::Directory()
    : _serial(g_nextSerial.fetch_add(1)),
      spi(nullptr),
      root(nullptr),
      certificate(nullptr),
      privateKey(nullptr),
      domain(nullptr),
      host(nullptr),
      port(nullptr),
      lockedSPI(nullptr),
      disposePending(false),
      rootPinned(false),
      rootListed(false),
      _holdsExecThread(false),
      _internal(false),
      _listenerRetries(0),
      _nextSession(nullptr),
      _prevSession(nullptr),
      _rootLock(LOCK_RANK_NONE),
      _rootUsable(true) {
    CriticalSection cs(_providerCb);
    _nextSession = _sessions;
    if (_sessions != nullptr) _sessions->_prevSession = this;
    _sessions = this;
}

Directory* Directory::startClientDirectoryService(const char* domain, const char* host, const char* port,
                                                  X509* cert, EVP_PKEY* key, int* err) {
    if (_spi_debug) log(0, "startClientDirectoryServer, LOGIN: domain = %s", domain != nullptr ? domain : "NULL");
    if (err != nullptr) *err = 0;
    ExecDirThread::holdForClient();
    Directory* d = new Directory();
    d->_holdsExecThread = true;
    d->principal.reset(Principal::createFromCertificate(cert));
    d->certificate = cert;
    d->privateKey = key;
    d->domain = domain != nullptr ? strdup(domain) : nullptr;
    init();
    char* rootName = prefixed('D', domain);
    d->root = new DirectoryObject(rootName, nullptr);
    d->host = host != nullptr ? strdup(host) : nullptr;
    d->port = port != nullptr ? strdup(port) : nullptr;
    if (d->pinOpenRoot(rootName)) {
        free(rootName);
        adoptHookProvider(d->spi);
        return d;
    }
    // A client session stands on a remote provider, whether or not a login
    // came first (a test may have put its own in).
    if (_remote == nullptr) NetClientSPI::install();
    DirectorySPI* remote = _remote->openDomain(d, domain, host, port, nullptr, rootName);
    if (remote == nullptr) {
        free(rootName);
        delete d;
        if (err != nullptr) *err = DirError::E_NOT_CONNECTED;
        return nullptr;
    }
    DirectorySPI* spare = nullptr;
    remote = adoptProvider(remote, rootName, 1, &spare);
    d->spi = remote;
    d->rootListed = true;
    {
        CriticalSection cs(_providerCb);
        d->rootPinned = true;
    }
    remote->removeLock();  // pinned now
    closeSpare(spare);
    free(rootName);
    adoptHookProvider(d->spi);
    return d;
}

void Directory::adoptHookProvider(DirectorySPI* spi) {
    bool install;
    {
        CriticalSection cs(_providerCb);
        if (_initSpi == nullptr) _initSpi = spi;
        install = _routeMQ == nullptr;
    }
    if (install) _remote->installClientHooks();
}

DirectorySPI* Directory::lockHookProvider() {
    CriticalSection cs(_providerCb);
    if (_initSpi == nullptr || _initSpi->isMarkedForDeletion()) return nullptr;
    _initSpi->addLock();
    return _initSpi;
}

Directory* Directory::startServerDirectoryService(DirectorySPI* spi, X509* cert, EVP_PKEY* key, const char* domain,
                                                  int* err) {
    if (err != nullptr) *err = 0;
    init();
    ExecDirThread::startIfNeeded(true);
    Directory* d = new Directory();
    d->principal.reset(Principal::createServerPrincipal());
    d->spi = spi;
    d->certificate = cert;
    d->privateKey = key;
    if (domain != nullptr) {
        d->domain = strdup(domain);
        char* rootName = prefixed('D', domain);
        d->root = new DirectoryObject(rootName, nullptr);
        free(rootName);
    }
    return d;
}

int Directory::startProxyDirectoryService() {
    init();
    return 0;
}

Directory::~Directory() {
    // A request still out would resolve through this session when its
    // answer, its asset or its provider comes.
    ExecDirThread::forgetSession(this);
    dropListeners();
    if (!_internal) {
        char user[256] = "";
        if (principal != nullptr) principal->getLoginUser(user, sizeof(user));
        log(0, "LOGOUT: user = %s, session = %p", user, static_cast<void*>(this));
    }
    {
        CriticalSection cs(_providerCb);
        if (rootPinned) unpinRootLocked();
        if (_prevSession != nullptr)
            _prevSession->_nextSession = _nextSession;
        else
            _sessions = _nextSession;
        if (_nextSession != nullptr) _nextSession->_prevSession = _prevSession;
    }
    // The calling thread's own substitution; other threads' copies go with
    // their thread-exit destructor.
    revertUser();
    free(domain);
    free(host);
    free(port);
    delete root;
    if (certificate != nullptr) X509_free(certificate);
    if (privateKey != nullptr) EVP_PKEY_free(privateKey);
    if (_holdsExecThread) ExecDirThread::releaseClient();
}

Directory* Directory::startInternalSession(const char* domain, const Principal* principal) {
    ExecDirThread::holdForClient();
    Directory* d = new Directory();
    d->_holdsExecThread = true;
    d->_internal = true;
    if (principal != nullptr) d->principal = std::make_shared<const Principal>(*principal);
    d->domain = domain != nullptr ? strdup(domain) : nullptr;
    char* rootName = prefixed('D', domain);
    d->root = new DirectoryObject(rootName, nullptr);
    bool pinned = d->pinOpenRoot(rootName);
    free(rootName);
    if (!pinned) {
        delete d;
        return nullptr;
    }
    return d;
}

void Directory::dispose(Directory* directory) {
    if (directory == nullptr) return;
    {
        CriticalSection cs(_providerCb);
        if (directory->lockedSPI != nullptr) {
            directory->disposePending = true;
            if (directory->lockedSPI == directory->spi && directory->rootPinned) directory->unpinRootLocked();
            return;
        }
    }
    delete directory;
}

void Directory::testDispose(Directory* directory) {
    if (directory == nullptr) return;
    bool pending;
    {
        CriticalSection cs(_providerCb);
        pending = isLiveLocked(directory) && directory->disposePending;
    }
    if (pending) delete directory;
}

bool Directory::pinOpenRoot(const char* rootName) {
    // One the idle sweep has marked is not taken: it is about to go.
    CriticalSection cs(_providerCb);
    ProviderEntry* e = findProviderLocked(rootName);
    if (e == nullptr || !e->spi->isNetworkSPI()) return false;
    e->pinCount++;
    spi = e->spi;
    rootPinned = true;
    rootListed = true;
    return true;
}

void Directory::unpinRootLocked() {
    rootPinned = false;
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next) {
        if (e->spi == spi && e->pinCount > 0) {
            e->pinCount--;
            return;
        }
    }
}

bool Directory::isLiveLocked(const Directory* directory) {
    for (const Directory* d = _sessions; d != nullptr; d = d->_nextSession)
        if (d == directory) return true;
    return false;
}

void Directory::releaseSessionsOf(DirectorySPI* provider, std::vector<Directory*>* finish) {
    for (Directory* d = _sessions; d != nullptr; d = d->_nextSession) {
        if (d->rootListed && d->spi == provider) {
            CriticalSection hold(d->_rootLock);
            d->_rootUsable = false;
        }
        if (d->lockedSPI != provider) continue;
        d->lockedSPI = nullptr;
        if (d->disposePending) {
            // Taken by the sweep: testDispose must not delete it as well.
            d->disposePending = false;
            finish->push_back(d);
        }
    }
}

void Directory::lockToSPI(DirectorySPI* masq) {
    CriticalSection cs(_providerCb);
    lockedSPI = masq;
}

void Directory::substituteUser(const Principal* p) {
    if (p == nullptr) {
        revertUser();
        return;
    }
    // The copy first: p may be the substitution it replaces.
    Principal* copy = new Principal(*p);
    Principal** slot = t_substituted.find(_serial);
    if (slot == nullptr) {
        t_substituted.entries.emplace_back(_serial, copy);
        return;
    }
    Principal* old = *slot;
    *slot = copy;
    delete old;
}

void Directory::revertUser() {
    std::vector<std::pair<uint64_t, Principal*>>& entries = t_substituted.entries;
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].first != _serial) continue;
        Principal* old = entries[i].second;
        entries[i] = entries.back();
        entries.pop_back();
        delete old;
        return;
    }
}

std::shared_ptr<const Principal> Directory::findPrincipal() const {
    Principal** slot = t_substituted.find(_serial);
    if (slot != nullptr) return std::shared_ptr<const Principal>(std::shared_ptr<const Principal>(), *slot);
    return std::atomic_load(&principal);
}

Directory::ProviderEntry* Directory::findProviderLocked(const char* key) {
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next)
        if (!e->spi->isMarkedForDeletion() && !e->spi->isTemporary() && strcmp(e->key, key) == 0) return e;
    return nullptr;
}

DirectorySPI* Directory::adoptProvider(DirectorySPI* opened, const char* key, int pinCount, DirectorySPI** spare) {
    ProviderEntry* e = new ProviderEntry{opened, strdup(key), pinCount, nullptr};
    CriticalSection cs(_providerCb);
    ProviderEntry* other = opened->isTemporary() ? nullptr : findProviderLocked(key);
    *spare = nullptr;
    if (other != nullptr) {
        other->pinCount += pinCount;
        e->pinCount = 0;
        *spare = opened;
        // Marked at once, so that no lookup hands it out while it is being
        // closed; the lock below keeps it until then.
        opened->markedForDeletion.store(true, std::memory_order_release);
        for (Directory* d = _sessions; d != nullptr; d = d->_nextSession)
            if (d->lockedSPI == opened) d->lockedSPI = other->spi;
    }
    e->next = _providerList;
    _providerList = e;
    DirectorySPI* used = other != nullptr ? other->spi : opened;
    used->addLock();
    // The spare is listed, marked, for the sweep to end; locked until the
    // caller has closed it, so that the sweep cannot end it first.
    if (*spare != nullptr) opened->addLock();
    return used;
}

void Directory::closeSpare(DirectorySPI* spare) {
    if (spare == nullptr) return;
    spare->closeDirectory();
    spare->removeLock();
}

void Directory::addProvider(DirectorySPI* provider, const char* key, int pinCount) {
    ProviderEntry* e = new ProviderEntry{provider, strdup(key), pinCount, nullptr};
    CriticalSection cs(_providerCb);
    e->next = _providerList;
    _providerList = e;
}

void Directory::testIdleProviders() {
    // Every sweep's trace is at debug level: sweeps run every few seconds.
    log(LOG_DEBUG, 0, 0, "testIdleProviders - - - -");
    std::vector<Directory*> finish;
    // Deleted once the list is unlocked: a provider's destructor waits for
    // its connection callbacks, and one of those may be opening a session,
    // which takes the list's lock.
    std::vector<DirectorySPI*> ended;
    {
        CriticalSection cs(_providerCb);
        ProviderEntry** link = &_providerList;
        while (*link != nullptr) {
            ProviderEntry* e = *link;
            int locks = e->spi->lockCount();
            if (_log_level <= LOG_DEBUG) {
                char* text = e->spi->toString();
                log(LOG_DEBUG, 0, 0, "testIdleProviders: domainId = %s, lockCount = %d, SPI = %s", e->key, locks,
                    text);
                free(text);
            }
            if (e->pinCount != 0 || locks != 0) {
                link = &e->next;
                continue;
            }
            if (e->spi->isMarkedForDeletion()) {
                *link = e->next;
                releaseSessionsOf(e->spi, &finish);
                // The next client session gives the hooks a provider again.
                if (_initSpi == e->spi) _initSpi = nullptr;
                ended.push_back(e->spi);
                free(e->key);
                delete e;
                continue;
            }
            if (e->spi->isIdle() && !listenerUsesSPI(e->spi))
                e->spi->markedForDeletion.store(true, std::memory_order_release);
            link = &e->next;
        }
    }
    for (DirectorySPI* spi : ended) delete spi;
    // Disposes that waited for a provider just deleted.
    for (Directory* d : finish) delete d;
    requestListenerRetry();
}

DirectorySPI* Directory::findManagedSPI(const char* assetId) {
    if (assetId == nullptr || _remote == nullptr) return nullptr;
    CriticalSection cs(_providerCb);
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next) {
        DirectorySPI* p = e->spi;
        if (p->isMarkedForDeletion() || !p->isNetworkSPI() || !_remote->hasManagedConnection(p)) continue;
        const char* id = _remote->assetIdOf(p);
        if (id != nullptr && strcmp(id, assetId) == 0) return p;
    }
    return nullptr;
}
