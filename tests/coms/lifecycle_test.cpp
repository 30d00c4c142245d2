// A connection's life over real TLS: timing negotiation, heartbeats, the lost
// timer, latency probes, the write queue under a slow reader, deferred
// destruction, and what a peer killed in the middle of a frame leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "common/delayed_event.h"
#include "tests/support/bytes.h"
#include "tests/support/log_capture.h"

extern char** environ;

using namespace comstest;

namespace {

// Reads the client's handshake items on a raw server: C_TYPE or C_TYPE2,
// then C_ENABLE_TIMING.
std::string readTypeItems(SSL* ssl, int fd, bool type2) {
    std::string items(type2 ? 11 : 7, '\0');
    if (!sslReadExact(ssl, fd, reinterpret_cast<unsigned char*>(&items[0]), items.size())) return "";
    return Bytes::hex(items.data(), items.size());
}

bool allGone() {
    return waitFor([] { return Connection::liveConnections() == 0; });
}

TEST(Timing, NegotiatedValuesKeepBothSidesAlive) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->setTiming(200, 20);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    Connection* s = server.lastAccepted();
    ASSERT_TRUE(waitFor([&] { return s->getLost() == 200 && s->getHeartbeat() == 20; }));
    EXPECT_TRUE(c->isTimingEnabled());
    EXPECT_TRUE(s->isTimingEnabled());

    // Several lost time-outs pass; heartbeats both ways keep the connection.
    long long before = s->getBytesReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(0, recorder.count(recorder.lost));
    EXPECT_EQ(0, server.recorder.count(server.recorder.lost));
    EXPECT_GT(s->getBytesReceived() - before, 10) << "a heartbeat every 20 ms";
    EXPECT_GT(c->getBytesReceived(), 10);

    // Later timing changes go to the server at once.
    c->setTiming(60000, 10000);
    EXPECT_TRUE(waitFor([&] { return s->getLost() == 60000 && s->getHeartbeat() == 10000; }));
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Timing, ItemsOnTheWireAndLostTimerOfASilentServer) {
    ensurePool();
    std::string items, timing, heartbeats;
    RawTlsServer raw([&](SSL* ssl, int fd, RawTlsServer&) {
        items = readTypeItems(ssl, fd, true);
        sslWriteAll(ssl, "\x07", 1);  // C_ENABLE_TIMING
        std::string t(9, '\0');
        sslReadExact(ssl, fd, reinterpret_cast<unsigned char*>(&t[0]), 9);
        timing = Bytes::hex(t.data(), t.size());
        sslWriteAll(ssl, "\x09\x00\x00\x00\x05", 5);  // C_COMPLETE2, server version 5
        std::string hb(3, '\0');
        sslReadExact(ssl, fd, reinterpret_cast<unsigned char*>(&hb[0]), 3);
        heartbeats = Bytes::hex(hb.data(), hb.size());
        // From here on the server says nothing.
    });
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", raw.port.c_str(), nullptr, nullptr, 7);
    c->setListener(&recorder);
    c->setTypeVersion(2);
    c->setTiming(300, 50);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    EXPECT_EQ(5, c->getServerVersion());
    ASSERT_TRUE(waitFor([&] { return recorder.count(recorder.lost) == 1; }, 3000));
    EXPECT_TRUE(recorder.noConnectCodes().empty());
    EXPECT_FALSE(c->isComplete());
    EXPECT_EQ("0C 00 00 00 07 00 00 00 00 02 07", items);
    EXPECT_EQ("08 00 00 01 2C 00 00 00 32", timing);
    EXPECT_EQ("01 01 01", heartbeats);
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Timing, ServerThatNeverAnswersTheTypeItem) {
    ensurePool();
    RawTlsServer raw([&](SSL* ssl, int fd, RawTlsServer&) {
        readTypeItems(ssl, fd, false);
        sslWriteAll(ssl, "\x07", 1);  // timing only; the type item stays unanswered
    });
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", raw.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->setTiming(200, 50);
    c->connect();
    ASSERT_TRUE(recorder.waitNoConnect(3000));
    EXPECT_EQ(std::vector<int>{COMS_E_HANDSHAKE_TIMEOUT}, recorder.noConnectCodes());
    EXPECT_EQ(0, recorder.count(recorder.lost));
    EXPECT_EQ(0, recorder.count(recorder.completes));
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Timing, LatencyProbesReplaceHeartbeats) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->setTypeVersion(1);
    c->setLatencyProbing(true);
    c->setTiming(5000, 20);
    EXPECT_EQ(-1, c->getLatency());
    EXPECT_EQ(0, c->getDrift());
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    ASSERT_TRUE(waitFor([&] { return c->getLatency() >= 0; }));
    EXPECT_LT(c->getLatency(), 1000);
    EXPECT_LT(c->getDrift(), 1000);
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

// A message that reports its own deletion.
class TrackedMessage : public Message {
public:
    TrackedMessage(int type, std::atomic<int>* deleted) : Message(type), _deleted(deleted) { writeInt32(1); }
    ~TrackedMessage() override { ++*_deleted; }

private:
    std::atomic<int>* _deleted;
};

TEST(Lifecycle, SendBeforeCompletionAndAfterClose) {
    TestServer server;
    Recorder recorder;
    std::atomic<int> deleted{0};
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    EXPECT_EQ(COMS_E_NOT_CONNECTED, c->send(new TrackedMessage(1, &deleted)));
    EXPECT_EQ(1, deleted.load());
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    EXPECT_EQ(0, c->send(new TrackedMessage(1, &deleted)));
    EXPECT_TRUE(waitFor([&] { return deleted.load() == 2; })) << "sent, then deleted by the connection";
    // close() sends C_CLOSE; the server hears onClosed and the socket goes.
    c->close();
    EXPECT_TRUE(waitFor([&] { return server.recorder.count(server.recorder.closed) == 1; }));
    EXPECT_EQ(COMS_E_NOT_CONNECTED, c->send(new TrackedMessage(1, &deleted)));
    EXPECT_EQ(3, deleted.load());
    EXPECT_EQ(nullptr, c->getListener());
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Lifecycle, SendsAndCloseBeforeDestroyStillGoOut) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    for (int i = 0; i < 200; i++) {
        auto* m = new Message(9);
        m->writeInt32(i);
        c->send(m);
    }
    c->close();
    Connection::destroy(c);
    EXPECT_TRUE(waitFor([&] { return server.recorder.count(server.recorder.closed) == 1; }));
    EXPECT_EQ(200u, server.recorder.messageCount());
    EXPECT_EQ(0, server.recorder.count(server.recorder.lost));
    EXPECT_TRUE(allGone());
}

TEST(Lifecycle, DestroyInsideOnReceiveWaitsForTheCallback) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    std::atomic<long> liveAfterDestroy{-1};
    std::atomic<int> calls{0};
    recorder.onMessage = [&](Connection* conn, Message*) {
        if (calls++ > 0) return;
        long live = Connection::liveConnections();
        Connection::destroy(conn);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Still whole: the destroy waits until this callback returns.
        EXPECT_EQ(nullptr, conn->getListener());
        EXPECT_STREQ(("C-127.0.0.1:" + server.port).c_str(), conn->getName());
        liveAfterDestroy = Connection::liveConnections() - live;
    };
    c->setListener(&recorder);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    // Two messages in one batch: the second arrives after destroy and is
    // not delivered.
    auto* m1 = new Message(5);
    m1->writeInt32(1);
    auto* m2 = new Message(5);
    m2->writeInt32(2);
    Connection* s = server.lastAccepted();
    s->send(m1);
    s->send(m2);
    ASSERT_TRUE(waitFor([&] { return liveAfterDestroy.load() != -1; }));
    EXPECT_EQ(0, liveAfterDestroy.load());
    EXPECT_TRUE(allGone()) << "deleted after the callback, and the server side after its loss";
    EXPECT_EQ(1, calls.load());
}

TEST(Lifecycle, DestroyWaitsForTheLastLock) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    c->addLock();
    long live = Connection::liveConnections();
    Connection::destroy(c);
    // The server side ends; the client stays while the lock is held.
    ASSERT_TRUE(waitFor([&] { return Connection::liveConnections() == live - 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(live - 1, Connection::liveConnections());
    EXPECT_EQ(1, c->getLockCount());
    EXPECT_FALSE(c->isComplete());
    c->removeLock();
    EXPECT_TRUE(allGone());
}

TEST(Lifecycle, SlowReaderForcesPartialWritesAndKeepsOrder) {
    ensurePool();
    const int count = 150;
    const size_t block = 32768;
    std::atomic<bool> go{false};
    std::atomic<int> inOrder{0};
    RawTlsServer raw(
        [&](SSL* ssl, int fd, RawTlsServer&) {
            readTypeItems(ssl, fd, false);
            sslWriteAll(ssl, "\x05", 1);  // C_COMPLETE
            while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::string frame;
            for (int i = 0; i < count; i++) {
                unsigned char head[9];
                if (!sslReadExact(ssl, fd, head, 9, 10000) || head[0] != 3) return;
                uint32_t length = getBE32(head + 1);
                std::string body(length, '\0');
                if (!sslReadExact(ssl, fd, reinterpret_cast<unsigned char*>(&body[0]), length, 10000)) return;
                Message m(body.data(), body.size());
                int32_t seq = -1;
                m.readInt32(&seq);
                if (seq != i || getBE32(head + 5) != 42) return;
                inOrder++;
            }
        },
        4096);
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", raw.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    // Large frames queue as they stand in their messages, small ones as
    // copies; both keep their place.
    std::string filler(block, 'x');
    for (int i = 0; i < count; i++) {
        auto* m = new Message(42);
        m->writeInt32(i);
        m->writeBytes(filler.data(), static_cast<uint32_t>(i % 3 == 2 ? 50 : filler.size()));
        ASSERT_EQ(0, c->send(m));
    }
    // Nothing is read yet: the socket pushes back and the rest queues.
    ASSERT_TRUE(waitFor([&] { return c->getQueuedBytes() > 0; }));
    EXPECT_EQ(Connection::SM_WRITE, c->getMode());
    go = true;
    ASSERT_TRUE(waitFor([&] { return raw.done.load(); }, 20000));
    EXPECT_EQ(count, inOrder.load());
    EXPECT_TRUE(waitFor([&] { return c->getQueuedBytes() == 0; }));
    EXPECT_EQ(Connection::SM_READ, c->getMode());
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Lifecycle, DestroyGivesAFullQueueOneHeartbeat) {
    ensurePool();
    LogCapture logs;
    std::atomic<bool> drain{false};
    RawTlsServer raw(
        [&](SSL* ssl, int fd, RawTlsServer& self) {
            readTypeItems(ssl, fd, false);
            sslWriteAll(ssl, "\x07\x05", 2);  // C_ENABLE_TIMING, C_COMPLETE
            while (!drain && !self.stop) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            unsigned char buf[65536];
            while (!self.stop && sslReadExact(ssl, fd, buf, 1, 200)) {
                int n = SSL_read(ssl, buf, sizeof(buf));
                (void)n;
            }
        },
        4096);
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", raw.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->setTiming(5000, 150);
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    ASSERT_TRUE(waitFor([&] { return c->isTimingEnabled(); }));
    std::string filler(65536, 'q');
    for (int i = 0; i < 60; i++) {
        auto* m = new Message(1);
        m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
        c->send(m);
    }
    ASSERT_TRUE(waitFor([&] { return c->getQueuedBytes() > 0; }));
    Connection::destroy(c);
    // The queue gets one heartbeat interval, then the connection goes anyway.
    ASSERT_TRUE(waitFor([&] { return logs.contains("Warning: write queue head is not NULL!!!"); }));
    EXPECT_EQ(1, Connection::liveConnections());
    EXPECT_TRUE(allGone());
    EXPECT_TRUE(logs.contains("Warning: write queue head is still not null after T_HEARTBEAT")) << logs.text();
    drain = true;
}

TEST(Lifecycle, DelayedEventsAreReleasedOnTheComsThread) {
    TestServer server;
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", server.port.c_str(), nullptr, nullptr, 448);
    auto* event = new DelayedEvent();
    long long id = event->getId();
    c->releaseDelayedEvent(event);
    EXPECT_TRUE(waitFor([&] {
        DelayedEvent* found = DelayedEvent::lockById(id);
        if (found == nullptr) return true;
        found->release();
        return false;
    }));
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

TEST(Lifecycle, LongOnLostIsLogged) {
    ensurePool();
    LogCapture logs;
    // The server completes the handshake and closes: the client reads the
    // end of the stream.
    RawTlsServer raw([&](SSL* ssl, int fd, RawTlsServer&) {
        readTypeItems(ssl, fd, false);
        sslWriteAll(ssl, "\x05", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SSL_shutdown(ssl);
        shutdown(fd, SHUT_RDWR);
    });
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", raw.port.c_str(), nullptr, nullptr, 448);
    c->setListener(&recorder);
    recorder.onEnd = [](Connection*) { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    c->connect();
    ASSERT_TRUE(recorder.waitComplete());
    ASSERT_TRUE(waitFor([&] { return recorder.count(recorder.lost) == 1; }));
    EXPECT_TRUE(waitFor([&] { return logs.contains(": LONG onLost: (t = "); })) << logs.text();
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

// The child half of the leak test: a raw client that stops in the middle of
// a frame and waits to be killed.
TEST(ChildSideMidFrame, SendHalfAFrame) {
    const char* port = getenv("DRV_COMS_MIDFRAME_PORT");
    if (port == nullptr) GTEST_SKIP() << "runs as the child of Lifecycle.PeerKilledMidFrameLeavesNothing";
    dravika_init();
    RawTlsClient client(port);
    client.write(Bytes().u8(2).be32(448).u8(0).u8(7).data);
    client.read(1);  // C_COMPLETE
    client.write(Bytes().u8(3).be32(1000).be32(9).u8(6).be32(995).raw("only a part").data);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    _exit(3);
}

TEST(Lifecycle, PeerKilledMidFrameLeavesNothing) {
    TestServer server;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int fds = openDescriptors();
    size_t threads = threadNames().size();

    std::string var = "DRV_COMS_MIDFRAME_PORT=" + server.port;
    std::string filter = "--gtest_filter=ChildSideMidFrame.SendHalfAFrame";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    char* argv[] = {self, const_cast<char*>(filter.c_str()), nullptr};
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; e++) env.push_back(*e);
    env.push_back(const_cast<char*>(var.c_str()));
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, self, &actions, nullptr, argv, env.data()));
    posix_spawn_file_actions_destroy(&actions);

    // The server has the type item and part of the frame.
    bool partial = waitFor([&] {
        Connection* s = server.lastAccepted();
        return s != nullptr && s->getBytesReceived() >= 6 + 1 + 9 + 5 + 11;
    });
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(partial);
    EXPECT_TRUE(WIFSIGNALED(status));

    EXPECT_TRUE(waitFor([&] { return server.recorder.count(server.recorder.lost) == 1; }));
    EXPECT_TRUE(allGone());
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == fds; })) << openDescriptors() << " vs " << fds;
    EXPECT_EQ(threads, threadNames().size());
    EXPECT_EQ(0u, server.recorder.messageCount());
}

}  // namespace
