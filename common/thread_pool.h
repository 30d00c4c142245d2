// A fixed set of daemon threads taking DeferredOps from one queue in order.
// The concrete pool says what an op means (processOp).
//
// Thread-safety: queue() and stop() from any thread; the job queue and the
// stopping flags are guarded by the pool's block, which is taken alone and
// never held while an op is processed.
#ifndef DRV_COMMON_THREAD_POOL_H
#define DRV_COMMON_THREAD_POOL_H

#include "common/daemon_thread.h"
#include "common/intrusive_queue.h"
#include "common/sem.h"

class DeferredOp;
class ThreadPool;

class ThreadPoolThread : public DaemonThread {
public:
    explicit ThreadPoolThread(ThreadPool* pool);
    // Until the pool stops: its later list, then one job; its later list
    // once more when the pool stops.
    void run() override;

private:
    ThreadPool* _pool;
};

class ThreadPool {
public:
    // Sets "pool-threads" to n and starts n threads named "<name>-<index>".
    ThreadPool(const char* name, int n);
    // Stops the threads if stop() was not called. A concrete pool calls
    // stop() in its own destructor, while processOp is still its own.
    virtual ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Runs on a pool thread, without the pool's lock.
    virtual void processOp(DeferredOp* op) = 0;

    // Appends op; one waiting thread takes it. The pool deletes op once
    // processed, or at once, unprocessed, when the pool is stopping.
    void queue(DeferredOp* op);
    // Waits for a job, processes and deletes it; returns without one once stopping.
    void poolRun();
    // Lets every thread finish its current job and joins them; queued jobs
    // are deleted unprocessed. Idempotent: every caller returns once the
    // threads are joined, a second one by waiting for the first.
    void stop();

    bool isStopping();
    int getThreadCount() const { return _threadCount; }
    ThreadPoolThread* getThread(int i) const { return _threads[i]; }

private:
    struct Job {
        DeferredOp* op;
        Job* next;
    };

    CondBlock _block;
    IntrusiveQueue<Job> _jobs GUARDED_BY(_block);
    bool _stopping GUARDED_BY(_block);
    // The threads are joined and the dropped jobs deleted.
    bool _stopped GUARDED_BY(_block);
    int _threadCount;
    ThreadPoolThread** _threads;
};

#endif
