// Directory listeners in one process: a listener attaches through its
// provider, its filter decides which changes reach it (class exactly,
// attributes from the entry or from the set sent with the change), the
// multiple forms deliver each change (and nothing for a count of 0), and
// removing one listener leaves the others. Updates handed to a client's
// listeners by id reach them only whole and of a known kind; a remote client
// gets batches only when it reads them; a provider that is deleted takes its
// records and disconnect listeners with it; and an add whose first connect
// fails keeps nothing behind, not even the record a retry made meanwhile.
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "coms/connection.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/listener.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/dir/listener_support.h"
#include "tests/dir/stub_spi.h"

namespace {

class ChangeSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        // While held, a resolve waits (as one through a remote provider that
        // is not connected does).
        std::unique_lock<std::mutex> lock(holdLock);
        resolving++;
        holdChanged.notify_all();
        holdChanged.wait_for(lock, std::chrono::seconds(10), [&] { return !held; });
        resolved++;
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(holdLock);
        held = on;
        holdChanged.notify_all();
    }
    bool waitResolving(int n) {
        std::unique_lock<std::mutex> lock(holdLock);
        return holdChanged.wait_for(lock, std::chrono::seconds(10), [&] { return resolving >= n; });
    }
    std::mutex holdLock;
    std::condition_variable holdChanged;
    bool held = false;
    int resolving = 0;  // resolves begun
    int resolved = 0;   // resolves ended
};

using Strings = std::vector<std::string>;

DirNameEntry* host(const char* name, const char* os = nullptr) {
    DirNameEntry* e = new DirNameEntry("host", "name", name);
    if (os != nullptr) e->setAttribute("os", os);
    return e;
}

// Keeps the execution thread busy until release(), so that attaches wait
// in its queue.
class HeldExecThread {
public:
    HeldExecThread() {
        std::future<void> running = _running.get_future();
        ExecDirThread::postDeleteLater(this, [](void* p) {
            // Taken before the holder hears it runs: once released, the
            // holder may be gone.
            HeldExecThread* h = static_cast<HeldExecThread*>(p);
            std::future<void> go = h->_release.get_future();
            h->_running.set_value();
            go.wait_for(std::chrono::seconds(10));
        });
        _holding = running.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    ~HeldExecThread() { release(); }
    bool holding() const { return _holding; }
    void release() {
        if (_released) return;
        _released = true;
        _release.set_value();
    }

private:
    std::promise<void> _running;
    std::promise<void> _release;
    bool _holding = false;
    bool _released = false;
};

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        int err = -1;
        dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
        ASSERT_EQ(0, err);
    }
    void TearDown() override {
        for (ChangeLines* l : {&all, &linux, &other}) dir->removeListener(l);
        delete dir;
    }
    // Adds a listener on the session; listen also waits until it is connected.
    static int add(Directory* session, const char* name, ChangeLines* l) {
        int err = 0;
        DirName* n = DirName::createFromString(name, &err);
        if (n == nullptr) return err;
        session->addListener(n, l, &err);
        delete n;
        return err;
    }
    void listen(const char* name, ChangeLines* l) {
        ASSERT_EQ(0, add(dir, name, l));
        ASSERT_TRUE(l->waitConnected());
    }

    ChangeSPI spi;
    Directory* dir = nullptr;
    ChangeLines all, linux, other;
};

TEST_F(ListenerTest, FiltersChooseWhichChangesArrive) {
    listen("/zone:/host:", &all);
    listen("/zone:/host:os=linux", &linux);
    listen("/zone:/disk:", &other);

    Attributes sent;
    sent.setAttribute("os", "linux");
    DirNameEntry* a = host("a");  // os only in the attribute set sent along
    DirNameEntry* b = host("b", "aix");
    DirNameEntry* c = host("c", "linux");
    spi.notifyDirectoryAdd(a, &sent, nullptr);
    spi.notifyDirectoryModified(b, nullptr, nullptr);
    spi.notifyDirectoryDelete(c, nullptr);
    DirNameEntry* plural = new DirNameEntry("hosts", "name", "d");
    spi.notifyDirectoryAdd(plural, &sent, nullptr);
    EXPECT_EQ((Strings{"add a", "mod b", "del c"}), all.take());
    EXPECT_EQ((Strings{"add a", "del c"}), linux.take());
    EXPECT_EQ(Strings{}, other.take());
    // A filter attribute that neither the entry nor the set has fails.
    spi.notifyDirectoryAdd(a, nullptr, nullptr);
    EXPECT_EQ(Strings{}, linux.take());
    all.take();

    // Multiple forms: matched on the first change, then every change delivered.
    DirNameEntry* entries[] = {c, b};
    Attributes* sets[] = {nullptr, nullptr};
    spi.notifyDirectoryAdd(2, entries, sets, nullptr);
    EXPECT_EQ((Strings{"add c", "add b"}), linux.take());
    spi.notifyDirectoryDelete(0, entries, sets);
    spi.notifyDirectoryModified(-1, entries, sets, nullptr);
    EXPECT_EQ(Strings{}, linux.take());
    DirNameEntry* first[] = {b, c};
    spi.notifyDirectoryModified(2, first, sets, nullptr);
    EXPECT_EQ(Strings{}, linux.take());
    EXPECT_EQ((Strings{"add c", "add b", "mod b", "mod c"}), all.take());

    // Removing a listener that is not at the head keeps the others.
    dir->removeListener(&linux);
    spi.notifyDirectoryDelete(c, nullptr);
    EXPECT_EQ(Strings{}, linux.take());
    EXPECT_EQ((Strings{"del c"}), all.take());
    DirNameEntry* disk = new DirNameEntry("disk", "name", "sda");
    DirectoryChangeHelper* helper = spi.getChangeHelper();
    helper->notifyDirectoryAdd(disk, nullptr, nullptr);
    delete helper;
    EXPECT_EQ((Strings{"add sda"}), other.take());

    // A provider that goes away disconnects its listeners.
    Directory::processDisconnect(&spi);
    EXPECT_FALSE(all.connected);
    EXPECT_FALSE(other.connected);
    for (DirNameEntry* e : {a, b, c, plural, disk}) delete e;
}

TEST_F(ListenerTest, AListenerWhoseNameDoesNotResolveIsNotKept) {
    int err = 0;
    DirName* n = DirName::createFromString("//asset:/host:", &err);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(DirError::E_MISSING_DOMAIN, dir->addListener(n, &all, &err));
    EXPECT_EQ(DirError::E_MISSING_DOMAIN, err);
    delete n;
    EXPECT_FALSE(Directory::listenerUsesSPI(&spi));
    CriticalSection hold(Directory::_listenerCb);
    EXPECT_EQ(nullptr, Directory::_listeners);
}

TEST_F(ListenerTest, ARemoteClientsRecordStillOnItsWayIsClosedBehindIt) {
    // A server's request thread attaches a remote client's listener while
    // the client's session ends on another thread: the record reaches the
    // execution thread after the session closed its records, and would hold
    // the connection for ever. The close posted behind it frees it.
    Connection::comsInit();
    Connection* client = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    ASSERT_NE(nullptr, client);
    int base = client->getLockCount();

    // Hold the execution thread so that the attach waits in its queue.
    HeldExecThread held;
    ASSERT_TRUE(held.holding());
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");
    spi.attachListener(nullptr, client, &zone, &filter, 9, false);
    EXPECT_EQ(base + 1, client->getLockCount());
    DirectorySPI::closeListenersOnLost(client);  // too early: nothing recorded yet
    client->addLock();
    ExecDirThread::postBehindAttaches([client] {
        DirectorySPI::closeListenersOnLost(client);
        client->removeLock();
    });
    held.release();

    for (int i = 0; i < 2000 && client->getLockCount() != base; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(base, client->getLockCount());
    {
        CriticalSection records(DirectorySPI::_dCb);
        for (DirectorySPI::DirListenerEntry* e = DirectorySPI::_dirListeners; e != nullptr; e = e->next)
            EXPECT_NE(client, e->connection);
    }
    Connection::destroy(client);
}

TEST_F(ListenerTest, ARecordWaitingForTheExecutionThreadIsKeptOnceAndOnlyForALiveListener) {
    // A retry overtakes the attach still on its way: one record, one delivery.
    {
        HeldExecThread held;
        ASSERT_TRUE(held.holding());
        ASSERT_EQ(0, add(dir, "/zone:/host:", &all));
        Directory::retryListeners();
        held.release();
        ASSERT_TRUE(all.waitConnected());
    }
    int id = newestListenerId();
    for (int i = 0; i < 2000 && localRecords(id) == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1, localRecords(id));
    DirNameEntry* a = host("a");
    spi.notifyDirectoryAdd(a, nullptr, nullptr);
    EXPECT_EQ((Strings{"add a"}), all.take());

    // Removed while its attach is on its way: no record stays behind.
    {
        HeldExecThread held;
        ASSERT_TRUE(held.holding());
        ASSERT_EQ(0, add(dir, "/zone:/host:", &other));
        id = newestListenerId();
        dir->removeListener(&other);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, localRecords(id));
    spi.notifyDirectoryAdd(a, nullptr, nullptr);
    EXPECT_EQ(Strings{}, other.take());
    delete a;
}

TEST_F(ListenerTest, AListenerOfAProviderThatIsGoneIsConnectedAgainToTheOneThatFollows) {
    listen("/zone:/host:", &all);
    // The provider is replaced by a new one in the same memory, as a module
    // its host loads again may be.
    spi.~ChangeSPI();
    EXPECT_FALSE(all.connected);
    new (&spi) ChangeSPI();
    Directory::retryListeners();
    ASSERT_TRUE(all.waitConnected());
    DirNameEntry* a = host("a");
    spi.notifyDirectoryAdd(a, nullptr, nullptr);
    EXPECT_EQ((Strings{"add a"}), all.take());
    delete a;
}

TEST_F(ListenerTest, ASessionsEndTakesItsListenersWithIt) {
    // Left unconnected (its provider went away) and never removed, the
    // listener of a session that ended is not retried through that session.
    int err = -1;
    Directory* leaving = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
    ASSERT_NE(nullptr, leaving);
    ChangeLines mine;
    ASSERT_EQ(0, add(leaving, "/zone:/host:", &mine));
    ASSERT_TRUE(mine.waitConnected());
    int id = newestListenerId();
    Directory::processDisconnect(&spi);
    delete leaving;
    {
        CriticalSection hold(Directory::_listenerCb);
        for (ListenerEntry* e = Directory::_listeners; e != nullptr; e = e->next) EXPECT_NE(id, e->listenerId);
    }
    EXPECT_EQ(0, localRecords(id));
    Directory::retryListeners();
    DirNameEntry* a = host("a");
    spi.notifyDirectoryAdd(a, nullptr, nullptr);
    EXPECT_EQ(Strings{}, mine.take());
    delete a;
}

TEST_F(ListenerTest, TheSweepHandsListenerRetriesToAThreadOfTheirOwn) {
    // A retry that has to wait (its provider is not connected) must not hold
    // up the sweep, whose thread drives the remote providers' connects.
    listen("/zone:/host:", &all);
    Directory::processDisconnect(&spi);
    ASSERT_FALSE(all.connected);
    int before;
    {
        std::lock_guard<std::mutex> lock(spi.holdLock);
        before = spi.resolving;
    }
    spi.hold(true);
    Directory::testIdleProviders();
    EXPECT_TRUE(spi.waitResolving(before + 1));
    {
        std::lock_guard<std::mutex> lock(spi.holdLock);
        EXPECT_EQ(before, spi.resolved) << "the sweep returned only once the retry's resolve was over";
    }
    spi.hold(false);
    EXPECT_TRUE(all.waitConnected());
}

TEST(ListenerUpdate, OnlyWholeUpdatesOfAKnownKindReachTheListener) {
    ClassSPI spi;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
    ASSERT_NE(nullptr, dir);
    DirName* name = DirName::createFromString("/zone:/host:", &err);
    ASSERT_NE(nullptr, name);
    ChangeLines calls, bystander;
    ASSERT_EQ(0, dir->addListener(name, &calls, &err));
    int id = newestListenerId();
    ASSERT_EQ(0, dir->addListener(name, &bystander, &err));
    delete name;

    DirNameEntry a("host", "name", "a");
    Attributes sent;
    Directory::processDirectoryUpdate(id, CHANGE_ADD, &a, &sent, nullptr);
    Directory::processDirectoryUpdate(id, CHANGE_MODIFY, &a, nullptr, nullptr);
    Directory::processDirectoryUpdate(id, CHANGE_DELETE, &a, nullptr, nullptr);
    EXPECT_EQ((Strings{"add a", "mod a", "del a"}), calls.take());

    // What a peer's update may decode to: no entry, or an unknown kind.
    for (int kind : {CHANGE_ADD, CHANGE_MODIFY, CHANGE_DELETE})
        Directory::processDirectoryUpdate(id, kind, nullptr, &sent, nullptr);
    Directory::processDirectoryUpdate(id, 3, &a, &sent, nullptr);
    Directory::processDirectoryUpdate(id, -1, &a, &sent, nullptr);
    EXPECT_EQ(Strings{}, calls.take());
    // The listener still hears the next whole update; the other never did.
    Directory::processDirectoryUpdate(id, CHANGE_ADD, &a, nullptr, nullptr);
    EXPECT_EQ((Strings{"add a"}), calls.take());
    EXPECT_EQ(Strings{}, bystander.take());

    dir->removeListener(&calls);
    dir->removeListener(&bystander);
    delete dir;
}

// Notes "one ID KIND NAME" per single update and "many ID KIND COUNT
// NAME..." per batch, with "+acl" where ACLs went along.
struct Sent : ListenerUpdateSender {
    void sendUpdate(Connection*, int id, int kind, const DirNameEntry* e, const Attributes*, const Acl* acl) override {
        lines.push_back("one " + std::to_string(id) + " " + std::to_string(kind) + " " + nameOf(e) +
                        (acl != nullptr ? " +acl" : ""));
    }
    void sendUpdates(Connection*, int id, int kind, int count, DirNameEntry** entries, Attributes**,
                     Acl** acls) override {
        std::string line = "many " + std::to_string(id) + " " + std::to_string(kind) + " " + std::to_string(count);
        for (int i = 0; i < count; i++) line += " " + nameOf(entries[i]);
        lines.push_back(line + (acls != nullptr ? " +acl" : ""));
    }
    static std::string nameOf(const DirNameEntry* e) {
        const char* n = e != nullptr ? e->getStringAttributeValue("name") : nullptr;
        return n != nullptr ? n : "-";
    }
    std::vector<std::string> lines;
};

TEST(ListenerUpdate, RemoteClientsGetBatchesOnlyWhenTheyReadThem) {
    Connection::comsInit();
    Connection* batched = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    Connection* single = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    ASSERT_NE(nullptr, batched);
    ASSERT_NE(nullptr, single);
    ClassSPI spi;
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");
    spi.attachListener(nullptr, batched, &zone, &filter, 5, true);
    spi.attachListener(nullptr, single, &zone, &filter, 6, false);
    ASSERT_TRUE(waitForAttaches());
    Sent sent;
    ListenerUpdateSender* before = _listenerUpdateSender;
    _listenerUpdateSender = &sent;

    DirNameEntry a("host", "name", "a"), b("host", "name", "b"), c("host", "name", "c");
    DirNameEntry* entries[] = {&a, &b, &c};
    Attributes* sets[] = {nullptr, nullptr, nullptr};
    Acl* acls[] = {nullptr, nullptr, nullptr};
    spi.notifyDirectoryAdd(3, entries, sets, acls);
    spi.notifyDirectoryDelete(2, entries, sets);
    spi.notifyDirectoryModified(0, entries, sets, acls);
    spi.notifyDirectoryModified(&c, nullptr, nullptr);
    // Newest record first.
    EXPECT_EQ((Strings{"one 6 0 a", "one 6 0 b", "one 6 0 c", "many 5 0 3 a b c +acl",  //
                       "one 6 2 a", "one 6 2 b", "many 5 2 2 a b",                       //
                       "one 6 1 c", "one 5 1 c"}),
              sent.lines);

    _listenerUpdateSender = before;
    DirectorySPI::closeListenersOnLost(batched);
    DirectorySPI::closeListenersOnLost(single);
    Connection::destroy(batched);
    Connection::destroy(single);
}

struct Disconnects : DisconnectListener {
    void onDisconnect(Connection*) override { told++; }
    std::atomic<int> told{0};
};

// A provider deleted while a client still listens on it: its records,
// disconnect listeners and attaches still on their way go with it, so a
// provider made later in the same memory (as the allocator may well place
// it) hears nothing of them.
TEST_F(ListenerTest, AProviderThatIsGoneTakesItsRecordsAttachesAndDisconnectListenersWithIt) {
    Connection::comsInit();
    Connection* client = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    ASSERT_NE(nullptr, client);
    alignas(ClassSPI) unsigned char storage[sizeof(ClassSPI)];
    ClassSPI* gone = new (storage) ClassSPI();
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");
    gone->attachListener(nullptr, client, &zone, &filter, 7, false);
    ASSERT_TRUE(waitForAttaches());
    ASSERT_EQ(1, recordsOf(client));
    Disconnects disconnects;
    gone->addDisconnectListener(&disconnects);
    gone->~ClassSPI();
    EXPECT_EQ(0, recordsOf(client));

    ClassSPI* later = new (storage) ClassSPI();
    ASSERT_EQ(static_cast<void*>(gone), static_cast<void*>(later));
    Sent sent;
    ListenerUpdateSender* before = _listenerUpdateSender;
    _listenerUpdateSender = &sent;
    DirNameEntry a("host", "name", "a");
    later->notifyDirectoryAdd(&a, nullptr, nullptr);
    _listenerUpdateSender = before;
    EXPECT_EQ(Strings{}, sent.lines);
    later->fireDisconnectEvent(client);
    EXPECT_EQ(0, disconnects.told.load());
    later->~ClassSPI();

    ClassSPI* queued = new (storage) ClassSPI();
    {
        HeldExecThread held;
        ASSERT_TRUE(held.holding());
        queued->attachListener(nullptr, client, &zone, &filter, 8, false);
        queued->~ClassSPI();
    }
    ASSERT_TRUE(waitForAttaches());
    EXPECT_EQ(0, recordsOf(client));
    ClassSPI* again = new (storage) ClassSPI();
    again->attachListener(nullptr, client, &zone, &filter, 9, false);
    ASSERT_TRUE(waitForAttaches());
    EXPECT_EQ(1, recordsOf(client));
    again->~ClassSPI();

    DirectorySPI::closeListenersOnLost(client);
    Connection::destroy(client);
}

// The first resolve waits until released and then fails; later ones succeed.
class FirstFailsSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        std::unique_lock<std::mutex> lock(m);
        if (calls++ == 0) {
            firstWaiting = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
            out = nullptr;
            return DirError::E_OBJECT_NOT_FOUND;
        }
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
    bool waitFirst() {
        std::unique_lock<std::mutex> lock(m);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return firstWaiting; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        changed.notify_all();
    }

    std::mutex m;
    std::condition_variable changed;
    int calls = 0;
    bool firstWaiting = false;
    bool released = false;
};

// Adding a listener whose first connect fails keeps nothing behind, not even
// the provider record that a retry running meanwhile made for it.
TEST(ListenerAdd, AFailedAddLeavesNoRecordARetryMadeMeanwhile) {
    FirstFailsSPI spi;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
    ASSERT_NE(nullptr, dir);
    DirName* name = DirName::createFromString("/zone:/host:", &err);
    ASSERT_NE(nullptr, name);
    ChangeLines listener;
    int addErr = -1;
    std::thread adding([&] { dir->addListener(name, &listener, &addErr); });
    ASSERT_TRUE(spi.waitFirst());
    int id = newestListenerId();
    ASSERT_NE(0, id);

    // The sweep's retry connects the listener while its first connect waits.
    Directory::retryListeners();
    ASSERT_TRUE(waitForAttaches());
    EXPECT_EQ(1, localRecords(id));

    spi.release();
    adding.join();
    EXPECT_EQ(DirError::E_OBJECT_NOT_FOUND, addErr);
    EXPECT_FALSE(Directory::hasListener(id));
    ASSERT_TRUE(waitForAttaches());
    EXPECT_EQ(0, localRecords(id));

    delete name;
    delete dir;
}

}  // namespace
