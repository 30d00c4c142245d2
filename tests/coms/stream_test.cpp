// The blocking stream variant: the flow limit's budget slice by slice, and
// stream messages over a StreamConnector and StreamConnection on loopback.
#include <math.h>
#include <sys/mman.h>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "tests/coms/coms_support.h"
#include "tests/support/full_listener.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

// A clock that moves only when told to, or when the pacer sleeps.
long long _fakeNow = 0;
std::vector<long long> _sleeps;
long long fakeNow() {
    return _fakeNow;
}
void fakeSleep(long long ms) {
    _sleeps.push_back(ms);
    _fakeNow += ms;
}

FlowPacer fakePacer(double rate) {
    FlowPacer p;
    p.nowMs = fakeNow;
    p.sleepMs = fakeSleep;
    p.setRate(rate);
    _sleeps.clear();
    return p;
}

TEST(FlowPacer, BudgetPerSlice) {
    FlowPacer unlimited = fakePacer(0);
    EXPECT_FALSE(unlimited.isLimited());
    EXPECT_EQ(123456u, unlimited.take(123456));
    EXPECT_DOUBLE_EQ(100.0, fakePacer(-50).perSlice());  // a negative product gives 100
    // Rates no budget could hold are no limit either.
    for (double huge : {1e300, HUGE_VAL, static_cast<double>(NAN)}) {
        FlowPacer beyond = fakePacer(huge);
        EXPECT_FALSE(beyond.isLimited()) << huge;
        EXPECT_EQ(123456u, beyond.take(123456)) << huge;
    }

    _fakeNow = 1050;
    FlowPacer p = fakePacer(8);  // 8 kbit/s: 1 byte per ms
    EXPECT_EQ(99u, p.take(1000)) << "the first budget: 100 - 0.99999, rounded toward zero";
    // Spent: wait for the boundary 100 ms after the recorded start.
    EXPECT_EQ(60u, p.take(60));
    EXPECT_EQ(1150, _fakeNow);
    EXPECT_EQ(39u, p.take(40));
    // The clock went back within the recorded slice: a wait longer than a
    // slice is cut to 500 ms.
    LogCapture logs;
    _fakeNow = 1120;
    EXPECT_EQ(99u, p.take(10000));
    EXPECT_EQ((std::vector<long long>{100, 500}), _sleeps);
    EXPECT_TRUE(logs.contains("StreamMessage: Woah, delay greather than resolution: 130")) << logs.text();
    // A new slice by the clock renews the budget without sleeping.
    _fakeNow = 2000;
    EXPECT_EQ(99u, p.take(500));
    EXPECT_EQ(2u, _sleeps.size());
}

// Serves one stream client: reads an int, a string and a block, answers
// with their sizes.
class Echo : public StreamConnectorListener {
public:
    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        threadName = DaemonThread::getCurrentThread() != nullptr ? DaemonThread::getCurrentThread()->getName() : "";
        StreamConnection s(connector, socket, peer);
        name = s.getName();
        if (s.accept() != 0) return;
        StreamMessage* in = s.getInMessage();
        int32_t n = 0;
        char* text = nullptr;
        unsigned char* block = nullptr;
        uint32_t length = 0;
        in->readInt32(&n);
        in->readString(&text);
        in->readBytes(&block, &length);
        bool pattern = true;
        for (uint32_t i = 0; i < length && block != nullptr; i++)
            pattern = pattern && block[i] == static_cast<unsigned char>(i * 7);
        StreamMessage* out = s.getOutMessage();
        out->writeInt32(n + 1);
        out->writeString(text);
        out->writeInt32(static_cast<int32_t>(length));
        out->writeBool(pattern);
        free(text);
        free(block);
        // Wait for the client to finish reading.
        in->readInt32(&n);
    }
    std::string name;
    std::string threadName;
};

TEST(StreamConnection, MessagesBothWaysOverTlsAndPaced) {
    dravika_init();
    Echo echo;
    TestCert& tc = TestCert::get();
    auto hasListenThread = [] {
        std::vector<std::string> names = threadNames();
        return std::find(names.begin(), names.end(), "ft-listen") != names.end();
    };
    {
        StreamConnector connector(&echo, tc.cert, tc.key);
        connector.setBindAddress("127.0.0.1");
        ASSERT_EQ(0, connector.bind("0"));
        EXPECT_TRUE(hasListenThread());
        std::string port = std::to_string(connector.getPort());

        StreamConnection client("127.0.0.1", port.c_str(), nullptr, nullptr, 100);
        EXPECT_EQ(100, client.getConnectValue());
        ASSERT_EQ(0, client.connect());
        ASSERT_NE(nullptr, client.getPeerCertificate());
        std::string block(100000, '\0');
        for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i * 7);
        StreamMessage* out = client.getOutMessage();
        out->writeInt32(41);
        out->writeString("over the stream");
        out->writeBytes(block.data(), static_cast<uint32_t>(block.size()));
        StreamMessage* in = client.getInMessage();
        int32_t n = 0, length = 0;
        char* text = nullptr;
        bool pattern = false;
        EXPECT_EQ(0, in->readInt32(&n));
        EXPECT_EQ(0, in->readString(&text));
        EXPECT_EQ(0, in->readInt32(&length));
        EXPECT_EQ(0, in->readBool(&pattern));
        EXPECT_EQ(42, n);
        EXPECT_STREQ("over the stream", text);
        EXPECT_EQ(100000, length);
        EXPECT_TRUE(pattern);
        free(text);
        out->writeInt32(0);
        client.close();
        // Nothing more comes: the next read fails without hanging.
        EXPECT_NE(0, in->readInt32(&n));

        // With a flow limit the writes wait for their slices.
        StreamConnection paced("127.0.0.1", port.c_str(), nullptr, nullptr);
        ASSERT_EQ(0, paced.connect());
        out = paced.getOutMessage();
        out->getPacer()->nowMs = fakeNow;
        out->getPacer()->sleepMs = fakeSleep;
        _fakeNow = 0;
        _sleeps.clear();
        out->setFlowLimit(8);  // 99 bytes per slice
        out->writeInt32(1);
        out->writeString(std::string(995, 'a').c_str());  // 5 + 5 + 995 bytes in all
        out->writeBytes(block.data(), 0);
        out->setFlowLimit(0);
        EXPECT_EQ(10u, _sleeps.size()) << "1010 bytes at 99 a slice take 11 slices";
        EXPECT_EQ(0, paced.getInMessage()->readInt32(&n));
        EXPECT_EQ(2, n);
        out->writeInt32(0);

        // A block larger than one write can carry goes in several: one of
        // 4 GiB and 4 bytes is not cut to its 4 low bytes and reported
        // written. The server goes away after a few bytes, so it cannot all
        // arrive. Zero pages, read but never written, cost no memory.
        StreamConnection huge("127.0.0.1", port.c_str(), nullptr, nullptr);
        ASSERT_EQ(0, huge.connect());
        const size_t size = (size_t{1} << 32) + 4;
        void* block4g = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(MAP_FAILED, block4g);
        EXPECT_NE(0, huge.getOutMessage()->appendBytes(block4g, size));
        EXPECT_GT(huge.bytesWritten(), 4);
        munmap(block4g, size);
    }
    EXPECT_EQ("S-127.0.0.1", echo.name);
    EXPECT_EQ("ft-listen", echo.threadName);
    EXPECT_FALSE(hasListenThread()) << "the listen thread ends with its connector";
}

// A client may connect again, closed first or not: each connect starts
// afresh and lets go of what the one before held (the sanitizer builds'
// leak check sees a session or context left behind).
TEST(StreamConnection, ConnectingAgainStartsAfresh) {
    dravika_init();
    Echo echo;
    TestCert& tc = TestCert::get();
    StreamConnector connector(&echo, tc.cert, tc.key);
    connector.setBindAddress("127.0.0.1");
    ASSERT_EQ(0, connector.bind("0"));
    std::string port = std::to_string(connector.getPort());
    StreamConnection client("127.0.0.1", port.c_str(), nullptr, nullptr);
    const char block[] = {0, 7, 14};
    for (int round = 0; round < 3; round++) {
        if (round == 1) client.close();
        ASSERT_EQ(0, client.connect()) << round;
        StreamMessage* out = client.getOutMessage();
        out->writeInt32(round);
        out->writeString("again");
        out->writeBytes(block, sizeof block);
        int32_t n = -1, length = -1;
        char* text = nullptr;
        bool pattern = false;
        StreamMessage* in = client.getInMessage();
        EXPECT_EQ(0, in->readInt32(&n));
        EXPECT_EQ(0, in->readString(&text));
        EXPECT_EQ(0, in->readInt32(&length));
        EXPECT_EQ(0, in->readBool(&pattern));
        EXPECT_EQ(round + 1, n);
        EXPECT_STREQ("again", text);
        EXPECT_EQ(3, length);
        EXPECT_TRUE(pattern);
        free(text);
        // Ends the server's side of this session.
        out->writeInt32(0);
    }
}

TEST(StreamConnection, BindAndConnectFailures) {
    dravika_init();
    LogCapture logs;
    Echo echo;
    TestCert& tc = TestCert::get();
    {
        StreamConnector connector(&echo, tc.cert, tc.key);
        EXPECT_EQ(-1, connector.bind("no-such-service-here"));
        EXPECT_TRUE(logs.contains("X-no-such-service-here: getservbyname() failed."));
    }
    // A port in use: retried, then given up.
    int p = 0;
    int holder = loopbackSocket(&p);
    listen(holder, 1);
    std::string port = std::to_string(p);
    Connector::setBindRetry(2, 10);
    {
        StreamConnector connector(&echo, tc.cert, tc.key);
        connector.setBindAddress("127.0.0.1");
        EXPECT_EQ(-1, connector.bind(port.c_str()));
        EXPECT_TRUE(logs.contains("X-" + port + ": Socket still in use... Will retry"));
        EXPECT_TRUE(logs.contains("X-" + port + ": Unable to bind() to port"));
    }
    Connector::setBindRetry(20, 4000);
    close(holder);  // nobody listens there now

    StreamConnection refused("127.0.0.1", port.c_str(), nullptr, nullptr);
    EXPECT_EQ(COMS_E_CONNECT, refused.connect());
    StreamConnection noService("127.0.0.1", "no-such-service-here", nullptr, nullptr);
    EXPECT_EQ(COMS_E_NO_SERVICE, noService.connect());
    EXPECT_TRUE(logs.contains("Stream connect() unable to lookup service 'no-such-service-here'"));
    // A certificate the library will not use, or a key that does not fit
    // it, ends the connect before the handshake.
    OwnedCert weak;
    ASSERT_EQ(0, weak.makeWeak());
    std::string listening;
    int peer = listenOnLoopback(4, &listening);
    ASSERT_GE(peer, 0);
    StreamConnection weakCert("127.0.0.1", listening.c_str(), weak.cert, weak.key);
    EXPECT_EQ(COMS_E_CERTIFICATE, weakCert.connect());
    EXPECT_TRUE(logs.contains("Stream connect() Unable to assign connect certificate\n"));
    StreamConnection wrongKey("127.0.0.1", listening.c_str(), tc.cert, weak.key);
    EXPECT_EQ(COMS_E_KEY, wrongKey.connect());
    EXPECT_TRUE(logs.contains("Stream connect() Unable to assign private key\n"));
    close(peer);
    // Reading and writing without a connection fail at once.
    char buffer[4];
    EXPECT_EQ(COMS_E_NOT_CONNECTED, refused.read(buffer, 4));
    EXPECT_EQ(COMS_E_NOT_CONNECTED, refused.writeBytes(buffer, 4));
    int32_t v;
    EXPECT_NE(0, refused.getInMessage()->readInt32(&v));
    EXPECT_EQ(MSG_E_WRITE_SHORT, refused.getOutMessage()->writeInt32(1));
}

// A handshake the peer refuses fails with -10, and the log says why: the
// library's own reason follows the failure.
TEST(StreamConnection, AFailedHandshakeLogsTheLibrarysReason) {
    dravika_init();
    LogCapture logs;
    RawTlsServer raw(0, TLS1_3_VERSION);  // never speaks TLS 1.2
    std::thread server([&] { raw.accept(); });
    StreamConnection client("127.0.0.1", raw.port.c_str(), nullptr, nullptr);
    EXPECT_EQ(COMS_E_NOT_CONNECTED, client.connect());
    server.join();
    std::string text = logs.messages();
    std::string name = "C-127.0.0.1:" + raw.port;
    size_t failed = text.find(name + ": TLS handshake failed\n");
    ASSERT_NE(std::string::npos, failed) << text;
    EXPECT_NE(std::string::npos, text.find(name + ": error:", failed)) << text;
    EXPECT_NE(std::string::npos, text.find("protocol version", failed)) << text;
    EXPECT_EQ(0ul, ERR_peek_error()) << "nothing left for the thread's next call";
}

// Runs only the server's handshake on each accepted socket and records its
// result.
class HandshakeOnly : public StreamConnectorListener {
public:
    void onAccept(StreamConnector* connector, int socket, const char* peer) override {
        StreamConnection s(connector, socket, peer);
        int rc = s.accept();
        std::lock_guard<std::mutex> hold(mutex);
        results.push_back(rc);
    }
    std::vector<int> seen() {
        std::lock_guard<std::mutex> hold(mutex);
        return results;
    }
    std::mutex mutex;
    std::vector<int> results;
};

// A client that connects and says nothing holds the listen thread (and so
// the connector's destructor) only until the handshake time-out; the next
// client is served.
TEST(StreamConnection, ASilentClientIsDroppedAfterTheHandshakeTimeOut) {
    dravika_init();
    LogCapture logs;
    EXPECT_EQ(20000, StreamConnection::handshakeTimeout());
    StreamConnection::setHandshakeTimeout(300);
    HandshakeOnly server;
    TestCert& tc = TestCert::get();
    {
        StreamConnector connector(&server, tc.cert, tc.key);
        connector.setBindAddress("127.0.0.1");
        ASSERT_EQ(0, connector.bind("0"));
        int port = connector.getPort();
        // Closed before the connector goes, whatever the outcome: a silent
        // client would otherwise keep its destructor waiting.
        std::unique_ptr<int, void (*)(int*)> silent(new int(connectLoopback(port)), [](int* fd) {
            if (*fd >= 0) close(*fd);
            delete fd;
        });
        ASSERT_GE(*silent, 0);
        ASSERT_TRUE(waitFor([&] { return server.seen().size() == 1; })) << "the silent client is given up";
        EXPECT_EQ(COMS_E_NOT_CONNECTED, server.seen()[0]);
        EXPECT_TRUE(logs.contains("S-127.0.0.1: TLS handshake not done after 300 ms"));

        StreamConnection client("127.0.0.1", std::to_string(port).c_str(), nullptr, nullptr);
        EXPECT_EQ(0, client.connect());
        ASSERT_TRUE(waitFor([&] { return server.seen().size() == 2; }));
        EXPECT_EQ(0, server.seen()[1]);
        client.close();
    }
    StreamConnection::setHandshakeTimeout(StreamConnection::kDefaultHandshakeTimeoutMs);
}

// connect() runs on a thread of its own; the result, or -100 when it has
// not returned within 10 s (then the connection is shut down so that the
// thread ends).
int connectWithin10s(StreamConnection* c, const std::function<void()>& meanwhile = [] {}) {
    std::atomic<int> result{-100};
    std::atomic<bool> done{false};
    std::thread t([&] {
        result = c->connect();
        done = true;
    });
    meanwhile();
    bool returned = waitFor([&] { return done.load(); }, 10000);
    if (!returned) c->shutdown();
    t.join();
    return returned ? result.load() : -100;
}

// A peer that takes no connection costs the connect limit, not the
// kernel's minutes of SYN retries; shutdown() from another thread ends the
// wait sooner, and one made before connect() fails it at once.
TEST(StreamConnection, AConnectNobodyAnswersEndsAtItsLimitOrAtShutdown) {
    dravika_init();
    FullListener nobody;
    ASSERT_TRUE(nobody.full) << "the listener's queue could not be filled";
    LogCapture logs;
    StreamConnection::setHandshakeTimeout(300);
    StreamConnection limited("127.0.0.1", nobody.port.c_str(), nullptr, nullptr);
    EXPECT_EQ(COMS_E_CONNECT, connectWithin10s(&limited));
    EXPECT_TRUE(logs.contains("Stream connect() failed")) << logs.text();
    StreamConnection::setHandshakeTimeout(StreamConnection::kDefaultHandshakeTimeoutMs);

    StreamConnection cancelled("127.0.0.1", nobody.port.c_str(), nullptr, nullptr);
    EXPECT_EQ(COMS_E_CONNECT, connectWithin10s(&cancelled, [&] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  cancelled.shutdown();
              }));

    StreamConnection early("127.0.0.1", nobody.port.c_str(), nullptr, nullptr);
    early.shutdown();
    EXPECT_EQ(COMS_E_CONNECT, connectWithin10s(&early));
}

}  // namespace
