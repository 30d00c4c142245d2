// The child pid table in the performance data block: the children this
// process must kill when it has to give up on them.
#include <signal.h>

#include "common/log.h"
#include "common/perf_data.h"

namespace {

// Holds the table's lock for a scope; does nothing without a block.
class PidTableLock {
public:
    PidTableLock() : _block(perfData) {
        if (_block != nullptr) pthread_mutex_lock(&_block->childPidLock);
    }
    ~PidTableLock() {
        if (_block != nullptr) pthread_mutex_unlock(&_block->childPidLock);
    }
    PidTableLock(const PidTableLock&) = delete;
    PidTableLock& operator=(const PidTableLock&) = delete;

    PerfData* block() const { return _block; }

private:
    PerfData* _block;
};

}  // namespace

void zeroPerfPids() {
    PidTableLock lock;
    if (lock.block() == nullptr) return;
    for (pid_t& pid : lock.block()->childPids) pid = -1;
}

void addPerfPid(pid_t pid) {
    // A failed fork's -1 would end the table early and hide the children behind it.
    if (pid <= 0) return;
    PidTableLock lock;
    if (lock.block() == nullptr) return;
    for (pid_t& slot : lock.block()->childPids) {
        if (slot == 0 || slot == -1) {
            slot = pid;
            return;
        }
    }
}

void removePerfPid(pid_t pid) {
    if (pid <= 0) return;
    PidTableLock lock;
    if (lock.block() == nullptr) return;
    for (pid_t& slot : lock.block()->childPids) {
        if (slot == -1) return;
        if (slot == pid) {
            slot = 0;
            return;
        }
    }
}

void killPerfPids() {
    PidTableLock lock;
    if (lock.block() == nullptr) return;
    for (pid_t pid : lock.block()->childPids) {
        if (pid == -1) return;
        if (pid > 0) {
            log(0, "Killing child process %d", pid);
            kill(pid, SIGKILL);
        }
    }
}

void lockPerfPid() {
    if (perfData != nullptr) pthread_mutex_lock(&perfData->childPidLock);
}

void unlockPerfPid() {
    if (perfData != nullptr) pthread_mutex_unlock(&perfData->childPidLock);
}
