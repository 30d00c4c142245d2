// Requests sent to a remote provider: a "Must Restart" answer on one request
// ends every other request sent on the same connection (and only those),
// a request that cannot reach its provider ends with a time-out, and a
// result owned by another thread may be let go by its listener however the
// request ends.
#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/daemon_thread.h"
#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "tests/dir/letting_go_listener.h"
#include "tests/dir/stub_spi.h"

namespace {

// A provider that says it is remote; what is sent to it goes through the
// send hook below, which the tests install.
class RemoteLikeSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry*,
                DirectoryObject*& out) override {
        out = nullptr;
        return DirError::E_NOT_CONNECTED;
    }
    bool isNetworkSPI() override { return true; }
};

// Two connections the requests go out on, told apart by address only.
int connectionOne, connectionTwo;

std::mutex sentLock;
std::vector<long long> sent;

// Operation "one" goes out on the first connection, "two" on the second,
// "offline" finds the provider not connected.
int fakeSend(DirectorySPI*, const Principal*, DirectoryObject*, const char* op, Any**, long long id,
             Connection** connection) {
    if (strcmp(op, "offline") == 0) return DirError::E_NOT_CONNECTED;
    *connection = reinterpret_cast<Connection*>(strcmp(op, "one") == 0 ? &connectionOne : &connectionTwo);
    std::lock_guard<std::mutex> hold(sentLock);
    sent.push_back(id);
    return 0;
}

size_t waitForSent(size_t n) {
    for (int i = 0; i < 2000; i++) {
        {
            std::lock_guard<std::mutex> hold(sentLock);
            if (sent.size() >= n) return sent.size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> hold(sentLock);
    return sent.size();
}

class ExecConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> hold(sentLock);
            sent.clear();
        }
        saved = ExecHelper::_asyncExecuteFn;
        ExecHelper::_asyncExecuteFn = fakeSend;
        int err = -1;
        dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "execconn", &err);
        ASSERT_EQ(0, err);
        // The root itself: no entry to resolve, so the request goes straight
        // to its provider.
        name.absolute = true;
    }
    void TearDown() override {
        FutureResult::defaultTimeout = FutureResult::kDefaultTimeout;
        delete dir;
        ExecHelper::_asyncExecuteFn = saved;
    }

    RemoteLikeSPI spi;
    Directory* dir = nullptr;
    DirName name;
    int (*saved)(DirectorySPI*, const Principal*, DirectoryObject*, const char*, Any**, long long,
                 Connection**) = nullptr;
};

TEST_F(ExecConnectionTest, MustRestartEndsTheOtherRequestsOfItsConnectionOnly) {
    FutureResult* a = dir->execute(&name, nullptr, "one", nullptr);
    FutureResult* b = dir->execute(&name, nullptr, "one", nullptr);
    FutureResult* c = dir->execute(&name, nullptr, "one", nullptr);
    FutureResult* other = dir->execute(&name, nullptr, "two", nullptr);
    ASSERT_EQ(4u, waitForSent(4));

    Directory::executeComplete(a->id, DirError::MUST_RESTART);
    for (FutureResult* r : {a, b, c}) {
        ASSERT_TRUE(r->waitComplete(10000));
        EXPECT_TRUE(r->failed);
        EXPECT_EQ(DirError::MUST_RESTART, r->error);
    }
    // The other connection's request is still waiting for its answer, and
    // takes it when it comes.
    EXPECT_FALSE(other->waitComplete(300));
    FutureResult* answer = FutureResult::newUnlisted();
    answer->result = new Any(5);
    answer->complete = true;
    Directory::executeComplete(other->id, answer);
    ASSERT_TRUE(other->waitComplete(10000));
    EXPECT_FALSE(other->failed);
    EXPECT_EQ(5, other->result->getInt32());

    // Any other error ends its own request alone.
    FutureResult* d = dir->execute(&name, nullptr, "one", nullptr);
    FutureResult* e = dir->execute(&name, nullptr, "one", nullptr);
    ASSERT_EQ(6u, waitForSent(6));
    Directory::executeComplete(d->id, DirError::E_IO);
    ASSERT_TRUE(d->waitComplete(10000));
    EXPECT_EQ(DirError::E_IO, d->error);
    EXPECT_FALSE(e->waitComplete(300));
    Directory::executeComplete(e->id, DirError::E_PROTOCOL);
    ASSERT_TRUE(e->waitComplete(10000));
    EXPECT_EQ(DirError::E_PROTOCOL, e->error);

    for (FutureResult* r : {a, b, c, other, d, e}) FutureResult::destroy(r);
}

TEST_F(ExecConnectionTest, ARequestWhoseProviderStaysOfflineTimesOut) {
    FutureResult::defaultTimeout = 1;
    FutureResult* r = dir->execute(&name, nullptr, "offline", nullptr);
    ASSERT_TRUE(r->waitComplete(30000));
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_TIMEOUT, r->error);
    FutureResult::destroy(r);
}

// A thread that owns future results: it runs its later list (where they
// are deleted) until told to stop.
class OwnerThread : public DaemonThread {
public:
    OwnerThread() {
        setName("fr-owner");
        setDeleteOnExit(false);
    }
    void run() override {
        setInitialized();
        while (!stop) {
            processLaterList();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        processLaterList();
    }
    std::atomic<bool> stop{false};
};

TEST_F(ExecConnectionTest, AListenerMayLetGoOfAResultThatAnotherThreadOwns) {
    OwnerThread owner;
    ASSERT_EQ(0, owner.start());
    LettingGo listener;
    int before = FutureResult::liveCount();

    // Ended by an error, by an answer, and by the time-out. Only the last
    // gets a short deadline, once the other two are answered: a loaded
    // machine's slow sends must not let those time out first.
    std::vector<long long> ids;
    FutureResult* timed = nullptr;
    for (int i = 0; i < 3; i++) {
        FutureResult* r = dir->execute(&name, &listener, "one", nullptr);
        r->ownerThread = &owner;
        ids.push_back(r->id);
        timed = r;
    }
    ASSERT_EQ(3u, waitForSent(3));
    Directory::executeComplete(ids[0], DirError::E_IO);
    FutureResult* answer = FutureResult::newUnlisted();
    answer->result = new Any(9);
    answer->complete = true;
    Directory::executeComplete(ids[1], answer);
    for (int i = 0; i < 6000 && listener.completes < 2; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(2, listener.completes.load());
    timed->timeout = 1;
    timed->notifyTimeout();
    for (int i = 0; i < 6000 && listener.completes < 3; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(3, listener.completes.load());
    EXPECT_EQ(DirError::E_TIMEOUT, listener.error.load());
    // Each freed once, on its owner's thread (results of earlier cases may
    // go meanwhile too).
    for (int i = 0; i < 2000 && FutureResult::liveCount() > before; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(FutureResult::liveCount(), before);
    owner.stop = true;
    owner.join();
}

}  // namespace
