// Daemon threads (also one whose thread cannot be created), operation
// targets, the thread pool and the runtime's start-up call.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/daemon_thread.h"
#include "common/dravika_init.h"
#include "common/log.h"
#include "common/op_target.h"
#include "common/perf_data.h"
#include "common/thread_context.h"
#include "common/thread_pool.h"
#include "tests/support/failing_thread_creation.h"
#include "tests/support/log_capture.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait_for.h"

namespace {

PerfData _block;

class Threads : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        perfData = &_block;
        perfRegisterCounters();
    }
};

struct Slow : DaemonThread {
    ~Slow() override { destroyed++; }
    void run() override {
        self = getCurrentThread();
        usleep(100000);
        ready = true;
        setInitialized();
        while (!release) usleep(1000);
    }
    DaemonThread* self = nullptr;
    std::atomic<bool> ready{false}, release{false};
    static std::atomic<int> destroyed;
};
std::atomic<int> Slow::destroyed{0};

TEST_F(Threads, StartReturnsOnlyOnceTheThreadIsInitialised) {
    int started = perfGet(PC_DTHR_STARTED), exited = perfGet(PC_DTHR_EXITED);
    auto* t = new Slow;
    EXPECT_EQ(started + 1, perfGet(PC_DTHR_STARTED));
    EXPECT_TRUE(DaemonThread::isListed(t)) << "listed from construction, before it starts";
    t->setName("a-very-slow-starter-thread");
    t->setDeleteOnExit(false);
    EXPECT_FALSE(t->isStarted());
    t->start();
    EXPECT_TRUE(t->ready);
    EXPECT_TRUE(t->isStarted());
    EXPECT_EQ(t, t->self);

    char name[32];
    DaemonThread::getName(name, sizeof(name), t->getThreadId());
    EXPECT_STREQ("a-very-slow-starter", name) << "19 characters kept";
    DaemonThread::getName(name, sizeof(name), kernelThreadId());
    EXPECT_STREQ("", name) << "the test's own thread is not a daemon thread";
    EXPECT_EQ(nullptr, DaemonThread::getCurrentThread());

    t->release = true;
    t->join();
    int tid = t->getThreadId();
    delete t;
    EXPECT_EQ(exited + 1, perfGet(PC_DTHR_EXITED));
    DaemonThread::getName(name, sizeof(name), tid);
    EXPECT_STREQ("", name) << "a deleted thread leaves the list";
    EXPECT_FALSE(DaemonThread::isListed(t));

    // By default a thread deletes itself when run returns.
    int destroyed = Slow::destroyed;
    auto* detached = new Slow;
    detached->setDetached();
    detached->start();
    detached->release = true;
    EXPECT_TRUE(waitFor([&] { return Slow::destroyed == destroyed + 1; }));
}

// Joining a detached thread, or detaching one twice, is a broken invariant:
// each is reported with its own check, and the process ends.
void joinADetachedThread() {
    setLog("/dev/stderr");
    struct Quick : DaemonThread {
        void run() override { setInitialized(); }
    };
    auto* t = new Quick;
    t->setDeleteOnExit(false);
    t->setDetached();
    t->start();
    t->join();
}

void detachTwice() {
    setLog("/dev/stderr");
    struct Idle : DaemonThread {
        void run() override {}
    } idle;
    idle.setDetached();
    idle.setDetached();
}

TEST_F(Threads, JoiningADetachedThreadOrDetachingTwiceIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(joinADetachedThread(), "assertion failure: !_detached, at thr.cpp:189\n");
    EXPECT_DEATH(detachTwice(), "assertion failure: !_detached, at thr.cpp:198\n");
}

TEST_F(Threads, AThreadThatCannotBeCreatedHasNothingToJoin) {
    struct Counted : DaemonThread {
        void run() override {
            runs++;
            setInitialized();
        }
        std::atomic<int> runs{0};
    };
    auto* t = new Counted;
    t->setDeleteOnExit(false);
    // A joiner may already wait when the start fails: it is let go too.
    std::thread joiner([t] { t->join(); });
    _failThreadCreation = true;
    {
        LogCapture log;
        t->start();
        _failThreadCreation = false;
        std::string expected = "Error: pthread_create() fails\n    " + std::to_string(EAGAIN) + " " + strerror(EAGAIN);
        EXPECT_TRUE(log.contains(expected)) << log.text();
    }
    joiner.join();
    EXPECT_FALSE(t->isStarted());
    EXPECT_EQ(EAGAIN, t->getStartError());
    EXPECT_EQ(0, t->runs);
    t->join();

    // Started again once threads can be made, it is an ordinary thread.
    t->start();
    EXPECT_TRUE(t->isStarted());
    EXPECT_EQ(0, t->getStartError());
    t->join();
    EXPECT_EQ(1, t->runs);
    delete t;

    // Delete on exit does not apply to a thread that never ran: its
    // starter deletes it.
    int exited = perfGet(PC_DTHR_EXITED);
    auto* orphan = new Counted;
    _failThreadCreation = true;
    orphan->start();
    _failThreadCreation = false;
    orphan->join();
    EXPECT_TRUE(DaemonThread::isListed(orphan));
    delete orphan;
    EXPECT_EQ(exited + 1, perfGet(PC_DTHR_EXITED));
}

// An object whose run has ended can be started again: the new run is waited
// for as the first was, both by start() and by join(). A second join returns
// at once: by then the thread's handle may already name a newer thread,
// which the second join must neither wait for nor join.
TEST_F(Threads, ASecondRunIsWaitedForLikeTheFirstAndOnlyTheFirstJoinJoins) {
    auto* t = new Slow;
    t->setDeleteOnExit(false);
    t->start();
    t->release = true;
    t->join();

    t->ready = false;
    t->release = false;
    t->start();
    EXPECT_TRUE(t->ready) << "start() returned before the second run called setInitialized()";
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        t->join();
        joined = true;
    });
    usleep(50000);
    EXPECT_FALSE(joined) << "join() returned while the second run was still running";
    t->release = true;
    joiner.join();
    EXPECT_TRUE(joined);

    std::atomic<bool> releaseOther{false};
    std::thread other([&] {
        while (!releaseOther) usleep(1000);
    });
    std::atomic<bool> joinedAgain{false};
    std::thread again([&] {
        t->join();
        joinedAgain = true;
    });
    EXPECT_TRUE(waitFor([&] { return joinedAgain.load(); }, 2000)) << "the second join waited for another thread";
    releaseOther = true;
    again.join();
    other.join();  // still joinable: nobody else joined it

    // Nor does a detach after the join touch the handle, which names the
    // next thread made as soon as the joined one's resources are reused.
    t->ready = false;
    t->release = true;
    t->start();
    t->join();
    static std::atomic<bool> releaseNext;
    releaseNext = false;
    pthread_t next;
    ASSERT_EQ(0, pthread_create(
                     &next, nullptr,
                     [](void*) -> void* {
                         while (!releaseNext) usleep(1000);
                         return nullptr;
                     },
                     nullptr));
    t->setDetached();
    releaseNext = true;
    EXPECT_EQ(0, pthread_join(next, nullptr)) << "the detach reached the next thread";
    delete t;
}

TEST_F(Threads, LaterListRunsNewestFirstAndAtTheLatestOnDestruction) {
    struct Idle : DaemonThread {
        void run() override {}
    };
    std::vector<int> order;
    int a = 1, b = 2, c = 3, d = 4;
    static std::vector<int>* sink;
    sink = &order;
    auto record = [](void* p) { sink->push_back(*static_cast<int*>(p)); };
    {
        Idle idle;
        idle.deleteLater(&a, record);
        idle.deleteLater(&b, record);
        idle.deleteLater(&c, record);
        idle.processLaterList();
        idle.processLaterList();
        EXPECT_EQ((std::vector<int>{3, 2, 1}), order);
        idle.deleteLater(&d, record);
    }
    EXPECT_EQ((std::vector<int>{3, 2, 1, 4}), order);
}

struct NumberOp : DeferredOp {
    explicit NumberOp(int v) : value(v) {}
    ~NumberOp() override { deleted++; }
    int value;
    int executedOn = 0;
    static std::atomic<int> deleted;
};
std::atomic<int> NumberOp::deleted{0};

struct Doubler : OpTarget {
    int execute(DeferredOp* op) override {
        auto* n = static_cast<NumberOp*>(op);
        n->executedOn = kernelThreadId();
        return n->value * 2;
    }
};

TEST_F(Threads, SynchronousPostReturnsTheResultComputedOnTheTargetsThread) {
    std::atomic<Doubler*> target{nullptr};
    std::atomic<bool> stop{false};
    int loopThread = 0;
    // The target lives and dies on its loop's thread (its count event insists on it).
    std::thread loop([&] {
        Doubler own;
        loopThread = kernelThreadId();
        target = &own;
        while (!stop) ThreadContext::get()->run(10);
    });
    ASSERT_TRUE(waitFor([&] { return target != nullptr; }));
    int npAdd = perfGet(PC_NP_ADD), npRemove = perfGet(PC_NP_REMOVE);

    std::atomic<int> wrong{0};
    auto post = [&](int from) {
        for (int i = from; i < from + 50; i++) {
            NumberOp op(i);
            if (op.execute(target) != 2 * i || op.executedOn != loopThread) wrong++;
        }
    };
    std::thread p1(post, 0), p2(post, 1000);
    p1.join();
    p2.join();
    EXPECT_EQ(0, wrong);
    EXPECT_EQ(npAdd + 100, perfGet(PC_NP_ADD));
    // Every post advanced the write count; the queue is served until the
    // read count has caught up, once per post.
    CountEvent* ce = target.load()->getCountEvent();
    EXPECT_TRUE(waitFor([&] { return ce->getReadCount() == ce->getWriteCount(); }));
    EXPECT_EQ(npRemove + 100, perfGet(PC_NP_REMOVE));
    stop = true;
    loop.join();
}

// A target that goes while posters still wait for ops it never ran lets
// them go with a failure instead of leaving them waiting for ever.
TEST_F(Threads, SynchronousPostersOfADestroyedTargetGetAFailure) {
    auto* target = new Doubler;
    std::atomic<int> returned{0};
    std::atomic<int> results{0};
    std::vector<std::thread> posters;
    for (int i = 1; i <= 3; i++) {
        posters.emplace_back([&, i] {
            NumberOp op(i);
            int rv = op.execute(target);
            EXPECT_EQ(0, op.executedOn) << "not run";
            results += rv;
            returned++;
        });
    }
    CountEvent* ce = target->getCountEvent();
    ASSERT_TRUE(waitFor([&] { return ce->getWriteCount() == 3; }));
    delete target;
    bool allBack = waitFor([&] { return returned == 3; });
    EXPECT_TRUE(allBack) << "posters still wait for a target that is gone";
    for (std::thread& t : posters) {
        if (allBack)
            t.join();
        else
            t.detach();  // blocked for good: the test has failed
    }
    if (allBack) {
        EXPECT_EQ(3 * OpTarget::kTargetGone, results);
    }
    EXPECT_NE(0, OpTarget::kTargetGone);
}

// A poster wakes the target's thread only after releasing the queue lock;
// by then that thread may have run the op and destroyed the target, so the
// wake-up must not read the target. The order is forced as far as a test
// can: the test holds the queue lock while the poster and then the target's
// thread block on it, both on one processor, the poster at the lowest
// priority. Once the test lets go, the poster queues its op and releases
// the lock, which wakes the target's thread; that thread takes the processor
// from the poster, runs the op and destroys the target before the poster
// goes on. AddressSanitizer reports the poster's read of the freed target.
// The scheduler decides who runs first, so a round may miss; many rounds
// make a miss of all of them unlikely.
TEST_F(Threads, APosterDoesNotReadATargetItsThreadDestroyedRightAfterTheOp) {
    struct Gated : AsyncOpTarget {
        int execute(DeferredOp*) override {
            ran = true;
            return 0;
        }
        void holdQueue() ACQUIRE(_queueLock) { _queueLock.enter(); }
        void releaseQueue() RELEASE(_queueLock) { _queueLock.exit(); }
        bool ran = false;
    };
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    const int kRounds = 100;

    std::atomic<Gated*> target{nullptr};
    std::atomic<int> round{0};  // the round under way: its target may be posted to and served
    std::atomic<int> posterTid{0}, loopTid{0};
    std::atomic<bool> posting{false}, serving{false};
    std::atomic<int> posted{0}, served{0};

    std::thread loop([&] {
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
        loopTid = kernelThreadId();
        for (int r = 1; r <= kRounds; r++) {
            auto* t = new Gated;
            target = t;
            while (round < r) usleep(100);
            serving = true;
            // Blocks on the lock the test holds, behind the poster.
            t->processQueue();
            while (!t->ran) {
                // It took the lock before the poster: serve again once the
                // op is there.
                usleep(1000);
                t->processQueue();
            }
            target = nullptr;
            delete t;
            serving = false;
            served = r;
        }
    });
    std::thread poster([&] {
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
        setpriority(PRIO_PROCESS, static_cast<id_t>(kernelThreadId()), 19);
        posterTid = kernelThreadId();
        for (int r = 1; r <= kRounds; r++) {
            while (round < r) usleep(100);
            posting = true;
            EXPECT_EQ(0, (new NumberOp(r))->execute(target.load()));
            posting = false;
            posted = r;
        }
    });
    ASSERT_TRUE(waitFor([&] { return posterTid != 0 && loopTid != 0; }));
    for (int r = 1; r <= kRounds; r++) {
        ASSERT_TRUE(waitFor([&] { return served == r - 1 && posted == r - 1 && target != nullptr; }))
            << "round " << r << " served " << served << " posted " << posted;
        Gated* t = target;
        t->holdQueue();
        round = r;
        // The poster must wait for the lock first, so that it gets it first.
        bool queued = waitFor([&] { return posting && inFutexWait(posterTid); }) &&
                      waitFor([&] { return serving && inFutexWait(loopTid); });
        t->releaseQueue();
        ASSERT_TRUE(queued);
    }
    ASSERT_TRUE(waitFor([&] { return served == kRounds && posted == kRounds; }));
    poster.join();
    loop.join();
}

TEST_F(Threads, AsynchronousPostsQueuedBeforeAWakeUpRunInOrderInOneBatch) {
    struct Recording : AsyncOpTarget {
        int execute(DeferredOp* op) override {
            executed.push_back(static_cast<NumberOp*>(op)->value);
            return 0;
        }
        void processQueue() override {
            size_t before = executed.size();
            AsyncOpTarget::processQueue();
            batches.push_back(executed.size() - before);
        }
        std::vector<int> executed;
        std::vector<size_t> batches;
    };
    NumberOp::deleted = 0;
    auto* target = new Recording;
    std::thread poster([&] {
        for (int i = 0; i < 10; i++) EXPECT_EQ(0, (new NumberOp(i))->execute(target));
    });
    poster.join();
    EXPECT_TRUE(target->executed.empty());

    ThreadContext::get()->run(0);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), target->executed);
    // One call per post; the first takes them all.
    EXPECT_EQ((std::vector<size_t>{10, 0, 0, 0, 0, 0, 0, 0, 0, 0}), target->batches);
    EXPECT_EQ(10, NumberOp::deleted);

    // Ops still queued when the target goes are deleted unrun.
    (new NumberOp(10))->execute(target);
    (new NumberOp(11))->execute(target);
    delete target;
    EXPECT_EQ(12, NumberOp::deleted);
}

class RecordingPool : public ThreadPool {
public:
    RecordingPool(const char* name, int n) : ThreadPool(name, n) {}
    ~RecordingPool() override { stop(); }
    void processOp(DeferredOp*) override {
        if (block) {
            blocked = true;
            while (block) usleep(1000);
        }
        CriticalSection hold(mutex);
        names.insert(DaemonThread::getCurrentThread()->getName());
        processed++;
    }
    CriticalBlock mutex;
    std::set<std::string> names GUARDED_BY(mutex);
    std::atomic<int> processed{0};
    std::atomic<bool> block{false}, blocked{false};
};

TEST_F(Threads, PoolThreadsAreNamedAfterThePoolAndShareItsQueue) {
    NumberOp::deleted = 0;
    int added = perfGet(PC_TP_Q_ADD), removed = perfGet(PC_TP_Q_REMOVE);
    {
        RecordingPool pool("exec", 3);
        EXPECT_EQ(3, perfGet(PC_POOL_THREADS));
        char name[32];
        for (int i = 0; i < 3; i++) {
            DaemonThread::getName(name, sizeof(name), pool.getThread(i)->getThreadId());
            EXPECT_EQ("exec-" + std::to_string(i), name);
        }
        for (int i = 0; i < 30; i++) pool.queue(new NumberOp(0));
        EXPECT_TRUE(waitFor([&] { return NumberOp::deleted == 30; }));
        EXPECT_EQ(30, pool.processed);
        EXPECT_EQ(added + 30, perfGet(PC_TP_Q_ADD));
        EXPECT_EQ(removed + 30, perfGet(PC_TP_Q_REMOVE));
        CriticalSection hold(pool.mutex);
        for (const std::string& n : pool.names) EXPECT_EQ(0u, n.find("exec-")) << n;
    }

    RecordingPool longName("a-rather-long-pool-name", 2);
    EXPECT_EQ(2, perfGet(PC_POOL_THREADS)) << "set, not added";
    EXPECT_STREQ("a-rather-long-pool-", longName.getThread(1)->getName());

    // Stopping lets the running job finish and drops the queued ones.
    NumberOp::deleted = 0;
    longName.block = true;
    longName.queue(new NumberOp(0));
    longName.queue(new NumberOp(0));
    ASSERT_TRUE(waitFor([&] { return longName.blocked.load(); }));
    longName.queue(new NumberOp(0));
    std::thread stopper([&] { longName.stop(); });
    EXPECT_TRUE(waitFor([&] { return longName.isStopping(); }));
    longName.block = false;
    stopper.join();
    EXPECT_EQ(3, NumberOp::deleted);
    EXPECT_LE(longName.processed, 2);
}

// Work handed to a pool that is stopping or stopped is never run, and is
// deleted like the jobs still queued when it stopped: none is left behind
// in a queue that no thread takes from any more.
TEST_F(Threads, JobsQueuedWhileOrAfterThePoolStopsAreDeletedUnprocessed) {
    NumberOp::deleted = 0;
    std::atomic<int> made{0};
    {
        RecordingPool pool("late", 2);
        std::atomic<bool> go{false};
        std::vector<std::thread> posters;
        for (int p = 0; p < 3; p++) {
            posters.emplace_back([&] {
                while (!go) usleep(100);
                for (int i = 0; i < 200; i++) {
                    pool.queue(new NumberOp(i));
                    made++;
                }
            });
        }
        go = true;
        usleep(1000);
        pool.stop();
        for (std::thread& t : posters) t.join();
        int processed = pool.processed;
        EXPECT_EQ(made, NumberOp::deleted) << "every job is deleted by the time stop returns to the last poster";

        pool.queue(new NumberOp(-1));
        made++;
        EXPECT_EQ(made, NumberOp::deleted) << "a job queued after stop is deleted at once";
        EXPECT_EQ(processed, pool.processed) << "and never processed";
    }
    EXPECT_EQ(made, NumberOp::deleted);
}

// stop() returns only once the threads are joined, also to a second caller
// that came while the first was still joining: the pool's destructor, for
// one, frees the threads as soon as its stop() returns.
TEST_F(Threads, EveryStopReturnsOnlyOnceThePoolThreadsAreJoined) {
    NumberOp::deleted = 0;
    auto* pool = new RecordingPool("stopping", 1);
    pool->block = true;
    pool->queue(new NumberOp(0));
    ASSERT_TRUE(waitFor([&] { return pool->blocked.load(); }));
    std::thread first([&] { pool->stop(); });
    ASSERT_TRUE(waitFor([&] { return pool->isStopping(); }));
    std::atomic<bool> secondReturned{false};
    std::thread second([&] {
        pool->stop();
        secondReturned = true;
        // The job must be over by now: its thread has been joined.
        EXPECT_EQ(1, pool->processed) << "stop returned while a pool thread still ran";
    });
    usleep(100000);
    EXPECT_FALSE(secondReturned) << "the second stop returned before the first had joined the threads";
    pool->block = false;
    first.join();
    second.join();
    delete pool;
    EXPECT_EQ(1, NumberOp::deleted);
}

// Objects handed to a pool thread's later list die on that thread: also
// those handed over while it waited for a job when the pool stopped, which
// the thread object's destruction would otherwise run on the stopping thread.
TEST_F(Threads, LaterWorkOfAnIdlePoolThreadRunsOnItWhenThePoolStops) {
    RecordingPool pool("later", 1);
    ThreadPoolThread* thread = pool.getThread(0);
    // Handed over once the thread sleeps in its wait for a job, past the
    // look at its later list that comes before each wait.
    int poolTid = thread->getThreadId();
    ASSERT_TRUE(waitFor([&] { return threadState(poolTid) == 'S'; }));
    static std::atomic<int> ranOn{0};
    ranOn = 0;
    thread->deleteLater(nullptr, [](void*) { ranOn = kernelThreadId(); });
    pool.stop();
    EXPECT_EQ(poolTid, ranOn.load()) << "ran on thread " << ranOn.load() << ", the test's is " << kernelThreadId();
}

TEST_F(Threads, InitIgnoresBrokenPipesAndRegistersTheNamedCounters) {
    PerfData fresh;
    memset(&fresh, 0, sizeof(fresh));
    PerfData* saved = perfData;
    perfData = &fresh;
    dravika_init();
    perfData = saved;

    struct sigaction action;
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(SIG_IGN, action.sa_handler);
    const char* expected[] = {"evt-timer-fired", "evt-ft-fired",  "evt-count-fired", "sig-other",
                              "sig-chld",        "sig-wrong-t",   "children-reaped", "pool-threads",
                              "tp-q-remove",     "tp-q-add",      "dthr-started",    "dthr-exited",
                              "lq-removed",      "lq-added",      "np-add",          "np-remove"};
    ASSERT_EQ(16, fresh.counterCount);
    for (int i = 0; i < 16; i++) EXPECT_STREQ(expected[i], fresh.counters[i].name) << i;

    // Without a block there is nothing to register and nothing to count.
    perfData = nullptr;
    dravika_init();
    perfIncrement(PC_SIG_OTHER);
    EXPECT_EQ(0, perfGet(PC_SIG_OTHER));
    perfData = saved;
}

}  // namespace
