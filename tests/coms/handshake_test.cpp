// Both handshakes over real TLS on loopback, refusals by the listener, the
// whitelist and the kill switch, messages both ways and connection errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

extern char** environ;

using namespace comstest;

namespace {

struct Client {
    explicit Client(const std::string& host, const std::string& port, int type = 448, int typeVersion = 0) {
        connection = Connection::create(host.c_str(), port.c_str(), nullptr, nullptr, type);
        connection->setListener(&recorder);
        connection->setTypeVersion(typeVersion);
    }
    ~Client() {
        Connection::destroy(connection);
        waitFor([] { return Connection::liveConnections() == 0; });
    }
    Recorder recorder;
    Connection* connection;
};

Message* textMessage(int type, const std::string& text) {
    auto* m = new Message(type);
    m->writeString(text.c_str());
    return m;
}

TEST(Handshake, TypeItemsCompletionAndServerVersion) {
    TestServer server;
    ASSERT_EQ(0, server.bindResult);
    server.connector->setServerVersion(7);

    // Type version 0: C_TYPE, answered with C_COMPLETE.
    {
        Client client("127.0.0.1", server.port, 448, 0);
        EXPECT_EQ(1, client.connection->getServerVersion()) << "before any completion";
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitComplete());
        EXPECT_TRUE(client.connection->isComplete());
        EXPECT_EQ(0, client.connection->getServerVersion());
        ASSERT_TRUE(waitFor([&] { return server.lastAccepted() != nullptr; }));
        EXPECT_EQ(0, server.lastAccepted()->getTypeVersion());
    }
    // Type version 2: C_TYPE2, answered with C_COMPLETE2 and the server version.
    {
        Client client("127.0.0.1", server.port, 449, 2);
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitComplete());
        EXPECT_EQ(7, client.connection->getServerVersion());
    }
    // ":v0" forces C_TYPE whatever the type version.
    {
        Client client("127.0.0.1:v0", server.port, 450, 2);
        EXPECT_STREQ(("C-127.0.0.1:" + server.port).c_str(), client.connection->getName());
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitComplete());
        EXPECT_EQ(0, client.connection->getServerVersion());
    }
    EXPECT_EQ((std::vector<int>{448, 449, 450}), server.seenTypes());
    std::lock_guard<std::mutex> hold(server.mutex);
    EXPECT_EQ((std::vector<int>{0, 2, 0}), server.typeVersions);
}

TEST(Handshake, MessagesEchoInOrderAndConnectionInfo) {
    TestServer server;
    Client client("localhost", server.port);
    client.connection->connect();
    ASSERT_TRUE(client.recorder.waitComplete());
    EXPECT_EQ(std::vector<int>{0}, client.recorder.resolves);

    std::string info = client.connection->getConnectionInfo();
    EXPECT_EQ(0u, info.find("TLSv1.2-")) << info;
    EXPECT_NE(std::string::npos, info.find(", sig: sha256WithRSAEncryption-1024")) << info;
    Connection* accepted = server.lastAccepted();
    ASSERT_NE(nullptr, accepted);
    // The server sees the client's anonymous certificate.
    X509* peer = accepted->getPeerCertificate();
    ASSERT_NE(nullptr, peer);
    char* subject = x509NameText(X509_get_subject_name(peer));
    EXPECT_STREQ("/O=ZephanSoftware/CN=LoginRequest", subject);
    free(subject);
    EXPECT_EQ(info, std::string(accepted->getConnectionInfo()));
    EXPECT_STREQ("S-127.0.0.1", accepted->getName());

    const int n = 20000;  // a burst: far more posts than one round of the loop serves
    for (int i = 0; i < n; i++)
        ASSERT_EQ(0, client.connection->send(textMessage(100 + i % 3, "m" + std::to_string(i))));
    ASSERT_TRUE(client.recorder.waitMessages(n));
    std::lock_guard<std::mutex> hold(client.recorder.mutex);
    for (int i = 0; i < n; i++) {
        Message m(client.recorder.bodies[i].data(), client.recorder.bodies[i].size());
        char* s = nullptr;
        m.readString(&s);
        ASSERT_STREQ(("m" + std::to_string(i)).c_str(), s);
        free(s);
        EXPECT_EQ(100 + i % 3, client.recorder.types[i]);
    }
}

TEST(Handshake, LargeMessagesArriveWhole) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    client.connection->connect();
    ASSERT_TRUE(client.recorder.waitComplete());
    // Bodies from a few bytes to several MiB, interleaved with small ones:
    // large ones are written from their own buffers and read straight into
    // the receiving message.
    std::vector<size_t> sizes = {70000, 10, 3u << 20, 16384, 16385, 1, 1u << 20};
    for (size_t i = 0; i < sizes.size(); i++) {
        std::string block(sizes[i], '\0');
        for (size_t j = 0; j < block.size(); j++) block[j] = static_cast<char>((j * 31 + i) & 0xFF);
        auto* m = new Message(static_cast<int>(i));
        m->writeBytes(block.data(), static_cast<uint32_t>(block.size()));
        ASSERT_EQ(0, client.connection->send(m));
    }
    ASSERT_TRUE(client.recorder.waitMessages(sizes.size(), 20000));
    std::lock_guard<std::mutex> hold(client.recorder.mutex);
    for (size_t i = 0; i < sizes.size(); i++) {
        EXPECT_EQ(static_cast<int>(i), client.recorder.types[i]);
        Message m(client.recorder.bodies[i].data(), client.recorder.bodies[i].size());
        unsigned char* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(0, m.readBytes(&data, &length));
        ASSERT_EQ(sizes[i], length);
        bool same = true;
        for (size_t j = 0; j < length && same; j++) same = data[j] == static_cast<unsigned char>((j * 31 + i) & 0xFF);
        EXPECT_TRUE(same) << "message " << i;
        free(data);
    }
}

TEST(Handshake, RefusalsReachTheClient) {
    TestServer server;
    server.accept = false;
    {
        LogCapture logs;
        Client client("127.0.0.1", server.port);
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_AUTH}, client.recorder.noConnectCodes());
        EXPECT_FALSE(client.connection->isComplete());
        EXPECT_TRUE(logs.contains(": authorization failed. Sending C_AUTHFAIL")) << logs.text();
    }
    server.accept = true;

    // The whitelist: 127.0.0.1 always passes, another loopback address is
    // checked against the rules.
    Connector::setUXWhitelist("10.1.0.0/16, 192.168.5.7");
    {
        Client client("127.0.0.1", server.port);
        client.connection->connect();
        EXPECT_TRUE(client.recorder.waitComplete());
    }
    {
        Client client("127.0.0.1", server.port);
        client.connection->setBindAddress("127.0.0.2");
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_WHITELIST}, client.recorder.noConnectCodes());
    }
    Connector::setUXWhitelist("127.0.0.0/8");
    {
        Client client("127.0.0.1", server.port);
        client.connection->setBindAddress("127.0.0.2");
        client.connection->connect();
        EXPECT_TRUE(client.recorder.waitComplete());
    }
    Connector::setUXWhitelist(nullptr);
    EXPECT_FALSE(Connector::hasWhitelist());
}

TEST(Handshake, ConnectErrors) {
    ensurePool();
    // Nobody listens on a port that was just free.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    std::string port = std::to_string(ntohs(addr.sin_port));
    close(fd);
    {
        Client client("127.0.0.1", port);
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_REFUSED}, client.recorder.noConnectCodes());
    }
    {
        Client client("127.0.0.1", "no-such-service-here");
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_NO_SERVICE}, client.recorder.noConnectCodes());
    }
    EXPECT_EQ(nullptr, Connection::create(nullptr, "1", nullptr, nullptr, 1));
    EXPECT_EQ(nullptr, Connection::create("h", nullptr, nullptr, nullptr, 1));
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
        client.connection->connect();
        EXPECT_TRUE(client.recorder.waitComplete());
        EXPECT_STREQ("127.0.0.1", client.connection->getPeerAddress());
    }
    {
        Client client("nowhere", server.port);
        client.connection->connect();
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_NO_HOST}, client.recorder.noConnectCodes());
        EXPECT_EQ(std::vector<int>{COMS_E_NO_HOST}, client.recorder.resolves);
    }
    Connection::setResolver(nullptr);
}

// The child half of the kill test: a client of type 333 that the server
// must stop. Runs only when the parent starts this program for it.
TEST(ChildSideKill, ClientOfType333) {
    const char* port = getenv("DRV_COMS_KILL_PORT");
    if (port == nullptr) GTEST_SKIP() << "runs as the child of Handshake.KillSwitchEndsTheClientProcess";
    ensurePool();
    Recorder recorder;
    Connection* c = Connection::create("127.0.0.1", port, nullptr, nullptr, atoi(getenv("DRV_COMS_KILL_TYPE")));
    c->setListener(&recorder);
    c->setTiming(5000, 50);
    c->connect();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    _exit(3);  // the server never stopped us
}

int runKillChild(const std::string& port, int type) {
    std::string filter = "--gtest_filter=ChildSideKill.ClientOfType333";
    std::string portVar = "DRV_COMS_KILL_PORT=" + port;
    std::string typeVar = "DRV_COMS_KILL_TYPE=" + std::to_string(type);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    char* argv[] = {self, const_cast<char*>(filter.c_str()), nullptr};
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; e++) env.push_back(*e);
    env.push_back(const_cast<char*>(portVar.c_str()));
    env.push_back(const_cast<char*>(typeVar.c_str()));
    env.push_back(nullptr);
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, self, &actions, nullptr, argv, env.data()) != 0) return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Handshake, KillSwitchEndsTheClientProcess) {
    TestServer server;
    Connector::_killAllClients = true;
    // Type 333 is stopped on connecting, type 550 at its first heartbeat.
    EXPECT_EQ(1, runKillChild(server.port, 333));
    EXPECT_EQ(1, runKillChild(server.port, 550));
    Connector::_killAllClients = false;
    // A client of type 333 never reaches the listener; one of type 550 does.
    EXPECT_EQ(std::vector<int>{550}, server.seenTypes());
}

}  // namespace
