// Per-thread caches of small blocks, each block returned to the cache of
// the thread that allocated it.
#include "common/block_cache.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include <atomic>

#include "common/sem.h"

#if defined(__SANITIZE_ADDRESS__)
#define DRV_BLOCK_CACHE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DRV_BLOCK_CACHE_ASAN 1
#endif
#endif
#ifdef DRV_BLOCK_CACHE_ASAN
#include <sanitizer/asan_interface.h>
// A cached block stays poisoned but for its link, so that a use after
// release is still reported.
#define DRV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define DRV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define DRV_POISON(p, n) ((void)(p), (void)(n))
#define DRV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace block_cache {
namespace {

const size_t kStep = 64;
const size_t kClasses = kMaxCachedBlock / kStep;
const uint32_t kUncached = UINT32_MAX;

struct Cache;

// In front of every block. A free block's payload begins with its link.
struct alignas(16) Header {
    Cache* owner;  // null for a block that is not kept
    uint32_t cls;  // size class, or kUncached
};

// One thread's lists, one per size class (class c holds (c + 1) * 64
// bytes), and the stack other threads return its blocks to.
struct Cache {
    std::atomic<Header*> returned{nullptr};
    Header* lists[kClasses] = {};
    size_t bytes = 0;  // held in lists
    // Returned blocks taken but not yet sorted: they are sorted as
    // allocations look for their size, so that each is touched once, and
    // the order they come back in (a message, then its buffer) usually is
    // the order they are asked for again.
    Header* taken = nullptr;
    Cache* nextParked = nullptr;
};

Header*& link(Header* h) {
    return *reinterpret_cast<Header**>(h + 1);
}

size_t payloadBytes(uint32_t cls) {
    return (cls + 1) * kStep;
}

size_t blockBytes(uint32_t cls) {
    return sizeof(Header) + payloadBytes(cls);
}

pthread_once_t _keyOnce = PTHREAD_ONCE_INIT;
pthread_key_t _key;
bool _keyMade = false;
thread_local Cache* _mine = nullptr;

// Caches of threads that ended, waiting for a new thread. Lock order: the
// innermost rank; a first allocation may come under any other lock, and
// nothing is taken (nor allocated) while it is held.
CriticalBlock _parkedLock(LOCK_RANK_PARKED_CACHES, kProcessLifetime);
Cache* _parked GUARDED_BY(_parkedLock) = nullptr;

// Onto the owner's list if it has room, else back to malloc.
void keep(Cache* c, Header* h) {
    size_t n = blockBytes(h->cls);
    if (c->bytes + n > kMaxCachedBytes) {
        DRV_UNPOISON(h + 1, payloadBytes(h->cls));
        free(h);
        return;
    }
    link(h) = c->lists[h->cls];
    c->lists[h->cls] = h;
    c->bytes += n;
}

// A block of class cls from the returned ones, sorting those passed over
// into the owner's lists; null when none is left.
Header* takeReturned(Cache* c, uint32_t cls) {
    for (;;) {
        if (c->taken == nullptr) {
            if (c->returned.load(std::memory_order_relaxed) == nullptr) return nullptr;
            c->taken = c->returned.exchange(nullptr, std::memory_order_acquire);
        }
        while (c->taken != nullptr) {
            Header* h = c->taken;
            c->taken = link(h);
            if (h->cls == cls) return h;
            keep(c, h);
        }
    }
}

void empty(Cache* c) {
    takeReturned(c, kUncached);  // no block has that class: sorts them all
    for (Header*& list : c->lists) {
        while (list != nullptr) {
            Header* h = list;
            list = link(h);
            DRV_UNPOISON(h + 1, payloadBytes(h->cls));
            free(h);
        }
    }
    c->bytes = 0;
}

void threadEnded(void* p) {
    auto* c = static_cast<Cache*>(p);
    _mine = nullptr;
    empty(c);
    CriticalSection hold(_parkedLock);
    c->nextParked = _parked;
    _parked = c;
}

void makeKey() {
    _keyMade = pthread_key_create(&_key, threadEnded) == 0;
}

// When this code is unloaded, threads that outlive it must not call back.
struct KeyRelease {
    ~KeyRelease() {
        if (_keyMade) pthread_key_delete(_key);
        _keyMade = false;
    }
} _keyRelease;

Cache* adopt() {
    pthread_once(&_keyOnce, makeKey);
    Cache* c = nullptr;
    {
        CriticalSection hold(_parkedLock);
        c = _parked;
        if (c != nullptr) _parked = c->nextParked;
    }
    // Parked and new caches stay reachable (from the list, from the key)
    // for the leak checker; a cache is never freed.
    if (c == nullptr) c = new Cache();
    c->nextParked = nullptr;
    if (_keyMade) pthread_setspecific(_key, c);
    _mine = c;
    return c;
}

}  // namespace

void* allocate(size_t n) {
    if (n > kMaxCachedBlock) {
        // The header goes in front: a size it cannot be added to would wrap
        // round into a tiny block.
        if (n > SIZE_MAX - sizeof(Header)) return nullptr;
        auto* h = static_cast<Header*>(malloc(sizeof(Header) + n));
        if (h == nullptr) return nullptr;
        h->owner = nullptr;
        h->cls = kUncached;
        return h + 1;
    }
    uint32_t cls = n == 0 ? 0 : static_cast<uint32_t>((n - 1) / kStep);
    Cache* c = _mine != nullptr ? _mine : adopt();
    Header* h = c->lists[cls];
    if (h != nullptr) {
        c->lists[cls] = link(h);
        c->bytes -= blockBytes(cls);
        DRV_UNPOISON(h + 1, payloadBytes(cls));
    } else if ((h = takeReturned(c, cls)) != nullptr) {
        DRV_UNPOISON(h + 1, payloadBytes(cls));
    } else {
        h = static_cast<Header*>(malloc(blockBytes(cls)));
        if (h == nullptr) return nullptr;
    }
    h->owner = c;
    h->cls = cls;
    return h + 1;
}

void release(void* p) {
    if (p == nullptr) return;
    Header* h = static_cast<Header*>(p) - 1;
    Cache* owner = h->owner;
    if (owner == nullptr) {
        free(h);
        return;
    }
    DRV_POISON(reinterpret_cast<unsigned char*>(h + 1) + sizeof(Header*), payloadBytes(h->cls) - sizeof(Header*));
    if (owner == _mine) {
        keep(owner, h);
        return;
    }
    Header* head = owner->returned.load(std::memory_order_relaxed);
    do {
        link(h) = head;
    } while (!owner->returned.compare_exchange_weak(head, h, std::memory_order_release, std::memory_order_relaxed));
}

size_t cachedBytes() {
    return _mine != nullptr ? _mine->bytes : 0;
}

}  // namespace block_cache
