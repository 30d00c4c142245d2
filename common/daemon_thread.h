// Named daemon threads, the adopted main thread, the signal thread and the
// shutdown handlers.
//
// Every thread the runtime starts is a DaemonThread: start() returns once the
// new thread's run() has called setInitialized(), and with delete on exit (the
// default) the thread deletes its own object when run() returns. The host
// adopts its main thread with attachMainThread, which blocks the process
// signals and starts the one thread that takes them all with sigwait.
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

    // Creates the thread and waits until its run() calls setInitialized().
    // A thread that cannot be created is logged and left unstarted.
    void start();
    void setInitialized();
    // Waits until run() has returned, then joins the thread. Only for threads
    // that are neither detached nor deleted on exit.
    void join();
    void setDetached();
    // Off: the starter owns the object (and joins before deleting it).
    void setDeleteOnExit(bool on) { _deleteOnExit = on; }
    // Cut to 19 characters; also names the kernel thread (15 characters).
    void setName(const char* name);
    const char* getName() const { return _name; }
    bool isStarted() const { return _started; }
    int getThreadId() const;

    // Queues fn(obj) to run on this thread the next time it runs its later
    // list; fn must not call deleteLater on the same thread.
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

    struct SignalHandlerEntry {
        int sig;
        EventHandler* handler;
        SignalHandlerEntry* next;
    };

    static DaemonThread* _threadList;
    static CriticalBlock _allThreadsBlock;
    static SignalHandlerEntry* _sigList;
    static ChildListener* _childListener;
    static bool _server;

protected:
    // For threads the runtime did not create: already started and initialised.
    void adoptCallingThread();

private:
    struct LaterEntry {
        void* obj;
        void (*fn)(void*);
        LaterEntry* next;
    };

    static void* _threadHelperMain(void* arg);
    static void* sigMain(void* arg);

    CondBlock _state;
    LaterEntry* _laterList;
    pthread_t _thread;
    int _tid;
    bool _initialized;
    bool _detached;
    bool _deleteOnExit;
    bool _finished;
    std::atomic<bool> _started;
    CriticalBlock _laterLock;
    char _name[kNameLength + 1];
    DaemonThread* _next;
    DaemonThread* _prev;
    // Set while start() runs: the object must outlive it.
    std::atomic<bool> _startInProgress;
    bool _threadCreated;
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
