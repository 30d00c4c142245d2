// Connectors: binding (retries, services), server contexts, plain
// connectors, and connections handled in forked children.
#include <gtest/gtest.h>
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <netdb.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "coms/stream_connection.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

class Refuser : public ConnectorListener {
public:
    bool newConnection(Connection*, int) override { return false; }
};

// A connector with the test certificate, listening on a loopback port the
// system picks; null when it could not bind.
Connector* loopbackConnector(ConnectorListener* listener, int flags) {
    TestCert& tc = TestCert::get();
    Connector* c = Connector::create(listener, tc.cert, tc.key, flags);
    c->setBindAddress("127.0.0.1");
    if (c->bind("0") == 0) return c;
    Connector::destroy(c);
    return nullptr;
}

// By default 20 attempts 4 s apart, shortened here. The pause between
// attempts is a timer on the first coms thread, not a sleep: while a bind
// waits for a busy port, that thread keeps serving (here: building another
// connector), and the bind takes the port once it is free.
TEST(Connector, BindRetriesOnATimerWhileThePortStaysInUse) {
    ensurePool();
    LogCapture logs;
    int port = 0;
    int holder = loopbackSocket(&port);
    ASSERT_EQ(0, listen(holder, 1));
    Refuser refuser;
    TestCert& tc = TestCert::get();
    Connector* c = Connector::create(&refuser, tc.cert, tc.key, 0);
    c->setBindAddress("127.0.0.1");
    EXPECT_EQ(20, Connector::bindAttempts());
    EXPECT_EQ(4000, Connector::bindPauseMs());
    Connector::setBindRetry(3, 30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, c->bind(std::to_string(port).c_str()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(2, logs.count("bind: port still in use. Will retry...")) << "two pauses between three attempts";
    EXPECT_TRUE(logs.contains("bind: Unable to bind to port"));
    EXPECT_STREQ(("X-" + std::to_string(port)).c_str(), c->getName());

    logs.clear();
    Connector::setBindRetry(50, 200);
    std::atomic<int> result{1};
    std::thread binder([&] { result = c->bind(std::to_string(port).c_str()); });
    ASSERT_TRUE(waitFor([&] { return logs.contains("bind: port still in use. Will retry..."); }));
    // A thread asleep in the bind could build the connector only after the
    // last attempt, with the port still held.
    Connector* other = Connector::create(&refuser, tc.cert, tc.key, 0);
    EXPECT_NE(nullptr, other);
    EXPECT_EQ(1, result.load()) << "the bind is still waiting for the port";
    Connector::destroy(other);
    close(holder);
    binder.join();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(port, c->getPort());
    EXPECT_FALSE(logs.contains("bind: Unable to bind to port"));
    Connector::setBindRetry(20, 4000);
    // A connector listens on one socket: a second bind is refused rather
    // than leaving the first socket accepting behind it.
    EXPECT_EQ(-1, c->bind("0"));
    EXPECT_EQ(port, c->getPort());
    Connector::destroy(c);

    Connector* d = Connector::create(&refuser, tc.cert, tc.key, 0);
    EXPECT_EQ(-1, d->bind("no-such-service-here"));
    EXPECT_TRUE(logs.contains("X-no-such-service-here: getservbyname: Unable to find service"));
    Connector::destroy(d);
}

TEST(Connector, ServerContextNeedsAMatchingCertificateAndKey) {
    ensurePool();
    LogCapture logs;
    Refuser refuser;
    OwnedCert other;
    ASSERT_EQ(0, other.makeAnonymous());
    struct Case {
        X509* cert;
        EVP_PKEY* key;
        const char* log;
    } cases[] = {
        {nullptr, nullptr, "Connector: unable to use certificate: "},
        {TestCert::get().cert, other.key, "Connector: Private key does not match the certificate public key"},
        {TestCert::get().cert, TestCert::get().key, nullptr},
    };
    for (const Case& k : cases) {
        Connector* c = Connector::create(&refuser, k.cert, k.key, 0);
        EXPECT_EQ(k.log == nullptr, c->getSslContext() != nullptr);
        EXPECT_TRUE(k.log == nullptr || logs.contains(k.log)) << k.log;
        Connector::destroy(c);
    }
}

// The library keeps one error queue per thread. A server context that the
// library refuses names its own cause, whatever an earlier call on the same
// thread left in the queue, and leaves nothing there for the next caller.
TEST(Connector, AServerContextFailureNamesItsOwnCauseAndLeavesNoErrorBehind) {
    OwnedCert weak;
    ASSERT_EQ(0, weak.makeWeak());
    for (bool stale : {false, true}) {
        LogCapture logs;
        if (stale) {
            // An unrelated failure earlier on this thread.
            BIO* garbage = BIO_new_mem_buf("not a certificate", -1);
            EXPECT_EQ(nullptr, PEM_read_bio_X509(garbage, nullptr, nullptr, nullptr));
            BIO_free(garbage);
            ASSERT_NE(0ul, ERR_peek_error());
        }
        {
            StreamConnector refused(nullptr, weak.cert, weak.key);
            EXPECT_EQ(nullptr, refused.getSslContext());
        }
        std::string text = logs.messages();
        EXPECT_NE(std::string::npos, text.find("StreamConnector: Cannot use certificate: ")) << text;
        EXPECT_NE(std::string::npos, text.find("key too small")) << "stale = " << stale << ": " << text;
        EXPECT_EQ(std::string::npos, text.find("no start line")) << text;
        EXPECT_EQ(0ul, ERR_peek_error()) << "stale = " << stale;
        ERR_clear_error();
    }
}

TEST(Connector, PlainConnectorSpeaksWithoutTls) {
    TestServer server(Connector::FLAG_PLAIN);
    EXPECT_EQ(nullptr, server.connector->getSslContext());
    int fd = connectLoopback(server.connector->getPort());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendPlain(fd, Bytes().u8(12).be32(9).u8(1).be32(1).u8(7).data));  // C_TYPE2 v1, C_ENABLE_TIMING
    // C_COMPLETE2 with the server version, then C_ENABLE_TIMING.
    EXPECT_EQ("09 00 00 00 01 07", readPlainHex(fd, 6));
    Connection* s = server.lastAccepted();
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(s->isPlain());
    EXPECT_EQ(1, s->getFlag());

    // A frame comes back as the recorder echoes it.
    std::string frame = Bytes().u8(3).be32(5).be32(77).int32(1234).data;
    ASSERT_TRUE(sendPlain(fd, frame));
    EXPECT_EQ(Bytes::hex(frame.data(), frame.size()), readPlainHex(fd, frame.size()));
    close(fd);
    EXPECT_TRUE(waitFor([&] { return server.recorder.lost == 1; }));
}

// A client that announces itself only after its connector was destroyed is
// refused, and the listener, which its owner may delete once destroy has
// returned, is not asked. The connection keeps the connector until it goes.
TEST(Connector, AClientThatAnnouncesItselfAfterTheConnectorWentIsRefused) {
    ensurePool();
    struct Counting : ConnectorListener {
        std::atomic<int> asked{0};
        bool newConnection(Connection*, int) override {
            asked++;
            return true;
        }
    };
    auto* listener = new Counting();
    Connector* c = loopbackConnector(listener, Connector::FLAG_PLAIN);
    ASSERT_NE(nullptr, c);
    long before = Connection::liveConnections();
    int fd = connectLoopback(c->getPort());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitFor([&] { return Connection::liveConnections() > before; })) << "accepted";
    Connector::destroy(c);
    delete listener;
    ASSERT_TRUE(sendPlain(fd, Bytes().u8(12).be32(9).u8(1).be32(1).data));  // C_TYPE2
    EXPECT_EQ("06", readPlainHex(fd, 1)) << "C_AUTHFAIL";
    close(fd);
    EXPECT_TRUE(waitFor([&] { return Connection::liveConnections() == before; }));
}

// The child's listener answers every client with the process id it runs in,
// and destroys the connection when it ends.
class PidReporter : public ConnectorListener, public ConnectionListener {
public:
    bool newConnection(Connection* c, int) override {
        c->setListener(this);
        auto* m = new Message(1);
        m->writeInt32(static_cast<int32_t>(getpid()));
        c->send(m);
        return true;
    }
    int onReceive(Connection*, Message*) override { return 0; }
    void onNoConnect(Connection*, int) override {}
    void onConnectComplete(Connection*) override {}
    void onLost(Connection* c) override { Connection::destroy(c); }
    void onClosed(Connection* c) override { Connection::destroy(c); }
};

// The child's exit status once it ended by itself, or -1 after 10 s.
int exitOf(pid_t child) {
    for (int i = 0; i < 1000; i++) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        usleep(10000);
    }
    return -1;
}

TEST(Connector, ForkFlagServesEachClientInAChild) {
    // The child drops what it inherited: the client on the connector's own
    // thread, and a connection on the other thread.
    restartPool(2);
    PidReporter reporter;
    Connector* connector = loopbackConnector(&reporter, Connector::FLAG_FORK);
    ASSERT_NE(nullptr, connector);
    {
        Client client("127.0.0.1", std::to_string(connector->getPort()));
        Connection* idle = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
        client.c->connect();
        ASSERT_TRUE(client.recorder.waitMessages(1));
        Message m(client.recorder.bodies[0].data(), client.recorder.bodies[0].size());
        int32_t child = 0;
        m.readInt32(&child);
        EXPECT_GT(child, 0);
        EXPECT_NE(getpid(), child);
        EXPECT_EQ(1, Connection::getComsContext(0)->getConnectionCount()) << "the parent holds only the client";
        // Once its client is gone the child has served it and ends.
        Connection::destroy(client.c);
        client.c = nullptr;
        int status = exitOf(child);
        if (status == -1) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        EXPECT_EQ(0, status);
        Connection::destroy(idle);
    }
    Connector::destroy(connector);
}


// The sockets each epoll set of process pid watches, by descriptor number and
// inode, and whether pid holds that very socket open under that number.
struct Watched {
    int fd;
    bool heldOpen;
};
std::vector<std::vector<Watched>> socketWatchesOf(pid_t pid) {
    std::vector<std::vector<Watched>> sets;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return sets;
    while (struct dirent* e = readdir(d)) {
        char link[64] = {};
        std::string path = dir + "/" + e->d_name;
        if (readlink(path.c_str(), link, sizeof(link) - 1) <= 0 || strcmp(link, "anon_inode:[eventpoll]") != 0)
            continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name);
        std::vector<Watched> set;
        for (std::string line; std::getline(info, line);) {
            int tfd = -1;
            unsigned long ino = 0;
            size_t at = line.find("ino:");
            if (sscanf(line.c_str(), "tfd: %d", &tfd) != 1 || at == std::string::npos) continue;
            ino = strtoul(line.c_str() + at + 4, nullptr, 16);
            char target[64] = {};
            std::string held = dir + "/" + std::to_string(tfd);
            ssize_t n = readlink(held.c_str(), target, sizeof(target) - 1);
            bool isSocketNow = n > 0 && strncmp(target, "socket:[", 8) == 0;
            if (isSocketNow || n <= 0) set.push_back({tfd, isSocketNow && strtoul(target + 8, nullptr, 10) == ino});
        }
        sets.push_back(set);
    }
    closedir(d);
    return sets;
}

// The processes whose parent is this one.
std::set<pid_t> childrenNow() {
    std::set<pid_t> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0) continue;
        // "pid (name) state ppid ...": the name may hold spaces, so the
        // fields are read after its closing parenthesis.
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        int parent = 0;
        if (close != std::string::npos && sscanf(line.c_str() + close + 1, " %*c %d", &parent) == 1 &&
            parent == getpid())
            out.insert(pid);
    }
    closedir(d);
    return out;
}

// A child serves its connection from an epoll set of its own. Sharing the
// parent's would let either process take the other's wake-ups (the nudge
// pipe is watched edge-triggered) and keep the parent's listening socket
// watched in a child that closed it.
TEST(Connector, AForkedChildWatchesOnlyWhatItHolds) {
    ensurePool();
    Refuser refuser;
    Connector* connector = loopbackConnector(&refuser, Connector::FLAG_FORK);
    ASSERT_NE(nullptr, connector);
    // A bare socket for a client: no thread of this process allocates while
    // the connector forks, which a sanitizer's allocator does not survive.
    std::set<pid_t> before = childrenNow();
    int fd = connectLoopback(connector->getPort());
    ASSERT_GE(fd, 0);
    pid_t child = -1;
    ASSERT_TRUE(waitFor([&] {
        for (pid_t pid : childrenNow())
            if (before.count(pid) == 0) child = pid;
        return child > 0;
    }));
    // Gone with the test, whatever happens to it.
    std::unique_ptr<pid_t, void (*)(pid_t*)> reap(&child, [](pid_t* pid) {
        if (*pid <= 0) return;
        kill(*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
    });
    // The child's set that serves its client is the one watching a socket
    // the child holds; every other socket in it must be one the child holds.
    auto servingSets = [&] {
        std::vector<std::vector<Watched>> serving;
        for (const std::vector<Watched>& set : socketWatchesOf(child))
            for (const Watched& w : set)
                if (w.heldOpen) {
                    serving.push_back(set);
                    break;
                }
        return serving;
    };
    ASSERT_TRUE(waitFor([&] { return !servingSets().empty(); })) << "the child watches its client";
    std::vector<std::vector<Watched>> serving = servingSets();
    ASSERT_EQ(1u, serving.size());
    for (const Watched& w : serving[0]) EXPECT_TRUE(w.heldOpen) << "a socket the child closed, as " << w.fd;
    // Its client gone, the child ends by itself. (Shut down rather than
    // closed: the child holds a copy of this end too.)
    shutdown(fd, SHUT_RDWR);
    close(fd);
    EXPECT_EQ(0, exitOf(child));
    child = -1;
    Connector::destroy(connector);
}

// A connection whose coms thread is busy in a callback until released.
class Stalling : public Recorder {
public:
    void onNoConnect(Connection* c, int code) override {
        entered = true;
        waitFor([&] { return released.load(); }, 10000);
        Recorder::onNoConnect(c, code);
    }
    std::atomic<bool> entered{false}, released{false};
};

// An accepted socket is handed to another coms thread by a post; the
// connector must outlive that post even when its owner destroys it first.
// The connection then meets a connector that has gone: it refuses the client.
TEST(Connector, AnAttachStillQueuedWhenTheConnectorGoesKeepsIt) {
    restartPool(2);
    Refuser refuser;
    Connector* connector = loopbackConnector(&refuser, Connector::FLAG_PLAIN);
    ASSERT_NE(nullptr, connector);
    int deadPort = 0;
    int dead = loopbackSocket(&deadPort);  // bound, not listening: refused
    // Two connections on the first thread and one on the second, so that
    // the next accepted socket goes to the second, which is kept busy.
    Recorder first1, first2;
    Stalling busy;
    Connection* a = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    Connection* b = Connection::create("127.0.0.1", std::to_string(deadPort).c_str(), nullptr, nullptr, 448);
    Connection* c = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    a->setListener(&first1);
    b->setListener(&busy);
    c->setListener(&first2);
    ASSERT_EQ(1, Connection::getComsContext(1)->getConnectionCount());
    b->connect();
    ASSERT_TRUE(waitFor([&] { return busy.entered.load(); }));

    int fd = connectLoopback(connector->getPort());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitFor([] { return Connection::getComsContext(1)->getConnectionCount() == 2; }))
        << "the accepted socket is on its way to the second thread";
    long before = Connection::liveConnections();
    Connector::destroy(connector);
    busy.released = true;
    ASSERT_TRUE(waitFor([&] { return Connection::liveConnections() > before; })) << "attached";
    ASSERT_TRUE(sendPlain(fd, Bytes().u8(12).be32(9).u8(1).be32(1).data));  // C_TYPE2
    EXPECT_EQ("06", readPlainHex(fd, 1)) << "C_AUTHFAIL";
    close(fd);
    close(dead);
    Connection::destroy(a);
    Connection::destroy(b);
    Connection::destroy(c);
    EXPECT_TRUE(allGone());
}

// A one-shot server: its listener takes the first client and destroys the
// connector from inside that call. With one coms thread the call runs where
// the connector lives; with two it runs on the other thread.
TEST(Connector, ItsListenerMayDestroyItFromInsideACall) {
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        restartPool(threads);
        struct OneShot : ConnectorListener {
            bool newConnection(Connection* c, int) override {
                c->setListener(&served);
                Connector::destroy(connector);
                destroyed = true;
                return true;
            }
            Connector* connector = nullptr;
            Recorder served;
            std::atomic<bool> destroyed{false};
        } oneShot;
        oneShot.served.onEnd = [](Connection* c) { Connection::destroy(c); };
        oneShot.connector = loopbackConnector(&oneShot, 0);
        ASSERT_NE(nullptr, oneShot.connector);
        std::string port = std::to_string(oneShot.connector->getPort());
        {
            Client client("127.0.0.1", port);
            EXPECT_TRUE(client.connect()) << "the first client is served";
            EXPECT_TRUE(waitFor([&] { return oneShot.destroyed.load(); }));
        }
        EXPECT_EQ(-1, connectLoopback(std::stoi(port))) << "nobody listens any more";
        EXPECT_TRUE(allGone());
    }
}

// A bind that waits for a busy port gives up once its connector is
// destroyed: by its owner on another thread, or by the listener when told
// of the failed attempt. Neither leaves the next attempt to a freed connector.
TEST(Connector, DestroyEndsABindThatWaitsForABusyPort) {
    ensurePool();
    int port = 0;
    int holder = loopbackSocket(&port);
    ASSERT_EQ(0, listen(holder, 1));
    Connector::setBindRetry(50, 100);
    TestCert& tc = TestCert::get();
    struct GivingUp : ConnectorListener {
        bool newConnection(Connection*, int) override { return false; }
        void onBindFailed(int, int, int, int, bool) override {
            failures++;
            if (destroyOnFailure) Connector::destroy(connector);
        }
        bool destroyOnFailure = false;
        Connector* connector = nullptr;
        std::atomic<int> failures{0};
    };
    for (bool fromListener : {false, true}) {
        SCOPED_TRACE(fromListener ? "destroyed by the listener" : "destroyed by the owner");
        LogCapture logs;
        GivingUp listener;
        listener.destroyOnFailure = fromListener;
        listener.connector = Connector::create(&listener, tc.cert, tc.key, 0);
        listener.connector->setBindAddress("127.0.0.1");
        std::atomic<int> result{1};
        std::thread binder([&] { result = listener.connector->bind(std::to_string(port).c_str()); });
        if (!fromListener) {
            ASSERT_TRUE(waitFor([&] { return listener.failures.load() > 0; }));
            Connector::destroy(listener.connector);
        }
        binder.join();
        EXPECT_EQ(-1, result.load());
        EXPECT_TRUE(logs.contains("bind given up, the port is no longer wanted"));
        EXPECT_FALSE(logs.contains("bind: Unable to bind to port")) << "not after all its attempts";
    }
    Connector::setBindRetry(20, 4000);
    close(holder);
}

// Whether this process may make a network namespace of its own (it needs
// root); asked in a child, which leaves this process where it is.
bool canMakeNetworkNamespace() {
    pid_t pid = fork();
    if (pid == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A port given as a service name binds that service's port, for both kinds
// of connector. In a network namespace of its own, where the well-known
// ports are surely free and no other run of this test competes for them.
TEST(ConnectorDeathTest, AServiceNameBindsThatServicesPort) {
    // The service database's own answers (each lookup reuses one buffer).
    struct servent* found = getservbyname("http", "tcp");
    const int httpPort = found != nullptr ? ntohs(static_cast<uint16_t>(found->s_port)) : 0;
    found = getservbyname("https", "tcp");
    const int httpsPort = found != nullptr ? ntohs(static_cast<uint16_t>(found->s_port)) : 0;
    if (httpPort == 0 || httpsPort == 0) GTEST_SKIP() << "the service database lacks http or https";
    if (!canMakeNetworkNamespace()) GTEST_SKIP() << "cannot make a network namespace (needs root)";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Before any coms thread starts: they take the namespace of the
            // thread that starts them.
            if (unshare(CLONE_NEWNET) != 0) _exit(2);
            ensurePool();
            Refuser refuser;
            TestCert& tc = TestCert::get();
            Connector* c = Connector::create(&refuser, tc.cert, tc.key, 0);
            int rc = c->bind("http");
            fprintf(stderr, "Connector: %d, port %d\n", rc, c->getPort());
            StreamConnector stream(nullptr, tc.cert, tc.key);
            int streamRc = stream.bind("https");
            fprintf(stderr, "StreamConnector: %d, port %d\n", streamRc, stream.getPort());
            _exit(rc == 0 && c->getPort() == httpPort && streamRc == 0 && stream.getPort() == httpsPort ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
