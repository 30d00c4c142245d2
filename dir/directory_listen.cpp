// Directory listeners: the client side (ListenerEntry and the Directory
// operations that manage them) and the provider side (attached records,
// matching and the notify functions).
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <unordered_set>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/op_target.h"
#include "common/thread_pool.h"
#include "coms/connection.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/listener.h"
#include "dir/principal.h"
#include "dir/resolve_context.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/string_builder.h"

CriticalBlock Directory::_listenerCb(LOCK_RANK_DIR_LISTENERS, kProcessLifetime);
ListenerEntry* Directory::_listeners = nullptr;
CriticalBlock DirectorySPI::_dCb(LOCK_RANK_DIR_SPI_LISTENERS, kProcessLifetime);
DirectorySPI::DirListenerEntry* DirectorySPI::_dirListeners = nullptr;
ListenerUpdateSender* _listenerUpdateSender = nullptr;
int ListenerEntry::_nextListenerId = 1;

namespace {

// Disconnect listeners, process-wide; guarded by the provider-side lock.
struct DisconnectEntry {
    DirectorySPI* spi;
    DisconnectListener* listener;
    DisconnectEntry* next;
};
DisconnectEntry* _disconnectListeners GUARDED_BY(DirectorySPI::_dCb) = nullptr;

// The listeners that have a record: one record per (connection, listener
// id, provider). Looked up for every attach instead of a walk of all
// records, of which a remote client may open any number.
struct RecordKey {
    Connection* connection;
    int listenerId;
    DirectorySPI* spi;
    bool operator==(const RecordKey& o) const {
        return connection == o.connection && listenerId == o.listenerId && spi == o.spi;
    }
};
struct RecordKeyHash {
    size_t operator()(const RecordKey& k) const {
        size_t h = std::hash<const void*>()(k.connection);
        h = h * 31 + std::hash<int>()(k.listenerId);
        return h * 31 + std::hash<const void*>()(k.spi);
    }
};
// Never freed: like the records, it may be reached by threads still at work
// while the process exits.
std::unordered_set<RecordKey, RecordKeyHash>* const _recorded PT_GUARDED_BY(DirectorySPI::_dCb) =
    new std::unordered_set<RecordKey, RecordKeyHash>();

// Providers deleted while attaches of theirs may still wait in the execution
// thread's queue; each is forgotten by an op queued behind those attaches,
// so that a provider made later in the same memory keeps its own. Never
// freed, as _recorded.
std::unordered_multiset<const DirectorySPI*>* const _goneProviders PT_GUARDED_BY(DirectorySPI::_dCb) =
    new std::unordered_multiset<const DirectorySPI*>();

RecordKey keyOf(const DirectorySPI::DirListenerEntry* e) {
    return RecordKey{e->connection, e->listenerId, e->spi};
}

// Unlinks every node of a singly linked list (linked by `next`) for which
// wanted(node) holds; the caller holds the list's lock and frees them.
template <typename Node, typename Pred>
std::vector<Node*> unlinkWhere(Node*& head, Pred wanted) {
    std::vector<Node*> out;
    for (Node** link = &head; *link != nullptr;) {
        if (wanted(*link)) {
            out.push_back(*link);
            *link = (*link)->next;
        } else {
            link = &(*link)->next;
        }
    }
    return out;
}

void freeRecord(DirectorySPI::DirListenerEntry* e) {
    if (e->connection != nullptr) e->connection->removeLock();
    delete e->object;
    delete e->filter;
    delete e;
}

char* entryText(const DirNameEntry* e) {
    char* t = e != nullptr ? const_cast<DirNameEntry*>(e)->toString(nullptr) : nullptr;
    return t != nullptr ? t : strdup("(null)");
}

}  // namespace

// --- client side -----------------------------------------------------------------

ListenerEntry::ListenerEntry(Directory* directory, DirectoryListener* listener, const DirName* name,
                             const Principal* principal)
    : directory(directory), connected(false), listener(listener), name(name != nullptr ? new DirName(*name) : nullptr),
      next(nullptr), listenerId(0), spi(nullptr), principal(principal != nullptr ? new Principal(*principal) : nullptr) {}

int ListenerEntry::takeNextId() {
    return _nextListenerId++;
}

ListenerEntry::~ListenerEntry() {
    delete name;
    delete principal;
}

int ListenerEntry::connect() {
    ResolveContext rc(directory, name, principal);
    int rv = directory->resolveForSearch(&rc, nullptr, nullptr);
    if (rv != 0) {
        log(LOG_DEBUG, 0, 0, "Listener failed to resolve: %d", rv);
        return rv;
    }
    log(LOG_DEBUG, 0, 0, "Listener::connect: initiating connect: id = %d", listenerId);
    const DirNameEntry* filter = name != nullptr && name->size() > 0 ? name->get(name->size() - 1) : nullptr;
    return rc.spi->listen(rc.principal, rc.current, filter, listenerId);
}

int Directory::addListener(const DirName* name, DirectoryListener* listener, int* err) {
    ListenerEntry copy(this, listener, name, findPrincipal().get());
    {
        CriticalSection hold(_listenerCb);
        ListenerEntry* entry = new ListenerEntry(this, listener, name, findPrincipal().get());
        entry->listenerId = ListenerEntry::takeNextId();
        entry->next = _listeners;
        _listeners = entry;
        copy.listenerId = entry->listenerId;
    }
    // Connected outside the listener lock, which resolution must not be
    // taken under; the copy carries what connect needs, so that a listener
    // removed meanwhile is not touched.
    int rv = copy.connect();
    if (rv != 0) {
        {
            // Found by its id, which no later entry reuses: the entry may
            // have been removed meanwhile and its memory given to another.
            CriticalSection hold(_listenerCb);
            for (ListenerEntry** link = &_listeners; *link != nullptr; link = &(*link)->next) {
                if ((*link)->listenerId == copy.listenerId) {
                    ListenerEntry* entry = *link;
                    *link = entry->next;
                    delete entry;
                    break;
                }
            }
        }
        // A retry may have connected the entry while this first connect
        // was failing; the record it made would outlive the listener.
        dropLocalRecords(copy.listenerId);
    }
    if (err != nullptr) *err = rv;
    return rv;
}

void Directory::removeListener(DirectoryListener* listener) {
    ListenerEntry* gone = nullptr;
    {
        CriticalSection hold(_listenerCb);
        for (ListenerEntry** link = &_listeners; *link != nullptr; link = &(*link)->next) {
            if ((*link)->listener == listener) {
                gone = *link;
                *link = gone->next;
                break;
            }
        }
    }
    if (gone == nullptr) return;
    dropLocalRecords(gone->listenerId);
    delete gone;
}

void Directory::dropLocalRecords(int listenerId) {
    // The provider's record for a listener of this process has nobody left
    // to deliver to (a remote client's records go with its connection).
    std::vector<DirectorySPI::DirListenerEntry*> records;
    {
        CriticalSection hold(DirectorySPI::_dCb);
        records = unlinkWhere(DirectorySPI::_dirListeners, [&](const DirectorySPI::DirListenerEntry* e) {
            return e->connection == nullptr && e->listenerId == listenerId;
        });
        for (const DirectorySPI::DirListenerEntry* r : records) _recorded->erase(keyOf(r));
    }
    for (DirectorySPI::DirListenerEntry* r : records) freeRecord(r);
}

void Directory::dropListeners() {
    std::vector<ListenerEntry*> gone;
    {
        CriticalSection hold(_listenerCb);
        gone = unlinkWhere(_listeners, [this](const ListenerEntry* e) { return e->directory == this; });
    }
    for (ListenerEntry* e : gone) {
        dropLocalRecords(e->listenerId);
        delete e;
    }
    // A retry may still be resolving through this session: wait it out.
    for (;;) {
        {
            CriticalSection hold(_listenerCb);
            if (_listenerRetries == 0) return;
        }
        usleep(1000);
    }
}

bool Directory::hasListener(int listenerId) {
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next)
        if (e->listenerId == listenerId) return true;
    return false;
}

void Directory::listenComplete(int listenerId, DirectorySPI* spi) {
    log(LOG_DEBUG, 0, 0, "Directory::listenComplete: connect completes: id = %d", listenerId);
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next) {
        if (e->listenerId != listenerId) continue;
        e->connected = true;
        e->spi = spi;
        log(LOG_TRACE, 0, 0, "Directory::listenComplete: dispatching connect");
        e->listener->listenerConnected();
    }
}

void Directory::processDisconnect(DirectorySPI* spi) {
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next) {
        if (e->spi != spi) continue;
        e->connected = false;
        e->listener->listenerDisconnected();
    }
}

void Directory::forgetProvider(const DirectorySPI* spi) {
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next) {
        if (e->spi != spi) continue;
        e->spi = nullptr;
        if (!e->connected) continue;
        e->connected = false;
        e->listener->listenerDisconnected();
    }
}

void Directory::retryListeners() {
    // Copies of the unconnected entries, connected outside the lock (see addListener).
    std::vector<ListenerEntry*> retry;
    {
        CriticalSection hold(_listenerCb);
        for (ListenerEntry* e = _listeners; e != nullptr; e = e->next) {
            if (e->connected) continue;
            ListenerEntry* copy = new ListenerEntry(e->directory, e->listener, e->name, e->principal);
            copy->listenerId = e->listenerId;
            // The session stays until the retry is done (dropListeners).
            e->directory->_listenerRetries++;
            retry.push_back(copy);
        }
    }
    for (ListenerEntry* copy : retry) {
        copy->connect();  // a failure is logged; the entry stays unconnected
        {
            CriticalSection hold(_listenerCb);
            copy->directory->_listenerRetries--;
        }
        delete copy;
    }
}

namespace {

// Retries asked for by the idle sweep (on the dir-client thread) and by a
// provider's connect (on the execution thread) run on a thread of their own:
// a retry resolves through remote providers and may wait for one to
// connect, which those two threads drive. Like the dir-client thread, it
// may still be at work while the process exits: it touches only state that
// lives as long as the process.
class RetryPool : public ThreadPool {
public:
    RetryPool() : ThreadPool("dir-listen", 1) {}
    ~RetryPool() override { stop(); }
    void processOp(DeferredOp*) override;
};

// Set while a pass is queued and not yet started: requests in between add none.
std::atomic<bool> _retryQueued{false};
CriticalBlock _retryPoolLock(LOCK_RANK_NONE, kProcessLifetime);
RetryPool* _retryPool GUARDED_BY(_retryPoolLock) = nullptr;

void RetryPool::processOp(DeferredOp*) {
    _retryQueued.store(false);
    Directory::retryListeners();
}

}  // namespace

void Directory::requestListenerRetry() {
    if (_retryQueued.exchange(true)) return;
    CriticalSection hold(_retryPoolLock);
    if (_retryPool == nullptr) _retryPool = new RetryPool();
    _retryPool->queue(new DeferredOp());
}

bool Directory::listenerUsesSPI(DirectorySPI* spi) {
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next)
        if (e->spi == spi) return true;
    return false;
}

void Directory::processDirectoryUpdate(int listenerId, int kind, const DirNameEntry* entry,
                                       const Attributes* attributes, const Acl* acl) {
    if (_debug) {
        char* text = entryText(entry);
        log(0, "Directory: processing notify: id = %d, amd = %d, dn = %s", listenerId, kind, text);
        free(text);
    }
    // A remote provider's update may decode without an entry or with a kind
    // that does not exist: it tells a listener nothing it could act on, and
    // the listener's callbacks may rely on an entry being there.
    if (entry == nullptr || kind < CHANGE_ADD || kind > CHANGE_DELETE) {
        log(LOG_WARNING, 0, 0, "Directory: dropped notify: id = %d, amd = %d, %s", listenerId, kind,
            entry == nullptr ? "no entry" : "unknown kind");
        return;
    }
    CriticalSection hold(_listenerCb);
    for (ListenerEntry* e = _listeners; e != nullptr; e = e->next) {
        if (e->listenerId != listenerId) continue;
        switch (kind) {
        case CHANGE_ADD: e->listener->directoryAdd(entry, attributes, acl); break;
        case CHANGE_MODIFY: e->listener->directoryModified(entry, attributes, acl); break;
        case CHANGE_DELETE: e->listener->directoryDelete(entry, attributes); break;
        default: break;
        }
    }
}

int Directory::addAlertListener(const DirName* name, AlertListener* listener, int* err) {
    ResolveContext rc(this, name, findPrincipal());
    int rv = resolveToDomain(&rc, nullptr, nullptr);
    if (rv == 0) {
        if (rc.spi != nullptr && rc.spi->isNetworkSPI()) {
            if (_remote != nullptr)
                _remote->addAlertListener(rc.spi, listener, rc.principal);
            else
                rv = DirError::E_NOT_CONNECTED;
        } else if (addLocalAlertListener != nullptr) {
            addLocalAlertListener(listener);
        }
    }
    if (err != nullptr) *err = rv;
    return rv;
}

namespace {
int setMonitor(Directory* d, const DirName* name, ManagedConnectionListener* listener, int* err) {
    ResolveContext rc(d, name, d->findPrincipal());
    int rv = d->resolveToDomain(&rc, nullptr, nullptr);
    if (rv == 0 && rc.spi != nullptr && rc.spi->isNetworkSPI()) {
        if (Directory::_remote != nullptr)
            Directory::_remote->setManagedConnection(rc.spi, listener);
        else
            rv = DirError::E_NOT_CONNECTED;
    }
    if (err != nullptr) *err = rv;
    return rv;
}
}  // namespace

int Directory::startAssetMonitor(const DirName* name, ManagedConnectionListener* listener, int* err) {
    return setMonitor(this, name, listener, err);
}

int Directory::stopAssetMonitor(const DirName* name, int* err) {
    return setMonitor(this, name, nullptr, err);
}

// --- provider side -----------------------------------------------------------------

int DirectorySPI::attachListener(const Principal*, Connection* connection, const DirectoryObject* object,
                                 const DirNameEntry* filter, int listenerId, bool multi) {
    DirListenerEntry* e = new DirListenerEntry{connection,
                                               object != nullptr ? new DirectoryObject(*object) : nullptr,
                                               filter != nullptr ? new DirNameEntry(*filter) : nullptr,
                                               this,
                                               listenerId,
                                               multi,
                                               nullptr};
    if (connection != nullptr) connection->addLock();
    ExecDirThread::postAttach(e);
    return 0;
}

void DirectorySPI::completeAttach(DirListenerEntry* entry) {
    // Read before the record is shared: a remote client's record may be
    // freed (its connection closed) as soon as it is in the list.
    bool local = entry->connection == nullptr;
    int listenerId = entry->listenerId;
    DirectorySPI* spi = entry->spi;
    bool listening = true;
    bool kept = false;
    {
        CriticalSection hold(_dCb);
        // One record per listener: a retry that overtook an attach still on
        // its way, or a client that asks twice, adds none. A listener of
        // this process removed while its attach was on its way gets none
        // (its removal looked for the record before there was one).
        bool recorded = _recorded->count(keyOf(entry)) != 0;
        if (local) listening = Directory::hasListener(listenerId);
        // An attach that waited here while its provider was deleted.
        if (_goneProviders->count(spi) != 0) listening = false;
        if (!recorded && listening) {
            _recorded->insert(keyOf(entry));
            entry->next = _dirListeners;
            _dirListeners = entry;
            kept = true;
        }
    }
    if (!kept) freeRecord(entry);
    // A listener of this process is confirmed once it is recorded (again, a
    // retry after a disconnect); a remote client hears of it from the
    // remote provider's reply.
    if (local && listening) Directory::listenComplete(listenerId, spi);
}

void DirectorySPI::closeListenersOnLost(Connection* connection) {
    std::vector<DirListenerEntry*> gone;
    {
        CriticalSection hold(_dCb);
        gone = unlinkWhere(_dirListeners, [connection](const DirListenerEntry* e) { return e->connection == connection; });
        for (const DirListenerEntry* e : gone) _recorded->erase(keyOf(e));
    }
    for (DirListenerEntry* e : gone) freeRecord(e);
}

void DirectorySPI::closeListenersOfProvider() {
    std::vector<DirListenerEntry*> gone;
    std::vector<DisconnectEntry*> told;
    {
        CriticalSection hold(_dCb);
        gone = unlinkWhere(_dirListeners, [this](const DirListenerEntry* e) { return e->spi == this; });
        for (const DirListenerEntry* e : gone) _recorded->erase(keyOf(e));
        told = unlinkWhere(_disconnectListeners, [this](const DisconnectEntry* e) { return e->spi == this; });
        _goneProviders->insert(this);
    }
    for (DirListenerEntry* e : gone) freeRecord(e);
    for (DisconnectEntry* e : told) delete e;
    // Attaches still queued for this provider find it gone; a provider made
    // later at this address queues its own behind this.
    const DirectorySPI* self = this;
    ExecDirThread::postBehindAttaches([self] {
        CriticalSection hold(_dCb);
        _goneProviders->erase(_goneProviders->find(self));
    });
    Directory::forgetProvider(this);
}

bool DirectorySPI::matchingNotify(const DirListenerEntry* entry, const DirNameEntry* changed,
                                  const Attributes* attributes) {
    const DirNameEntry* filter = entry->filter;
    if (filter == nullptr || changed == nullptr) return false;
    const char* want = filter->getClassName();
    const char* have = changed->getClassName();
    if (want == nullptr || have == nullptr || strcmp(want, have) != 0) return false;
    // The filter's own chain, not its attributes by index: a remote client
    // writes the filter, and finding each by index would cost the square of
    // its length on every change.
    for (const DirNameEntry::AttrList* a = filter->head; a != nullptr; a = a->next) {
        const Any* value = changed->getAttributeValue(a->name);
        if (value == nullptr && attributes != nullptr) value = attributes->getAttribute(a->name);
        if (value == nullptr) return false;
        if (a->value == nullptr || !(*value == *a->value)) return false;
    }
    return true;
}

namespace {

// One change to every matching record of spi (single form).
void notifyOne(DirectorySPI* spi, int kind, const DirNameEntry* entry, const Attributes* attributes, const Acl* acl)
    REQUIRES(DirectorySPI::_dCb) {
    for (DirectorySPI::DirListenerEntry* e = DirectorySPI::_dirListeners; e != nullptr; e = e->next) {
        if (e->spi != spi || !DirectorySPI::matchingNotify(e, entry, attributes)) continue;
        if (e->connection == nullptr) {
            Directory::processDirectoryUpdate(e->listenerId, kind, entry, attributes, acl);
        } else {
            log(LOG_TRACE, 0, 0, "    dispatched to connection: %p", static_cast<void*>(e->connection));
            if (_listenerUpdateSender != nullptr)
                _listenerUpdateSender->sendUpdate(e->connection, e->listenerId, kind, entry, attributes, acl);
        }
    }
}

void notifyMany(DirectorySPI* spi, int kind, int count, DirNameEntry** entries, Attributes** attributes, Acl** acls)
    REQUIRES(DirectorySPI::_dCb) {
    for (DirectorySPI::DirListenerEntry* e = DirectorySPI::_dirListeners; e != nullptr; e = e->next) {
        // Records are matched against the first change only.
        if (e->spi != spi || !DirectorySPI::matchingNotify(e, entries[0], attributes != nullptr ? attributes[0] : nullptr))
            continue;
        if (e->connection == nullptr) {
            for (int i = 0; i < count; i++)
                Directory::processDirectoryUpdate(e->listenerId, kind, entries[i],
                                                  attributes != nullptr ? attributes[i] : nullptr,
                                                  acls != nullptr && kind != CHANGE_DELETE ? acls[i] : nullptr);
            continue;
        }
        log(LOG_TRACE, 0, 0, "    dispatched to connection: %p", static_cast<void*>(e->connection));
        if (_listenerUpdateSender == nullptr) continue;
        if (e->multi) {
            _listenerUpdateSender->sendUpdates(e->connection, e->listenerId, kind, count, entries, attributes,
                                               kind != CHANGE_DELETE ? acls : nullptr);
        } else {
            for (int i = 0; i < count; i++)
                _listenerUpdateSender->sendUpdate(e->connection, e->listenerId, kind, entries[i],
                                                  attributes != nullptr ? attributes[i] : nullptr,
                                                  acls != nullptr && kind != CHANGE_DELETE ? acls[i] : nullptr);
        }
    }
}

}  // namespace

void DirectorySPI::notifyDirectoryAdd(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl) {
    if (_log_level <= LOG_TRACE) {
        char* text = entryText(entry);
        // The values alone: the line puts its own braces round them.
        char* values = attributes != nullptr ? joinNodeTexts(attributes->head, static_cast<Parser*>(nullptr), "", ", ", "")
                                             : nullptr;
        log(LOG_TRACE, 0, 0, "%p, SPI: notify add: %s, { %s }", static_cast<void*>(this), text,
            values != nullptr ? values : "");
        free(values);
        free(text);
    }
    CriticalSection hold(_dCb);
    notifyOne(this, CHANGE_ADD, entry, attributes, acl);
}

void DirectorySPI::notifyDirectoryDelete(const DirNameEntry* entry, const Attributes* attributes) {
    char* text = entryText(entry);
    log(LOG_TRACE, 0, 0, "%p, SPI: notify delete: %s", static_cast<void*>(this), text);
    free(text);
    CriticalSection hold(_dCb);
    notifyOne(this, CHANGE_DELETE, entry, attributes, nullptr);
}

void DirectorySPI::notifyDirectoryModified(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl) {
    char* text = entryText(entry);
    log(LOG_TRACE, 0, 0, "%p, SPI: notify modified: %s", static_cast<void*>(this), text);
    free(text);
    CriticalSection hold(_dCb);
    notifyOne(this, CHANGE_MODIFY, entry, attributes, acl);
}

void DirectorySPI::notifyDirectoryAdd(int count, DirNameEntry** entries, Attributes** attributes, Acl** acls) {
    if (count <= 0 || entries == nullptr) return;
    log(LOG_TRACE, 0, 0, "%p, SPI: notify add: multi %d", static_cast<void*>(this), count);
    CriticalSection hold(_dCb);
    notifyMany(this, CHANGE_ADD, count, entries, attributes, acls);
}

void DirectorySPI::notifyDirectoryDelete(int count, DirNameEntry** entries, Attributes** attributes) {
    if (count <= 0 || entries == nullptr) return;
    log(LOG_TRACE, 0, 0, "%p, SPI: notify delete: multi %d", static_cast<void*>(this), count);
    CriticalSection hold(_dCb);
    notifyMany(this, CHANGE_DELETE, count, entries, attributes, nullptr);
}

void DirectorySPI::notifyDirectoryModified(int count, DirNameEntry** entries, Attributes** attributes, Acl** acls) {
    if (count <= 0 || entries == nullptr) return;
    log(LOG_TRACE, 0, 0, "%p, SPI: notify modify:", static_cast<void*>(this));
    CriticalSection hold(_dCb);
    notifyMany(this, CHANGE_MODIFY, count, entries, attributes, acls);
}

DirectoryChangeHelper* DirectorySPI::getChangeHelper() {
    return new DirectoryChangeHelper(this);
}

void DirectorySPI::addDisconnectListener(DisconnectListener* listener) {
    CriticalSection hold(_dCb);
    _disconnectListeners = new DisconnectEntry{this, listener, _disconnectListeners};
}

void DirectorySPI::fireDisconnectEvent(Connection* connection) {
    std::vector<DisconnectListener*> tell;
    {
        CriticalSection hold(_dCb);
        for (DisconnectEntry* e = _disconnectListeners; e != nullptr; e = e->next)
            if (e->spi == this) tell.push_back(e->listener);
    }
    for (DisconnectListener* l : tell) l->onDisconnect(connection);
}
