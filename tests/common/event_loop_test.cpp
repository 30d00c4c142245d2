// The per-thread event loop: timer order, cross-thread wake-ups, count
// events, descriptor dispatch and rotation, the dump, and the fatal misuses
// (the descriptor side in depth: event_watch_test.cpp).
// The program's clock is this file's gettimeofday, which a test can freeze so
// that timers get exactly equal expiries; its write counts the nudge bytes
// (the loop's one-byte "x") that go through it.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/perf_data.h"
#include "common/thread_context.h"
#include "tests/support/loop_recorder.h"
#include "tests/support/log_capture.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait_for.h"

namespace {
// 0: the real clock; otherwise the frozen time in microseconds.
std::atomic<long long> _frozenMicros{0};
std::atomic<long long> _nudgeBytes{0};
}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
    if (n == 1 && *static_cast<const char*>(buf) == 'x') _nudgeBytes++;
    return syscall(SYS_write, fd, buf, n);
}

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    long long frozen = _frozenMicros.load();
    if (frozen != 0) {
        tv->tv_sec = frozen / 1000000;
        tv->tv_usec = frozen % 1000000;
        return 0;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

namespace {

class EventLoop : public LoopPassesTest {
protected:
    static void freezeClock(long long micros) { _frozenMicros = micros; }
    static void thawClock() { _frozenMicros = 0; }
    static long long realMicros() {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }

    ThreadContext* tc = ThreadContext::get();
};

TEST_F(EventLoop, TimerSetFromAnotherThreadWakesTheSleepingLoopAtOnce) {
    Recorder far, near;
    TimerEvent farTimer(&far), nearTimer(&near);
    farTimer.set(10000);
    std::atomic<long long> firedAfterMs{-1};
    Clock::time_point start = Clock::now();
    long long passesBefore = passes();
    long long passesAtFire = -1;
    near.action = [&](Event*) {
        firedAfterMs = millisSince(start);
        // passes() takes this timer's firing off already, and its handling
        // is added only once the handler returns.
        passesAtFire = passes() + 1;
        tc->leaveRun();  // which wakes the loop once more
    };

    int owner = kernelThreadId();
    std::thread setter([&] {
        usleep(30000);
        // Set only once the owner sleeps in its wait, however late a loaded
        // machine lets it get there: a timer set before the run needs no
        // wake-up at all.
        waitFor([&] { return inEpollWait(owner); }, 5000);
        nearTimer.set(50);
    });
    // Waits min(10 s, 5 s) unless woken: without the nudge the loop would
    // only look at its timers again once the deadline had passed, and leave.
    // The timer's handler ends the run.
    tc->run(5000);
    setter.join();

    EXPECT_EQ(1, near.calls);
    EXPECT_EQ(0, far.calls);
    EXPECT_GE(firedAfterMs, 75);  // not before its own expiry
    EXPECT_EQ(1, passesAtFire - passesBefore) << "one wake-up through the pipe";
}

TEST_F(EventLoop, TimerSetAgainInItsHandlerIsScheduledOnceTheHandlerReturns) {
    Recorder r;
    TimerEvent t(&r);
    bool scheduledDuringHandler = false;
    r.action = [&](Event*) {
        if (r.calls < 3) t.set(5);
        if (t.isScheduled()) scheduledDuringHandler = true;
    };
    t.set(0);
    // run(0) ends long before 5 ms: one call per round.
    for (int expected = 1; expected <= 3; expected++) {
        tc->run(0);
        EXPECT_EQ(expected, r.calls);
        EXPECT_EQ(expected < 3, t.isScheduled());
        usleep(6000);
    }
    EXPECT_FALSE(scheduledDuringHandler);

    // Set from another thread while the handler runs: also put back afterwards.
    std::atomic<bool> inHandler{false}, setDone{false};
    r.action = [&](Event*) {
        inHandler = true;
        while (!setDone) usleep(1000);
    };
    t.set(0);
    std::thread setter([&] {
        while (!inHandler) usleep(1000);
        t.set(0);
        setDone = true;
    });
    tc->run(0);
    setter.join();
    EXPECT_EQ(4, r.calls);
    EXPECT_TRUE(t.isScheduled());
    r.action = nullptr;
    tc->run(0);
    EXPECT_EQ(5, r.calls);
}

TEST_F(EventLoop, DisabledTimerIsDroppedWhenItsTimeComes) {
    Recorder r;
    TimerEvent t(&r);
    t.set(0);
    t.enabled(false);
    tc->run(0);
    EXPECT_EQ(0, r.calls);
    EXPECT_FALSE(t.isScheduled());
    t.enabled(true);
    tc->run(0);
    EXPECT_EQ(0, r.calls) << "enabling does not bring it back";
    t.set(0);
    tc->run(0);
    EXPECT_EQ(1, r.calls);
}

// A count event disabled while work was counted for it keeps that work; once
// enabled again, the next wake-up of its loop serves it, whatever the
// wake-up was for (here a timer set from another thread).
TEST_F(EventLoop, ReenabledCountEventIsServedAtTheNextWakeUp) {
    Recorder counted;
    CountEvent ce(&counted);
    counted.action = [&](Event*) { ce.advanceReadCount(); };
    ce.enabled(false);
    ce.advanceWriteCount();
    std::atomic<bool> reenabled{false};
    Recorder enabler;
    enabler.action = [&](Event*) {
        ce.enabled(true);
        reenabled = true;
    };
    TimerEvent enable(&enabler);
    enable.set(0);
    TimerEvent later(nullptr);
    std::thread waker([&] {
        while (!reenabled) usleep(1000);
        // Wakes the sleeping loop; the timer itself is far off.
        later.set(60000);
    });
    // Long enough for the waker however loaded the machine; nothing but the
    // wake-up can serve the count before this run ends.
    tc->run(2000);
    waker.join();
    EXPECT_EQ(1, enabler.calls);
    EXPECT_EQ(1, counted.calls) << "the wake-up did not serve the count";
    EXPECT_EQ(ce.getWriteCount(), ce.getReadCount());
}

TEST_F(EventLoop, CountEventsCallOncePerAdvanceWithAtMostOneNudgeByte) {
    Recorder counted;
    CountEvent ce(&counted);
    counted.action = [&](Event*) { ce.advanceReadCount(); };
    long long before = passes();
    int countFired = perfGet(PC_EVT_COUNT_FIRED);

    // Outside run the nudge is disarmed: advances write nothing to the pipe,
    // and the next run finds the work without a wake-up.
    std::thread writer([&] {
        for (int i = 0; i < 5; i++) ce.advanceWriteCount();
    });
    writer.join();
    tc->run(0);
    EXPECT_EQ(5, counted.calls);
    EXPECT_EQ(5, ce.getReadCount());
    EXPECT_EQ(countFired + 5, perfGet(PC_EVT_COUNT_FIRED));
    EXPECT_EQ(0, passes() - before);

    // Inside run, five advances before the loop polls leave one byte: one
    // wake-up, after which the pipe is empty again.
    Recorder burst;
    TimerEvent t(&burst);
    burst.action = [&](Event*) {
        for (int i = 0; i < 5; i++) ce.advanceWriteCount();
    };
    t.set(0);
    tc->run(0);
    EXPECT_EQ(10, counted.calls);
    EXPECT_EQ(1, passes() - before);
    tc->run(0);
    EXPECT_EQ(1, passes() - before) << "a second byte was left in the pipe";

    // A disabled count event keeps its work until it is enabled again.
    ce.enabled(false);
    ce.advanceWriteCount();
    tc->run(0);
    EXPECT_EQ(10, counted.calls);
    ce.enabled(true);
    tc->run(0);
    EXPECT_EQ(11, counted.calls);
}

// The woken loop leaves the byte that woke it in the pipe and reads the
// bytes away in bulk: more separate wake-ups than the largest default pipe
// holds must neither fill it (the nudge's write would fail) nor lose one.
TEST_F(EventLoop, WakeUpsBeyondWhatThePipeHoldsKeepWakingTheLoop) {
    LogCapture log;
    Recorder counted;
    CountEvent ce(&counted);
    const int kWakeUps = 70000;
    std::atomic<int> handled{0};
    counted.action = [&](Event*) {
        ce.advanceReadCount();
        handled++;
    };
    long long before = passes();
    std::thread poster([&] {
        // One advance at a time, each once the last was handled: the loop
        // is back in its wait (or on its way there) for every one.
        for (int i = 1; i <= kWakeUps; i++) {
            ce.advanceWriteCount();
            while (handled.load() < i) std::this_thread::yield();
        }
    });
    while (handled.load() < kWakeUps) tc->run(100);
    poster.join();
    EXPECT_EQ(kWakeUps, counted.calls);
    EXPECT_GE(passes() - before, kWakeUps / 2) << "the advances did not wake the loop";
    EXPECT_FALSE(log.contains("Unable to write nudge")) << log.text();
}

// A pass that starts with posts to serve does not sleep, so it does not arm
// the wake-up either: a post made meanwhile (here by a timer of the same
// pass) costs no pipe write. One made while the loop may sleep still writes.
TEST_F(EventLoop, PostsWhileTheLoopHasPostsToServeWriteNoNudge) {
    Recorder first, second, timed;
    CountEvent ce1(&first);
    CountEvent ce2(&second);
    // The walk meets ce2 before ce1 (new events go in front): ce1's post to
    // ce2 waits for the next pass, which therefore starts with work.
    first.action = [&](Event*) {
        ce1.advanceReadCount();
        ce2.advanceWriteCount();
    };
    second.action = [&](Event*) { ce2.advanceReadCount(); };
    TimerEvent t(&timed);
    timed.action = [&](Event*) { ce2.advanceWriteCount(); };
    ce1.advanceWriteCount();
    t.set(0);
    long long bytes = _nudgeBytes.load();
    tc->run(0);
    EXPECT_EQ(1, timed.calls);
    EXPECT_EQ(1, first.calls);
    EXPECT_EQ(2, second.calls);
    EXPECT_EQ(0, _nudgeBytes.load() - bytes) << "a post to a loop with work pending wrote to the pipe";

    // Nothing pending: the pass arms before it fires the timer, whose post
    // must then write (the loop could have gone to sleep).
    t.set(0);
    bytes = _nudgeBytes.load();
    tc->run(0);
    EXPECT_EQ(3, second.calls);
    EXPECT_EQ(1, _nudgeBytes.load() - bytes);
}

// The loop arms its wake-up only just before it waits, and takes what was
// posted meanwhile without waiting. Several threads post at once, each
// waiting for its own posts to be served before it posts again, and another
// sets a timer and waits for it, so that posts keep landing while the loop
// walks, re-arms and goes to sleep; every seventh call is slow, so that
// posts land while a handler is busy too. None may be left for the loop's own
// 3 s time-out (a lost wake-up shows as a wait of seconds), and each is
// served once: the handler takes one unit per call and is called again while
// any is left.
TEST_F(EventLoop, PostsAndTimersFromOtherThreadsNeverWaitForTheLoopTimeOut) {
    const int kPosters = 4;
    const int kRounds = 3000;
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::atomic<int> calls{0}, timed{0};
    std::vector<std::unique_ptr<Recorder>> handlers;
    std::vector<CountEvent*> events(kPosters, nullptr);
    for (int i = 0; i < kPosters; i++) handlers.push_back(std::make_unique<Recorder>());
    Recorder onTimer;
    onTimer.action = [&](Event*) { timed++; };
    TimerEvent* timer = nullptr;
    std::thread loop([&] {
        ThreadContext* own = ThreadContext::get();
        std::vector<std::unique_ptr<CountEvent>> owned;
        for (int i = 0; i < kPosters; i++) {
            owned.push_back(std::make_unique<CountEvent>(handlers[i].get()));
            CountEvent* ce = owned.back().get();
            handlers[i]->action = [ce, &calls](Event*) {
                ce->advanceReadCount();
                if (++calls % 7 == 0) {
                    Clock::time_point until = Clock::now() + std::chrono::microseconds(30);
                    while (Clock::now() < until) {
                    }
                }
            };
            events[i] = ce;
        }
        TimerEvent t(&onTimer);
        timer = &t;
        ready = true;
        while (!stop) own->run(3000);
    });
    while (!ready) std::this_thread::yield();

    long long longestTimer = 0;
    std::thread timers([&] {
        for (int i = 1; i <= 3000 && longestTimer < 1500; i++) {
            timer->set(0);
            Clock::time_point start = Clock::now();
            while (timed.load() < i && millisSince(start) <= 1500) std::this_thread::yield();
            longestTimer = std::max(longestTimer, millisSince(start));
        }
    });
    std::vector<long long> longest(kPosters, 0);
    std::vector<long long> posted(kPosters, 0);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; p++) {
        posters.emplace_back([&, p] {
            std::mt19937 random(p + 1);
            CountEvent* ce = events[p];
            for (int i = 0; i < kRounds && longest[p] < 1500; i++) {
                int burst = 1 + static_cast<int>(random() % 4);
                for (int k = 0; k < burst; k++) ce->advanceWriteCount();
                posted[p] += burst;
                Clock::time_point start = Clock::now();
                while (ce->getReadCount() < posted[p] && millisSince(start) <= 1500) std::this_thread::yield();
                longest[p] = std::max(longest[p], millisSince(start));
            }
        });
    }
    for (std::thread& t : posters) t.join();
    timers.join();
    for (int p = 0; p < kPosters; p++) {
        EXPECT_LT(longest[p], 1500) << "poster " << p << ": a post waited for the loop's time-out";
        EXPECT_EQ(posted[p], handlers[p]->calls.load()) << "poster " << p;
        EXPECT_EQ(posted[p], events[p]->getWriteCount());
    }
    EXPECT_LT(longestTimer, 1500) << "a timer set from another thread waited for the loop's time-out";
    // The loop's run ends at its time-out, and its events go with it.
    stop = true;
    loop.join();
}

// The child's main thread runs run(-1), which never returns: the count
// event's handler ends the child, with 0 when the loop had been idle (no
// CPU spent) and had called nothing before the nudge.
void runForeverUntilNudged() {
    ThreadContext* loop = ThreadContext::get();
    pthread_t loopThread = pthread_self();
    std::atomic<bool> idle{false};
    Recorder r;
    CountEvent ce(&r);
    r.action = [&](Event*) { _exit(idle ? 0 : 3); };
    std::thread nudger([&] {
        clockid_t cpu;
        pthread_getcpuclockid(loopThread, &cpu);
        usleep(50000);
        struct timespec a, b;
        clock_gettime(cpu, &a);
        usleep(200000);
        clock_gettime(cpu, &b);
        long long usedMs = (b.tv_sec - a.tv_sec) * 1000LL + (b.tv_nsec - a.tv_nsec) / 1000000;
        idle = usedMs < 50 && r.calls == 0;
        ce.advanceWriteCount();
        sleep(10);
        _exit(5);
    });
    nudger.detach();
    loop->run(-1);
    _exit(4);
}

TEST_F(EventLoop, RunForeverBlocksUntilNudged) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runForeverUntilNudged(), ::testing::ExitedWithCode(0), "");
}

// A leave from another thread ends a sleeping run, and one asked between
// runs ends the next; either way once, so the run after that waits again.
TEST_F(EventLoop, LeaveRunEndsTheRunInsteadOfItsTime) {
    const int kLongMs = 60000;
    for (bool whileSleeping : {true, false}) {
        SCOPED_TRACE(whileSleeping ? "asked while the loop sleeps" : "asked before the run");
        std::thread leaver;
        if (whileSleeping) {
            leaver = std::thread([&] {
                usleep(30000);
                tc->leaveRun();
            });
        } else {
            tc->leaveRun();
        }
        Clock::time_point start = Clock::now();
        tc->run(kLongMs);
        if (leaver.joinable()) leaver.join();
        EXPECT_LT(millisSince(start), kLongMs / 2);

        // The timer ends this run itself, so a pause of the machine cannot
        // end it before the timer: only a leave left over from above can.
        Recorder timer;
        timer.action = [&](Event*) { tc->leaveRun(); };
        TimerEvent t(&timer);
        t.set(20);
        tc->run(kLongMs);
        EXPECT_EQ(1, timer.calls) << "the leave was taken by the run it ended";
    }
}

TEST_F(EventLoop, RunZeroDoesOnePassWithoutWaitingAndCombinedKindsNeverFire) {
    Pipe p;
    p.fill();
    Recorder combinedRead, combinedWrite, plainRead, timer;
    FdEvent a(&combinedRead, p.r, FdEvent::KIND_READ | FdEvent::KIND_WRITE);
    FdEvent b(&combinedWrite, p.w, FdEvent::KIND_READ | FdEvent::KIND_WRITE);
    FdEvent c(&plainRead, p.r, FdEvent::KIND_READ_LIKE);
    TimerEvent far(&timer);
    far.set(5000);
    int fdFired = perfGet(PC_EVT_FT_FIRED);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 3; i++) tc->run(0);
    EXPECT_LT(millisSince(start), 1000);
    EXPECT_EQ(0, combinedRead.calls + combinedWrite.calls + timer.calls);
    EXPECT_GE(plainRead.calls, 3) << "the same descriptor, ready all along";
    EXPECT_EQ(fdFired + plainRead.calls, perfGet(PC_EVT_FT_FIRED));
}

// Calls alternate between the two names, starting with first.
void expectTurns(const std::vector<std::string>& order, size_t from, const char* first) {
    ASSERT_LT(from + 1, order.size());
    for (size_t i = from; i < order.size(); i++)
        EXPECT_EQ((i - from) % 2 == 0 ? first : (strcmp(first, "a") == 0 ? "b" : "a"), order[i]) << i;
}

TEST_F(EventLoop, AlwaysReadyDescriptorsTakeTurns) {
    Pipe p1, p2;
    p1.fill();
    std::vector<std::string> order;
    Recorder ra("a", &order), rb("b", &order);
    FdEvent a(&ra, p1.r, FdEvent::KIND_READ);
    FdEvent b(&rb, p2.w, FdEvent::KIND_WRITE);
    for (int i = 0; i < 3; i++) tc->run(0);
    expectTurns(order, 0, "a");

    // Served alone (a disabled b is not polled), a moves behind b, so b is
    // served first from then on.
    b.enabled(false);
    tc->run(0);
    b.enabled(true);
    size_t enabledAt = order.size();
    tc->run(0);
    tc->run(0);
    expectTurns(order, enabledAt, "b");
}

// The dump's layout is checked where drvhost prints it; here, what it counts.
TEST_F(EventLoop, DumpLogsEveryEventWhenTheLoopIsNextEntered) {
    LogCapture log;
    Recorder r;
    CountEvent ce(&r);
    r.action = [&](Event*) { ce.advanceReadCount(); };
    ce.advanceWriteCount();
    ce.advanceWriteCount();
    tc->run(0);
    EXPECT_FALSE(log.contains("== Thread Context")) << "nothing before it is asked for";

    ThreadContext::dump();
    tc->run(0);
    ce.advanceWriteCount();
    ThreadContext::dump();
    tc->run(0);
    // The second dump comes before the third call: the delta is since the first.
    char line[200];
    for (int writes = 2, delta = 2; writes <= 3; writes++, delta -= 2) {
        snprintf(line, sizeof(line),
                 "CountEvent: %p, readCount = 2, writeCount = %d, enabled = 1, handled = 2 (delta = %d)\n",
                 static_cast<void*>(&ce), writes, delta);
        EXPECT_TRUE(log.contains(line)) << line << log.text();
    }
}

// Many timers at one expiry, with others set, re-set and destroyed around
// them: earlier expiries fire first, and the ones left at the shared expiry
// in the order they were (last) set.
TEST_F(EventLoop, EqualExpiriesKeepTheirSetOrderThroughManyRemovals) {
    const int n = 300;
    std::vector<std::string> order;
    std::vector<std::unique_ptr<Recorder>> handlers;
    std::vector<std::unique_ptr<TimerEvent>> timers;
    for (int i = 0; i < n; i++) {
        handlers.push_back(std::make_unique<Recorder>(std::to_string(i).c_str(), &order));
        timers.push_back(std::make_unique<TimerEvent>(handlers.back().get()));
    }
    std::mt19937 random(7);
    std::vector<int> shuffled(n);
    for (int i = 0; i < n; i++) shuffled[i] = i;
    std::shuffle(shuffled.begin(), shuffled.end(), random);

    int timerFired = perfGet(PC_EVT_TIMER_FIRED);
    // A second ago, so that everything has expired once the clock runs again.
    freezeClock(realMicros() - 1000000);
    std::vector<int> expected;  // the timers at the shared expiry, in set order
    auto setShared = [&](int i) {
        timers[i]->set(10);
        expected.erase(std::remove(expected.begin(), expected.end(), i), expected.end());
        expected.push_back(i);
    };
    for (int i : shuffled) {
        if (i % 4 == 0)
            timers[i]->set(5 + i % 9);  // other expiries, before and after the shared one
        else
            setShared(i);
    }
    for (int k = 0; k < n; k += 3) {
        int i = shuffled[k];
        if (i % 4 == 0) continue;
        if (k % 2 == 0) {
            timers[i].reset();  // destroyed while scheduled
        } else {
            timers[i]->set(60000);  // moved far away
        }
        expected.erase(std::remove(expected.begin(), expected.end(), i), expected.end());
    }
    for (int k = 1; k < n; k += 5) {
        int i = shuffled[k];
        if (i % 4 != 0 && timers[i] != nullptr) setShared(i);  // set again: behind the others
    }
    thawClock();
    tc->run(0);

    // Timers i % 4 == 0 expire at 5..13 ms; the shared ones at 10 ms.
    std::vector<std::string> shared;
    int lastOther = -1;
    for (size_t k = 0; k < order.size(); k++) {
        int i = std::stoi(order[k]);
        if (i % 4 == 0) {
            EXPECT_GE(5 + i % 9, lastOther) << "earlier expiries first";
            lastOther = 5 + i % 9;
            if (5 + i % 9 < 10) {
                EXPECT_TRUE(shared.empty()) << i << " fired after the shared expiry";
            }
        } else {
            shared.push_back(order[k]);
        }
    }
    std::vector<std::string> expectedNames;
    for (int i : expected) expectedNames.push_back(std::to_string(i));
    EXPECT_EQ(expectedNames, shared);
    EXPECT_EQ(timerFired + static_cast<int>(order.size()), perfGet(PC_EVT_TIMER_FIRED));
    for (auto& t : timers) {
        if (t == nullptr) continue;
        EXPECT_EQ(t->isScheduled(), t->getExpiry().tv_sec > realMicros() / 1000000) << "only the far ones wait";
    }
}

TEST_F(EventLoop, PollArrayGrowsOnlyWhenADescriptorNearsItsEnd) {
    ThreadContext* fresh = nullptr;
    std::thread([&] { fresh = ThreadContext::get(); }).join();
    for (size_t fd : {size_t(10), size_t(1019), size_t(1020), size_t(5000), size_t(10)}) {
        size_t before = fresh->getPollCapacity();
        fresh->grow(fd);
        EXPECT_GE(fresh->getPollCapacity(), fd + 5) << fd;
        EXPECT_TRUE(before < fd + 5 || before == fresh->getPollCapacity()) << "grown needlessly for " << fd;
    }
}

void destroyOnAnotherThread(Event* e) {
    setLog("/dev/stderr");
    std::thread([e] { delete e; }).join();
}

void destroyInItsOwnHandler() {
    setLog("/dev/stderr");
    Recorder r;
    auto* t = new TimerEvent(&r);
    r.action = [t](Event*) { delete t; };
    t->set(0);
    ThreadContext::get()->run(0);
}

TEST_F(EventLoop, MisusedEventsEndTheProcessWithTheirReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(destroyOnAnotherThread(new TimerEvent(nullptr)),
                 "assertion failure: tc == _owningContext, at event.cpp");
    EXPECT_DEATH(destroyOnAnotherThread(new CountEvent(nullptr)),
                 "assertion failure: tc == _owningContext, at event.cpp");
    EXPECT_DEATH(destroyOnAnotherThread(new FdEvent(nullptr, 0, FdEvent::KIND_READ)),
                 "assertion failure: tc == _tc, at event.cpp");
    EXPECT_DEATH(destroyInItsOwnHandler(), "assertion failure: 1 == 0, at event.cpp");
}

// A thread's first event makes its context under whatever locks the thread
// holds, so the list of contexts comes after every other ranked lock: a new
// thread that builds its first events inside the innermost other rank passes,
// and a ranked lock taken while the list is held is reported.
void takeARankedLockInsideTheContextList() NO_THREAD_SAFETY_ANALYSIS {
    setLog("/dev/stderr");
    CriticalBlock registry(LOCK_RANK_DELAYED_EVENT);
    CriticalSection holdList(ThreadContext::_contextLock);
    CriticalSection holdRegistry(registry);
}

TEST_F(EventLoop, ContextListIsTheInnermostLoopLock) {
    // Every other rank comes before it, the innermost of them just before.
    ASSERT_GT(ThreadContext::_contextLock.rank(), LOCK_RANK_NONE + 1);
    CriticalBlock outer(static_cast<LockRank>(ThreadContext::_contextLock.rank() - 1));
    ThreadContext* made = nullptr;
    std::thread([&] {
        CriticalSection hold(outer);
        TimerEvent timer(nullptr);
        CountEvent count(nullptr);
        made = ThreadContext::peek();
    }).join();
    EXPECT_NE(nullptr, made);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(takeARankedLockInsideTheContextList(),
                 "lock order: \"DelayedEvent registry\" taken while \"loop context list\" is held");
}

struct rlimit _savedFileLimit;

// One descriptor left: enough for the log, not for a new context's pipe. The
// limit is lifted again before the exit handlers run, which need descriptors.
void createContextWithoutDescriptors() {
    setLog("/dev/stderr");
    int lowest = dup(0);
    close(lowest);
    getrlimit(RLIMIT_NOFILE, &_savedFileLimit);
    atexit([] { setrlimit(RLIMIT_NOFILE, &_savedFileLimit); });
    struct rlimit limit = _savedFileLimit;
    limit.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    setrlimit(RLIMIT_NOFILE, &limit);
    // A bare thread: the sanitizer's type checks of std::thread need descriptors too.
    pthread_t thread;
    pthread_create(
        &thread, nullptr, [](void*) -> void* { return ThreadContext::get(); }, nullptr);
    pthread_join(thread, nullptr);
}

TEST_F(EventLoop, ContextWithoutANudgePipeEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(createContextWithoutDescriptors(), ::testing::ExitedWithCode(1),
                "Unable to open pipe\\(\\) in ThreadContext.  Cannot Continue");
}

}  // namespace
