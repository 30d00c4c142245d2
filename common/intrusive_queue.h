// IntrusiveQueue: the one FIFO of the runtime. Entries carry their own link
// (a `T* next` member), so queueing allocates nothing and an entry can sit in
// at most one queue at a time. The queue owns nothing: whoever pops an entry
// decides its fate.
//
// Not thread-safe: the queue's owner guards it (a CriticalBlock or CondBlock
// beside it, marked GUARDED_BY).
#ifndef DRV_COMMON_INTRUSIVE_QUEUE_H
#define DRV_COMMON_INTRUSIVE_QUEUE_H

#include <cstddef>

template <class T, T* T::*Next = &T::next>
class IntrusiveQueue {
public:
    IntrusiveQueue() = default;
    IntrusiveQueue(const IntrusiveQueue&) = delete;
    IntrusiveQueue& operator=(const IntrusiveQueue&) = delete;
    IntrusiveQueue(IntrusiveQueue&& other) noexcept : _head(other._head), _tail(other._tail) {
        other._head = other._tail = nullptr;
    }

    bool empty() const { return _head == nullptr; }
    T* front() const { return _head; }
    T* back() const { return _tail; }

    void push(T* entry) {
        entry->*Next = nullptr;
        if (_tail != nullptr)
            _tail->*Next = entry;
        else
            _head = entry;
        _tail = entry;
    }

    // The first entry, unlinked; null when empty.
    T* pop() {
        T* entry = _head;
        if (entry != nullptr) {
            _head = entry->*Next;
            if (_head == nullptr) _tail = nullptr;
            entry->*Next = nullptr;
        }
        return entry;
    }

    // Moves every entry out, leaving this queue empty: a consumer swaps the
    // whole batch under its lock and walks it without the lock.
    IntrusiveQueue takeAll() {
        IntrusiveQueue all;
        all._head = _head;
        all._tail = _tail;
        _head = _tail = nullptr;
        return all;
    }

    // The entries of a chain linked newest first (a lock-free stack that a
    // consumer swapped out whole), as a queue oldest first.
    static IntrusiveQueue fromNewestFirst(T* newest) {
        IntrusiveQueue all;
        all._tail = newest;
        while (newest != nullptr) {
            T* older = newest->*Next;
            newest->*Next = all._head;
            all._head = newest;
            newest = older;
        }
        return all;
    }

    // Appends every entry of other (left empty) after this queue's.
    void splice(IntrusiveQueue& other) {
        if (other._head == nullptr) return;
        if (_tail != nullptr)
            _tail->*Next = other._head;
        else
            _head = other._head;
        _tail = other._tail;
        other._head = other._tail = nullptr;
    }

    // Counts by walking; for tests and dumps, not hot paths.
    size_t size() const {
        size_t n = 0;
        for (T* e = _head; e != nullptr; e = e->*Next) ++n;
        return n;
    }

private:
    T* _head = nullptr;
    T* _tail = nullptr;
};

#endif
