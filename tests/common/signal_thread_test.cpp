// The signal thread, in a forked child: the child adopts its main thread
// (which starts the signal thread), reports what happened on a pipe, and is
// ended by SIGTERM through the shutdown path; the parent checks the report
// and the exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "common/perf_data.h"
#include "common/thread_context.h"

namespace {

int _fd = -1;  // the child's end of the report pipe

void report(const std::string& text) {
    ssize_t n = write(_fd, text.data(), text.size());
    (void)n;
}

template <class Pred>
void waitFor(Pred done) {
    for (int i = 0; i < 5000 && !done(); i++) usleep(1000);
}

struct Reporter : ShutdownHandler {
    explicit Reporter(char m) : mark(m) {}
    // Shutdown has begun by the time the handlers run.
    void onShutdown() override { report(std::string(1, _shutdown ? mark : '?')); }
    char mark;
};

struct ChildRecorder : ChildListener {
    void onChildExit(pid_t pid, int status, struct rusage* usage) override {
        report("reaped " + std::to_string(pid) + " " + std::to_string(WEXITSTATUS(status)) +
               (usage != nullptr ? "\n" : " without usage\n"));
        reaped++;
    }
    std::atomic<int> reaped{0};
};

struct SignalReporter : EventHandler {
    explicit SignalReporter(char m) : mark(m) {}
    void handleEvent(Event* e) override {
        char name[32];
        DaemonThread::getName(name, sizeof(name), DaemonThread::getCurrentThread()->getThreadId());
        report(std::string(1, mark) + (e == nullptr ? " on " : " with an event on ") + name + "\n");
        calls++;
    }
    char mark;
    std::atomic<int> calls{0};
};

// The child: never returns to the test.
void child() {
    static PerfData block;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&block.childPidLock, &attr);
    block.ownerPid = getpid();
    perfData = &block;
    zeroPerfPids();
    perfRegisterCounters();
    // The log goes to the report too, so the parent sees the runtime's own lines.
    setLog(("/proc/self/fd/" + std::to_string(_fd)).c_str());

    static Reporter first('1'), second('2'), third('3');
    static SignalReporter olderUsr1('a'), newerUsr1('b'), usr2('c');
    static ChildRecorder listener;
    DaemonThread::attachSignalHandler(SIGUSR1, &olderUsr1);
    DaemonThread::attachSignalHandler(SIGUSR1, &newerUsr1);
    DaemonThread::attachSignalHandler(SIGUSR2, &usr2);
    s_addShutdownHandler(&first);
    s_addShutdownHandler(&second);
    if (DaemonThread::attachMainThread(&listener, true) != 0) _exit(98);
    s_addShutdownHandler(&third);
    report(std::string("adopted as ") + DaemonThread::getCurrentThread()->getName() + "\n");

    kill(getpid(), SIGUSR1);
    waitFor([] { return olderUsr1.calls == 1; });
    // No handler for SIGQUIT: counted, nothing more (the process lives on).
    kill(getpid(), SIGQUIT);
    waitFor([] { return perfGet(PC_SIG_OTHER) == 2; });
    kill(getpid(), SIGUSR2);
    waitFor([] { return usr2.calls == 1; });
    report("other " + std::to_string(perfGet(PC_SIG_OTHER)) + ", wrong thread " +
           std::to_string(perfGet(PC_SIG_WRONG_T)) + "\n");

    // A SIGCHLD that finds no child to reap (as a second one may, after a
    // pass that reaped them all) is counted and reports nothing.
    kill(getpid(), SIGCHLD);
    waitFor([] { return perfGet(PC_SIG_CHLD) == 1; });
    report("lone SIGCHLD: " + std::to_string(perfGet(PC_SIG_CHLD)) + " signal, " +
           std::to_string(perfGet(PC_CHILDREN_REAPED)) + " reaped, " + std::to_string(listener.reaped) +
           " reported\n");

    // Each child is in the child table before it can be reaped.
    lockPerfPid();
    pid_t a = fork();
    if (a == 0) _exit(3);
    addPerfPid(a);
    pid_t b = fork();
    if (b == 0) _exit(4);
    addPerfPid(b);
    unlockPerfPid();
    report("spawned " + std::to_string(a) + " " + std::to_string(b) + "\n");
    waitFor([] { return listener.reaped == 2; });
    int left = 0;
    lockPerfPid();  // the signal thread writes the table under its lock
    for (pid_t pid : perfData->childPids) left += pid > 0 ? 1 : 0;
    unlockPerfPid();
    report("reaped " + std::to_string(perfGet(PC_CHILDREN_REAPED)) + " after " +
           std::to_string(perfGet(PC_SIG_CHLD) > 0 ? 1 : 0) + " signals, " + std::to_string(left) +
           " left in the child table\n");
    kill(getpid(), SIGTERM);
    sleep(10);
    _exit(99);
}

// Runs `body` (which never returns) in a forked child and gives back what
// it reported and how it ended; a child still running once its reports
// stop for ten seconds and `graceTicks` more 10 ms ticks have passed is
// killed.
int runChild(void (*body)(), std::string* text, int graceTicks) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        _fd = fds[1];
        body();
    }
    close(fds[1]);
    char buf[512];
    struct pollfd p = {fds[0], POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 10000) > 0 && (n = read(fds[0], buf, sizeof(buf))) > 0;)
        text->append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = -1;
    for (int i = 0; i < graceTicks && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(10000);
    if (kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
    return status;
}

TEST(SignalThread, SignalsReachTheirHandlersChildrenAreReapedAndTermShutsDown) {
    std::string text;
    int status = runChild(child, &text, 20);

    ASSERT_TRUE(WIFEXITED(status)) << status << text;
    EXPECT_EQ(0, WEXITSTATUS(status)) << text;
    unsigned a = 0, b = 0;
    size_t spawned = text.find("spawned ");
    ASSERT_NE(std::string::npos, spawned) << text;
    ASSERT_EQ(2, sscanf(text.c_str() + spawned, "spawned %u %u", &a, &b)) << text;
    // Handlers run newest first; the listener may report the first child
    // before the spawn line is out.
    for (const std::string& part :
         {std::string("adopted as main\n"), std::string("b on sig-handler\na on sig-handler\nc on sig-handler\n"),
          std::string("other 3, wrong thread 0\n"), std::string("lone SIGCHLD: 1 signal, 0 reaped, 0 reported\n"),
          "reaped " + std::to_string(a) + " 3\n",
          "reaped " + std::to_string(b) + " 4\n", std::string("reaped 2 after 1 signals, 0 left in the child table\n"),
          std::string("Received request to shutdown...\n321")})
        EXPECT_NE(std::string::npos, text.find(part)) << part << "\n" << text;
}

// A process-wide registry with a destructor, as the runtime's subsystems
// keep them, read by a thread that is still running when the process ends.
const std::string _registry(200, 'r');

// Registered before any static object's destructor, so it runs after all of
// them if exit handlers run at all: it holds the process open there for a
// while, so that a thread still running meets whatever they tore down.
std::atomic<bool> _lingerAtExit{false};
__attribute__((constructor(101))) void registerLinger() {
    atexit([] {
        if (_lingerAtExit) usleep(300000);
    });
}

void busyUntilTheEnd() {
    for (;;) {
        ThreadContext::dump();  // the list of loops and its lock
        char name[32];
        DaemonThread::getName(name, sizeof(name), 1);  // the thread list
        size_t rs = 0;
        for (char c : _registry) rs += c == 'r';
        if (rs != 200) report("registry damaged\n");
    }
}

// The child: never returns to the test.
void terminatedWhileBusy() {
    if (DaemonThread::attachMainThread(nullptr, false) != 0) _exit(98);
    std::thread(busyUntilTheEnd).detach();
    std::thread(busyUntilTheEnd).detach();
    usleep(20000);
    _lingerAtExit = true;
    kill(getpid(), SIGTERM);
    sleep(10);
    _exit(99);
}

// Threads that are still running when SIGTERM ends the process find the
// process-wide locks and registries intact: the end does not tear them down
// under them (which AddressSanitizer or ThreadSanitizer would report, and
// the linger at exit makes certain to happen if anything is torn down).
TEST(SignalThread, TermEndsTheProcessWithoutTearingDownStateThatRunningThreadsUse) {
    std::string text;
    int status = runChild(terminatedWhileBusy, &text, 100);

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("", text);
}

}  // namespace
