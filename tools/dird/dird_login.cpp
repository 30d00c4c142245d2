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
#include "dir/dir_protocol.h"
#include "dir/security_object.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_login.h"
#include "tools/dird/dird_root.h"
#include "tools/dird/dird_state.h"

namespace {

using P = DirProtocol;

const char kAnonymousCN[] = "LoginRequest";

std::string text(const char* s) {
    return s != nullptr ? s : "";
}

// Whether the peer of a connection speaks for an asset already in the
// table: it connected with the key recorded for the asset, or with a
// certificate the domain issued under the asset's name (as an agent calls
// in). Anyone else could take the asset's name, address and key.
bool speaksFor(DirdState* state, X509* peer, const Asset& asset) {
    if (peer == nullptr) return false;
    EVP_PKEY* recorded =
        asset.publicKey != nullptr ? publicKeyFromPem(asset.publicKey, strlen(asset.publicKey)) : nullptr;
    bool same = recorded != nullptr && samePublicKey(recorded, X509_get0_pubkey(peer));
    EVP_PKEY_free(recorded);
    return same || (state->ca()->issuedByUs(peer) && subjectCommonName(peer) == text(asset.id));
}

}  // namespace

// ---- login ------------------------------------------------------------------------

int dird_issueSessionCertificate(DirdState* state, const std::string& user, const std::string& security,
                                 const char* publicKeyPem, std::string* certificatePem) {
    EVP_PKEY* key = publicKeyFromPem(publicKeyPem, publicKeyPem != nullptr ? strlen(publicKeyPem) : 0);
    if (key == nullptr) return DirError::E_BAD_RSA_KEY;
    X509* cert = state->ca()->issue(user.c_str(), key, security.c_str(), 0, DomainCA::kSessionSeconds);
    EVP_PKEY_free(key);
    if (cert == nullptr) return DirError::E_SYSTEM_FAILED;
    *certificatePem = pemOfCertificate(cert);
    X509_free(cert);
    return 0;
}

int DirSession::checkPassword(const std::string& user, const std::string& password, std::string* security) {
    LoginThrottle* throttle = _server->logins();
    const std::string peer = text(_connection->getPeerAddress());
    long long wait = throttle->waitMs(user, peer, LoginThrottle::monotonicMs());
    if (wait > 0) {
        log(LOG_WARNING, 0, 0, "dird: %s: too many failed logins of '%s'; its password is not checked for %lld s",
            _connection->getName(), user.c_str(), (wait + 999) / 1000);
        return DirError::E_LOGIN_FAILURE;
    }
    int rv = _server->state()->users()->check(user, password, security);
    if (rv == 0)
        throttle->succeeded(user, peer);
    else
        throttle->failed(user, peer, LoginThrottle::monotonicMs());
    return rv;
}

void DirSession::handleLogin(Message* m, int code) {
    P::LoginRequest req;
    int rv = P::readLoginRequest(m, &req);
    std::string pem;
    std::string user = text(req.user);
    if (rv != 0) {
        _server->malformedMessages++;
        rv = DirError::E_PROTOCOL;
    } else if (req.code == P::LOGIN_CREDENTIAL) {
        // user, new public key, the credential: a password is what this server checks.
        SecurityObject* credential = static_cast<SecurityObject*>(req.credential);
        std::string security;
        if (credential == nullptr || credential->kind == nullptr || strcmp(credential->kind, "password") != 0)
            rv = DirError::E_AUTH_METHOD_UNAVAILABLE;
        else if ((rv = checkPassword(user, text(credential->secret), &security)) == 0)
            rv = dird_issueSessionCertificate(_server->state(), user, security, req.secret, &pem);
    } else if (req.code == P::LOGIN_PASSWORD) {
        // Key-chain login: user and new public key, vouched for by the
        // session certificate of the same user that the client connects with.
        X509* peer = _connection->getPeerCertificate();
        std::unique_ptr<Principal> p(_server->state()->ca()->issuedByUs(peer) ? Principal::createFromCertificate(peer)
                                                                               : nullptr);
        char login[256] = "";
        std::string security;
        if (!p || p->getLoginUser(login, sizeof login) != 0 || user != login ||
            !_server->state()->users()->find(user, &security)) {
            rv = DirError::E_LOGIN_FAILURE;
        } else {
            EVP_PKEY* key = publicKeyFromPem(req.secret, req.secret != nullptr ? strlen(req.secret) : 0);
            X509* cert = key != nullptr ? _server->state()->ca()->issue(user.c_str(), key, security.c_str(), 0,
                                                                        DomainCA::kSessionSeconds)
                                        : nullptr;
            rv = key == nullptr ? DirError::E_BAD_RSA_KEY : cert == nullptr ? DirError::E_SYSTEM_FAILED : 0;
            if (cert != nullptr) pem = pemOfCertificate(cert);
            X509_free(cert);
            EVP_PKEY_free(key);
        }
    } else {
        // This server keeps no one's ssh keys.
        rv = DirError::E_AUTH_METHOD_UNAVAILABLE;
    }
    log(rv == 0 ? LOG_INFO : LOG_WARNING, 0, 0, "dird: %s: login of '%s' %s (%d)", _connection->getName(),
        user.c_str(), rv == 0 ? "accepted" : "refused", rv);
    if (rv != 0) _server->errorsAnswered++;
    _server->requestsServed++;
    send(P::loginReply(code, rv, rv == 0 ? pem.c_str() : nullptr));
}

// ---- enrolment --------------------------------------------------------------------

void DirSession::replyEnrol(int code, int result, const std::string& reply) {
    if (result != 0) _server->errorsAnswered++;
    _server->requestsServed++;
    send(P::domainReply(code, result, reply.c_str()));
}

void DirSession::handleEnrol(Message* m, int code) {
    P::DomainRequest req;
    if (P::readDomainRequest(m, &req) != 0) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: %s: enrolment request %d does not decode", _connection->getName(), code);
        replyEnrol(code, DirError::E_PROTOCOL, "the request does not decode");
        return;
    }
    DirdState* state = _server->state();
    X509* peer = _connection->getPeerCertificate();
    EVP_PKEY* peerKey = peer != nullptr ? X509_get0_pubkey(peer) : nullptr;
    std::string error;
    switch (code) {
    case P::DOMAIN_ADD:
    case P::DOMAIN_REMOVE: {
        const char* login = req.strings[0];
        const char* password = req.strings[1];
        std::string security;
        if (checkPassword(text(login), text(password), &security) != 0) {
            log(LOG_WARNING, 0, 0, "dird: %s: enrolment by '%s' refused: login failure", _connection->getName(),
                text(login).c_str());
            replyEnrol(code, DirError::E_LOGIN_FAILURE, "Login failure");
            return;
        }
        if (peerKey == nullptr) {
            replyEnrol(code, DirError::E_BAD_CERTIFICATE, "no certificate was presented");
            return;
        }
        std::string keyPem = pemOfPublicKey(peerKey);
        std::unique_ptr<Asset> known(state->assets()->findAssetByKey(keyPem.c_str()));
        if (code == P::DOMAIN_REMOVE) {
            if (!known) {
                replyEnrol(code, DirError::E_NO_SUCH_ASSET, "no asset is enrolled with this key");
                return;
            }
            if (!state->assets()->removeAsset(known->id, &error)) {
                replyEnrol(code, DirError::E_WRITE_FAILURE, error);
                return;
            }
            _server->root()->assetChanged(*known, false, true);
            log(LOG_INFO, 0, 0, "dird: asset %s left the domain", known->id);
            replyEnrol(code, 0, "");
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
        if (!known) {
            // A name an asset holds with another key is that asset's
            // identity (the certificate issued here lets its holder call in
            // as the asset): only an administrator gives it to a new key,
            // when a machine is enrolled again.
            std::unique_ptr<Asset> holder(state->assets()->findAsset(id.c_str()));
            Principal user(security.c_str(), state->ca()->domain().c_str(), nullptr, 0);
            if (holder && holder->publicKey != nullptr && *holder->publicKey != '\0' && !user.isPolicySet("admin")) {
                log(LOG_WARNING, 0, 0, "dird: %s: enrolment of %s by '%s' refused: the asset has another key",
                    _connection->getName(), id.c_str(), text(login).c_str());
                replyEnrol(code, DirError::E_PERMISSION_DENIED,
                           "asset " + id + " is enrolled with another key; an administrator may enrol it again");
                return;
            }
        }
        X509* cert = state->ca()->issue(id.c_str(), peerKey, nullptr, 0, DomainCA::kLongSeconds);
        if (cert == nullptr) {
            replyEnrol(code, DirError::E_SYSTEM_FAILED, "the certificate could not be issued");
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
            replyEnrol(code, DirError::E_WRITE_FAILURE, error);
            return;
        }
        _server->root()->assetChanged(a, added, false);
        log(LOG_INFO, 0, 0, "dird: asset %s enrolled by '%s' from %s", id.c_str(), text(login).c_str(),
            text(_connection->getPeerAddress()).c_str());
        replyEnrol(code, 0, pem);
        return;
    }
    case P::DOMAIN_IDENTIFY: {
        const char* domain = req.strings[0];
        const char* asset = req.strings[1];
        const char* groups = req.strings[6];
        const char* agentId = req.strings[7];
        const unsigned char* certBytes = req.cert;
        uint32_t certLength = req.certLength;
        if (domain != nullptr && *domain != '\0' && state->ca()->domain() != domain) {
            replyEnrol(code, DirError::E_MISSING_DOMAIN, "this server serves domain " + state->ca()->domain());
            return;
        }
        if (asset == nullptr || !UserTable::validName(asset)) {
            replyEnrol(code, DirError::E_ILLEGAL_ARGUMENT, "no usable asset name");
            return;
        }
        std::unique_ptr<Asset> known(state->assets()->findAsset(asset));
        // A known asset is announced again only by itself; a new one over a
        // connection with a certificate of the domain, as the same names and
        // keys would otherwise be anybody's to take before their machines
        // are enrolled.
        if (known ? !speaksFor(state, peer, *known) : !state->ca()->issuedByUs(peer)) {
            log(LOG_WARNING, 0, 0, "dird: %s: announcement of asset %s refused: %s", _connection->getName(), asset,
                known ? "the connection is not the asset's" : "no certificate of the domain");
            replyEnrol(code, DirError::E_PERMISSION_DENIED,
                       known ? "only the asset itself may announce it again"
                             : "a new asset is announced with a certificate of the domain");
            return;
        }
        X509* agentCert = certificateFromPem(reinterpret_cast<const char*>(certBytes), certLength);
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
            replyEnrol(code, DirError::E_WRITE_FAILURE, error);
            return;
        }
        _server->root()->assetChanged(a, added, false);
        log(LOG_INFO, 0, 0, "dird: asset %s identified from %s (groups %s)", asset,
            text(_connection->getPeerAddress()).c_str(), text(groups).c_str());
        replyEnrol(code, 0, "identified");
        return;
    }
    case P::DOMAIN_UPGRADE: {
        const char* oldPem = req.strings[0];
        const char* newPem = req.strings[1];
        X509* oldCert = certificateFromPem(oldPem, oldPem != nullptr ? strlen(oldPem) : 0);
        X509* newCert = certificateFromPem(newPem, newPem != nullptr ? strlen(newPem) : 0);
        int rv = 0;
        std::string reply;
        if (oldCert == nullptr || newCert == nullptr) {
            rv = DirError::E_BAD_CERTIFICATE;
            reply = "both certificates must be PEM certificates";
        } else if (!state->ca()->issuedByUs(oldCert)) {
            rv = DirError::E_BAD_CA;
            reply = "the old certificate was not issued by domain " + state->ca()->domain();
        } else if (peer == nullptr || !samePublicKey(X509_get0_pubkey(peer), X509_get0_pubkey(oldCert))) {
            // A certificate is no secret: only a connection made with its
            // key proves that the asking party holds it.
            rv = DirError::E_PERMISSION_DENIED;
            reply = "the connection was not made with the old certificate's key";
            log(LOG_WARNING, 0, 0, "dird: %s: certificate upgrade for %s refused: %s", _connection->getName(),
                subjectCommonName(oldCert).c_str(), reply.c_str());
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
        replyEnrol(code, rv, reply);
        return;
    }
    default:
        replyEnrol(code, DirError::E_NOT_IMPLEMENTED, "not an enrolment request");
        return;
    }
}
