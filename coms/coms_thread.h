// The coms threads' operation targets and the ops they carry, shared by the
// coms files; QueueTarget and QueuedOp also serve other threads whose
// targets see bursts (the directory's execution thread). A target's queue is an
// IntrusiveQueue of QueuedOps under the target's own lock; the ops are the
// poster's: heap ops (owned) are deleted once run, ops embedded in a longer
// lived object (a connection's batch op, a bind on the poster's stack) are
// not.
#ifndef DRV_COMS_COMS_THREAD_H
#define DRV_COMS_COMS_THREAD_H

#include "common/intrusive_queue.h"
#include "common/op_target.h"
#include "common/sem.h"
#include "common/thread_annotations.h"
#include "coms/connection.h"

// An op of the asynchronous coms targets, linked through its own member.
struct QueuedOp : DeferredOp {
    explicit QueuedOp(bool ownedByTarget = true) : owned(ownedByTarget) {}
    QueuedOp* next = nullptr;
    // The target deletes the op after running it.
    bool owned;
};

// What the connection's own targets carry.
struct Connection::Op : QueuedOp {
    enum Kind { CONNECT, OUTGOING, DESTROY, RELEASE };
    Op(Kind k, Connection* c, bool ownedByTarget = true)
        : QueuedOp(ownedByTarget), kind(k), connection(c), event(nullptr) {}
    Kind kind;
    Connection* connection;
    DelayedEvent* event;
};

// An asynchronous target with its own queue: a post costs no allocation and
// no process-wide registry, so a burst of posts stays linear. Thread-safe:
// doExecute from any thread, processQueue on the target's thread.
class QueueTarget : public AsyncOpTarget {
public:
    ~QueueTarget() override;
    int doExecute(DeferredOp* op) override;
    void processQueue() override;

protected:
    IntrusiveQueue<QueuedOp> takeAll();
    // One unit of the count per op taken.
    void finish(int taken);

private:
    CriticalBlock _opLock;
    IntrusiveQueue<QueuedOp> _ops GUARDED_BY(_opLock);
};

#endif
