// Delayed events: one-shot result slots that one thread waits on and another
// fills by id. DelayedEvent (with an optional listener, for network requests)
// and DelayedEvent2 (for operation targets) keep separate registries and ids.
#ifndef DRV_COMMON_DELAYED_EVENT_H
#define DRV_COMMON_DELAYED_EVENT_H

#include "common/sem.h"

class DelayedEvent;

class DelayedEventListener {
public:
    virtual void onDelayedEventChange(DelayedEvent* event) = 0;

protected:
    ~DelayedEventListener() = default;
};

// The slot and its waiting, shared by both classes; Derived supplies the
// registry (_lock, _nextId, _registry) and release().
template <class Derived>
class DelayedEventSlot {
public:
    DelayedEventSlot(const DelayedEventSlot&) = delete;
    DelayedEventSlot& operator=(const DelayedEventSlot&) = delete;

    // Stores v, marks done and wakes every waiter.
    void setValue(void* v);
    void setError(int code);
    void setError(const char* text, int code);
    // Extends a waiter's limit by one more period.
    void moreTime();
    // Waits without limit until done.
    void waitResult();
    // Waits up to ms, extended by each moreTime(); true when done.
    bool waitResult(int ms);

    // Looks the event up with the registry lock taken; found: returned with
    // the lock still held (end with release()); not found: null, unlocked.
    static Derived* lockById(long long id);

    long long getId() const { return id; }
    bool isDone() const { return done; }
    bool isError() const { return error; }
    int getErrorCode() const { return errorCode; }
    const char* getErrorText() const { return errorText; }
    void* getValue() const { return value; }

    CondBlock block;
    char* errorText;
    int errorCode;
    bool done;
    bool moreTimeAsked;
    long long id;
    long long userValue;
    long long originalId;
    void* partialResult;
    void* value;
    bool error;

protected:
    DelayedEventSlot();
    ~DelayedEventSlot() = default;

    // Takes the next id and puts the event at the front of the registry.
    // Called by the class itself once it is fully built, so that a supplier
    // finding it by id never sees half an event.
    void enroll();
    // Frees the error text and takes the event out of the registry, first
    // thing in the class's destructor for the same reason.
    void withdraw();

    // Registry links, newest first.
    Derived* next;
    Derived* prev;

private:
    void fill(void* v, bool isError, const char* text, int code);
    // Passes the supplier that may still be inside release().
    static void syncWithSuppliers();
};

class DelayedEvent : public DelayedEventSlot<DelayedEvent> {
public:
    explicit DelayedEvent(DelayedEventListener* listener = nullptr);
    ~DelayedEvent();

    // For an event from lockById: tells the listener about a filled event,
    // then releases the registry lock.
    void release();

    DelayedEventListener* listener;

    static CriticalBlock _lock;
    static long long _nextId;
    static DelayedEvent* _registry;
};

class DelayedEvent2 : public DelayedEventSlot<DelayedEvent2> {
public:
    DelayedEvent2();
    ~DelayedEvent2();

    // For an event from lockById: releases the registry lock.
    void release();

    static CriticalBlock _lock;
    static long long _nextId;
    static DelayedEvent2* _registry;
};

#endif
