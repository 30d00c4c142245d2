// drvconn: a listen/connect round trip, every refusal and the kill switch as
// the user sees them, connection errors, the memory a large message takes,
// and the usage text.
#include <openssl/ssl.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "coms/tls.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

Outcome run(const std::vector<std::string>& args) {
    return runToEnd(DRVCONN_PATH, args);
}

// The port a listener printed, once it is listening.
std::string portOf(const Process& listener) {
    const std::string prefix = "listening on 127.0.0.1:";
    if (!listener.waitForOutput(prefix)) return "";
    std::string text = listener.out();
    size_t at = text.find(prefix) + prefix.size();
    return text.substr(at, text.find('\n', at) - at);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Drvconn, RoundTripAndRefusals) {
    Process server(DRVCONN_PATH, {"listen", "0", "--bind", "127.0.0.1", "--kill", "--whitelist", "10.0.0.0/8"});
    std::string port = portOf(server);
    ASSERT_FALSE(port.empty()) << server.err();

    Outcome ok = run({"connect", "127.0.0.1", port, "--send", "50", "--size", "100"});
    EXPECT_EQ(0, ok.status) << ok.err;
    for (std::string part : {"connected to 127.0.0.1:" + port + " (C_TYPE2, server version 1)",
                             std::string("connection: TLSv1.2-"), std::string(", sig: sha256WithRSAEncryption-2048"),
                             std::string("latency: "), std::string("sent 50 messages of 100 bytes in ")})
        EXPECT_TRUE(has(ok.out, part)) << part << "\n" << ok.out;

    // The exit status and what the user reads, on standard output for
    // status 0, else on standard error.
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"127.0.0.1:v0", port, "--type", "7"}, 0, "(C_TYPE, server version 0)"},
        {{"127.0.0.1", port, "--source", "127.0.0.2"},
         2,
         "refused this client's address: Connection disabled via whitelist (C_NOT_WHITELIST)"},
        // The kill switch with either handshake: type 333 on connecting,
        // type 550 at its first heartbeat; a 550 client that probes latency
        // (C_TYPE2) sends no heartbeat and stays.
        {{"127.0.0.1", port, "--type", "333"}, 1, "ordered this client to stop (C_KILL); exiting with status 1"},
        {{"127.0.0.1", port, "--type", "333", "--type-version", "0"}, 1, "ordered this client to stop (C_KILL)"},
        {{"127.0.0.1", port, "--type", "550", "--type-version", "0", "--hold", "5000"},
         1,
         "ordered this client to stop (C_KILL)"},
        {{"127.0.0.1", port, "--type", "550", "--hold", "1000"}, 0, "latency: "},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), "connect");
        Outcome o = run(c.args);
        EXPECT_EQ(c.status, o.status) << c.text;
        EXPECT_TRUE(has(c.status == 0 ? o.out : o.err, c.text)) << o.out << o.err;
    }

    EXPECT_EQ(0, server.stop());
    EXPECT_TRUE(has(server.out(), "accepted client 127.0.0.1 (type 100, type version 2): TLSv1.2-")) << server.out();
    EXPECT_TRUE(has(server.out(), "accepted client 127.0.0.1 (type 7, type version 0)")) << server.out();
    EXPECT_TRUE(has(server.out(), "stopping")) << server.out();

    Process refuser(DRVCONN_PATH, {"listen", "0", "--bind", "127.0.0.1", "--refuse"});
    std::string refusing = portOf(refuser);
    Outcome refused = run({"connect", "127.0.0.1", refusing});
    EXPECT_EQ(2, refused.status);
    EXPECT_TRUE(has(refused.err, "refused this client: Authentication failure (C_AUTHFAIL)")) << refused.err;
    EXPECT_EQ(0, refuser.stop());
    EXPECT_TRUE(has(refuser.out(), "refused client 127.0.0.1 (type 100)"));

    // Nobody listens there any more.
    Outcome gone = run({"connect", "127.0.0.1", refusing});
    EXPECT_EQ(2, gone.status);
    EXPECT_TRUE(has(gone.err, "cannot connect to 127.0.0.1:" + refusing + ": Connection refused (-8)")) << gone.err;
}

// A TLS server on a loopback port that speaks only TLS 1.3, for one client.
class Tls13Server {
public:
    Tls13Server() {
        _ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(_ctx, TLS1_3_VERSION);
        SSL_CTX_set_max_proto_version(_ctx, TLS1_3_VERSION);
        X509* cert = nullptr;
        EVP_PKEY* key = nullptr;
        makeSelfSignedCertificate("test", "/CN=tls13 only", 2048, 3600, &cert, &key);
        SSL_CTX_use_certificate(_ctx, cert);
        SSL_CTX_use_PrivateKey(_ctx, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        _listen = listenOnLoopback(1, &port);
        _thread = std::thread([this] {
            int fd = accept(_listen, nullptr, nullptr);
            if (fd < 0) return;
            SSL* ssl = SSL_new(_ctx);
            SSL_set_fd(ssl, fd);
            accepted = SSL_accept(ssl) == 1;
            SSL_free(ssl);
            close(fd);
        });
    }
    ~Tls13Server() {
        shutdown(_listen, SHUT_RDWR);
        _thread.join();
        close(_listen);
        SSL_CTX_free(_ctx);
    }
    std::string port;
    std::atomic<bool> accepted{false};

private:
    SSL_CTX* _ctx;
    int _listen;
    std::thread _thread;
};

TEST(Drvconn, AServerThatRefusesTls12IsNamed) {
    Tls13Server server;
    Outcome o = run({"connect", "127.0.0.1", server.port});
    EXPECT_EQ(2, o.status);
    EXPECT_TRUE(has(o.err, "drvconn: cannot connect to 127.0.0.1:" + server.port +
                               ": Not Connected (lost or closed) (-10): the peer refused TLS 1.2"))
        << o.err;
    EXPECT_FALSE(server.accepted);
}

// g++ says it builds for ThreadSanitizer with a macro, clang only through
// __has_feature.
#if defined(__SANITIZE_THREAD__)
#define DRV_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DRV_UNDER_TSAN 1
#endif
#endif
#ifndef DRV_UNDER_TSAN
#define DRV_UNDER_TSAN 0
#endif

// VmHWM of a running process, in kB; 0 when it cannot be read.
long peakResidentKb(pid_t pid) {
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nVmHWM:");
    return at == std::string::npos ? 0 : strtol(status.c_str() + at + 7, nullptr, 10);
}

// A listener that receives one large message, and echoes it, holds its body
// once: its peak resident size grows by the body and a small margin (room
// for the address sanitizer's shadow of the body, an eighth of it), where a
// copy would add the body again.
TEST(Drvconn, ALargeMessageIsHeldOnceByTheListener) {
#if DRV_UNDER_TSAN
    GTEST_SKIP() << "the thread sanitizer's shadow memory hides what is measured";
#endif
    Process server(DRVCONN_PATH, {"listen", "0", "--bind", "127.0.0.1"});
    std::string port = portOf(server);
    ASSERT_FALSE(port.empty()) << server.err();
    long before = peakResidentKb(server.pid());
    ASSERT_GT(before, 0);
    const long kBody = 128L << 20;
    Outcome o = run({"connect", "127.0.0.1", port, "--send", "1", "--size", std::to_string(kBody)});
    ASSERT_EQ(0, o.status) << o.err;
    EXPECT_TRUE(has(o.out, "sent 1 messages of " + std::to_string(kBody) + " bytes")) << o.out;
    long grown = (peakResidentKb(server.pid()) - before) * 1024;
    EXPECT_GT(grown, kBody) << "the body was not received";
    EXPECT_LT(grown, kBody + kBody / 8 + (16L << 20)) << "peak grew by " << (grown >> 20) << " MiB";
    EXPECT_EQ(0, server.stop());
}

// A port that stays busy: the listener says at once why it waits and for
// how long, and stops on SIGTERM as it does once listening, rather than
// after its last attempt. A bind that cannot work says why without waiting.
TEST(Drvconn, BindFailuresAreExplainedAsTheyHappen) {
    Process holder(DRVCONN_PATH, {"listen", "0", "--bind", "127.0.0.1"});
    std::string port = portOf(holder);
    ASSERT_FALSE(port.empty());
    Process waiting(DRVCONN_PATH, {"listen", port, "--bind", "127.0.0.1"});
    bool told = false;
    for (int i = 0; i < 1000 && !told; i++) {
        told = has(waiting.err(), "drvconn: cannot bind: Address already in use; retrying every 4.0 s, for up to 76 s");
        if (!told) usleep(10000);
    }
    ASSERT_TRUE(told) << waiting.err();
    EXPECT_EQ(0, waiting.stop());
    EXPECT_TRUE(has(waiting.out(), "stopping")) << waiting.out();
    EXPECT_FALSE(has(waiting.err(), "attempt 20 of 20")) << waiting.err();
    EXPECT_EQ(0, holder.stop());

    // Not an address of this machine: no retry.
    Outcome foreign = run({"listen", "0", "--bind", "192.0.2.1"});
    EXPECT_EQ(2, foreign.status);
    EXPECT_TRUE(has(foreign.err, "drvconn: cannot bind: Cannot assign requested address (attempt 1 of 20)"))
        << foreign.err;
}

TEST(Drvconn, UsageAndHelp) {
    Outcome help = run({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("usage: drvconn listen PORT [options]\n")) << help.out;

    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {{}, 64, "drvconn: say listen or connect"},
        {{"connect", "h", "1", "--frobnicate"}, 64, "unknown option --frobnicate"},
        {{"listen", "0", "--whitelist", "10.1.0.0/16, 300.1.1.1/99"},
         64,
         "bad --whitelist rule \"300.1.1.1/99\": the network is not an IPv4 address"},
        {{"listen", "0", "--cert", "x.pem"}, 64, "--cert and --key go together"},
        {{"listen", "0", "--cert", "/nonexistent.pem", "--key", "/nonexistent.key"},
         2,
         "cannot read a PEM certificate from /nonexistent.pem"},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(c.status, o.status) << c.err;
        EXPECT_TRUE(has(o.err, c.err)) << o.err;
    }
}

}  // namespace
