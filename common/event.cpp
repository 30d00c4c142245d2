// The event loop: ThreadContext, its descriptor, timer and count events.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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

CriticalBlock ThreadContext::_contextLock;
ThreadContext* ThreadContext::_contextList = nullptr;
int ThreadContext::_nextBusyIndex = 0;

namespace {

const size_t kInitialPollSize = 1024;

pthread_once_t _contextKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t _contextKey;

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
    : Event(handler), _kind(kind), _fd(fd), _slot(-1), _next(nullptr), _prev(nullptr), _tc(ThreadContext::get()) {
    if (fd >= 0) _tc->grow(static_cast<size_t>(fd));
    _prev = _tc->_fdTail;
    if (_prev != nullptr)
        _prev->_next = this;
    else
        _tc->_fdHead = this;
    _tc->_fdTail = this;
}

FdEvent::~FdEvent() {
    ThreadContext* tc = ThreadContext::peek();
    EVENT_CHECK(tc == _tc);
    if (_inHandler) EVENT_FAIL();
    _tc->unlinkFd(this);
}

void FdEvent::enabled(bool on) {
    _enabled = on;
}

void FdEvent::fired() {
    perfIncrement(PC_EVT_FT_FIRED);
    _inHandler = true;
    doHandleEvent();
    _inHandler = false;
    _slot = -1;
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
}

// ---------------------------------------------------------------------------
// TimerEvent

TimerEvent::TimerEvent(EventHandler* handler)
    : Event(handler), _next(nullptr), _prev(nullptr), _rearm(false), _scheduled(false),
      _owningContext(ThreadContext::get()) {
    _expiry.tv_sec = 0;
    _expiry.tv_usec = 0;
}

TimerEvent::~TimerEvent() {
    ThreadContext* tc = ThreadContext::peek();
    EVENT_CHECK(tc == _owningContext);
    if (_inHandler) EVENT_FAIL();
    CriticalSection hold(_owningContext->_timerLock);
    if (_scheduled) _owningContext->unlinkTimer(this);
}

void TimerEvent::enabled(bool on) {
    CriticalSection hold(_owningContext->_timerLock);
    _enabled = on;
}

void TimerEvent::set(int ms) {
    ThreadContext* owner = _owningContext;
    {
        CriticalSection hold(owner->_timerLock);
        if (_scheduled) owner->unlinkTimer(this);
        gettimeofday(&_expiry, nullptr);
        addMillis(&_expiry, ms);
        if (_inHandler)
            _rearm = true;  // the firing code puts it back once the handler returns
        else
            owner->insertTimer(this);
    }
    if (ThreadContext::peek() != owner) owner->nudge();
}

bool TimerEvent::isScheduled() const {
    CriticalSection hold(_owningContext->_timerLock);
    return _scheduled;
}

struct timeval TimerEvent::getExpiry() const {
    CriticalSection hold(_owningContext->_timerLock);
    return _expiry;
}

// ---------------------------------------------------------------------------
// CountEvent

CountEvent::CountEvent(EventHandler* handler)
    : Event(handler), _next(nullptr), _prev(nullptr), _writeCount(0), _readCount(0),
      _owningContext(ThreadContext::get()) {
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
    {
        CriticalSection hold(_lock);
        _writeCount++;
    }
    _owningContext->nudge();
}

void CountEvent::advanceReadCount() {
    CriticalSection hold(_lock);
    _readCount++;
}

long long CountEvent::getReadCount() {
    CriticalSection hold(_lock);
    return _readCount;
}

long long CountEvent::getWriteCount() {
    CriticalSection hold(_lock);
    return _writeCount;
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
    : _timerHead(nullptr), _timerTail(nullptr), _fdHead(nullptr), _fdTail(nullptr), _countHead(nullptr),
      _dumpRequested(false), _fdListChanged(false), _pollArray(nullptr), _pollSize(0), _nudgeRead(-1),
      _nudgeWrite(-1), _busyIndex(-1), _nudgeArmed(false), _nextContext(nullptr),
      _threadId(static_cast<int>(syscall(SYS_gettid))) {
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
    _pollArray = static_cast<struct pollfd*>(calloc(kInitialPollSize, sizeof(struct pollfd)));
    _pollSize = kInitialPollSize;
}

ThreadContext* ThreadContext::peek() {
    pthread_once(&_contextKeyOnce, makeContextKey);
    return static_cast<ThreadContext*>(pthread_getspecific(_contextKey));
}

ThreadContext* ThreadContext::get() {
    ThreadContext* tc = peek();
    if (tc != nullptr) return tc;
    tc = new ThreadContext();
    pthread_setspecific(_contextKey, tc);
    CriticalSection hold(_contextLock);
    tc->_nextContext = _contextList;
    _contextList = tc;
    return tc;
}

void Reactor::run(int ms) {
    ThreadContext::get()->run(ms);
}

void ThreadContext::grow(size_t fd) {
    if (_pollSize >= fd + 5) return;
    size_t size = fd + 100;
    auto* grown = static_cast<struct pollfd*>(realloc(_pollArray, size * sizeof(struct pollfd)));
    if (grown == nullptr) return;  // keeps the old array; the caller polls fewer slots
    _pollArray = grown;
    _pollSize = size;
}

void ThreadContext::armNudge(bool armed) {
    CriticalSection hold(_countLock);
    _nudgeArmed = armed;
}

void ThreadContext::nudge() {
    CriticalSection hold(_countLock);
    if (!_nudgeArmed) return;
    _nudgeArmed = false;
    int rv = static_cast<int>(write(_nudgeWrite, "x", 1));
    if (rv != 1) log(errno, "%p: Unable to write nudge message to pipe. fd = %d, rv = %d", this, _nudgeWrite, rv);
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
    // Walking back from the tail finds the same place as walking forward past
    // every timer that expires no later (equal expiries stay in set order),
    // and most timers are set with the same delay and so belong at the tail.
    TimerEvent* before = _timerTail;
    while (before != nullptr && TCOMP(&before->_expiry, &t->_expiry) > 0) before = before->_prev;
    t->_prev = before;
    t->_next = before != nullptr ? before->_next : _timerHead;
    if (t->_next != nullptr)
        t->_next->_prev = t;
    else
        _timerTail = t;
    if (before != nullptr)
        before->_next = t;
    else
        _timerHead = t;
    t->_scheduled = true;
}

void ThreadContext::unlinkTimer(TimerEvent* t) {
    if (t->_prev != nullptr)
        t->_prev->_next = t->_next;
    else
        _timerHead = t->_next;
    if (t->_next != nullptr)
        t->_next->_prev = t->_prev;
    else
        _timerTail = t->_prev;
    t->_next = nullptr;
    t->_prev = nullptr;
    t->_scheduled = false;
}

void ThreadContext::unlinkFd(FdEvent* e) {
    detachFd(e);
    _fdListChanged = true;
}

void ThreadContext::detachFd(FdEvent* e) {
    if (e->_prev != nullptr)
        e->_prev->_next = e->_next;
    else
        _fdHead = e->_next;
    if (e->_next != nullptr)
        e->_next->_prev = e->_prev;
    else
        _fdTail = e->_prev;
    e->_next = nullptr;
    e->_prev = nullptr;
}

void ThreadContext::fireExpiredTimers(const struct timeval& now) {
    CriticalSection hold(_timerLock);
    while (_timerHead != nullptr && TCOMP(&_timerHead->_expiry, &now) <= 0) {
        TimerEvent* t = _timerHead;
        unlinkTimer(t);
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
}

void ThreadContext::fireExpiredCounts() {
    armNudge(true);
    for (CountEvent* ce = _countHead; ce != nullptr; ce = ce->_next) {
        ce->_lock.enter();
        while (ce->_enabled && ce->_readCount < ce->_writeCount) {
            ce->_lock.exit();
            setBusySince(true);
            ce->fire();
            ce->_lock.enter();
            countBatch();
        }
        ce->_lock.exit();
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
    for (TimerEvent* t = _timerHead; t != nullptr; t = t->_next) {
        log(0, "==     TimerEvent: %p, expires = %ld.%06ld, enabled = %d, handled = %lld (delta = %lld)",
            static_cast<void*>(t), static_cast<long>(t->_expiry.tv_sec), static_cast<long>(t->_expiry.tv_usec),
            t->isEnabled() ? 1 : 0, t->getHandledCount(), t->takeDumpDelta());
    }
}

void ThreadContext::run(int ms) {
    if (_dumpRequested.exchange(false)) logDump();

    armNudge(true);
    fireExpiredCounts();
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timeval deadline = now;
    bool hasDeadline = ms >= 0;
    if (hasDeadline) addMillis(&deadline, ms);

    for (;;) {
        if (hasDeadline && TCOMP(&now, &deadline) > 0) break;

        fireExpiredTimers(now);

        long long waitMicros = -1;  // unbounded
        {
            CriticalSection hold(_timerLock);
            if (_timerHead != nullptr) waitMicros = microsUntil(_timerHead->_expiry, now);
        }
        if (hasDeadline) {
            long long remaining = microsUntil(deadline, now);
            if (waitMicros < 0 || remaining < waitMicros) waitMicros = remaining;
        }

        // The poll array, in list order; the nudge pipe last.
        size_t slots = 0;
        for (FdEvent* e = _fdHead; e != nullptr; e = e->_next) {
            e->_slot = -1;
            if (!e->_enabled) continue;
            short events = 0;
            if (e->_kind & (FdEvent::KIND_READ | FdEvent::KIND_READ_LIKE)) events |= POLLIN | POLLERR | POLLHUP;
            if (e->_kind & FdEvent::KIND_WRITE) events |= POLLOUT;
            if (events == 0) continue;
            if (slots + 1 >= _pollSize) grow(slots + 1);
            if (slots + 1 >= _pollSize) continue;  // no memory for more slots: not polled this pass
            _pollArray[slots].fd = e->_fd;
            _pollArray[slots].events = events;
            _pollArray[slots].revents = 0;
            e->_slot = static_cast<int>(slots++);
        }
        size_t pipeSlot = slots;
        _pollArray[pipeSlot].fd = _nudgeRead;
        _pollArray[pipeSlot].events = POLLIN;
        _pollArray[pipeSlot].revents = 0;

        struct timespec wait;
        if (waitMicros >= 0) {
            wait.tv_sec = static_cast<time_t>(waitMicros / 1000000);
            wait.tv_nsec = static_cast<long>(waitMicros % 1000000) * 1000;
        }
        int ready = ppoll(_pollArray, pipeSlot + 1, waitMicros >= 0 ? &wait : nullptr, nullptr);
        if (ready <= 0) {
            // A time-out, or an error such as an interrupted call: look again.
            gettimeofday(&now, nullptr);
            continue;
        }

        if (_pollArray[pipeSlot].revents != 0) {
            ready--;
            char byte;
            if (read(_nudgeRead, &byte, 1) < 0) {
                // Nothing to read: the wake-up was still counted and is harmless.
            }
            fireExpiredCounts();
        }

        setBusySince(true);
        bool firedAny = true;
        while (firedAny && ready > 0) {
            firedAny = false;
            _fdListChanged = false;
            FdEvent* e = _fdHead;
            while (e != nullptr && !_fdListChanged) {
                FdEvent* next = e->_next;
                if (e->_slot >= 0 && e->_enabled) {
                    short revents = _pollArray[e->_slot].revents;
                    bool fire = false;
                    if (e->_kind == FdEvent::KIND_READ || e->_kind == FdEvent::KIND_READ_LIKE)
                        fire = (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
                    else if (e->_kind == FdEvent::KIND_WRITE)
                        fire = (revents & POLLOUT) != 0;
                    if (fire) {
                        e->fired();
                        firedAny = true;
                        ready--;
                        // The event now sits at the tail; what came after it is
                        // still what the walk has to visit.
                    }
                }
                e = next;
            }
        }
        countBatch();
        gettimeofday(&now, nullptr);
    }

    armNudge(false);
}
