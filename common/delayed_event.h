// Delayed events: one-shot result slots that one thread waits on and another
// fills by id. DelayedEvent (with an optional listener, for network requests)
// and DelayedEvent2 (for operation targets) keep separate registries and ids.
//
// Thread-safety: any thread may fill, extend or read an event; the waiter
// creates and destroys it. Lock order: a registry lock before an event's
// block (lockById, then setValue); an event's block is never held while a
// registry lock is taken. A DelayedEvent listener runs under the DelayedEvent
// registry lock and may post to an operation target, which builds a
// DelayedEvent2: the DelayedEvent registry comes before the DelayedEvent2
// registry (checked by the ranks of common/sem.h and by the analysis).
#ifndef DRV_COMMON_DELAYED_EVENT_H
#define DRV_COMMON_DELAYED_EVENT_H

#include <stddef.h>

#include "common/sem.h"

class DelayedEvent;

class DelayedEventListener {
public:
    virtual void onDelayedEventChange(DelayedEvent* event) = 0;

protected:
    ~DelayedEventListener() = default;
};

// The registry of each class is indexed by id: a reply finds its event in a
// bucket of a few, however many requests are outstanding. Ids are handed out
// in order, so their low bits spread the events evenly.
const size_t kDelayedEventBuckets = 4096;

// The slot and its waiting, shared by both classes; Derived supplies the
// registry (registryLock(), _nextId, _buckets) and release().
template <class Derived>
class DelayedEventSlot {
public:
    DelayedEventSlot(const DelayedEventSlot&) = delete;
    DelayedEventSlot& operator=(const DelayedEventSlot&) = delete;

    // Stores v, marks done and wakes every waiter. A second fill replaces
    // the first.
    void setValue(void* v) EXCLUDES(block);
    void setError(int code) EXCLUDES(block);
    void setError(const char* text, int code) EXCLUDES(block);
    // As setError, but only while nothing has filled the event: for news
    // that matters only without an answer (a connection that ends after its
    // reply came). The look and the fill are one step under the block.
    // True when it filled.
    bool setErrorUnlessDone(const char* text, int code) EXCLUDES(block);
    // Extends a waiter's limit by one more period.
    void moreTime() EXCLUDES(block);
    // Waits without limit until done.
    void waitResult() EXCLUDES(block);
    // Waits up to ms, extended by each moreTime(); true when done.
    bool waitResult(int ms) EXCLUDES(block);

    // Looks the event up with the registry lock taken; found: returned with
    // the lock still held (end with release()); not found: null, unlocked.
    // The analysis cannot follow a lock handed back through a returned
    // pointer, so this pair is not checked by it.
    static Derived* lockById(long long id) NO_THREAD_SAFETY_ANALYSIS;

    // Takes the event out of the registry and frees its error text: from
    // then on no supplier finds it, so what it holds is final. First thing
    // in the class's destructor, for the same reason as enroll() is last in
    // its constructor; a waiter that must know whether an answer came and
    // free it calls it first itself (a second call does nothing more).
    void withdraw();

    long long getId() const { return id; }
    bool isDone() EXCLUDES(block);
    bool isError() EXCLUDES(block);
    int getErrorCode() EXCLUDES(block);
    // Owned by the event; valid until the next fill or the event's end.
    const char* getErrorText() EXCLUDES(block);
    void* getValue() EXCLUDES(block);

    // Free for the requester, who alone touches them.
    long long userValue;
    long long originalId;
    void* partialResult;

protected:
    DelayedEventSlot();
    ~DelayedEventSlot() = default;

    // Takes the next id and puts the event at the front of its bucket.
    // Called by the class itself once it is fully built, so that a supplier
    // finding it by id never sees half an event.
    void enroll();

    CondBlock block;
    bool done GUARDED_BY(block);

    // Links within the event's bucket, newest first; guarded by the class's
    // registry lock (not marked: the class is incomplete where the links are
    // declared).
    Derived* next;
    Derived* prev;

private:
    static size_t bucketOf(long long id) { return static_cast<size_t>(id) & (kDelayedEventBuckets - 1); }
    void fill(void* v, bool isError, const char* text, int code) EXCLUDES(block);
    void fillLocked(void* v, bool isError, const char* text, int code) REQUIRES(block);
    // Passes the supplier that may still be inside release().
    static void syncWithSuppliers();

    char* errorText GUARDED_BY(block);
    int errorCode GUARDED_BY(block);
    bool moreTimeAsked GUARDED_BY(block);
    // Set once by enroll(), before the event can be found.
    long long id;
    void* value GUARDED_BY(block);
    bool error GUARDED_BY(block);
};

class DelayedEvent : public DelayedEventSlot<DelayedEvent> {
public:
    explicit DelayedEvent(DelayedEventListener* listener = nullptr);
    ~DelayedEvent();

    // For an event from lockById: tells the listener about a filled event,
    // then releases the registry lock.
    void release() EXCLUDES(block) NO_THREAD_SAFETY_ANALYSIS;

    DelayedEventListener* listener;

    // The registry lock; for tests (the registry itself is private).
    static CriticalBlock& registryLock() { return _lock; }

private:
    friend class DelayedEventSlot<DelayedEvent>;
    friend class DelayedEvent2;  // names this lock in its order

    static CriticalBlock _lock;
    static long long _nextId GUARDED_BY(_lock);
    static DelayedEvent* _buckets[kDelayedEventBuckets] GUARDED_BY(_lock);
};

class DelayedEvent2 : public DelayedEventSlot<DelayedEvent2> {
public:
    DelayedEvent2();
    ~DelayedEvent2();

    // For an event from lockById: releases the registry lock.
    void release() NO_THREAD_SAFETY_ANALYSIS;

    static CriticalBlock& registryLock() { return _lock; }

private:
    friend class DelayedEventSlot<DelayedEvent2>;

    static CriticalBlock _lock ACQUIRED_AFTER(DelayedEvent::_lock);
    static long long _nextId GUARDED_BY(_lock);
    static DelayedEvent2* _buckets[kDelayedEventBuckets] GUARDED_BY(_lock);
};

#endif
