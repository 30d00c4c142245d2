// Peers that misbehave on purpose, over real TLS on loopback: a frame or a
// stream value that announces far more than it carries costs only what
// arrived, a refused client that keeps sending is still let go, one that
// sends faster than it can be read does not starve the other connections of
// its thread, and a peer that stops reading cannot make the write queue grow
// without end.
#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

// A client written directly on OpenSSL, driven by the test.
class RawTlsClient {
public:
    // A receive buffer of rcvbuf bytes (0: the system's) keeps what the
    // client leaves unread from hiding in its socket.
    explicit RawTlsClient(const std::string& port, int rcvbuf = 0) {
        _ctx = SSL_CTX_new(TLS_client_method());
        fd = connectLoopback(atoi(port.c_str()), rcvbuf);
        ssl = SSL_new(_ctx);
        SSL_set_fd(ssl, fd);
        ok = fd >= 0 && SSL_connect(ssl) == 1;
    }
    ~RawTlsClient() {
        SSL_free(ssl);
        if (fd >= 0) close(fd);
        SSL_CTX_free(_ctx);
    }
    bool write(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            int rv = SSL_write(ssl, bytes.data() + at, static_cast<int>(bytes.size() - at));
            if (rv <= 0) return false;
            at += static_cast<size_t>(rv);
        }
        return true;
    }
    std::string readHex(size_t n, int ms = 5000) {
        std::string bytes(n, '\0');
        return sslReadExact(ssl, fd, &bytes[0], n, ms) ? Bytes::hex(bytes.data(), n) : "";
    }
    // Says what it is and waits for the completion item.
    bool announce(int type = 448) {
        return write(Bytes().u8(C_TYPE).be32(static_cast<uint32_t>(type)).u8(0).data) && readHex(1) == "05";
    }

    SSL* ssl = nullptr;
    int fd = -1;
    bool ok = false;

private:
    SSL_CTX* _ctx;
};

// Sets the write queue bound for one test and puts the old one back.
class QueueLimit {
public:
    explicit QueueLimit(size_t bytes) : _was(Connection::getQueueLimit()) { Connection::setQueueLimit(bytes); }
    ~QueueLimit() { Connection::setQueueLimit(_was); }
    QueueLimit(const QueueLimit&) = delete;
    QueueLimit& operator=(const QueueLimit&) = delete;

private:
    size_t _was;
};

const char kQueueFull[] = "the peer is not reading";

long residentKiB() {
    std::string status = readFile("/proc/self/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

TEST(HostilePeer, AFrameThatAnnouncesMoreThanItCarriesCostsOnlyWhatArrived) {
    TestServer server;
    auto client = std::make_unique<RawTlsClient>(server.port);
    ASSERT_TRUE(client->ok);
    ASSERT_TRUE(client->announce());
    Connection* s = server.lastAccepted();
    ASSERT_NE(nullptr, s);
    // Held as a user on another thread holds a connection.
    s->addLock();
    long before = residentKiB();
    // The largest length a frame may announce, and a few MiB of it.
    ASSERT_TRUE(client->write(Bytes().u8(C_MESG).be32(0x4FFFFFFF).be32(9).data));
    std::string piece(1 << 20, 'x');
    for (int i = 0; i < 4; i++) ASSERT_TRUE(client->write(piece));
    long long want = 6 + 9 + 4 * (1 << 20);
    bool arrived = waitFor([&] { return s->getBytesReceived() >= want; }, 30000);
    long grew = residentKiB() - before;
    s->removeLock();
    ASSERT_TRUE(arrived);
    EXPECT_LT(grew, 64 * 1024) << "KiB resident after 4 MiB of a frame";
    // Giving back the room the frame had reserved takes a while on a
    // sanitizer build.
    client.reset();
    EXPECT_TRUE(waitFor([] { return Connection::liveConnections() == 0; }, 60000));
}

TEST(HostilePeer, ARefusedClientThatKeepsSendingIsStillLetGo) {
    TestServer server;
    server.accept = false;
    RawTlsClient client(server.port);
    ASSERT_TRUE(client.ok);
    std::atomic<bool> stop{false};
    long before = Connection::liveConnections();
    std::thread flood([&] {
        std::string chunk(1 << 16, '\x01');  // heartbeats, endlessly
        client.write(Bytes().u8(C_TYPE).be32(448).u8(0).data);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop && std::chrono::steady_clock::now() < end && client.write(chunk)) {
        }
    });
    // Its refusal goes out and the connection goes, whatever keeps coming.
    bool gone = waitFor([&] { return !server.seenTypes().empty() && Connection::liveConnections() < before; }, 15000);
    stop = true;
    flood.join();
    EXPECT_TRUE(gone);
}

// Heartbeats arrive far faster than they are taken, so the flooded
// connection's socket never runs dry. The connection that shares its coms
// thread (this program runs the default pool of one) still has its
// messages read and answered while the flood goes on.
TEST(HostilePeer, APeerThatSendsWithoutPauseDoesNotStarveItsThread) {
    TestServer server;
    // Made first so that it goes last: its end waits for every connection.
    Client client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    RawTlsClient flooder(server.port);
    ASSERT_TRUE(flooder.ok);
    ASSERT_TRUE(flooder.announce());
    std::atomic<bool> stop{false};
    std::atomic<bool> flooding{false};
    std::thread flood([&] {
        std::string chunk(1 << 16, '\x01');
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
        while (!stop && std::chrono::steady_clock::now() < end && flooder.write(chunk)) flooding = true;
        flooding = false;
    });
    ASSERT_TRUE(waitFor([&] { return flooding.load(); }));
    auto* m = new Message(7);
    m->writeInt32(1);
    ASSERT_EQ(0, client.c->send(m));
    bool answered = client.recorder.waitMessages(1, 20000);
    bool stillFlooding = flooding.load();
    stop = true;
    flood.join();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(stillFlooding) << "the flood ended before the answer came, so it proves nothing";
}

// A kill item is the server's to give: one from a client would let any
// client stop the server's process. It is logged and ignored.
TEST(HostilePeer, AClientCannotKillTheServer) {
    LogCapture logs;
    TestServer server;
    {
        RawTlsClient killer(server.port);
        ASSERT_TRUE(killer.ok);
        ASSERT_TRUE(killer.announce());
        ASSERT_TRUE(killer.write(Bytes().u8(C_KILL).data));
        EXPECT_TRUE(waitFor([&] { return logs.contains("C_KILL from a client ignored"); })) << logs.text();
    }
    Client client("127.0.0.1", server.port);
    EXPECT_TRUE(client.connect());
}

// A server that takes the handshake and then reads nothing: large frames
// queue as the socket pushes back, until the bound ends the connection. Its
// owner hears of it and later sends are refused, instead of 64 MiB piling up.
TEST(HostilePeer, AServerThatStopsReadingEndsTheConnectionAtTheQueueBound) {
    LogCapture logs;
    const size_t limit = 1 << 20;
    QueueLimit bound(limit);
    RawTlsServer raw(4096);
    Client client("127.0.0.1", raw.port);
    greet(client, raw, "\x05");  // C_COMPLETE
    ASSERT_TRUE(waitFor([&] { return client.recorder.completes == 1; }));

    Connection* c = client.c;
    std::string filler(65536, 'f');
    size_t most = 0;
    int accepted = 0;
    // Each send is let through before the next, so that the queue can be
    // watched as it grows.
    for (int i = 0; i < 1024 && c->isComplete(); i++) {
        auto* m = new Message(42);
        m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
        long long before = c->getBytesSent() + static_cast<long long>(c->getQueuedBytes());
        if (c->send(m) != 0) break;
        accepted++;
        ASSERT_TRUE(waitFor(
            [&] {
                return !c->isComplete() ||
                       c->getBytesSent() + static_cast<long long>(c->getQueuedBytes()) >=
                           before + static_cast<long long>(filler.size());
            },
            20000));
        most = std::max(most, c->getQueuedBytes());
    }
    EXPECT_TRUE(waitFor([&] { return client.recorder.lost == 1; }, 20000)) << "queued: " << c->getQueuedBytes();
    EXPECT_LE(most, limit + 2 * filler.size()) << "the queue stops one message past its bound";
    EXPECT_LT(accepted, 1024);
    EXPECT_TRUE(logs.contains(kQueueFull)) << logs.text();
    // The owner hears first; the queue goes with the cleanup that follows.
    EXPECT_TRUE(waitFor([&] { return c->getQueuedBytes() == 0; }));
    auto* late = new Message(42);
    late->writeInt32(1);
    EXPECT_EQ(COMS_E_NOT_CONNECTED, c->send(late));
}

// A client that asks for latency replies without end and reads none: each
// small reply joins the queue of the accepted connection, whose bound ends it.
TEST(HostilePeer, AClientThatAsksForRepliesAndReadsNoneIsLetGoAtTheQueueBound) {
    LogCapture logs;
    QueueLimit bound(256 * 1024);
    TestServer server;
    RawTlsClient client(server.port, 4096);
    ASSERT_TRUE(client.ok);
    ASSERT_TRUE(client.announce());
    long before = Connection::liveConnections();
    ASSERT_GE(before, 1);
    std::string asks;
    for (int i = 0; i < 7000; i++) asks += Bytes().u8(C_GET_LD).be32(10).be32(0).data;
    // Up to 32 MiB of asks, far more replies than any socket holds; the
    // write fails once the server has let go.
    size_t written = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (written < (32u << 20) && std::chrono::steady_clock::now() < end && client.write(asks))
        written += asks.size();
    EXPECT_TRUE(waitFor([&] { return server.recorder.lost >= 1; }, 10000)) << written << " bytes of asks";
    EXPECT_TRUE(waitFor([&] { return Connection::liveConnections() < before; }, 10000));
    EXPECT_TRUE(logs.contains(kQueueFull)) << logs.text();
}

// Sends what it is given on each accepted stream, then closes.
class Teller : public StreamConnectorListener {
public:
    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        StreamConnection s(connector, socket, peer);
        if (s.accept() != 0) return;
        for (const std::string& piece : pieces) s.writeBytes(piece.data(), static_cast<int>(piece.size()));
    }
    std::vector<std::string> pieces;
};

TEST(HostilePeer, AStreamValueThatAnnouncesFourGiBCostsOnlyWhatArrived) {
    dravika_init();
    TestCert& tc = TestCert::get();
    std::string some(4 << 20, 'y');
    for (int tag : {6, 14}) {
        Teller teller;
        teller.pieces = {Bytes().u8(tag).be32(0xFFFFFFFFu).data, some};
        StreamConnector connector(&teller, tc.cert, tc.key);
        connector.setBindAddress("127.0.0.1");
        ASSERT_EQ(0, connector.bind("0"));
        std::string port = std::to_string(connector.getPort());
        StreamConnection client("127.0.0.1", port.c_str(), nullptr, nullptr);
        ASSERT_EQ(0, client.connect());
        long before = residentKiB();
        StreamMessage* in = client.getInMessage();
        char* text = nullptr;
        unsigned char* block = nullptr;
        uint32_t length = 0;
        int rc = tag == 6 ? in->readString(&text) : in->readBytes(&block, &length);
        long grew = residentKiB() - before;
        EXPECT_EQ(MSG_E_INCOMPLETE, rc) << tag;
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(nullptr, block);
        EXPECT_LT(grew, 64 * 1024) << "KiB resident after 4 MiB of a value, tag " << tag;
        client.close();
    }
}

}  // namespace
