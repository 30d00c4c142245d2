// LettingGo: a future-result listener that owns its results and lets each
// go from inside onComplete, noting how many completed and the last error
// (0 for a success, -1 before any). For tests of results freed by their
// listener while the directory still holds them.
#ifndef DRV_TESTS_DIR_LETTING_GO_LISTENER_H
#define DRV_TESTS_DIR_LETTING_GO_LISTENER_H

#include <atomic>

#include "dir/future_result.h"

struct LettingGo final : FutureResultListener {
    void onComplete(FutureResult* r) override {
        error = r->failed ? r->error : 0;
        FutureResult::destroy(r);
        completes++;
    }
    void onUpdate(FutureResult*, ExecuteUpdate*) override {}
    std::atomic<int> completes{0}, error{-1};
};

#endif
