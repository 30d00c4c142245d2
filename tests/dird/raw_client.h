// Shared by the directory server's tests: a client connection that keeps
// every message it receives, so that a test can send whatever requests it
// likes (including ones a well-behaved client never sends) and read back
// exactly what the server answered; and a bare TLS client that writes
// whatever bytes a test gives it (frames that lie, or stop half way) and
// reads only when told to.
#ifndef DRV_TESTS_DIRD_RAW_CLIENT_H
#define DRV_TESTS_DIRD_RAW_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "coms/connection.h"
#include "coms/frame.h"
#include "coms/tls.h"
#include "dirbase/message.h"
#include "tests/support/wait_for.h"

namespace dirdtest {

using ::waitFor;

// A client connection that keeps every message it receives.
class RawClient : public ConnectionListener {
public:
    ~RawClient() override {
        if (_c != nullptr) Connection::destroy(_c);
        std::lock_guard<std::mutex> hold(_lock);
        for (Message* m : _received) delete m;
    }
    // 0 once the handshake is complete, else the connection error.
    int connect(int port, X509* cert, EVP_PKEY* key, int type) {
        _c = Connection::create("127.0.0.1", std::to_string(port).c_str(), cert, key, type);
        _c->setListener(this);
        _c->setTypeVersion(2);
        _c->connect();
        std::unique_lock<std::mutex> hold(_lock);
        _changed.wait_for(hold, std::chrono::seconds(20), [&] { return _complete || _error != 0; });
        return _complete ? 0 : (_error != 0 ? _error : -20);
    }
    void send(Message* m) { ASSERT_EQ(0, _c->send(m)); }
    // The next message (of code, when given) within ms; null on time-out.
    std::unique_ptr<Message> next(int code = 0, int ms = 10000) {
        std::unique_lock<std::mutex> hold(_lock);
        std::unique_ptr<Message> found;
        _changed.wait_for(hold, std::chrono::milliseconds(ms), [&] {
            for (auto it = _received.begin(); it != _received.end(); ++it) {
                if (code == 0 || static_cast<int>((*it)->getType()) == code) {
                    found.reset(*it);
                    _received.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // The result (the first value) of the next answer of code; -1 when none comes.
    int32_t result(int code) {
        std::unique_ptr<Message> m = next(code, 20000);
        int32_t r = -1;
        if (m) m->readInt32(&r);
        return r;
    }
    // Whether the connection ended (lost or closed by the server) within ms.
    bool endedWithin(int ms) {
        std::unique_lock<std::mutex> hold(_lock);
        return _changed.wait_for(hold, std::chrono::milliseconds(ms), [&] { return _error != 0; });
    }
    int onReceive(Connection*, Message* m) override {
        std::lock_guard<std::mutex> hold(_lock);
        _received.push_back(m);
        _changed.notify_all();
        return 1;
    }
    void onNoConnect(Connection*, int code) override { fail(code); }
    void onLost(Connection*) override { fail(-10); }
    void onClosed(Connection*) override { fail(-10); }
    void onConnectComplete(Connection*) override {
        std::lock_guard<std::mutex> hold(_lock);
        _complete = true;
        _changed.notify_all();
    }

private:
    void fail(int code) {
        std::lock_guard<std::mutex> hold(_lock);
        _error = code;
        _complete = false;
        _changed.notify_all();
    }
    Connection* _c = nullptr;
    std::mutex _lock;
    std::condition_variable _changed;
    std::deque<Message*> _received;
    bool _complete = false;
    int _error = 0;
};

// A TLS connection on which nothing happens unless the test does it: no
// control items, no heartbeats, no reading behind its back.
class RawTls {
public:
    ~RawTls() { close(); }
    // TCP and TLS only (cert and key may be null); false on failure.
    bool connect(int port, X509* cert, EVP_PKEY* key) {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (_fd < 0 || ::connect(_fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return false;
        _ctx = tlsClientContext("raw-tls");
        if (_ctx == nullptr) return false;
        if (cert != nullptr && (SSL_CTX_use_certificate(_ctx, cert) != 1 || SSL_CTX_use_PrivateKey(_ctx, key) != 1))
            return false;
        _ssl = SSL_new(_ctx);
        SSL_set_fd(_ssl, _fd);
        return SSL_connect(_ssl) == 1;
    }
    bool write(const void* bytes, size_t n) {
        // The shared settings allow partial writes.
        const char* p = static_cast<const char*>(bytes);
        while (n > 0) {
            int w = SSL_write(_ssl, p, static_cast<int>(n));
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }
    // The C_TYPE2 item of a client of type.
    bool announce(int type) {
        unsigned char item[10] = {12, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        putBE32(item + 1, static_cast<uint32_t>(type));
        return write(item, sizeof item);
    }
    // The whole C_MESG frame of m (taken).
    static std::string frame(Message* m) {
        setFrameLength(m);
        std::string bytes;
        for (const MessageBase::_Buffer* b = m->firstBuffer(); b != nullptr; b = b->next)
            bytes.append(reinterpret_cast<const char*>(b->data), b->used);
        delete m;
        return bytes;
    }
    // Reads for at most ms: the bytes that came (decrypted), and whether
    // the server ended the connection.
    std::string read(int ms, bool* ended) {
        std::string got;
        *ended = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            char buf[16384];
            if (SSL_pending(_ssl) == 0) {
                int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline - std::chrono::steady_clock::now())
                                                .count());
                struct pollfd p = {_fd, POLLIN, 0};
                if (left <= 0 || ::poll(&p, 1, left) <= 0) return got;
            }
            int n = SSL_read(_ssl, buf, sizeof buf);
            if (n <= 0) {
                *ended = true;
                return got;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    }
    // Whether the server ended the connection within ms (whatever it sent
    // before).
    bool endedWithin(int ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            bool ended = false;
            read(200, &ended);
            if (ended) return true;
        }
        return false;
    }
    void close() {
        if (_ssl != nullptr) SSL_free(_ssl);
        if (_ctx != nullptr) SSL_CTX_free(_ctx);
        if (_fd >= 0) ::close(_fd);
        _ssl = nullptr;
        _ctx = nullptr;
        _fd = -1;
    }

private:
    int _fd = -1;
    SSL_CTX* _ctx = nullptr;
    SSL* _ssl = nullptr;
};

}  // namespace dirdtest

#endif
