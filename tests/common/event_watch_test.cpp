// The loop's descriptor side: ready events fire in list order whatever the
// kernel reports first; removing, closing and reusing descriptors; enabling
// and disabling while registered; descriptors epoll refuses; high numbers;
// and thousands of descriptors coming and going while the loop runs.
// Several cases check that the loop sleeps (spends no CPU) where a stale or
// hung-up registration could make it spin.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/perf_data.h"
#include "common/thread_context.h"
#include "tests/support/loop_recorder.h"

namespace {

class EventWatch : public LoopPassesTest {
protected:
    ThreadContext* tc = ThreadContext::get();
};

// Ready descriptors are served in list order, whatever their numbers and the
// order in which they became ready; fired ones then queue behind.
TEST_F(EventWatch, ReadyDescriptorsFireInListOrder) {
    std::vector<Pipe> pipes(5);
    std::vector<std::string> order;
    std::vector<std::unique_ptr<Recorder>> handlers;
    std::vector<std::unique_ptr<FdEvent>> events;
    const int listed[] = {4, 2, 0, 3, 1};
    for (int i : listed) {
        handlers.push_back(std::make_unique<Recorder>(std::to_string(i).c_str(), &order));
        events.push_back(std::make_unique<FdEvent>(handlers.back().get(), pipes[i].r, FdEvent::KIND_READ));
    }
    tc->run(0);
    EXPECT_TRUE(order.empty());
    for (int i : {1, 3, 0, 2, 4}) pipes[i].fill();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"4", "2", "0", "3", "1"}), order);
    // 2 and 3 stay ready; everything fired has moved behind the rest in the
    // order it fired, so the list is 4 2 0 3 1 again.
    char byte;
    for (int i : {0, 1, 4}) ASSERT_EQ(1, read(pipes[i].r, &byte, 1));
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"2", "3"}), order);
}

// A handler removes a ready event, closes its descriptor and watches a new
// pipe that gets the same number: the removed event does not fire, and the
// new one (not polled when the pass began) fires in the next pass only.
TEST_F(EventWatch, RemovedAndClosedDescriptorsNeverFireAgain) {
    Pipe first, last;
    first.fill();
    last.fill();
    int removedR, removedW;
    {
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        removedR = fds[0];
        removedW = fds[1];
    }
    ASSERT_EQ(1, write(removedW, "d", 1));
    std::vector<std::string> order;
    Recorder ra("a", &order), rx("x", &order), rb("b", &order), rn("new", &order);
    FdEvent a(&ra, first.r, FdEvent::KIND_READ);
    auto* x = new FdEvent(&rx, removedR, FdEvent::KIND_READ);
    FdEvent b(&rb, last.r, FdEvent::KIND_READ);
    std::unique_ptr<FdEvent> reborn;
    int rebornW = -1;
    char byte;
    ra.action = [&](Event*) {
        EXPECT_EQ(1, read(first.r, &byte, 1));
        delete x;
        close(removedR);
        close(removedW);
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        if (fds[0] != removedR) {  // move it onto the number just freed
            ASSERT_EQ(removedR, dup3(fds[0], removedR, O_CLOEXEC));
            close(fds[0]);
        }
        rebornW = fds[1];
        ASSERT_EQ(1, write(rebornW, "d", 1));
        reborn = std::make_unique<FdEvent>(&rn, removedR, FdEvent::KIND_READ);
    };
    rb.action = [&](Event*) { EXPECT_EQ(1, read(last.r, &byte, 1)); };
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), order);
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "new"}), order);
    EXPECT_GE(rn.calls, 1);
    reborn.reset();
    close(removedR);
    close(rebornW);
}

// Thread CPU time spent in run(ms): near zero when the loop sleeps.
long long cpuMillisOfRun(ThreadContext* loop, int ms) {
    struct timespec a, b;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    loop->run(ms);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    return (b.tv_sec - a.tv_sec) * 1000LL + (b.tv_nsec - a.tv_nsec) / 1000000;
}

// A descriptor closed while still watched, its file kept open through a
// copy: the event goes, the file becomes readable, and the loop must
// neither fire anything nor spin on what the kernel still reports.
TEST_F(EventWatch, ClosedWhileWatchedLeavesNothingBehind) {
    Pipe p;
    // Far above the numbers the loop itself may take meanwhile.
    int number = fcntl(p.r, F_DUPFD_CLOEXEC, 900);
    ASSERT_GE(number, 900);
    Recorder old, fresh;
    auto* e = new FdEvent(&old, number, FdEvent::KIND_READ);
    tc->run(0);
    close(number);
    delete e;
    p.fill();
    long long before = passes();
    EXPECT_LT(cpuMillisOfRun(tc, 200), 30) << "the loop spun on a stale registration";
    EXPECT_EQ(0, old.calls);
    EXPECT_EQ(0, passes() - before);

    // The number, reused for another pipe, is watched afresh.
    Pipe other;
    ASSERT_EQ(number, dup3(other.r, number, O_CLOEXEC));
    FdEvent again(&fresh, number, FdEvent::KIND_READ);
    tc->run(0);
    EXPECT_EQ(0, fresh.calls) << "the old file's data is not the new file's";
    other.fill();
    tc->run(0);
    EXPECT_EQ(1, fresh.calls);
    close(number);
}

TEST_F(EventWatch, EnablingAndDisablingARegisteredDescriptor) {
    // One socket, readable and writable, watched by a read and a write event.
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv));
    ASSERT_EQ(1, write(sv[1], "d", 1));
    std::vector<std::string> order;
    Recorder rr("read", &order), rw("write", &order), rs("switch", &order);
    FdEvent reader(&rr, sv[0], FdEvent::KIND_READ);
    FdEvent writer(&rw, sv[0], FdEvent::KIND_WRITE);
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"read", "write"}), order);

    reader.enabled(false);
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"write"}), order);
    reader.enabled(true);
    writer.enabled(false);
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"read"}), order);
    writer.enabled(false);
    writer.enabled(true);  // toggled back before the wait: no change
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"write", "read"}), order);

    // Switched within a pass by an earlier handler: a disabled event is
    // skipped, and an event enabled after the wait waits for the next pass.
    Pipe s;
    s.fill();
    FdEvent switcher(&rs, s.r, FdEvent::KIND_READ);  // the list: write, read, switch
    rw.action = [&](Event*) { switcher.enabled(false); };
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"write", "read"}), order);  // the list: switch, write, read
    rw.action = nullptr;
    switcher.enabled(true);
    reader.enabled(false);
    writer.enabled(false);
    rs.action = [&](Event*) { reader.enabled(true); };
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"switch"}), order);
    order.clear();
    tc->run(0);
    EXPECT_EQ((std::vector<std::string>{"read", "switch"}), order);
    close(sv[0]);
    close(sv[1]);
}

// A hung-up pipe is reported whatever is asked; with its only event
// disabled the loop must sleep, not spin.
TEST_F(EventWatch, DisabledEventOnAHungUpDescriptorLetsTheLoopSleep) {
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    close(fds[1]);
    Recorder r;
    FdEvent e(&r, fds[0], FdEvent::KIND_READ);
    tc->run(0);
    EXPECT_EQ(1, r.calls) << "a hang-up fires a read event";
    e.enabled(false);
    EXPECT_LT(cpuMillisOfRun(tc, 200), 30);
    EXPECT_EQ(1, r.calls);
    e.enabled(true);
    tc->run(0);
    EXPECT_EQ(2, r.calls);
    close(fds[0]);
}

// epoll refuses regular files; poll calls them always ready, and so does the loop.
TEST_F(EventWatch, RegularFilesAreAlwaysReady) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    Recorder r, w;
    {
        FdEvent reader(&r, fileno(f), FdEvent::KIND_READ);
        FdEvent writer(&w, fileno(f), FdEvent::KIND_WRITE);
        Clock::time_point start = Clock::now();
        tc->run(0);
        tc->run(0);
        EXPECT_EQ(2, r.calls);
        EXPECT_EQ(2, w.calls);
        writer.enabled(false);
        reader.enabled(false);
        EXPECT_LT(cpuMillisOfRun(tc, 100), 30) << "nothing enabled: nothing to wait for";
        reader.enabled(true);
        tc->run(-1 + 1);
        EXPECT_EQ(3, r.calls);
        EXPECT_LT(millisSince(start), 5000);
    }
    fclose(f);
}

// A regular file's event is disabled and kept while its descriptor is closed
// (settled first, as the caller should, or not), and the number comes back as
// a pipe: the pipe is watched for what it reports, not taken for the
// always-ready file that had the number before.
TEST_F(EventWatch, ANumberAFileHadIsWatchedAfreshOnceReused) {
    for (bool settled : {true, false}) {
        FILE* f = tmpfile();
        ASSERT_NE(nullptr, f);
        // Far above the numbers the loop itself may take meanwhile.
        int number = fcntl(fileno(f), F_DUPFD_CLOEXEC, 950);
        ASSERT_GE(number, 950);
        fclose(f);
        Recorder old, fresh;
        FdEvent stale(&old, number, FdEvent::KIND_READ);
        tc->run(0);
        EXPECT_EQ(1, old.calls) << "a regular file is always ready";
        stale.enabled(false);
        if (settled) stale.settleBeforeClose();
        close(number);

        Pipe p;
        ASSERT_EQ(number, dup3(p.r, number, O_CLOEXEC));
        FdEvent again(&fresh, number, FdEvent::KIND_READ);
        tc->run(0);
        tc->run(0);
        EXPECT_EQ(0, fresh.calls) << "an empty pipe is not ready; settled " << settled;
        EXPECT_LT(cpuMillisOfRun(tc, 100), 30) << "nothing is ready: the loop sleeps; settled " << settled;
        EXPECT_EQ(0, fresh.calls) << settled;
        p.fill();
        tc->run(0);
        EXPECT_EQ(1, fresh.calls) << settled;
        EXPECT_EQ(1, old.calls) << settled;
        close(number);
    }
}

// Raises the soft descriptor limit for a test and restores it afterwards.
class FileLimit {
public:
    explicit FileLimit(rlim_t atLeast) {
        getrlimit(RLIMIT_NOFILE, &_saved);
        struct rlimit raised = _saved;
        if (raised.rlim_cur < atLeast) raised.rlim_cur = std::min(atLeast, raised.rlim_max);
        setrlimit(RLIMIT_NOFILE, &raised);
        ok = raised.rlim_cur >= atLeast;
    }
    ~FileLimit() { setrlimit(RLIMIT_NOFILE, &_saved); }
    bool ok;

private:
    struct rlimit _saved;
};

TEST_F(EventWatch, DescriptorNumbersAboveTheFirstThousand) {
    FileLimit limit(4200);
    if (!limit.ok) GTEST_SKIP() << "the hard descriptor limit is below 4200";
    Pipe p;
    int high = fcntl(p.r, F_DUPFD_CLOEXEC, 1500);
    int higher = fcntl(p.w, F_DUPFD_CLOEXEC, 4000);
    ASSERT_GE(high, 1500);
    ASSERT_GE(higher, 4000);
    std::vector<std::string> order;
    Recorder rr("read", &order), rw("write", &order);
    {
        FdEvent reader(&rr, high, FdEvent::KIND_READ);
        FdEvent writer(&rw, higher, FdEvent::KIND_WRITE);
        EXPECT_GE(tc->getPollCapacity(), static_cast<size_t>(higher) + 5);
        tc->run(0);
        EXPECT_EQ((std::vector<std::string>{"write"}), order);
        p.fill();
        tc->run(0);
        EXPECT_EQ((std::vector<std::string>{"write", "read", "write"}), order);
    }
    close(high);
    close(higher);
    order.clear();
    tc->run(0);
    EXPECT_TRUE(order.empty());
}

// Handlers add and remove thousands of descriptors while the loop runs; a
// removed event must never be called (the sanitizer catches a freed one).
TEST_F(EventWatch, TenThousandDescriptorsComeAndGoWhileTheLoopRuns) {
    const int n = 10000, batch = 1000;
    FileLimit limit(n + 500);
    if (!limit.ok) GTEST_SKIP() << "the hard descriptor limit is below " << n + 500;
    struct Slot final : EventHandler {
        void handleEvent(Event*) override {
            uint64_t v;
            EXPECT_EQ(static_cast<ssize_t>(sizeof v), read(fd, &v, sizeof v));
            calls++;
            if (onFire) onFire();
        }
        int fd = -1;
        int calls = 0;
        bool readable = false, removed = false;
        std::function<void()> onFire;
        std::unique_ptr<FdEvent> event;
    };
    std::vector<Slot> slots(n);
    auto remove = [&](Slot& s) {
        s.event.reset();
        close(s.fd);
        s.removed = true;
    };
    int added = 0, removedInPass = 0;
    Recorder adder;
    TimerEvent addTimer(&adder);
    adder.action = [&](Event*) {
        for (int k = 0; k < batch && added < n; k++, added++) {
            Slot& s = slots[added];
            s.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            ASSERT_GE(s.fd, 0);
            s.event = std::make_unique<FdEvent>(&s, s.fd, FdEvent::KIND_READ);
            if (added % 7 == 0) {
                uint64_t one = 1;
                ASSERT_EQ(static_cast<ssize_t>(sizeof one), write(s.fd, &one, sizeof one));
                s.readable = true;
            }
            // Some readable ones remove the next readable one, ready in the same pass.
            if (added % 14 == 0 && added + 7 < n) {
                int next = added + 7;
                s.onFire = [&, next] {
                    if (slots[next].event != nullptr && slots[next].calls == 0) {
                        remove(slots[next]);
                        removedInPass++;
                    }
                };
            }
        }
        if (added < n) addTimer.set(0);
    };
    addTimer.set(0);
    for (int pass = 0; pass < 100 && added < n; pass++) tc->run(0);
    for (int pass = 0; pass < 5; pass++) tc->run(0);
    ASSERT_EQ(n, added);
    EXPECT_GT(removedInPass, 0);
    for (int i = 0; i < n; i++) {
        const Slot& s = slots[i];
        EXPECT_EQ(s.readable && !s.removed ? 1 : 0, s.calls) << i;
    }

    // Now they go, a batch per pass, some ready again as they go.
    int gone = 0;
    Recorder remover;
    TimerEvent removeTimer(&remover);
    remover.action = [&](Event*) {
        for (int k = 0; k < batch && gone < n; k++, gone++) {
            Slot& s = slots[gone];
            if (s.removed) continue;
            if (gone + batch < n && slots[gone + batch].event != nullptr) {
                uint64_t one = 1;
                ASSERT_EQ(static_cast<ssize_t>(sizeof one), write(slots[gone + batch].fd, &one, sizeof one));
            }
            remove(s);
        }
        if (gone < n) removeTimer.set(0);
    };
    removeTimer.set(0);
    for (int pass = 0; pass < 100 && gone < n; pass++) tc->run(0);
    ASSERT_EQ(n, gone);
    for (const Slot& s : slots) EXPECT_TRUE(s.removed);
    EXPECT_LT(cpuMillisOfRun(tc, 100), 30) << "nothing left to watch";
}

}  // namespace
