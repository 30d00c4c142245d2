// DirectorySPI: the base class of every directory provider, with the default
// operations a provider may keep; DirectoryObject: a provider's handle for
// one resolved object.
//
// Ownership: a DirectoryObject owns its class name and value. Providers in
// the directory's provider list are owned by the list (directory.h); local
// providers registered with the host belong to whoever registered them.
//
// Thread-safety: DirectoryObject is a plain value, one thread at a time.
// DirectorySPI's lock count is guarded by its own lock and changed only
// through ResolveContext and readers (addLock/removeLock); the deletion mark
// is written by the idle sweep under the directory's provider lock and read
// by any thread; the slots themselves may be called from any thread at once,
// so each provider guards its own state.
#ifndef DRV_DIR_DIRECTORY_SPI_H
#define DRV_DIR_DIRECTORY_SPI_H

#include <atomic>

#include "common/sem.h"
#include "common/thread_annotations.h"
#include "dir/request_alloc.h"
#include "dirbase/translatable.h"

class Acl;
class Any;
class MessageBase;
class Attributes;
class ClassEnumeration;
class Connection;
class DirectoryChangeHelper;
class DisconnectListener;
class DirNameEntry;
class DirectoryEnumeration;
class Endpoint;
class FutureResult;
class Input;
class Output;
class Principal;
class SearchHelper;

const unsigned int OBJ_DIRECTORYOBJECT_ID = 1013;

// Allocated from the making thread's block cache: every execute request
// carries copies made on the caller's thread and freed on the execution
// thread.
class DirectoryObject : public Translatable, public RequestAlloc {
public:
    // Copies className; takes ownership of value.
    DirectoryObject(const char* className, Any* value);
    // Duplicates the class name and the value.
    DirectoryObject(const DirectoryObject& other);
    ~DirectoryObject() override;
    DirectoryObject& operator=(const DirectoryObject&) = delete;

    // Same class name (both null counts as equal) and equal values (both
    // null, or Any equality).
    bool operator==(const DirectoryObject& other) const;
    bool operator!=(const DirectoryObject& other) const { return !(*this == other); }
    // Combines the class name's hash with the value's; equal objects hash alike.
    unsigned long hashValue() const;

    // { "className" : ..., "value" : ... }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    // The provider's handle: "D" + domain, "H" + host or asset id, "E" +
    // endpoint id, or a provider's own domain identifier. May be null.
    char* className;
    // The provider's identifier of the object within the class. May be null.
    Any* value;
};

// Fields: 1 the class name (string), 2 the value (object 1000).
int DirectoryObjectXlator(MessageBase* message, Translatable** obj, int direction);

class DirectorySPI {
public:
    // Creates the domain identifier, "G" followed by a fresh GUID.
    DirectorySPI();
    virtual ~DirectorySPI();
    DirectorySPI(const DirectorySPI&) = delete;
    DirectorySPI& operator=(const DirectorySPI&) = delete;

    // Resolves one name entry below current; 0 with out null means "Object Not Found".
    virtual int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                        const DirNameEntry* entry, DirectoryObject*& out) = 0;
    virtual int search(const Endpoint* target, const Principal* principal, SearchHelper* helper,
                       DirectoryObject* current, const DirNameEntry* entry, char* filter,
                       DirectoryEnumeration* result) = 0;
    // Runs on the execution thread. The result is valid only during the call:
    // complete it before returning, or keep ExecHelper::runningRequestId() and
    // answer later with Directory::executeComplete/executeUpdated, never
    // through the pointer.
    virtual int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                        FutureResult* result) = 0;
    virtual int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) = 0;
    // Default: nothing listed.
    virtual int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result);
    // Default: attachListener(principal, no connection, object, filter, listenerId, false).
    virtual int listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
                       int listenerId);
    virtual int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) = 0;
    // Default: 21 ("Not Implemented").
    virtual int openForRead(const Principal* principal, const DirectoryObject* object, const char* path,
                            Input** out);
    // Default: 21 ("Not Implemented").
    virtual int openForWrite(const Principal* principal, const DirectoryObject* object, Output** out);
    virtual bool isIdle();
    virtual int attachListener(const Principal* principal, Connection* connection, const DirectoryObject* object,
                               const DirNameEntry* filter, int listenerId, bool multi);
    virtual bool isNetworkSPI();
    virtual void closeDirectory();
    // A newly allocated text; default "generic SPI".
    virtual char* toString() const;

    const char* getDomainGuid() const { return domainGuid; }

    // The count of live resolution contexts and readers using the provider.
    // A lock on a provider the sweep has marked keeps it until the lock
    // goes (ResolveContext refuses marked providers; their own callbacks
    // may still lock them). A count that would go negative is an assertion
    // failure.
    void addLock() EXCLUDES(lock);
    // addLock unless the provider is marked; whether it took the lock. The
    // sweep decides on a deletion from a count of 0 on a marked provider,
    // so a lock this takes always keeps the provider.
    bool tryAddLock() EXCLUDES(lock);
    void removeLock() EXCLUDES(lock);
    int lockCount() EXCLUDES(lock);

    bool isMarkedForDeletion() const { return markedForDeletion.load(std::memory_order_acquire); }
    bool isTemporary() const { return temporary; }

    // ---- Provider-side listeners and change notification (defined with
    // the listener code, directory_listen.cpp). ----
    // One attached listener: local (no connection) or held for a remote
    // client's connection, on which a lock is taken while the record lives.
    struct DirListenerEntry {
        Connection* connection;
        DirectoryObject* object;  // owned copy
        DirNameEntry* filter;     // owned copy
        DirectorySPI* spi;
        int listenerId;
        bool multi;
        DirListenerEntry* next;
    };
    // On the execution thread: pushes the record at the head of _dirListeners.
    static void completeAttach(DirListenerEntry* entry);
    // Unlinks and frees every record of that connection.
    static void closeListenersOnLost(Connection* connection);
    // Unlinks and frees every record and disconnect listener of this
    // provider, drops the attaches still queued for it, and disconnects the
    // listeners of this process it served; its destructor calls it.
    void closeListenersOfProvider() EXCLUDES(_dCb);
    // Whether a changed entry (with the attribute set sent with the change)
    // passes a record's filter.
    static bool matchingNotify(const DirListenerEntry* entry, const DirNameEntry* changed,
                               const Attributes* attributes);
    void notifyDirectoryAdd(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl);
    void notifyDirectoryDelete(const DirNameEntry* entry, const Attributes* attributes);
    void notifyDirectoryModified(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl);
    // Multiple forms: count changed entries with parallel arrays (acls may be null).
    void notifyDirectoryAdd(int count, DirNameEntry** entries, Attributes** attributes, Acl** acls);
    void notifyDirectoryDelete(int count, DirNameEntry** entries, Attributes** attributes);
    void notifyDirectoryModified(int count, DirNameEntry** entries, Attributes** attributes, Acl** acls);
    DirectoryChangeHelper* getChangeHelper();
    void addDisconnectListener(DisconnectListener* listener);
    void fireDisconnectEvent(Connection* connection);

    static CriticalBlock _dCb;
    static DirListenerEntry* _dirListeners GUARDED_BY(_dCb);

protected:
    friend class Directory;

    CriticalBlock lock;
    int _locks GUARDED_BY(lock);
    // Set by the idle sweep under the provider list lock; atomic because
    // resolving threads read it without that lock.
    std::atomic<bool> markedForDeletion;
    // Set once by whoever opens the provider, before it is shared.
    bool temporary;
    char* domainGuid;
};

#endif
