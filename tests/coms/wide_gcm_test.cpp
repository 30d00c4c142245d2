// AES-128-GCM on wide vectors against the crypto library's own, first as
// functions and then inside TLS, where each side may use either.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "coms/tls.h"
#include "coms/tls_wide_gcm.h"
#include "coms/wide_gcm.h"

namespace {

using Bytes = std::vector<uint8_t>;

const size_t kIvLength = 20;  // a nonce GCM hashes rather than uses as it is

Bytes randomBytes(size_t n) {
    Bytes b(n);
    if (n > 0) RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

struct Sealed {
    Bytes text;
    Bytes tag;
};

// Seals through the library's interface: the additional data in pieces of 7
// bytes and the text in pieces of 1000, with a nonce of any length (given as
// a parameter) and a tag of tagLength bytes.
Sealed seal(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& aad, const Bytes& in,
            size_t tagLength = 16) {
    Sealed s{Bytes(in.size()), Bytes(tagLength)};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    size_t ivBytes = iv.size();
    OSSL_PARAM ivLength[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_IVLEN, &ivBytes), OSSL_PARAM_END};
    int n = 0, total = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex2(ctx, cipher, key.data(), nullptr, ivLength));
    EXPECT_EQ(1, EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv.data(), nullptr));
    for (size_t at = 0; at < aad.size(); at += 7) {
        int piece = static_cast<int>(std::min<size_t>(7, aad.size() - at));
        EXPECT_EQ(1, EVP_EncryptUpdate(ctx, nullptr, &n, aad.data() + at, piece));
    }
    for (size_t at = 0; at < in.size(); at += 1000) {
        int piece = static_cast<int>(std::min<size_t>(1000, in.size() - at));
        EXPECT_EQ(1, EVP_EncryptUpdate(ctx, s.text.data() + total, &n, in.data() + at, piece));
        total += n;
    }
    EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, s.text.data() + total, &n));
    EXPECT_EQ(1, EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagLength), s.tag.data()));
    EVP_CIPHER_CTX_free(ctx);
    return s;
}

#define REQUIRE_WIDE() \
    if (!wideGcmAvailable()) GTEST_SKIP() << "this processor lacks VAES, VPCLMULQDQ or AVX-512"

// Every length up to a little over four vectors of sixteen blocks (so each
// way a tail can end), then long ones, with additional data of every shape;
// sealed in place and into another buffer, and opened back.
TEST(WideGcm, SealsAndOpensAsTheLibraryDoes) {
    REQUIRE_WIDE();
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 1100; n++) lengths.push_back(n);
    for (size_t n : {4095, 4096, 16383, 16384, 16385, 65536 + 7}) lengths.push_back(n);
    const size_t aadLengths[] = {0, 1, 13, 15, 16, 17, 64, 255, 256, 257, 600};
    for (size_t i = 0; i < lengths.size(); i++) {
        size_t n = lengths[i];
        Bytes key = randomBytes(16), iv = randomBytes(12), aad = randomBytes(aadLengths[i % 11]), in = randomBytes(n);
        Sealed expected = seal(EVP_aes_128_gcm(), key, iv, aad, in);
        WideGcmKey k;
        wideGcmSetKey(&k, key.data());

        Bytes out(n + 1, 0xee), tag(16);
        wideGcmSeal(k, iv.data(), aad.data(), aad.size(), in.data(), n, out.data(), tag.data());
        ASSERT_EQ(expected.text, Bytes(out.begin(), out.begin() + static_cast<long>(n))) << "length " << n;
        ASSERT_EQ(expected.tag, tag) << "length " << n << ", additional data " << aad.size();
        ASSERT_EQ(0xee, out[n]) << "nothing is written past the end";

        Bytes inPlace = in;
        wideGcmSeal(k, iv.data(), aad.data(), aad.size(), inPlace.data(), n, inPlace.data(), tag.data());
        ASSERT_EQ(expected.text, inPlace);
        ASSERT_TRUE(wideGcmOpen(k, iv.data(), aad.data(), aad.size(), inPlace.data(), n, inPlace.data(), tag.data()));
        ASSERT_EQ(in, inPlace) << "length " << n;
    }
}

TEST(WideGcm, RefusesAnyChangedByteAndGivesNothing) {
    REQUIRE_WIDE();
    Bytes key = randomBytes(16), iv = randomBytes(12), aad = randomBytes(13);
    WideGcmKey k;
    wideGcmSetKey(&k, key.data());
    for (size_t n : {1, 300, 5000}) {
        Bytes in = randomBytes(n), sealed(n), tag(16);
        wideGcmSeal(k, iv.data(), aad.data(), aad.size(), in.data(), n, sealed.data(), tag.data());
        struct Change {
            Bytes* field;
            size_t at;
        };
        for (Change c : {Change{&sealed, 0}, Change{&sealed, n / 2}, Change{&sealed, n - 1}, Change{&aad, 12},
                         Change{&tag, 0}, Change{&tag, 15}, Change{&iv, 11}}) {
            (*c.field)[c.at] ^= 0x01;
            Bytes out(n, 0x55);
            EXPECT_FALSE(wideGcmOpen(k, iv.data(), aad.data(), aad.size(), sealed.data(), n, out.data(), tag.data()));
            EXPECT_EQ(Bytes(n, 0), out) << "a refused record leaves no plaintext";
            (*c.field)[c.at] ^= 0x01;
        }
        Bytes out(n);
        EXPECT_TRUE(wideGcmOpen(k, iv.data(), aad.data(), aad.size(), sealed.data(), n, out.data(), tag.data()));
        EXPECT_EQ(in, out);
    }
}

// Two TLS endpoints joined by memory buffers, so that the test can see and
// change the records between them.
struct Endpoint {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // what the peer sent, not yet read
    BIO* out = nullptr;  // what this side sent, not yet moved

    Endpoint(SSL_CTX* ctx, bool server) {
        ssl = SSL_new(ctx);
        in = BIO_new(BIO_s_mem());
        out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        if (server)
            SSL_set_accept_state(ssl);
        else
            SSL_set_connect_state(ssl);
    }
    ~Endpoint() { SSL_free(ssl); }

    // Moves what this side wrote to the other, changing byte `flip` of it
    // (counted from the first byte moved) when that is inside.
    size_t sendTo(Endpoint& peer, size_t flip = SIZE_MAX) {
        char* data = nullptr;
        long n = BIO_get_mem_data(out, &data);
        std::string bytes(data, static_cast<size_t>(n));
        if (flip < bytes.size()) bytes[flip] = static_cast<char>(bytes[flip] ^ 0x20);
        BIO_write(peer.in, bytes.data(), static_cast<int>(bytes.size()));
        (void)BIO_reset(out);
        return bytes.size();
    }
};

bool handshake(Endpoint& client, Endpoint& server) {
    for (int i = 0; i < 20; i++) {
        int c = SSL_do_handshake(client.ssl);
        client.sendTo(server);
        int s = SSL_do_handshake(server.ssl);
        server.sendTo(client);
        if (c == 1 && s == 1) return true;
    }
    return false;
}

// Whether message arrives whole. Writes may stop at a record's end (the
// contexts allow partial writes).
bool transfer(Endpoint& from, Endpoint& to, const Bytes& message) {
    for (size_t done = 0; done < message.size();) {
        int n = SSL_write(from.ssl, message.data() + done, static_cast<int>(message.size() - done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    from.sendTo(to);
    Bytes got;
    uint8_t buf[32768];
    int n;
    while ((n = SSL_read(to.ssl, buf, sizeof(buf))) > 0) got.insert(got.end(), buf, buf + n);
    return got == message;
}

struct Credentials {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    Credentials() { EXPECT_EQ(0, makeSelfSignedCertificate("test", "/CN=wide-gcm", 2048, 3600, &cert, &key)); }
    ~Credentials() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

// A context that uses only the library's own AES-128-GCM.
SSL_CTX* libraryContext(const SSL_METHOD* method, const Credentials* credentials) {
    SSL_CTX* ctx = SSL_CTX_new(method);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, "ECDHE-RSA-AES128-GCM-SHA256");
    if (credentials != nullptr) {
        SSL_CTX_use_PrivateKey(ctx, credentials->key);
        SSL_CTX_use_certificate(ctx, credentials->cert);
    }
    return ctx;
}

// GCM used in every other way than TLS record protection, with the cipher
// that contexts preferring the provider get: sealed in pieces and opened
// again. A fetch without the preference may get the same implementation,
// and must get all of GCM from it.
TEST(TlsWideGcm, ServesAllOfGcmToWhoeverFetchesIt) {
    REQUIRE_WIDE();
    ASSERT_NE(nullptr, tlsWideGcmProperties());
    EVP_CIPHER* preferred = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", tlsWideGcmProperties());
    EVP_CIPHER* library = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", "provider=default");
    ASSERT_NE(nullptr, preferred);
    ASSERT_NE(nullptr, library);
    EXPECT_STREQ("drv-wide-gcm", OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(preferred)));
    EXPECT_EQ(EVP_CIPHER_get_flags(library), EVP_CIPHER_get_flags(preferred));

    Bytes key = randomBytes(16), iv = randomBytes(kIvLength), aad = randomBytes(40), in = randomBytes(5000);
    Sealed ours = seal(preferred, key, iv, aad, in, 12);
    Sealed theirs = seal(library, key, iv, aad, in, 12);
    EXPECT_EQ(theirs.text, ours.text);
    EXPECT_EQ(theirs.tag, ours.tag);

    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes back(in.size());
    int n = 0, total = 0;
    ASSERT_EQ(1, EVP_DecryptInit_ex2(ctx, preferred, key.data(), nullptr, nullptr));
    ASSERT_EQ(1, EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(kIvLength), nullptr));
    ASSERT_EQ(1, EVP_DecryptInit_ex2(ctx, nullptr, nullptr, iv.data(), nullptr));
    ASSERT_EQ(1, EVP_DecryptUpdate(ctx, nullptr, &n, aad.data(), static_cast<int>(aad.size())));
    ASSERT_EQ(1, EVP_DecryptUpdate(ctx, back.data(), &n, ours.text.data(), static_cast<int>(ours.text.size())));
    total = n;
    ASSERT_EQ(1, EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 12, ours.tag.data()));
    EXPECT_EQ(1, EVP_DecryptFinal_ex(ctx, back.data() + total, &n)) << "the tag holds";
    EXPECT_EQ(in, back);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(preferred);
    EVP_CIPHER_free(library);
}

// Records sealed by this side open with the library's GCM and the other
// way round, in both directions and across record sizes, and a record
// changed on the way ends the connection instead of being delivered.
TEST(TlsWideGcm, TalksWithTheLibrarysOwnGcmBothWays) {
    Credentials credentials;
    SSL_CTX* ours = tlsServerContext(credentials.cert, credentials.key, true, "wide-gcm-test");
    SSL_CTX* theirs = libraryContext(TLS_client_method(), nullptr);
    SSL_CTX* oursClient = tlsClientContext("wide-gcm-test");
    SSL_CTX* theirsServer = libraryContext(TLS_server_method(), &credentials);
    ASSERT_NE(nullptr, ours);
    ASSERT_NE(nullptr, oursClient);
    struct Pair {
        SSL_CTX* client;
        SSL_CTX* server;
    };
    for (Pair pair : {Pair{theirs, ours}, Pair{oursClient, theirsServer}}) {
        Endpoint client(pair.client, false), server(pair.server, true);
        ASSERT_TRUE(handshake(client, server));
        EXPECT_STREQ("ECDHE-RSA-AES128-GCM-SHA256", SSL_get_cipher_name(client.ssl));
        for (size_t n : {1, 255, 256, 16384, 100000}) {
            Bytes message = randomBytes(n);
            EXPECT_TRUE(transfer(client, server, message)) << n << " bytes to the server";
            EXPECT_TRUE(transfer(server, client, message)) << n << " bytes to the client";
        }

        // A changed byte in the middle of the next record.
        Bytes message = randomBytes(1000);
        ASSERT_EQ(1000, SSL_write(client.ssl, message.data(), 1000));
        client.sendTo(server, 500);
        char buf[2000];
        EXPECT_LE(SSL_read(server.ssl, buf, sizeof(buf)), 0);
        EXPECT_EQ(SSL_ERROR_SSL, SSL_get_error(server.ssl, -1));
        ERR_clear_error();
    }
    for (SSL_CTX* ctx : {ours, theirs, oursClient, theirsServer}) SSL_CTX_free(ctx);
}

}  // namespace
