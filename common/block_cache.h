// BlockCache: small blocks that go back to the thread that allocated them.
//
// A message is typically built on one thread and deleted on another (a
// connection's coms thread, once it is written). Through malloc every such
// pair contends for the building thread's arena and, when a burst drains,
// the arena trims its top and the next burst faults the pages in again.
// Blocks from here carry a small header naming the cache of the thread that
// made them: freed on that thread they go onto its free list for the size;
// freed elsewhere they are pushed (one atomic exchange, no lock) onto that
// cache's return stack, which the owner takes whole the next time its own
// lists run dry. So the memory is freed and reused on the thread that
// allocated it, and a steady sender touches malloc not at all.
//
// Blocks up to kMaxCachedBlock bytes are kept, in 64-byte size steps, up to
// kMaxCachedBytes per thread; beyond that, and for larger blocks, allocate
// and release are malloc and free with the header in front.
//
// Thread-safety: allocate and release may be called from any thread. A
// thread's cache is its own; at its exit the cache is emptied and parked,
// and the next new thread adopts it (blocks still travelling back to it
// then reach the adopter, which may use them as its own).
#ifndef DRV_COMMON_BLOCK_CACHE_H
#define DRV_COMMON_BLOCK_CACHE_H

#include <stddef.h>

namespace block_cache {

// Largest block kept for reuse, and the bytes a thread keeps at most.
const size_t kMaxCachedBlock = 4096;
const size_t kMaxCachedBytes = 16 * 1024 * 1024;

// At least n bytes, 16-byte aligned; null when memory ran out.
void* allocate(size_t n);
// Gives back a block from allocate (null is ignored), on any thread.
void release(void* p);

// Bytes the calling thread holds for reuse, returned blocks not yet taken
// back excluded (tests).
size_t cachedBytes();

}  // namespace block_cache

#endif
