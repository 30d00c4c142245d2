// Domain enrolment exchanges (see domain.h).
#include "dir/domain.h"

#include <openssl/pem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "common/sem.h"
#include "coms/coms_barrier.h"
#include "coms/coms_error.h"
#include "dir/dir_protocol.h"
#include "dir/login.h"
#include "dirbase/message.h"

std::atomic<int> Domain::_addWait{10000};
std::atomic<int> Domain::_stepWait{20000};
int (*Domain::_domAuthCertUpdater)(X509*) = nullptr;

namespace {

CriticalBlock _settingsLock(LOCK_RANK_NONE, kProcessLifetime);
char* _discoverGroups GUARDED_BY(_settingsLock) = nullptr;
X509* _oldCert GUARDED_BY(_settingsLock) = nullptr;
EVP_PKEY* _oldKey GUARDED_BY(_settingsLock) = nullptr;
X509* _newCert GUARDED_BY(_settingsLock) = nullptr;

const char* orNull(const char* s) { return s != nullptr ? s : "null"; }

char* pemOf(X509* cert) {
    if (cert == nullptr) return nullptr;
    BIO* bio = BIO_new(BIO_s_mem());
    char* out = nullptr;
    if (PEM_write_bio_X509(bio, cert) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out = strndup(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    return out;
}

void copyText(char* out, size_t size, const char* text) {
    if (out != nullptr) snprintf(out, size, "%s", text != nullptr ? text : "");
}

}  // namespace

// ---- DomAuthListener -----------------------------------------------------

DomAuthListener::DomAuthListener(DelayedEvent* event, Message* request, const char* host, const char* port)
    : _event(event), _request(request), _host(host != nullptr ? strdup(host) : nullptr),
      _port(port != nullptr ? strdup(port) : nullptr) {}

DomAuthListener::~DomAuthListener() {
    delete _request;
    free(_host);
    free(_port);
}

int DomAuthListener::onReceive(Connection*, Message* m) {
    log(_debug_domain, LOG_DEBUG, 0, 0, "Domain: onRecieve");
    // The first answer ends the exchange; whatever the server sends after
    // it (all on this connection's thread, as every fill of the event is)
    // neither replaces nor loses it.
    if (_event->isDone()) return 0;
    int32_t result = 0;
    if (m->readInt32(&result) != 0) {
        log(_debug_domain, LOG_ERROR, 0, 0, "Domain: Unexpected reply from server");
        _event->setError("Unexpected reply from server", DirError::E_PROTOCOL);
        return 0;
    }
    if (result == DirProtocol::kDomainCertPush) {
        log(_debug_domain, LOG_INFO, 0, 0, "Domain: Server is upgrading our cert");
        unsigned char* bytes = nullptr;
        uint32_t length = 0;
        X509* cert = nullptr;
        if (m->readBytes(&bytes, &length) == 0) {
            BIO* bio = BIO_new_mem_buf(bytes, static_cast<int>(length));
            cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
        }
        free(bytes);
        if (cert == nullptr) {
            log(_debug_domain, LOG_ERROR, 0, 0, "Domain: Certificate received was invalid");
        } else {
            if (Domain::_domAuthCertUpdater != nullptr && Domain::_domAuthCertUpdater(cert) == 0)
                log(_debug_domain, LOG_INFO, 0, 0, "Domain: Certificate was successfully installed");
            X509_free(cert);
        }
        return 0;  // the real answer follows
    }
    char* text = nullptr;
    if (m->readString(&text) != 0) text = nullptr;
    if (result == 0) {
        log(_debug_domain, LOG_DEBUG, 0, 0, "Domain: Server returned certificate: %s", orNull(text));
        _event->setValue(text != nullptr ? text : strdup(""));
        return 0;
    }
    log(_debug_domain, LOG_WARNING, 0, 0, "Domain: Server returned failure: %s", orNull(text));
    _event->setError(text != nullptr ? text : "", DirError::E_PROTOCOL);
    free(text);
    return 0;
}

// News of the connection fails only an exchange still waiting for its
// answer: a server may hang up as soon as it has answered, and the close can
// be handled before the waiter wakes.
void DomAuthListener::onNoConnect(Connection*, int code) {
    log(_debug_domain, LOG_WARNING, 0, 0, "Domain: Unable to connect to server.");
    log(_debug_domain, LOG_WARNING, 0, 0, "    (%d) %s", code, messageFromError(code));
    char text[512];
    snprintf(text, sizeof(text), "Error: unable to connect to %s:%s. %s (%d)", _host != nullptr ? _host : "<host>",
             _port != nullptr ? _port : "<port>", messageFromError(code), code);
    _event->setErrorUnlessDone(text, DirError::E_NOT_CONNECTED);
}

void DomAuthListener::onLost(Connection*) {
    log(_debug_domain, LOG_WARNING, 0, 0, "Domain: Lost connection to server");
    _event->setErrorUnlessDone("Lost connection", DirError::E_NOT_CONNECTED);
}

void DomAuthListener::onClosed(Connection*) {
    log(_debug_domain, LOG_INFO, 0, 0, "Domain: Server closed connection");
    _event->setErrorUnlessDone("No provider for this connection", DirError::E_NOT_CONNECTED);
}

void DomAuthListener::onConnectComplete(Connection* c) {
    log(_debug_domain, LOG_DEBUG, 0, 0, "Domain: connected OK. Sending request.");
    Message* m = _request;
    _request = nullptr;
    int rv = m != nullptr ? c->send(m) : COMS_E_NOT_CONNECTED;
    if (rv != 0) {
        log(_debug_domain, LOG_ERROR, 0, 0, "Domain: Unable to send request to server.");
        log(_debug_domain, LOG_ERROR, 0, 0, "    (%d) %s", rv, messageFromError(rv));
        _event->setErrorUnlessDone("Unable to send request", rv);
    }
}

// ---- the exchange --------------------------------------------------------

int Domain::run(X509* cert, EVP_PKEY* key, const char* host, const char* port, Message* request, bool stepped,
                int waitMs, char** value, char** failure, bool* connectFailed, bool* timedOut) {
    *value = nullptr;
    *failure = nullptr;
    *connectFailed = false;
    *timedOut = false;
    Connection* c = Connection::create(host, port, cert, key, kConnectionType);
    if (c == nullptr) {
        delete request;
        *connectFailed = true;
        return DirError::E_NOT_CONNECTED;
    }
    DelayedEvent* event = new DelayedEvent();
    DomAuthListener* listener = new DomAuthListener(event, request, host, port);
    c->setListener(listener);
    long long start = monotonicMs();
    c->connect();
    bool done;
    if (!stepped) {
        done = event->waitResult(waitMs);
    } else {
        done = false;
        while (!(done = event->waitResult(250)))
            if (monotonicMs() - start > waitMs) break;
    }
    c->close();
    ComsBarrier(c).wait();
    Connection::destroy(c);
    delete listener;
    int rv = 0;
    if (!done && !event->isDone()) {
        *timedOut = true;
        rv = DirError::E_LOGIN_TIMEOUT;
    } else if (event->isError()) {
        rv = event->getErrorCode();
        const char* t = event->getErrorText();
        *failure = t != nullptr ? strdup(t) : nullptr;
    } else {
        *value = static_cast<char*>(event->getValue());
    }
    delete event;
    return rv;
}

int Domain::add(X509* cert, EVP_PKEY* key, const char* host, const char* port, const char* login,
                const char* secondString, char* result, char* errorText) {
    log(_debug_domain, LOG_INFO, 0, 0, "Domain: add, host = %s, port = %s, login = %s", orNull(host), orNull(port),
        orNull(login));
    char* value;
    char* failure;
    bool noConnect, timedOut;
    int rv = run(cert, key, host, port, DirProtocol::domainAdd(login, secondString), false, _addWait.load(), &value,
                 &failure, &noConnect, &timedOut);
    if (noConnect) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to perform domain operation: not connected");
        copyText(errorText, kErrorTextSize, "Unable to perform domain operation: cannot connect");
    } else if (timedOut) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to connect: timeout");
        copyText(errorText, kErrorTextSize, "Unable to perform domain operation: timeout");
    } else if (rv != 0) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Domain: add, peer returned error %d", rv);
        copyText(errorText, kErrorTextSize, failure);
    } else {
        log(_debug_domain, LOG_INFO, 0, 0, "Domain: operation successful");
        copyText(result, kResultSize, value);
    }
    free(value);
    free(failure);
    return rv;
}

int Domain::remove(X509* cert, EVP_PKEY* key, const char* host, const char* port, const char* first,
                   const char* second, char* errorText) {
    log(_debug_domain, LOG_INFO, 0, 0, "Domain: remove, host = %s, port = %s", orNull(host), orNull(port));
    char* value;
    char* failure;
    bool noConnect, timedOut;
    int rv = run(cert, key, host, port, DirProtocol::domainRemove(first, second), true, _stepWait.load(), &value,
                 &failure, &noConnect, &timedOut);
    if (noConnect) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to perform domain operation: not connected");
    } else if (timedOut) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to connect: timeout");
    } else if (rv != 0) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Domain: remove, peer returned error %d", rv);
        copyText(errorText, kErrorTextSize, failure);
    } else {
        log(_debug_domain, LOG_INFO, 0, 0, "Domain operation successful");
    }
    free(value);
    free(failure);
    return rv;
}

int Domain::identify(X509* cert, EVP_PKEY* key, X509* agentCert, const char* domain, const char* host,
                     const char* port, int kind, const char* asset, const char* s1, const char* s2, const char* s3,
                     const char* s4, const char* agentId) {
    log(_debug_domain, LOG_INFO, 0, 0,
        "Domain: identify for discover: domain = %s, host = %s, port = %s, asset = %s, agentId = %s", orNull(domain),
        orNull(host), orNull(port), orNull(asset), orNull(agentId));
    char* pem = pemOf(agentCert);
    const char* more[4] = {s1, s2, s3, s4};
    char* groups;
    {
        CriticalSection hold(_settingsLock);
        groups = _discoverGroups != nullptr ? strdup(_discoverGroups) : nullptr;
    }
    Message* request = DirProtocol::domainIdentify(kind, domain, asset, more, groups, agentId, pem);
    free(pem);
    free(groups);
    char* value;
    char* failure;
    bool noConnect, timedOut;
    int rv = run(cert, key, host, port, request, true, _stepWait.load(), &value, &failure, &noConnect, &timedOut);
    if (noConnect) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Domain: failed to connect to server");
    } else if (timedOut) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Domain: failed to connect, timeout.");
    } else if (rv != 0) {
        log(_debug_domain, LOG_WARNING, 0, 0, "Domain: discovery failed. Error was %d", rv);
        log(_debug_domain, LOG_WARNING, 0, 0, "    (%d) %s", rv, DirError::getErrorDescription(rv));
    } else {
        log(_debug_domain, LOG_INFO, 0, 0, "Domain: Discovery Succeeded");
    }
    free(value);
    free(failure);
    return rv;
}

int Domain::upgradeCert(const char* host, const char* port) {
    log(_debug_domain, LOG_INFO, 0, 0, "Domain: upgrade server certificate. host = %s, port = %s", orNull(host),
        orNull(port));
    X509* oldCert;
    EVP_PKEY* oldKey;
    char* oldPem;
    char* newPem;
    {
        CriticalSection hold(_settingsLock);
        oldCert = _oldCert;
        oldKey = _oldKey;
        if (oldCert != nullptr) X509_up_ref(oldCert);
        if (oldKey != nullptr) EVP_PKEY_up_ref(oldKey);
        oldPem = pemOf(_oldCert);
        newPem = pemOf(_newCert);
    }
    char* value;
    char* failure;
    bool noConnect, timedOut;
    int rv = run(oldCert, oldKey, host, port, DirProtocol::domainUpgrade(oldPem, newPem), false, _addWait.load(),
                 &value, &failure, &noConnect, &timedOut);
    if (noConnect)
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to perform domain operation on host %s, not connected",
            orNull(host));
    else if (timedOut)
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to perform domain operation on host %s, timeout", orNull(host));
    else if (rv != 0)
        log(_debug_domain, LOG_WARNING, 0, 0, "Unable to perform domain operation on host %s, rv = %d: ", orNull(host),
            rv);
    else
        log(_debug_domain, LOG_INFO, 0, 0, "Auto upgrade of domain cert for %s was successful. New key = %s",
            orNull(host), orNull(value));
    if (oldCert != nullptr) X509_free(oldCert);
    if (oldKey != nullptr) EVP_PKEY_free(oldKey);
    free(oldPem);
    free(newPem);
    free(value);
    free(failure);
    return rv;
}

void Domain::setDiscoverGroups(const char* groups) {
    log(_debug_domain, LOG_INFO, 0, 0, "Domain: Groups will be: %s", orNull(groups));
    CriticalSection hold(_settingsLock);
    free(_discoverGroups);
    _discoverGroups = groups != nullptr ? strdup(groups) : nullptr;
}

void Domain::setOldCertAndKey(X509* cert, EVP_PKEY* key) {
    log(_debug_domain, LOG_INFO, 0, 0,
        "Domain: Old certificates were found that will be used to automatically upgrade agent stores");
    log(_debug_domain, LOG_INFO, 0, 0, "Domain:     These certificats will be removed after 30 days");
    if (cert != nullptr) X509_up_ref(cert);
    if (key != nullptr) EVP_PKEY_up_ref(key);
    CriticalSection hold(_settingsLock);
    if (_oldCert != nullptr) X509_free(_oldCert);
    if (_oldKey != nullptr) EVP_PKEY_free(_oldKey);
    _oldCert = cert;
    _oldKey = key;
}

bool Domain::recentCertUpgrade() {
    CriticalSection hold(_settingsLock);
    return _oldCert != nullptr;
}

void Domain::setNewCert(const X509* cert) {
    X509* c = const_cast<X509*>(cert);
    if (c != nullptr) X509_up_ref(c);
    CriticalSection hold(_settingsLock);
    if (_newCert != nullptr) X509_free(_newCert);
    _newCert = c;
}
