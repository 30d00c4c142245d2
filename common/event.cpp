// The event loop: ThreadContext, its timer and count events, the nudge and
// the pass itself. The descriptor side (the list, the epoll set, the ready
// set) is in event_watch.cpp.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "common/perf_data.h"
#include "common/thread_context.h"

// Reports name this file as the loop's source, whatever the build's path.
#define EVENT_CHECK(cond)                                                 \
    do {                                                                  \
        if (!(cond)) _dravika_assert(#cond, "event.cpp", __LINE__);       \
    } while (0)
#define EVENT_FAIL() _dravika_assert("1 == 0", "event.cpp", __LINE__)

CriticalBlock ThreadContext::_contextLock{LOCK_RANK_CONTEXT_LIST, kProcessLifetime};
ThreadContext* ThreadContext::_contextList = nullptr;
int ThreadContext::_nextBusyIndex = 0;

namespace {

const size_t kInitialWatchSize = 1024;
const size_t kNotScheduled = IntrusiveHeap<TimerEvent, TimerKey, TimerEvent::HeapTraits>::kAbsent;
const int64_t kNoTimer = INT64_MAX;

int64_t toMicros(const struct timeval& tv) {
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

pthread_once_t _contextKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t _contextKey;
// The same pointer as under the key, without the library call: set() asks
// for the caller's context on every call.
thread_local ThreadContext* _current = nullptr;

void makeContextKey() {
    pthread_key_create(&_contextKey, nullptr);
}

void addMillis(struct timeval* tv, long ms) {
    tv->tv_sec += ms / 1000;
    tv->tv_usec += (ms % 1000) * 1000;
    if (tv->tv_usec >= 1000000) {
        tv->tv_sec += tv->tv_usec / 1000000;
        tv->tv_usec %= 1000000;
    } else if (tv->tv_usec < 0) {  // a negative delay: already expired, but still comparable
        tv->tv_sec -= 1;
        tv->tv_usec += 1000000;
    }
}

// a - b in microseconds, 0 when b is later.
long long microsUntil(const struct timeval& a, const struct timeval& b) {
    long long d = (static_cast<long long>(a.tv_sec) - b.tv_sec) * 1000000LL + (a.tv_usec - b.tv_usec);
    return d > 0 ? d : 0;
}

PerfBusyRecord* busyRecord(int index) {
    PerfData* p = perfData;
    if (p == nullptr || index < 0 || index >= kPerfMaxBusyRecords) return nullptr;
    return &p->busy[index];
}

}  // namespace

// ---------------------------------------------------------------------------
// Event

Event::Event(EventHandler* handler)
    : _inHandler(false), _handledCount(0), _handledAtDump(0), _handler(handler), _enabled(true) {}

Event::~Event() {}

void Event::enabled(bool on) {
    _enabled = on;
}

void Event::doHandleEvent() {
    if (_handler != nullptr) _handler->handleEvent(this);
    _handledCount++;
}

long long Event::takeDumpDelta() {
    long long delta = _handledCount - _handledAtDump;
    _handledAtDump = _handledCount;
    return delta;
}

// ---------------------------------------------------------------------------
// FdEvent

FdEvent::FdEvent(EventHandler* handler, int fd, int kind)
    : Event(handler), _kind(kind), _fd(fd), _readyIndex(-1), _listOrder(0), _next(nullptr), _prev(nullptr),
      _sameFdNext(nullptr), _sameFdPrev(nullptr), _tc(ThreadContext::get()) {
    if (fd >= 0) _tc->grow(static_cast<size_t>(fd));
    _tc->appendFd(this);
}

FdEvent::~FdEvent() {
    ThreadContext* tc = ThreadContext::peek();
    EVENT_CHECK(tc == _tc);
    if (_inHandler) EVENT_FAIL();
    _tc->unlinkFd(this);
}

void FdEvent::enabled(bool on) {
    if (_enabled.exchange(on) != on && _fd >= 0) _tc->markChanged(_fd);
}

void FdEvent::fired() {
    perfIncrement(PC_EVT_FT_FIRED);
    _inHandler = true;
    doHandleEvent();
    _inHandler = false;
    // It cannot fire again in this pass.
    if (_readyIndex >= 0) {
        _tc->_ready[_readyIndex] = nullptr;
        _readyIndex = -1;
    }
    if (_tc->_fdTail == this) return;
    // Off the list, then back at its tail; a move is not a removal, so the
    // descriptor-list-changed flag is left as the handler left it.
    _tc->detachFd(this);
    _prev = _tc->_fdTail;
    _next = nullptr;
    if (_prev != nullptr)
        _prev->_next = this;
    else
        _tc->_fdHead = this;
    _tc->_fdTail = this;
    _listOrder = ++_tc->_nextListOrder;
}

// ---------------------------------------------------------------------------
// TimerEvent

// The heap is only touched with the owning context's timer lock held (its
// operations are REQUIRES(_timerLock)); the analysis cannot follow that lock
// through the heap's template into this.
size_t& TimerEvent::HeapTraits::index(TimerEvent* t) NO_THREAD_SAFETY_ANALYSIS {
    return t->_heapIndex;
}

TimerEvent::TimerEvent(EventHandler* handler)
    : Event(handler), _owningContext(ThreadContext::get()), _timerLock(_owningContext->_timerLock) {
    CriticalSection hold(_timerLock);
    _expiry.tv_sec = 0;
    _expiry.tv_usec = 0;
    _heapIndex = kNotScheduled;
    _rearm = false;
}

TimerEvent::~TimerEvent() {
    ThreadContext* tc = ThreadContext::peek();
    EVENT_CHECK(tc == _owningContext);
    if (_inHandler) EVENT_FAIL();
    CriticalSection hold(_owningContext->_timerLock);
    ThreadContext::timerLockHeld(this);
    if (_heapIndex != kNotScheduled) _owningContext->removeTimer(this);
}

void TimerEvent::enabled(bool on) {
    CriticalSection hold(_timerLock);
    _enabled = on;
}

void TimerEvent::set(int ms) {
    ThreadContext* owner = _owningContext;
    {
        CriticalSection hold(owner->_timerLock);
        ThreadContext::timerLockHeld(this);
        gettimeofday(&_expiry, nullptr);
        addMillis(&_expiry, ms);
        // A running handler's timer is out of the heap: the firing code puts
        // it back once the handler returns. A scheduled timer moves to its new
        // place, behind any timer it now ties with, as if taken out and set anew.
        if (_inHandler)
            _rearm = true;
        else if (_heapIndex != kNotScheduled)
            owner->moveTimer(this);
        else
            owner->insertTimer(this);
    }
    if (ThreadContext::peek() != owner) owner->nudge();
}

bool TimerEvent::isScheduled() const {
    CriticalSection hold(_timerLock);
    return _heapIndex != kNotScheduled;
}

struct timeval TimerEvent::getExpiry() const {
    CriticalSection hold(_timerLock);
    return _expiry;
}

// ---------------------------------------------------------------------------
// CountEvent

CountEvent::CountEvent(EventHandler* handler)
    : Event(handler), _next(nullptr), _prev(nullptr), _writeCount(0), _owningContext(ThreadContext::get()),
      _readCount(0) {
    // Only the owning thread walks or changes its count list.
    _next = _owningContext->_countHead;
    if (_next != nullptr) _next->_prev = this;
    _owningContext->_countHead = this;
}

CountEvent::~CountEvent() {
    ThreadContext* tc = ThreadContext::peek();
    EVENT_CHECK(tc == _owningContext);
    if (_inHandler) EVENT_FAIL();
    if (_prev != nullptr)
        _prev->_next = _next;
    else if (_owningContext->_countHead == this)
        _owningContext->_countHead = _next;
    if (_next != nullptr) _next->_prev = _prev;
}

void CountEvent::advanceWriteCount() {
    countWrite();
    nudgeOwner();
}

void CountEvent::countWrite() {
    _writeCount.fetch_add(1);
    // After the count, before the nudge's look at the arming: the loop arms
    // before it looks at this flag, so one of the two sees the other. Only
    // the first post after the loop's walk began writes it; the rest of a
    // burst reads a line that stays in its cache.
    std::atomic<bool>& posted = _owningContext->_countsPosted;
    if (!posted.load()) posted.store(true);
}

void CountEvent::nudgeOwner() {
    _owningContext->nudge();
}

void CountEvent::advanceReadCount() {
    advanceReadCount(1);
}

void CountEvent::advanceReadCount(long long n) {
    _readCount.store(_readCount.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

long long CountEvent::getReadCount() {
    return _readCount.load(std::memory_order_relaxed);
}

long long CountEvent::getWriteCount() {
    return _writeCount.load();
}

void CountEvent::fire() {
    perfIncrement(PC_EVT_COUNT_FIRED);
    _inHandler = true;
    doHandleEvent();
    _inHandler = false;
}

// ---------------------------------------------------------------------------
// ThreadContext

ThreadContext::ThreadContext()
    : _nextSetOrder(0), _firstDue(kNoTimer), _fdHead(nullptr), _fdTail(nullptr), _nextListOrder(0), _countHead(nullptr),
      _dumpRequested(false), _fdListChanged(false), _watches(nullptr), _watchSize(0), _inEpoll(0),
      _nextGeneration(0), _epollFd(-1), _nudgeRead(-1), _busyIndex(-1), _nextContext(nullptr),
      _threadId(static_cast<int>(syscall(SYS_gettid))), _nudgeArmed(false), _countsPosted(false), _leaveRun(false),
      _nudgeWrite(-1) {
    openNudgePipe();
    _watches = static_cast<Watch*>(calloc(kInitialWatchSize, sizeof(Watch)));
    _watchSize = kInitialWatchSize;
    rebuildEpoll();
}

void ThreadContext::openNudgePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        log(errno, "Unable to open pipe() in ThreadContext.  Cannot Continue");
        exit(1);
    }
    for (int fd : fds) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            log(errno, "Unable to set nudge descriptor non-blocking when creating ThreadContext");
            exit(1);
        }
    }
    _nudgeRead = fds[0];
    _nudgeWrite = fds[1];
}

void ThreadContext::afterFork() {
    // The inherited epoll set and pipe are the parent's very objects: a
    // child watching them takes the parent's edge-triggered nudges and hears
    // of descriptors it closed. Its own replace them, and what it inherited
    // stays unwatched here.
    close(_nudgeRead);
    close(_nudgeWrite);
    openNudgePipe();
    _nudgeArmed.store(false);
    for (FdEvent* e = _fdHead; e != nullptr; e = e->_next) e->_enabled.store(false);
    rebuildEpoll();
}

ThreadContext* ThreadContext::peek() {
    if (_current != nullptr) return _current;
    pthread_once(&_contextKeyOnce, makeContextKey);
    return static_cast<ThreadContext*>(pthread_getspecific(_contextKey));
}

ThreadContext* ThreadContext::get() {
    ThreadContext* tc = peek();
    if (tc != nullptr) return tc;
    tc = new ThreadContext();
    pthread_setspecific(_contextKey, tc);
    _current = tc;
    CriticalSection hold(_contextLock);
    tc->_nextContext = _contextList;
    _contextList = tc;
    return tc;
}

void Reactor::run(int ms) {
    ThreadContext::get()->run(ms);
}

void ThreadContext::armNudge(bool armed) {
    _nudgeArmed.store(armed);
}

void ThreadContext::drainNudge() {
    // Each arming lets one byte in, so there are seldom more than one or two.
    char bytes[64];
    while (read(_nudgeRead, bytes, sizeof(bytes)) == static_cast<ssize_t>(sizeof(bytes))) {
    }
}

void ThreadContext::nudge() {
    // The plain load keeps an unarmed nudge (the loop is awake, or a byte
    // already waits) from writing the flag's cache line.
    if (!_nudgeArmed.load() || !_nudgeArmed.exchange(false)) return;
    int rv = static_cast<int>(write(_nudgeWrite, "x", 1));
    if (rv != 1) log(errno, "%p: Unable to write nudge message to pipe. fd = %d, rv = %d", this, _nudgeWrite, rv);
}

void ThreadContext::leaveRun() {
    // The flag is set before the nudge looks at the arming, and the loop
    // arms before it looks at the flag: either the loop sees the flag before
    // it waits, or this nudge finds the loop armed and wakes it.
    _leaveRun.store(true);
    nudge();
}

void ThreadContext::dump() {
    CriticalSection hold(_contextLock);
    for (ThreadContext* tc = _contextList; tc != nullptr; tc = tc->_nextContext) tc->_dumpRequested = true;
}

void ThreadContext::addPerf(const char* name) {
    {
        CriticalSection hold(_contextLock);
        if (_nextBusyIndex >= kPerfMaxBusyRecords) return;
        _busyIndex = _nextBusyIndex++;
    }
    PerfData* p = perfData;
    if (p == nullptr) return;
    PerfBusyRecord* r = &p->busy[_busyIndex];
    strncpy(r->name, name, kPerfNameLength);
    r->busySince = 0;
    r->handled = 0;
    if (p->busyCount < _busyIndex + 1) p->busyCount = _busyIndex + 1;
}

void ThreadContext::setPerfState(int state) {
    PerfBusyRecord* r = busyRecord(_busyIndex);
    if (r != nullptr) r->state = state;
}

void ThreadContext::setBusySince(bool busy) {
    PerfBusyRecord* r = busyRecord(_busyIndex);
    if (r != nullptr) r->busySince = busy ? static_cast<int64_t>(time(nullptr)) : 0;
}

void ThreadContext::countBatch() {
    PerfBusyRecord* r = busyRecord(_busyIndex);
    if (r != nullptr) {
        r->busySince = 0;
        r->handled++;
    }
}

void ThreadContext::insertTimer(TimerEvent* t) {
    timerLockHeld(t);
    _timers.push(t, TimerKey{toMicros(t->_expiry), _nextSetOrder++});
    noteFirstTimer();
}

void ThreadContext::moveTimer(TimerEvent* t) {
    timerLockHeld(t);
    _timers.update(t, TimerKey{toMicros(t->_expiry), _nextSetOrder++});
    noteFirstTimer();
}

void ThreadContext::removeTimer(TimerEvent* t) {
    _timers.remove(t);
    noteFirstTimer();
}

void ThreadContext::noteFirstTimer() {
    int64_t first = _timers.empty() ? kNoTimer : _timers.topKey().micros;
    // Most changes leave the first timer where it was; the store is a fence.
    if (_firstDue.load(std::memory_order_relaxed) != first) _firstDue.store(first);
}

long long ThreadContext::fireExpiredTimers(const struct timeval& now) {
    int64_t nowMicros = toMicros(now);
    // Sequentially consistent, like the nudge's flag: either this load sees a
    // timer just set on another thread, or that setter sees the nudge armed
    // and wakes the wait that follows.
    int64_t due = _firstDue.load();
    if (due > nowMicros) return due == kNoTimer ? -1 : due - nowMicros;

    _timerLock.enter();
    while (!_timers.empty() && _timers.topKey().micros <= nowMicros) {
        TimerEvent* t = _timers.pop();
        noteFirstTimer();
        timerLockHeld(t);
        if (!t->_enabled) continue;  // dropped: enabling it again does not bring it back
        setBusySince(true);
        perfIncrement(PC_EVT_TIMER_FIRED);
        t->_inHandler = true;
        _timerLock.exit();
        t->doHandleEvent();
        _timerLock.enter();
        t->_inHandler = false;
        countBatch();
        if (t->_rearm) {
            t->_rearm = false;
            insertTimer(t);
        }
    }
    long long waitMicros = _timers.empty() ? -1 : std::max<int64_t>(_timers.topKey().micros - nowMicros, 0);
    _timerLock.exit();
    return waitMicros;
}

void ThreadContext::fireExpiredCounts() {
    // Cleared before the counts are read: a post whose count the walk below
    // may miss finds the flag clear (or set by a later post) and sets it.
    // A poster that found it set saw a post made after the last clear, so
    // this clear orders after its count, which the walk then reads.
    if (_countsPosted.load()) _countsPosted.store(false);
    for (CountEvent* ce = _countHead; ce != nullptr; ce = ce->_next) {
        while (ce->_enabled && ce->_readCount.load(std::memory_order_relaxed) < ce->_writeCount.load()) {
            setBusySince(true);
            ce->fire();
            countBatch();
        }
    }
}

void ThreadContext::logDump() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    log(0, "== Thread Context %p, Thread = %d, now = %ld.%06ld", static_cast<void*>(this), _threadId,
        static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec));
    for (CountEvent* ce = _countHead; ce != nullptr; ce = ce->_next) {
        long long readCount = ce->getReadCount();
        long long writeCount = ce->getWriteCount();
        log(0, "==     CountEvent: %p, readCount = %lld, writeCount = %lld, enabled = %d, handled = %lld (delta = %lld)",
            static_cast<void*>(ce), readCount, writeCount, ce->isEnabled() ? 1 : 0, ce->getHandledCount(),
            ce->takeDumpDelta());
    }
    for (FdEvent* e = _fdHead; e != nullptr; e = e->_next) {
        log(0, "==     FdEvent: %p, fd = %d, kind = %d, enabled = %d, handled = %lld (delta = %lld)",
            static_cast<void*>(e), e->_fd, e->_kind, e->isEnabled() ? 1 : 0, e->getHandledCount(),
            e->takeDumpDelta());
    }
    CriticalSection hold(_timerLock);
    // In firing order, as the dump has always listed them.
    auto timers = _timers.entries();
    std::sort(timers.begin(), timers.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    for (const auto& entry : timers) {
        TimerEvent* t = entry.item;
        timerLockHeld(t);
        log(0, "==     TimerEvent: %p, expires = %ld.%06ld, enabled = %d, handled = %lld (delta = %lld)",
            static_cast<void*>(t), static_cast<long>(t->_expiry.tv_sec), static_cast<long>(t->_expiry.tv_usec),
            t->isEnabled() ? 1 : 0, t->getHandledCount(), t->takeDumpDelta());
    }
}

void ThreadContext::run(int ms) {
    if (_dumpRequested.load(std::memory_order_relaxed) && _dumpRequested.exchange(false)) logDump();

    fireExpiredCounts();
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timeval deadline = now;
    bool hasDeadline = ms >= 0;
    if (hasDeadline) addMillis(&deadline, ms);

    bool skippedWait = false;
    for (;;) {
        if (hasDeadline && TCOMP(&now, &deadline) > 0) break;
        if (_leaveRun.load(std::memory_order_relaxed) && _leaveRun.exchange(false)) break;

        // The nudge is armed only from here to the end of a wait that may
        // sleep, so that other threads write to the pipe only while this
        // loop may sleep, not for every post it takes while busy. No wake-up
        // is lost: a poster counts, then looks at the flag; this loop arms
        // the flag, then looks at the counts (countsPending) and the first
        // timer (inside fireExpiredTimers), so either it sees the post or the
        // poster sees the flag armed and writes. A pass that already sees
        // posts to serve will not sleep, and leaves the flag (which every
        // poster reads) untouched.
        bool pending = countsPending();
        bool armed = !pending;
        if (armed) armNudge(true);
        long long waitMicros = fireExpiredTimers(now);  // -1: unbounded
        if (hasDeadline) {
            long long remaining = microsUntil(deadline, now);
            if (waitMicros < 0 || remaining < waitMicros) waitMicros = remaining;
        }

        syncWatches();
        // A leave asked for meanwhile counts as a post: the pass must not
        // sleep, and its end comes back to the check above.
        if (armed) pending = countsPending() || _leaveRun.load();
        int reports = -1;  // no wait made: nothing to collect
        // Posts to serve skip the kernel only every other pass, so that
        // descriptors still get their turn while posts keep coming; and
        // only when no poster took the arming, since a byte on its way must
        // be taken by a wait of this pass.
        if (pending && !skippedWait && (!armed || _nudgeArmed.exchange(false))) {
            skippedWait = true;
        } else {
            // A byte written for this arming is taken by this wait, which
            // then returns at once.
            skippedWait = false;
            reports = waitForEvents(pending ? 0 : waitMicros);
            if (armed) armNudge(false);
        }
        bool pipeReady = false;
        int ready = reports < 0 ? 0 : collectReady(reports, &pipeReady);
        if (pipeReady) drainNudge();
        // What a wake-up brought is in the counts (or the timers, which the
        // next turn fires); posts served without a wait count as a pass too.
        pending = countsPending();
        if (ready == 0 && !pending && !pipeReady) {
            // A time-out, or an error such as an interrupted call: look again.
            gettimeofday(&now, nullptr);
            continue;
        }

        // A byte in the pipe walks the counts even when nothing was posted
        // since the last walk: a count event enabled again since then is
        // served by whatever woke the loop, not left until the next post.
        if (pending || pipeReady) fireExpiredCounts();

        setBusySince(true);
        dispatchReady(ready);
        countBatch();
        gettimeofday(&now, nullptr);
    }

    armNudge(false);
}
