// The signal thread, in forked children: each child adopts its main thread
// (which starts the signal thread), reports what happened on a pipe, and is
// ended by SIGTERM through the shutdown path; the parent checks the report
// and the exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "common/perf_data.h"
#include "common/thread_context.h"

namespace {

struct ChildResult {
    int status;
    std::string report;
};

// Runs body in a child that never returns to the test; body writes its
// report to the descriptor it is given. A child still running after ten
// seconds is killed.
ChildResult runChild(const std::function<void(int)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) abort();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        static PerfData block;
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&block.childPidLock, &attr);
        block.ownerPid = getpid();
        perfData = &block;
        zeroPerfPids();
        perfRegisterCounters();
        body(fds[1]);
        _exit(99);
    }
    close(fds[1]);
    ChildResult result{-1, ""};
    char buf[512];
    struct pollfd p = {fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0) break;
        result.report.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (waitpid(pid, &result.status, WNOHANG) == 0) {
        usleep(200000);
        if (waitpid(pid, &result.status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &result.status, 0);
        }
    }
    return result;
}

void report(int fd, const std::string& text) {
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
}

template <class Pred>
bool waitFor(Pred done) {
    for (int i = 0; i < 5000 && !done(); i++) usleep(1000);
    return done();
}

// The log goes to the report too, so the parent sees the runtime's own lines.
void logTo(int fd) {
    setLog(("/proc/self/fd/" + std::to_string(fd)).c_str());
}

struct Reporter : ShutdownHandler {
    Reporter(int f, char m) : fd(f), mark(m) {}
    void onShutdown() override {
        // Shutdown has begun by the time the handlers run.
        report(fd, std::string(1, _shutdown ? mark : '?'));
    }
    int fd;
    char mark;
};

TEST(SignalThread, TermRunsTheShutdownHandlersNewestFirstThenExitsWithZero) {
    ChildResult child = runChild([](int fd) {
        logTo(fd);
        static Reporter first(fd, '1'), second(fd, '2'), third(fd, '3');
        s_addShutdownHandler(&first);
        s_addShutdownHandler(&second);
        ASSERT_EQ(0, DaemonThread::attachMainThread(nullptr, false));
        s_addShutdownHandler(&third);
        report(fd, std::string("adopted as ") + DaemonThread::getCurrentThread()->getName() + "\n");
        kill(getpid(), SIGTERM);
        sleep(10);
    });
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(0, WEXITSTATUS(child.status)) << child.report;
    EXPECT_NE(std::string::npos, child.report.find("adopted as main\n")) << child.report;
    EXPECT_NE(std::string::npos, child.report.find("Received request to shutdown...\n321")) << child.report;
}

struct ChildRecorder : ChildListener {
    void onChildExit(pid_t pid, int status, struct rusage* usage) override {
        report(fd, "reaped " + std::to_string(pid) + " " + std::to_string(WEXITSTATUS(status)) +
                       (usage != nullptr ? "\n" : " without usage\n"));
        reaped++;
    }
    int fd = -1;
    std::atomic<int> reaped{0};
};

TEST(SignalThread, ChildrenAreReapedAndReportedToTheListener) {
    ChildResult child = runChild([](int fd) {
        static ChildRecorder listener;
        listener.fd = fd;
        DaemonThread::attachMainThread(&listener, true);
        // Each child is in the child table before it can be reaped.
        lockPerfPid();
        pid_t a = fork();
        if (a == 0) _exit(3);
        addPerfPid(a);
        pid_t b = fork();
        if (b == 0) _exit(4);
        addPerfPid(b);
        unlockPerfPid();
        report(fd, "spawned " + std::to_string(a) + " " + std::to_string(b) + "\n");
        waitFor([] { return listener.reaped == 2; });
        int left = 0;
        for (pid_t pid : perfData->childPids) left += pid > 0 ? 1 : 0;
        report(fd, "reaped " + std::to_string(perfGet(PC_CHILDREN_REAPED)) + " after " +
                       std::to_string(perfGet(PC_SIG_CHLD) > 0 ? 1 : 0) + " signals, " + std::to_string(left) +
                       " left in the child table\n");
        kill(getpid(), SIGTERM);
        sleep(10);
    });
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(0, WEXITSTATUS(child.status)) << child.report;
    // The listener may report the first child before the spawn line is out.
    unsigned a = 0, b = 0;
    size_t spawned = child.report.find("spawned ");
    ASSERT_NE(std::string::npos, spawned) << child.report;
    ASSERT_EQ(2, sscanf(child.report.c_str() + spawned, "spawned %u %u", &a, &b)) << child.report;
    EXPECT_NE(std::string::npos, child.report.find("reaped " + std::to_string(a) + " 3\n")) << child.report;
    EXPECT_NE(std::string::npos, child.report.find("reaped " + std::to_string(b) + " 4\n")) << child.report;
    EXPECT_NE(std::string::npos, child.report.find("reaped 2 after 1 signals, 0 left in the child table\n"))
        << child.report;
}

struct SignalReporter : EventHandler {
    SignalReporter(int f, char m) : fd(f), mark(m) {}
    void handleEvent(Event* e) override {
        char name[32];
        DaemonThread::getName(name, sizeof(name), DaemonThread::getCurrentThread()->getThreadId());
        report(fd, std::string(1, mark) + (e == nullptr ? " on " : " with an event on ") + name + "\n");
        calls++;
    }
    int fd;
    char mark;
    std::atomic<int> calls{0};
};

TEST(SignalThread, OtherSignalsGoToTheirAttachedHandlersNewestFirst) {
    ChildResult child = runChild([](int fd) {
        static SignalReporter olderUsr1(fd, 'a'), newerUsr1(fd, 'b'), usr2(fd, 'c');
        DaemonThread::attachSignalHandler(SIGUSR1, &olderUsr1);
        DaemonThread::attachSignalHandler(SIGUSR1, &newerUsr1);
        DaemonThread::attachSignalHandler(SIGUSR2, &usr2);
        DaemonThread::attachMainThread(nullptr, false);
        kill(getpid(), SIGUSR1);
        waitFor([] { return olderUsr1.calls == 1; });
        // No handler for SIGQUIT: counted, nothing more (the process lives on).
        kill(getpid(), SIGQUIT);
        waitFor([] { return perfGet(PC_SIG_OTHER) == 2; });
        kill(getpid(), SIGUSR2);
        waitFor([] { return usr2.calls == 1; });
        report(fd, "other " + std::to_string(perfGet(PC_SIG_OTHER)) + ", wrong thread " +
                       std::to_string(perfGet(PC_SIG_WRONG_T)) + "\n");
        kill(getpid(), SIGTERM);
        sleep(10);
    });
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(0, WEXITSTATUS(child.status)) << child.report;
    EXPECT_EQ("b on sig-handler\na on sig-handler\nc on sig-handler\nother 3, wrong thread 0\n", child.report);
}

}  // namespace
