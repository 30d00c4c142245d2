// The per-thread event loop: a ThreadContext waits with ppoll on its
// descriptor events, its sorted timers and its count events; other threads
// wake it through a self-pipe (the nudge). Events belong to the thread that
// constructs them and must be destroyed there; only timers may be set, and
// count events advanced, from other threads.
#ifndef DRV_COMMON_THREAD_CONTEXT_H
#define DRV_COMMON_THREAD_CONTEXT_H

#include <poll.h>
#include <stddef.h>
#include <sys/time.h>

#include <atomic>

#include "common/sem.h"

class Event;
class ThreadContext;

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
    int _slot;  // index in the poll array for this pass, -1 when not polled
    FdEvent* _next;
    FdEvent* _prev;
    ThreadContext* _tc;
};

// A one-shot timer owned by the constructing thread's context; set and reset
// work from any thread and wake the owner when needed.
class TimerEvent : public Event {
public:
    explicit TimerEvent(EventHandler* handler);
    ~TimerEvent() override;

    // Takes the owning context's timer lock, so that it is safe against a
    // setter on another thread.
    void enabled(bool on) override;
    // (Re)arms the timer to fire ms milliseconds from now.
    void set(int ms);
    void reset(int ms) { set(ms); }

    // In the timer list. A timer set again from its own handler joins the
    // list when the handler returns.
    bool isScheduled() const;
    struct timeval getExpiry() const;
    ThreadContext* getContext() const { return _owningContext; }

private:
    friend class ThreadContext;

    TimerEvent* _next;
    TimerEvent* _prev;
    struct timeval _expiry;
    bool _rearm;
    bool _scheduled;
    ThreadContext* _owningContext;
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
    // On the owning thread, from the handler.
    void advanceReadCount();

    long long getReadCount();
    long long getWriteCount();
    ThreadContext* getContext() const { return _owningContext; }

private:
    friend class ThreadContext;

    void fire();

    CountEvent* _next;
    CountEvent* _prev;
    long long _writeCount;
    long long _readCount;
    CriticalBlock _lock;
    ThreadContext* _owningContext;
};

class ThreadContext {
public:
    // The calling thread's context, created (with its pipe) on first use.
    static ThreadContext* get();
    // The calling thread's context, or null when it has none yet.
    static ThreadContext* peek();

    // Runs the loop: -1 forever, otherwise until ms milliseconds have passed
    // (0: one pass without waiting).
    void run(int ms);
    // Wakes the loop from any thread; at most one byte waits in the pipe
    // between two passes.
    void nudge();
    // Asks every context to log its events the next time its run is entered.
    static void dump();

    // Takes the next busy-time record of the performance block (at most ten
    // in the process) and names it.
    void addPerf(const char* name);
    void setPerfState(int state);
    // Makes the poll array hold at least fd + 5 entries (fd + 100 when it grows).
    void grow(size_t fd);

    int getBusyIndex() const { return _busyIndex; }
    int getThreadId() const { return _threadId; }
    size_t getPollCapacity() const { return _pollSize; }

    static CriticalBlock _contextLock;

private:
    friend class FdEvent;
    friend class TimerEvent;
    friend class CountEvent;

    ThreadContext();
    ~ThreadContext() = delete;

    void logDump();
    void fireExpiredTimers(const struct timeval& now);
    void fireExpiredCounts();
    // Inserts behind every timer that expires no later; the caller holds the timer lock.
    void insertTimer(TimerEvent* t);
    void unlinkTimer(TimerEvent* t);
    // Takes the event off the descriptor list and marks the list changed.
    void unlinkFd(FdEvent* e);
    void detachFd(FdEvent* e);
    void armNudge(bool armed);
    void setBusySince(bool busy);
    void countBatch();

    TimerEvent* _timerHead;
    TimerEvent* _timerTail;
    FdEvent* _fdHead;
    FdEvent* _fdTail;
    CountEvent* _countHead;
    CriticalBlock _timerLock;
    std::atomic<bool> _dumpRequested;
    bool _fdListChanged;
    struct pollfd* _pollArray;
    size_t _pollSize;
    int _nudgeRead;
    int _nudgeWrite;
    int _busyIndex;
    bool _nudgeArmed;
    CriticalBlock _countLock;
    ThreadContext* _nextContext;
    int _threadId;

    static ThreadContext* _contextList;
    static int _nextBusyIndex;
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
