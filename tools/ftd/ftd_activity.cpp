// The calling thread's sign of life; see ftd_activity.h.
#include "tools/ftd/ftd_activity.h"

namespace {

thread_local std::atomic<long long>* tlCount = nullptr;

}  // namespace

void ftdSetThreadActivity(std::atomic<long long>* count) {
    tlCount = count;
}

void ftdNoteProgress() {
    if (tlCount != nullptr) tlCount->fetch_add(1, std::memory_order_relaxed);
}
