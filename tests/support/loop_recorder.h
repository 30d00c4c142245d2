// Helpers shared by the event loop tests: a handler that counts its calls and
// records their order across handlers, a millisecond stopwatch, a
// non-blocking pipe, and a fixture whose thread's loop passes are counted.
#ifndef DRV_TESTS_SUPPORT_LOOP_RECORDER_H
#define DRV_TESTS_SUPPORT_LOOP_RECORDER_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/perf_data.h"
#include "common/thread_context.h"

using Clock = std::chrono::steady_clock;

inline long long millisSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Calls an optional action and keeps the order of calls across handlers.
// The count may be read from another thread than the loop's.
struct Recorder final : EventHandler {
    explicit Recorder(const char* n = "", std::vector<std::string>* o = nullptr) : name(n), order(o) {}
    void handleEvent(Event* e) override {
        calls++;
        if (order != nullptr) order->push_back(name);
        if (action) action(e);
    }
    std::string name;
    std::vector<std::string>* order;
    std::function<void(Event*)> action;
    std::atomic<int> calls{0};
};

// A non-blocking pipe; fill() makes its read end ready.
struct Pipe {
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) abort();
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        close(r);
        close(w);
    }
    void fill() const { ASSERT_EQ(1, write(w, "d", 1)); }
    int r, w;
};

// Installs a performance block for the test program so that the calling
// thread's loop passes can be counted.
class LoopPassesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static PerfData block;
        _block = &block;
        perfData = _block;
        perfRegisterCounters();
        ThreadContext::get()->addPerf("test-main");
    }

    // Passes of this thread's loop that the wait woke: its busy record counts
    // those and every timer and count batch, and only this thread runs a loop.
    static long long passes() {
        return _block->busy[ThreadContext::get()->getBusyIndex()].handled - perfGet(PC_EVT_TIMER_FIRED) -
               perfGet(PC_EVT_COUNT_FIRED);
    }

private:
    static inline PerfData* _block = nullptr;
};

#endif
