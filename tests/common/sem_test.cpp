// Lock blocks: mutual exclusion, the misuse reports, CondBlock's timed wait,
// and the assertion report with its switches.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/os.h"
#include "common/sem.h"

namespace {

double monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Death statements report through the log; stderr is where the test looks.
// The log opens /dev/stderr anew for appending; the test's own writes to
// stderr must append as well, or they overwrite the report.
void logToStderr() {
    fcntl(2, F_SETFL, fcntl(2, F_GETFL) | O_APPEND);
    setLog("/dev/stderr");
}

template <class F>
void reporting(F f) {
    logToStderr();
    f();
}

TEST(CriticalBlock, KeepsThreadsOutOfEachOther) {
    CriticalBlock block;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                CriticalSection hold(block);
                long seen = counter;
                counter = seen + 1;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(80000, counter);
}

TEST(CriticalBlockDeathTest, MisuseIsReportedWithItsCheck) {
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock block;
                     block.enter();
                     block.enter();
                 }),
                 "\\|\\|\\|== assertion failure: _owner == \\(pthread_t\\) NULL, at sem.h:77");
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock block;
                     block.enter();
                     std::thread([&]() NO_THREAD_SAFETY_ANALYSIS { block.exit(); }).join();
                 }),
                 "assertion failure: pthread_equal\\(_owner, t\\), at sem.h:89");
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS { CriticalBlock().exit(); }),
                 "assertion failure: pthread_equal\\(_owner, t\\), at sem.h:89");
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock* block = new CriticalBlock();
                     block->enter();
                     delete block;
                 }),
                 "assertion failure: _lockCount == 0, at sem.h:62");
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     alignas(CriticalBlock) unsigned char storage[sizeof(CriticalBlock)];
                     CriticalBlock* block = new (storage) CriticalBlock();
                     block->~CriticalBlock();
                     block->enter();
                 }),
                 "assertion failure: !_destroyed, at sem.h:70");
    // Damage to the bytes after the mutex: the second 40-byte run of 0xCC.
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock block;
                     unsigned char* bytes = reinterpret_cast<unsigned char*>(&block);
                     for (size_t i = 0, run = 0, runs = 0; i < sizeof(block); i++) {
                         run = bytes[i] == 0xCC ? run + 1 : 0;
                         if (run == 40 && ++runs == 2) bytes[i - 20] = 0;
                     }
                     block.enter();
                 }),
                 "sem.h:72: void CriticalBlock::enter\\(\\): Assertion `memcmp\\(_guard1, _guard2, "
                 "sizeof\\(_guard1\\)\\) == 0' failed");
}

// The runtime's lock order: a ranked block taken while the thread holds one
// of the same or a later rank is reported before the thread blocks (so an
// inversion that would deadlock is still reported).
TEST(CriticalBlockDeathTest, OutOfOrderEntryIsReportedWithBothLocks) {
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock inner(LOCK_RANK_THREAD_LIST);
                     CriticalBlock outer(LOCK_RANK_DELAYED_EVENT);
                     CriticalSection holdInner(inner);
                     CriticalSection holdOuter(outer);
                 }),
                 "assertion failure: lock order: \"DelayedEvent registry\" taken while \"thread list\" is held");
    // Two blocks of one rank are never held together either.
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock first(LOCK_RANK_OP_QUEUE);
                     CriticalBlock second(LOCK_RANK_OP_QUEUE);
                     CriticalSection holdFirst(first);
                     CriticalSection holdSecond(second);
                 }),
                 "lock order: \"operation target queue\" taken while \"operation target queue\" is held");
    // The order survives a lock that is left out of turn: after the inner
    // block of three is left first, the middle one still counts as held.
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CriticalBlock a(LOCK_RANK_DELAYED_EVENT), b(LOCK_RANK_DELAYED_EVENT2), c(LOCK_RANK_OP_QUEUE);
                     a.enter();
                     b.enter();
                     a.exit();
                     c.enter();
                     c.exit();
                     CriticalBlock before(LOCK_RANK_DELAYED_EVENT);
                     before.enter();
                 }),
                 "lock order: \"DelayedEvent registry\" taken while \"DelayedEvent2 registry\" is held");
}

TEST(CriticalBlock, RanksInOrderAndUnrankedBlocksPass) {
    // Every pair of ranks, in order, on one thread: no report.
    for (int outer = LOCK_RANK_NONE + 1; outer < LOCK_RANK_END; outer++) {
        for (int inner = outer + 1; inner < LOCK_RANK_END; inner++) {
            CriticalBlock a(static_cast<LockRank>(outer)), b(static_cast<LockRank>(inner));
            CriticalSection holdA(a);
            CriticalSection holdB(b);
            EXPECT_TRUE(a.heldByCaller() && b.heldByCaller());
        }
    }
    // Unranked blocks are not part of the order: inside the last rank, or
    // outside the first.
    CriticalBlock last(static_cast<LockRank>(LOCK_RANK_END - 1));
    CriticalBlock first(static_cast<LockRank>(LOCK_RANK_NONE + 1)), inner, outer;
    {
        CriticalSection holdLast(last);
        CriticalSection holdInner(inner);
    }
    {
        CriticalSection holdOuter(outer);
        CriticalSection holdFirst(first);
    }
    // What one thread holds does not constrain another.
    CriticalBlock late(LOCK_RANK_GUID), early(LOCK_RANK_DELAYED_EVENT);
    CriticalSection holdLate(late);
    std::thread([&] { CriticalSection holdEarly(early); }).join();
    EXPECT_FALSE(early.heldByCaller());
}

// A process-wide block outlives the static destructors: threads still running
// while the process exits may take it after its destructor ran.
TEST(CriticalBlock, ProcessLifetimeBlocksSurviveTheirDestructor) {
    alignas(CriticalBlock) unsigned char storage[sizeof(CriticalBlock)];
    auto* block = new (storage) CriticalBlock(LOCK_RANK_NONE, kProcessLifetime);
    block->enter();
    block->~CriticalBlock();  // held: an ordinary block would report this
    block->exit();
    block->enter();
    EXPECT_TRUE(block->heldByCaller());
    block->exit();

    alignas(CondBlock) unsigned char condStorage[sizeof(CondBlock)];
    auto* cond = new (condStorage) CondBlock(kProcessLifetime);
    cond->~CondBlock();
    CondSection hold(*cond);
    EXPECT_FALSE(cond->wait(1));
}

TEST(CondBlock, TimedWaitCarriesNanosecondsIntoSeconds) {
    CondBlock block;
    // Start when the clock's fraction is 0.8 s: now + 1.5 s then overflows
    // the nanoseconds, which must be carried for the wait to last.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long wait = (800000000L - now.tv_nsec + 1000000000L) % 1000000000L;
    struct timespec pause = {0, wait};
    nanosleep(&pause, nullptr);

    CondSection hold(block);
    double start = monotonicSeconds();
    EXPECT_FALSE(block.wait(1500));
    double elapsed = monotonicSeconds() - start;
    EXPECT_GT(elapsed, 1.45);
    // Well short of a second carried twice; a loaded machine may wake the
    // waiter late.
    EXPECT_LT(elapsed, 2.3);
    // Waking early is the delayed events' business; no time means no wait.
    EXPECT_FALSE(block.wait(0));
    EXPECT_FALSE(block.wait(-5));
}

// Broadcasts are skipped while nobody waits: hand a generation to three
// waiters two thousand times, alternately waking them under the block and
// after releasing it, while they come and go from their waits. A lost
// wake-up shows as a wait that times out.
TEST(CondBlock, BroadcastsReachEveryWaiterWhileTheyComeAndGo) {
    const int kRounds = 2000, kWaiters = 3;
    CondBlock block;
    int generation = 0, acks = 0;
    std::atomic<int> timeouts{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; w++) {
        waiters.emplace_back([&] {
            for (int seen = 0; seen < kRounds;) {
                CondSection hold(block);
                while (generation == seen) {
                    if (!block.wait(5000)) {
                        timeouts++;
                        return;
                    }
                }
                seen = generation;
                acks++;
                block.broadcast();
            }
        });
    }
    for (int round = 1; round <= kRounds && timeouts == 0; round++) {
        if (round % 2 == 0) {
            CondSection hold(block);
            generation = round;
            block.broadcast();
        } else {
            {
                CondSection hold(block);
                generation = round;
            }
            block.broadcastReleased();
        }
        CondSection hold(block);
        while (acks < kWaiters * round) {
            if (!block.wait(5000)) {
                timeouts++;
                break;
            }
        }
    }
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(0, timeouts.load());
    EXPECT_EQ(kWaiters * kRounds, acks);
}

TEST(CondBlockDeathTest, DestroyedWhileHeldUnlessShuttingDown) {
    EXPECT_DEATH(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                     CondBlock* block = new CondBlock();
                     block->lock();
                     delete block;
                 }),
                 "assertion failure: !_locked, at sem.cpp:29");

    // Held by another thread, however long: the teardown waits its turn.
    EXPECT_EXIT(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                    CondBlock* block = new CondBlock();
                    std::atomic<bool> holding{false};
                    std::thread holder([&]() NO_THREAD_SAFETY_ANALYSIS {
                        block->lock();
                        holding = true;
                        struct timespec pause = {1, 500000000};
                        nanosleep(&pause, nullptr);
                        block->unlock();
                    });
                    while (!holding) sched_yield();
                    delete block;
                    holder.join();
                    fprintf(stderr, "waited\n");
                    _exit(0);
                }),
                ::testing::ExitedWithCode(0), "^waited\n$");

    // Once shutdown has begun a block is left alone, held or not.
    EXPECT_EXIT(reporting([]() NO_THREAD_SAFETY_ANALYSIS {
                    _shutdown = true;
                    CondBlock* block = new CondBlock();
                    block->lock();
                    delete block;
                    fprintf(stderr, "left alone\n");
                    _exit(0);
                }),
                ::testing::ExitedWithCode(0), "^left alone\n$");
}

// Installed for SIGABRT: shows whether the abort switch was already off.
void reportAbortSwitch(int) {
    const char* text = _abortOnAssert ? "switch on\n" : "switch off\n";
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

void exitOnQuit(int) {
    _exit(77);
}

TEST(AssertionDeathTest, ReportsThenFollowsItsSwitches) {
    // Default: the report, a stack dump, then SIGABRT.
    EXPECT_EXIT(reporting([] { _dravika_assert("x == 1", "thing.cpp", 12); }), ::testing::KilledBySignal(SIGABRT),
                "\\|\\|\\|== assertion failure: x == 1, at thing.cpp:12\n.*Assertion\\.\\.\\.");

    // A SIGABRT that returns still ends the process, with 55, and the switch
    // is already off so that the handler cannot loop.
    EXPECT_EXIT(reporting([] {
                    signal(SIGABRT, reportAbortSwitch);
                    DRV_ASSERT(1 + 1 == 3);
                }),
                ::testing::ExitedWithCode(55),
                "assertion failure: 1 \\+ 1 == 3, at .*sem_test.cpp:[0-9]+(.|\n)*switch off");

    // Aborting off: the caller goes on.
    EXPECT_EXIT(reporting([] {
                    _abortOnAssert = false;
                    _dravika_assert("soft", "f.cpp", 1);
                    fprintf(stderr, "went on\n");
                    _exit(0);
                }),
                ::testing::ExitedWithCode(0), "assertion failure: soft, at f.cpp:1(.|\n)*went on");

    // Aborting off in a managed runtime: SIGQUIT to the own process.
    EXPECT_EXIT(reporting([] {
                    _abortOnAssert = false;
                    _managedRuntime = true;
                    signal(SIGQUIT, exitOnQuit);
                    _dravika_assert("managed", "f.cpp", 2);
                    _exit(0);
                }),
                ::testing::ExitedWithCode(77), "assertion failure: managed");

    // After shutdown has begun nothing is reported and nothing stops.
    EXPECT_EXIT(reporting([] {
                    _shutdown = true;
                    _dravika_assert("late", "f.cpp", 3);
                    fprintf(stderr, "ignored\n");
                    _exit(0);
                }),
                ::testing::ExitedWithCode(0), "^ignored\n$");
}

}  // namespace
