// Both handshakes over real TLS on loopback, refusals by the listener, the
// whitelist and the kill switch, messages both ways and connection errors.
#include <gtest/gtest.h>

#include <algorithm>

#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

TEST(Handshake, TypeItemsCompletionAndServerVersion) {
    TestServer server;
    server.connector->setServerVersion(7);
    struct Case {
        const char* host;
        int type, typeVersion, serverVersion;
    } cases[] = {
        {"127.0.0.1", 448, 0, 0},     // C_TYPE, answered with C_COMPLETE
        {"127.0.0.1", 449, 2, 7},     // C_TYPE2, answered with C_COMPLETE2
        {"127.0.0.1:v0", 450, 2, 0},  // ":v0" forces C_TYPE whatever the type version
    };
    for (const Case& k : cases) {
        Client client(k.host, server.port, k.type, k.typeVersion);
        EXPECT_EQ(1, client.c->getServerVersion()) << "before any completion";
        ASSERT_TRUE(client.connect()) << k.type;
        EXPECT_TRUE(client.c->isComplete());
        EXPECT_EQ(k.serverVersion, client.c->getServerVersion()) << k.type;
        EXPECT_EQ(k.serverVersion == 0 ? 0 : k.typeVersion, server.lastAccepted()->getTypeVersion());
    }
    EXPECT_EQ((std::vector<int>{448, 449, 450}), server.seenTypes());
}

TEST(Handshake, MessagesEchoWholeAndInOrderAndConnectionInfo) {
    TestServer server;
    Client client("localhost", server.port);
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(std::vector<int>{0}, client.recorder.resolves);

    std::string info = client.c->getConnectionInfo();
    EXPECT_EQ(0u, info.find("TLSv1.2-")) << info;
    // One of the two AEADs, whichever the client found quicker here.
    EXPECT_TRUE(info.find("-ECDHE-RSA-AES128-GCM-SHA256,") != std::string::npos ||
                info.find("-ECDHE-RSA-CHACHA20-POLY1305,") != std::string::npos)
        << info;
    EXPECT_NE(std::string::npos, info.find(", sig: sha256WithRSAEncryption-1024")) << info;
    Connection* accepted = server.lastAccepted();
    ASSERT_NE(nullptr, accepted);
    EXPECT_EQ(info, std::string(accepted->getConnectionInfo()));
    EXPECT_STREQ("S-127.0.0.1", accepted->getName());
    // The client presented its anonymous certificate.
    char* subject = x509NameText(X509_get_subject_name(accepted->getPeerCertificate()));
    EXPECT_STREQ("/O=ZephanSoftware/CN=LoginRequest", subject);
    free(subject);

    std::vector<std::string> bodies;
    std::vector<int> types;
    auto send = [&](int type, const std::string& payload) {
        auto* m = new Message(type);
        m->writeBytes(payload.data(), static_cast<uint32_t>(payload.size()));
        bodies.push_back(bodyOf(m).substr(9));  // after the frame header
        types.push_back(type);
        EXPECT_EQ(0, client.c->send(m));
    };
    // First, on a quiet connection: a message may hold a buffer with nothing
    // in it, one taken over from a received message whose block a reader
    // already took out in place. A large frame written from its own buffers
    // skips it and goes out whole.
    std::string filled(100000, 'a');
    Message source(1);
    source.writeBytes(filled.data(), static_cast<uint32_t>(filled.size()));
    std::string encoded = bodyOf(&source).substr(9);
    Message received(encoded.data(), encoded.size());
    unsigned char* taken = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(0, received.readBytes(&taken, &length));
    free(taken);
    ASSERT_EQ(0u, received.totalBytes()) << "the block was taken out in place";
    auto* m = new Message(5);
    m->writeBytes(filled.data(), static_cast<uint32_t>(filled.size()));
    m->takeBuffers(&received);
    m->writeInt32(7);
    bodies.push_back(bodyOf(m).substr(9));
    types.push_back(5);
    ASSERT_EQ(0, client.c->send(m));

    // A burst: far more posts than one round of the loop serves.
    for (int i = 0; i < 20000; i++) send(100 + i % 3, "m" + std::to_string(i));
    // Bodies from a few bytes to several MiB, interleaved with small ones:
    // large ones are written from their own buffers and read straight into
    // the receiving message.
    int seed = 0;
    for (size_t size : {size_t(70000), size_t(10), size_t(3) << 20, size_t(16384), size_t(16385), size_t(1) << 20}) {
        std::string block(size, '\0');
        for (size_t j = 0; j < size; j++) block[j] = static_cast<char>((j * 31 + seed) & 0xFF);
        send(seed++, block);
    }
    ASSERT_TRUE(client.recorder.waitMessages(bodies.size(), 20000));
    std::lock_guard<std::mutex> hold(client.recorder.mutex);
    EXPECT_EQ(types, client.recorder.types);
    auto diff = std::mismatch(bodies.begin(), bodies.end(), client.recorder.bodies.begin());
    EXPECT_TRUE(diff.first == bodies.end()) << "message " << diff.first - bodies.begin() << " differs";
}

// Connects a client (from source when given): its refusal codes, none
// once it completed, {1} when neither happened.
std::vector<int> refusals(const std::string& port, const char* source = nullptr) {
    Client client("127.0.0.1", port);
    if (source != nullptr) client.c->setBindAddress(source);
    client.c->connect();
    Recorder& r = client.recorder;
    waitFor([&] { return r.completes > 0 || !r.noConnectCodes().empty(); });
    if (r.completes > 0) return {};
    return r.noConnectCodes().empty() ? std::vector<int>{1} : r.noConnectCodes();
}

TEST(Handshake, RefusalsReachTheClient) {
    TestServer server;
    server.accept = false;
    {
        LogCapture logs;
        EXPECT_EQ(std::vector<int>{COMS_E_AUTH}, refusals(server.port));
        EXPECT_TRUE(logs.contains(": authorization failed. Sending C_AUTHFAIL")) << logs.text();
    }
    server.accept = true;

    // The whitelist: 127.0.0.1 always passes, another loopback address is
    // checked against the rules.
    Connector::setUXWhitelist("10.1.0.0/16, 192.168.5.7");
    EXPECT_EQ(std::vector<int>{}, refusals(server.port));
    EXPECT_EQ(std::vector<int>{COMS_E_WHITELIST}, refusals(server.port, "127.0.0.2"));
    Connector::setUXWhitelist("127.0.0.0/8");
    EXPECT_EQ(std::vector<int>{}, refusals(server.port, "127.0.0.2"));
    Connector::setUXWhitelist(nullptr);
    EXPECT_FALSE(Connector::hasWhitelist());
}

TEST(Handshake, ConnectErrors) {
    int port = 0;
    close(loopbackSocket(&port));  // nobody listens on a port that was just free
    for (auto c : {std::make_pair(std::to_string(port), COMS_E_REFUSED),
                   std::make_pair(std::string("no-such-service-here"), COMS_E_NO_SERVICE)}) {
        Client client("127.0.0.1", c.first);
        client.c->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{c.second}, client.recorder.noConnectCodes());
    }
    EXPECT_EQ(nullptr, Connection::create(nullptr, "1", nullptr, nullptr, 1));
    EXPECT_EQ(nullptr, Connection::create("h", nullptr, nullptr, nullptr, 1));
}

// A certificate of its own that the library will not use ends the connect
// with -5, and a key that does not fit it with -6, before any handshake.
TEST(Handshake, OwnCertificateOrKeyRefused) {
    ensurePool();
    LogCapture logs;
    std::string port;
    int peer = listenOnLoopback(4, &port);
    ASSERT_GE(peer, 0);
    OwnedCert weak, other;
    ASSERT_EQ(0, weak.makeWeak());
    ASSERT_EQ(0, other.makeAnonymous());
    struct Case {
        X509* cert;
        EVP_PKEY* key;
        int code;
    } cases[] = {{weak.cert, weak.key, COMS_E_CERTIFICATE}, {TestCert::get().cert, other.key, COMS_E_KEY}};
    for (const Case& k : cases) {
        Recorder recorder;
        Connection* c = Connection::create("127.0.0.1", port.c_str(), k.cert, k.key, 448);
        ASSERT_NE(nullptr, c);
        c->setListener(&recorder);
        c->connect();
        EXPECT_TRUE(recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{k.code}, recorder.noConnectCodes());
        Connection::destroy(c);
        EXPECT_TRUE(allGone());
    }
    std::string name = "C-127.0.0.1:" + port;
    EXPECT_EQ(1, logs.count(name + ": SSL_use_certificate returned 0 (failed).  Cannot use the certificate provided\n"))
        << logs.messages();
    EXPECT_TRUE(logs.contains("Cert was...\n")) << logs.messages();
    close(peer);
}

// Answers later, from another thread, as an asynchronous resolver would.
class LateResolver : public Resolver {
public:
    void resolve(const char* host, Connection* connection) override {
        connection->addLock();
        std::string name = host;
        _threads.emplace_back([connection, name] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (name == "nowhere")
                connection->resolveComplete(0, COMS_E_NO_HOST);
            else
                connection->resolveComplete(htonl(INADDR_LOOPBACK), 0);
            connection->removeLock();
        });
    }
    ~LateResolver() override {
        for (auto& t : _threads) t.join();
    }

private:
    std::vector<std::thread> _threads;
};

TEST(Handshake, ResolverMayAnswerLater) {
    TestServer server;
    LateResolver resolver;
    Connection::setResolver(&resolver);
    {
        Client client("somewhere", server.port);
        EXPECT_TRUE(client.connect());
        EXPECT_STREQ("127.0.0.1", client.c->getPeerAddress());
    }
    {
        Client client("nowhere", server.port);
        client.c->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_NO_HOST}, client.recorder.noConnectCodes());
        EXPECT_EQ(std::vector<int>{COMS_E_NO_HOST}, client.recorder.resolves);
    }
    Connection::setResolver(nullptr);
}

// Answers at once, from a thread of its own that runs alongside the return
// from resolve: the answer and doConnect's return race for who goes on.
class RacingResolver : public Resolver {
public:
    void resolve(const char*, Connection* connection) override {
        connection->addLock();
        std::atomic<bool> started{false};
        std::lock_guard<std::mutex> hold(_mutex);
        _threads.emplace_back([connection, &started] {
            started = true;
            connection->resolveComplete(htonl(INADDR_LOOPBACK), 0);
            connection->removeLock();
        });
        while (!started) std::this_thread::yield();
    }
    ~RacingResolver() override {
        for (auto& t : _threads) t.join();
    }

private:
    std::mutex _mutex;
    std::vector<std::thread> _threads;
};

// Whichever comes second, the answer or the return from resolve, carries the
// connect on: no connection stays resolving. (The debug log widens the race.)
TEST(Handshake, AnAnswerRacingTheReturnFromResolveIsNotLost) {
    ensurePool();
    LogCapture logs;
    int level = _debug_coms;
    _debug_coms = LOG_DEBUG;
    RacingResolver resolver;
    Connection::setResolver(&resolver);
    int deadPort = 0;
    int dead = loopbackSocket(&deadPort);  // bound, not listening: refused
    const int n = 300;
    std::vector<Recorder> recorders(n);
    std::vector<Connection*> connections;
    for (int i = 0; i < n; i++) {
        connections.push_back(Connection::create("somehost", std::to_string(deadPort).c_str(), nullptr, nullptr, 448));
        connections.back()->setListener(&recorders[i]);
        connections.back()->connect();
    }
    // A stuck connection never moves on, so the wait can be wide: under
    // load, with the debug log, 300 refusals take seconds.
    int stuck = 0;
    for (Recorder& r : recorders)
        if (!r.waitNoConnect(stuck == 0 ? 60000 : 0)) stuck++;
    EXPECT_EQ(0, stuck) << "connections that never went past resolving";
    for (Connection* c : connections) Connection::destroy(c);
    EXPECT_TRUE(allGone());
    Connection::setResolver(nullptr);
    _debug_coms = level;
    close(dead);
}

// The child half of the kill tests: a client that the server may stop. It
// exits 0 when it is still connected after 20 heartbeat intervals in which
// its latency probes (if it sends them) were answered.
// Runs only when the parent starts this program for it.
TEST(ChildSideKill, ClientOfType333) {
    const char* port = getenv("DRV_COMS_KILL_PORT");
    if (port == nullptr) GTEST_SKIP() << "runs as the child of Handshake.KillSwitchEndsTheClientProcess";
    ensurePool();
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", port, nullptr, nullptr, atoi(getenv("DRV_COMS_KILL_TYPE")));
    c->setListener(&recorder);
    c->setTiming(5000, 50);
    const char* version = getenv("DRV_COMS_KILL_VERSION");
    c->setTypeVersion(version != nullptr ? atoi(version) : 0);
    bool probing = getenv("DRV_COMS_KILL_PROBE") != nullptr;
    c->setLatencyProbing(probing);
    c->connect();
    if (probing && waitFor([&] { return c->getLatency() >= 0; }, 10000)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * 50));
        _exit(c->isComplete() ? 0 : 4);
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));
    _exit(3);  // the server never stopped us
}

int runKillChild(const std::string& port, int type, int typeVersion = 0, bool probing = false) {
    std::vector<std::string> vars = {"DRV_COMS_KILL_PORT=" + port, "DRV_COMS_KILL_TYPE=" + std::to_string(type),
                                     "DRV_COMS_KILL_VERSION=" + std::to_string(typeVersion)};
    if (probing) vars.push_back("DRV_COMS_KILL_PROBE=1");
    pid_t pid = spawnSelf("ChildSideKill.ClientOfType333", vars);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Type 333 is stopped on connecting, type 550 at its first heartbeat (C_HB),
// after C_TYPE and after C_TYPE2 alike. A client that probes latency sends
// C_GET_LD in place of heartbeats, and a probe is not a heartbeat: such a
// client of type 550 is answered and stays. Probes need C_TYPE2: after
// C_TYPE the same client sends heartbeats.
TEST(Handshake, KillSwitchEndsTheClientProcess) {
    TestServer server;
    Connector::_killAllClients = true;
    int killed = 0;
    for (int version : {0, 2}) {
        EXPECT_EQ(1, runKillChild(server.port, 333, version));
        EXPECT_EQ(1, runKillChild(server.port, 550, version));
        // The server's side of a killed client had been accepted, and was
        // closed by the server: it is lost to its listener, which destroys it.
        ++killed;
        EXPECT_TRUE(waitFor([&] { return server.recorder.lost == killed; }));
    }
    EXPECT_EQ(0, runKillChild(server.port, 550, 2, true));
    EXPECT_EQ(1, runKillChild(server.port, 550, 0, true));
    EXPECT_TRUE(waitFor([&] { return server.recorder.lost == 4; }));
    Connector::_killAllClients = false;
    // A client of type 333 never reaches the listener.
    EXPECT_EQ((std::vector<int>{550, 550, 550, 550}), server.seenTypes());
}

}  // namespace
