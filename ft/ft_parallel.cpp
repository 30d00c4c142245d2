#include "ft/ft_parallel.h"

#include "common/daemon_thread.h"

namespace {

class FtWorkThread : public DaemonThread {
public:
    explicit FtWorkThread(std::function<void()>* fn) : _fn(fn) {
        setName("ft-work");
        setDeleteOnExit(false);
    }
    void run() override {
        setInitialized();
        (*_fn)();
    }

private:
    std::function<void()>* _fn;
};

}  // namespace

FtBesideThread::FtBesideThread(std::function<void()> fn) : _fn(std::move(fn)), _thread(nullptr), _joined(false) {
    DaemonThread* t = new FtWorkThread(&_fn);
    t->start();
    if (t->isStarted()) {
        _thread = t;
    } else {
        delete t;
    }
}

FtBesideThread::~FtBesideThread() {
    join();
}

void FtBesideThread::join() {
    if (_joined) return;
    _joined = true;
    if (_thread == nullptr) {
        _fn();
        return;
    }
    _thread->join();
    delete _thread;
    _thread = nullptr;
}
