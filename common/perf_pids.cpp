// The child pid table in the performance data block: the children this
// process must kill when it has to give up on them.
//
// The block is a shared mapping that every forked process inherits, so a
// connection child that starts lookups of its own would otherwise record
// (and, killed half-way, leave behind) pids in its parent's table, which the
// parent might then kill once the pid is reused. Only the block's owner
// touches the table or its lock; in any other process each call does nothing.
#include <signal.h>
#include <unistd.h>

#include "common/log.h"
#include "common/perf_data.h"

namespace {

// The block, when this process owns it; null otherwise.
PerfData* ownBlock() {
    PerfData* block = perfData;
    return block != nullptr && block->ownerPid == getpid() ? block : nullptr;
}

// Holds the table's lock for a scope; does nothing without a block of our own.
class PidTableLock {
public:
    PidTableLock() : _block(ownBlock()) {
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
    if (PerfData* block = ownBlock()) pthread_mutex_lock(&block->childPidLock);
}

void unlockPerfPid() {
    if (PerfData* block = ownBlock()) pthread_mutex_unlock(&block->childPidLock);
}
