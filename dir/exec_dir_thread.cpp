#include "dir/exec_dir_thread.h"

#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/op_target.h"
#include "common/properties.h"
#include "common/sharded_counter.h"
#include "coms/coms_thread.h"
#include "dir/directory.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/masq_input_reader.h"
#include "dirbase/any.h"

namespace {

// The running thread, for starting and stopping. Set by the thread before
// it reports itself initialised and cleared when it ends.
CriticalBlock _threadLock{LOCK_RANK_NONE, kProcessLifetime};
ExecDirThread* _execDirThread GUARDED_BY(_threadLock) = nullptr;
// The same pointer for readers that only ask which thread it is (every run
// asks), so that they do not contend with posters for the lock.
std::atomic<ExecDirThread*> _running{nullptr};

// A new request belongs to its op until the execution list takes it.
struct HelperOp : QueuedOp, RequestAlloc {
    HelperOp(ExecHelper* h, bool owns) : helper(h), id(h->getId()), owns(owns) {}
    ~HelperOp() override {
        if (owns) delete helper;
    }
    ExecHelper* helper;
    long long id;
    bool owns;
};
struct IdOp : QueuedOp {
    IdOp(long long i, int s) : id(i), seconds(s) {}
    long long id;
    int seconds;
};
struct TextOp : QueuedOp {
    explicit TextOp(const char* t) : text(t != nullptr ? strdup(t) : nullptr) {}
    ~TextOp() override { free(text); }
    char* text;
};
// Records a listener, or runs what was posted behind the attaches before it;
// what is left unrun when the thread stops runs with the op's deletion.
struct AttachOp : QueuedOp {
    explicit AttachOp(DirectorySPI::DirListenerEntry* e) : entry(e) {}
    explicit AttachOp(std::function<void()> f) : entry(nullptr), after(std::move(f)) {}
    ~AttachOp() override { run(); }
    void run() {
        if (entry != nullptr) {
            DirectorySPI::completeAttach(entry);
            entry = nullptr;
        }
        if (after) {
            std::function<void()> fn = std::move(after);
            after = nullptr;
            fn();
        }
    }
    DirectorySPI::DirListenerEntry* entry;
    std::function<void()> after;
};
// Frees a future result, or runs a deletion function; what is left unrun
// when the thread stops runs with the op's deletion.
struct FreeOp : QueuedOp {
    explicit FreeOp(FutureResult* r) : result(r), obj(nullptr), fn(nullptr) {}
    FreeOp(void* o, void (*f)(void*)) : result(nullptr), obj(o), fn(f) {}
    ~FreeOp() override { run(); }
    void run() {
        if (result != nullptr) FutureResult::destroy(result);
        if (fn != nullptr) fn(obj);
        result = nullptr;
        fn = nullptr;
    }
    FutureResult* result;
    void* obj;
    void (*fn)(void*);
};

// Runs fn with the thread's perf state set to state, then back to 0.
template <class Fn>
void withPerfState(int state, Fn fn) {
    if (state != 0) DaemonThread::setPerfState(state);
    fn();
    if (state != 0) DaemonThread::setPerfState(0);
}

class ExecOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        withPerfState(1, [op] {
            // The request may have finished since it was posted: run it
            // only while the list still holds it.
            HelperOp* hop = static_cast<HelperOp*>(op);
            ExecHelper* h = ExecHelper::findById(hop->id);
            if (h != nullptr && h == hop->helper) h->run();
        });
        return 0;
    }
};

// Sessions that ended on this thread, which could not wait there for their
// requests still queued as new: those are failed as they come off the queue
// instead of run. An entry lasts two batches of new requests, since what
// this thread posted before the session ended is in the batch under way or
// the next one. Sessions go by serial: a session started meanwhile may
// well have the address of one that is gone. Execution thread only.
struct GoneSession {
    uint64_t serial;
    unsigned long batch;
};
std::vector<GoneSession> _goneSessions;
unsigned long _newBatches = 0;

bool isGone(uint64_t serial) {
    for (const GoneSession& g : _goneSessions)
        if (g.serial == serial) return true;
    return false;
}

class ExecNewOpTarget : public QueueTarget {
public:
    explicit ExecNewOpTarget(ExecDirThread* t) : _thread(t) {}
    // Once the thread has stopped taking requests, what is still queued ends
    // as the requests it found waiting did.
    void failFromNowOn() { _failing = true; }
    int execute(DeferredOp* op) override {
        HelperOp* hop = static_cast<HelperOp*>(op);
        ExecHelper* h = hop->helper;
        hop->owns = false;
        if (!_goneSessions.empty() && isGone(h->sessionSerial())) {
            h->dropGoneSession();
            ExecHelper::push(h);
            h->setFutureResultError(DirError::E_LOGGED_OUT);
            return 0;
        }
        if (_failing) {
            ExecHelper::push(h);
            h->setFutureResultError(DirError::E_TIMEOUT);
            return 0;
        }
        DaemonThread::setPerfState(2);
        ExecHelper::push(h);
        _thread->updatedExecList();
        DaemonThread::setPerfState(3);
        h->run();
        DaemonThread::setPerfState(0);
        return 0;
    }
    void processQueue() override {
        QueueTarget::processQueue();
        _newBatches++;
        size_t kept = 0;
        for (const GoneSession& g : _goneSessions)
            if (_newBatches < g.batch + 2) _goneSessions[kept++] = g;
        _goneSessions.resize(kept);
    }

private:
    ExecDirThread* _thread;
    bool _failing = false;
};

class ResultUpdateOpTarget : public QueueTarget {
public:
    // Replies come in bursts and each is quick to apply: the waiters of a
    // burst are woken together once it has been applied, sixteen at a time
    // in a long one (FutureResult::WakeBatch). Its ops never free a result;
    // that is left to the later list.
    void processQueue() override {
        FutureResult::WakeBatch wakes;
        QueueTarget::processQueue();
    }
    int execute(DeferredOp* op) override {
        withPerfState(4, [op] {
            // The update, with what the request left in it, is deleted
            // once this returns.
            ResultUpdate* update = static_cast<ResultUpdate*>(op);
            ExecHelper* h = ExecHelper::findById(update->id);
            if (h != nullptr) h->processUpdate(update);
        });
        return 0;
    }
};

class AsyncResolveOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        withPerfState(5, [op] { ExecHelper::notifyAsyncResolveComplete(static_cast<IdOp*>(op)->id); });
        return 0;
    }
};

class RestartExecOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        withPerfState(6, [op] {
            Directory::requestListenerRetry();
            ExecHelper::notifyRestart(static_cast<TextOp*>(op)->text);
        });
        return 0;
    }
};

class SetTimeoutOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        withPerfState(7, [op] {
            IdOp* t = static_cast<IdOp*>(op);
            ExecHelper::notifyTimeout(t->id, t->seconds);
        });
        return 0;
    }
};

class AttachOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        withPerfState(8, [op] { static_cast<AttachOp*>(op)->run(); });
        return 0;
    }
};

class FreeFrOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        static_cast<FreeOp*>(op)->run();
        return 0;
    }
};

// The eight targets, created by the thread when it starts. Each queues its
// ops through their own links and takes the whole queue at once, so a burst
// of requests or replies costs one wake-up and no allocation beyond the op.
struct Targets {
    QueueTarget* _executeOpTarget;
    QueueTarget* _executeNewOpTarget;
    QueueTarget* _resultUpdateOpTarget;
    QueueTarget* _asyncResolveOpTarget;
    QueueTarget* _restartExecOpTarget;
    QueueTarget* _setTimeoutOpTarget;
    QueueTarget* _attachOpTarget;
    QueueTarget* _freeFrOpTarget;
};
// Written by the thread while unpublished (before it publishes them and
// after it has unpublished them and no poster is left inside).
Targets _targets = {};

// Posting takes no lock shared with the other posters: a poster counts
// itself in, then reads the published targets; the thread unpublishes them,
// then waits until no poster is counted in before it deletes them. All four
// steps are sequentially consistent, so a poster that still read the
// targets was counted in before the thread read the count (the thread waits
// for it), and one counted in after that reads null. The count is sharded:
// the caller making requests and the connection thread handing over replies
// each count in on a cache line of their own.
std::atomic<Targets*> _published{nullptr};
ShardedCounter _posting;

// Serialises starting and stopping.
CriticalBlock _startLock{LOCK_RANK_NONE, kProcessLifetime};
// Client sessions holding the thread, and whether a server session started
// it (then it never stops for clients, whatever mode it runs in).
int _clientHolds GUARDED_BY(_startLock) = 0;
bool _serverStarted GUARDED_BY(_startLock) = false;

// Posts op to target under the targets lock; false (op deleted) when the
// thread is not running.
bool postTo(QueueTarget* Targets::*target, QueuedOp* op) {
    _posting.add(1);
    Targets* targets = _published.load();
    if (targets == nullptr) {
        _posting.add(-1);
        delete op;
        return false;
    }
    (targets->*target)->doExecute(op);
    _posting.add(-1);
    return true;
}

}  // namespace

ExecDirThread::ExecDirThread(bool serverMode)
    : _timer(nullptr), _timerSet(false), _laterTimer(nullptr), _laterSet(false), _serverMode(serverMode),
      _stopRequested(false), _context(nullptr) {
    setName("exec-dir");
    setDeleteOnExit(false);
}

namespace {
// Even a server's thread ends before the static destructors run: it may
// still be deleting finished requests, whose values take process-wide locks
// that those destructors tear down.
void stopAtExit() {
    ExecDirThread::stopAndWait(true);
}
}  // namespace

void ExecDirThread::startLocked(bool serverMode) {
    {
        CriticalSection hold(_threadLock);
        if (_execDirThread != nullptr) return;
    }
    static bool exitHandlerSet = false;
    if (!exitHandlerSet) {
        exitHandlerSet = true;
        atexit(stopAtExit);
    }
    ExecDirThread* t = new ExecDirThread(serverMode);
    if (t->start() != 0) {
        // No thread (a thread or memory limit): requests fail as they do
        // without one, and the next session tries again.
        log(LOG_ERROR, 0, 0, "exec-dir: unable to start the directory execution thread");
        delete t;
    }
}

void ExecDirThread::stopLocked(bool evenServer) {
    ExecDirThread* t;
    {
        CriticalSection hold(_threadLock);
        t = _execDirThread;
        if (t == nullptr || (t->_serverMode && !evenServer)) return;
        t->_stopRequested = true;
        if (ThreadContext* context = t->_context.load()) context->leaveRun();
    }
    t->join();
    delete t;
}

void ExecDirThread::startIfNeeded(bool serverMode) {
    CriticalSection start(_startLock);
    if (serverMode) _serverStarted = true;
    startLocked(serverMode);
}

void ExecDirThread::holdForClient() {
    CriticalSection start(_startLock);
    _clientHolds++;
    startLocked(false);
}

void ExecDirThread::releaseClient() {
    CriticalSection start(_startLock);
    if (_clientHolds > 0) _clientHolds--;
    // The last session ended on this thread itself (a listener or an
    // operation ended it), which cannot wait for its own end: it stays,
    // idle, for the next session or the process's end.
    if (_clientHolds > 0 || _serverStarted || isExecThread()) return;
    stopLocked(false);
}

void ExecDirThread::stopAndWait(bool evenServer) {
    CriticalSection start(_startLock);
    stopLocked(evenServer);
}

ExecDirThread* ExecDirThread::instance() {
    return _running.load(std::memory_order_acquire);
}

bool ExecDirThread::isExecThread() {
    DaemonThread* self = DaemonThread::getCurrentThread();
    return self != nullptr && self == instance();
}

bool ExecDirThread::postNew(ExecHelper* helper) {
    return postTo(&Targets::_executeNewOpTarget, new HelperOp(helper, true));
}

bool ExecDirThread::postRun(ExecHelper* helper) {
    return postTo(&Targets::_executeOpTarget, new HelperOp(helper, false));
}

ResultUpdate::~ResultUpdate() {
    delete result;
    delete update;
}

bool ExecDirThread::postResultUpdate(ResultUpdate* update) {
    update->owned = true;
    return postTo(&Targets::_resultUpdateOpTarget, update);
}

bool ExecDirThread::postAsyncResolve(long long id) {
    return postTo(&Targets::_asyncResolveOpTarget, new IdOp(id, 0));
}

bool ExecDirThread::postRestart(const char* name) {
    return postTo(&Targets::_restartExecOpTarget, new TextOp(name));
}

bool ExecDirThread::postSetTimeout(long long id, int seconds) {
    return postTo(&Targets::_setTimeoutOpTarget, new IdOp(id, seconds));
}

// Without a thread, the op's deletion runs it at once.
void ExecDirThread::postAttach(DirectorySPI::DirListenerEntry* entry) {
    postTo(&Targets::_attachOpTarget, new AttachOp(entry));
}

void ExecDirThread::postBehindAttaches(std::function<void()> fn) {
    postTo(&Targets::_attachOpTarget, new AttachOp(std::move(fn)));
}

bool ExecDirThread::postFree(FutureResult* result) {
    return postTo(&Targets::_freeFrOpTarget, new FreeOp(result));
}

void ExecDirThread::postDeleteLater(void* obj, void (*fn)(void*)) {
    // Without a thread the op's deletion runs fn at once.
    postTo(&Targets::_freeFrOpTarget, new FreeOp(obj, fn));
}

void ExecDirThread::forgetSession(Directory* directory) {
    // Files read through the session stop asking it for blocks. Here a
    // reader's call on it cannot be waited for: that call may wait for
    // this thread.
    MasqInputReader::endSession(directory, !isExecThread());
    if (isExecThread()) {
        _goneSessions.push_back(GoneSession{directory->_serial, _newBatches});
        ExecHelper::failSession(directory, false);
        return;
    }
    // Each pass fails the listed requests; one still queued as new is
    // listed (and failed) by a later pass. Without a thread, the stopping
    // thread fails whatever is left.
    struct Pass {
        CondBlock done;
        bool ran GUARDED_BY(done) = false;
    };
    while (directory->_requests.load() > 0) {
        auto pass = std::make_shared<Pass>();
        postBehindAttaches([directory, pass] {
            if (isExecThread()) ExecHelper::failSession(directory, true);
            CondSection hold(pass->done);
            pass->ran = true;
            pass->done.broadcast();
        });
        {
            CondSection hold(pass->done);
            while (!pass->ran) pass->done.wait();
        }
        if (directory->_requests.load() > 0) sched_yield();
    }
}

void ExecDirThread::updatedExecList() {
    if (_timerSet) return;
    _timerSet = true;
    _timer->set(kTimerMillis);
}

void ExecDirThread::laterSoon() {
    if (_laterSet || _laterTimer == nullptr) return;
    _laterSet = true;
    _laterTimer->set(0);
}

void ExecDirThread::handleEvent(Event* e) {
    if (e == _laterTimer) {
        _laterSet = false;
        freeLater();
        return;
    }
    log(LOG_TRACE, 0, 0, "timer: FutureResults: %d, ExecHelpers: %d", FutureResult::liveCount(),
        ExecHelper::liveCount());
    time_t now = time(nullptr);
    for (ExecHelper* h = ExecHelper::head(); h != nullptr; h = h->next)
        if (h->wantsTimerRun(now)) postAsyncResolve(h->id);
    if (ExecHelper::head() != nullptr) {
        log(LOG_TRACE, 0, 0, "ExecList is not empty.  Resetting timer");
        _timer->set(kTimerMillis);
    } else {
        _timerSet = false;
        log(LOG_TRACE, 0, 0, "ExecList is empty.  NOT resetting timer");
    }
    freeLater();
}

void ExecDirThread::freeLater() {
    ExecHelper::freeFinished();
    FutureResult::freeDestroyed();
    processLaterList();
}

void ExecDirThread::run() {
    _timer = new TimerEvent(this);
    _laterTimer = new TimerEvent(this);
    _targets._executeOpTarget = new ExecOpTarget();
    _targets._executeNewOpTarget = new ExecNewOpTarget(this);
    _targets._resultUpdateOpTarget = new ResultUpdateOpTarget();
    _targets._asyncResolveOpTarget = new AsyncResolveOpTarget();
    _targets._restartExecOpTarget = new RestartExecOpTarget();
    _targets._setTimeoutOpTarget = new SetTimeoutOpTarget();
    _targets._attachOpTarget = new AttachOpTarget();
    _targets._freeFrOpTarget = new FreeFrOpTarget();
    _published.store(&_targets);
    {
        CriticalSection hold(_threadLock);
        _execDirThread = this;
        _running.store(this, std::memory_order_release);
    }
    ThreadContext* context = ThreadContext::get();
    context->addPerf("exec-dir");
    _context.store(context);
    setInitialized();

    // The timers do the request bookkeeping and queued deletions; the wait
    // only bounds how long the later list may go unread. A stop ends it.
    const int waitMillis =
        _serverMode ? s_getIntProperty("execDirThreadMemCleanup", kServerCleanupMillis) : kTimerMillis;
    while (!_stopRequested) {
        Reactor::run(waitMillis);
        freeLater();
    }

    // Requests still waiting end with a time-out, so that no waiter hangs.
    while (ExecHelper* h = ExecHelper::head()) h->setFutureResultError(DirError::E_TIMEOUT);
    freeLater();

    // Unpublish first, so that no poster reaches a target being deleted.
    // Requests posted since the last pass are failed too, so that no waiter
    // hangs; whatever else is still queued is deleted unrun with the targets.
    _published.store(nullptr);
    while (_posting.load() != 0) sched_yield();
    static_cast<ExecNewOpTarget*>(_targets._executeNewOpTarget)->failFromNowOn();
    _targets._executeNewOpTarget->processQueue();
    {
        CriticalSection hold(_threadLock);
        _execDirThread = nullptr;
        _running.store(nullptr, std::memory_order_release);
    }
    for (QueueTarget* Targets::*t :
             {&Targets::_executeOpTarget, &Targets::_executeNewOpTarget, &Targets::_resultUpdateOpTarget,
              &Targets::_asyncResolveOpTarget, &Targets::_restartExecOpTarget, &Targets::_setTimeoutOpTarget,
              &Targets::_attachOpTarget, &Targets::_freeFrOpTarget}) {
        delete (_targets.*t);
        _targets.*t = nullptr;
    }
    delete _timer;
    _timer = nullptr;
    delete _laterTimer;
    _laterTimer = nullptr;
    freeLater();
}
