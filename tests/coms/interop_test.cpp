// Interop with a TLS client nobody here wrote (the openssl command), and the
// anonymous client certificate read back through the X.509 interface.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <sys/wait.h>
#include <time.h>

#include "coms/coms_error.h"
#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

struct ShellRun {
    int status;
    std::string out;
};

// Runs a shell command with input on its standard input.
ShellRun shell(const std::string& command, const std::string& input) {
    TempDir dir;
    writeFile(dir.file("in"), input);
    std::string full = command + " < " + dir.file("in") + " > " + dir.file("out") + " 2>&1";
    int rc = system(full.c_str());
    return ShellRun{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readFile(dir.file("out"))};
}

TEST(Interop, OpensslClientSpeaksTls12Only) {
    LogCapture logs;
    TestServer server;
    server.accept = false;
    std::string connect = "timeout 20 openssl s_client -connect 127.0.0.1:" + server.port;

    // TLS 1.2: the handshake completes; the type item written through the
    // openssl client is refused with C_AUTHFAIL (byte 6) and the server closes.
    ShellRun ok = shell(connect + " -tls1_2 -ign_eof", std::string("\x02\x00\x00\x01\xc0\x00", 6));
    EXPECT_EQ(0, ok.status) << ok.out;
    EXPECT_NE(std::string::npos, ok.out.find("Protocol  : TLSv1.2")) << ok.out;
    EXPECT_NE(std::string::npos, ok.out.find("\x06")) << "C_AUTHFAIL came back";
    EXPECT_EQ(std::vector<int>{448}, server.seenTypes());
    EXPECT_TRUE(logs.contains("New Connection (no certificiate)")) << "the openssl client sent no certificate";

    // TLS 1.3 is refused during the handshake.
    ShellRun refused = shell(connect + " -tls1_3", "");
    EXPECT_NE(0, refused.status);
    EXPECT_EQ(std::string::npos, refused.out.find("TLSv1.3, Cipher")) << refused.out;
    EXPECT_NE(std::string::npos, refused.out.find("alert")) << refused.out;
    EXPECT_TRUE(waitFor([] { return Connection::liveConnections() == 0; })) << "refused connections are deleted";
}

// The server keeps AES-128-GCM first but gives ChaCha20-Poly1305 to a
// client that leads with it (one that found it quicker on its processor).
TEST(Interop, ServerGivesChachaToAClientLeadingWithIt) {
    TestServer server;
    server.accept = false;
    std::string connect = "timeout 20 openssl s_client -tls1_2 -connect 127.0.0.1:" + server.port + " -cipher ";
    const std::string aes = "ECDHE-RSA-AES128-GCM-SHA256", chacha = "ECDHE-RSA-CHACHA20-POLY1305";
    struct Case {
        std::string offer, chosen;
    } cases[] = {
        {chacha + ":" + aes, chacha},
        {aes + ":" + chacha, aes},
        {"ECDHE-RSA-AES256-GCM-SHA384:" + chacha + ":" + aes, aes},
    };
    for (const Case& c : cases) {
        ShellRun run = shell(connect + c.offer, "");
        EXPECT_NE(std::string::npos, run.out.find("Cipher is " + c.chosen)) << c.offer << "\n" << run.out;
    }
}

// Peers that speak only TLS 1.3: the failure keeps its code, and both the
// log and the connection say that the peer refused TLS 1.2.
TEST(Interop, PeerThatSpeaksOnlyTls13IsNamedAsTheReason) {
    LogCapture logs;
    {
        RawTlsServer tls13(0, TLS1_3_VERSION);
        Client client("127.0.0.1", tls13.port);
        client.c->connect();
        EXPECT_FALSE(tls13.accept());
        ASSERT_TRUE(client.recorder.waitNoConnect());
        EXPECT_EQ(std::vector<int>{COMS_E_NOT_CONNECTED}, client.recorder.noConnectCodes());
        const char* why = client.c->getFailureReason();
        ASSERT_NE(nullptr, why);
        EXPECT_NE(std::string::npos, std::string(why).find("the peer refused TLS 1.2")) << why;
        EXPECT_TRUE(logs.contains("C-127.0.0.1:" + tls13.port + ": the peer refused TLS 1.2")) << logs.text();
    }

    // This side as the server, and a TLS 1.3 client written on OpenSSL.
    TestServer server;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    int fd = connectLoopback(atoi(server.port.c_str()));
    ASSERT_GE(fd, 0);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    EXPECT_NE(1, SSL_connect(ssl));
    EXPECT_TRUE(waitFor([&] { return logs.contains("S-127.0.0.1: the peer refused TLS 1.2"); })) << logs.text();
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    EXPECT_TRUE(server.seenTypes().empty());

    // Other failures carry no such reason.
    Client nobody("127.0.0.1", "1");
    nobody.c->connect();
    ASSERT_TRUE(nobody.recorder.waitNoConnect());
    EXPECT_EQ(std::vector<int>{COMS_E_REFUSED}, nobody.recorder.noConnectCodes());
    EXPECT_EQ(nullptr, nobody.c->getFailureReason());
}

TEST(Interop, AnonymousCertificate) {
    dravika_init();
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    time_t before = time(nullptr);
    ASSERT_EQ(0, makeAnonymousCertificate("test", &cert, &key));
    time_t after = time(nullptr);

    for (X509_NAME* name : {X509_get_subject_name(cert), X509_get_issuer_name(cert)}) {
        char* text = x509NameText(name);
        EXPECT_STREQ("/O=ZephanSoftware/CN=LoginRequest", text);
        free(text);
    }
    EXPECT_EQ(2, X509_get_version(cert)) << "version 3";
    long serial = ASN1_INTEGER_get(X509_get0_serialNumber(cert));
    EXPECT_GE(serial, static_cast<long>(before));
    EXPECT_LE(serial, static_cast<long>(after));

    int days = 0, seconds = 0;
    ASSERT_EQ(1, ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)));
    EXPECT_EQ(3650, days);
    EXPECT_EQ(0, seconds);
    EXPECT_LE(X509_cmp_time(X509_get0_notBefore(cert), &after), 0);

    EXPECT_EQ(NID_sha256WithRSAEncryption, X509_get_signature_nid(cert));
    EXPECT_EQ(EVP_PKEY_RSA, EVP_PKEY_base_id(key));
    EXPECT_EQ(1024, EVP_PKEY_bits(key));
    EXPECT_EQ(1, X509_verify(cert, key)) << "self-signed";
    X509_free(cert);
    EVP_PKEY_free(key);
}

}  // namespace
