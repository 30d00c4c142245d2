// Directory listeners in one process: a listener attaches through its
// provider, its filter decides which changes reach it (class exactly,
// attributes from the entry or from the set sent with the change), the
// multiple forms deliver each change (and nothing for a count of 0), and
// removing one listener leaves the others.
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
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
    for (int i = 0; i < 200 && localRecords(id) == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

}  // namespace
