#include "coms/tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/log.h"
#include "common/x509_name.h"
#include "coms/tls_wide_gcm.h"

const char* const kAnonymousSubject = "/O=ZephanSoftware/CN=LoginRequest";

namespace {

const size_t kTlsReadAhead = 64 * 1024;
// Both AEADs are offered. AES-128-GCM leads unless a client finds
// ChaCha20-Poly1305 quicker on its processor (below).
const char* const kAesFirst =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:DEFAULT";
const char* const kChachaFirst =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:DEFAULT";

// Seconds to encrypt `rounds` records of buf with cipher, or a large
// number when the cipher is not there.
double encryptSeconds(const EVP_CIPHER* cipher, std::vector<unsigned char>* buf, int rounds) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char key[32] = {1}, iv[12] = {2};
    double seconds = 1e9;
    if (ctx != nullptr && cipher != nullptr && EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv) == 1) {
        int len = static_cast<int>(buf->size());
        auto start = std::chrono::steady_clock::now();
        bool ok = true;
        for (int i = 0; i < rounds && ok; i++) {
            int outLength = 0;
            ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
                 EVP_EncryptUpdate(ctx, buf->data(), &outLength, buf->data(), len) == 1;
        }
        if (ok) seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    EVP_CIPHER_CTX_free(ctx);
    return seconds;
}

// Which of the two runs faster here depends on the processor: AES-GCM where
// the library has wide AES and carry-less multiply instructions for it,
// ChaCha20-Poly1305 where it has wide integer vectors but AES only in
// narrower (or no) hardware. Bulk transfers spend much of their time in the
// cipher, so a client measures both once, on a few hundred KiB (well under a
// millisecond), and leads with ChaCha20-Poly1305 only when it is clearly
// the quicker. Each cipher's best of three alternating runs is compared, so
// that a single interruption decides nothing. Where this system's own
// AES-GCM on 512-bit vectors serves, it is several times quicker than
// either, and nothing needs measuring.
bool chachaIsFaster() {
    static const bool faster = [] {
        if (tlsWideGcmProperties() != nullptr) return false;
        std::vector<unsigned char> buf(16384, 0x5a);
        double aes = 1e9, chacha = 1e9;
        encryptSeconds(EVP_aes_128_gcm(), &buf, 2);  // the first use sets things up
        encryptSeconds(EVP_chacha20_poly1305(), &buf, 2);
        for (int i = 0; i < 3; i++) {
            aes = std::min(aes, encryptSeconds(EVP_aes_128_gcm(), &buf, 16));
            chacha = std::min(chacha, encryptSeconds(EVP_chacha20_poly1305(), &buf, 16));
        }
        return chacha < 0.95 * aes;
    }();
    return faster;
}

const char* contentTypeName(int type) {
    switch (type) {
    case SSL3_RT_CHANGE_CIPHER_SPEC: return "ChangeCipherSpec";
    case SSL3_RT_ALERT: return "Alert";
    case SSL3_RT_HANDSHAKE: return "Handshake";
    case SSL3_RT_APPLICATION_DATA: return "ApplicationData";
    case SSL3_RT_HEADER: return "RecordHeader";
    default: return "Other";
    }
}

const char* handshakeName(int type) {
    switch (type) {
    case SSL3_MT_HELLO_REQUEST: return "HelloRequest";
    case SSL3_MT_CLIENT_HELLO: return "ClientHello";
    case SSL3_MT_SERVER_HELLO: return "ServerHello";
    case SSL3_MT_NEWSESSION_TICKET: return "NewSessionTicket";
    case SSL3_MT_CERTIFICATE: return "Certificate";
    case SSL3_MT_SERVER_KEY_EXCHANGE: return "ServerKeyExchange";
    case SSL3_MT_CERTIFICATE_REQUEST: return "CertificateRequest";
    case SSL3_MT_SERVER_DONE: return "ServerHelloDone";
    case SSL3_MT_CERTIFICATE_VERIFY: return "CertificateVerify";
    case SSL3_MT_CLIENT_KEY_EXCHANGE: return "ClientKeyExchange";
    case SSL3_MT_FINISHED: return "Finished";
    default: return "";
    }
}

void traceCallback(int writeP, int version, int contentType, const void* buf, size_t len, SSL*, void* arg) {
    const char* name = static_cast<const char*>(arg);
    const unsigned char* p = static_cast<const unsigned char*>(buf);
    const char* detail = "";
    if (contentType == SSL3_RT_HANDSHAKE && len > 0) detail = handshakeName(p[0]);
    char text[160];
    snprintf(text, sizeof(text), "%s 0x%04x %s [length %zu] %s", writeP ? ">>>" : "<<<", version,
             contentTypeName(contentType), len, detail);
    log(_debug_coms, 2, 0, 0, "%s: %s", name != nullptr ? name : "", text);
}

// Peer certificates are judged by the users of a connection, never here:
// any certificate, self-signed ones included, is taken.
int acceptAnyCertificate(int, X509_STORE_CTX*) {
    return 1;
}

}  // namespace

const char* sslErrorText() {
    static thread_local char text[256];
    unsigned long e = ERR_get_error();
    if (e == 0) return "no error reported";
    ERR_error_string_n(e, text, sizeof(text));
    return text;
}

void logSslErrors(const char* name) {
    logSslFailure(name);
}

const char* logSslFailure(const char* name) {
    const char* why = nullptr;
    unsigned long e;
    char text[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, text, sizeof(text));
        log(0, "%s: %s", name, text);
        if (ERR_GET_LIB(e) != ERR_LIB_SSL) continue;
        switch (ERR_GET_REASON(e)) {
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:  // the peer's alert: not our version
        case SSL_R_UNSUPPORTED_PROTOCOL:          // it offered none we speak
        case SSL_R_VERSION_TOO_LOW:
        case SSL_R_VERSION_TOO_HIGH:
        case SSL_R_WRONG_SSL_VERSION:
            why = "the peer refused TLS 1.2, the only protocol version this side speaks";
            break;
        case SSL_R_WRONG_VERSION_NUMBER:  // its records carry another version
            if (why == nullptr)
                why = "the peer refused TLS 1.2, the only protocol version this side speaks (it answered in "
                      "another version, or not in TLS at all)";
            break;
        default: break;
        }
    }
    return why;
}

char* x509Text(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr || cert == nullptr) {
        BIO_free(bio);
        return strdup("");
    }
    X509_print(bio, cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    char* text = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    memcpy(text, data, static_cast<size_t>(n));
    text[n] = '\0';
    BIO_free(bio);
    return text;
}

char* x509NameText(X509_NAME* name) {
    if (name == nullptr) return strdup("");
    char* line = X509_NAME_oneline(name, nullptr, 0);
    if (line == nullptr) return strdup("");
    char* copy = strdup(line);
    OPENSSL_free(line);
    return copy;
}

void tlsApplySettings(SSL_CTX* ctx, const char* traceName) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A peer that drops the socket without a close-notify reads as a plain
    // end of stream, and nobody may renegotiate under a running connection.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Records are read from the socket several at a time rather than header
    // and body in two calls each. Readers drain the TLS layer before they
    // wait on the socket again, so nothing is left behind unannounced.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadAhead);
    // Servers choose from their own list, AES-128-GCM first, except that a
    // client leading with ChaCha20-Poly1305 (because it found it quicker)
    // gets it.
    SSL_CTX_set_cipher_list(ctx, kAesFirst);
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
    // The anonymous certificate has a 1024-bit key, which stricter default
    // levels refuse to install.
    if (SSL_CTX_get_security_level(ctx) > 1) SSL_CTX_set_security_level(ctx, 1);
    if (_debug_coms < 3) {
        SSL_CTX_set_msg_callback(ctx, traceCallback);
        SSL_CTX_set_msg_callback_arg(ctx, const_cast<char*>(traceName));
    }
}

SSL_CTX* tlsServerContext(X509* cert, EVP_PKEY* key, bool streamVariant, const char* traceName) {
    // The library's error queue belongs to the thread: whatever an earlier
    // call on it left there must not pass for this context's failure, and
    // what this one leaves must not pass for the next caller's.
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new_ex(nullptr, tlsWideGcmProperties(), TLS_server_method());
    if (ctx == nullptr) {
        log(0, "%s: unable to create an SSL context: %s", streamVariant ? "StreamConnector" : "Connector",
            sslErrorText());
        ERR_clear_error();
        return nullptr;
    }
    tlsApplySettings(ctx, traceName);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, acceptAnyCertificate);
    if (cert == nullptr) {
        log(0,
            streamVariant ? "StreamConnector: Cannot use certificate: %s" : "Connector: unable to use certificate: %s",
            "no certificate");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // The key goes in first: a certificate that does not match it then
    // shows up in the check below rather than as an unusable key.
    if (key == nullptr || SSL_CTX_use_PrivateKey(ctx, key) <= 0) {
        log(0,
            streamVariant ? "StreamConnector: Cannot use private key: %s" : "Connector: unable to use private key: %s",
            key == nullptr ? "no private key" : sslErrorText());
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (SSL_CTX_use_certificate(ctx, cert) <= 0) {
        log(0,
            streamVariant ? "StreamConnector: Cannot use certificate: %s" : "Connector: unable to use certificate: %s",
            sslErrorText());
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (!SSL_CTX_check_private_key(ctx)) {
        char* text = x509Text(cert);
        log(0, "%s: Private key does not match the certificate public key\n%s",
            streamVariant ? "StreamConnector" : "Connector", text);
        free(text);
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (!streamVariant && _debug_coms < 2) {
        char* text = x509Text(cert);
        log(_debug_coms, 1, 0, 0, "Connector: SSL context created with certificate: \n%s", text);
        free(text);
    }
    return ctx;
}

SSL_CTX* tlsClientContext(const char* traceName) {
    ERR_clear_error();  // as for a server context
    SSL_CTX* ctx = SSL_CTX_new_ex(nullptr, tlsWideGcmProperties(), TLS_client_method());
    if (ctx == nullptr) {
        log(0, "%s: unable to create an SSL context: %s", traceName, sslErrorText());
        ERR_clear_error();
        return nullptr;
    }
    tlsApplySettings(ctx, traceName);
    if (chachaIsFaster()) SSL_CTX_set_cipher_list(ctx, kChachaFirst);
    return ctx;
}

int makeSelfSignedCertificate(const char* name, const char* subject, int bits, long validSeconds, X509** certOut,
                              EVP_PKEY** keyOut) {
    *certOut = nullptr;
    *keyOut = nullptr;
    BIGNUM* exponent = BN_new();
    if (exponent == nullptr || !BN_set_word(exponent, RSA_F4)) {
        log(0, "Unable to generate big number for keys");
        BN_free(exponent);
        return -1;
    }
    RSA* rsa = RSA_new();
    EVP_PKEY* key = EVP_PKEY_new();
    if (rsa == nullptr || key == nullptr || !RSA_generate_key_ex(rsa, bits, exponent, nullptr) ||
        !EVP_PKEY_assign_RSA(key, rsa)) {
        log(0, "Unable to generate certificate for anonymous connection");
        BN_free(exponent);
        RSA_free(rsa);
        EVP_PKEY_free(key);
        return -1;
    }
    BN_free(exponent);

    X509* cert = X509_new();
    char* text = strdup(subject);
    X509_NAME* x509Name = parse_name(text, MBSTRING_ASC, 0);
    free(text);
    if (cert == nullptr || x509Name == nullptr || !X509_set_subject_name(cert, x509Name) ||
        !X509_set_issuer_name(cert, x509Name)) {
        log(0, "%s: LoginRequest was unable to assign a certificate name", name);
        X509_NAME_free(x509Name);
        X509_free(cert);
        EVP_PKEY_free(key);
        return -1;
    }
    X509_NAME_free(x509Name);
    if (!X509_set_version(cert, 2) ||
        !ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(time(nullptr))) ||
        X509_gmtime_adj(X509_getm_notBefore(cert), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert), validSeconds) == nullptr || !X509_set_pubkey(cert, key) ||
        X509_sign(cert, key, EVP_sha256()) == 0) {
        log(0, "Unable to generate certificate for anonymous connection");
        X509_free(cert);
        EVP_PKEY_free(key);
        return -1;
    }
    *certOut = cert;
    *keyOut = key;
    return 0;
}

int makeAnonymousCertificate(const char* name, X509** cert, EVP_PKEY** key) {
    return makeSelfSignedCertificate(name, kAnonymousSubject, kAnonymousKeyBits, kAnonymousValiditySeconds, cert, key);
}
