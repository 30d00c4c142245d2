// Binding and listening for both kinds of connector, on the first coms
// thread, with the pauses between attempts on a timer.
#include "coms/listen_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/coms_thread.h"
#include "coms/connector.h"

namespace {

// The caller's side of a bind: it waits here until the coms thread is done.
struct Waiter {
    CondBlock block;
    bool done GUARDED_BY(block) = false;
};

struct BindOp : QueuedOp {
    BindOp(ListenSocket::Request* r, Waiter* w) : QueuedOp(false), request(r), waiter(w) {}
    ListenSocket::Request* request;
    Waiter* waiter;  // null when the bind runs on the caller's own thread
};

// One bind from its first attempt to its result, on the first coms thread.
// Owns the retry timer, so it is deleted off the timer's handler.
class BindAttempt final : public EventHandler {
public:
    BindAttempt(ListenSocket::Request* request, Waiter* waiter)
        : _request(request), _waiter(waiter), _socket(-1), _attempt(0), _timer(nullptr) {}
    ~BindAttempt() { delete _timer; }

    // Opens the socket and makes the first attempt. True when the result is
    // in; false while a retry waits on the timer.
    bool start() {
        const ListenSocket::Texts* t = _request->texts;
        if (t->binding != nullptr)
            log(_debug_coms, LOG_INFO, 0, 0, t->binding, _request->name, _request->port, _request->listenQueue);
        _socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (_socket < 0) {
            log(errno, t->noSocket, _request->name);
            return finish(-1);
        }
        if (_request->nonBlocking) s_setnonblocking(_socket);
        int one = 1;
        setsockopt(_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        int number = ListenSocket::lookUpPort(_request->port);
        memset(&_address, 0, sizeof(_address));
        _address.sin_family = AF_INET;
        _address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (number < 0) {
            log(0, t->noService, _request->name);
        } else if (_request->bindAddress != nullptr && inet_pton(AF_INET, _request->bindAddress, &_address.sin_addr) != 1) {
            log(0, "%s: not an IPv4 address to bind to: %s", _request->name, _request->bindAddress);
            number = -1;
        }
        if (number < 0) return finish(-1);
        _address.sin_port = htons(static_cast<uint16_t>(number));
        return step();
    }

    // Runs every attempt in place, pausing between them: for a bind asked on
    // the first coms thread itself, which cannot wait for its own timer.
    int runHere() {
        bool done = start();
        while (!done) {
            usleep(static_cast<useconds_t>(Connector::bindPauseMs()) * 1000);
            done = step();
        }
        return _request->socket >= 0 ? 0 : -1;
    }

    void handleEvent(Event*) override {
        if (!step()) return;
        // The timer is ours and its handler is running: delete later.
        DaemonThread* thread = DaemonThread::getCurrentThread();
        if (thread != nullptr) thread->deleteLater(this, [](void* p) { delete static_cast<BindAttempt*>(p); });
    }

private:
    // One attempt; true when the result is in.
    bool step() {
        const ListenSocket::Texts* t = _request->texts;
        _attempt++;
        if (::bind(_socket, reinterpret_cast<struct sockaddr*>(&_address), sizeof(_address)) != 0) {
            int err = errno;
            bool willRetry = err == EADDRINUSE && _attempt < Connector::bindAttempts();
            if (_request->failed != nullptr) _request->failed(_request->readyArg, err, _attempt, willRetry);
            if (willRetry && _request->wanted != nullptr && !_request->wanted(_request->readyArg)) {
                log(0, "%s: bind given up, the port is no longer wanted", _request->name);
                return finish(-1);
            }
            if (willRetry) {
                log(0, t->retry, _request->name);
                if (_waiter != nullptr) {
                    if (_timer == nullptr) _timer = new TimerEvent(this);
                    _timer->set(Connector::bindPauseMs());
                }
                return false;
            }
            log(err, t->cannotBind, _request->name);
            return finish(-1);
        }
        struct sockaddr_in bound;
        socklen_t len = sizeof(bound);
        if (getsockname(_socket, reinterpret_cast<struct sockaddr*>(&bound), &len) == 0)
            _request->boundPort = ntohs(bound.sin_port);
        if (listen(_socket, _request->listenQueue) != 0) {
            log(errno, t->cannotListen, _request->name);
            return finish(-1);
        }
        if (_request->ready != nullptr && !_request->ready(_request->readyArg, _socket)) {
            _socket = -1;  // the callee closed it
            return finish(-1);
        }
        return finish(0);
    }

    // Hands the result over; the request and the waiter may be gone as soon
    // as the waiter is told.
    bool finish(int rc) {
        if (rc != 0 && _socket >= 0) {
            ::close(_socket);
            _socket = -1;
        }
        _request->socket = _socket;
        if (_waiter != nullptr) {
            CondSection hold(_waiter->block);
            _waiter->done = true;
            _waiter->block.broadcast();
        }
        _request = nullptr;
        _waiter = nullptr;
        return true;
    }

    ListenSocket::Request* _request;
    Waiter* _waiter;
    int _socket;
    int _attempt;
    struct sockaddr_in _address;
    TimerEvent* _timer;
};

class BindOpTarget : public QueueTarget {
public:
    int execute(DeferredOp* op) override {
        auto* b = static_cast<BindOp*>(op);
        auto* attempt = new BindAttempt(b->request, b->waiter);
        if (attempt->start()) delete attempt;
        return 0;
    }
};

}  // namespace

OpTarget* ListenSocket::createOpTarget() {
    return new BindOpTarget();
}

int ListenSocket::bind(Request* request) {
    Connection::comsInit();
    Connection::ComsThreadContext* first = Connection::getComsContext(0);
    if (first == nullptr || first->isCurrentThread()) {
        BindAttempt here(request, nullptr);
        return here.runHere();
    }
    Waiter waiter;
    BindOp op(request, &waiter);
    first->bindTarget->doExecute(&op);
    CondSection hold(waiter.block);
    while (!waiter.done) waiter.block.wait();
    return request->socket >= 0 ? 0 : -1;
}

int ListenSocket::lookUpPort(const char* port) {
    char* end = nullptr;
    long n = strtol(port, &end, 10);
    if (end != port && *end == '\0' && n > 0 && n <= 65535) return static_cast<int>(n);
    if (strcmp(port, "0") == 0) return 0;
    struct servent entry;
    struct servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r(port, "tcp", &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) return -1;
    return ntohs(static_cast<uint16_t>(found->s_port));
}
