// A binary min-heap of pointers whose elements record their own position,
// so that any element, not only the first, leaves in logarithmic time. The
// event loop keeps its pending timers in one.
//
// Order and position come from a traits type:
//   static bool before(const T* a, const T* b);  // a strictly first
//   static size_t& index(T* x);                  // the element's position
// An element not in any heap has the position IntrusiveHeap::kAbsent.
// The heap does not own its elements. Not thread-safe: the owner's lock
// guards the heap and the positions together.
#ifndef DRV_COMMON_INTRUSIVE_HEAP_H
#define DRV_COMMON_INTRUSIVE_HEAP_H

#include <stddef.h>

#include <vector>

template <class T, class Traits>
class IntrusiveHeap {
public:
    static constexpr size_t kAbsent = static_cast<size_t>(-1);

    bool empty() const { return _items.empty(); }
    size_t size() const { return _items.size(); }
    T* top() const { return _items.empty() ? nullptr : _items.front(); }
    // The elements in heap order, not sorted.
    const std::vector<T*>& items() const { return _items; }

    void push(T* x) {
        _items.push_back(x);
        siftUp(_items.size() - 1, x);
    }

    // Takes out the first element; null when empty.
    T* pop() {
        if (_items.empty()) return nullptr;
        T* first = _items.front();
        remove(first);
        return first;
    }

    // x must be in this heap.
    void remove(T* x) {
        size_t at = Traits::index(x);
        Traits::index(x) = kAbsent;
        T* last = _items.back();
        _items.pop_back();
        if (last == x) return;
        // The last element fills the hole and moves whichever way it belongs.
        if (at > 0 && Traits::before(last, _items[(at - 1) / 2]))
            siftUp(at, last);
        else
            siftDown(at, last);
    }

private:
    void place(size_t at, T* x) {
        _items[at] = x;
        Traits::index(x) = at;
    }

    void siftUp(size_t at, T* x) {
        while (at > 0) {
            size_t parent = (at - 1) / 2;
            if (!Traits::before(x, _items[parent])) break;
            place(at, _items[parent]);
            at = parent;
        }
        place(at, x);
    }

    void siftDown(size_t at, T* x) {
        size_t n = _items.size();
        for (;;) {
            size_t child = 2 * at + 1;
            if (child >= n) break;
            if (child + 1 < n && Traits::before(_items[child + 1], _items[child])) child++;
            if (!Traits::before(_items[child], x)) break;
            place(at, _items[child]);
            at = child;
        }
        place(at, x);
    }

    std::vector<T*> _items;
};

#endif
