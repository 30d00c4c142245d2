// Adding a listener whose first connect fails keeps nothing behind, not even
// the provider record that a retry running meanwhile made for it.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/listener.h"
#include "dirbase/dir_name.h"
#include "tests/dir/listener_support.h"
#include "tests/dir/stub_spi.h"

namespace {

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

struct Quiet : DirectoryListener {
    void directoryAdd(const DirNameEntry*, const Attributes*, const Acl*) override {}
    void directoryDelete(const DirNameEntry*, const Attributes*) override {}
    void directoryModified(const DirNameEntry*, const Attributes*, const Acl*) override {}
    void listenerDisconnected() override {}
    void listenerConnected() override {}
};

// Runs after every attach posted so far has been recorded or dropped.
void waitForAttaches() {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    ExecDirThread::postBehindAttaches([&] {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return done; });
}

TEST(ListenerAdd, AFailedAddLeavesNoRecordARetryMadeMeanwhile) {
    FirstFailsSPI spi;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "watch", &err);
    ASSERT_NE(nullptr, dir);
    DirName* name = DirName::createFromString("/zone:/host:", &err);
    ASSERT_NE(nullptr, name);
    Quiet listener;
    int addErr = -1;
    std::thread adding([&] { dir->addListener(name, &listener, &addErr); });
    ASSERT_TRUE(spi.waitFirst());
    int id = newestListenerId();
    ASSERT_NE(0, id);

    // The sweep's retry connects the listener while its first connect waits.
    Directory::retryListeners();
    waitForAttaches();
    EXPECT_EQ(1, localRecords(id));

    spi.release();
    adding.join();
    EXPECT_EQ(DirError::E_OBJECT_NOT_FOUND, addErr);
    EXPECT_FALSE(Directory::hasListener(id));
    waitForAttaches();
    EXPECT_EQ(0, localRecords(id));

    delete name;
    delete dir;
}

}  // namespace
