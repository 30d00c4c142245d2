#include "host/perf_block.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

PerfData* createPerfDataBlock() {
    void* memory = mmap(nullptr, sizeof(PerfData), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    PerfData* block = static_cast<PerfData*>(memory);  // anonymous mappings start zeroed
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&block->childPidLock, &attr);
    pthread_mutexattr_destroy(&attr);
    block->ownerPid = getpid();
    for (pid_t& pid : block->childPids) pid = -1;
    return block;
}

void destroyPerfDataBlock(PerfData* block) {
    if (block == nullptr) return;
    pthread_mutex_destroy(&block->childPidLock);
    munmap(block, sizeof(PerfData));
}

int attachPerfDataBlock(void* moduleHandle, PerfData* block) {
    perfData = block;
    if (moduleHandle == nullptr) return 0;
    PerfData** moduleCopy = static_cast<PerfData**>(dlsym(moduleHandle, "perfData"));
    if (moduleCopy == nullptr) return -1;
    *moduleCopy = block;
    return 0;
}
