// ConnectionClock: the heartbeat and lost deadlines of every connection on
// one coms thread, behind a single timer of that thread's loop.
//
// A busy thread holds thousands of deadlines that are all re-armed over and
// over (a heartbeat each interval, the lost time-out at every read). As
// loop timers, each re-arm would be a sorted insert into the thread's timer
// list and each expiry a pass of the loop of its own. Here deadlines of the
// same period sit in one lane; a re-arm appends to its lane's tail, which
// keeps the lane in order because "now" only grows, so it costs a few
// pointer moves. Lanes that allow it are served early by up to a small
// slack (a tenth of the period, at most 100 ms), so that deadlines close
// together are served in one pass of the loop: heartbeats go out a little
// early, never late. Deadlines without slack (the lost time-out) are exact.
//
// Not thread-safe: constructed, armed and fired on its coms thread only.
// Lanes are doubly linked rather than an IntrusiveQueue because a deadline
// is re-armed or cancelled from the middle of its lane; the list of lanes
// is too, since a lane that empties leaves it from anywhere.
#ifndef DRV_COMS_CONNECTION_CLOCK_H
#define DRV_COMS_CONNECTION_CLOCK_H

#include <unordered_map>

#include "common/thread_context.h"

class TimerEvent;

class ConnectionClock final : public EventHandler {
public:
    struct Deadline;
    // Deadlines of one period and slack, in due order.
    struct Lane {
        int periodMs;
        long long slackUs;
        Deadline* head;
        Deadline* tail;
        Lane* next;
        Lane* prev;
    };
    // One deadline, embedded in its owner. fire(owner) runs at the deadline
    // on the clock's thread; the deadline is disarmed by then and may be
    // armed again from inside.
    struct Deadline {
        Deadline(void (*f)(void*), void* o) : fire(f), owner(o) {}
        void (*fire)(void* owner);
        void* owner;
        Deadline* prev = nullptr;
        Deadline* next = nullptr;
        Lane* lane = nullptr;  // null while disarmed
        long long dueUs = 0;
    };

    ConnectionClock();
    ~ConnectionClock();
    ConnectionClock(const ConnectionClock&) = delete;
    ConnectionClock& operator=(const ConnectionClock&) = delete;

    // (Re)arms d to fire periodMs from now; early allows the slack.
    void arm(Deadline* d, int periodMs, bool early);
    void cancel(Deadline* d);
    static bool isArmed(const Deadline* d) { return d->lane != nullptr; }

    // Fires what is due (the timer's handler).
    void handleEvent(Event* e) override;
    // Fires what is due at nowUs (monotonic microseconds); for handleEvent
    // and for tests that drive the clock themselves.
    void fireDue(long long nowUs);
    // When the next deadline falls due (monotonic microseconds), or -1.
    long long nextDueUs() const;
    // Lanes in use; empty lanes are dropped.
    int laneCount() const;

    static long long nowUs();

private:
    Lane* laneFor(int periodMs, bool early);
    void unlink(Deadline* d);
    void detach(Deadline* d);
    void dropIfEmpty(Lane* l);
    void append(Lane* l, Deadline* d);
    // Sets the loop timer for a deadline due at dueUs if nothing earlier is set.
    void wakeBy(long long dueUs);

    Lane* _lanes;
    // The lanes by period and slack. Periods come from the peers' timing
    // items, so there may be as many lanes as connections: a walk of the
    // list at every re-arm (every read restarts a lost time-out) would cost
    // each read in proportion to the connections.
    std::unordered_map<long long, Lane*> _laneIndex;
    // Deadlines taken out of their lanes by the pass that fires them.
    Lane _firingLane;
    TimerEvent* _timer;
    long long _timerDueUs;  // -1 when the timer is not set
    bool _firing;
};

#endif
