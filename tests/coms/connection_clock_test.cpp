// The per-thread clock of connection deadlines, driven by hand: order,
// re-arming and cancelling from the middle of a lane, the slack that
// serves heartbeats close together in one pass and never late, and the
// exact deadlines without slack.
#include "coms/connection_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/dravika_init.h"
#include "common/thread_context.h"

namespace {

struct Probe {
    Probe(const char* n, std::vector<std::string>* log) : name(n), fired(log), deadline(fire, this) {}
    static void fire(void* p) {
        auto* self = static_cast<Probe*>(p);
        self->fired->push_back(self->name);
        if (self->onFire) self->onFire();
    }
    std::string name;
    std::vector<std::string>* fired;
    ConnectionClock::Deadline deadline;
    std::function<void()> onFire;
};

TEST(ConnectionClock, DeadlinesFireInDueOrderAndCanBeMovedOrCancelled) {
    dravika_init();
    ConnectionClock clock;
    std::vector<std::string> fired;
    Probe a("a", &fired), b("b", &fired), c("c", &fired), d("d", &fired);
    // The periods lie a second apart: each arm reads the clock anew, and a
    // loaded machine may pause between two of them.
    long long start = ConnectionClock::nowUs();
    clock.arm(&a.deadline, 3000, false);
    clock.arm(&b.deadline, 1000, false);
    clock.arm(&c.deadline, 3000, false);
    clock.arm(&d.deadline, 2000, false);
    EXPECT_EQ(3, clock.laneCount());
    // c moves behind itself (re-armed later), a is cancelled from the middle.
    clock.arm(&c.deadline, 3000, false);
    clock.cancel(&a.deadline);
    EXPECT_FALSE(ConnectionClock::isArmed(&a.deadline));
    clock.fireDue(start + 50 * 1000);
    EXPECT_TRUE(fired.empty()) << "nothing is due yet, and lost-style deadlines are never early";
    clock.fireDue(ConnectionClock::nowUs() + 10 * 1000 * 1000);
    EXPECT_EQ((std::vector<std::string>{"b", "d", "c"}), fired);
    EXPECT_EQ(0, clock.laneCount()) << "empty lanes are dropped";
    EXPECT_EQ(-1, clock.nextDueUs());
}

TEST(ConnectionClock, SlackServesEarlyDeadlinesTogetherButNeverExactOnes) {
    ConnectionClock clock;
    std::vector<std::string> fired;
    Probe hb1("hb1", &fired), hb2("hb2", &fired), lost("lost", &fired);
    long long start = ConnectionClock::nowUs();
    clock.arm(&hb1.deadline, 1000, true);  // slack: 100 ms
    clock.arm(&hb2.deadline, 1000, true);
    // Read between the arms: hb2 is due no later than this plus the period,
    // lost no earlier, however long the machine pauses between the calls.
    long long between = ConnectionClock::nowUs();
    clock.arm(&lost.deadline, 1000, false);
    long long due = clock.nextDueUs();
    ASSERT_GE(due, start + 1000 * 1000);
    // 90 ms before the due time the heartbeats may go, the exact one not.
    clock.fireDue(between + 1000 * 1000 - 90 * 1000);
    EXPECT_EQ((std::vector<std::string>{"hb1", "hb2"}), fired);
    EXPECT_TRUE(ConnectionClock::isArmed(&lost.deadline));
    // One microsecond before its time the exact deadline waits.
    long long lostDue = clock.nextDueUs();
    clock.fireDue(lostDue - 1);
    EXPECT_EQ(2u, fired.size());
    EXPECT_TRUE(ConnectionClock::isArmed(&lost.deadline));
    clock.fireDue(lostDue);
    EXPECT_EQ("lost", fired.back());
    // Beyond the slack a heartbeat does not go early; within it, it does.
    // The clock is read on both sides of the arm, so its real due time lies
    // between the two bounds.
    Probe hb3("hb3", &fired);
    long long hb3NotBefore = ConnectionClock::nowUs() + 1000 * 1000;
    clock.arm(&hb3.deadline, 1000, true);
    long long hb3NotAfter = ConnectionClock::nowUs() + 1000 * 1000;
    clock.fireDue(hb3NotBefore - 120 * 1000);
    EXPECT_EQ(3u, fired.size());
    clock.fireDue(hb3NotAfter - 90 * 1000);
    EXPECT_EQ((std::vector<std::string>{"hb1", "hb2", "lost", "hb3"}), fired);
    EXPECT_EQ(-1, clock.nextDueUs());
}

TEST(ConnectionClock, ADeadlineArmedAgainWhileFiringWaitsForTheNextPass) {
    ConnectionClock clock;
    std::vector<std::string> fired;
    Probe a("a", &fired), b("b", &fired);
    // a re-arms itself with no delay at all and cancels b, due in the same pass.
    a.onFire = [&] {
        clock.arm(&a.deadline, 0, false);
        clock.cancel(&b.deadline);
    };
    clock.arm(&a.deadline, 0, false);
    clock.arm(&b.deadline, 0, false);
    clock.fireDue(ConnectionClock::nowUs() + 1000);
    EXPECT_EQ((std::vector<std::string>{"a"}), fired) << "b was cancelled before its turn";
    EXPECT_TRUE(ConnectionClock::isArmed(&a.deadline));
    clock.fireDue(ConnectionClock::nowUs() + 1000);
    EXPECT_EQ(2u, fired.size());
    clock.cancel(&a.deadline);
}

void ignore(void*) {}

// Periods come from the peers, so a thread may hold as many lanes as
// connections. Re-arming (at every read) and moving to another period stay
// cheap however many lanes there are: the bound only catches a walk of all
// lanes per re-arm, which takes tens of seconds here.
TEST(ConnectionClock, ManyLanesKeepReArmingCheap) {
    const int kLanes = 30000;
    ConnectionClock clock;
    std::vector<ConnectionClock::Deadline> deadlines(kLanes, ConnectionClock::Deadline(ignore, nullptr));
    for (int i = 0; i < kLanes; i++) clock.arm(&deadlines[i], 100000 + i, i % 2 == 0);
    EXPECT_EQ(kLanes, clock.laneCount());
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 4; round++)
        for (int i = 0; i < kLanes; i++) clock.arm(&deadlines[i], 100000 + i + (round % 2) * kLanes, i % 2 == 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0) << "re-arming among many lanes";
    EXPECT_EQ(kLanes, clock.laneCount()) << "the lanes left behind are gone";
    // Still served in due order. The periods lie far apart: the arms read the
    // clock one after the other, and a loaded machine may pause between them.
    std::vector<std::string> fired;
    Probe first("first", &fired), second("second", &fired);
    clock.arm(&second.deadline, 1000, false);
    clock.arm(&first.deadline, 1, false);
    clock.fireDue(ConnectionClock::nowUs() + 2000 * 1000);
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), fired);
    for (ConnectionClock::Deadline& d : deadlines) clock.cancel(&d);
    EXPECT_EQ(0, clock.laneCount());
}

TEST(ConnectionClock, TheLoopTimerServesTheDeadlines) {
    ConnectionClock clock;
    std::vector<std::string> fired;
    Probe a("a", &fired);
    clock.arm(&a.deadline, 20, true);
    for (int i = 0; i < 200 && fired.empty(); i++) Reactor::run(10);
    EXPECT_EQ((std::vector<std::string>{"a"}), fired);
}

}  // namespace
