// The per-thread event loop: a ThreadContext waits on its descriptor events,
// its timers and its count events; other threads wake it through a
// self-pipe (the nudge). Events belong to the thread that constructs them
// and must be destroyed there; only timers may be set, and count events
// advanced, from other threads.
//
// What a pass costs grows with what is ready, not with what is watched: the
// descriptors stay registered in an epoll set between passes (changes are
// applied just before the next wait), only the ready events are dispatched,
// in descriptor-list order, and the timers sit in a heap ordered by expiry,
// then by the order they were set.
#ifndef DRV_COMMON_THREAD_CONTEXT_H
#define DRV_COMMON_THREAD_CONTEXT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/time.h>

#include <atomic>
#include <vector>

#include "common/intrusive_heap.h"
#include "common/sem.h"
#include "common/thread_annotations.h"

class Event;
class ThreadContext;

// Fields that posting threads and the loop thread write apart are kept this
// far apart, so that neither side's writes evict the other's.
constexpr size_t kCacheLine = 64;

// Receives the events it is attached to, on the events' owning thread.
class EventHandler {
public:
    virtual void handleEvent(Event* e) = 0;

protected:
    ~EventHandler() = default;
};

class Event {
public:
    // A null handler makes firing only count.
    explicit Event(EventHandler* handler);
    virtual ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    virtual void enabled(bool on);
    bool isEnabled() const { return _enabled; }
    // Calls the handler (if any), then counts the call.
    void doHandleEvent();

    EventHandler* getHandler() const { return _handler; }
    long long getHandledCount() const { return _handledCount; }
    bool isInHandler() const { return _inHandler; }

protected:
    // The handled count minus its value at the previous dump; resets the mark.
    long long takeDumpDelta();

    bool _inHandler;
    long long _handledCount;
    long long _handledAtDump;
    EventHandler* _handler;
    // Read by the loop while timer setters on other threads may write it.
    std::atomic<bool> _enabled;
};

// A descriptor watched by the owning thread's loop: kind 1 read, 2 write,
// 4 read-like. Only those three kinds fire; a combined kind (3, 5, ...) is
// polled for all its directions but never calls the handler.
class FdEvent : public Event {
public:
    enum Kind { KIND_READ = 1, KIND_WRITE = 2, KIND_READ_LIKE = 4 };

    // Binds the event to the calling thread's context and puts it at the tail
    // of that context's descriptor list; polled from then on while enabled.
    FdEvent(EventHandler* handler, int fd, int kind);
    ~FdEvent() override;

    void enabled(bool on) override;
    // On the owning thread, just before closing the descriptor while this
    // event lives on (disabled): applies the pending change to its watch
    // now, while the number still names this file. Otherwise the change
    // would reach the kernel at the next pass, after the number may have
    // been given to another file.
    void settleBeforeClose();
    int getFd() const { return _fd; }
    int getKind() const { return _kind; }
    ThreadContext* getContext() const { return _tc; }

private:
    friend class ThreadContext;

    // Runs the handler and moves the event behind every other descriptor,
    // so that descriptors that are always ready take turns.
    void fired();

    int _kind;
    int _fd;
    // Position in the context's ready set during a pass; -1 when the last
    // wait did not report it ready to fire, or once it has fired.
    int _readyIndex;
    // Rises along the descriptor list (the tail has the largest), so that
    // sorting the ready events by it gives list order.
    uint64_t _listOrder;
    FdEvent* _next;
    FdEvent* _prev;
    // The other events on the same descriptor, which share its registration.
    FdEvent* _sameFdNext;
    FdEvent* _sameFdPrev;
    ThreadContext* _tc;
};

// Where a timer stands in its context's heap: expiry in microseconds of the
// epoch, then the order in which timers went into the heap, so that equal
// expiries fire in the order they were set.
struct TimerKey {
    int64_t micros;
    uint64_t order;
    bool operator<(const TimerKey& o) const { return micros < o.micros || (micros == o.micros && order < o.order); }
};

// A one-shot timer owned by the constructing thread's context; set and reset
// work from any thread and wake the owner when needed.
class TimerEvent : public Event {
public:
    // How the context's timer heap finds a timer's position.
    struct HeapTraits;

    explicit TimerEvent(EventHandler* handler);
    ~TimerEvent() override;

    // Takes the owning context's timer lock, so that it is safe against a
    // setter on another thread.
    void enabled(bool on) override;
    // (Re)arms the timer to fire ms milliseconds from now.
    void set(int ms);
    void reset(int ms) { set(ms); }

    // Waiting in the context's timers. A timer set again from its own
    // handler joins them when the handler returns.
    bool isScheduled() const;
    struct timeval getExpiry() const;
    ThreadContext* getContext() const { return _owningContext; }

private:
    friend class ThreadContext;

    ThreadContext* const _owningContext;
    // The owning context's timer lock.
    CriticalBlock& _timerLock;
    // Scheduling state, all under the owning context's timer lock. A timer is
    // in one of three states:
    //   idle       not in the heap, _rearm false
    //   scheduled  in the heap (_heapIndex valid)        set(): idle -> scheduled
    //   re-arming  in its handler and set meanwhile      set() in the handler;
    //              (_rearm true, not in the heap)        the loop moves it back
    //                                                    to scheduled afterwards
    // Firing or destroying takes a scheduled timer out of the heap.
    struct timeval _expiry GUARDED_BY(_timerLock);
    size_t _heapIndex GUARDED_BY(_timerLock);
    bool _rearm GUARDED_BY(_timerLock);
};

struct TimerEvent::HeapTraits {
    static size_t& index(TimerEvent* t) NO_THREAD_SAFETY_ANALYSIS;
};

// Work counted by other threads: each advanceWriteCount wakes the owner,
// whose loop calls the handler while the read count is below the write
// count. The handler advances the read count once per unit of work it took.
class CountEvent : public Event {
public:
    explicit CountEvent(EventHandler* handler);
    ~CountEvent() override;

    // From any thread.
    void advanceWriteCount();
    // advanceWriteCount in two halves, for a poster that counts under a lock
    // of its own but wakes the loop only once it has released that lock (the
    // woken loop would otherwise block on it at once). Each count must be
    // followed by a nudge.
    void countWrite();
    void nudgeOwner();
    // On the owning thread, from the handler: one unit, or n at once.
    void advanceReadCount();
    void advanceReadCount(long long n);

    long long getReadCount();
    long long getWriteCount();
    ThreadContext* getContext() const { return _owningContext; }

private:
    friend class ThreadContext;

    void fire();

    CountEvent* _next;
    CountEvent* _prev;
    // Atomics, not a lock: every post and every unit of work touches them.
    // A poster that counts while it holds its queue's lock has its entry in
    // the queue before the loop can see the count, and the loop takes that
    // lock before it looks in the queue.
    // What a poster touches has a cache line to itself: the loop writes the
    // read count and the handler fields on every call, and each of those
    // writes would otherwise take the line away from a busy poster.
    alignas(kCacheLine) std::atomic<long long> _writeCount;
    ThreadContext* const _owningContext;
    alignas(kCacheLine) std::atomic<long long> _readCount;  // written by the owner only
};

// One per thread, never freed. Thread-safety: run, the descriptor events and
// the count list belong to the owning thread; nudge, dump and the timers are
// safe from any thread.
class ThreadContext {
public:
    // The calling thread's context, created (with its pipe) on first use.
    static ThreadContext* get();
    // The calling thread's context, or null when it has none yet.
    static ThreadContext* peek();

    // Runs the loop: -1 forever, otherwise until ms milliseconds have passed
    // (0: one pass without waiting).
    void run(int ms);
    // Wakes the loop from any thread; at most one byte goes into the pipe
    // between two passes.
    void nudge();
    // From any thread: the run in progress returns after its current pass
    // (asked between runs, the next run returns at once) instead of waiting
    // out its time, so that a loop may wait long and still stop at once.
    void leaveRun();
    // Asks every context to log its events the next time its run is entered.
    static void dump();

    // Takes the next busy-time record of the performance block (at most ten
    // in the process) and names it.
    void addPerf(const char* name);
    void setPerfState(int state);
    // Makes the descriptor table (one entry per descriptor number) hold at
    // least fd + 5 entries (fd + 100 when it grows). A descriptor beyond the
    // table, when memory ran out, is listed but never watched.
    void grow(size_t fd);

    // In a child just forked, on the forking thread (whose context this is):
    // a nudge pipe and epoll set of the child's own, and every descriptor
    // event inherited disabled, so that parent and child share no wake-ups
    // and the child watches only what it registers from now on.
    void afterFork();

    int getBusyIndex() const { return _busyIndex; }
    int getThreadId() const { return _threadId; }
    size_t getPollCapacity() const { return _watchSize; }

    // Guards the list of contexts and the busy-record indices.
    // Lock order: a leaf (LOCK_RANK_CONTEXT_LIST): a thread's first event
    // may make its context under any other lock, and nothing is taken while
    // it is held. Lives as long as the process: loop threads may still end
    // while the process exits.
    static CriticalBlock _contextLock;

private:
    friend class FdEvent;
    friend class TimerEvent;
    friend class CountEvent;

    // How a descriptor stands with the epoll set. Transitions, all made by
    // syncWatch just before a wait unless noted:
    //   UNWATCHED -> IN_EPOLL       an enabled event wants it (EPOLL_CTL_ADD)
    //   UNWATCHED -> ALWAYS_READY   epoll refuses it (regular files and the
    //                               like, which poll reports always ready)
    //   IN_EPOLL -> UNWATCHED       no enabled event wants it (EPOLL_CTL_DEL;
    //                               at once when its last event goes, since
    //                               the descriptor may be closed next)
    //   ALWAYS_READY -> UNWATCHED   its last event goes, or no enabled event
    //                               wants it, or an event was added (the
    //                               number may name another file now: it
    //                               is then registered afresh)
    //   any -> UNWATCHED            the epoll set is rebuilt
    enum WatchState : uint8_t { UNWATCHED, IN_EPOLL, ALWAYS_READY };

    // One per descriptor number.
    struct Watch {
        FdEvent* events;      // every event on the descriptor, any order
        uint32_t registered;  // the epoll interest in force (IN_EPOLL)
        uint32_t generation;  // tags this registration's reports; never 0
        WatchState state;
        bool changed;         // in _changedFds: to sync before the next wait
        bool verify;          // an event was added: the number may now name
                              // another file than the one registered (or
                              // refused)
    };

    ThreadContext();
    ~ThreadContext() = delete;

    void logDump();
    // Fires what has expired by now; returns the microseconds until the
    // first remaining timer, -1 when there is none.
    long long fireExpiredTimers(const struct timeval& now) EXCLUDES(_timerLock);
    void fireExpiredCounts();
    // Whether a count was posted since the last fireExpiredCounts began.
    bool countsPending() const { return _countsPosted.load(); }
    void insertTimer(TimerEvent* t) REQUIRES(_timerLock);
    // Re-keys a scheduled timer after its expiry changed.
    void moveTimer(TimerEvent* t) REQUIRES(_timerLock);
    void removeTimer(TimerEvent* t) REQUIRES(_timerLock);
    // Publishes the first expiry after the heap changed.
    void noteFirstTimer() REQUIRES(_timerLock);
    // Tells the analysis that t's owner lock is this context's timer lock,
    // which the caller holds.
    static void timerLockHeld(const TimerEvent* t) ASSERT_CAPABILITY(t->_timerLock) { (void)t; }

    // The descriptor list and the per-descriptor watches (event_watch.cpp).
    void appendFd(FdEvent* e);
    // Takes the event off the list, its watch and the ready set, and marks
    // the list changed.
    void unlinkFd(FdEvent* e);
    void detachFd(FdEvent* e);
    void markChanged(int fd);
    // Brings the epoll set up to date with the events' kinds and enabled
    // flags, for the descriptors changed since the last wait.
    void syncWatches();
    // False when the kernel was short of memory: to try again next pass.
    bool syncWatch(int fd);
    uint32_t wantedEvents(const Watch& w) const;
    int epollControl(int op, int fd, uint32_t events, uint32_t generation);
    // A fresh epoll set, everything registered again: the way out when a
    // closed descriptor left a registration behind that cannot be deleted.
    void rebuildEpoll();
    // Waits for descriptors; the number of epoll reports, -1 on error.
    int waitForEvents(long long waitMicros);
    // Turns what the wait reported into the ready set; returns the number of
    // ready events (as poll would count them) and whether the pipe was ready.
    int collectReady(int reports, bool* pipeReady);
    int collectWatch(Watch* w, uint32_t revents);
    // Fires the ready set in descriptor-list order.
    void dispatchReady(int ready);

    void openNudgePipe();
    void armNudge(bool armed);
    // Reads the wake-up pipe empty.
    void drainNudge();
    void setBusySince(bool busy);
    void countBatch();

    // Lock order: the timer lock is taken alone; timer handlers run with it
    // released.
    CriticalBlock _timerLock;
    IntrusiveHeap<TimerEvent, TimerKey, TimerEvent::HeapTraits> _timers GUARDED_BY(_timerLock);
    uint64_t _nextSetOrder GUARDED_BY(_timerLock);
    // The first expiry in microseconds (INT64_MAX when no timer waits), for
    // the loop to read without the lock: a pass with nothing due need not
    // take it. A setter on another thread nudges the loop after changing it.
    std::atomic<int64_t> _firstDue;

    FdEvent* _fdHead;
    FdEvent* _fdTail;
    uint64_t _nextListOrder;
    CountEvent* _countHead;
    std::atomic<bool> _dumpRequested;
    bool _fdListChanged;

    Watch* _watches;
    size_t _watchSize;
    std::vector<int> _changedFds;
    std::vector<int> _alwaysReadyFds;
    size_t _inEpoll;  // watches in the IN_EPOLL state
    uint32_t _nextGeneration;
    int _epollFd;
    std::vector<struct epoll_event> _reports;
    // This pass's ready events that may fire, sorted by list order; an entry
    // is cleared when its event fires or is destroyed.
    std::vector<FdEvent*> _ready;

    // Watched edge-triggered, and read empty whenever it woke the loop: some
    // kernels (5.5 to 5.13, unpatched) report a write only to a pipe that
    // was empty, so a byte left behind would swallow the next wake-up.
    int _nudgeRead;
    int _busyIndex;
    ThreadContext* _nextContext GUARDED_BY(_contextLock);
    int _threadId;

    // What every post reads, on a cache line of its own: the loop writes
    // the fields above all through a pass, and a poster that shared their
    // line would miss on it at each of those writes. The loop writes these
    // two flags only when it is about to sleep or has posts to serve.
    //
    // A write to the pipe is wanted on the next nudge. Armed by the loop
    // just before it looks at its counts and timers for the last time before
    // a wait that may sleep, disarmed when the wait returns or by the one
    // nudge that writes: an atomic exchange does what a lock around the flag
    // would.
    alignas(kCacheLine) std::atomic<bool> _nudgeArmed;
    // A count was posted since this loop last began a walk of its count
    // events. Set by the first poster that finds it clear (the others only
    // read it), cleared by the walk before it reads the counts.
    std::atomic<bool> _countsPosted;
    // Set by leaveRun, taken by the run it ends.
    std::atomic<bool> _leaveRun;
    int _nudgeWrite;
    // (The line ends with the object: its size is a whole number of lines.)

    static ThreadContext* _contextList GUARDED_BY(_contextLock);
    static int _nextBusyIndex GUARDED_BY(_contextLock);
};

class Reactor {
public:
    // ThreadContext::get()->run(ms).
    static void run(int ms);
};

// 1 when a is later than b, -1 when earlier, 0 when equal.
inline int TCOMP(const struct timeval* a, const struct timeval* b) {
    if (a->tv_sec != b->tv_sec) return a->tv_sec > b->tv_sec ? 1 : -1;
    if (a->tv_usec != b->tv_usec) return a->tv_usec > b->tv_usec ? 1 : -1;
    return 0;
}

#endif
