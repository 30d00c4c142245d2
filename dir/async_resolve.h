// AsyncResolveHelper: a request's share in a remote resolve. When the name
// reaches a remote provider, resolution hands the provider this helper's
// delayed event and returns "Waiting for future result" (31); the provider
// fills the event when the answer arrives, the process-wide
// AsyncResolveCompleter posts the request's id to the execution thread, and
// the request's next run takes the resolved object (or the error) from the
// event.
//
// Ownership: the ExecHelper owns its AsyncResolveHelper, which owns its
// event. Thread-safety: the helper belongs to the execution thread; the
// event is filled from any thread (see common/delayed_event.h) and the
// completer runs on the filling thread, under the event registry lock.
#ifndef DRV_DIR_ASYNC_RESOLVE_H
#define DRV_DIR_ASYNC_RESOLVE_H

#include <time.h>

#include "common/delayed_event.h"

class ExecHelper;

class DirectoryObject;

class AsyncResolveHelper {
public:
    // Seconds a remote resolve may take.
    static const int kResolveSeconds = 40;

    explicit AsyncResolveHelper(ExecHelper* owner);
    ~AsyncResolveHelper();
    AsyncResolveHelper(const AsyncResolveHelper&) = delete;
    AsyncResolveHelper& operator=(const AsyncResolveHelper&) = delete;

    // The event, created on first use with the completer as its listener
    // and the request id as its user value.
    DelayedEvent* getEvent();
    // Marks a resolve outstanding with a deadline of now + kResolveSeconds.
    void begin();
    // Drops the event and the outstanding mark, with an answer nobody took.
    void clear();
    // The answer of a filled event (an object, or null), taken from it; the
    // event and the mark go as with clear.
    DirectoryObject* takeAnswer();
    bool isOutstanding() const { return outstanding; }
    bool isPastDeadline(time_t now) const { return outstanding && now > deadline; }

    time_t deadline;
    DelayedEvent* event;
    ExecHelper* owner;
    bool outstanding;
};

// Told when a remote resolve's event is filled; posts the request id to the
// execution thread so that the request runs again.
class AsyncResolveCompleter : public DelayedEventListener {
public:
    static AsyncResolveCompleter* instance();
    void onDelayedEventChange(DelayedEvent* event) override;
};

#endif
