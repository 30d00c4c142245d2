// ExecDirThread: the directory's execution thread ("exec-dir"). Every
// Directory::execute request runs here: the thread resolves the name, sends
// the operation to the provider, retries what must wait, enforces the
// request's deadline with a 2500 ms timer, and completes the future result
// when the reply, an error or a progress update arrives. Other threads reach
// it only through its eight operation targets (the post* functions below).
//
// One thread per process, started by the first directory session: in client
// mode a session's end stops it; in server mode it never stops.
//
// Thread-safety: the post* functions and instance() are safe from any
// thread (a post before the thread runs, or after it stopped, is dropped
// and its payload freed). Everything else belongs to the thread itself.
#ifndef DRV_DIR_EXEC_DIR_THREAD_H
#define DRV_DIR_EXEC_DIR_THREAD_H

#include <atomic>
#include <functional>

#include "common/daemon_thread.h"
#include "common/thread_context.h"
#include "coms/coms_thread.h"
#include "dir/directory_spi.h"
#include "dir/request_alloc.h"

class Directory;
class ExecHelper;
class ExecuteUpdate;
class FutureResult;
class TimerEvent;

// A reply or progress report for one request, posted to the execution
// thread as its own queued op. Whoever deletes it deletes what it still
// holds: the update and the result are taken by nulling them.
struct ResultUpdate : QueuedOp, RequestAlloc {
    enum Kind { KIND_ERROR = 1, KIND_RESULT = 2, KIND_PROGRESS = 3 };
    ResultUpdate(int kind, long long id, int error, ExecuteUpdate* update, FutureResult* result)
        : kind(kind), id(id), error(error), update(update), result(result) {}
    ~ResultUpdate() override;
    ResultUpdate(const ResultUpdate&) = delete;
    ResultUpdate& operator=(const ResultUpdate&) = delete;

    int kind;
    long long id;
    int error;
    ExecuteUpdate* update;  // owned, kind 3
    FutureResult* result;   // owned, kind 2
};

class ExecDirThread : public DaemonThread, public EventHandler {
public:
    // The timer period while requests are outstanding, and how long the
    // client-mode loop waits between passes.
    static const int kTimerMillis = 2500;
    // A server-mode thread runs its later list at least this often by default
    // ("execDirThreadMemCleanup").
    static const int kServerCleanupMillis = 200000;

    // Starts the thread unless one runs; returns once its targets exist.
    static void startIfNeeded(bool serverMode);
    // A client session's hold on the thread: the first starts it (in client
    // mode unless one runs), and the last release stops it, unless a server
    // session started it. Every client session shares the one thread.
    static void holdForClient();
    static void releaseClient();
    // Client mode only: asks the thread to stop and waits until it has ended.
    // A server-mode thread keeps running (evenServer: the process is exiting).
    static void stopAndWait(bool evenServer = false);
    // The running thread, or null.
    static ExecDirThread* instance();
    static bool isExecThread();
    // Whether a stop has been asked of this thread (it may still be running
    // its last pass).
    bool stopRequested() const { return _stopRequested.load(); }

    // The operation targets. Each returns false (and frees the payload)
    // when no execution thread runs.
    static bool postNew(ExecHelper* helper);
    static bool postRun(ExecHelper* helper);
    static bool postResultUpdate(ResultUpdate* update);
    static bool postAsyncResolve(long long id);
    // Copies name.
    static bool postRestart(const char* name);
    static bool postSetTimeout(long long id, int seconds);
    // DirectorySPI::completeAttach(entry) on the execution thread; at once
    // when no thread runs.
    static void postAttach(DirectorySPI::DirListenerEntry* entry);
    // Runs fn on the execution thread behind every attach posted before it
    // (at once when no thread runs): what a server whose requests run on
    // several threads does once a listener is recorded (confirm it), or
    // once a session's last record can no longer be on its way (close them).
    static void postBehindAttaches(std::function<void()> fn);
    static bool postFree(FutureResult* result);
    // Runs fn(obj) on the execution thread later: for objects to be deleted
    // from code that holds the future-result registry lock, which must not
    // take the thread's later-list lock (that list deletes future results,
    // which take the registry lock). Run at once when no thread runs.
    static void postDeleteLater(void* obj, void (*fn)(void*));

    // Before a session goes: ends every request made through it, and every
    // file read through it, with 96 ("No Login; Logout was called") and
    // waits until none holds it any more. On the execution thread it cannot
    // wait: there its requests let go of it at once and fail at their next
    // run, which is posted.
    static void forgetSession(Directory* directory);

    // After a push on the execution list: arms the timer if it is idle.
    void updatedExecList();
    // On the execution thread, after handing something to its later list:
    // the list is run at the next pass of the loop (outside every handler)
    // rather than at the end of the loop's slice, so that finished requests
    // and the results their owners destroyed are freed while they are still
    // warm, instead of piling up for a whole slice.
    void laterSoon();

    void run() override;
    void handleEvent(Event* e) override;

    bool isServerMode() const { return _serverMode; }

private:
    explicit ExecDirThread(bool serverMode);
    // Under the start lock.
    static void startLocked(bool serverMode);
    static void stopLocked(bool evenServer);
    // Deletes finished requests, destroyed results and the later list.
    void freeLater();

    TimerEvent* _timer;
    bool _timerSet;
    // Runs the later list; armed by laterSoon, once per pass at most.
    TimerEvent* _laterTimer;
    bool _laterSet;
    const bool _serverMode;
    std::atomic<bool> _stopRequested;
    // The thread's loop, once it runs: a stop ends its wait.
    std::atomic<ThreadContext*> _context;
};

#endif
