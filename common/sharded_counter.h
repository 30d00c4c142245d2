// ShardedCounter: a process-wide count that several busy threads change
// and that is only now and then read (messages created, requests alive).
// One atomic counter for all would move its cache line between the cores
// on every change; here each thread changes a slot on a line of its own,
// and a read adds the slots up.
//
// Thread-safety: add and load from any thread. Each slot's changes and
// loads are sequentially consistent: a load counts every change that comes
// before it in that order, so a thread that changed the count, then read a
// flag, is counted by a load that follows the flag's change (see
// ExecDirThread's posters). A sum taken while others change the count is
// the count at no single moment, but never misses a thread that is counted
// in all through the load.
#ifndef DRV_COMMON_SHARDED_COUNTER_H
#define DRV_COMMON_SHARDED_COUNTER_H

#include <atomic>

class ShardedCounter {
public:
    constexpr ShardedCounter() = default;
    ShardedCounter(const ShardedCounter&) = delete;
    ShardedCounter& operator=(const ShardedCounter&) = delete;

    void add(long n) { _slots[slotOfThisThread()].value.fetch_add(n); }
    long load() const {
        long sum = 0;
        for (const Slot& s : _slots) sum += s.value.load();
        return sum;
    }

private:
    // More slots than the runtime has busy threads; threads beyond them
    // share slots, which stays correct, only slower.
    static constexpr unsigned kSlots = 64;
    struct alignas(64) Slot {
        std::atomic<long> value{0};
    };

    static unsigned slotOfThisThread() {
        static std::atomic<unsigned> nextSlot{0};
        thread_local unsigned slot = kSlots;
        if (slot == kSlots) slot = nextSlot.fetch_add(1, std::memory_order_relaxed) % kSlots;
        return slot;
    }

    Slot _slots[kSlots];
};

#endif
