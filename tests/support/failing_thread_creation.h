// Thread creation that fails on request, as under a thread or memory limit.
// Include it in exactly one file of a test program linked with
// -Wl,--wrap=pthread_create; setting _failThreadCreation makes every
// pthread_create of the process fail with EAGAIN until it is cleared.
#ifndef DRV_TESTS_SUPPORT_FAILING_THREAD_CREATION_H
#define DRV_TESTS_SUPPORT_FAILING_THREAD_CREATION_H

#include <errno.h>
#include <pthread.h>

#include <atomic>

static std::atomic<bool> _failThreadCreation{false};
extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    if (_failThreadCreation) return EAGAIN;
    return __real_pthread_create(thread, attr, fn, arg);
}

#endif
