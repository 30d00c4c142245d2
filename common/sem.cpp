#include "common/sem.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/os.h"

// The reports name the lock's own source lines, so that a report reads the
// same whichever build produced it.
#define SEM_CHECK(cond, file, line) \
    do {                            \
        if (!(cond)) _dravika_assert(#cond, file, line); \
    } while (0)

namespace {

// The C library's assertion report, kept in release builds too (assert()
// vanishes under NDEBUG, and this check must not).
[[noreturn]] void standardAssertion(const char* expr, const char* file, unsigned line, const char* function) {
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line, function,
            expr);
    fflush(stderr);
    abort();
}

// The ranked blocks the calling thread holds, in the order it entered them.
// Deeper nesting than this is not followed (and never happens: the ranks
// are few and each is entered once).
const int kMaxHeldRanked = 16;
thread_local const CriticalBlock* _heldRanked[kMaxHeldRanked];
thread_local int _heldRankedCount = 0;

const char* const kRankNames[] = {
    "unranked",
#define DRV_LOCK_RANK_NAME(name, text) text,
    DRV_LOCK_RANKS(DRV_LOCK_RANK_NAME)
#undef DRV_LOCK_RANK_NAME
};

}  // namespace

const char* lockRankName(LockRank rank) {
    int i = static_cast<int>(rank);
    return i >= 0 && i < static_cast<int>(sizeof(kRankNames) / sizeof(kRankNames[0])) ? kRankNames[i] : "unknown";
}

CriticalBlock::~CriticalBlock() {
    // A process-wide lock may still be taken by threads that outlive the
    // static destructors; it stays as it is.
    if (_processLifetime) return;
    _destroyed = true;
    SEM_CHECK(_lockCount == 0, "sem.h", 62);
    SEM_CHECK(_owner == (pthread_t) NULL, "sem.h", 63);
    pthread_mutex_destroy(&_mutex);
}

void CriticalBlock::checkOrderAndRecord() {
    if (_rank == LOCK_RANK_NONE) return;
    for (int i = 0; i < _heldRankedCount && i < kMaxHeldRanked; i++) {
        const CriticalBlock* held = _heldRanked[i];
        if (held->_rank >= _rank) {
            // The report names both locks; one buffer per thread, since two
            // threads may report at once.
            static thread_local char text[160];
            snprintf(text, sizeof(text), "lock order: \"%s\" taken while \"%s\" is held", lockRankName(_rank),
                     lockRankName(held->_rank));
            _dravika_assert(text, "sem.cpp", __LINE__);
            break;
        }
    }
    if (_heldRankedCount < kMaxHeldRanked) _heldRanked[_heldRankedCount] = this;
    _heldRankedCount++;
}

void CriticalBlock::forget() {
    if (_rank == LOCK_RANK_NONE) return;
    // Usually the newest entry; a block handed from lockById to release()
    // may leave out of order.
    for (int i = (_heldRankedCount < kMaxHeldRanked ? _heldRankedCount : kMaxHeldRanked) - 1; i >= 0; i--) {
        if (_heldRanked[i] == this) {
            for (int j = i + 1; j < _heldRankedCount && j < kMaxHeldRanked; j++) _heldRanked[j - 1] = _heldRanked[j];
            _heldRankedCount--;
            return;
        }
    }
    if (_heldRankedCount > kMaxHeldRanked) _heldRankedCount--;
}

bool CriticalBlock::heldByCaller() const {
    return pthread_equal(__atomic_load_n(&_owner, __ATOMIC_RELAXED), pthread_self()) != 0;
}

void CriticalBlock::enter() {
    SEM_CHECK(!_destroyed, "sem.h", 70);
    // Damage next to the mutex means the memory around the lock is no longer
    // to be trusted, assertion switches included: stop at once.
    if (memcmp(_guard1.data(), _guard2.data(), sizeof(_guard1)) != 0)
        standardAssertion("memcmp(_guard1, _guard2, sizeof(_guard1)) == 0", "sem.h", 72, __PRETTY_FUNCTION__);
    // The mutex is not recursive, so a second entry by its holder would hang
    // in the lock below; report it before taking the lock. Only this thread
    // can have stored itself as the owner, so the unlocked read is safe.
    pthread_t self = pthread_self();
    if (pthread_equal(__atomic_load_n(&_owner, __ATOMIC_RELAXED), self)) {
        _dravika_assert("_owner == (pthread_t) NULL", "sem.h", 77);
        return;
    }
    // Checked before blocking, so that an inversion is reported even when
    // it would deadlock right here.
    checkOrderAndRecord();
    int rv = pthread_mutex_lock(&_mutex);
    SEM_CHECK(rv == 0, "sem.h", 75);
    SEM_CHECK(_owner == (pthread_t) NULL, "sem.h", 77);
    __atomic_store_n(&_owner, self, __ATOMIC_RELAXED);
    _lockCount++;
    SEM_CHECK(_lockCount == 1, "sem.h", 82);
}

void CriticalBlock::exit() {
    SEM_CHECK(!_destroyed, "sem.h", 87);
    pthread_t t = pthread_self();
    if (!pthread_equal(__atomic_load_n(&_owner, __ATOMIC_RELAXED), t))
        _dravika_assert("pthread_equal(_owner, t)", "sem.h", 89);
    __atomic_store_n(&_owner, (pthread_t) 0, __ATOMIC_RELAXED);
    _lockCount--;
    SEM_CHECK(_lockCount == 0, "sem.h", 92);
    forget();
    pthread_mutex_unlock(&_mutex);
}

CondBlock::~CondBlock() {
    // Once shutdown has begun other threads may still sit in wait(); leave
    // the block alone rather than pull it from under them. A process-wide
    // block may be used by threads that outlive the static destructors.
    if (_shutdown || _processLifetime) return;
    // Another holder is waited for, however long it keeps the block. The
    // destroying thread holding it itself would wait forever: the mutex
    // names its holder's thread id, so that case is told apart and reported.
    // Nearly always nobody holds it, and the id is not even read.
    if (pthread_mutex_trylock(&_mutex) != 0) {
        if (__atomic_load_n(&_mutex.__data.__owner, __ATOMIC_RELAXED) == gettid()) {
            SEM_CHECK(!_locked, "sem.cpp", 29);
            return;  // still held: leaving the mutex and condition alive is the lesser harm
        }
        pthread_mutex_lock(&_mutex);
    }
    SEM_CHECK(!_freed, "sem.cpp", 28);
    SEM_CHECK(!_locked, "sem.cpp", 29);
    if (_freed) {
        pthread_mutex_unlock(&_mutex);
        return;
    }
    _freed = true;
    if (_waiters.load(std::memory_order_relaxed) > 0) pthread_cond_broadcast(&_cond);
    pthread_mutex_unlock(&_mutex);
    pthread_cond_destroy(&_cond);
    pthread_mutex_destroy(&_mutex);
}

void CondBlock::lock() {
    pthread_mutex_lock(&_mutex);
    _locked = true;
}

void CondBlock::unlock() {
    _locked = false;
    pthread_mutex_unlock(&_mutex);
}

void CondBlock::signal() {
    if (_waiters.load(std::memory_order_relaxed) > 0) pthread_cond_signal(&_cond);
}

void CondBlock::broadcast() {
    if (_waiters.load(std::memory_order_relaxed) > 0) pthread_cond_broadcast(&_cond);
}

void CondBlock::broadcastReleased() {
    // A waiter counts itself under the block before it sleeps, and the
    // caller changed what it waits for under the block before releasing
    // it: a waiter not counted by now will see the change and not sleep.
    if (_waiters.load() > 0) pthread_cond_broadcast(&_cond);
}

void CondBlock::resetInForkChild() {
    pthread_mutex_init(&_mutex, nullptr);
    pthread_cond_init(&_cond, nullptr);
    _waiters.store(0, std::memory_order_relaxed);
    _locked = false;
}

void CondBlock::wait() {
    _locked = false;
    _waiters.fetch_add(1, std::memory_order_relaxed);
    pthread_cond_wait(&_cond, &_mutex);
    _waiters.fetch_sub(1, std::memory_order_relaxed);
    _locked = true;
}

bool CondBlock::wait(int ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    // Carry whole seconds out of the nanoseconds: an out-of-range tv_nsec
    // makes the wait fail at once instead of waiting.
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += deadline.tv_nsec / 1000000000L;
        deadline.tv_nsec %= 1000000000L;
    } else if (deadline.tv_nsec < 0) {
        deadline.tv_sec -= 1;
        deadline.tv_nsec += 1000000000L;
    }
    _locked = false;
    _waiters.fetch_add(1, std::memory_order_relaxed);
    int rv = pthread_cond_timedwait(&_cond, &_mutex, &deadline);
    _waiters.fetch_sub(1, std::memory_order_relaxed);
    _locked = true;
    return rv == 0;
}
