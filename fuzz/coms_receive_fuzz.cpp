// Feeds arbitrary bytes to an accepted connection's receive path: control
// items and message frames, cut into pieces of sizes taken from the input,
// read by the connection from a socket pair on this thread's own loop. The
// first byte picks the server's answers (accept or refuse, whitelist, kill
// switch) and whether a valid type item goes first, so that frames also
// reach a listener. Every connection must be gone again afterwards.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/daemon_thread.h"
#include "common/dravika_init.h"
#include "common/log.h"
#include "common/thread_context.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "dirbase/message.h"

namespace {

// The fuzzing thread, adopted so that connections can live on it.
class FuzzThread : public DaemonThread {
public:
    FuzzThread() {
        setName("fuzz");
        adoptCallingThread();
    }
    void run() override {}
};

class Echo : public ConnectionListener {
public:
    int onReceive(Connection* c, Message* m) override {
        size_t n = 0;
        unsigned char* body = m->copyBytes(&n);
        auto* reply = new Message(static_cast<int>(m->getType()));
        reply->appendBytes(body, n);
        free(body);
        c->send(reply);
        int32_t v;
        m->readInt32(&v);  // whatever the body holds
        return 0;
    }
    void onNoConnect(Connection* c, int) override { Connection::destroy(c); }
    void onLost(Connection* c) override { Connection::destroy(c); }
    void onClosed(Connection* c) override { Connection::destroy(c); }
    void onConnectComplete(Connection*) override {}
};

class Gate : public ConnectorListener {
public:
    bool newConnection(Connection* c, int) override {
        if (!accept) return false;
        c->setListener(&echo);
        return true;
    }
    bool accept = true;
    Echo echo;
};

Connection::ComsThreadContext* _ctx = nullptr;
Connector* _connector = nullptr;
Gate _gate;

void setUp() {
    dravika_init();
    _log_level = LOG_CRITICAL;
    _debug_coms = LOG_CRITICAL + 1;
    auto* thread = new FuzzThread();
    _ctx = new Connection::ComsThreadContext(thread, 0);
    _connector = Connector::create(&_gate, nullptr, nullptr, Connector::FLAG_PLAIN);
}

void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

void pass(int peer) {
    Reactor::run(0);
    drain(peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (_ctx == nullptr) setUp();
    if (size < 2) return 0;
    uint8_t mode = data[0];
    uint8_t cutSeed = data[1];
    data += 2;
    size -= 2;

    _gate.accept = (mode & 1) == 0;
    Connector::setUXWhitelist((mode & 2) != 0 ? "10.0.0.0/8, 192.168.1.1" : nullptr);
    Connector::_killAllClients = (mode & 4) != 0;
    const char* peer = (mode & 8) != 0 ? "172.16.0.1" : "10.1.2.3";

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    _ctx->adjustCount(1);
    Connection::attach(_ctx, _connector, fds[0], peer, true);

    if ((mode & 16) != 0) {
        static const unsigned char hello[] = {12, 0, 0, 1, 0xC0, 0, 0, 0, 0, 2, 7};  // C_TYPE2 448 v2, C_ENABLE_TIMING
        if (write(fds[1], hello, sizeof(hello)) < 0) abort();
        pass(fds[1]);
    }

    // Pieces of 1 to 64 bytes, sizes following the seed.
    size_t at = 0;
    unsigned state = cutSeed | 1u;
    while (at < size) {
        state = state * 1103515245u + 12345u;
        size_t piece = 1 + ((state >> 16) % 64);
        if (piece > size - at) piece = size - at;
        ssize_t w = write(fds[1], data + at, piece);
        if (w < 0 && errno != EAGAIN) break;  // the connection has closed its end
        if (w > 0) at += static_cast<size_t>(w);
        pass(fds[1]);
    }
    close(fds[1]);
    for (int i = 0; i < 100 && Connection::liveConnections() > 0; i++) Reactor::run(0);
    if (Connection::liveConnections() != 0) abort();
    return 0;
}
