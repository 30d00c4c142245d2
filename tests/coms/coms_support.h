// Shared by the connection tests: a test certificate, listeners that record
// what happens and let a test wait for it, a server built on a Connector
// bound to an OS-chosen loopback port, raw TLS peers written directly on
// OpenSSL, and a way to run the pool with a given number of threads.
#ifndef DRV_TESTS_COMS_COMS_SUPPORT_H
#define DRV_TESTS_COMS_COMS_SUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/properties.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"
#include "tests/support/temp_dir.h"

namespace comstest {

// Polls pred every 5 ms for at most ms; true once it holds.
inline bool waitFor(const std::function<bool()>& pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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

// Runs the pool with n threads: stops it (once nothing uses it) and starts
// it again with "coms_threads" set to n in a scratch properties file.
inline void restartPool(int n) {
    static int stamp = 0;
    Connection::setLoopWait(20);
    waitFor([] { return Connection::liveConnections() == 0; });
    Connection::comsStop();
    TempDir dir;
    std::string path = dir.file("dravika.properties");
    writeFile(path, "coms_threads: " + std::to_string(n) + "\n");
    // Each load needs a modification time of its own.
    struct utimbuf times;
    times.actime = times.modtime = 1000000 + ++stamp;
    utime(path.c_str(), &times);
    s_setDravikaPropertiesPath(path.c_str());
    s_testDravikaProperties(false, nullptr);
    Connection::comsInit();
    s_setDravikaPropertiesPath(nullptr);
}

// Makes sure a pool runs, with short rounds so that it can be restarted.
inline void ensurePool() {
    dravika_init();
    Connection::setLoopWait(20);
    Connection::comsInit();
}

inline std::string bodyOf(Message* m) {
    size_t n = 0;
    unsigned char* bytes = m->copyBytes(&n);
    std::string s(reinterpret_cast<char*>(bytes), n);
    free(bytes);
    return s;
}

// Records every callback; optionally echoes messages back and destroys
// connections that end.
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
        end(c);
    }
    void onLost(Connection* c) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            lost++;
        }
        end(c);
    }
    void onClosed(Connection* c) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            closed++;
        }
        end(c);
    }
    void onConnectComplete(Connection*) override {
        std::lock_guard<std::mutex> hold(mutex);
        completes++;
    }
    void onResolveComplete(Connection*, int error, int) override {
        std::lock_guard<std::mutex> hold(mutex);
        resolves.push_back(error);
    }

    int count(const int& field) {
        std::lock_guard<std::mutex> hold(mutex);
        return field;
    }
    size_t messageCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return bodies.size();
    }
    std::vector<int> noConnectCodes() {
        std::lock_guard<std::mutex> hold(mutex);
        return noConnect;
    }
    bool waitComplete(int ms = 5000) {
        return waitFor([&] { return count(completes) > 0; }, ms);
    }
    bool waitNoConnect(int ms = 5000) {
        return waitFor([&] { return !noConnectCodes().empty(); }, ms);
    }
    bool waitMessages(size_t n, int ms = 5000) {
        return waitFor([&] { return messageCount() >= n; }, ms);
    }

    std::mutex mutex;
    int completes = 0;
    int lost = 0;
    int closed = 0;
    std::vector<int> noConnect;
    std::vector<int> resolves;
    std::vector<int> types;
    std::vector<std::string> bodies;
    bool echo = false;
    // Called when a connection ends (no connect, lost or closed).
    std::function<void(Connection*)> onEnd;
    std::function<void(Connection*, Message*)> onMessage;

private:
    void end(Connection* c) {
        if (onEnd) onEnd(c);
    }
};

// A Connector on an OS-chosen loopback port. Accepted connections get the
// server recorder (which echoes) and are destroyed when they end or when the
// server goes away.
class TestServer : public ConnectorListener {
public:
    explicit TestServer(int flags = 0) {
        ensurePool();
        TestCert& tc = TestCert::get();
        connector = Connector::create(this, tc.cert, tc.key, flags);
        connector->setBindAddress("127.0.0.1");
        bindResult = connector->bind("0");
        port = std::to_string(connector->getPort());
        recorder.echo = true;
        recorder.onEnd = [this](Connection* c) {
            std::lock_guard<std::mutex> hold(mutex);
            if (accepted.erase(c) > 0) Connection::destroy(c);
        };
    }
    ~TestServer() override {
        std::set<Connection*> left;
        {
            std::lock_guard<std::mutex> hold(mutex);
            left.swap(accepted);
        }
        // Connections that ended were destroyed and taken out of the set.
        for (Connection* c : left) Connection::destroy(c);
        waitFor([] { return Connection::liveConnections() == 0; });
        Connector::destroy(connector);
    }
    bool newConnection(Connection* c, int type) override {
        std::lock_guard<std::mutex> hold(mutex);
        types.push_back(type);
        typeVersions.push_back(c->getTypeVersion());
        if (!accept) return false;
        c->setListener(&recorder);
        accepted.insert(c);
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
    int bindResult = -1;
    std::string port;
    Recorder recorder;
    bool accept = true;
    std::mutex mutex;
    std::vector<int> types;
    std::vector<int> typeVersions;
    std::set<Connection*> accepted;
    Connection* last = nullptr;
};

// ---- raw TLS peers -------------------------------------------------------

// Reads exactly n bytes, waiting up to ms in all. False on time-out or end.
inline bool sslReadExact(SSL* ssl, int fd, unsigned char* out, size_t n, int ms = 5000) {
    size_t have = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (have < n) {
        if (SSL_pending(ssl) == 0) {
            struct pollfd p = {fd, POLLIN, 0};
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        }
        int rv = SSL_read(ssl, out + have, static_cast<int>(n - have));
        if (rv > 0) {
            have += static_cast<size_t>(rv);
            continue;
        }
        int err = SSL_get_error(ssl, rv);
        if (err != SSL_ERROR_WANT_READ) return false;
    }
    return true;
}

inline bool sslWriteAll(SSL* ssl, const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        int rv = SSL_write(ssl, p, static_cast<int>(n));
        if (rv <= 0) return false;
        p += rv;
        n -= static_cast<size_t>(rv);
    }
    return true;
}

// A TLS server on a loopback port that accepts one client and runs script
// on its own thread with the blocking TLS object; the socket stays open
// until the server object goes away.
class RawTlsServer {
public:
    using Script = std::function<void(SSL*, int fd, RawTlsServer&)>;

    explicit RawTlsServer(Script script, int rcvbuf = 0) : _script(std::move(script)) {
        TestCert& tc = TestCert::get();
        _ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(_ctx, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(_ctx, TLS1_2_VERSION);
        SSL_CTX_set_security_level(_ctx, 1);
        SSL_CTX_use_certificate(_ctx, tc.cert);
        SSL_CTX_use_PrivateKey(_ctx, tc.key);
        _listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) setsockopt(_listen, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(_listen, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(_listen, reinterpret_cast<struct sockaddr*>(&addr), &len);
        port = std::to_string(ntohs(addr.sin_port));
        listen(_listen, 4);
        _thread = std::thread([this] { serve(); });
    }
    ~RawTlsServer() {
        stop = true;
        shutdown(_listen, SHUT_RDWR);
        _thread.join();
        close(_listen);
        SSL_CTX_free(_ctx);
    }
    // Sleeps in small steps until the server is told to stop.
    void hold() {
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::string port;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::string received;  // whatever the script chose to keep

private:
    void serve() {
        int fd = accept(_listen, nullptr, nullptr);
        if (fd < 0) return;
        SSL* ssl = SSL_new(_ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) _script(ssl, fd, *this);
        done = true;
        hold();
        SSL_free(ssl);
        close(fd);
    }

    Script _script;
    SSL_CTX* _ctx;
    int _listen;
    std::thread _thread;
};

// A blocking TLS client connected from source (an IPv4 loopback address).
class RawTlsClient {
public:
    RawTlsClient(const std::string& port, const char* source = "127.0.0.1") {
        _ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(_ctx, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(_ctx, TLS1_2_VERSION);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in local;
        memset(&local, 0, sizeof(local));
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source, &local.sin_addr);
        bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local));
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(atoi(port.c_str())));
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) return;
        ssl = SSL_new(_ctx);
        SSL_set_fd(ssl, fd);
        connected = SSL_connect(ssl) == 1;
    }
    ~RawTlsClient() {
        if (ssl != nullptr) SSL_free(ssl);
        if (fd >= 0) close(fd);
        SSL_CTX_free(_ctx);
    }
    bool write(const std::string& bytes) { return sslWriteAll(ssl, bytes.data(), bytes.size()); }
    std::string read(size_t n, int ms = 5000) {
        std::string out(n, '\0');
        if (!sslReadExact(ssl, fd, reinterpret_cast<unsigned char*>(&out[0]), n, ms)) return "";
        return out;
    }

    SSL* ssl = nullptr;
    int fd = -1;
    bool connected = false;

private:
    SSL_CTX* _ctx;
};

// Descriptors open in this process.
inline int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - 1;  // the directory's own
}

// Threads of this process, and their names.
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
