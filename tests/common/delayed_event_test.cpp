// Delayed events: waiting with and without a limit, extending the limit,
// delivery by id through the registry, the listener, the error that fills
// only an unfilled event, and the id counters.
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/delayed_event.h"

namespace {

double monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleepMs(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

// Delivers the way a network thread does: find by id, fill, release.
template <class Event>
bool deliver(long long id, void* value) {
    Event* e = Event::lockById(id);
    if (e == nullptr) return false;
    e->setValue(value);
    e->release();
    return true;
}

class CountingListener : public DelayedEventListener {
public:
    void onDelayedEventChange(DelayedEvent* event) override {
        calls++;
        last = event;
    }
    std::atomic<int> calls{0};
    DelayedEvent* last = nullptr;
};

TEST(DelayedEvent, AFillWakesALimitedWaitEarly) {
    DelayedEvent event;
    int payload = 7;
    // The clock is read before the supplier starts, so the fill can never
    // seem to come sooner than its sleep; the limit is far beyond it, so a
    // loaded machine's late supplier still beats it.
    double start = monotonicSeconds();
    std::thread supplier([&] {
        sleepMs(300);
        EXPECT_TRUE(deliver<DelayedEvent>(event.getId(), &payload));
    });
    EXPECT_TRUE(event.waitResult(30000));
    double elapsed = monotonicSeconds() - start;
    supplier.join();
    EXPECT_GT(elapsed, 0.28);
    EXPECT_LT(elapsed, 15.0) << "the fill, not the limit, ended the wait";
    EXPECT_EQ(&payload, event.getValue());
    // Already done: at once, with or without a limit.
    EXPECT_TRUE(event.waitResult(1000));
    event.waitResult();
}

TEST(DelayedEvent, MoreTimeKeepsTheWaitAliveUntilTheValueComes) {
    DelayedEvent2 event;
    int payload = 1;
    std::atomic<bool> stop{false};
    // The supplier asks for more time every 100 ms of a 1 s period until
    // more than two periods have passed, then fills: only a stall of a
    // whole period could leave a period without its request. Its times
    // come from the clock, not from adding up sleeps a loaded machine
    // stretches.
    double start = monotonicSeconds();
    std::thread supplier([&] {
        while (monotonicSeconds() - start < 2.3 && !stop) {
            sleepMs(100);
            DelayedEvent2* e = DelayedEvent2::lockById(event.getId());
            ASSERT_NE(nullptr, e);
            e->moreTime();
            e->release();
        }
        EXPECT_TRUE(deliver<DelayedEvent2>(event.getId(), &payload));
    });
    bool done = event.waitResult(1000);
    double elapsed = monotonicSeconds() - start;
    stop = true;
    supplier.join();
    EXPECT_TRUE(done) << "gave up after " << elapsed << " s";
    EXPECT_GT(elapsed, 2.2);
    EXPECT_EQ(&payload, event.getValue());

    // One extension buys one more period, no more; without a fill the wait
    // then times out and the event stays undone. The extender asks half a
    // period in: late enough that the waiter has begun its first period (a
    // request before it would be forgotten), early enough to fall within
    // it; and a late wake-up at the end of the second cannot look like a
    // third.
    DelayedEvent2 once;
    start = monotonicSeconds();
    std::thread extender([&] {
        sleepMs(500);
        once.moreTime();
    });
    EXPECT_FALSE(once.waitResult(1000));
    elapsed = monotonicSeconds() - start;
    extender.join();
    EXPECT_GT(elapsed, 1.98);
    EXPECT_LT(elapsed, 2.9);
    EXPECT_FALSE(once.isDone());
}

// Errors are results. A connection failure reported after the answer must
// not replace it: the failure fills only an event that nothing has filled yet.
TEST(DelayedEvent, ErrorsAreResultsAndAnErrorUnlessDoneLeavesAFilledEventAlone) {
    DelayedEvent event;
    char text[] = "remote said no";
    event.setError(text, 42);
    strcpy(text, "overwritten");
    EXPECT_TRUE(event.waitResult(1000));
    EXPECT_TRUE(event.isError());
    EXPECT_EQ(42, event.getErrorCode());
    EXPECT_STREQ("remote said no", event.getErrorText()) << "the text is copied";
    event.setError(13);
    EXPECT_EQ(13, event.getErrorCode());
    EXPECT_EQ(nullptr, event.getErrorText());

    DelayedEvent answered;
    int payload = 5;
    answered.setValue(&payload);
    EXPECT_FALSE(answered.setErrorUnlessDone("lost", 11));
    EXPECT_FALSE(answered.isError());
    EXPECT_EQ(&payload, answered.getValue());
    EXPECT_EQ(nullptr, answered.getErrorText());

    DelayedEvent2 refused;
    refused.setError("remote said no", 42);
    EXPECT_FALSE(refused.setErrorUnlessDone(nullptr, 11));
    EXPECT_EQ(42, refused.getErrorCode());
    EXPECT_STREQ("remote said no", refused.getErrorText());

    // Not yet filled: it fills, and wakes the waiter.
    DelayedEvent waited;
    std::atomic<bool> filled{false};
    std::thread supplier([&] {
        sleepMs(100);
        filled = waited.setErrorUnlessDone("lost", 11);
    });
    EXPECT_TRUE(waited.waitResult(5000));
    supplier.join();
    EXPECT_TRUE(filled);
    EXPECT_TRUE(waited.isError());
    EXPECT_EQ(11, waited.getErrorCode());
    EXPECT_STREQ("lost", waited.getErrorText());
}

// The look and the fill are one step: of several racing suppliers exactly
// one fills, and the event holds what that one filled.
TEST(DelayedEvent, OfRacingErrorsUnlessDoneExactlyOneFills) {
    const int kSuppliers = 8;
    for (int round = 0; round < 200; round++) {
        DelayedEvent event;
        std::atomic<bool> go{false};
        std::atomic<int> winners{0};
        std::atomic<int> winner{-1};
        std::vector<std::thread> suppliers;
        for (int i = 0; i < kSuppliers; i++)
            suppliers.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                if (event.setErrorUnlessDone(nullptr, 100 + i)) {
                    winners++;
                    winner = 100 + i;
                }
            });
        go = true;
        for (std::thread& t : suppliers) t.join();
        ASSERT_EQ(1, winners) << "round " << round;
        ASSERT_EQ(winner.load(), event.getErrorCode()) << "round " << round;
    }
}

TEST(DelayedEvent, LockByIdHoldsTheRegistryOnlyForALiveEvent) {
    long long id;
    {
        DelayedEvent gone;
        id = gone.getId();
    }
    EXPECT_EQ(nullptr, DelayedEvent::lockById(id));
    EXPECT_EQ(nullptr, DelayedEvent::lockById(-1));
    // Still held by this thread, this would be reported as a double entry.
    DelayedEvent::registryLock().enter();
    DelayedEvent::registryLock().exit();

    // A found event comes with the registry held: nobody can make or
    // destroy an event of the class until release().
    DelayedEvent live;
    DelayedEvent* found = DelayedEvent::lockById(live.getId());
    ASSERT_EQ(&live, found);
    std::atomic<bool> created{false};
    std::thread maker([&] {
        DelayedEvent other;
        created = true;
    });
    sleepMs(100);
    EXPECT_FALSE(created);
    found->release();
    maker.join();
    EXPECT_TRUE(created);

    // The two classes keep separate registries (taken in their lock order:
    // DelayedEvent's first).
    DelayedEvent2 twin;
    DelayedEvent* elsewhere = DelayedEvent::lockById(live.getId());
    EXPECT_EQ(&live, elsewhere);
    DelayedEvent2* found2 = DelayedEvent2::lockById(twin.getId());
    ASSERT_EQ(&twin, found2);
    found2->release();
    elsewhere->release();
}

// A supplier that answers by id just as the waiter gives up and destroys
// the event: the answer's text either goes with the event or is never
// written (the leak checker sees any that was written into a dying event).
TEST(DelayedEvent, AnAnswerRacingTheWaitersDestructionGoesWithTheEvent) {
    std::atomic<long long> current{0};
    std::atomic<bool> stop{false};
    std::atomic<long> answered{0};
    std::thread supplier([&] {
        while (!stop) {
            long long id = current.load();
            if (id == 0) continue;
            DelayedEvent* e = DelayedEvent::lockById(id);
            if (e == nullptr) continue;
            e->setError("late answer", 5);
            answered++;
            e->release();
        }
    });
    // Until the supplier has answered some events too: on a loaded machine
    // it may not run at all during the first fifty thousand.
    for (int i = 0; i < 50000 || (answered.load() < 10 && i < 5000000); i++) {
        DelayedEvent* e = new DelayedEvent();
        current = e->getId();
        delete e;
    }
    stop = true;
    supplier.join();
    EXPECT_GT(answered.load(), 0);
}

TEST(DelayedEvent, ListenerHearsOfEachReleaseAfterAFill) {
    CountingListener listener;
    DelayedEvent event(&listener);
    DelayedEvent* e = DelayedEvent::lockById(event.getId());
    ASSERT_NE(nullptr, e);
    e->release();
    EXPECT_EQ(0, listener.calls) << "nothing to tell before a fill";

    int payload = 3;
    EXPECT_TRUE(deliver<DelayedEvent>(event.getId(), &payload));
    EXPECT_EQ(1, listener.calls);
    EXPECT_EQ(&event, listener.last);
    event.setValue(&payload);
    EXPECT_EQ(1, listener.calls) << "only release() calls the listener";

    DelayedEvent silent(nullptr);
    EXPECT_TRUE(deliver<DelayedEvent>(silent.getId(), &payload));
}

// The supplier is still inside release() (in the listener) when the waiter
// wakes; the waiter must not return, and destroy its event, before that.
TEST(DelayedEvent, WaiterReturnsOnlyAfterTheSupplierReleased) {
    class SlowListener : public DelayedEventListener {
    public:
        void onDelayedEventChange(DelayedEvent*) override {
            sleepMs(200);
            released = true;
        }
        std::atomic<bool> released{false};
    } listener;
    for (int limited = 0; limited < 2; limited++) {
        listener.released = false;
        DelayedEvent* event = new DelayedEvent(&listener);
        long long id = event->getId();
        std::thread supplier([&] { deliver<DelayedEvent>(id, nullptr); });
        if (limited)
            EXPECT_TRUE(event->waitResult(5000));
        else
            event->waitResult();
        EXPECT_TRUE(listener.released);
        delete event;
        supplier.join();
    }
}

// Replies come back oldest first while many requests are outstanding; each
// must find its event without walking all the others (the registry lock is
// held meanwhile, and every request of the process waits for it). The bound
// is far above what the lookups cost and far below a walk of every event;
// it grows with the time the events took to make, which a loaded machine or
// a slow build stretches alike, while a walk would cost thousands of times
// more than that.
TEST(DelayedEvent, ManyOutstandingRequestsAreFoundWithoutWalkingThemAll) {
    const int kOutstanding = 200000;
    std::vector<DelayedEvent*> events;
    std::vector<DelayedEvent2*> events2;
    double making = monotonicSeconds();
    for (int i = 0; i < kOutstanding; i++) {
        events.push_back(new DelayedEvent());
        events2.push_back(new DelayedEvent2());
    }
    double start = monotonicSeconds();
    const double kBoundSeconds = 20 + 50 * (start - making);
    int delivered = 0;
    for (int i = 0; i < kOutstanding && monotonicSeconds() - start < kBoundSeconds; i++) {
        ASSERT_TRUE(deliver<DelayedEvent>(events[i]->getId(), &events[i]));
        ASSERT_TRUE(deliver<DelayedEvent2>(events2[i]->getId(), &events2[i]));
        delivered++;
    }
    EXPECT_EQ(kOutstanding, delivered) << "gave up after " << kBoundSeconds << " s";
    for (int i = 0; i < delivered; i++) {
        EXPECT_EQ(&events[i], events[i]->getValue());
        EXPECT_EQ(&events2[i], events2[i]->getValue());
    }
    // Leaving in any order keeps the rest findable, and the gone unfindable.
    std::vector<long long> ids, ids2;
    for (int i = 0; i < kOutstanding; i++) {
        ids.push_back(events[i]->getId());
        ids2.push_back(events2[i]->getId());
    }
    for (int i = kOutstanding - 1; i >= 0; i -= 2) {
        delete events[i];
        delete events2[i];
    }
    int looked = 0;
    for (int i = 0; i < kOutstanding; i++) {
        bool kept = (kOutstanding - 1 - i) % 2 != 0;
        if (monotonicSeconds() - start >= kBoundSeconds) {
            if (kept) {
                delete events[i];
                delete events2[i];
            }
            continue;
        }
        looked++;
        DelayedEvent* e = DelayedEvent::lockById(ids[i]);
        DelayedEvent2* e2 = DelayedEvent2::lockById(ids2[i]);
        EXPECT_EQ(kept ? events[i] : nullptr, e) << i;
        EXPECT_EQ(kept ? events2[i] : nullptr, e2) << i;
        if (e2 != nullptr) e2->release();
        if (e != nullptr) e->release();
        if (kept) {
            delete events[i];
            delete events2[i];
        }
    }
    EXPECT_EQ(kOutstanding, looked) << "gave up after " << kBoundSeconds << " s";
}

TEST(DelayedEventDeathTest, EachClassCountsItsOwnIdsFromOne) {
    // A fresh process, so that the counters start where a process starts them.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            DelayedEvent2 b1;
            DelayedEvent a1;
            DelayedEvent a2;
            DelayedEvent2 b2;
            DelayedEvent2 b3;
            fprintf(stderr, "ids %lld %lld / %lld %lld %lld\n", a1.getId(), a2.getId(), b1.getId(), b2.getId(),
                    b3.getId());
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "ids 1 2 / 1 2 3\n");
}

}  // namespace
