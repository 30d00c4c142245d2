// Barriers through a connection's coms thread: a delayed event released
// there, which is gone from the registry once the thread has reached it.
#include "coms/coms_barrier.h"

#include <unistd.h>

#include "coms/connection.h"
#include "common/delayed_event.h"

ComsBarrier::ComsBarrier(Connection* connection) {
    DelayedEvent* marker = new DelayedEvent();
    _marker = marker->getId();
    connection->releaseDelayedEvent(marker);
}

bool ComsBarrier::passed() const {
    DelayedEvent* e = DelayedEvent::lockById(_marker);
    if (e == nullptr) return true;
    e->release();
    return false;
}

void ComsBarrier::wait() const {
    while (!passed()) usleep(1000);
}
