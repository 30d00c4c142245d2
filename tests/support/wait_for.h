// Waiting in a test for something another thread or process brings about:
// the condition is polled, so a slow machine only makes the wait longer,
// and the bound is there only so that a fault fails the test instead of
// hanging it.
#ifndef DRV_TESTS_SUPPORT_WAIT_FOR_H
#define DRV_TESTS_SUPPORT_WAIT_FOR_H

#include <chrono>
#include <functional>
#include <thread>

// Whether pred holds within ms milliseconds (polled every 2 ms).
inline bool waitFor(const std::function<bool()>& pred, int ms = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#endif
