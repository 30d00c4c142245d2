// A session that ends while requests made through it are still out: they
// fail with "No Login; Logout was called" as it goes, and nothing that
// happens afterwards (the provider connecting, the time-out) reaches the
// session that is gone. Also when the session ends on the execution thread
// itself (a local provider's operation ends it), where it cannot wait.
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/future_result.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "tests/dir/stub_spi.h"
#include "tests/support/wait_for.h"

namespace {

// Never connected: every request through it waits to resolve.
class OfflineSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry*,
                DirectoryObject*& out) override {
        resolves++;
        out = nullptr;
        return DirError::E_NOT_CONNECTED;
    }
    std::atomic<int> resolves{0};
};

struct Recorder final : FutureResultListener {
    void onComplete(FutureResult* r) override {
        completes++;
        error = r->failed ? r->error : 0;
    }
    void onUpdate(FutureResult*, ExecuteUpdate*) override {}
    std::atomic<int> completes{0}, error{-1};
};

// Resolves everything but "offline" (never connected); its operation "end"
// ends the session given to it, right after making one more request through
// it, from the execution thread; "done" completes at once.
class EndingSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        out = nullptr;
        if (strcmp(entry->getClassName(), "offline") == 0) return DirError::E_NOT_CONNECTED;
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char* op, Any**, FutureResult* r) override {
        if (strcmp(op, "done") == 0) {
            r->setResult(new Any(1));
            return 0;
        }
        if (strcmp(op, "end") != 0 || victim == nullptr) return DirError::E_NOT_IMPLEMENTED;
        int err = 0;
        DirName* name = DirName::createFromString("/thing:", &err);
        queued = victim->execute(name, nullptr, "op", nullptr);
        delete name;
        delete victim;
        victim = nullptr;
        r->setResult(new Any(0));
        return 0;
    }
    Directory* victim = nullptr;
    FutureResult* queued = nullptr;  // made and read on the execution thread, then by the test
};

TEST(ExecSession, RequestsOfASessionThatEndsFailAndNeverReachItAgain) {
    // A server session keeps the execution thread running throughout.
    OfflineSPI keeper;
    int err = -1;
    Directory* server = Directory::startServerDirectoryService(&keeper, nullptr, nullptr, "keeper", &err);
    ASSERT_EQ(0, err);

    OfflineSPI spi;
    Directory* session = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "leaving", &err);
    ASSERT_EQ(0, err);
    DirName* name = DirName::createFromString("/thing:", &err);
    ASSERT_NE(nullptr, name);
    Recorder listener;
    FutureResult* waiting[3];
    for (FutureResult*& r : waiting) r = session->execute(name, &listener, "op", nullptr);
    for (int i = 0; i < 2000 && spi.resolves < 3; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(spi.resolves.load(), 3);
    // And one made just before the session goes, which may still be on its
    // way to the execution thread.
    FutureResult* last = session->execute(name, &listener, "op", nullptr);
    delete session;

    for (FutureResult* r : {waiting[0], waiting[1], waiting[2], last}) {
        ASSERT_TRUE(r->waitComplete(10000));
        EXPECT_TRUE(r->failed);
        EXPECT_EQ(DirError::E_LOGGED_OUT, r->error);
    }
    for (int i = 0; i < 2000 && listener.completes < 4; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(4, listener.completes.load());
    EXPECT_EQ(DirError::E_LOGGED_OUT, listener.error.load());

    // The session's provider "connects": a request still out would now
    // resolve through the session that is gone (two timer ticks).
    int resolvesBefore = spi.resolves;
    Directory::spiConnected("Dleaving");
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * ExecDirThread::kTimerMillis + 500));
    EXPECT_EQ(resolvesBefore, spi.resolves.load());

    for (FutureResult* r : {waiting[0], waiting[1], waiting[2], last}) FutureResult::destroy(r);
    delete name;
    delete server;
}

TEST(ExecSession, ASessionEndedOnTheExecutionThreadFailsItsRequestsListedOrQueued) {
    EndingSPI ender;
    int err = -1;
    Directory* server = Directory::startServerDirectoryService(&ender, nullptr, nullptr, "ender", &err);
    ASSERT_EQ(0, err);
    OfflineSPI spi;
    Directory* victim = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "victim", &err);
    ASSERT_EQ(0, err);
    DirName* name = DirName::createFromString("/thing:", &err);
    ASSERT_NE(nullptr, name);
    FutureResult* listed = victim->execute(name, nullptr, "op", nullptr);
    for (int i = 0; i < 2000 && spi.resolves < 1; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(spi.resolves.load(), 1);
    ender.victim = victim;

    FutureResult* end = server->execute(name, nullptr, "end", nullptr);
    ASSERT_TRUE(end->waitComplete(10000));
    EXPECT_FALSE(end->failed);
    ASSERT_NE(nullptr, ender.queued);
    for (FutureResult* r : {listed, ender.queued}) {
        ASSERT_TRUE(r->waitComplete(10000));
        EXPECT_TRUE(r->failed);
        EXPECT_EQ(DirError::E_LOGGED_OUT, r->error);
    }
    int resolvesBefore = spi.resolves;
    Directory::spiConnected("Dvictim");
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * ExecDirThread::kTimerMillis + 500));
    EXPECT_EQ(resolvesBefore, spi.resolves.load());

    for (FutureResult* r : {listed, ender.queued, end}) FutureResult::destroy(r);
    delete name;
    delete server;
}

// A listener runs on the execution thread with the registry lock held; a
// session it ends there has its other requests fail all the same.
TEST(ExecSession, ASessionEndedByAListenerFailsItsOtherRequests) {
    EndingSPI spi;
    int err = -1;
    Directory* keeper = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "keeper2", &err);
    ASSERT_EQ(0, err);
    Directory* session = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "short", &err);
    ASSERT_EQ(0, err);
    DirName* offline = DirName::createFromString("/offline:", &err);
    DirName* thing = DirName::createFromString("/thing:", &err);
    ASSERT_NE(nullptr, offline);
    ASSERT_NE(nullptr, thing);
    FutureResult* waiting = session->execute(offline, nullptr, "op", nullptr);

    struct Ender final : FutureResultListener {
        void onComplete(FutureResult*) override {
            delete session;
            ended = true;
        }
        void onUpdate(FutureResult*, ExecuteUpdate*) override {}
        Directory* session = nullptr;
        std::atomic<bool> ended{false};
    } ender;
    ender.session = session;
    FutureResult* done = session->execute(thing, &ender, "done", nullptr);
    ASSERT_TRUE(done->waitComplete(10000));
    EXPECT_TRUE(ender.ended);
    ASSERT_TRUE(waiting->waitComplete(10000));
    EXPECT_TRUE(waiting->failed);
    EXPECT_EQ(DirError::E_LOGGED_OUT, waiting->error);

    for (FutureResult* r : {waiting, done}) FutureResult::destroy(r);
    delete offline;
    delete thing;
    delete keeper;
}

}  // namespace

// The last client hold let go on the execution thread itself (a listener
// ending the last session) cannot stop that thread, which would wait for
// its own end: it goes on serving. Run in a process of its own, where no
// server session keeps the thread in any case.
TEST(ExecSessionDeathTest, TheLastClientSessionEndedOnTheExecutionThreadLeavesItServing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(20);  // a thread waiting for itself never returns
            Directory::init();
            ExecDirThread::holdForClient();
            static std::atomic<bool> released{false};
            ExecDirThread::postDeleteLater(nullptr, [](void*) {
                ExecDirThread::releaseClient();
                released = true;
            });
            waitFor([] { return released.load(); });
            static std::atomic<bool> served{false};
            ExecDirThread::postDeleteLater(nullptr, [](void*) { served = true; });
            _exit(waitFor([] { return served.load(); }, 10000) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
