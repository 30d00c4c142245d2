// The directory server stopped and deleted while work it started is still
// out: an operation a provider answers later, by request id, must find
// nothing of the server left to touch (run under ASan, a touch is a
// use after free).
#include <sched.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "common/error_codes.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"
#include "tests/dir/stub_spi.h"
#include "tests/dird/raw_client.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/domain_ca.h"

namespace {

using dirdtest::RawClient;
using P = DirProtocol;

// A provider whose operations are lengthy: execute only notes the request
// id, and the test answers it (progress, then the result) when it wants.
class LateProvider : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry*,
                DirectoryObject*& out) override {
        out = nullptr;
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) override {
        std::lock_guard<std::mutex> hold(_mutex);
        _requestId = ExecHelper::runningRequestId();
        _called.notify_all();
        return 0;
    }
    char* toString() const override { return strdup("late provider"); }

    // The id of the request execute was called for; 0 when it was not
    // called within ms.
    long long waitForRequest(int ms) {
        std::unique_lock<std::mutex> hold(_mutex);
        _called.wait_for(hold, std::chrono::milliseconds(ms), [this] { return _requestId != 0; });
        return _requestId;
    }

private:
    std::mutex _mutex;
    std::condition_variable _called;
    long long _requestId = 0;
};

// Waits until the execution thread has run everything posted to it before
// this call: its answer target is drained behind what came earlier.
void drainExecThread() {
    for (int pass = 0; pass < 3; pass++) {
        std::mutex m;
        std::condition_variable cv;
        bool ran = false;
        ExecDirThread::postBehindAttaches([&] {
            std::lock_guard<std::mutex> hold(m);
            ran = true;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> hold(m);
        cv.wait(hold, [&] { return ran; });
    }
}

// Holds the execution thread, as a provider's operation that hangs does,
// until open() (or, should a test go wrong, a minute at most).
class ExecThreadGate {
public:
    ExecThreadGate() : _state(std::make_shared<State>()) {
        auto* held = new std::shared_ptr<State>(_state);
        ExecDirThread::postDeleteLater(held, [](void* p) {
            std::shared_ptr<State> s = *static_cast<std::shared_ptr<State>*>(p);
            delete static_cast<std::shared_ptr<State>*>(p);
            std::unique_lock<std::mutex> hold(s->m);
            s->holding = true;
            s->cv.notify_all();
            s->cv.wait_for(hold, std::chrono::minutes(1), [&] { return s->open; });
            s->released = true;
        });
        std::unique_lock<std::mutex> hold(_state->m);
        _state->cv.wait(hold, [this] { return _state->holding; });
    }
    ~ExecThreadGate() { open(); }
    // Whether the thread is still held; lets it go.
    bool open() {
        std::lock_guard<std::mutex> hold(_state->m);
        bool wasHeld = !_state->released;
        _state->open = true;
        _state->cv.notify_all();
        return wasHeld;
    }

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool holding = false;
        bool open = false;
        bool released = false;
    };
    std::shared_ptr<State> _state;
};

// A started server, a client certificate the domain issued, and a client
// connected with it.
struct Started {
    TempDir tmp;
    DirServer* server = nullptr;
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    RawClient client;
    Principal principal{"1`alice,-`alice,-,Users@stop.example", "stop.example", nullptr, 1};

    void start(DirectorySPI* host, int stopWaitMs) {
        dravika_init();
        DirServerOptions o;
        o.stateDir = tmp.file("state");
        o.domain = "stop.example";
        o.port = "0";
        o.stopWaitMs = stopWaitMs;
        server = new DirServer(o);
        std::string error;
        ASSERT_TRUE(server->start(host, &error)) << error;
        key = DomainCA::generateKey(2048);
        cert = server->state()->ca()->issue("alice", key, "1`alice,-`alice,-,Users@stop.example", 0, 3600);
        ASSERT_NE(nullptr, cert);
        ASSERT_EQ(0, client.connect(server->port(), cert, key, P::kProviderConnectionType));
    }
    void stopAndDelete() {
        server->stop();
        delete server;
        server = nullptr;
    }
    ~Started() {
        if (server != nullptr) stopAndDelete();
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

// The provider answers by the request's id, as a lengthy operation does:
// progress, then the result.
void answerLate(long long requestId) {
    Directory::executeUpdated(requestId, new ExecuteUpdate(1, 0.5, "half way"));
    FutureResult* done = FutureResult::newUnlisted();
    Any* value = new Any();
    value->set("finished");
    done->setResult(value);
    Directory::executeComplete(requestId, done);
}

TEST(DirdStop, OperationAnsweredAfterTheServerIsDeletedTouchesNothingOfIt) {
    LateProvider provider;
    Started s;
    ASSERT_NO_FATAL_FAILURE(s.start(&provider, 10000));
    DirectoryObject object("Xlate", nullptr);
    Any* noArgs[] = {nullptr};
    s.client.send(P::executeRequest(nullptr, 41, &s.principal, &object, "lengthy", noArgs));
    long long requestId = provider.waitForRequest(20000);
    ASSERT_NE(0, requestId) << "the operation never reached the provider";
    s.stopAndDelete();
    answerLate(requestId);
    drainExecThread();
}

// A provider's operation that holds the execution thread does not hold
// stop() for longer than it is told to wait; the request that was queued
// behind it runs once the thread is free, after the server is deleted, and
// finds everything it uses still there.
TEST(DirdStop, StopWaitsForABusyExecutionThreadOnlySoLong) {
    LateProvider provider;
    Started s;
    ASSERT_NO_FATAL_FAILURE(s.start(&provider, 300));
    long long requestId = 0;
    {
        ExecThreadGate gate;
        DirectoryObject object("Xlate", nullptr);
        Any* noArgs[] = {nullptr};
        long long before = s.server->counters()->executesRunning.load();
        s.client.send(P::executeRequest(nullptr, 42, &s.principal, &object, "lengthy", noArgs));
        while (s.server->counters()->executesRunning.load() == before) sched_yield();
        s.stopAndDelete();
        EXPECT_TRUE(gate.open()) << "stop() waited until the execution thread was free";
        requestId = provider.waitForRequest(20000);
    }
    ASSERT_NE(0, requestId) << "the queued operation never reached the provider";
    answerLate(requestId);
    drainExecThread();
}

// A listener open is confirmed from the execution thread once it is
// recorded. When that thread is busy while the server stops, the
// confirmation runs after the server is gone, and must not reach it.
TEST(DirdStop, ListenerConfirmedAfterTheServerIsDeletedTouchesNothingOfIt) {
    LateProvider provider;
    Started s;
    ASSERT_NO_FATAL_FAILURE(s.start(&provider, 10000));
    {
        ExecThreadGate gate;
        DirectoryObject top("Dstop.example", nullptr);
        int err = 0;
        std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("asset:", &err));
        ASSERT_NE(nullptr, filter);
        long long before = s.server->requestsServed.load();
        s.client.send(P::openListenerRequest(nullptr, 7, &s.principal, &top, filter.get(), true));
        // Recorded by a worker, the confirmation queued behind the gate
        // (stop lets a worker finish the request it is handling).
        while (s.server->requestsServed.load() == before) sched_yield();
        s.stopAndDelete();
    }
    drainExecThread();
}

}  // namespace
