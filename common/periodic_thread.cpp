#include "common/periodic_thread.h"

#include <utility>

PeriodicThread::PeriodicThread(const char* name, int intervalMs, std::function<void()> tick)
    : _intervalMs(intervalMs), _tick(std::move(tick)) {
    setName(name);
    setDeleteOnExit(false);
}

void PeriodicThread::run() {
    setInitialized();
    for (;;) {
        {
            CondSection hold(_block);
            if (!_stop) _block.wait(_intervalMs);
            if (_stop) return;
        }
        _tick();
    }
}

void PeriodicThread::stopAndJoin() {
    {
        CondSection hold(_block);
        _stop = true;
        _block.broadcast();
    }
    join();
}
