#include "common/thread_pool.h"

#include <stdio.h>

#include "common/op_target.h"
#include "common/perf_data.h"

ThreadPoolThread::ThreadPoolThread(ThreadPool* pool) : _pool(pool) {}

void ThreadPoolThread::run() {
    setInitialized();
    while (!_pool->isStopping()) {
        processLaterList();
        _pool->poolRun();
    }
    // What was handed over while the thread waited for a job dies here, on
    // its own thread: the pool destroys the thread object on the stopping one.
    processLaterList();
}

ThreadPool::ThreadPool(const char* name, int n)
    : _stopping(false), _stopped(false), _threadCount(n > 0 ? n : 0), _threads(nullptr) {
    perfSet(PC_POOL_THREADS, n);
    _threads = new ThreadPoolThread*[_threadCount > 0 ? _threadCount : 1];
    for (int i = 0; i < _threadCount; i++) {
        char threadName[DaemonThread::kNameLength + 1];
        snprintf(threadName, sizeof(threadName), "%s-%d", name, i);
        _threads[i] = new ThreadPoolThread(this);
        _threads[i]->setName(threadName);
        // The pool joins its threads when it stops.
        _threads[i]->setDeleteOnExit(false);
        _threads[i]->start();
    }
}

ThreadPool::~ThreadPool() {
    stop();
    delete[] _threads;
}

bool ThreadPool::isStopping() {
    CondSection hold(_block);
    return _stopping;
}

void ThreadPool::queue(DeferredOp* op) {
    Job* job = new Job{op, nullptr};
    {
        CondSection hold(_block);
        if (!_stopping) {
            _jobs.push(job);
            perfIncrement(PC_TP_Q_ADD);
            _block.signal();
            return;
        }
    }
    // Once stopping, no thread takes jobs any more and stop() has already
    // dropped the queue: the job goes the way of the ones it dropped.
    delete job->op;
    delete job;
}

void ThreadPool::poolRun() {
    Job* job;
    {
        CondSection hold(_block);
        while (_jobs.empty() && !_stopping) _block.wait();
        job = _jobs.pop();
        if (job == nullptr) return;
        perfIncrement(PC_TP_Q_REMOVE);
    }
    processOp(job->op);
    delete job->op;
    delete job;
}

void ThreadPool::stop() {
    IntrusiveQueue<Job> unprocessed;
    {
        CondSection hold(_block);
        if (_stopping) {
            // Another caller is joining the threads: returning before it has
            // would let this caller (the destructor, say) free them under it.
            while (!_stopped) _block.wait();
            return;
        }
        _stopping = true;
        unprocessed.splice(_jobs);
        _block.broadcast();
    }
    for (int i = 0; i < _threadCount; i++) {
        if (_threads[i]->isStarted()) _threads[i]->join();
        delete _threads[i];
    }
    _threadCount = 0;
    while (Job* job = unprocessed.pop()) {
        delete job->op;
        delete job;
    }
    // The last touch of the pool: a waiting caller may destroy it next.
    CondSection hold(_block);
    _stopped = true;
    _block.broadcast();
}
