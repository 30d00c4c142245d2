// Connectors: binding (retries, services), server contexts, plain
// connectors, and connections handled in forked children.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "tests/support/bytes.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

class Refuser : public ConnectorListener {
public:
    bool newConnection(Connection*, int) override { return false; }
};

int boundLoopbackSocket(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

TEST(Connector, BindRetriesWhileThePortStaysInUse) {
    ensurePool();
    LogCapture logs;
    int port = 0;
    int holder = boundLoopbackSocket(&port);
    ASSERT_EQ(0, listen(holder, 1));
    Refuser refuser;
    TestCert& tc = TestCert::get();
    Connector* c = Connector::create(&refuser, tc.cert, tc.key, 0);
    c->setBindAddress("127.0.0.1");
    EXPECT_EQ(Connector::kDefaultBindAttempts, Connector::bindAttempts());
    EXPECT_EQ(Connector::kDefaultBindPauseMs, Connector::bindPauseMs());
    Connector::setBindRetry(3, 30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, c->bind(std::to_string(port).c_str()));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(60)) << "two pauses between three attempts";
    std::string text = logs.messages();
    int retries = 0;
    for (size_t at = text.find("bind: port still in use. Will retry..."); at != std::string::npos;
         at = text.find("bind: port still in use. Will retry...", at + 1))
        retries++;
    EXPECT_EQ(2, retries);
    EXPECT_NE(std::string::npos, text.find("bind: Unable to bind to port"));
    EXPECT_STREQ(("X-" + std::to_string(port)).c_str(), c->getName());

    // Once the port is free the same connector binds it.
    close(holder);
    EXPECT_EQ(0, c->bind(std::to_string(port).c_str()));
    EXPECT_EQ(port, c->getPort());
    Connector::setBindRetry(Connector::kDefaultBindAttempts, Connector::kDefaultBindPauseMs);
    Connector::destroy(c);

    // A service name nobody knows.
    logs.clear();
    Connector* d = Connector::create(&refuser, tc.cert, tc.key, 0);
    EXPECT_EQ(-1, d->bind("no-such-service-here"));
    EXPECT_TRUE(logs.contains("X-no-such-service-here: getservbyname: Unable to find service"));
    Connector::destroy(d);
}

TEST(Connector, ServerContextNeedsAMatchingCertificateAndKey) {
    ensurePool();
    LogCapture logs;
    Refuser refuser;
    Connector* none = Connector::create(&refuser, nullptr, nullptr, 0);
    EXPECT_EQ(nullptr, none->getSslContext());
    EXPECT_TRUE(logs.contains("Connector: unable to use certificate: "));
    Connector::destroy(none);

    X509* other = nullptr;
    EVP_PKEY* otherKey = nullptr;
    ASSERT_EQ(0, makeAnonymousCertificate("test", &other, &otherKey));
    Connector* mismatch = Connector::create(&refuser, TestCert::get().cert, otherKey, 0);
    EXPECT_EQ(nullptr, mismatch->getSslContext());
    EXPECT_TRUE(logs.contains("Connector: Private key does not match the certificate public key"));
    Connector::destroy(mismatch);
    X509_free(other);
    EVP_PKEY_free(otherKey);

    Connector* good = Connector::create(&refuser, TestCert::get().cert, TestCert::get().key, 0);
    EXPECT_NE(nullptr, good->getSslContext());
    Connector::destroy(good);
}

// Reads one plain byte with a time limit; -1 on time-out or end.
int readByte(int fd, int ms = 3000) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return -1;
    unsigned char b;
    return recv(fd, &b, 1, 0) == 1 ? b : -1;
}

TEST(Connector, PlainConnectorSpeaksWithoutTls) {
    TestServer server(Connector::FLAG_PLAIN);
    EXPECT_EQ(nullptr, server.connector->getSslContext());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.connector->getPort()));
    ASSERT_EQ(0, connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    std::string hello = Bytes().u8(12).be32(9).u8(1).be32(1).u8(7).data;  // C_TYPE2 v1, C_ENABLE_TIMING
    ASSERT_EQ(static_cast<ssize_t>(hello.size()), send(fd, hello.data(), hello.size(), 0));
    EXPECT_EQ(9, readByte(fd)) << "C_COMPLETE2";
    for (int i = 0; i < 4; i++) readByte(fd);  // the server version
    EXPECT_EQ(7, readByte(fd)) << "C_ENABLE_TIMING";
    Connection* s = server.lastAccepted();
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(s->isPlain());
    EXPECT_EQ(1, s->getFlag());

    // A frame comes back as the recorder echoes it.
    std::string frame = Bytes().u8(3).be32(5).be32(77).int32(1234).data;
    send(fd, frame.data(), frame.size(), 0);
    std::string back;
    for (size_t i = 0; i < frame.size(); i++) back += static_cast<char>(readByte(fd));
    EXPECT_EQ(Bytes::hex(frame.data(), frame.size()), Bytes::hex(back.data(), back.size()));
    close(fd);
    EXPECT_TRUE(waitFor([&] { return server.recorder.count(server.recorder.lost) == 1; }));
}

// The child's listener answers every client with the process id it runs in.
class PidReporter : public ConnectorListener {
public:
    bool newConnection(Connection* c, int) override {
        auto* m = new Message(1);
        m->writeInt32(static_cast<int32_t>(getpid()));
        c->send(m);
        return true;
    }
};

TEST(Connector, ForkFlagServesEachClientInAChild) {
    // The child drops what it inherited: the client on the connector's own
    // thread, and a connection on the other thread.
    restartPool(2);
    PidReporter reporter;
    TestCert& tc = TestCert::get();
    Connector* connector = Connector::create(&reporter, tc.cert, tc.key, Connector::FLAG_FORK);
    connector->setBindAddress("127.0.0.1");
    ASSERT_EQ(0, connector->bind("0"));
    Recorder recorder;
    Connection* c =
        Connection::create("127.0.0.1", std::to_string(connector->getPort()).c_str(), nullptr, nullptr, 448);
    Connection* idle = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    c->setListener(&recorder);
    c->connect();
    ASSERT_TRUE(recorder.waitMessages(1));
    Message m(recorder.bodies[0].data(), recorder.bodies[0].size());
    int32_t child = 0;
    m.readInt32(&child);
    EXPECT_GT(child, 0);
    EXPECT_NE(getpid(), child);
    EXPECT_EQ(0, c->getContext()->getIndex());
    EXPECT_EQ(1, idle->getContext()->getIndex());
    EXPECT_EQ(1, Connection::getComsContext(0)->getConnectionCount()) << "the parent holds only the client";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return recorder.count(recorder.lost) == 1; }));
    Connection::destroy(c);
    Connection::destroy(idle);
    EXPECT_TRUE(waitFor([] { return Connection::liveConnections() == 0; }));
    Connector::destroy(connector);
}

}  // namespace
