// Self-checking lock blocks: CriticalBlock, a non-recursive mutex that guards
// every process-wide registry, and CondBlock, a mutex with a condition
// variable. Misuse (double entry, exit by another thread, damage next to the
// mutex, destruction while held, a lock taken against the lock order) is
// reported through _dravika_assert.
//
// Both are built at compile time (their constructors are constexpr), so a
// process-wide lock is usable from any static initialiser. A lock built with
// kProcessLifetime is never torn down: threads still running while the
// process exits may take it after the static destructors have run.
//
// The lock order of the runtime is the LockRank table below. A CriticalBlock
// built with a rank checks, on every entry, that the calling thread holds no
// ranked block of the same or a later rank; clang's analysis checks the
// orders it can see statically (ACQUIRED_AFTER beside the lock).
#ifndef DRV_COMMON_SEM_H
#define DRV_COMMON_SEM_H

#include <pthread.h>

#include <array>
#include <atomic>

#include "common/thread_annotations.h"

// The ranked locks, outermost first: a thread holding one may take only those
// listed after it. Written once here so that the order is in one place.
#define DRV_LOCK_RANKS(X)                                                                                \
    /* Properties reloads: held across the load callback. */                                            \
    X(LOCK_RANK_PROPERTIES_RELOAD, "properties reload")                                                 \
    /* Directory provider list: held while a provider's own lock or the listener list is taken. */      \
    X(LOCK_RANK_DIR_PROVIDERS, "directory provider list")                                                \
    /* Provider-side listener records: held while changes reach client listeners. */                     \
    X(LOCK_RANK_DIR_SPI_LISTENERS, "provider listeners")                                                 \
    /* Directory client listener list. */                                                                \
    X(LOCK_RANK_DIR_LISTENERS, "directory listeners")                                                    \
    /* One provider's lock count. */                                                                     \
    X(LOCK_RANK_DIR_SPI, "provider lock count")                                                          \
    /* Network request registry: listeners run under it and may post to an operation target. */        \
    X(LOCK_RANK_DELAYED_EVENT, "DelayedEvent registry")                                                  \
    /* Operation target results: posting builds an event in this registry. */                           \
    X(LOCK_RANK_DELAYED_EVENT2, "DelayedEvent2 registry")                                                \
    /* An operation target's queue: held while the post advances the target's count event. */           \
    X(LOCK_RANK_OP_QUEUE, "operation target queue")                                                      \
    /* The event loop's: a count event's counts, advanced under an operation target's queue lock. */   \
    X(LOCK_RANK_COUNT_EVENT, "count event")                                                              \
    X(LOCK_RANK_SHUTDOWN_LIST, "shutdown handlers")                                                      \
    X(LOCK_RANK_THREAD_LIST, "thread list")                                                              \
    X(LOCK_RANK_CURRENT_PROPERTIES, "current properties")                                                \
    X(LOCK_RANK_GUID, "GUID generator")                                                                  \
    /* The script Date's parsed time zones: a leaf. */                                                  \
    X(LOCK_RANK_DATE_ZONES, "date zone cache")                                                           \
    /* The list of loop contexts: a leaf, taken when a thread's first event makes its context, */       \
    /* which may happen under any of the locks above. */                                                \
    X(LOCK_RANK_CONTEXT_LIST, "loop context list")                                                       \
    /* The parked block caches: a leaf, taken by a thread's first small allocation (under any */        \
    /* lock, a message built under a registry's) and at its exit. */                                    \
    X(LOCK_RANK_PARKED_CACHES, "parked block caches")

enum LockRank {
    LOCK_RANK_NONE = 0,  // not checked against the order
#define DRV_LOCK_RANK_ENUM(name, text) name,
    DRV_LOCK_RANKS(DRV_LOCK_RANK_ENUM)
#undef DRV_LOCK_RANK_ENUM
    LOCK_RANK_END  // one past the last rank
};

// The rank's name for reports ("thread list"); "unranked" for LOCK_RANK_NONE.
const char* lockRankName(LockRank rank);

// Picks the constructor of a lock that lives as long as the process.
enum ProcessLifetime { kProcessLifetime };

class CAPABILITY("mutex") CriticalBlock {
public:
    constexpr CriticalBlock() : CriticalBlock(LOCK_RANK_NONE, false) {}
    constexpr explicit CriticalBlock(LockRank rank) : CriticalBlock(rank, false) {}
    constexpr CriticalBlock(LockRank rank, ProcessLifetime) : CriticalBlock(rank, true) {}
    ~CriticalBlock();
    CriticalBlock(const CriticalBlock&) = delete;
    CriticalBlock& operator=(const CriticalBlock&) = delete;

    void enter() ACQUIRE();
    void exit() RELEASE();

    // For tests and assertions: whether the calling thread holds the block.
    bool heldByCaller() const;
    LockRank rank() const { return _rank; }

private:
    using Guard = std::array<unsigned char, 40>;
    static constexpr Guard guardBytes() {
        Guard g{};
        for (unsigned char& b : g) b = 0xCC;
        return g;
    }
    constexpr CriticalBlock(LockRank rank, bool processLifetime)
        : _destroyed(false), _lockCount(0), _guard1(guardBytes()), _mutex PTHREAD_MUTEX_INITIALIZER,
          _guard2(guardBytes()), _owner(0), _rank(rank), _processLifetime(processLifetime) {}

    // Reports a ranked entry made while the caller holds a block of the same
    // or a later rank; then records the entry.
    void checkOrderAndRecord();
    void forget();

    bool _destroyed;
    int _lockCount;
    Guard _guard1;
    pthread_mutex_t _mutex;
    Guard _guard2;
    pthread_t _owner;
    LockRank _rank;
    bool _processLifetime;
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
    constexpr CondBlock() : CondBlock(false) {}
    constexpr explicit CondBlock(ProcessLifetime) : CondBlock(true) {}
    ~CondBlock();
    CondBlock(const CondBlock&) = delete;
    CondBlock& operator=(const CondBlock&) = delete;

    void lock() ACQUIRE();
    void unlock() RELEASE();
    // The caller holds the block.
    void signal() REQUIRES(this);
    void broadcast() REQUIRES(this);
    // Wakes every waiter after the caller has changed what they wait for
    // under the block and released it, so that a woken waiter does not at
    // once block again on the mutex the waker still holds. Only for callers
    // that know the block cannot be destroyed until this returns.
    void broadcastReleased();
    // Waits without limit; the caller holds the block.
    void wait() REQUIRES(this);
    // Waits until now (realtime clock) + ms; true when woken, false on time-out.
    // The caller holds the block.
    bool wait(int ms) REQUIRES(this);
    // In the child of a fork, before the block is used there: only the
    // forking thread lives on, so a holder or waiters that the parent had
    // are gone, and the mutex and condition are made new. The caller puts
    // its own fields guarded by the block right.
    void resetInForkChild();

private:
    constexpr explicit CondBlock(bool processLifetime)
        : _freed(false), _locked(false), _waiters(0), _mutex PTHREAD_MUTEX_INITIALIZER, _cond PTHREAD_COND_INITIALIZER,
          _processLifetime(processLifetime) {}

    bool _freed;
    bool _locked;
    // Threads inside wait(), changed under the mutex: a broadcast with
    // none costs no call, and neither does the teardown of a block that
    // nobody ever waited on (most of them).
    std::atomic<int> _waiters;
    pthread_mutex_t _mutex;
    pthread_cond_t _cond;
    bool _processLifetime;
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
