// What the kernel says about one of this process's threads: its id, its
// scheduler state, and whether it sleeps on a lock. For tests that must know
// a thread is already waiting before they go on.
#ifndef DRV_TESTS_SUPPORT_THREAD_STATE_H
#define DRV_TESTS_SUPPORT_THREAD_STATE_H

#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

inline int kernelThreadId() {
    return static_cast<int>(syscall(SYS_gettid));
}

// The scheduler's state letter of one of this process's threads ('S' while
// it sleeps), or 0.
inline char threadState(int tid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%d/stat", tid);
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    char line[512] = {0};
    char* got = fgets(line, sizeof(line), f);
    fclose(f);
    if (got == nullptr) return 0;
    // After the name in parentheses, which may itself hold ") ".
    const char* end = strrchr(line, ')');
    return end != nullptr && end[1] == ' ' ? end[2] : 0;
}

// The system call one of this process's threads sleeps in, or -1 when it
// does not sleep.
inline long sleepingSyscall(int tid) {
    if (threadState(tid) != 'S') return -1;
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%d/syscall", tid);
    FILE* f = fopen(path, "r");
    if (f == nullptr) return -1;
    long number = -1;
    int got = fscanf(f, "%ld", &number);
    fclose(f);
    return got == 1 ? number : -1;
}

// Whether one of this process's threads sleeps on a lock (in the futex
// system call).
inline bool inFutexWait(int tid) {
    return sleepingSyscall(tid) == SYS_futex;
}

// Whether one of this process's threads sleeps in its event loop's wait.
inline bool inEpollWait(int tid) {
    long number = sleepingSyscall(tid);
    return number == SYS_epoll_wait || number == SYS_epoll_pwait
#ifdef SYS_epoll_pwait2
           || number == SYS_epoll_pwait2
#endif
        ;
}

#endif
