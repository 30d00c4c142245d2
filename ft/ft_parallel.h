// Work beside the caller: a short-lived "ft-work" thread runs one function
// while the caller goes on with something else, and join() waits for it.
// Partial updates hash the same bytes in several ways; on two cores they
// need not take turns.
//
// Thread-safety: the function runs on the other thread and must touch only
// what the caller leaves alone until join(); one thread owns the object.
#ifndef DRV_FT_FT_PARALLEL_H
#define DRV_FT_FT_PARALLEL_H

#include <functional>

class DaemonThread;

class FtBesideThread {
public:
    // Starts fn at once (or, when no thread can be made, at join() on the
    // caller).
    explicit FtBesideThread(std::function<void()> fn);
    // Joins when join() was not called.
    ~FtBesideThread();
    FtBesideThread(const FtBesideThread&) = delete;
    FtBesideThread& operator=(const FtBesideThread&) = delete;

    // Returns once fn has returned. Idempotent.
    void join();
    // Whether fn runs on a thread of its own (rather than at join()).
    bool onItsOwnThread() const { return _thread != nullptr; }

private:
    std::function<void()> _fn;
    DaemonThread* _thread;
    bool _joined;
};

#endif
