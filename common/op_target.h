// Operation targets: objects bound to one thread's event loop to which other
// threads post DeferredOps. OpTarget waits for the result; AsyncOpTarget
// returns at once and deletes the op once it has run.
//
// Thread-safety: any thread but the target's own may post; only the target's
// thread serves the queue. Lock order: a poster builds its entry (whose
// DelayedEvent2 takes that registry's lock) before it takes the queue lock,
// and holds the queue lock while it counts the post on the count event
// (atomic counts, no lock); it wakes the target's loop after releasing it,
// through the loop's ThreadContext taken under the lock, never through the
// target, which its thread may destroy as soon as the lock is released.
// The target's thread fills an entry's result only after releasing the
// queue lock.
#ifndef DRV_COMMON_OP_TARGET_H
#define DRV_COMMON_OP_TARGET_H

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "common/intrusive_queue.h"
#include "common/sem.h"
#include "common/thread_context.h"

class OpTarget;

// A record of the caller's making; the concrete op carries its own data.
class DeferredOp {
public:
    virtual ~DeferredOp() = default;
    // Posts the op to target: target->doExecute(this).
    int execute(OpTarget* target);
};

class OpTarget : public EventHandler {
public:
    // What a synchronous post returns when the target was destroyed before
    // it ran the op.
    static constexpr int kTargetGone = DirError::E_NOT_CONNECTED;

    // Binds the target to the constructing thread, whose loop runs the ops.
    OpTarget();
    // On the target's thread. Posters still waiting for ops it never ran
    // are let go with kTargetGone; the ops stay theirs.
    virtual ~OpTarget();
    OpTarget(const OpTarget&) = delete;
    OpTarget& operator=(const OpTarget&) = delete;

    // The count event's handler: serves the queue.
    void handleEvent(Event* e) override;
    // Runs one op on the target's thread; its result goes back to the poster.
    virtual int execute(DeferredOp* op) = 0;
    // Posts op and waits for execute's result (kTargetGone when the target
    // went first). Never on the target's own thread: it would wait for itself.
    virtual int doExecute(DeferredOp* op);
    // Runs every queued op, then advances the count event's read count once.
    virtual void processQueue();

    CountEvent* getCountEvent() { return &_countEvent; }

protected:
    struct PendingOp {
        explicit PendingOp(DeferredOp* o) : op(o), next(nullptr) {}
        DeferredOp* op;
        DelayedEvent2 result;
        PendingOp* next;
    };

    // Appends the entry and wakes the target's thread.
    void post(PendingOp* entry) EXCLUDES(_queueLock);
    // The first queued entry, or null.
    PendingOp* take() EXCLUDES(_queueLock);

    CriticalBlock _queueLock{LOCK_RANK_OP_QUEUE};
    IntrusiveQueue<PendingOp> _queue GUARDED_BY(_queueLock);
    CountEvent _countEvent;
};

class AsyncOpTarget : public OpTarget {
public:
    // Ops still queued are deleted unrun.
    ~AsyncOpTarget() override;

    // Posts op and returns 0 at once; the target deletes op after execute.
    int doExecute(DeferredOp* op) override;
    void processQueue() override;
};

#endif
