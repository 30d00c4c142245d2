#include "script/stack_limit.h"

#include <pthread.h>

namespace {

const uintptr_t kMinReserve = 64 * 1024;
const uintptr_t kMaxReserve = 1024 * 1024;
// Assumed below the first frame seen when the thread cannot tell its stack.
const uintptr_t kUnknownStack = 256 * 1024;

uintptr_t computeFloor() {
    uintptr_t at = script_stack::here();
    uintptr_t low = 0, size = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t bytes = 0;
        if (pthread_attr_getstack(&attr, &addr, &bytes) == 0) {
            low = reinterpret_cast<uintptr_t>(addr);
            size = bytes;
        }
        pthread_attr_destroy(&attr);
    }
    // Not this thread's stack after all (a coroutine or signal stack, say):
    // assume a modest one below the present frame.
    if (size == 0 || at < low || at - low > size) {
        size = kUnknownStack;
        low = at > size ? at - size : 0;
    }
    uintptr_t reserve = size / 8;
    uintptr_t least = size / 2 < kMinReserve ? size / 2 : kMinReserve;
    if (reserve < least) reserve = least;
    if (reserve > kMaxReserve) reserve = kMaxReserve;
    return low + reserve;
}

}  // namespace

uintptr_t script_stack::floor() {
    static thread_local uintptr_t floor = 0;
    if (floor == 0) floor = computeFloor();
    return floor;
}
