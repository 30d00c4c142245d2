// Directory listeners, both sides.
//
// Client side: a caller implements DirectoryListener and registers it with
// Directory::addListener for a name; the directory keeps one ListenerEntry
// per registration, resolves the name up to its last entry and asks that
// provider to `listen`, with the last entry as the filter that changed
// objects must pass. Changes come back through
// Directory::processDirectoryUpdate by listener id.
//
// Provider side: DirectorySPI keeps a DirListenerEntry per attached listener
// (directory_spi.h) and its notify functions deliver each change to the
// records whose filter it passes; DirectoryChangeHelper offers the same
// six notify operations for code that holds only the helper.
//
// Ownership: a ListenerEntry owns its copies of the name and the principal;
// the listener stays the caller's and must outlive its registration.
//
// Thread-safety: Directory::_listeners is guarded by Directory::_listenerCb
// and DirectorySPI::_dirListeners by DirectorySPI::_dCb. Listener callbacks
// run with the listener lock held and must not add or remove listeners.
// Nor may they make a local provider notify a change: a callback reached
// from a notify function runs under that provider's _dCb, which is not
// recursive, so the nested notify stops the process on the lock's check.
// Hand such work to another thread instead.
// Lock order: the provider-side lock (_dCb) is held while a change is
// delivered, so _dCb comes before _listenerCb; the provider list lock comes
// before both.
#ifndef DRV_DIR_LISTENER_H
#define DRV_DIR_LISTENER_H

#include "dir/directory_spi.h"

class Acl;
class Attributes;
class DirName;
class DirNameEntry;
class Directory;
class Principal;

// Kinds of change, as processDirectoryUpdate and the update messages carry them.
enum DirectoryChangeKind { CHANGE_ADD = 0, CHANGE_MODIFY = 1, CHANGE_DELETE = 2 };

class DirectoryListener {
public:
    virtual void directoryAdd(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl) = 0;
    virtual void directoryDelete(const DirNameEntry* entry, const Attributes* attributes) = 0;
    virtual void directoryModified(const DirNameEntry* entry, const Attributes* attributes, const Acl* acl) = 0;
    virtual void listenerDisconnected() = 0;
    virtual void listenerConnected() = 0;

protected:
    ~DirectoryListener() = default;
};

class ListenerEntry {
public:
    // Copies name and principal; the id is 0 until the caller gives one.
    ListenerEntry(Directory* directory, DirectoryListener* listener, const DirName* name,
                  const Principal* principal);
    ~ListenerEntry();
    ListenerEntry(const ListenerEntry&) = delete;
    ListenerEntry& operator=(const ListenerEntry&) = delete;

    // Resolves the name up to its last entry and asks that provider to
    // listen with the last entry as filter; the resolution's error or 0.
    int connect();

    Directory* directory;
    bool connected;
    DirectoryListener* listener;
    DirName* name;
    ListenerEntry* next;
    int listenerId;
    DirectorySPI* spi;
    Principal* principal;

    // The next listener id; the caller holds the listener lock.
    static int takeNextId();

private:
    static int _nextListenerId;
};

// The notify operations of one provider, for code that is handed only this.
class DirectoryChangeHelper {
public:
    explicit DirectoryChangeHelper(DirectorySPI* spi) : _spi(spi) {}

    void notifyDirectoryAdd(const DirNameEntry* e, const Attributes* a, const Acl* acl) {
        _spi->notifyDirectoryAdd(e, a, acl);
    }
    void notifyDirectoryDelete(const DirNameEntry* e, const Attributes* a) { _spi->notifyDirectoryDelete(e, a); }
    void notifyDirectoryModified(const DirNameEntry* e, const Attributes* a, const Acl* acl) {
        _spi->notifyDirectoryModified(e, a, acl);
    }
    void notifyDirectoryAdd(int n, DirNameEntry** e, Attributes** a, Acl** acl) {
        _spi->notifyDirectoryAdd(n, e, a, acl);
    }
    void notifyDirectoryDelete(int n, DirNameEntry** e, Attributes** a) { _spi->notifyDirectoryDelete(n, e, a); }
    void notifyDirectoryModified(int n, DirNameEntry** e, Attributes** a, Acl** acl) {
        _spi->notifyDirectoryModified(n, e, a, acl);
    }

private:
    DirectorySPI* _spi;
};

// Told when a client connection of a provider goes away.
class DisconnectListener {
public:
    virtual void onDisconnect(Connection* connection) = 0;

protected:
    ~DisconnectListener() = default;
};

// Sends update messages for provider-side records held for a remote
// client; installed by the remote-provider library, which owns the
// "M_LISTENER_UPDATE" and "M_LISTENER_UPDATE2" messages. Without it a
// remote record is matched but nothing can be sent.
class ListenerUpdateSender {
public:
    // One change (acl null for a delete).
    virtual void sendUpdate(Connection* connection, int listenerId, int kind, const DirNameEntry* entry,
                            const Attributes* attributes, const Acl* acl) = 0;
    // count changes in one message (acls may be null).
    virtual void sendUpdates(Connection* connection, int listenerId, int kind, int count, DirNameEntry** entries,
                             Attributes** attributes, Acl** acls) = 0;

protected:
    ~ListenerUpdateSender() = default;
};
extern ListenerUpdateSender* _listenerUpdateSender;

#endif
