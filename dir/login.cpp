// The login exchange and the session it starts (see login.h).
#include "dir/login.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/coms_barrier.h"
#include "coms/connection.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/message.h"

std::atomic<int> Login::_timeout{20000};
void (*Login::_gaveUpHook)(DelayedEvent*) = nullptr;

namespace {

void report(AuthListener* l, const char* text, bool isError = false, bool isFinal = false) {
    if (l != nullptr) l->progress(text, isError, isFinal);
}

// The shared flow: key, connect, one request built by makeRequest from the
// new public key, the reply, then the session.
Directory* loginFlow(const char* domain, const char* host, const char* port, const char* user, X509* connCert,
                     EVP_PKEY* connKey, const std::function<Message*(const char* pem)>& makeRequest,
                     AuthListener* listener, int* err) {
    int dummy = 0;
    if (err == nullptr) err = &dummy;
    *err = 0;
    // The request carries encoded records: their translators first.
    Directory::init();
    report(listener, "Generating keys");
    EVP_PKEY* key = Login::generateKey();
    char* pem = key != nullptr ? Login::publicKeyPem(key) : nullptr;
    if (pem == nullptr) {
        if (key != nullptr) EVP_PKEY_free(key);
        *err = DirError::E_SYSTEM_FAILED;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    Message* request = makeRequest(pem);
    free(pem);
    if (request == nullptr) {
        EVP_PKEY_free(key);
        if (*err == 0) *err = DirError::E_BAD_RSA_KEY;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }

    report(listener, "Connecting");
    DelayedEvent* event = new DelayedEvent();
    LoginListener* ll = new LoginListener(event, request);
    Connection* c = Connection::create(host, port, connCert, connKey, DirProtocol::kLoginConnectionType);
    if (c == nullptr) {
        log(_debug_netclient, LOG_WARNING, 0, 0, "Unable to authenticate: not connected");
        delete ll;
        delete event;
        EVP_PKEY_free(key);
        *err = DirError::E_NOT_CONNECTED;
        report(listener, "Unable to connect", true, true);
        return nullptr;
    }
    c->setListener(ll);
    long long start = monotonicMs();
    c->connect();
    bool reportedUp = false;
    bool timedOut = false;
    while (!event->waitResult(250)) {
        if (!reportedUp && ll->isUp()) {
            reportedUp = true;
            report(listener, "Authenticating");
        }
        if (monotonicMs() - start > Login::_timeout.load()) {
            timedOut = !event->isDone();
            if (timedOut && Login::_gaveUpHook != nullptr) Login::_gaveUpHook(event);
            break;
        }
    }
    c->close();
    ComsBarrier(c).wait();
    Connection::destroy(c);
    // The connection came up (a quick reply can beat the first look).
    if (!reportedUp && ll->isUp()) report(listener, "Authenticating");
    // An answer, whatever its code, is the server's verdict on the login;
    // only a connection that ended without one is a failure to connect.
    bool answered = ll->answered();
    delete ll;
    // An answer that came after the wait gave up but before the close is
    // taken: the server has issued the certificate for this key, and the
    // login it stands for is as good as one a moment earlier (dropping it
    // would also leave its certificate behind in the event).
    if (timedOut && answered) timedOut = false;

    X509* cert = nullptr;
    if (timedOut) {
        log(_debug_netclient, LOG_WARNING, 0, 0, "Unable to login: timeout");
        *err = DirError::E_LOGIN_TIMEOUT;
    } else if (event->isError()) {
        *err = event->getErrorCode();
        log(_debug_netclient, LOG_WARNING, 0, 0, "Unable to login: error = %d", *err);
    } else {
        cert = static_cast<X509*>(event->getValue());
    }
    delete event;
    if (cert == nullptr) {
        EVP_PKEY_free(key);
        if (*err == 0) *err = DirError::E_PROTOCOL;
        const char* text = "Authentication failure";
        if (timedOut)
            text = "Connection timeout";
        else if (!answered && *err == DirError::E_NOT_CONNECTED)
            text = "Unable to connect";
        report(listener, text, true, true);
        return nullptr;
    }

    log(_debug_netclient, LOG_INFO, 0, 0, "Authentication certificate returned");
    log(_debug_netclient, LOG_INFO, 0, 0, "Starting directory service with new creds");
    report(listener, "Starting directory service");
    Directory* d = Directory::startClientDirectoryService(domain, host, port, cert, key, err);
    if (d == nullptr) {
        report(listener, "Unable to connect", true, true);
        return nullptr;
    }
    log(_debug_netclient, LOG_INFO, 0, 0, "Directory service started");
    log(_debug_netclient, LOG_INFO, 0, 0, "LOGIN: user = %s, session = %p", user != nullptr ? user : "NULL",
        static_cast<void*>(d));
    report(listener, "Login successful", false, true);
    return d;
}

}  // namespace

// ---- LoginListener ---------------------------------------------------------

LoginListener::LoginListener(DelayedEvent* event, Message* request)
    : _event(event), _request(request), _up(false), _answered(false) {}

LoginListener::~LoginListener() { delete _request; }

int LoginListener::onReceive(Connection*, Message* m) {
    // The first reply ends the login; whatever the server sends after it
    // (on this connection's thread, as every fill of the event is) neither
    // replaces nor loses it.
    if (_event->isDone()) return 0;
    _answered = true;
    int32_t result = 0;
    if (m->readInt32(&result) != 0) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Authentication error: Unexpected data returned");
        _event->setError("Authentication error: Unexpected data returned", DirError::E_PROTOCOL);
        return 0;
    }
    if (result != 0) {
        log(_debug_netclient, LOG_WARNING, 0, 0, "Received auth reply: error %d", result);
        _event->setError(result);
        return 0;
    }
    unsigned char* bytes = nullptr;
    uint32_t length = 0;
    if (m->readBytes(&bytes, &length) != 0) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Authentication error: Unexpected data returned (2)");
        _event->setError("Authentication error: Unexpected data returned (2)", DirError::E_PROTOCOL);
        return 0;
    }
    log(_debug_netclient, LOG_DEBUG, 0, 0, "Certificate returned (%d bytes)", static_cast<int>(length));
    BIO* bio = BIO_new_mem_buf(bytes, static_cast<int>(length));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    free(bytes);
    if (cert == nullptr) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Authentication error: Certificate returned was invalid");
        _event->setError("Authentication error: Certificate returned was invalid", DirError::E_PROTOCOL);
        return 0;
    }
    _event->setValue(cert);
    return 0;
}

// News of the connection fails only a login still waiting for its reply: the
// server may hang up right after the certificate, and the close can be
// handled before the waiter wakes.
void LoginListener::onNoConnect(Connection*, int code) {
    log(_debug_netclient, LOG_WARNING, 0, 0, "Authentication error: Unable to connect. error = %d", code);
    _event->setErrorUnlessDone(nullptr, DirError::E_NOT_CONNECTED);
}

void LoginListener::onLost(Connection*) { _event->setErrorUnlessDone(nullptr, DirError::E_NOT_CONNECTED); }

void LoginListener::onClosed(Connection*) { _event->setErrorUnlessDone(nullptr, DirError::E_NOT_CONNECTED); }

void LoginListener::onConnectComplete(Connection* c) {
    _up = true;
    Message* m = _request;
    _request = nullptr;
    if (m == nullptr || c->send(m) != 0) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Unable to send authentication request.");
        _event->setErrorUnlessDone(nullptr, DirError::E_NOT_CONNECTED);
    }
}

EVP_PKEY* Login::generateKey() {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    if (ctx == nullptr || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048) <= 0 ||
        EVP_PKEY_keygen(ctx, &key) <= 0) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Unable to generate big number for keys");
        key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    return key;
}

char* Login::publicKeyPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    char* out = nullptr;
    if (PEM_write_bio_PUBKEY(bio, key) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out = strndup(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    return out;
}

Directory* Login::authenticate(const char* domain, const char* host, const char* port, const char* user,
                               const char* password, AuthListener* listener, int* err) {
    SecurityObject credential("password", user, password);
    return authenticate(domain, host, port, user, &credential, listener, err);
}

Directory* Login::authenticate(const char* domain, const char* host, const char* port, const char* user,
                               const SecurityObject* credential, AuthListener* listener, int* err) {
    return loginFlow(domain, host, port, user, nullptr, nullptr,
                     [user, credential](const char* pem) { return DirProtocol::loginCredential(user, pem, credential); },
                     listener, err);
}

Directory* Login::authenticate(const char* domain, const char* host, const char* port, const char* user, X509* cert,
                               EVP_PKEY* key, AuthListener* listener, int* err) {
    return loginFlow(domain, host, port, user, cert, key,
                     [user](const char* pem) { return DirProtocol::loginPassword(user, pem); }, listener, err);
}

Directory* Login::authenticateViaKeyChain(const char* domain, const char* host, const char* port, const char* user,
                                          const char* keychainPath, AuthListener* listener, int* err) {
    FILE* f = keychainPath != nullptr ? fopen(keychainPath, "r") : nullptr;
    X509* cert = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) fclose(f);
    if (cert == nullptr || key == nullptr) {
        if (cert != nullptr) X509_free(cert);
        if (key != nullptr) EVP_PKEY_free(key);
        if (err != nullptr) *err = DirError::E_BAD_CERTIFICATE;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    Directory* d = authenticate(domain, host, port, user, cert, key, listener, err);
    X509_free(cert);
    EVP_PKEY_free(key);
    return d;
}

Directory* Login::authenticateUsingSsh(const char* domain, const char* host, const char* port, const char* user,
                                       AuthListener* listener, int* err) {
    int dummy = 0;
    if (err == nullptr) err = &dummy;
    FILE* hk = fopen("/etc/ssh/ssh_host_rsa_key.pub", "r");
    if (hk == nullptr) {
        *err = DirError::E_NO_SSH_HOST_KEY;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    char hostKey[8192] = "";
    if (fgets(hostKey, sizeof(hostKey), hk) == nullptr) hostKey[0] = '\0';
    fclose(hk);
    hostKey[strcspn(hostKey, "\r\n")] = '\0';
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[4096];
    // No user is no password entry (getpwnam_r itself would read through
    // the null name).
    if (user == nullptr || getpwnam_r(user, &pw, buf, sizeof(buf), &found) != 0 || found == nullptr) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Unable to lookup password entry");
        *err = DirError::E_NO_PASSWORD_ENTRY;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    std::string path = std::string(found->pw_dir) + "/.ssh/id_rsa";
    FILE* kf = fopen(path.c_str(), "r");
    if (kf == nullptr) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Unable to open ~/.ssh/id_rsa");
        *err = DirError::E_BAD_RSA_KEY;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    EVP_PKEY* userKey = PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr);
    fclose(kf);
    if (userKey == nullptr) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "Unable to read private key");
        *err = DirError::E_BAD_RSA_KEY;
        report(listener, "Authentication failure", true, true);
        return nullptr;
    }
    char hostName[256] = "localhost";
    s_gethostname(hostName, sizeof(hostName));
    std::string hostKeyLine = hostKey;
    Directory* d = loginFlow(
        domain, host, port, user, nullptr, nullptr,
        [&](const char* pem) -> Message* {
            // The block: a signature by the user's key over the new public
            // key, then the key itself, each with a 4-byte length.
            unsigned char block[DirProtocol::kSshBlockSize];
            memset(block, 0, sizeof(block));
            size_t pemLength = strlen(pem);
            size_t sigLength = 0;
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            bool ok = md != nullptr && EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, userKey) == 1 &&
                      EVP_DigestSign(md, nullptr, &sigLength, reinterpret_cast<const unsigned char*>(pem), pemLength) ==
                          1 &&
                      8 + sigLength + pemLength <= sizeof(block) &&
                      EVP_DigestSign(md, block + 4, &sigLength, reinterpret_cast<const unsigned char*>(pem),
                                     pemLength) == 1;
            EVP_MD_CTX_free(md);
            if (!ok) return nullptr;
            putBE32(block, static_cast<uint32_t>(sigLength));
            putBE32(block + 4 + sigLength, static_cast<uint32_t>(pemLength));
            memcpy(block + 8 + sigLength, pem, pemLength);
            return DirProtocol::loginSsh(user, block, hostName, hostKeyLine.c_str());
        },
        listener, err);
    EVP_PKEY_free(userKey);
    return d;
}

// ---- the Directory entry points ------------------------------------------

Directory* Directory::authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const char* password, AuthListener* listener, int* err) {
    return Login::authenticate(domain, host, port, user, password, listener, err);
}

Directory* Directory::authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const SecurityObject* credential, AuthListener* listener, int* err) {
    return Login::authenticate(domain, host, port, user, credential, listener, err);
}

Directory* Directory::authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   X509* cert, EVP_PKEY* key, AuthListener* listener, int* err) {
    return Login::authenticate(domain, host, port, user, cert, key, listener, err);
}

Directory* Directory::authenticateUsingSsh(const char* domain, const char* host, const char* port, const char* user,
                                           AuthListener* listener, int* err) {
    return Login::authenticateUsingSsh(domain, host, port, user, listener, err);
}

Directory* Directory::authenticateViaKeyChain(const char* domain, const char* host, const char* port,
                                              const char* user, const char* keychainPath, AuthListener* listener,
                                              int* err) {
    return Login::authenticateViaKeyChain(domain, host, port, user, keychainPath, listener, err);
}
