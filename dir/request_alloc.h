// RequestAlloc: a base that places the objects of one execute request in the
// allocating thread's block cache (common/block_cache.h).
//
// A request is built on the caller's thread and freed on the execution
// thread; its reply is built on a connection's thread and freed there too.
// Through malloc each such pair contends for the building thread's arena
// (with 64 requests outstanding that was a lock hand-over per object and
// most of the futex calls of a round trip); through the block cache the
// memory goes back to the thread that made it without a lock.
//
// Thread-safety: as block_cache: new and delete on any thread.
#ifndef DRV_DIR_REQUEST_ALLOC_H
#define DRV_DIR_REQUEST_ALLOC_H

#include <stddef.h>

#include <new>

#include "common/block_cache.h"

struct RequestAlloc {
    static void* operator new(size_t n) {
        void* p = block_cache::allocate(n);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    static void operator delete(void* p) { block_cache::release(p); }
};

#endif
