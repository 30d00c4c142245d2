// Self-checking lock blocks: CriticalBlock, a non-recursive mutex that guards
// every process-wide registry, and CondBlock, a mutex with a condition
// variable. Misuse (double entry, exit by another thread, damage next to the
// mutex, destruction while held) is reported through _dravika_assert.
#ifndef DRV_COMMON_SEM_H
#define DRV_COMMON_SEM_H

#include <pthread.h>

#include "common/thread_annotations.h"

class CAPABILITY("mutex") CriticalBlock {
public:
    CriticalBlock();
    ~CriticalBlock();
    CriticalBlock(const CriticalBlock&) = delete;
    CriticalBlock& operator=(const CriticalBlock&) = delete;

    void enter() ACQUIRE();
    void exit() RELEASE();

private:
    bool _destroyed;
    int _lockCount;
    unsigned char _guard1[40];
    pthread_mutex_t _mutex;
    unsigned char _guard2[40];
    pthread_t _owner;
};

// Enters a CriticalBlock for the life of a scope.
class SCOPED_CAPABILITY CriticalSection {
public:
    explicit CriticalSection(CriticalBlock& block) ACQUIRE(block) : _block(block) { _block.enter(); }
    ~CriticalSection() RELEASE() { _block.exit(); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    CriticalBlock& _block;
};

class CAPABILITY("mutex") CondBlock {
public:
    CondBlock();
    ~CondBlock();
    CondBlock(const CondBlock&) = delete;
    CondBlock& operator=(const CondBlock&) = delete;

    void lock() ACQUIRE();
    void unlock() RELEASE();
    void signal();
    void broadcast();
    // Waits without limit; the caller holds the block.
    void wait() REQUIRES(this);
    // Waits until now (realtime clock) + ms; true when woken, false on time-out.
    // The caller holds the block.
    bool wait(int ms) REQUIRES(this);

private:
    bool _freed;
    bool _locked;
    pthread_mutex_t _mutex;
    pthread_cond_t _cond;
};

// Holds a CondBlock for the life of a scope.
class SCOPED_CAPABILITY CondSection {
public:
    explicit CondSection(CondBlock& block) ACQUIRE(block) : _block(block) { _block.lock(); }
    ~CondSection() RELEASE() { _block.unlock(); }
    CondSection(const CondSection&) = delete;
    CondSection& operator=(const CondSection&) = delete;

private:
    CondBlock& _block;
};

#endif
