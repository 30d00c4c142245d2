// The login exchange (type 333 connections) and domain enrolment (type
// 336): short request/reply conversations that end with a certificate the
// domain's CA issues, or a refusal.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/asset.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_login.h"
#include "tools/dird/dird_root.h"
#include "tools/dird/dird_state.h"

namespace {

enum LoginCode { LOGIN_SSH = 3, LOGIN_CREDENTIAL = 5, LOGIN_PASSWORD = 6 };
enum EnrolCode { ENROL_ADD = 1, ENROL_REMOVE = 2, ENROL_UPGRADE = 4, ENROL_IDENTIFY = 30 };

const char kAnonymousCN[] = "LoginRequest";

std::string text(const char* s) {
    return s != nullptr ? s : "";
}

// Frees the strings read for one request.
struct Strings {
    ~Strings() {
        for (char* s : all) free(s);
    }
    // Reads one more string into the list; false when the message has none.
    bool read(Message* m, char** out) {
        char* s = nullptr;
        if (m->readString(&s) != 0) return false;
        all.push_back(s);
        *out = s;
        return true;
    }
    std::vector<char*> all;
};

}  // namespace

// ---- the credential object of the login exchange -----------------------------

LoginCredential::LoginCredential(int kind, const char* user, const char* secret)
    : kind(kind), user(user != nullptr ? strdup(user) : nullptr), secret(secret != nullptr ? strdup(secret) : nullptr) {}

LoginCredential::~LoginCredential() {
    free(user);
    if (secret != nullptr) {
        OPENSSL_cleanse(secret, strlen(secret));
        free(secret);
    }
}

unsigned int LoginCredential::getObjectID() const {
    return OBJ_LOGIN_CREDENTIAL_ID;
}

int LoginCredentialXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const LoginCredential* c = static_cast<const LoginCredential*>(*obj);
        if (m->writeInt32Field(1, c->kind) != 0 || m->writeStringField(2, c->user) != 0 ||
            m->writeStringField(3, c->secret) != 0)
            return -1;
        return 0;
    }
    int32_t kind = 0;
    char* user = nullptr;
    char* secret = nullptr;
    if (m->readInt32Field(1, &kind) != 0 || (m->hasField(2) && m->readStringField(2, &user) != 0) ||
        (m->hasField(3) && m->readStringField(3, &secret) != 0)) {
        free(user);
        free(secret);
        return -1;
    }
    LoginCredential* c = new LoginCredential(kind, nullptr, nullptr);
    c->user = user;
    c->secret = secret;
    *obj = c;
    return 0;
}

void dird_registerTranslators() {
    if (MessageBase::findXlatorFn(OBJ_LOGIN_CREDENTIAL_ID) == nullptr)
        MessageBase::registerObjectXlator(OBJ_LOGIN_CREDENTIAL_ID, LoginCredentialXlator);
}

// ---- login ------------------------------------------------------------------------

int dird_issueSessionCertificate(DirdState* state, const std::string& user, const std::string& password,
                                 const char* publicKeyPem, std::string* certificatePem) {
    std::string security;
    int rv = state->users()->check(user, password, &security);
    if (rv != 0) return rv;
    EVP_PKEY* key = publicKeyFromPem(publicKeyPem, publicKeyPem != nullptr ? strlen(publicKeyPem) : 0);
    if (key == nullptr) return DirError::E_BAD_RSA_KEY;
    X509* cert = state->ca()->issue(user.c_str(), key, security.c_str(), 0, DomainCA::kSessionSeconds);
    EVP_PKEY_free(key);
    if (cert == nullptr) return DirError::E_SYSTEM_FAILED;
    *certificatePem = pemOfCertificate(cert);
    X509_free(cert);
    return 0;
}

void DirSession::handleLogin(Message* m, int code) {
    Strings s;
    char* user = nullptr;
    char* key = nullptr;
    std::string password;
    int rv = 0;
    if (code == LOGIN_CREDENTIAL) {
        Translatable* obj = nullptr;
        int32_t version = 0;
        if (!s.read(m, &user) || !s.read(m, &key) || m->readObject(OBJ_LOGIN_CREDENTIAL_ID, &obj) != 0 ||
            obj == nullptr || m->readInt32(&version) != 0) {
            delete obj;
            rv = DirError::E_PROTOCOL;
        } else {
            std::unique_ptr<LoginCredential> c(static_cast<LoginCredential*>(obj));
            if (c->kind != LoginCredential::KIND_PASSWORD)
                rv = DirError::E_AUTH_METHOD_UNAVAILABLE;
            else
                password = text(c->secret);
        }
    } else if (code == LOGIN_PASSWORD) {
        char* secret = nullptr;
        if (!s.read(m, &user) || !s.read(m, &secret))
            rv = DirError::E_PROTOCOL;
        else
            password = text(secret);
        // The key the certificate is for follows the two strings.
        if (rv == 0 && (!m->hasNext() || !s.read(m, &key))) rv = DirError::E_PROTOCOL;
    } else if (code == LOGIN_SSH) {
        // This server keeps no one's ssh keys.
        rv = DirError::E_AUTH_METHOD_UNAVAILABLE;
    } else {
        rv = DirError::E_PROTOCOL;
    }
    std::string pem;
    if (rv == 0) rv = dird_issueSessionCertificate(_server->state(), text(user), password, key, &pem);
    if (!password.empty()) OPENSSL_cleanse(&password[0], password.size());
    if (rv == DirError::E_PROTOCOL) _server->malformedMessages++;
    log(rv == 0 ? LOG_INFO : LOG_WARNING, 0, 0, "dird: %s: login of '%s' %s (%d)", _connection->getName(),
        text(user).c_str(), rv == 0 ? "accepted" : "refused", rv);
    Message* r = new Message(code);
    r->writeInt32(rv);
    if (rv == 0) r->writeBytes(pem.data(), static_cast<uint32_t>(pem.size()));
    if (rv != 0) _server->errorsAnswered++;
    _server->requestsServed++;
    send(r);
}

// ---- enrolment --------------------------------------------------------------------

void DirSession::replyEnrol(int result, const std::string& reply) {
    Message* r = new Message(_lastEnrolCode);
    r->writeInt32(result);
    r->writeString(reply.c_str());
    if (result != 0) _server->errorsAnswered++;
    _server->requestsServed++;
    send(r);
}

void DirSession::handleEnrol(Message* m, int code) {
    _lastEnrolCode = code;
    Strings s;
    DirdState* state = _server->state();
    X509* peer = _connection->getPeerCertificate();
    EVP_PKEY* peerKey = peer != nullptr ? X509_get0_pubkey(peer) : nullptr;
    std::string error;
    switch (code) {
    case ENROL_ADD:
    case ENROL_REMOVE: {
        char* login = nullptr;
        char* password = nullptr;
        if (!s.read(m, &login) || !s.read(m, &password)) break;
        std::string security;
        if (state->users()->check(text(login), text(password), &security) != 0) {
            log(LOG_WARNING, 0, 0, "dird: %s: enrolment by '%s' refused: login failure", _connection->getName(),
                text(login).c_str());
            replyEnrol(DirError::E_LOGIN_FAILURE, "Login failure");
            return;
        }
        if (peerKey == nullptr) {
            replyEnrol(DirError::E_BAD_CERTIFICATE, "no certificate was presented");
            return;
        }
        std::string keyPem = pemOfPublicKey(peerKey);
        std::unique_ptr<Asset> known(state->assets()->findAssetByKey(keyPem.c_str()));
        if (code == ENROL_REMOVE) {
            if (!known) {
                replyEnrol(DirError::E_NO_SUCH_ASSET, "no asset is enrolled with this key");
                return;
            }
            if (!state->assets()->removeAsset(known->id, &error)) {
                replyEnrol(DirError::E_WRITE_FAILURE, error);
                return;
            }
            _server->root()->assetChanged(*known, false, true);
            log(LOG_INFO, 0, 0, "dird: asset %s left the domain", known->id);
            replyEnrol(0, "");
            return;
        }
        // The asset is named by the certificate it connects with, unless that
        // is the anonymous one; a key enrolled before keeps its name.
        std::string id = known ? text(known->id) : subjectCommonName(peer);
        if (id.empty() || id == kAnonymousCN || !UserTable::validName(id)) {
            char made[40];
            snprintf(made, sizeof made, "agent-%llx", static_cast<unsigned long long>(DomainCA::randomSerial()));
            id = made;
        }
        X509* cert = state->ca()->issue(id.c_str(), peerKey, nullptr, 0, DomainCA::kLongSeconds);
        if (cert == nullptr) {
            replyEnrol(DirError::E_SYSTEM_FAILED, "the certificate could not be issued");
            return;
        }
        std::unique_ptr<Asset> made(known ? new Asset(*known) : new Asset());
        Asset& a = *made;
        if (!known) {
            a.id = strdup(id.c_str());
            a.name = strdup(id.c_str());
            a.port = 14000;
            a.ftport = 14001;
            a.masq = true;
        }
        free(a.host);
        a.host = strdup(text(_connection->getPeerAddress()).c_str());
        free(a.publicKey);
        a.publicKey = strdup(keyPem.c_str());
        free(a.agentId);
        a.agentId = strdup(id.c_str());
        bool added = false;
        std::string pem = pemOfCertificate(cert);
        X509_free(cert);
        if (!state->assets()->putAsset(a, &added, &error)) {
            replyEnrol(DirError::E_WRITE_FAILURE, error);
            return;
        }
        _server->root()->assetChanged(a, added, false);
        log(LOG_INFO, 0, 0, "dird: asset %s enrolled by '%s' from %s", id.c_str(), text(login).c_str(),
            text(_connection->getPeerAddress()).c_str());
        replyEnrol(0, pem);
        return;
    }
    case ENROL_IDENTIFY: {
        int32_t number = 0;
        char* domain = nullptr;
        char* asset = nullptr;
        char* more[4] = {};
        char* groups = nullptr;
        char* agentId = nullptr;
        unsigned char* certBytes = nullptr;
        uint32_t certLength = 0;
        if (m->readInt32(&number) != 0 || !s.read(m, &domain) || !s.read(m, &asset) || !s.read(m, &more[0]) ||
            !s.read(m, &more[1]) || !s.read(m, &more[2]) || !s.read(m, &more[3]) || !s.read(m, &groups) ||
            !s.read(m, &agentId) || m->readBytes(&certBytes, &certLength) != 0)
            break;
        std::unique_ptr<unsigned char, decltype(&free)> hold(certBytes, &free);
        if (domain != nullptr && *domain != '\0' && state->ca()->domain() != domain) {
            replyEnrol(DirError::E_MISSING_DOMAIN, "this server serves domain " + state->ca()->domain());
            return;
        }
        if (asset == nullptr || !UserTable::validName(asset)) {
            replyEnrol(DirError::E_ILLEGAL_ARGUMENT, "no usable asset name");
            return;
        }
        X509* agentCert = certificateFromPem(reinterpret_cast<const char*>(certBytes), certLength);
        std::unique_ptr<Asset> known(state->assets()->findAsset(asset));
        std::unique_ptr<Asset> made(known ? new Asset(*known) : new Asset());
        Asset& a = *made;
        if (!known) {
            a.id = strdup(asset);
            a.name = strdup(asset);
            a.port = 14000;
            a.ftport = 14001;
            a.masq = true;
        }
        free(a.host);
        a.host = strdup(text(_connection->getPeerAddress()).c_str());
        if (agentCert != nullptr) {
            free(a.publicKey);
            a.publicKey = strdup(pemOfPublicKey(X509_get0_pubkey(agentCert)).c_str());
            X509_free(agentCert);
        }
        free(a.agentId);
        a.agentId = strdup(text(agentId).empty() ? asset : agentId);
        bool added = false;
        if (!state->assets()->putAsset(a, &added, &error)) {
            replyEnrol(DirError::E_WRITE_FAILURE, error);
            return;
        }
        _server->root()->assetChanged(a, added, false);
        log(LOG_INFO, 0, 0, "dird: asset %s identified from %s (groups %s)", asset,
            text(_connection->getPeerAddress()).c_str(), text(groups).c_str());
        replyEnrol(0, "identified");
        return;
    }
    case ENROL_UPGRADE: {
        char* oldPem = nullptr;
        char* newPem = nullptr;
        if (!s.read(m, &oldPem) || !s.read(m, &newPem)) break;
        X509* oldCert = certificateFromPem(oldPem, strlen(oldPem));
        X509* newCert = certificateFromPem(newPem, strlen(newPem));
        int rv = 0;
        std::string reply;
        if (oldCert == nullptr || newCert == nullptr) {
            rv = DirError::E_BAD_CERTIFICATE;
            reply = "both certificates must be PEM certificates";
        } else if (!state->ca()->issuedByUs(oldCert)) {
            rv = DirError::E_BAD_CA;
            reply = "the old certificate was not issued by domain " + state->ca()->domain();
        } else {
            // The same name and security text, for the new key.
            Principal* p = Principal::createFromCertificate(oldCert);
            X509* issued = state->ca()->issue(subjectCommonName(oldCert).c_str(), X509_get0_pubkey(newCert),
                                              p != nullptr ? p->security : nullptr, 0, DomainCA::kLongSeconds);
            delete p;
            if (issued == nullptr) {
                rv = DirError::E_SYSTEM_FAILED;
                reply = "the certificate could not be issued";
            } else {
                reply = pemOfCertificate(issued);
                X509_free(issued);
            }
        }
        X509_free(oldCert);
        X509_free(newCert);
        replyEnrol(rv, reply);
        return;
    }
    default:
        replyEnrol(DirError::E_NOT_IMPLEMENTED, "not an enrolment request");
        return;
    }
    _server->malformedMessages++;
    log(LOG_WARNING, 0, 0, "dird: %s: enrolment request %d does not decode", _connection->getName(), code);
    replyEnrol(DirError::E_PROTOCOL, "the request does not decode");
}
