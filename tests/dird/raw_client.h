// Shared by the directory server's tests: a client connection that keeps
// every message it receives, so that a test can send whatever requests it
// likes (including ones a well-behaved client never sends) and read back
// exactly what the server answered.
#ifndef DRV_TESTS_DIRD_RAW_CLIENT_H
#define DRV_TESTS_DIRD_RAW_CLIENT_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "coms/connection.h"
#include "dirbase/message.h"

namespace dirdtest {

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

}  // namespace dirdtest

#endif
