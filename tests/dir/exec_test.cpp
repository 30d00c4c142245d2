// Directory::execute through the execution thread: results, errors and
// progress reaching the future result and its listener; time-outs (the
// default, and one moved by notifyTimeout); asset lookups that hand back a
// pending result versus blocking; and a burst of 10,000 outstanding requests,
// half answered and half timing out, that leaves nothing behind.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "common/properties.h"
#include "dir/asset.h"
#include "dir/async_resolve.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/dir/letting_go_listener.h"
#include "tests/dir/stub_spi.h"
#include "tests/support/temp_dir.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait_for.h"

namespace {

// A value holding an asset record.
Any* assetValue(const char* id, const char* host) {
    Asset* a = new Asset();
    a->id = strdup(id);
    a->host = strdup(host);
    Any* v = new Any();
    v->setObject(a);
    return v;
}

// Resolves any entry except "missing"; its operations:
//   echo   completes at once with a copy of the first argument
//   fail   refuses with 24
//   never  accepts and never answers
//   later  accepts and records the request id; the test answers by id
//   getAsset  answers an Asset for id "H1" on an "asset:" object, else 15
class ExecSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        const char* c = entry->getClassName();
        if (c == nullptr || strcmp(c, "missing") == 0) {
            out = nullptr;
            return 0;
        }
        // A provider (or a peer behind one) answering with the code of a
        // pending asset lookup that nobody started.
        if (strcmp(c, "waitsOnAsset") == 0) return DirError::E_WAITING_ON_ASSET;
        const char* id = entry->getStringAttributeValue("id");
        out = new DirectoryObject(c, new Any(id != nullptr ? id : ""));
        return 0;
    }
    int execute(const Principal*, DirectoryObject* object, const char* op, Any** args, FutureResult* r) override {
        executes++;
        if (strcmp(op, "echo") == 0) {
            r->setResult(args != nullptr && args[0] != nullptr ? new Any(*args[0]) : new Any());
            return 0;
        }
        if (strncmp(op, "name:", 5) == 0) {
            r->setResult(new Any(op));
            return 0;
        }
        if (strcmp(op, "fail") == 0) return DirError::E_ILLEGAL_ARGUMENT;
        if (strcmp(op, "never") == 0) return 0;
        if (strcmp(op, "later") == 0) {
            std::lock_guard<std::mutex> hold(lock);
            ids.push_back(ExecHelper::runningRequestId());
            return 0;
        }

        if (strcmp(op, "lookInside") == 0 && directory != nullptr) {
            // A synchronous call on the execution thread whose asset is not
            // cached: it cannot wait for a lookup only this thread could run.
            int err = 0;
            DirName* n = DirName::createFromString("//host:id=H9/x:", &err);
            Attributes* a = directory->getAttributes(n, &err);
            delete a;
            delete n;
            r->setResult(new Any(err));
            return 0;
        }
        if (strcmp(op, "getAsset") == 0) {
            const char* id = object->value != nullptr ? object->value->getString() : nullptr;
            if (id != nullptr && strcmp(id, "H3") == 0) {
                r->setResult(new Any("not a record"));
                return 0;
            }
            if (id != nullptr && strcmp(id, "H6") == 0) {
                // Answered by the test, by id.
                std::lock_guard<std::mutex> hold(lock);
                ids.push_back(ExecHelper::runningRequestId());
                return 0;
            }
            if (id != nullptr && strcmp(id, "H5") == 0) {
                // The record of another asset.
                assetLookupsH5++;
                r->setResult(assetValue("h5", "10.1.1.5"));
                return 0;
            }
            if (id == nullptr || strcmp(id, "H1") != 0) return DirError::E_OBJECT_NOT_FOUND;
            r->setResult(assetValue("H1", "10.1.1.1"));
            return 0;
        }
        return DirError::E_NOT_IMPLEMENTED;
    }

    // Waits until n requests have reached "later"; their ids.
    std::vector<long long> waitForIds(size_t n) {
        for (int i = 0; i < 12000; i++) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (ids.size() >= n) return ids;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard<std::mutex> hold(lock);
        return ids;
    }

    Directory* directory = nullptr;  // the session the provider's own calls go through
    std::mutex lock;
    std::vector<long long> ids;
    std::atomic<int> executes{0};
    std::atomic<int> assetLookupsH5{0};
};

// A reply to a request, carrying v.
FutureResult* reply(Any* v, bool complete = true) {
    FutureResult* r = new FutureResult();
    r->result = v;
    r->complete = complete;
    return r;
}

struct Recorder final : FutureResultListener {
    void onComplete(FutureResult* r) override {
        completes++;
        lastError = r->failed ? r->error : 0;
    }
    void onUpdate(FutureResult*, ExecuteUpdate* u) override {
        updates++;
        lastAmount = u->amount;
    }
    std::atomic<int> completes{0}, updates{0}, lastError{-1};
    std::atomic<double> lastAmount{0};
};

DirName* parse(const char* text) {
    int err = 0;
    DirName* n = DirName::createFromString(text, &err);
    EXPECT_NE(nullptr, n) << text;
    return n;
}

// Returns once the execution thread has freed what was let go before the
// call: its later list runs after the results and requests queued for it.
// The list is taken a batch at a time and run newest first, so the first
// mark may run before older entries of its own batch; the second, handed
// over once the first ran, is in a batch after all of them.
void settleExecThread() {
    for (int pass = 0; pass < 2; pass++) {
        std::promise<void> passed;
        ExecDirThread::instance()->deleteLater(&passed,
                                               [](void* p) { static_cast<std::promise<void>*>(p)->set_value(); });
        passed.get_future().wait();
    }
}

int threadCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

class ExecTest : public ::testing::Test {
protected:
    // The server-mode thread reads its later list between waits of
    // "execDirThreadMemCleanup" ms (minutes by default); these tests hand it
    // work through that list, and set it to a tenth of a second.
    static void SetUpTestSuite() {
        TempDir dir;
        std::string path = dir.file("dravika.properties");
        writeFile(path, "execDirThreadMemCleanup: 100\n");
        s_setDravikaPropertiesPath(path.c_str());
        ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
        s_setDravikaPropertiesPath(nullptr);
    }

    void SetUp() override {
        int err = -1;
        dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "exec", &err);
        spi.directory = dir;
        ASSERT_EQ(0, err);
        ASSERT_NE(nullptr, ExecDirThread::instance());
    }
    void TearDown() override {
        FutureResult::defaultTimeout = FutureResult::kDefaultTimeout;
        AssetCache::clear();
        delete dir;
    }

    FutureResult* run(const char* name, const char* op, Any** args = nullptr, FutureResultListener* l = nullptr) {
        DirName* n = parse(name);
        FutureResult* r = dir->execute(n, l, op, args);
        delete n;
        return r;
    }
    // The id of the next request to reach "later" (or to look up H6).
    long long nextId() {
        taken++;
        return spi.waitForIds(taken).at(taken - 1);
    }

    size_t taken = 0;
    ExecSPI spi;
    Directory* dir = nullptr;
};

TEST_F(ExecTest, ResultsErrorsAndProgressReachTheResultAndItsListener) {
    Any arg("hello");
    Any* args[] = {&arg, nullptr};
    Recorder rec;
    FutureResult* r = run("/thing:id=1", "echo", args, &rec);
    ASSERT_TRUE(r->waitComplete(10000));
    EXPECT_FALSE(r->failed);
    EXPECT_STREQ("hello", r->result->getString());
    EXPECT_EQ(1, rec.completes);
    FutureResult::destroy(r);

    // The request keeps its own copy of the operation, whatever its length
    // (short names are kept inside the request, long ones beside it).
    for (size_t length : {5, 38, 39, 40, 41, 200}) {
        std::string op = "name:" + std::string(length - 5, 'x');
        std::string passed = op;
        r = run("/thing:id=1", &passed[0]);
        passed.assign(passed.size(), '?');
        ASSERT_TRUE(r->waitComplete(10000));
        ASSERT_FALSE(r->failed) << length;
        EXPECT_EQ(op, r->result->getString()) << length;
        FutureResult::destroy(r);
    }

    // The provider's refusal, and a name that resolves to nothing.
    for (auto [name, op, code] : {std::make_tuple("/thing:id=1", "fail", DirError::E_ILLEGAL_ARGUMENT),
                                  std::make_tuple("/thing:id=1/missing:", "echo", DirError::E_OBJECT_NOT_FOUND)}) {
        r = run(name, op);
        ASSERT_TRUE(r->waitComplete(10000));
        EXPECT_TRUE(r->failed);
        EXPECT_EQ(code, r->error) << name;
        FutureResult::destroy(r);
    }

    // An answer that comes later, by id, after two progress reports.
    Recorder later;
    r = run("/thing:id=2", "later", nullptr, &later);
    long long id = nextId();
    EXPECT_EQ(r->id, id);
    time_t before = r->deadline;
    sleep(1);
    Directory::executeUpdated(id, new ExecuteUpdate(1, 0.25, "quarter"));
    Directory::executeUpdated(id, new ExecuteUpdate(1, 0.5, "half"));
    for (int i = 0; i < 1000 && later.updates < 2; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(2, later.updates);
    EXPECT_EQ(0.5, later.lastAmount);
    EXPECT_FALSE(r->isSignalled());
    EXPECT_GT(r->deadline, before);  // progress pushes the result's deadline on
    Directory::executeComplete(id, reply(new Any(42)));
    ASSERT_TRUE(r->waitComplete(10000));
    EXPECT_FALSE(r->failed);
    EXPECT_EQ(42, r->result->getInt32());
    EXPECT_EQ(1, later.completes);
    // A late error for a finished request changes nothing.
    Directory::executeComplete(id, DirError::MUST_RESTART);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(r->failed);
    EXPECT_EQ(1, later.completes);
    FutureResult::destroy(r);

    // A final answer completes the result even when it says it is not
    // complete (as a peer's reply may), and even when it is missing.
    for (bool missing : {false, true}) {
        Recorder last;
        r = run("/thing:id=2", "later", nullptr, &last);
        Directory::executeComplete(nextId(), missing ? nullptr : reply(new Any(7), false));
        ASSERT_TRUE(r->waitComplete(10000)) << missing;
        EXPECT_FALSE(r->failed);
        EXPECT_EQ(1, last.completes);
        if (!missing) {
            ASSERT_NE(nullptr, r->result);
            EXPECT_EQ(7, r->result->getInt32());
        }
        FutureResult::destroy(r);
    }

    // "__force_reset" completes on the caller's thread and never makes a request.
    int before2 = spi.executes;
    r = run("/thing:id=1", "__force_reset");
    EXPECT_TRUE(r->isSignalled());
    EXPECT_EQ(0, r->result->getInt32());
    EXPECT_EQ(before2, spi.executes);
    FutureResult::destroy(r);
}

// The owner may delete its listener as soon as it has destroyed the result.
// Progress and answers for its id that come after that reach nobody, also
// when it was answered first (it then stays in the index until the execution
// thread deletes it).
TEST_F(ExecTest, AResultItsOwnerDestroyedHearsNothingMore) {
    for (bool answeredFirst : {false, true}) {
        Recorder gone;
        FutureResult* r = run("/thing:id=3", "later", nullptr, &gone);
        long long id = nextId();
        if (answeredFirst) {
            Directory::executeComplete(id, DirError::E_ILLEGAL_ARGUMENT);
            ASSERT_TRUE(r->waitComplete(10000));
        }
        FutureResult::destroy(r);
        Directory::executeUpdated(id, new ExecuteUpdate(1, 0.5, "late"));
        Directory::executeComplete(id, reply(new Any(2)));
        Directory::executeComplete(id, DirError::E_TIMEOUT);
        // Handled in order: once a live request behind them is answered, so are they.
        Recorder live;
        FutureResult* next = run("/thing:id=4", "later", nullptr, &live);
        Directory::executeComplete(nextId(), DirError::E_ILLEGAL_ARGUMENT);
        ASSERT_TRUE(next->waitComplete(10000));
        EXPECT_EQ(1, live.completes);
        EXPECT_EQ(0, gone.updates) << answeredFirst;
        EXPECT_EQ(answeredFirst ? 1 : 0, gone.completes.load()) << answeredFirst;
        FutureResult::destroy(next);
    }
}

TEST_F(ExecTest, ARemoteResolvesAnswerIsTakenOnceOrFreedWithItsHelper) {
    // Taken: the request owns the object. Never taken (the request ended
    // first): the helper frees it (the leak checker would see it otherwise).
    for (bool taken : {true, false}) {
        AsyncResolveHelper helper(nullptr);
        helper.begin();
        DelayedEvent* event = helper.getEvent();
        event->setValue(new DirectoryObject("Dfar", new Any("x")));
        if (taken) {
            DirectoryObject* answer = helper.takeAnswer();
            ASSERT_NE(nullptr, answer);
            EXPECT_STREQ("Dfar", answer->className);
            delete answer;
        } else {
            helper.clear();
        }
        EXPECT_FALSE(helper.isOutstanding());
        EXPECT_EQ(nullptr, helper.event);
    }
    // Answered while the request ends: the supplier has found the event and
    // not yet filled it when the helper lets it go. The helper still frees
    // the answer.
    AsyncResolveHelper helper(nullptr);
    helper.begin();
    DelayedEvent* supplier = DelayedEvent::lockById(helper.getEvent()->getId());
    ASSERT_NE(nullptr, supplier);
    std::thread ending([&] { helper.clear(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the helper waits for the supplier
    supplier->setValue(new DirectoryObject("Dlate", new Any("x")));
    supplier->release();
    ending.join();
    EXPECT_FALSE(helper.isOutstanding());
}

TEST_F(ExecTest, AListenerMayStartTheNextRequest) {
    // Each completion starts the next request from inside the listener,
    // which runs with the registry lock held.
    struct Chain : FutureResultListener {
        void onComplete(FutureResult*) override {
            if (++done >= 3) return;
            DirName* n = parse("/thing:id=1");
            next.push_back(directory->execute(n, this, "echo", nullptr));
            delete n;
        }
        void onUpdate(FutureResult*, ExecuteUpdate*) override {}
        Directory* directory = nullptr;
        std::atomic<int> done{0};
        std::vector<FutureResult*> next;  // written on the execution thread only
    } chain;
    chain.directory = dir;
    FutureResult* first = run("/thing:id=1", "echo", nullptr, &chain);
    ASSERT_TRUE(first->waitComplete(10000));
    for (int i = 0; i < 2000 && chain.done < 3; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(3, chain.done.load());
    FutureResult::destroy(first);
    for (FutureResult* r : chain.next) {
        ASSERT_TRUE(r->waitComplete(10000));
        EXPECT_FALSE(r->failed);
        FutureResult::destroy(r);
    }
}

// A waiter that finds the result complete while its listener still runs
// returns only once the listener has, however long that takes.
TEST_F(ExecTest, WaitersGoOnlyOnceTheListenerHasReturned) {
    // The listener stays until the test lets it go, not for a fixed time
    // that a loaded machine could spend before the first checks.
    struct SlowListener : FutureResultListener {
        void onComplete(FutureResult*) override {
            entered = true;
            for (int i = 0; i < 30000 && !release; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            returned = true;
        }
        void onUpdate(FutureResult*, ExecuteUpdate*) override {}
        std::atomic<bool> entered{false}, release{false}, returned{false};
    } slow;
    FutureResult* r = run("/thing:id=3", "later", nullptr, &slow);
    Directory::executeComplete(nextId(), reply(new Any(7)));
    for (int i = 0; i < 2000 && !slow.entered; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(slow.entered);
    EXPECT_FALSE(r->waitComplete(20));
    EXPECT_FALSE(slow.returned);
    // Let go a while after the waiter below has begun to wait.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        slow.release = true;
    });
    ASSERT_TRUE(r->waitComplete(10000));
    EXPECT_TRUE(slow.returned);
    releaser.join();
    EXPECT_EQ(7, r->result->getInt32());
    FutureResult::destroy(r);
}

// Replies that arrive together are applied together before anyone waiting
// on them is woken: a caller woken for the first while the execution thread
// still works through the rest would sleep and wake again for each of them.
TEST_F(ExecTest, RepliesTakenTogetherWakeTheirWaitersOnceAllAreApplied) {
    struct SlowListener : FutureResultListener {
        void onComplete(FutureResult*) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            returned = true;
        }
        void onUpdate(FutureResult*, ExecuteUpdate*) override {}
        std::atomic<bool> returned{false};
    } slow;
    FutureResult* first = run("/thing:id=1", "later");
    FutureResult* second = run("/thing:id=2", "later", nullptr, &slow);
    long long firstId = nextId();
    long long secondId = nextId();

    // The execution thread is held while both replies are queued, so that it
    // takes them as one batch.
    struct Gate {
        std::promise<void> entered, open;
        std::future<void> opened = open.get_future();
    } gate;
    ExecDirThread::postDeleteLater(&gate, [](void* p) {
        Gate* g = static_cast<Gate*>(p);
        g->entered.set_value();
        g->opened.wait();
    });
    gate.entered.get_future().wait();

    std::atomic<int> waiterTid{0};
    std::atomic<bool> sawSecondApplied{false};
    std::thread waiter([&] {
        waiterTid = kernelThreadId();
        EXPECT_TRUE(first->waitComplete(10000));
        sawSecondApplied = slow.returned.load();
    });
    for (int i = 0; i < 10000 && (waiterTid == 0 || !inFutexWait(waiterTid)); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Directory::executeComplete(firstId, reply(new Any(1)));
    Directory::executeComplete(secondId, reply(new Any(2)));
    gate.open.set_value();
    waiter.join();
    EXPECT_TRUE(sawSecondApplied);
    ASSERT_TRUE(second->waitComplete(10000));
    EXPECT_EQ(1, first->result->getInt32());
    EXPECT_EQ(2, second->result->getInt32());
    FutureResult::destroy(first);
    FutureResult::destroy(second);
}

TEST_F(ExecTest, RequestsTimeOutAtTheirDeadlineWhichNotifyTimeoutMoves) {
    FutureResult::defaultTimeout = 1;
    Recorder rec;
    auto start = std::chrono::steady_clock::now();
    FutureResult* quiet = run("/thing:id=1", "never", nullptr, &rec);
    // Only an asset lookup the resolution started holds the deadline off;
    // without one, nothing would ever complete this request.
    FutureResult* waitsOnAsset = run("/waitsOnAsset:", "echo");
    ASSERT_TRUE(quiet->waitComplete(15000));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(quiet->failed);
    EXPECT_EQ(DirError::E_TIMEOUT, quiet->error);
    EXPECT_EQ(DirError::E_TIMEOUT, rec.lastError);
    EXPECT_GE(took, 1.0);
    FutureResult::destroy(quiet);
    ASSERT_TRUE(waitsOnAsset->waitComplete(20000));
    EXPECT_TRUE(waitsOnAsset->failed);
    EXPECT_EQ(DirError::E_TIMEOUT, waitsOnAsset->error);
    FutureResult::destroy(waitsOnAsset);

    // A long deadline, cut short once the request runs.
    FutureResult::defaultTimeout = 600;
    FutureResult* r = run("/thing:id=3", "later");
    nextId();
    start = std::chrono::steady_clock::now();
    r->timeout = 1;
    r->notifyTimeout();
    ASSERT_TRUE(r->waitComplete(15000));
    took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(DirError::E_TIMEOUT, r->error);
    EXPECT_LT(took, 10.0);
    // A reply that comes after the time-out leaves the error in place.
    Directory::executeComplete(r->id, reply(new Any(1)));
    // Replies are taken in order: once one sent behind it is, so is it.
    FutureResult* behind = run("/thing:id=3", "later");
    Directory::executeComplete(nextId(), reply(new Any(2)));
    ASSERT_TRUE(behind->waitComplete(10000));
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_TIMEOUT, r->error);
    EXPECT_EQ(nullptr, r->result);
    FutureResult::destroy(behind);
    FutureResult::destroy(r);
}

TEST_F(ExecTest, AssetLookupsHandBackAPendingResultOrBlock) {
    Recorder listener;
    Asset* out = nullptr;
    FutureResult* pending = nullptr;
    ASSERT_EQ(DirError::E_WAITING_ON_ASSET, dir->lookupAssetForOpen("H1", &pending, &listener, &out));
    ASSERT_NE(nullptr, pending);
    EXPECT_EQ(nullptr, out);
    ASSERT_TRUE(pending->waitComplete(10000));
    EXPECT_EQ(1, listener.completes);
    FutureResult::destroy(pending);
    // The answer went into the cache on its way to the listener.
    Asset* cached = AssetCache::assetCacheLookup("H1");
    ASSERT_NE(nullptr, cached);
    EXPECT_STREQ("10.1.1.1", cached->host);
    delete cached;

    AssetCache::clear();
    EXPECT_EQ(0, dir->lookupAssetForOpen("H1", nullptr, nullptr, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ("10.1.1.1", out->host);
    delete out;
    EXPECT_EQ(DirError::E_NO_SUCH_ASSET, dir->lookupAssetForOpen("H2", nullptr, nullptr, &out));
    EXPECT_EQ(nullptr, out);

    // On the execution thread, a synchronous call that needs a lookup fails
    // at once rather than waiting for itself for ever.
    FutureResult* inside = run("/thing:id=1", "lookInside");
    ASSERT_TRUE(inside->waitComplete(20000));
    ASSERT_NE(nullptr, inside->result);
    EXPECT_EQ(DirError::E_ASSET_LOOKUP, inside->result->getInt32());
    FutureResult::destroy(inside);

    // A lookup answered with something that is no record fails the request
    // that waited for it with 30, rather than asking again until its time-out.
    int timeout = FutureResult::defaultTimeout.exchange(5);
    FutureResult* r = run("//host:id=H3/x:", "echo");
    FutureResult::defaultTimeout = timeout;
    ASSERT_TRUE(r->waitComplete(20000));
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_ASSET_LOOKUP, r->error);
    FutureResult::destroy(r);

    // So is one answered with the record of another asset: cached under its
    // own id it is never found for the one asked, and the request asked
    // again as fast as the answers came, until its time-out.
    timeout = FutureResult::defaultTimeout.exchange(2);
    r = run("//host:id=H5/x:", "echo");
    FutureResult::defaultTimeout = timeout;
    ASSERT_TRUE(r->waitComplete(20000));
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_ASSET_LOOKUP, r->error);
    EXPECT_EQ(1, spi.assetLookupsH5.load());
    FutureResult::destroy(r);
    // Waited for on the caller's thread, it is no answer either: the
    // provider for H5 would be opened at the other asset's address.
    EXPECT_EQ(DirError::E_ASSET_LOOKUP, dir->lookupAssetForOpen("H5", nullptr, nullptr, &out));
    EXPECT_EQ(nullptr, out);
    delete out;
}

// A listener may be the result's owner and let it go from inside its
// onComplete. Results completed on the caller's own thread ("__force_reset",
// or a request refused because no execution thread runs) must outlive that
// call: the result was freed in it and then woken its waiters.
TEST_F(ExecTest, AListenerMayDestroyItsResultWhenTheCallersThreadCompletesIt) {
    LettingGo owner;
    for (int i = 0; i < 200; i++) run("//domain:name=nowhere", "__force_reset", nullptr, &owner);
    EXPECT_EQ(200, owner.completes.load());
    EXPECT_EQ(0, owner.error.load());
    // Without an execution thread a result is freed as soon as it is let go.
    ExecDirThread::stopAndWait(true);
    ASSERT_EQ(nullptr, ExecDirThread::instance());
    run("//domain:name=nowhere", "__force_reset", nullptr, &owner);
    run("/thing:id=1", "echo", nullptr, &owner);
    EXPECT_EQ(202, owner.completes.load());
    EXPECT_EQ(DirError::E_NO_PROVIDER, owner.error.load());
    ExecDirThread::startIfNeeded(true);
}

// A request whose asset lookup is still out outlives its deadline. One that
// ends meanwhile (here a reply for it that came first) leaves the lookup to
// nobody: the lookup's result must go with the request, not stay in the
// registry for ever.
TEST_F(ExecTest, ALookupOutstandingWhenItsRequestEndsGoesWithIt) {
    settleExecThread();
    int before = FutureResult::liveCount();
    FutureResult* r = run("//host:id=H6/x:", "echo");
    long long lookupId = nextId();
    // Its deadline passes while the lookup is out, and a run after that
    // leaves it waiting: the lookup's end, not the clock, decides.
    r->timeout = 1;
    r->notifyTimeout();
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ExecDirThread::postAsyncResolve(r->id);
    EXPECT_FALSE(r->waitComplete(500));
    Directory::executeComplete(r->id, DirError::E_ILLEGAL_ARGUMENT);
    ASSERT_TRUE(r->waitComplete(10000));
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_ILLEGAL_ARGUMENT, r->error);
    FutureResult::destroy(r);
    // The lookup's answer arrives after all, and finds nobody.
    FutureResult* answer = FutureResult::newUnlisted();
    answer->result = assetValue("H6", "10.1.1.6");
    answer->complete = true;
    Directory::executeComplete(lookupId, answer);
    for (int i = 0; i < 1000 && (FutureResult::liveCount() != before || ExecHelper::liveCount() != 0); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(before, FutureResult::liveCount());
    EXPECT_EQ(0, ExecHelper::liveCount());
}

// A request posted while the thread is on its way out, after its last pass
// of the loop, still gets an answer: a time-out, like every request the
// stop finds waiting.
TEST_F(ExecTest, ARequestPostedWhileTheThreadStopsFailsInsteadOfHanging) {
    // A fresh thread, with no request of earlier tests keeping its timer
    // going: the gate below then runs between two passes, not inside one.
    ExecDirThread::stopAndWait(true);
    ExecDirThread::startIfNeeded(true);
    struct Gate {
        std::mutex lock;
        std::condition_variable changed;
        bool held = false, open = false;
        static void hold(void* self) {
            Gate* g = static_cast<Gate*>(self);
            std::unique_lock<std::mutex> hold(g->lock);
            g->held = true;
            g->changed.notify_all();
            g->changed.wait(hold, [g] { return g->open; });
        }
    } gate;
    ExecDirThread::instance()->deleteLater(&gate, Gate::hold);
    {
        std::unique_lock<std::mutex> hold(gate.lock);
        gate.changed.wait(hold, [&gate] { return gate.held; });
    }
    ExecDirThread* stopping = ExecDirThread::instance();
    std::thread stopper([] { ExecDirThread::stopAndWait(true); });
    while (!stopping->stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    FutureResult* queued = run("/thing:id=1", "echo");
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        gate.open = true;
        gate.changed.notify_all();
    }
    stopper.join();
    ASSERT_TRUE(queued->waitComplete(10000));
    EXPECT_TRUE(queued->failed);
    EXPECT_EQ(DirError::E_TIMEOUT, queued->error);
    FutureResult::destroy(queued);
}

TEST_F(ExecTest, TenThousandOutstandingRequestsLeaveNothingBehind) {
    const int kRequests = 10000;
    // Settle what earlier tests left for the thread to delete: its later
    // list is served in order, so once this pass is through, so are they.
    settleExecThread();
    int results = FutureResult::liveCount();
    int threads = threadCount();
    // Created with a long deadline, so that none times out while the burst
    // is still being queued on a loaded machine.
    FutureResult::defaultTimeout = 120;
    std::vector<FutureResult*> all;
    for (int i = 0; i < kRequests; i++) all.push_back(run("/thing:id=4", "later"));
    std::vector<long long> ids = spi.waitForIds(kRequests);
    ASSERT_EQ(static_cast<size_t>(kRequests), ids.size());
    // Each live result is found by its id, as replies find them, among more
    // results than the index has slots.
    for (int i = 0; i < kRequests; i += 7) {
        FutureResult* found = FutureResult::lockById(all[i]->id);
        EXPECT_EQ(all[i], found);
        if (found != nullptr) FutureResult::release();
    }
    // Every second request is answered; the others get a one-second deadline.
    for (int i = 0; i < kRequests; i++) {
        if (i % 2 == 0) {
            Directory::executeComplete(all[i]->id, reply(new Any(i)));
        } else {
            all[i]->timeout = 1;
            all[i]->notifyTimeout();
        }
    }
    int answered = 0, timedOut = 0;
    for (FutureResult* r : all) {
        ASSERT_TRUE(r->waitComplete(30000));
        if (!r->failed)
            answered++;
        else if (r->error == DirError::E_TIMEOUT)
            timedOut++;
        FutureResult::destroy(r);
    }
    EXPECT_EQ(kRequests / 2, answered);
    EXPECT_EQ(kRequests / 2, timedOut);
    // Deletion happens on the execution thread; give it a moment.
    waitFor([&] { return ExecHelper::liveCount() == 0 && FutureResult::liveCount() == results; }, 30000);
    EXPECT_EQ(0, ExecHelper::liveCount());
    EXPECT_EQ(results, FutureResult::liveCount());
    EXPECT_EQ(threads, threadCount());
    // Deleted results are gone from the index: a late reply finds nothing.
    int stillFound = 0;
    for (long long id : ids) {
        if (FutureResult::lockById(id) != nullptr) {
            stillFound++;
            FutureResult::release();
        }
    }
    EXPECT_EQ(0, stillFound);
}

}  // namespace
