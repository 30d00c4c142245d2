// Helpers shared by the event loop tests: a handler that counts its calls and
// records their order across handlers, and a millisecond stopwatch.
#ifndef DRV_TESTS_SUPPORT_LOOP_RECORDER_H
#define DRV_TESTS_SUPPORT_LOOP_RECORDER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

#endif
