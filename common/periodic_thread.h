// PeriodicThread: a daemon thread that calls one function at a fixed
// interval until it is stopped, for the small housekeeping jobs of a
// service (sweeping stale entries, closing idle sessions).
//
// The starter owns the object: start() it, and stopAndJoin() before
// deleting it. The function runs on the thread alone, first one interval
// after the start; stopAndJoin waits for a call under way to return.
#ifndef DRV_COMMON_PERIODIC_THREAD_H
#define DRV_COMMON_PERIODIC_THREAD_H

#include <functional>

#include "common/daemon_thread.h"
#include "common/sem.h"
#include "common/thread_annotations.h"

class PeriodicThread : public DaemonThread {
public:
    PeriodicThread(const char* name, int intervalMs, std::function<void()> tick);
    void run() override;
    // Wakes the thread from its wait, ends it and joins it.
    void stopAndJoin();

private:
    const int _intervalMs;
    const std::function<void()> _tick;
    CondBlock _block;
    bool _stop GUARDED_BY(_block) = false;
};

#endif
