// Shared by the connection tests: a test certificate, a listener that records
// what happens, a server on an OS-chosen loopback port, client connections,
// raw TLS peers written directly on OpenSSL, and the pool with a given size.
#ifndef DRV_TESTS_COMS_COMS_SUPPORT_H
#define DRV_TESTS_COMS_COMS_SUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/properties.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace comstest {

using ::waitFor;

inline bool allGone() {
    return waitFor([] { return Connection::liveConnections() == 0; });
}

// One self-signed server certificate for the whole test program.
struct TestCert {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    static TestCert& get() {
        static TestCert c = [] {
            dravika_init();
            TestCert t;
            makeSelfSignedCertificate("test", "/O=Dravika Test/CN=test server", 1024, 86400, &t.cert, &t.key);
            return t;
        }();
        return c;
    }
};

// A certificate and key made by one test, freed with it.
struct OwnedCert {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    OwnedCert() = default;
    OwnedCert(const OwnedCert&) = delete;
    OwnedCert& operator=(const OwnedCert&) = delete;
    ~OwnedCert() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    // A key too small for the library's security level: the library refuses
    // the certificate. 0 when made.
    int makeWeak() { return makeSelfSignedCertificate("test", "/CN=weak", 512, 3600, &cert, &key); }
    // A key pair of its own, which fits no other certificate. 0 when made.
    int makeAnonymous() { return makeAnonymousCertificate("test", &cert, &key); }
};

// Makes sure a pool runs, with short rounds so that it can be restarted.
inline void ensurePool() {
    dravika_init();
    Connection::setLoopWait(20);
    Connection::comsInit();
}

// Runs the pool with n threads: stops it once nothing uses it and starts it
// again with "coms_threads" set to n in a scratch properties file.
inline void restartPool(int n) {
    static int stamp = 0;
    Connection::setLoopWait(20);
    allGone();
    Connection::comsStop();
    TempDir dir;
    std::string path = dir.file("dravika.properties");
    writeFile(path, "coms_threads: " + std::to_string(n) + "\n");
    // Each load needs a modification time of its own.
    struct utimbuf times = {1000000 + ++stamp, 1000000 + stamp};
    utime(path.c_str(), &times);
    s_setDravikaPropertiesPath(path.c_str());
    s_testDravikaProperties(false, nullptr);
    Connection::comsInit();
    s_setDravikaPropertiesPath(nullptr);
}

// A plain TCP connection to a loopback port; with receiveBuffer above 0,
// that small a receive buffer (set before connecting, so that it holds).
inline int connectLoopback(int port, int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends bytes on a plain socket; true when they all went.
inline bool sendPlain(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
}

// Reads n bytes of a plain socket, waiting up to 5 s for each, in hex;
// fewer on time-out or end.
inline std::string readPlainHex(int fd, size_t n) {
    std::string out;
    struct pollfd p = {fd, POLLIN, 0};
    char b;
    while (out.size() < n && poll(&p, 1, 5000) > 0 && recv(fd, &b, 1, 0) == 1) out += b;
    return Bytes::hex(out.data(), out.size());
}

// A message with a body of one number that counts its deletion.
class CountedMessage : public Message {
public:
    explicit CountedMessage(std::atomic<int>* deleted) : Message(1), _deleted(deleted) { writeInt32(1); }
    ~CountedMessage() override { ++*_deleted; }

private:
    std::atomic<int>* _deleted;
};

inline std::string bodyOf(Message* m) {
    size_t n = 0;
    unsigned char* bytes = m->copyBytes(&n);
    std::string s(reinterpret_cast<char*>(bytes), n);
    free(bytes);
    return s;
}

// Records every callback; optionally echoes messages back. onEnd runs when a
// connection ends (no connect, lost or closed).
class Recorder : public ConnectionListener {
public:
    int onReceive(Connection* c, Message* m) override {
        std::string body = bodyOf(m);
        if (echo) {
            auto* reply = new Message(static_cast<int>(m->getType()));
            reply->appendBytes(body.data(), body.size());
            c->send(reply);
        }
        if (onMessage) onMessage(c, m);
        std::lock_guard<std::mutex> hold(mutex);
        types.push_back(static_cast<int>(m->getType()));
        bodies.push_back(body);
        return 0;
    }
    void onNoConnect(Connection* c, int code) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            noConnect.push_back(code);
        }
        if (onEnd) onEnd(c);
    }
    void onLost(Connection* c) override {
        lost++;
        if (onEnd) onEnd(c);
    }
    void onClosed(Connection* c) override {
        closed++;
        if (onEnd) onEnd(c);
    }
    void onConnectComplete(Connection*) override { completes++; }
    void onResolveComplete(Connection*, int error, int) override {
        std::lock_guard<std::mutex> hold(mutex);
        resolves.push_back(error);
    }

    std::vector<int> noConnectCodes() {
        std::lock_guard<std::mutex> hold(mutex);
        return noConnect;
    }
    size_t messageCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return bodies.size();
    }
    bool waitNoConnect(int ms = 5000) {
        return waitFor([&] { return !noConnectCodes().empty(); }, ms);
    }
    bool waitMessages(size_t n, int ms = 5000) {
        return waitFor([&] { return messageCount() >= n; }, ms);
    }

    std::mutex mutex;
    std::atomic<int> completes{0}, lost{0}, closed{0};
    std::vector<int> noConnect, resolves, types;
    std::vector<std::string> bodies;
    bool echo = false;
    std::function<void(Connection*)> onEnd;
    std::function<void(Connection*, Message*)> onMessage;
};

// A Connector on an OS-chosen loopback port. Accepted connections get the
// server recorder (which echoes) and are destroyed when they end, as they do
// once their clients, which go first, have gone.
class TestServer : public ConnectorListener {
public:
    explicit TestServer(int flags = 0) {
        ensurePool();
        TestCert& tc = TestCert::get();
        connector = Connector::create(this, tc.cert, tc.key, flags);
        connector->setBindAddress("127.0.0.1");
        EXPECT_EQ(0, connector->bind("0"));
        port = std::to_string(connector->getPort());
        recorder.echo = true;
        recorder.onEnd = [](Connection* c) { Connection::destroy(c); };
    }
    ~TestServer() override {
        EXPECT_TRUE(allGone());
        Connector::destroy(connector);
    }
    bool newConnection(Connection* c, int type) override {
        std::lock_guard<std::mutex> hold(mutex);
        types.push_back(type);
        if (!accept) return false;
        c->setListener(&recorder);
        last = c;
        return true;
    }
    Connection* lastAccepted() {
        std::lock_guard<std::mutex> hold(mutex);
        return last;
    }
    std::vector<int> seenTypes() {
        std::lock_guard<std::mutex> hold(mutex);
        return types;
    }

    Connector* connector = nullptr;
    std::string port;
    Recorder recorder;
    bool accept = true;
    std::mutex mutex;
    std::vector<int> types;
    Connection* last = nullptr;
};

// A client connection with its own recorder; destroyed, and waited for, at
// the end of the scope unless the test destroyed it (and cleared c) itself.
struct Client {
    explicit Client(const std::string& host, const std::string& port, int type = 448, int typeVersion = 0) {
        ensurePool();
        c = Connection::create(host.c_str(), port.c_str(), nullptr, nullptr, type);
        c->setListener(&recorder);
        c->setTypeVersion(typeVersion);
    }
    ~Client() {
        if (c != nullptr) Connection::destroy(c);
        allGone();
    }
    bool connect() {
        c->connect();
        return waitFor([&] { return recorder.completes > 0; });
    }
    Recorder recorder;
    Connection* c;
};

// ---- raw TLS peers -------------------------------------------------------

// Reads exactly n bytes, waiting up to ms in all. False on time-out or end.
inline bool sslReadExact(SSL* ssl, int fd, void* out, size_t n, int ms = 5000) {
    size_t have = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (have < n) {
        if (SSL_pending(ssl) == 0) {
            struct pollfd p = {fd, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        }
        int rv = SSL_read(ssl, static_cast<char*>(out) + have, static_cast<int>(n - have));
        if (rv > 0)
            have += static_cast<size_t>(rv);
        else if (SSL_get_error(ssl, rv) != SSL_ERROR_WANT_READ)
            return false;
    }
    return true;
}

// A TLS server on a loopback port for one client, driven byte by byte by
// the test itself through ssl (blocking) once accept() returned true. It
// speaks only the given protocol version.
class RawTlsServer {
public:
    explicit RawTlsServer(int rcvbuf = 0, int version = TLS1_2_VERSION) {
        TestCert& tc = TestCert::get();
        _ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(_ctx, version);
        SSL_CTX_set_max_proto_version(_ctx, version);
        SSL_CTX_set_security_level(_ctx, 1);
        SSL_CTX_use_certificate(_ctx, tc.cert);
        SSL_CTX_use_PrivateKey(_ctx, tc.key);
        int p = 0;
        _listen = loopbackSocket(&p);
        if (rcvbuf > 0) setsockopt(_listen, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        port = std::to_string(p);
        listen(_listen, 1);
    }
    ~RawTlsServer() {
        SSL_free(ssl);
        if (fd >= 0) close(fd);
        close(_listen);
        SSL_CTX_free(_ctx);
    }
    // Waits up to 5 s for the client and its TLS handshake.
    bool accept() {
        struct pollfd p = {_listen, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return false;
        fd = ::accept(_listen, nullptr, nullptr);
        ssl = SSL_new(_ctx);
        SSL_set_fd(ssl, fd);
        return SSL_accept(ssl) == 1;
    }
    // Reads n bytes, in hex; "" on time-out or end.
    std::string readHex(size_t n, int ms = 5000) {
        std::string bytes(n, '\0');
        return sslReadExact(ssl, fd, &bytes[0], n, ms) ? Bytes::hex(bytes.data(), n) : "";
    }
    bool write(const std::string& bytes) {
        return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    }

    std::string port;
    SSL* ssl = nullptr;
    int fd = -1;

private:
    SSL_CTX* _ctx;
    int _listen;
};

// Connects client to the raw server, reads its C_TYPE (type version 0) and
// C_ENABLE_TIMING, and answers with the given items.
inline void greet(Client& client, RawTlsServer& raw, const std::string& answer) {
    client.c->connect();
    ASSERT_TRUE(raw.accept());
    EXPECT_EQ("02 00 00 01 C0 00 07", raw.readHex(7));
    raw.write(answer);
}

// Starts this test program again to run one test, with extra environment
// variables and its standard output dropped; the child's pid.
inline pid_t spawnSelf(const std::string& test, const std::vector<std::string>& vars) {
    std::string filter = "--gtest_filter=" + test;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    char* argv[] = {self, &filter[0], nullptr};
    std::vector<char*> env;
    // Not the shard of the parent's cases: the child runs the one case named.
    for (char** e = environ; *e != nullptr; e++)
        if (strncmp(*e, "GTEST_", 6) != 0) env.push_back(*e);
    for (const std::string& v : vars) env.push_back(const_cast<char*>(v.c_str()));
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, self, &actions, nullptr, argv, env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Threads of this process, by name.
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* d = opendir("/proc/self/task");
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string name = readFile(std::string("/proc/self/task/") + e->d_name + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    closedir(d);
    return names;
}

}  // namespace comstest

#endif
