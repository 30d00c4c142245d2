// The block cache: blocks freed on another thread go back to the thread
// that made them and are handed out again only once freed; a thread's
// cache outlives it; what a thread keeps is bounded.
#include "common/block_cache.h"
#include "common/sem.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <thread>
#include <vector>

namespace {

std::vector<void*> allocateMarked(int count, size_t size) {
    std::vector<void*> blocks;
    for (int i = 0; i < count; i++) {
        void* p = block_cache::allocate(size);
        memset(p, i & 0xFF, size);
        blocks.push_back(p);
    }
    return blocks;
}

TEST(BlockCacheTest, BlocksFreedElsewhereAreReusedOnlyByTheirOwnThreadOnceFreed) {
    const int kCount = 500;
    const size_t kSize = 200;
    std::thread owner([&] {
        std::vector<void*> first = allocateMarked(kCount, kSize);
        // Live blocks are distinct and aligned.
        std::set<void*> firstSet(first.begin(), first.end());
        ASSERT_EQ(firstSet.size(), first.size());
        for (void* p : first) EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);

        // Another thread reads them intact and frees them; it gets none of
        // them back for its own allocations.
        std::thread other([&] {
            for (int i = 0; i < kCount; i++) {
                const unsigned char* b = static_cast<const unsigned char*>(first[i]);
                EXPECT_EQ(b[0], i & 0xFF);
                EXPECT_EQ(b[kSize - 1], i & 0xFF);
            }
            for (void* p : first) block_cache::release(p);
            std::vector<void*> mine = allocateMarked(kCount, kSize);
            for (void* p : mine) EXPECT_EQ(firstSet.count(p), 0u);
            for (void* p : mine) block_cache::release(p);
        });
        other.join();

        // The owner gets the same blocks again, and while the second lot is
        // live a further allocation is none of them.
        std::vector<void*> second = allocateMarked(kCount, kSize);
        std::set<void*> secondSet(second.begin(), second.end());
        EXPECT_EQ(secondSet, firstSet);
        void* extra = block_cache::allocate(kSize);
        EXPECT_EQ(secondSet.count(extra), 0u);
        block_cache::release(extra);
        for (void* p : second) block_cache::release(p);
        EXPECT_GE(block_cache::cachedBytes(), kCount * kSize);
    });
    owner.join();
}

TEST(BlockCacheTest, BlocksOfAThreadThatEndedGoToTheThreadThatAdoptsItsCache) {
    std::vector<void*> blocks;
    std::thread gone([&] { blocks = allocateMarked(50, 1000); });
    gone.join();
    std::set<void*> made(blocks.begin(), blocks.end());
    for (void* p : blocks) block_cache::release(p);
    std::thread next([&] {
        // The ended thread's cache is the one most recently parked.
        void* p = block_cache::allocate(1000);
        EXPECT_EQ(made.count(p), 1u);
        block_cache::release(p);
    });
    next.join();
}

TEST(BlockCacheTest, AThreadKeepsABoundedAmountAndLargeBlocksPassThrough) {
    std::thread t([] {
        std::vector<void*> blocks = allocateMarked(static_cast<int>(block_cache::kMaxCachedBytes / 4096) + 100, 4096);
        for (void* p : blocks) block_cache::release(p);
        EXPECT_LE(block_cache::cachedBytes(), block_cache::kMaxCachedBytes);
        EXPECT_GT(block_cache::cachedBytes(), block_cache::kMaxCachedBytes / 2);
        size_t kept = block_cache::cachedBytes();
        void* large = block_cache::allocate(block_cache::kMaxCachedBlock + 1);
        memset(large, 1, block_cache::kMaxCachedBlock + 1);
        block_cache::release(large);
        EXPECT_EQ(block_cache::cachedBytes(), kept);
    });
    t.join();
}

// A message may be built under any registry's lock, and a thread's first
// allocation takes the parked caches' lock to adopt one: that lock comes
// after every other rank.
TEST(BlockCacheTest, AThreadsFirstAllocationMayComeUnderAnyOtherLock) {
    CriticalBlock innermost(static_cast<LockRank>(LOCK_RANK_PARKED_CACHES - 1));
    std::thread first([&] {
        CriticalSection hold(innermost);
        void* p = block_cache::allocate(100);
        EXPECT_NE(nullptr, p);
        block_cache::release(p);
    });
    first.join();
    EXPECT_EQ(LOCK_RANK_END, LOCK_RANK_PARKED_CACHES + 1);
}

// A size so large that the header no longer fits beside it must be refused,
// not wrapped round into a tiny block.
TEST(BlockCacheTest, ASizeTheHeaderCannotBeAddedToIsRefused) {
    for (size_t n : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - 4, SIZE_MAX - 15}) {
        void* p = block_cache::allocate(n);
        EXPECT_EQ(nullptr, p) << n;
        block_cache::release(p);
    }
}

}  // namespace
