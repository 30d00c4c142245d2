#include "common/op_target.h"

#include <stdint.h>

#include "common/perf_data.h"

int DeferredOp::execute(OpTarget* target) {
    return target->doExecute(this);
}

OpTarget::OpTarget() : _countEvent(this) {}

OpTarget::~OpTarget() {
    // Only synchronous entries are left here (an asynchronous target drops
    // its own first); each poster still waits on its entry.
    while (PendingOp* entry = take()) entry->result.setError(kTargetGone);
}

void OpTarget::handleEvent(Event*) {
    processQueue();
}

void OpTarget::post(PendingOp* entry) {
    ThreadContext* owner;
    {
        CriticalSection hold(_queueLock);
        _queue.push(entry);
        // Counted before the queue lock is released, so that each post's
        // count follows its entry in the same order as the entries.
        _countEvent.countWrite();
        perfIncrement(PC_NP_ADD);
        // Once the lock is released the target's thread may run the op and
        // destroy the target before this poster goes on, so the wake-up must
        // not read the target: it goes through the thread's context, which
        // is never freed.
        owner = _countEvent.getContext();
    }
    // The wake-up follows the release: a loop woken while the poster still
    // held the queue lock would at once block on it in take().
    owner->nudge();
}

OpTarget::PendingOp* OpTarget::take() {
    CriticalSection hold(_queueLock);
    return _queue.pop();
}

int OpTarget::doExecute(DeferredOp* op) {
    // The poster waits until the target has run the op, so the entry can
    // live on the poster's stack.
    PendingOp entry(op);
    post(&entry);
    entry.result.waitResult();
    if (entry.result.isError()) return entry.result.getErrorCode();
    return static_cast<int>(reinterpret_cast<intptr_t>(entry.result.getValue()));
}

void OpTarget::processQueue() {
    while (PendingOp* entry = take()) {
        int rv = execute(entry->op);
        // Wakes the poster, who owns the entry from here on.
        entry->result.setValue(reinterpret_cast<void*>(static_cast<intptr_t>(rv)));
    }
    _countEvent.advanceReadCount();
    perfIncrement(PC_NP_REMOVE);
}

AsyncOpTarget::~AsyncOpTarget() {
    while (PendingOp* entry = take()) {
        delete entry->op;
        delete entry;
    }
}

int AsyncOpTarget::doExecute(DeferredOp* op) {
    post(new PendingOp(op));
    return 0;
}

void AsyncOpTarget::processQueue() {
    while (PendingOp* entry = take()) {
        execute(entry->op);
        delete entry->op;
        delete entry;
    }
    _countEvent.advanceReadCount();
    perfIncrement(PC_NP_REMOVE);
}
