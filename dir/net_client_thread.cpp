// The "dir-client" thread shared by every remote provider: its operation
// target, the providers' connect timers, the live-provider registry, and the
// idle sweep it runs every 15 seconds. Also ProviderLink.
#include <unistd.h>

#include <map>
#include <vector>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/op_target.h"
#include "dir/directory.h"
#include "dir/net_client_internal.h"

namespace {

const int kSliceMillis = 200;
const int kSweepMillis = 15000;

struct FnOp : DeferredOp {
    explicit FnOp(std::function<void()> f) : fn(std::move(f)) {}
    std::function<void()> fn;
};

class FnTarget : public AsyncOpTarget {
public:
    int execute(DeferredOp* op) override {
        static_cast<FnOp*>(op)->fn();
        return 0;
    }
};

// One provider's connect timer; lives on the dir-client thread.
class Pacer final : public EventHandler {
public:
    explicit Pacer(long long serial) : serial(serial), timer(this) {}
    void handleEvent(Event*) override;
    long long serial;
    TimerEvent timer;
};

// Process-wide state that the "dir-client" thread may still touch while the
// process exits: locks that are never torn down, tables never freed.
// Guards the thread pointer and its start and stop.
CriticalBlock _threadLock(LOCK_RANK_NONE, kProcessLifetime);
class ClientThread;
ClientThread* _thread GUARDED_BY(_threadLock) = nullptr;

// Held while an operation or timer runs for a provider (see the header).
CriticalBlock _liveLock(LOCK_RANK_NONE, kProcessLifetime);
std::map<long long, NetClientSPI*>& _live GUARDED_BY(_liveLock) = *new std::map<long long, NetClientSPI*>();
long long _nextSerial GUARDED_BY(_liveLock) = 1;

// Pacers by serial; the dir-client thread alone touches them.
std::map<long long, Pacer*>* _pacers = nullptr;

CriticalBlock _parkLock(LOCK_RANK_NONE, kProcessLifetime);
std::vector<ProviderLink*>& _parked GUARDED_BY(_parkLock) = *new std::vector<ProviderLink*>();

class ClientThread : public DaemonThread {
public:
    ClientThread() : target(nullptr), stop(false) {
        setName("dir-client");
        setDeleteOnExit(false);
    }
    void run() override {
        setName("dir-client");
        _pacers = new std::map<long long, Pacer*>();
        target = new FnTarget();
        ThreadContext::get()->addPerf("dir-client");
        setInitialized();
        int sinceSweep = 0;
        while (!stop.load()) {
            Reactor::run(kSliceMillis);
            processLaterList();
            sinceSweep += kSliceMillis;
            if (sinceSweep >= kSweepMillis && !stop.load()) {
                sinceSweep = 0;
                // testTimeouts: the idle sweep of the provider list.
                Directory::testIdleProviders();
            }
        }
        for (auto& p : *_pacers) delete p.second;
        delete _pacers;
        _pacers = nullptr;
        delete target;
        target = nullptr;
    }
    FnTarget* target;
    std::atomic<bool> stop;
};

// The running thread, started if needed; null when it cannot be started (a
// thread or memory limit), to be tried again by the next caller.
ClientThread* ensureThread() {
    CriticalSection hold(_threadLock);
    if (_thread == nullptr) {
        ClientThread* t = new ClientThread();
        if (t->start() != 0) {
            log(_debug_netclient, LOG_ERROR, 0, 0, "NetClientSPI: unable to start the dir-client thread");
            delete t;
            return nullptr;
        }
        _thread = t;
    }
    return _thread;
}

void Pacer::handleEvent(Event*) {
    CriticalSection hold(_liveLock);
    auto it = _live.find(serial);
    if (it != _live.end()) it->second->handleEvent(&timer);
}

}  // namespace

namespace netclient {

bool runOnClientThread(std::function<void()> fn) {
    ClientThread* t = ensureThread();
    if (t == nullptr) return false;
    if (DaemonThread::getCurrentThread() == t) {
        fn();
        return true;
    }
    FnOp* op = new FnOp(std::move(fn));
    t->target->doExecute(op);
    return true;
}

bool onClientThread() {
    CriticalSection hold(_threadLock);
    return _thread != nullptr && DaemonThread::getCurrentThread() == _thread;
}

bool runFor(long long serial, std::function<void(NetClientSPI*)> fn, std::function<void()> orElse) {
    bool posted = runOnClientThread([serial, fn, orElse]() {
        {
            CriticalSection hold(_liveLock);
            auto it = _live.find(serial);
            if (it != _live.end()) {
                fn(it->second);
                return;
            }
        }
        if (orElse) orElse();
    });
    // Nothing can reach the provider without the thread.
    if (!posted && orElse) orElse();
    return posted;
}

long long enroll(NetClientSPI* spi) {
    ensureThread();
    CriticalSection hold(_liveLock);
    long long serial = _nextSerial++;
    _live[serial] = spi;
    return serial;
}

void withdraw(long long serial) {
    {
        CriticalSection hold(_liveLock);
        _live.erase(serial);
    }
    dropTimer(serial);
}

void setTimer(long long serial, int ms) {
    runOnClientThread([serial, ms]() {
        if (_pacers == nullptr) return;
        Pacer*& p = (*_pacers)[serial];
        if (p == nullptr) p = new Pacer(serial);
        p->timer.set(ms);
    });
}

void dropTimer(long long serial) {
    runOnClientThread([serial]() {
        if (_pacers == nullptr) return;
        auto it = _pacers->find(serial);
        if (it == _pacers->end()) return;
        Pacer* p = it->second;
        _pacers->erase(it);
        // Not from inside its own handler: the timer would be deleted while
        // it runs. Later, on this same thread.
        if (p->timer.isInHandler())
            DaemonThread::getCurrentThread()->deleteLater(p, [](void* x) { delete static_cast<Pacer*>(x); });
        else
            delete p;
    });
}

NetClientSPI* liveProvider(long long serial) {
    CriticalSection hold(_liveLock);
    auto it = _live.find(serial);
    return it != _live.end() ? it->second : nullptr;
}

}  // namespace netclient

void NetClientSPI::stopThread() {
    ClientThread* t;
    {
        CriticalSection hold(_threadLock);
        t = _thread;
        _thread = nullptr;
    }
    if (t != nullptr) {
        t->stop.store(true);
        t->join();
        delete t;
    }
    ProviderLink::freeParked();
}

// ---- ProviderLink --------------------------------------------------------

NetClientSPI* ProviderLink::enter() {
    _busy.fetch_add(1);
    NetClientSPI* spi = _spi.load();
    if (spi == nullptr) leave();
    return spi;
}

void ProviderLink::leave() {
    // Only the forwarder whose decrement leaves nothing but the detach mark
    // touches the link afterwards, and detach waits for exactly that one:
    // it sets _drained under the block and its unlock is its last access.
    if (_busy.fetch_sub(1) != kDetaching + 1) return;
    CondSection hold(_block);
    _drained = true;
    _block.broadcast();
}

void ProviderLink::detach() {
    _spi.store(nullptr);
    // Forwarders that come later read null: their count follows the mark.
    if (_busy.fetch_add(kDetaching) == 0) return;
    CondSection hold(_block);
    while (!_drained) _block.wait();
}

void ProviderLink::park(ProviderLink* link, Connection* closed) {
    if (closed != nullptr) link->_lastCallbacks.emplace(closed);
    CriticalSection hold(_parkLock);
    _parked.push_back(link);
}

void ProviderLink::freeParked() {
    std::vector<ProviderLink*> gone;
    {
        CriticalSection hold(_parkLock);
        gone.swap(_parked);
    }
    for (ProviderLink* l : gone) {
        if (l->_lastCallbacks) l->_lastCallbacks->wait();
        delete l;
    }
}

int ProviderLink::onReceive(Connection* c, Message* m) {
    NetClientSPI* s = enter();
    if (s == nullptr) return 0;
    int rv = s->onReceive(c, m);
    leave();
    return rv;
}

void ProviderLink::onNoConnect(Connection* c, int code) {
    if (NetClientSPI* s = enter()) {
        s->onNoConnect(c, code);
        leave();
    }
}

void ProviderLink::onLost(Connection* c) {
    if (NetClientSPI* s = enter()) {
        s->onLost(c);
        leave();
    }
}

void ProviderLink::onClosed(Connection* c) {
    if (NetClientSPI* s = enter()) {
        s->onClosed(c);
        leave();
    }
}

void ProviderLink::onConnectComplete(Connection* c) {
    if (NetClientSPI* s = enter()) {
        s->onConnectComplete(c);
        leave();
    }
}

void ProviderLink::onResolveComplete(Connection* c, int error, int address) {
    if (NetClientSPI* s = enter()) {
        s->onResolveComplete(c, error, address);
        leave();
    }
}
