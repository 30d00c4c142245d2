// Named daemon threads, the adopted main thread, the signal thread and the
// shutdown handlers.
//
// Every thread the runtime starts is a DaemonThread: start() returns once the
// new thread's run() has called setInitialized(), and with delete on exit (the
// default) the thread deletes its own object when run() returns. The host
// adopts its main thread with attachMainThread, which blocks the process
// signals and starts the one thread that takes them all with sigwait.
//
// Thread-safety: the process-wide thread list is guarded by its own lock,
// taken alone (no other lock is taken while it is held, and it is never
// held while calling out). Each object's start-up state is guarded by its
// state block; its later list by its later-list lock, which is held only
// to add entries or take the whole list: the later functions run without
// it and may take any lock, or queue more later work. The signal handler list and the child listener are
// set up before attachMainThread starts the signal thread and only read
// after that.
#ifndef DRV_COMMON_DAEMON_THREAD_H
#define DRV_COMMON_DAEMON_THREAD_H

#include <pthread.h>
#include <stddef.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>

#include "common/sem.h"

class EventHandler;

// Called once, on the signal thread, when the process is asked to terminate.
class ShutdownHandler {
public:
    virtual void onShutdown() = 0;

protected:
    ~ShutdownHandler() = default;
};

// Told, on the signal thread, about every child process reaped.
class ChildListener {
public:
    virtual void onChildExit(pid_t pid, int status, struct rusage* usage) = 0;

protected:
    ~ChildListener() = default;
};

class DaemonThread {
public:
    static const int kNameLength = 19;

    DaemonThread();
    virtual ~DaemonThread();
    DaemonThread(const DaemonThread&) = delete;
    DaemonThread& operator=(const DaemonThread&) = delete;

    virtual void run() = 0;
    // Called on the thread after run() returns.
    virtual void onRunComplete();

    // Creates the thread and waits until its run() calls setInitialized();
    // 0, or pthread_create's error number. A thread that cannot be created
    // is logged and left unstarted: its run() never executes, and the
    // object is the starter's to delete whatever delete on exit says. (For
    // a detached thread deleted on exit, the result is the one way to tell:
    // once start() has returned, the thread may have deleted the object.)
    int start();
    void setInitialized();
    // Waits until run() has returned, then joins the thread. Only for threads
    // that are neither detached nor deleted on exit. After a start() that
    // failed there is no thread to wait for: it returns at once (also to a
    // joiner that was already waiting when start() failed). Only the first
    // join of a run joins the thread; later ones return once it finished (a
    // thread's handle may name another thread once it has been joined).
    void join();
    // pthread_create's error number when the last start() failed, else 0.
    int getStartError() const { return _startError; }
    void setDetached();
    // Off: the starter owns the object (and joins before deleting it).
    void setDeleteOnExit(bool on) {
        CondSection hold(_state);
        _deleteOnExit = on;
    }
    // Cut to 19 characters; also names the kernel thread (15 characters).
    void setName(const char* name);
    const char* getName() const { return _name; }
    bool isStarted() const { return _started; }
    int getThreadId() const;

    // Queues fn(obj) to run on this thread the next time it runs its later
    // list (fn may queue more; it runs in the same pass).
    void deleteLater(void* obj, void (*fn)(void*));
    void processLaterList();

    // The calling thread's object, or null for a thread the runtime neither
    // started nor adopted.
    static DaemonThread* getCurrentThread();
    // The name of the thread with that kernel id, or an empty string.
    static void getName(char* buf, size_t len, int kernelTid);
    static void setPerfState(int state);
    // Dispatches sig to h (handleEvent(nullptr), on the signal thread);
    // before attachMainThread only.
    static void attachSignalHandler(int sig, EventHandler* h);
    // Adopts the calling thread as "main", blocks the process signals in it
    // (and so in every thread created from it later) and starts the signal
    // thread; returns pthread_create's result, once the signal thread is
    // ready for signals.
    static int attachMainThread(ChildListener* listener, bool server);

    // For tests: whether t is in the process-wide thread list.
    static bool isListed(const DaemonThread* t);

protected:
    // For threads the runtime did not create: already started and initialised.
    void adoptCallingThread();

private:
    struct SignalHandlerEntry {
        int sig;
        EventHandler* handler;
        SignalHandlerEntry* next;
    };

    // The process-wide thread list, newest first, and its lock (which lives
    // as long as the process: threads may end while it exits).
    static CriticalBlock _allThreadsBlock;
    static DaemonThread* _threadList GUARDED_BY(_allThreadsBlock);
    // Written before attachMainThread creates the signal thread; read by it.
    static SignalHandlerEntry* _sigList;
    static ChildListener* _childListener;
    static bool _server;

    struct LaterEntry {
        void* obj;
        void (*fn)(void*);
        LaterEntry* next;
    };

    static void* _threadHelperMain(void* arg);
    static void* sigMain(void* arg);
    static void reapChildren();

    // Lock order: start() holds it while it creates the thread and logs a
    // failure, so only the log writers' lock comes after it.
    CondBlock _state;
    LaterEntry* _laterList GUARDED_BY(_laterLock);
    pthread_t _thread GUARDED_BY(_state);
    // Kernel thread id, 0 until the thread runs; found by getName under the list lock.
    int _tid GUARDED_BY(_allThreadsBlock);
    bool _initialized GUARDED_BY(_state);
    bool _detached GUARDED_BY(_state);
    bool _deleteOnExit GUARDED_BY(_state);
    bool _finished GUARDED_BY(_state);
    std::atomic<bool> _started;
    // Lock order: a later function runs under it and may take any other lock.
    CriticalBlock _laterLock;
    // Set before start(); read by getName for a thread that already runs.
    char _name[kNameLength + 1];
    DaemonThread* _next GUARDED_BY(_allThreadsBlock);
    DaemonThread* _prev GUARDED_BY(_allThreadsBlock);
    // Set while start() runs: the object must outlive it.
    std::atomic<bool> _startInProgress;
    // Changed under the state block (join waits on it); read freely.
    std::atomic<int> _startError;
    // This run's thread exists (or existed): _thread names it until joined.
    bool _threadCreated GUARDED_BY(_state);
    // Set by the first join of a run, cleared by start().
    bool _joined GUARDED_BY(_state) = false;
};

// A thread the runtime did not create (the main thread, the signal thread);
// its run() does nothing.
class MainDaemonThread : public DaemonThread {
public:
    explicit MainDaemonThread(const char* name);
    void run() override;
};

// Puts the handler at the front of the shutdown list.
void s_addShutdownHandler(ShutdownHandler* handler);
// Sets _shutdown, then calls each handler once, newest first, consuming the list.
void s_fireShutdownHandlers();

#endif
