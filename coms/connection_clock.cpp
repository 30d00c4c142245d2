// The per-thread lanes of connection deadlines and the one loop timer that
// serves them.
#include "coms/connection_clock.h"

#include <time.h>

namespace {

const long long kMaxSlackUs = 100 * 1000;

// A lane's key: its period and whether it has slack (which the period fixes).
long long laneKey(int periodMs, long long slackUs) {
    return (static_cast<long long>(periodMs) << 1) | (slackUs > 0 ? 1 : 0);
}

}  // namespace

long long ConnectionClock::nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

ConnectionClock::ConnectionClock()
    : _lanes(nullptr), _firingLane{0, 0, nullptr, nullptr, nullptr, nullptr}, _timer(new TimerEvent(this)), _timerDueUs(-1),
      _firing(false) {
}

ConnectionClock::~ConnectionClock() {
    delete _timer;
    while (_lanes != nullptr) {
        Lane* l = _lanes;
        _lanes = l->next;
        for (Deadline* d = l->head; d != nullptr; d = d->next) d->lane = nullptr;
        delete l;
    }
    for (Deadline* d = _firingLane.head; d != nullptr; d = d->next) d->lane = nullptr;
}

ConnectionClock::Lane* ConnectionClock::laneFor(int periodMs, bool early) {
    long long slack = early ? static_cast<long long>(periodMs) * 1000 / 10 : 0;
    if (slack > kMaxSlackUs) slack = kMaxSlackUs;
    Lane*& slot = _laneIndex[laneKey(periodMs, slack)];
    if (slot != nullptr) return slot;
    auto* l = new Lane{periodMs, slack, nullptr, nullptr, _lanes, nullptr};
    if (_lanes != nullptr) _lanes->prev = l;
    _lanes = l;
    slot = l;
    return l;
}

void ConnectionClock::detach(Deadline* d) {
    Lane* l = d->lane;
    if (d->prev != nullptr)
        d->prev->next = d->next;
    else
        l->head = d->next;
    if (d->next != nullptr)
        d->next->prev = d->prev;
    else
        l->tail = d->prev;
    d->prev = d->next = nullptr;
    d->lane = nullptr;
}

void ConnectionClock::dropIfEmpty(Lane* l) {
    if (l->head != nullptr || l == &_firingLane) return;
    // An empty lane goes: periods change with timing, and lanes nobody uses
    // would only lengthen every walk.
    _laneIndex.erase(laneKey(l->periodMs, l->slackUs));
    if (l->prev != nullptr)
        l->prev->next = l->next;
    else
        _lanes = l->next;
    if (l->next != nullptr) l->next->prev = l->prev;
    delete l;
}

void ConnectionClock::unlink(Deadline* d) {
    Lane* l = d->lane;
    detach(d);
    dropIfEmpty(l);
}

void ConnectionClock::arm(Deadline* d, int periodMs, bool early) {
    if (periodMs < 0) periodMs = 0;
    // The usual re-arm stays in its lane, which must not go and come back
    // when the deadline is its only one.
    Lane* old = d->lane;
    if (old != nullptr) detach(d);
    Lane* l = laneFor(periodMs, early);
    d->dueUs = nowUs() + static_cast<long long>(periodMs) * 1000;
    append(l, d);
    if (old != nullptr && old != l) dropIfEmpty(old);
    wakeBy(d->dueUs);
}

void ConnectionClock::append(Lane* l, Deadline* d) {
    // Every deadline in a lane was armed no later than now with the same
    // period: the tail is the right place, walking back only over ties.
    Deadline* after = l->tail;
    while (after != nullptr && after->dueUs > d->dueUs) after = after->prev;
    d->lane = l;
    d->prev = after;
    d->next = after != nullptr ? after->next : l->head;
    if (d->next != nullptr)
        d->next->prev = d;
    else
        l->tail = d;
    if (after != nullptr)
        after->next = d;
    else
        l->head = d;
}

void ConnectionClock::cancel(Deadline* d) {
    if (d->lane != nullptr) unlink(d);
}

void ConnectionClock::wakeBy(long long dueUs) {
    // While firing, the timer is set once the pass is over.
    if (_firing) return;
    if (_timerDueUs >= 0 && _timerDueUs <= dueUs) return;
    long long now = nowUs();
    long long waitUs = dueUs > now ? dueUs - now : 0;
    _timer->set(static_cast<int>((waitUs + 999) / 1000));
    _timerDueUs = dueUs;
}

long long ConnectionClock::nextDueUs() const {
    long long best = -1;
    for (Lane* l = _lanes; l != nullptr; l = l->next)
        if (l->head != nullptr && (best < 0 || l->head->dueUs < best)) best = l->head->dueUs;
    return best;
}

int ConnectionClock::laneCount() const {
    int n = 0;
    for (Lane* l = _lanes; l != nullptr; l = l->next) n++;
    return n;
}

void ConnectionClock::fireDue(long long now) {
    // Everything that may go now moves to the firing lane first, so that a
    // deadline armed again while it fires waits for the next pass however
    // short its period, and a deadline cancelled by another's owner before
    // its turn simply leaves the firing lane.
    _firing = true;
    for (Lane* l = _lanes; l != nullptr;) {
        Lane* next = l->next;  // l goes once its last deadline moves
        while (l != nullptr && l->head != nullptr && l->head->dueUs - l->slackUs <= now) {
            Deadline* d = l->head;
            bool last = d->next == nullptr;
            unlink(d);
            append(&_firingLane, d);
            if (last) l = nullptr;
        }
        l = next;
    }
    while (_firingLane.head != nullptr) {
        Deadline* d = _firingLane.head;
        unlink(d);
        d->fire(d->owner);
    }
    _firing = false;
    _timerDueUs = -1;
    long long next = nextDueUs();
    if (next >= 0) wakeBy(next);
}

void ConnectionClock::handleEvent(Event*) {
    fireDue(nowUs());
}
