// Updates handed to a client's listeners by id: a change is delivered to
// every listener of that id by its kind, and an update a peer sent without
// an entry, or of a kind that does not exist, reaches no listener. On the
// provider side, a remote client that reads batches gets one message for a
// multiple change, and one that does not gets one per changed entry.
// A provider that is deleted takes its records and disconnect listeners
// with it.
#include <atomic>
#include <chrono>
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
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/dir/listener_support.h"
#include "tests/dir/stub_spi.h"

namespace {

class AnySPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
};

using Strings = std::vector<std::string>;

TEST(ListenerUpdate, OnlyWholeUpdatesOfAKnownKindReachTheListener) {
    AnySPI spi;
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
    AnySPI spi;
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");
    spi.attachListener(nullptr, batched, &zone, &filter, 5, true);
    spi.attachListener(nullptr, single, &zone, &filter, 6, false);
    // Recorded on the execution thread, if one runs.
    std::promise<void> recorded;
    ExecDirThread::postBehindAttaches([&recorded] { recorded.set_value(); });
    ASSERT_EQ(std::future_status::ready, recorded.get_future().wait_for(std::chrono::seconds(20)));
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

// A provider deleted while a client still listens on it: its records and
// disconnect listeners go with it, so a provider made later in the same
// memory (as the allocator may well place it) hears nothing of them.
TEST(ListenerUpdate, AProviderThatIsGoneTakesItsRecordsAndDisconnectListenersWithIt) {
    Connection::comsInit();
    Connection* client = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    ASSERT_NE(nullptr, client);
    alignas(AnySPI) unsigned char storage[sizeof(AnySPI)];
    AnySPI* gone = new (storage) AnySPI();
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");
    gone->attachListener(nullptr, client, &zone, &filter, 7, false);
    std::promise<void> recorded;
    ExecDirThread::postBehindAttaches([&recorded] { recorded.set_value(); });
    ASSERT_EQ(std::future_status::ready, recorded.get_future().wait_for(std::chrono::seconds(20)));
    ASSERT_EQ(1, recordsOf(client));
    Disconnects disconnects;
    gone->addDisconnectListener(&disconnects);
    gone->~AnySPI();
    EXPECT_EQ(0, recordsOf(client));

    AnySPI* later = new (storage) AnySPI();
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
    later->~AnySPI();

    DirectorySPI::closeListenersOnLost(client);
    Connection::destroy(client);
}

}  // namespace
