// A connection's life over real TLS: timing negotiation, heartbeats, the lost
// timer, latency probes, the write queue under a slow reader, deferred
// destruction, and what a peer killed in the middle of a frame leaves behind.
#include <gtest/gtest.h>
#include <signal.h>

#include "coms/coms_barrier.h"
#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

TEST(Timing, NegotiatedValuesKeepBothSidesAlive) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    Connection* c = client.c;
    // The lost time-out is far above the heartbeat, so that a coms thread a
    // loaded machine holds up for a while does not lose the connection.
    c->setTiming(1000, 20);
    ASSERT_TRUE(client.connect());
    Connection* s = server.lastAccepted();
    ASSERT_TRUE(waitFor([&] { return s->getLost() == 1000 && s->getHeartbeat() == 20; }));
    EXPECT_TRUE(c->isTimingEnabled());
    EXPECT_TRUE(s->isTimingEnabled());

    // Several lost time-outs pass; heartbeats both ways keep the connection.
    long long before = s->getBytesReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(0, client.recorder.lost + server.recorder.lost);
    EXPECT_GT(s->getBytesReceived() - before, 10) << "a heartbeat every 20 ms";
    EXPECT_GT(c->getBytesReceived(), 10);

    // Later timing changes go to the server at once.
    c->setTiming(60000, 10000);
    EXPECT_TRUE(waitFor([&] { return s->getLost() == 60000 && s->getHeartbeat() == 10000; }));

    // Latency probes in place of heartbeats.
    Client prober("127.0.0.1", server.port, 448, 1);
    prober.c->setLatencyProbing(true);
    prober.c->setTiming(5000, 20);
    EXPECT_EQ(-1, prober.c->getLatency());
    ASSERT_TRUE(prober.connect());
    ASSERT_TRUE(waitFor([&] { return prober.c->getLatency() >= 0; }));
    EXPECT_LT(prober.c->getLatency(), 1000);
    EXPECT_LT(prober.c->getDrift(), 1000);
}

// A time-out or interval that cannot be a timer delay (a setting of 0, say)
// leaves the usual one in force: it neither loses the connection at once
// nor sends heartbeats as fast as the loop turns.
TEST(Timing, ValuesThatAreNoDelaysLeaveTheDefaultsInForce) {
    TestServer server;
    Client lostZero("127.0.0.1", server.port);
    lostZero.c->setTiming(0, 10000);
    ASSERT_TRUE(lostZero.connect());
    Client heartbeatZero("127.0.0.1", server.port);
    heartbeatZero.c->setTiming(60000, 0);
    ASSERT_TRUE(heartbeatZero.connect());
    Connection* s = server.lastAccepted();
    ASSERT_TRUE(waitFor([&] { return s->getLost() == 60000; }));
    long long before = s->getBytesReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The default heartbeat (4.5 s) sends nothing in half a second.
    EXPECT_LT(s->getBytesReceived() - before, 10);
    EXPECT_EQ(0, lostZero.recorder.lost + heartbeatZero.recorder.lost);
    EXPECT_TRUE(lostZero.c->isComplete());
}

TEST(Timing, ItemsOnTheWireAndLostTimerOfASilentServer) {
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port, 7, 2);
    // A lost time-out the test's own round trips cannot run into on a
    // loaded machine before the server falls silent on purpose.
    client.c->setTiming(2000, 50);
    client.c->connect();
    ASSERT_TRUE(raw.accept());
    EXPECT_EQ("0C 00 00 00 07 00 00 00 00 02 07", raw.readHex(11));  // C_TYPE2, C_ENABLE_TIMING
    raw.write("\x07");                                               // C_ENABLE_TIMING
    EXPECT_EQ("08 00 00 07 D0 00 00 00 32", raw.readHex(9));
    raw.write(Bytes().u8(9).be32(5).data);  // C_COMPLETE2, server version 5
    EXPECT_EQ("01 01 01", raw.readHex(3));
    // From here on the server says nothing.
    ASSERT_TRUE(client.recorder.completes == 1);
    EXPECT_EQ(5, client.c->getServerVersion());
    ASSERT_TRUE(waitFor([&] { return client.recorder.lost == 1; }, 10000));
    EXPECT_TRUE(client.recorder.noConnectCodes().empty());
    EXPECT_FALSE(client.c->isComplete());
}

// Latency items against a peer written by hand: the client's probe carries
// its send time, which the reply echoes ahead of the replier's time; asked
// itself, the client echoes the 8 bytes it got and adds its own time.
TEST(Timing, LatencyItemsOnTheWire) {
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port, 7, 2);
    client.c->setLatencyProbing(true);
    client.c->setTiming(5000, 50);
    client.c->connect();
    ASSERT_TRUE(raw.accept());
    EXPECT_EQ("0C 00 00 00 07 00 00 00 00 02 07", raw.readHex(11));
    raw.write(Bytes().u8(C_ENABLE_TIMING).u8(C_COMPLETE2).be32(1).data);
    EXPECT_EQ("08 00 00 13 88 00 00 00 32", raw.readHex(9));
    unsigned char probe[9];
    ASSERT_TRUE(sslReadExact(raw.ssl, raw.fd, probe, 9));
    ASSERT_EQ(C_GET_LD, probe[0]) << "a probe in place of the heartbeat";
    uint32_t sec = getBE32(probe + 1);
    EXPECT_LE(std::abs(static_cast<long>(sec) - static_cast<long>(time(nullptr))), 5L);
    // The replier's clock is 10 s behind: the drift shows which time is which.
    std::string echo(reinterpret_cast<char*>(probe + 1), 8);
    raw.write(Bytes().u8(C_LD_REPLY).raw(echo).be32(sec - 10).be32(getBE32(probe + 5)).data);
    ASSERT_TRUE(waitFor([&] { return client.c->getLatency() >= 0; }));
    EXPECT_LT(client.c->getLatency(), 1000);
    EXPECT_NEAR(10000, client.c->getDrift(), 1000);

    raw.write(Bytes().u8(C_GET_LD).be32(10).be32(0).data);
    unsigned char code = 0;
    while (sslReadExact(raw.ssl, raw.fd, &code, 1) && code == C_GET_LD) ASSERT_NE("", raw.readHex(8));
    ASSERT_EQ(C_LD_REPLY, code);
    unsigned char reply[16];
    ASSERT_TRUE(sslReadExact(raw.ssl, raw.fd, reply, 16));
    EXPECT_EQ("00 00 00 0A 00 00 00 00", Bytes::hex(reply, 8));
    EXPECT_LE(std::abs(static_cast<long>(getBE32(reply + 8)) - static_cast<long>(time(nullptr))), 5L);
    EXPECT_LT(getBE32(reply + 12), 1000000u);
}

// Values set on the client wait for the server to enable timing: until then
// the usual lost time-out (20 s) and heartbeat (4.5 s) hold, and nothing
// about them goes on the wire.
TEST(Timing, LocalValuesWaitForTheServerToEnableTiming) {
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port);
    client.c->setTiming(150, 20);
    greet(client, raw, "\x05");  // C_COMPLETE, and no C_ENABLE_TIMING
    ASSERT_TRUE(waitFor([&] { return client.recorder.completes == 1; }));
    EXPECT_EQ("", raw.readHex(1, 700));  // no C_SET_TIMING, no heartbeat
    EXPECT_EQ(0, client.recorder.lost.load());
    EXPECT_TRUE(client.c->isComplete());
}

TEST(Timing, ServerThatNeverAnswersTheTypeItem) {
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port);
    client.c->setTiming(200, 50);
    greet(client, raw, "\x07");  // timing only
    ASSERT_TRUE(client.recorder.waitNoConnect(3000));
    EXPECT_EQ(std::vector<int>{COMS_E_HANDSHAKE_TIMEOUT}, client.recorder.noConnectCodes());
    EXPECT_EQ(0, client.recorder.lost + client.recorder.completes);
}

// A server that says more than once that the handshake is complete does not
// make the client's listener start over: the first completion item counts,
// later ones change nothing, and messages still flow.
TEST(Timing, ARepeatedCompletionItemCompletesOnce) {
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port);
    std::string frame = Bytes().u8(C_MESG).be32(5).be32(224).u8(2).be32(5).data;
    greet(client, raw, std::string("\x05", 1) + Bytes().u8(C_COMPLETE2).be32(7).data + "\x05" + frame);
    ASSERT_TRUE(client.recorder.waitMessages(1));
    EXPECT_EQ(1, client.recorder.completes.load());
    EXPECT_EQ(0, client.c->getServerVersion());
    EXPECT_TRUE(client.c->isComplete());
}

TEST(Lifecycle, SendBeforeCompletionAndAfterClose) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    std::atomic<int> deleted{0};
    EXPECT_EQ(COMS_E_NOT_CONNECTED, client.c->send(new CountedMessage(&deleted)));
    EXPECT_EQ(1, deleted.load());
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(0, client.c->send(new CountedMessage(&deleted)));
    EXPECT_TRUE(waitFor([&] { return deleted == 2; })) << "sent, then deleted by the connection";
    // Messages that the peer would refuse as a frame and drop the connection
    // for (no body, or a type beyond what a frame carries) are dropped alone.
    EXPECT_EQ(0, client.c->send(new Message(7)));
    for (int type : {0x1000000, -1}) {
        auto* m = new Message(type);
        m->writeInt32(1);
        EXPECT_EQ(0, client.c->send(m));
    }
    EXPECT_EQ(0, client.c->send(new CountedMessage(&deleted)));
    EXPECT_TRUE(waitFor([&] { return server.recorder.messageCount() == 2; }));
    EXPECT_EQ(0, server.recorder.lost.load());
    // close() sends C_CLOSE; the server hears onClosed and the socket goes.
    client.c->close();
    EXPECT_TRUE(waitFor([&] { return server.recorder.closed == 1; }));
    EXPECT_EQ(COMS_E_NOT_CONNECTED, client.c->send(new CountedMessage(&deleted)));
    EXPECT_EQ(4, deleted.load());
    EXPECT_EQ(nullptr, client.c->getListener());
}

// Sends, a close and a destroy posted in a row run in that order, even when
// the loop meets them all in one pass.
TEST(Lifecycle, SendsAndCloseBeforeDestroyStillGoOut) {
    TestServer server;
    // Echoes left unread when the client closes would reset the connection
    // and cut the server's reading short.
    server.recorder.echo = false;
    Client client("127.0.0.1", server.port);
    std::atomic<bool> held{false}, posted{false};
    client.recorder.onMessage = [&](Connection*, Message*) {
        held = true;
        while (!posted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_TRUE(client.connect());
    // A message from the server holds the client's coms thread while the
    // test posts.
    auto* hold = new Message(1);
    hold->writeInt32(0);
    server.lastAccepted()->send(hold);
    ASSERT_TRUE(waitFor([&] { return held.load(); }));
    for (int i = 0; i < 200; i++) {
        auto* m = new Message(9);
        m->writeInt32(i);
        client.c->send(m);
    }
    client.c->close();
    Connection::destroy(client.c);
    client.c = nullptr;
    posted = true;
    EXPECT_TRUE(waitFor([&] { return server.recorder.closed == 1; }));
    EXPECT_EQ(200u, server.recorder.messageCount());
    EXPECT_EQ(0, server.recorder.lost.load());
}

TEST(Lifecycle, DestroyInsideOnReceiveWaitsForTheCallback) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    std::atomic<long> liveAfterDestroy{-1};
    std::atomic<int> calls{0};
    client.recorder.onMessage = [&](Connection* conn, Message*) {
        if (calls++ > 0) return;
        long live = Connection::liveConnections();
        Connection::destroy(conn);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Still whole: the destroy waits until this callback returns.
        EXPECT_EQ(nullptr, conn->getListener());
        EXPECT_STREQ(("C-127.0.0.1:" + server.port).c_str(), conn->getName());
        liveAfterDestroy = Connection::liveConnections() - live;
    };
    ASSERT_TRUE(client.connect());
    // Two messages in one batch: the second arrives after destroy and is
    // not delivered.
    Connection* s = server.lastAccepted();
    for (int i = 0; i < 2; i++) {
        auto* m = new Message(5);
        m->writeInt32(i);
        s->send(m);
    }
    ASSERT_TRUE(waitFor([&] { return liveAfterDestroy != -1; }));
    client.c = nullptr;
    EXPECT_EQ(0, liveAfterDestroy.load());
    EXPECT_TRUE(allGone()) << "deleted after the callback, and the server side after its loss";
    EXPECT_EQ(1, calls.load());
}

TEST(Lifecycle, DestroyWaitsForTheLastLock) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    Connection* c = client.c;
    c->addLock();
    long live = Connection::liveConnections();
    Connection::destroy(c);
    client.c = nullptr;
    // The server side ends; the client stays while the lock is held.
    ASSERT_TRUE(waitFor([&] { return Connection::liveConnections() == live - 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(live - 1, Connection::liveConnections());
    EXPECT_EQ(1, c->getLockCount());
    EXPECT_FALSE(c->isComplete());
    c->removeLock();
    EXPECT_TRUE(allGone());
}

// Reads one message frame of type 42 from the raw server: the number at the
// start of its body, or -1.
int readNumberedFrame(RawTlsServer& raw) {
    unsigned char head[9];
    if (!sslReadExact(raw.ssl, raw.fd, head, 9, 10000) || head[0] != 3 || getBE32(head + 5) != 42) return -1;
    std::string body(getBE32(head + 1), '\0');
    if (!sslReadExact(raw.ssl, raw.fd, &body[0], body.size(), 10000)) return -1;
    Message m(body.data(), body.size());
    int32_t seq = -1;
    m.readInt32(&seq);
    return seq;
}

TEST(Lifecycle, SlowReaderForcesPartialWritesAndKeepsOrder) {
    RawTlsServer raw(4096);
    Client client("127.0.0.1", raw.port);
    greet(client, raw, "\x05");  // C_COMPLETE
    ASSERT_TRUE(waitFor([&] { return client.recorder.completes == 1; }));
    // Large frames queue as they stand in their messages, small ones as
    // copies; both keep their place.
    const int count = 150;
    std::string filler(32768, 'x');
    for (int i = 0; i < count; i++) {
        auto* m = new Message(42);
        m->writeInt32(i);
        m->writeBytes(filler.data(), static_cast<uint32_t>(i % 3 == 2 ? 50 : filler.size()));
        ASSERT_EQ(0, client.c->send(m));
    }
    // Nothing is read yet: the socket pushes back and the rest queues.
    ASSERT_TRUE(waitFor([&] { return client.c->getQueuedBytes() > 0; }));
    EXPECT_EQ(Connection::SM_WRITE, client.c->getMode());
    for (int i = 0; i < count; i++) ASSERT_EQ(i, readNumberedFrame(raw)) << "frame " << i;
    EXPECT_TRUE(waitFor([&] { return client.c->getQueuedBytes() == 0; }));
    EXPECT_EQ(Connection::SM_READ, client.c->getMode());
}

// Fills the write queue of a client whose peer reads nothing, then destroys
// it: the destroy waits one heartbeat for the queue.
void destroyWithAFullQueue(Client& client, RawTlsServer& raw, int heartbeatMs, LogCapture& logs) {
    client.c->setTiming(60000, heartbeatMs);
    greet(client, raw, "\x07\x05");  // C_ENABLE_TIMING, C_COMPLETE
    ASSERT_TRUE(waitFor([&] { return client.c->isTimingEnabled() && client.recorder.completes == 1; }));
    std::string filler(65536, 'q');
    for (int i = 0; i < 60; i++) {
        auto* m = new Message(1);
        m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
        client.c->send(m);
    }
    ASSERT_TRUE(waitFor([&] { return client.c->getQueuedBytes() > 0; }));
    Connection::destroy(client.c);
    client.c = nullptr;
    ASSERT_TRUE(waitFor([&] { return logs.contains("Warning: write queue head is not NULL!!!"); }));
}

TEST(Lifecycle, DestroyGivesAFullQueueOneHeartbeat) {
    LogCapture logs;
    RawTlsServer raw(4096);  // which reads nothing after the type items
    Client client("127.0.0.1", raw.port);
    destroyWithAFullQueue(client, raw, 150, logs);
    // The queue gets one heartbeat interval, then the connection goes anyway.
    EXPECT_EQ(1, Connection::liveConnections());
    EXPECT_TRUE(allGone());
    EXPECT_TRUE(logs.contains("Warning: write queue head is still not null after T_HEARTBEAT")) << logs.text();
}

// The round the destroy waits is not the peer's to extend: timing items
// that it keeps sending while reading nothing (each answered, each of which
// restarts the timers of a live connection) leave the destroy where it was.
TEST(Lifecycle, APeerCannotPostponeTheDestroysHeartbeat) {
    LogCapture logs;
    RawTlsServer raw(4096);
    Client client("127.0.0.1", raw.port);
    destroyWithAFullQueue(client, raw, 300, logs);
    ASSERT_EQ(1, Connection::liveConnections());
    bool gone = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!gone && std::chrono::steady_clock::now() < end) {
        raw.write("\x07");  // C_ENABLE_TIMING, which the client answers with C_SET_TIMING
        gone = waitFor([] { return Connection::liveConnections() == 0; }, 100);
    }
    EXPECT_TRUE(gone) << "still there after 10 s of timing items";
    EXPECT_TRUE(logs.contains("Warning: write queue head is still not null after T_HEARTBEAT")) << logs.text();
}

// This process's socket whose peer is the given loopback port, or -1.
int socketConnectedTo(const std::string& port) {
    int found = -1;
    DIR* d = opendir("/proc/self/fd");
    while (struct dirent* e = readdir(d)) {
        int fd = atoi(e->d_name);
        struct sockaddr_in peer = {};
        socklen_t len = sizeof(peer);
        if (e->d_name[0] != '.' && getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == atoi(port.c_str()))
            found = fd;
    }
    closedir(d);
    return found;
}

// Bytes that TLS took but the socket did not are as unsent as queued ones:
// a close and destroy while they wait still gets them, and the close item
// after them, to a peer that reads within the heartbeat.
TEST(Lifecycle, DestroyWaitsForBytesTheSocketHasNotTakenYet) {
    RawTlsServer raw(4096);  // which reads nothing until the destroy
    Client client("127.0.0.1", raw.port);
    greet(client, raw, "\x05");  // C_COMPLETE
    ASSERT_TRUE(waitFor([&] { return client.recorder.completes == 1; }));
    // A small send buffer that stays small: four frames are more than the
    // socket takes, and less than TLS gathers before it pushes back.
    int fd = socketConnectedTo(raw.port);
    ASSERT_GE(fd, 0);
    int small = 4096;
    ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
    const int count = 4;
    std::string filler(16000, 'w');
    for (int i = 0; i < count; i++) {
        auto* m = new Message(42);
        m->writeInt32(i);
        m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
        ASSERT_EQ(0, client.c->send(m));
    }
    client.c->close();
    ASSERT_TRUE(waitFor([&] { return client.c->getMode() == Connection::SM_WRITE; }));
    EXPECT_EQ(0u, client.c->getQueuedBytes());
    Connection::destroy(client.c);
    client.c = nullptr;
    for (int i = 0; i < count; i++) ASSERT_EQ(i, readNumberedFrame(raw)) << "frame " << i;
    EXPECT_EQ("04", raw.readHex(1));  // C_CLOSE
    EXPECT_TRUE(allGone());
}

// The peer goes away while the destroy waits: the connection closes at once,
// and the destroy it was waiting to finish deletes it.
TEST(Lifecycle, APeerLostDuringTheDestroysHeartbeatStillLetsTheConnectionGo) {
    LogCapture logs;
    RawTlsServer raw(4096);
    Client client("127.0.0.1", raw.port);
    destroyWithAFullQueue(client, raw, 3000, logs);
    struct linger reset = {1, 0};
    setsockopt(raw.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    SSL_free(raw.ssl);
    raw.ssl = nullptr;
    close(raw.fd);
    raw.fd = -1;
    EXPECT_TRUE(allGone()) << logs.text();
}

// A barrier travels as a delayed event released on the coms thread, so it
// also shows that such events are released there.
TEST(Lifecycle, ABarrierPassesOnlyOnceTheCallbackUnderWayHasReturned) {
    Client client("127.0.0.1", "1");  // refused: onNoConnect runs on the coms thread
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    client.recorder.onEnd = [&](Connection*) {
        inside = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    client.c->connect();
    ASSERT_TRUE(waitFor([&] { return inside.load(); }));
    client.c->close();
    ComsBarrier barrier(client.c);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(barrier.passed());
    release = true;
    barrier.wait();
    EXPECT_TRUE(barrier.passed());
}

TEST(Lifecycle, LongOnLostIsLogged) {
    LogCapture logs;
    RawTlsServer raw;
    Client client("127.0.0.1", raw.port);
    client.recorder.onEnd = [](Connection*) { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    // The server completes the handshake and closes: the client reads the
    // end of the stream.
    greet(client, raw, "\x05");
    ASSERT_TRUE(waitFor([&] { return client.recorder.completes == 1; }));
    SSL_shutdown(raw.ssl);
    shutdown(raw.fd, SHUT_RDWR);
    ASSERT_TRUE(waitFor([&] { return client.recorder.lost == 1; }));
    EXPECT_TRUE(waitFor([&] { return logs.contains(": LONG onLost: (t = "); })) << logs.text();
}

// The child half of the leak test: a raw client that stops in the middle of
// a frame and waits to be killed.
TEST(ChildSideMidFrame, SendHalfAFrame) {
    const char* port = getenv("DRV_COMS_MIDFRAME_PORT");
    if (port == nullptr) GTEST_SKIP() << "runs as the child of Lifecycle.PeerKilledMidFrameLeavesNothing";
    dravika_init();
    SSL* ssl = SSL_new(SSL_CTX_new(TLS_client_method()));
    int fd = connectLoopback(atoi(port));
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(1, SSL_connect(ssl));
    auto write = [&](const Bytes& b) { SSL_write(ssl, b.c_str(), static_cast<int>(b.size())); };
    write(Bytes().u8(2).be32(448).u8(0).u8(7));
    char complete;
    sslReadExact(ssl, fd, &complete, 1);
    write(Bytes().u8(3).be32(1000).be32(9).u8(6).be32(995).raw("only a part"));
    std::this_thread::sleep_for(std::chrono::seconds(30));
    _exit(3);
}

int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory's own
}

TEST(Lifecycle, PeerKilledMidFrameLeavesNothing) {
    TestServer server;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int fds = openDescriptors();
    size_t threads = threadNames().size();

    pid_t pid = spawnSelf("ChildSideMidFrame.SendHalfAFrame", {"DRV_COMS_MIDFRAME_PORT=" + server.port});
    ASSERT_GT(pid, 0);
    // The server has the type item and part of the frame.
    bool partial = waitFor([&] {
        Connection* s = server.lastAccepted();
        if (s == nullptr) return false;
        // Held as any user of another thread's connection holds it, so that
        // its later deletion on the coms thread comes after this read.
        s->addLock();
        bool arrived = s->getBytesReceived() >= 6 + 1 + 9 + 5 + 11;
        s->removeLock();
        return arrived;
    });
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(partial);
    EXPECT_TRUE(WIFSIGNALED(status));

    EXPECT_TRUE(waitFor([&] { return server.recorder.lost == 1; }));
    EXPECT_TRUE(allGone());
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == fds; })) << openDescriptors() << " vs " << fds;
    EXPECT_EQ(threads, threadNames().size());
    EXPECT_EQ(0u, server.recorder.messageCount());
}

}  // namespace
