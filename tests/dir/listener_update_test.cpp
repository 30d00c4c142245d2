// Updates handed to a client's listeners by id: a change is delivered to
// every listener of that id by its kind, and an update a peer sent without
// an entry, or of a kind that does not exist, reaches no listener.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/listener.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"

namespace {

class AnySPI : public DirectorySPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration*) override {
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) override {
        return DirError::E_NOT_IMPLEMENTED;
    }
    int getAttributes(const Principal*, DirectoryObject*, Attributes*& out) override {
        out = nullptr;
        return 0;
    }
    int getAcl(const Principal*, DirectoryObject*, Acl*& out) override {
        out = nullptr;
        return 0;
    }
};

// Notes each call as "add NAME" and the like; "add -" for a call without an
// entry, which a listener could not tell anything about.
struct Calls : DirectoryListener {
    void directoryAdd(const DirNameEntry* e, const Attributes*, const Acl*) override { note("add", e); }
    void directoryDelete(const DirNameEntry* e, const Attributes*) override { note("del", e); }
    void directoryModified(const DirNameEntry* e, const Attributes*, const Acl*) override { note("mod", e); }
    void listenerDisconnected() override { connected = false; }
    void listenerConnected() override { connected = true; }

    void note(const char* what, const DirNameEntry* e) {
        const char* n = e != nullptr ? e->getStringAttributeValue("name") : "-";
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::string(what) + " " + (n != nullptr ? n : "?"));
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<std::string> out;
        out.swap(seen);
        return out;
    }

    std::mutex lock;
    std::vector<std::string> seen;
    std::atomic<bool> connected{false};
};

using Strings = std::vector<std::string>;

int newestListenerId() {
    CriticalSection hold(Directory::_listenerCb);
    return Directory::_listeners != nullptr ? Directory::_listeners->listenerId : 0;
}

TEST(ListenerUpdate, OnlyWholeUpdatesOfAKnownKindReachTheListener) {
    AnySPI spi;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
    ASSERT_NE(nullptr, dir);
    DirName* name = DirName::createFromString("/zone:/host:", &err);
    ASSERT_NE(nullptr, name);
    Calls calls, bystander;
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

}  // namespace
