// The coms threads' operation targets and the ops they carry, shared by the
// coms files; QueueTarget and QueuedOp also serve other threads whose
// targets see bursts (the directory's execution thread). A target's queue is a
// stack of QueuedOps that posters push onto without a lock and the target's
// thread takes whole, oldest first; the ops are the poster's: heap ops
// (owned) are deleted once run, ops embedded in a longer lived object (a
// connection's batch op, a bind on the poster's stack) are not.
#ifndef DRV_COMS_COMS_THREAD_H
#define DRV_COMS_COMS_THREAD_H

#include <atomic>

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
    enum Kind { CONNECT, OUTGOING, DESTROY, RELEASE, READ_TURN };
    Op(Kind k, Connection* c, bool ownedByTarget = true)
        : QueuedOp(ownedByTarget), kind(k), connection(c), event(nullptr) {}
    Kind kind;
    Connection* connection;
    DelayedEvent* event;
};

// An asynchronous target with its own queue: a post costs no allocation, no
// process-wide registry and no lock, so a burst of posts stays linear and a
// poster never waits for the target's thread. Thread-safe: doExecute from
// any thread, processQueue on the target's thread.
class QueueTarget : public AsyncOpTarget {
public:
    ~QueueTarget() override;
    int doExecute(DeferredOp* op) override;
    void processQueue() override;

protected:
    // Every op posted so far, in the order of their posts.
    IntrusiveQueue<QueuedOp> takeAll();
    // One unit of the count per op taken.
    void finish(int taken);

private:
    // Posted ops, newest first, linked through their `next`: a poster links
    // its op to the head it read and swaps it in (a release), the target's
    // thread swaps the whole stack out (an acquire) and takes it oldest first.
    std::atomic<QueuedOp*> _posted{nullptr};
};

#endif
