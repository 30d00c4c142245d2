// How nested values are released and compared without running out of stack.
// A script can nest arrays and objects as deep as it likes, and can make an
// array hold itself; releasing or comparing such a value recurses once per
// level, on whatever thread happens to do it. Both are bounded here, per
// thread, so that no value can overflow the stack.
#include <stdint.h>

#include <unordered_map>
#include <vector>

#include "dirbase/any_internal.h"

namespace {

// Deeper releases wait in a list that the outermost release works off, so
// the stack holds at most this many nested releases at a time.
const int kMaxNestedReleases = 128;
// Deeper comparisons answer "unequal": a value nested this deep has no text
// form either, and comparing it would risk the stack.
const int kMaxCompareDepth = 512;
// Pairs compared in one comparison before it starts remembering pairs: below
// this, remembering would cost more than it saves.
const long kPairsBeforeMemo = 256;

thread_local int _releaseDepth = 0;
thread_local std::vector<Translatable*> _pendingReleases;

struct PairHash {
    size_t operator()(const std::pair<const void*, const void*>& p) const {
        uintptr_t a = reinterpret_cast<uintptr_t>(p.first), b = reinterpret_cast<uintptr_t>(p.second);
        return static_cast<size_t>(a * 0x9E3779B97F4A7C15ULL ^ (b + (a << 6) + (a >> 2)));
    }
};

// The comparison under way on this thread: its depth, how many container
// pairs it compared, and (once there are many) the pairs it has begun, each
// with its answer (true while it is under way).
struct Comparison {
    int depth = 0;
    long pairs = 0;
    std::unordered_map<std::pair<const void*, const void*>, bool, PairHash> begun;
};
thread_local Comparison _comparison;

}  // namespace

void any_internal::deleteNested(Translatable* obj) {
    if (_releaseDepth >= kMaxNestedReleases) {
        _pendingReleases.push_back(obj);
        return;
    }
    _releaseDepth++;
    delete obj;
    if (_releaseDepth == 1) {
        // Each of these may queue more; the list empties as the levels run out.
        while (!_pendingReleases.empty()) {
            Translatable* next = _pendingReleases.back();
            _pendingReleases.pop_back();
            delete next;
        }
    }
    _releaseDepth--;
}

bool any_internal::compareNested(const void* a, const void* b, bool (*compare)(const void*, const void*)) {
    Comparison& c = _comparison;
    if (c.depth >= kMaxCompareDepth) return false;
    // A pair met again answers as it did, and as equal while its first
    // meeting is still under way: any difference is found there. So a value
    // holding itself compares like its unrolled form, and shared parts are
    // compared once.
    bool* answer = nullptr;
    if (++c.pairs > kPairsBeforeMemo) {
        auto met = c.begun.emplace(std::make_pair(a, b), true);
        if (!met.second) return met.first->second;
        answer = &met.first->second;
    }
    c.depth++;
    bool equal = compare(a, b);
    // The map's elements stay where they are while it grows.
    if (answer != nullptr) *answer = equal;
    if (--c.depth == 0) {
        c.pairs = 0;
        c.begun.clear();
    }
    return equal;
}
