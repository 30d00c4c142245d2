#include "common/delayed_event.h"

#include <stdlib.h>
#include <string.h>

#include "common/os.h"

// The registries live as long as the process: an event may be withdrawn by a
// thread that outlives the static destructors.
CriticalBlock DelayedEvent::_lock{LOCK_RANK_DELAYED_EVENT, kProcessLifetime};
long long DelayedEvent::_nextId = 1;
DelayedEvent* DelayedEvent::_buckets[kDelayedEventBuckets] = {};

CriticalBlock DelayedEvent2::_lock{LOCK_RANK_DELAYED_EVENT2, kProcessLifetime};
long long DelayedEvent2::_nextId = 1;
DelayedEvent2* DelayedEvent2::_buckets[kDelayedEventBuckets] = {};

template <class Derived>
DelayedEventSlot<Derived>::DelayedEventSlot()
    : userValue(0), originalId(0), partialResult(nullptr), done(false), next(nullptr), prev(nullptr),
      errorText(nullptr), errorCode(0), moreTimeAsked(false), id(0), value(nullptr), error(false) {}

template <class Derived>
void DelayedEventSlot<Derived>::enroll() {
    CriticalSection registry(Derived::_lock);
    id = Derived::_nextId++;
    Derived* self = static_cast<Derived*>(this);
    Derived*& bucket = Derived::_buckets[bucketOf(id)];
    next = bucket;
    if (next != nullptr) next->prev = self;
    bucket = self;
}

template <class Derived>
void DelayedEventSlot<Derived>::withdraw() {
    // One hold of the registry lock for both: a supplier that looked the
    // event up holds that lock until it is done, so it either filled the
    // event before (and its text is freed here) or cannot find it after.
    CriticalSection registry(Derived::_lock);
    // Doubly linked, so that leaving costs the same wherever the event sits:
    // a burst of posts to an operation target withdraws its oldest events first.
    Derived*& bucket = Derived::_buckets[bucketOf(id)];
    if (prev != nullptr)
        prev->next = next;
    else if (bucket == this)
        bucket = next;
    if (next != nullptr) next->prev = prev;
    next = prev = nullptr;
    // The block is taken for the analysis' sake and stays in order
    // (registry first).
    CondSection hold(block);
    free(errorText);
    errorText = nullptr;
}

template <class Derived>
void DelayedEventSlot<Derived>::fill(void* v, bool isError, const char* text, int code) {
    CondSection hold(block);
    fillLocked(v, isError, text, code);
}

template <class Derived>
void DelayedEventSlot<Derived>::fillLocked(void* v, bool isError, const char* text, int code) {
    if (isError) {
        error = true;
        errorCode = code;
        free(errorText);
        errorText = text != nullptr ? strdup(text) : nullptr;
    } else {
        value = v;
    }
    done = true;
    block.broadcast();
}

template <class Derived>
void DelayedEventSlot<Derived>::setValue(void* v) {
    fill(v, false, nullptr, 0);
}

template <class Derived>
void DelayedEventSlot<Derived>::setError(int code) {
    fill(nullptr, true, nullptr, code);
}

template <class Derived>
void DelayedEventSlot<Derived>::setError(const char* text, int code) {
    fill(nullptr, true, text, code);
}

template <class Derived>
bool DelayedEventSlot<Derived>::setErrorUnlessDone(const char* text, int code) {
    CondSection hold(block);
    if (done) return false;
    fillLocked(nullptr, true, text, code);
    return true;
}

template <class Derived>
void DelayedEventSlot<Derived>::moreTime() {
    CondSection hold(block);
    moreTimeAsked = true;
}

template <class Derived>
void DelayedEventSlot<Derived>::syncWithSuppliers() {
    Derived::_lock.enter();
    Derived::_lock.exit();
}

template <class Derived>
void DelayedEventSlot<Derived>::waitResult() {
    {
        CondSection hold(block);
        while (!done) block.wait();
    }
    syncWithSuppliers();
}

template <class Derived>
bool DelayedEventSlot<Derived>::waitResult(int ms) {
    bool result;
    {
        CondSection hold(block);
        for (;;) {
            if (done) {
                result = true;
                break;
            }
            // One period: wake-ups without a result wait out its remainder.
            moreTimeAsked = false;
            long long deadline = monotonicMs() + ms;
            long long remaining = ms;
            while (!done && remaining > 0) {
                block.wait(static_cast<int>(remaining));
                remaining = deadline - monotonicMs();
            }
            if (done) {
                result = true;
                break;
            }
            if (!moreTimeAsked) {
                result = false;
                break;
            }
        }
    }
    syncWithSuppliers();
    return result;
}

template <class Derived>
Derived* DelayedEventSlot<Derived>::lockById(long long id) {
    Derived::_lock.enter();
    for (Derived* e = Derived::_buckets[bucketOf(id)]; e != nullptr; e = e->next)
        if (e->id == id) return e;
    Derived::_lock.exit();
    return nullptr;
}

template <class Derived>
bool DelayedEventSlot<Derived>::isDone() {
    CondSection hold(block);
    return done;
}

template <class Derived>
bool DelayedEventSlot<Derived>::isError() {
    CondSection hold(block);
    return error;
}

template <class Derived>
int DelayedEventSlot<Derived>::getErrorCode() {
    CondSection hold(block);
    return errorCode;
}

template <class Derived>
const char* DelayedEventSlot<Derived>::getErrorText() {
    CondSection hold(block);
    return errorText;
}

template <class Derived>
void* DelayedEventSlot<Derived>::getValue() {
    CondSection hold(block);
    return value;
}

template class DelayedEventSlot<DelayedEvent>;
template class DelayedEventSlot<DelayedEvent2>;

DelayedEvent::DelayedEvent(DelayedEventListener* listener) : listener(listener) {
    enroll();
}

DelayedEvent::~DelayedEvent() {
    withdraw();
}

// Ends the hold that lockById began (see there).
void DelayedEvent::release() {
    if (isDone() && listener != nullptr) listener->onDelayedEventChange(this);
    _lock.exit();
}

DelayedEvent2::DelayedEvent2() {
    enroll();
}

DelayedEvent2::~DelayedEvent2() {
    withdraw();
}

void DelayedEvent2::release() {
    _lock.exit();
}
