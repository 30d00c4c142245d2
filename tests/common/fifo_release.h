// Runs a call that might hang on a named pipe, so that a hang fails the test
// instead of blocking it.
#ifndef DRV_TESTS_COMMON_FIFO_RELEASE_H
#define DRV_TESTS_COMMON_FIFO_RELEASE_H

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// Runs fn on a thread of its own and waits a generous while for it. A read
// or write stuck on the named pipe at fifo (waiting for the other end) is let
// go by opening the pipe at both ends for a moment and closing it again.
inline bool finishesWithoutBlocking(const std::function<void()>& fn, const std::string& fifo) {
    std::atomic<bool> done{false};
    std::thread runner([&] {
        fn();
        done = true;
    });
    for (int i = 0; i < 10000 && !done; i++) usleep(1000);
    const bool inTime = done;
    // A writer let go may find the pipe closed again: that must not end the test.
    void (*oldPipe)(int) = signal(SIGPIPE, SIG_IGN);
    while (!done) {
        int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        usleep(1000);
        if (fd >= 0) close(fd);
    }
    signal(SIGPIPE, oldPipe);
    runner.join();
    return inTime;
}

#endif
