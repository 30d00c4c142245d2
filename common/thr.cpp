// Daemon threads, the signal thread and the shutdown handlers.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "common/perf_data.h"
#include "common/thread_context.h"

// Reports name this file as the source, whatever the build's path.
#define THR_CHECK(cond, line)                                   \
    do {                                                        \
        if (!(cond)) _dravika_assert(#cond, "thr.cpp", line);   \
    } while (0)

CriticalBlock DaemonThread::_allThreadsBlock{LOCK_RANK_THREAD_LIST, kProcessLifetime};
DaemonThread* DaemonThread::_threadList = nullptr;
DaemonThread::SignalHandlerEntry* DaemonThread::_sigList = nullptr;
ChildListener* DaemonThread::_childListener = nullptr;
bool DaemonThread::_server = false;

namespace {

pthread_once_t _daemonVarOnce = PTHREAD_ONCE_INIT;
pthread_key_t _daemonVar;
pthread_t _sigThread;

// attachMainThread returns once the signal thread is ready for signals, so a
// process that ends soon after never has it starting up among the static
// destructors; the block is never torn down for the same reason.
CondBlock _sigReady{kProcessLifetime};
bool _sigReadyFlag GUARDED_BY(_sigReady) = false;

struct ShutdownEntry {
    ShutdownHandler* handler;
    ShutdownEntry* next;
};
// Taken alone; handlers run without it.
CriticalBlock _shutdownBlock{LOCK_RANK_SHUTDOWN_LIST, kProcessLifetime};
ShutdownEntry* _shutdownList GUARDED_BY(_shutdownBlock) = nullptr;

void makeDaemonVar() {
    pthread_key_create(&_daemonVar, nullptr);
}

void setCurrentThread(DaemonThread* t) {
    pthread_once(&_daemonVarOnce, makeDaemonVar);
    pthread_setspecific(_daemonVar, t);
}

int kernelThreadId() {
    return static_cast<int>(syscall(SYS_gettid));
}

// Runs only when a process signal reaches a thread other than the signal
// thread, which means some thread was created before attachMainThread.
void exitHandler(int) {
    perfIncrement(PC_SIG_WRONG_T);
    static const char text[] = "INCORRECT THREAD\n";
    ssize_t rv = write(STDOUT_FILENO, text, sizeof(text) - 1);
    (void)rv;
}

// SIGTERM is taken by sigwait; the action only replaces the default one.
void termHandler(int) {}

// Ends the process with status 0 once the shutdown handlers have run. The
// other threads are still running (a loop thread may be inside a lock or a
// registry at this moment), so the static destructors and exit handlers must
// not run under them: they would destroy locks, free registries and clean up
// libraries that those threads still use. Buffered output is written out
// first, which is all exit() would have done that matters.
[[noreturn]] void endProcess() {
    fflush(nullptr);
    _exit(0);
}

void addSignalAction(int sig, void (*handler)(int), int flags) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

}  // namespace

void DaemonThread::reapChildren() {
    for (;;) {
        int status = 0;
        struct rusage usage;
        memset(&usage, 0, sizeof(usage));
        pid_t pid = wait3(&status, WNOHANG, &usage);
        if (pid <= 0) return;
        perfIncrement(PC_CHILDREN_REAPED);
        if (_childListener != nullptr) _childListener->onChildExit(pid, status, &usage);
        removePerfPid(pid);
    }
}

DaemonThread::DaemonThread()
    : _laterList(nullptr), _thread(0), _tid(0), _initialized(false), _detached(false), _deleteOnExit(true),
      _finished(false), _started(false), _next(nullptr), _prev(nullptr), _startInProgress(false),
      _startError(0), _threadCreated(false) {
    _name[0] = '\0';
    perfIncrement(PC_DTHR_STARTED);
    CriticalSection hold(_allThreadsBlock);
    _next = _threadList;
    if (_next != nullptr) _next->_prev = this;
    _threadList = this;
}

DaemonThread::~DaemonThread() {
    processLaterList();
    // The thread may end before start() has returned in its starter, which
    // still uses the object.
    while (_startInProgress) sleep(1);
    perfIncrement(PC_DTHR_EXITED);
    CriticalSection hold(_allThreadsBlock);
    if (_prev != nullptr)
        _prev->_next = _next;
    else if (_threadList == this)
        _threadList = _next;
    if (_next != nullptr) _next->_prev = _prev;
}

void DaemonThread::onRunComplete() {}

void DaemonThread::setName(const char* name) {
    snprintf(_name, sizeof(_name), "%s", name != nullptr ? name : "");
}

int DaemonThread::getThreadId() const {
    CriticalSection hold(_allThreadsBlock);
    return _tid;
}

void DaemonThread::adoptCallingThread() {
    {
        CondSection hold(_state);
        _deleteOnExit = false;
        _initialized = true;
        _thread = pthread_self();
        _threadCreated = true;
    }
    {
        CriticalSection hold(_allThreadsBlock);
        _tid = kernelThreadId();
    }
    _started = true;
}

int DaemonThread::start() {
    _startInProgress = true;
    _state.lock();
    _startError = 0;
    _joined = false;
    // The handle of an earlier run is no longer this object's to detach.
    _threadCreated = false;
    // A run that ended before leaves both set; this run is waited for anew.
    _initialized = false;
    _finished = false;
    int rv = pthread_create(&_thread, nullptr, _threadHelperMain, this);
    if (rv != 0) {
        log(rv, "Error: pthread_create() fails");
        // Nothing will finish: a joiner must not wait for it.
        _startError = rv;
        _state.broadcast();
        _state.unlock();
        _startInProgress = false;
        return rv;
    }
    _threadCreated = true;
    if (_detached) pthread_detach(_thread);
    while (!_initialized) _state.wait();
    _state.unlock();
    _started = true;
    _startInProgress = false;
    return 0;
}

void* DaemonThread::_threadHelperMain(void* arg) {
    auto* t = static_cast<DaemonThread*>(arg);
    setCurrentThread(t);
    {
        CriticalSection hold(_allThreadsBlock);
        t->_tid = kernelThreadId();
    }
    if (t->_name[0] != '\0') {
        char kernelName[16];  // the kernel keeps 15 characters
        memcpy(kernelName, t->_name, sizeof(kernelName) - 1);
        kernelName[sizeof(kernelName) - 1] = '\0';
        pthread_setname_np(pthread_self(), kernelName);
    }
    t->run();
    t->onRunComplete();
    bool deleteOnExit;
    {
        CondSection hold(t->_state);
        t->_finished = true;
        deleteOnExit = t->_deleteOnExit;
        t->_state.broadcast();
    }
    // Without delete on exit the object may be gone as soon as the block is released.
    if (deleteOnExit) delete t;
    setCurrentThread(nullptr);
    return nullptr;
}

void DaemonThread::setInitialized() {
    CondSection hold(_state);
    _initialized = true;
    _state.broadcast();
}

void DaemonThread::join() {
    pthread_t thread;
    {
        CondSection hold(_state);
        while (!_finished && _startError == 0) _state.wait();
        if (!_finished || _joined) return;
        // Reported under the block, as setDetached does: only the log
        // writers' lock comes after it.
        THR_CHECK(!_detached, 189);
        if (_detached) return;
        _joined = true;
        thread = _thread;
    }
    pthread_join(thread, nullptr);
}

void DaemonThread::setDetached() {
    CondSection hold(_state);
    THR_CHECK(!_detached, 198);
    _detached = true;
    // Once joined, the thread is gone and its handle may already name
    // another thread, which must not be detached in its place.
    if (_threadCreated && !_joined) pthread_detach(_thread);
}

void DaemonThread::deleteLater(void* obj, void (*fn)(void*)) {
    auto* entry = static_cast<LaterEntry*>(malloc(sizeof(LaterEntry)));
    if (entry == nullptr) return;
    entry->obj = obj;
    entry->fn = fn;
    CriticalSection hold(_laterLock);
    entry->next = _laterList;
    _laterList = entry;
}

void DaemonThread::processLaterList() {
    // The deletions run outside the lock: other threads keep handing over
    // objects meanwhile instead of waiting for the whole batch, and what a
    // deletion hands over in turn runs in the next round of this loop.
    for (;;) {
        LaterEntry* batch;
        {
            CriticalSection hold(_laterLock);
            batch = _laterList;
            _laterList = nullptr;
        }
        if (batch == nullptr) return;
        while (batch != nullptr) {
            LaterEntry* entry = batch;
            batch = entry->next;
            entry->fn(entry->obj);
            free(entry);
        }
    }
}

DaemonThread* DaemonThread::getCurrentThread() {
    pthread_once(&_daemonVarOnce, makeDaemonVar);
    return static_cast<DaemonThread*>(pthread_getspecific(_daemonVar));
}

bool DaemonThread::isListed(const DaemonThread* t) {
    CriticalSection hold(_allThreadsBlock);
    for (DaemonThread* e = _threadList; e != nullptr; e = e->_next)
        if (e == t) return true;
    return false;
}

void DaemonThread::getName(char* buf, size_t len, int kernelTid) {
    if (buf == nullptr || len == 0) return;
    buf[0] = '\0';
    CriticalSection hold(_allThreadsBlock);
    for (DaemonThread* t = _threadList; t != nullptr; t = t->_next) {
        if (t->_tid == kernelTid) {
            snprintf(buf, len, "%s", t->_name);
            return;
        }
    }
}

void DaemonThread::setPerfState(int state) {
    ThreadContext::get()->setPerfState(state);
}

void DaemonThread::attachSignalHandler(int sig, EventHandler* h) {
    auto* entry = new SignalHandlerEntry{sig, h, _sigList};
    _sigList = entry;
}

int DaemonThread::attachMainThread(ChildListener* listener, bool server) {
    setCurrentThread(new MainDaemonThread("main"));
    _childListener = listener;
    _server = server;

    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGQUIT);
    for (SignalHandlerEntry* e = _sigList; e != nullptr; e = e->next) sigaddset(&blocked, e->sig);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    int rv = pthread_create(&_sigThread, nullptr, sigMain, nullptr);
    if (rv != 0) return rv;
    CondSection hold(_sigReady);
    while (!_sigReadyFlag) _sigReady.wait();
    return 0;
}

void* DaemonThread::sigMain(void*) {
    setCurrentThread(new MainDaemonThread("sig-handler"));
    pthread_setname_np(pthread_self(), "sig-handler");

    sigset_t waitSet;
    sigemptyset(&waitSet);
    for (SignalHandlerEntry* e = _sigList; e != nullptr; e = e->next) {
        sigaddset(&waitSet, e->sig);
        addSignalAction(e->sig, exitHandler, SA_RESTART);
    }
    sigaddset(&waitSet, SIGCHLD);
    sigaddset(&waitSet, SIGTERM);
    sigaddset(&waitSet, SIGQUIT);
    addSignalAction(SIGCHLD, exitHandler, SA_NOCLDSTOP);
    addSignalAction(SIGTERM, termHandler, 0);

    {
        CondSection hold(_sigReady);
        _sigReadyFlag = true;
        _sigReady.broadcast();
    }

    for (;;) {
        int sig = 0;
        if (sigwait(&waitSet, &sig) != 0) continue;
        if (sig == SIGCHLD) {
            perfIncrement(PC_SIG_CHLD);
            reapChildren();
        } else if (sig == SIGTERM) {
            break;
        } else {
            perfIncrement(PC_SIG_OTHER);
            for (SignalHandlerEntry* e = _sigList; e != nullptr; e = e->next)
                if (e->sig == sig) e->handler->handleEvent(nullptr);
        }
    }
    log(0, "Received request to shutdown...");
    s_fireShutdownHandlers();
    endProcess();
}

MainDaemonThread::MainDaemonThread(const char* name) {
    setName(name);
    adoptCallingThread();
}

void MainDaemonThread::run() {}

void s_addShutdownHandler(ShutdownHandler* handler) {
    auto* entry = new ShutdownEntry{handler, nullptr};
    CriticalSection hold(_shutdownBlock);
    entry->next = _shutdownList;
    _shutdownList = entry;
}

void s_fireShutdownHandlers() {
    _shutdown = true;
    for (;;) {
        ShutdownEntry* entry;
        {
            CriticalSection hold(_shutdownBlock);
            entry = _shutdownList;
            if (entry == nullptr) return;
            _shutdownList = entry->next;
        }
        entry->handler->onShutdown();
        delete entry;
    }
}
