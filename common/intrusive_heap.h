// A 4-ary min-heap of pointers whose elements record their own position,
// so that any element, not only the first, leaves in logarithmic time. The
// event loop keeps its pending timers in one.
//
// Each entry carries its key beside the pointer, so that sifting compares
// within the heap's own array instead of reaching into every element it
// passes (with many timers, those reaches are cache misses). Four children
// per node halve the depth of a binary heap: a sift moves half as many
// entries (each move also writes the moved element's position), and the
// children compared at each level sit side by side in the array.
//   Key: copyable, ordered by operator<; equal keys are not expected.
//   Traits::index(T*): a size_t& to the element's position, kAbsent when
//   the element is in no heap.
// The heap does not own its elements. Not thread-safe: the owner's lock
// guards the heap and the positions together.
#ifndef DRV_COMMON_INTRUSIVE_HEAP_H
#define DRV_COMMON_INTRUSIVE_HEAP_H

#include <stddef.h>

#include <vector>

template <class T, class Key, class Traits>
class IntrusiveHeap {
public:
    static constexpr size_t kAbsent = static_cast<size_t>(-1);

    struct Entry {
        Key key;
        T* item;
    };

    bool empty() const { return _entries.empty(); }
    size_t size() const { return _entries.size(); }
    // The first element and its key; the heap must not be empty for topKey.
    T* top() const { return _entries.empty() ? nullptr : _entries.front().item; }
    const Key& topKey() const { return _entries.front().key; }
    // The entries in heap order, not sorted.
    const std::vector<Entry>& entries() const { return _entries; }

    void push(T* x, const Key& key) {
        _entries.push_back(Entry{key, x});
        siftUp(_entries.size() - 1, Entry{key, x});
    }

    // Gives x, which must be in this heap, a new key: one sift instead of a
    // removal and an insertion.
    void update(T* x, const Key& key) {
        size_t at = Traits::index(x);
        Entry e{key, x};
        if (at > 0 && key < _entries[parentOf(at)].key)
            siftUp(at, e);
        else
            siftDown(at, e);
    }

    // Takes out the first element; null when empty.
    T* pop() {
        if (_entries.empty()) return nullptr;
        T* first = _entries.front().item;
        remove(first);
        return first;
    }

    // x must be in this heap.
    void remove(T* x) {
        size_t at = Traits::index(x);
        Traits::index(x) = kAbsent;
        Entry last = _entries.back();
        _entries.pop_back();
        if (at == _entries.size()) return;  // it was the last entry
        // The last entry fills the hole and moves whichever way it belongs.
        if (at > 0 && last.key < _entries[parentOf(at)].key)
            siftUp(at, last);
        else
            siftDown(at, last);
    }

private:
    static constexpr size_t kArity = 4;
    static size_t parentOf(size_t at) { return (at - 1) / kArity; }

    void place(size_t at, const Entry& e) {
        _entries[at] = e;
        Traits::index(e.item) = at;
    }

    void siftUp(size_t at, const Entry& e) {
        while (at > 0) {
            size_t parent = parentOf(at);
            if (!(e.key < _entries[parent].key)) break;
            place(at, _entries[parent]);
            at = parent;
        }
        place(at, e);
    }

    void siftDown(size_t at, const Entry& e) {
        size_t n = _entries.size();
        for (;;) {
            size_t first = kArity * at + 1;
            if (first >= n) break;
            size_t end = first + kArity < n ? first + kArity : n;
            size_t child = first;
            for (size_t c = first + 1; c < end; c++)
                if (_entries[c].key < _entries[child].key) child = c;
            if (!(_entries[child].key < e.key)) break;
            place(at, _entries[child]);
            at = child;
        }
        place(at, e);
    }

    std::vector<Entry> _entries;
};

#endif
