// The process-shared performance data block. The host creates it (shared
// memory, so that a supervising process can read it) and hands it to the
// runtime through perfData; with no block attached every function that would
// touch it does nothing.
#ifndef DRV_COMMON_PERF_DATA_H
#define DRV_COMMON_PERF_DATA_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

// Named counters, registered by dravika_init in exactly this order.
enum PerfCounterId {
    PC_EVT_TIMER_FIRED,
    PC_EVT_FT_FIRED,
    PC_EVT_COUNT_FIRED,
    PC_SIG_OTHER,
    PC_SIG_CHLD,
    PC_SIG_WRONG_T,
    PC_CHILDREN_REAPED,
    PC_POOL_THREADS,
    PC_TP_Q_REMOVE,
    PC_TP_Q_ADD,
    PC_DTHR_STARTED,
    PC_DTHR_EXITED,
    PC_LQ_REMOVED,
    PC_LQ_ADDED,
    PC_NP_ADD,
    PC_NP_REMOVE,
    PC_COUNT
};

// The counters' names as they appear in the block.
extern const char* const kPerfCounterNames[PC_COUNT];

const int kPerfNameLength = 20;
const int kPerfMaxCounters = 32;
const int kPerfMaxBusyRecords = 10;
const int kPerfMaxChildPids = 50;

struct PerfCounter {
    char name[kPerfNameLength];
    int32_t value;
};

// Busy-time record of one event loop.
struct PerfBusyRecord {
    char name[kPerfNameLength];
    int64_t busySince;  // seconds; 0 while idle
    int64_t handled;    // batches handled
    int32_t state;      // free for the loop's owner (setPerfState)
};

struct PerfData {
    pid_t ownerPid;  // the process that owns the block; only it uses the child table
    // Process-shared and recursive: every child table function takes it, and
    // a caller may hold it around several (lockPerfPid, fork, addPerfPid).
    // A raw pthread mutex because it lives in the host's shared block, which
    // other processes map too. Lock order: only the log writers' lock is
    // taken under it (killPerfPids logs each child it kills).
    pthread_mutex_t childPidLock;
    pid_t childPids[kPerfMaxChildPids];  // -1 ends the used part, 0 is a free slot
    int32_t counterCount;
    PerfCounter counters[kPerfMaxCounters];
    int32_t busyCount;
    PerfBusyRecord busy[kPerfMaxBusyRecords];
};

// The block in use, or null. Set by the host before dravika_init.
extern PerfData* perfData;

// Writes the counter names into the block in their fixed order.
void perfRegisterCounters();

inline void perfIncrement(PerfCounterId id) {
    PerfData* p = perfData;
    if (p != nullptr && id < p->counterCount) __atomic_fetch_add(&p->counters[id].value, 1, __ATOMIC_RELAXED);
}

inline void perfSet(PerfCounterId id, int32_t value) {
    PerfData* p = perfData;
    if (p != nullptr && id < p->counterCount) __atomic_store_n(&p->counters[id].value, value, __ATOMIC_RELAXED);
}

// Reads a counter, 0 when there is no block.
inline int32_t perfGet(PerfCounterId id) {
    PerfData* p = perfData;
    return (p != nullptr && id < p->counterCount) ? __atomic_load_n(&p->counters[id].value, __ATOMIC_RELAXED) : 0;
}

// The child pid table. Each does nothing when no block is attached, and in
// any process but the block's owner (a forked child shares the mapping but
// must not record or kill its parent's children).
// All 50 entries to -1 (empty).
void zeroPerfPids();
// Into the first entry holding 0 or -1; dropped when all are taken.
void addPerfPid(pid_t pid);
// The entry holding pid becomes 0 (free, but the table goes on past it).
void removePerfPid(pid_t pid);
// SIGKILL to every recorded child, logging "Killing child process %d".
void killPerfPids();
// Holds the table across a fork, so that a child is recorded before anyone
// can kill the children.
void lockPerfPid();
void unlockPerfPid();

#endif
