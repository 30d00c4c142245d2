// A module for the memory hook tests: loaded with dlopen after reporting
// began, it leaks the blocks it is asked for.
#include <stdlib.h>
#include <string.h>

namespace {

__attribute__((noinline)) void* keepSample(size_t size) {
    void* p = malloc(size);
    memset(p, 's', size);
    asm volatile("" ::: "memory");  // keeps this frame on the stack
    return p;
}

}  // namespace

extern "C" void* moduleCollect(size_t size) {
    void* p = keepSample(size);
    asm volatile("" ::: "memory");
    return p;
}
