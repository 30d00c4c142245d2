// A scripted directory peer for the remote provider's tests: a Connector on
// an OS-chosen loopback port that answers the directory messages the way a
// test asks (or not at all), and answers the login exchange with a session
// certificate signed by a throw-away test CA. Only what the client-side
// tests need; the real server is tools/dird.
#ifndef DRV_TESTS_DIR_DIR_PEER_H
#define DRV_TESTS_DIR_DIR_PEER_H

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/dravika_init.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dir/login.h"
#include "dir/net_client_spi.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "tests/support/wait_for.h"

namespace dirpeer {

using ::waitFor;

struct KeyPair {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    explicit KeyPair(const char* cn) {
        dravika_init();
        std::string subject = std::string("/O=Dravika Test/CN=") + cn;
        makeSelfSignedCertificate("peer", subject.c_str(), 1024, 86400, &cert, &key);
    }
    ~KeyPair() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

// The PEM text of cert, or of its public key alone.
inline std::string pemOf(X509* cert, bool keyOnly = false) {
    BIO* out = BIO_new(BIO_s_mem());
    if (keyOnly)
        PEM_write_bio_PUBKEY(out, X509_get0_pubkey(cert));
    else
        PEM_write_bio_X509(out, cert);
    char* p = nullptr;
    long n = BIO_get_mem_data(out, &p);
    std::string text(p, static_cast<size_t>(n));
    BIO_free(out);
    return text;
}

// The body of a message built to be sent (its bytes after the 9-byte frame
// head).
inline std::string bodyOf(const Message& m) {
    size_t n = 0;
    unsigned char* b = m.copyBytes(&n);
    std::string s = n > 9 ? std::string(reinterpret_cast<char*>(b) + 9, n - 9) : "";
    free(b);
    return s;
}

// The built message as its receiver reads it, from the start of its body;
// the built one is deleted.
inline Message* received(Message* built) {
    std::string b = bodyOf(*built);
    Message* m = new Message(b.data(), b.size());
    m->frame().type = built->getType();
    delete built;
    return m;
}

// A session certificate for publicKeyPem, issued by ca for domain with the
// security text in extension 1.1.1.1; PEM text.
inline std::string issueSessionCert(const KeyPair& ca, const char* domain, const char* publicKeyPem,
                                    const char* security, long serial) {
    BIO* bio = BIO_new_mem_buf(publicKeyPem, -1);
    EVP_PKEY* pub = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (pub == nullptr) return "";
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, pub);
    X509_NAME* subject = X509_NAME_new();
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("session"), -1, -1, 0);
    X509_set_subject_name(x, subject);
    X509_NAME_free(subject);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(domain), -1, -1, 0);
    X509_set_issuer_name(x, issuer);
    X509_NAME_free(issuer);
    ASN1_OBJECT* oid = OBJ_txt2obj("1.1.1.1", 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, reinterpret_cast<const unsigned char*>(security), static_cast<int>(strlen(security)));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, data);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(data);
    ASN1_OBJECT_free(oid);
    X509_sign(x, ca.key, EVP_sha256());
    std::string pem = pemOf(x);
    X509_free(x);
    EVP_PKEY_free(pub);
    return pem;
}

// The peer. Behaviour switches are read on the coms thread; set them before
// the client sends.
class Peer : public ConnectorListener, public ConnectionListener {
public:
    // Serves with the given certificate (a fresh self-signed one by default).
    explicit Peer(const KeyPair& identity, const char* port = "0") : _identity(identity) { start(port); }
    ~Peer() override { stop(); }

    void start(const char* port) {
        _connector = Connector::create(this, _identity.cert, _identity.key, 0);
        _connector->setServerVersion(1);
        bindResult = _connector->bind(port);
        _port = std::to_string(_connector->getPort());
    }
    // Closes every connection and stops listening (a server going away).
    void stop() {
        if (_connector == nullptr) return;
        std::vector<Connection*> conns;
        {
            std::lock_guard<std::mutex> hold(_mutex);
            conns.swap(_conns);
        }
        for (Connection* c : conns) {
            c->setListener(nullptr);
            Connection::destroy(c);
        }
        Connector::destroy(_connector);
        _connector = nullptr;
    }
    const char* port() const { return _port.c_str(); }
    // Sends m on the first open connection (deleted when there is none).
    void sendAll(Message* m) {
        std::lock_guard<std::mutex> hold(_mutex);
        if (_conns.empty())
            delete m;
        else
            _conns.front()->send(m);
    }

    bool newConnection(Connection* c, int type) override {
        c->setListener(this);
        std::lock_guard<std::mutex> hold(_mutex);
        _types.push_back(type);
        _conns.push_back(c);
        return true;
    }
    void onNoConnect(Connection*, int) override {}
    // The peer owns its accepted connections: one that ends is destroyed
    // here unless stop() has already taken it.
    void onLost(Connection* c) override { end(c); }
    void onClosed(Connection* c) override { end(c); }
    void onConnectComplete(Connection*) override {}

    int onReceive(Connection* c, Message* m) override {
        received++;
        if (c->getType() == DirProtocol::kLoginConnectionType) return login(c, m);
        if (c->getType() == DirProtocol::kDomainConnectionType) return enrol(c, m);
        DirProtocol::Request r;
        int rv = DirProtocol::readRequest(m, &r);
        {
            std::lock_guard<std::mutex> hold(_mutex);
            _codes.push_back(r.code);
            if (r.masqAsset != nullptr) _masqueraded.push_back(std::to_string(m->getType()) + " " + r.masqAsset);
        }
        if (rv != 0) return 0;
        switch (r.code) {
            case DirProtocol::M_DOMAIN_ATTRIBUTES: {
                if (!answerDomainAttributes) return 0;
                if (garbleDomainAttributes) {
                    Message* bad = new Message(DirProtocol::M_DOMAIN_ATTRIBUTES);
                    bad->writeInt32(-1);
                    c->send(bad);
                    return 0;
                }
                Attributes a;
                a.setAttribute("ftPort", "14999");
                c->send(DirProtocol::domainAttributes(&a));
                return 0;
            }
            case DirProtocol::M_RESOLVE: {
                const char* cls = r.entry->getClassName();
                if (strcmp(cls, "never") == 0) return 0;
                if (strcmp(cls, "missing") == 0) {
                    c->send(DirProtocol::errorReply(r.id, 15));
                    return 0;
                }
                if (strcmp(cls, "late") == 0) {
                    lateId = r.id;
                    return 0;
                }
                if (strcmp(cls, "confused") == 0) {
                    // Answers of other kinds under the resolve's id.
                    Attributes a;
                    a.setAttribute("not", "an object");
                    c->send(DirProtocol::attributesReply(r.id, &a));
                    DirectoryEnumeration none;
                    c->send(DirProtocol::searchPartialReply(r.id, &none, 0, 0, true));
                    return 0;
                }
                const char* v = r.entry->getStringAttributeValue("name");
                DirectoryObject o(cls, new Any(v != nullptr ? v : "?"));
                c->send(DirProtocol::resolveReply(r.id, &o));
                return 0;
            }
            case DirProtocol::M_GET_ATTRIBUTES: {
                Attributes a;
                a.setAttribute("object", r.current != nullptr ? r.current->className : "none");
                a.setAttribute("user", r.principal != nullptr ? r.principal->security : "none");
                c->send(DirProtocol::attributesReply(r.id, &a));
                return 0;
            }
            case DirProtocol::M_WRITE_REMOTE_FILE: {
                auto* reply = new Message(DirProtocol::M_WRITE_REMOTE_FILE_REPLY);
                reply->writeInt64(r.id);
                c->send(reply);
                return 0;
            }
            case DirProtocol::M_SEARCH: {
                searchId = r.id;
                sendSearchPart(c);
                return 0;
            }
            case DirProtocol::M_SEARCH_PARTIAL_REPLY_OK:
                acks++;
                if (r.id == searchId) sendSearchPart(c);
                return 0;
            case DirProtocol::M_EXECUTE: {
                if (strcmp(r.operation, "never") == 0) return 0;
                for (int i = 1; i <= updatesPerExecute; i++) {
                    ExecuteUpdate u(i, i * 10.0, "step");
                    c->send(DirProtocol::executeUpdate(r.id, &u));
                }
                if (strcmp(r.operation, "fail") == 0) {
                    c->send(DirProtocol::execErrorReply(r.id, 23));
                    return 0;
                }
                // Broken peers: a failure that names no error, as an error
                // reply and as a failed result.
                if (strcmp(r.operation, "failWithoutCode") == 0) {
                    c->send(DirProtocol::execErrorReply(r.id, 0));
                    return 0;
                }
                if (strcmp(r.operation, "failedResultWithoutCode") == 0) {
                    FutureResult fr;
                    fr.failed = true;
                    fr.makeComplete();
                    c->send(DirProtocol::executeReply(r.id, &fr));
                    return 0;
                }
                if (strcmp(r.operation, "getAsset") == 0 && assetAnswer != nullptr) {
                    assetAsks++;
                    FutureResult fr;
                    Any* record = new Any();
                    record->setObject(new Asset(*assetAnswer));
                    fr.setResult(record);
                    c->send(DirProtocol::executeReply(r.id, &fr));
                    return 0;
                }
                FutureResult fr;
                Any* echo = r.argCount > 0 ? new Any(*r.args[0]) : new Any("done");
                fr.setResult(echo);
                c->send(DirProtocol::executeReply(r.id, &fr));
                return 0;
            }
            case DirProtocol::M_GETUNIQUEIDS: {
                int batch = ++idBatches;
                if (holdIds) return 0;
                long long ids[20];
                std::vector<std::string> guids;
                const char* g[20];
                for (int i = 0; i < 20; i++) {
                    ids[i] = batch * 100 + i;
                    guids.push_back("g" + std::to_string(batch * 100 + i));
                }
                for (int i = 0; i < 20; i++) g[i] = guids[i].c_str();
                c->send(DirProtocol::uniqueIds(7000 + batch, std::min(r.number, idsPerBatch.load()), ids, g));
                return 0;
            }
            case DirProtocol::M_OPEN_LISTENER:
            case DirProtocol::M_OPEN_LISTENER2: {
                listenerCode = r.code;
                listenerId = r.listenerId;
                c->send(DirProtocol::openListenerReply(r.listenerId));
                DirNameEntry e1("iface", "name", "eth9");
                DirNameEntry e2("iface", "name", "eth10");
                Attributes a1, a2;
                DirNameEntry* es[] = {&e1, &e2};
                Attributes* as[] = {&a1, &a2};
                c->send(DirProtocol::listenerUpdate2(r.listenerId, DirProtocol::KIND_ADD, 2, es, as, nullptr));
                return 0;
            }
            default:
                c->send(DirProtocol::errorReply(r.id, 21));
                return 0;
        }
    }

    // Sends the next of searchParts parts of entriesPerPart entries each.
    void sendSearchPart(Connection* c) {
        if (partsSent >= searchParts) return;
        DirectoryEnumeration en;
        int perPart = entriesPerPart.load();
        for (int i = 0; i < perPart; i++) {
            std::string n = "e" + std::to_string(partsSent * perPart + i);
            Attributes* a = new Attributes();
            a->setAttribute("part", partsSent);
            en.append(new DirNameEntry("iface", "name", n.c_str()), a, nullptr);
        }
        partsSent++;
        c->send(DirProtocol::searchPartialReply(searchId, &en, 0, perPart, partsSent == searchParts));
    }

    // Enrolment: add answers with a pushed certificate first, then the data;
    // remove refuses with a text; identify never answers, nor does anything
    // while enrolSilent is set.
    int enrol(Connection* c, Message* m) {
        DirProtocol::DomainRequest r;
        if (DirProtocol::readDomainRequest(m, &r) != 0) return 0;
        {
            std::lock_guard<std::mutex> hold(_mutex);
            _codes.push_back(r.code);
        }
        if (enrolSilent) return 0;
        if (r.code == DirProtocol::DOMAIN_ADD) {
            c->send(DirProtocol::domainCertPush(r.code, pemOf(_identity.cert).c_str()));
            c->send(DirProtocol::domainReply(r.code, 0, (std::string("enrolled:") + r.strings[0]).c_str()));
        } else if (r.code == DirProtocol::DOMAIN_REMOVE) {
            c->send(DirProtocol::domainReply(r.code, 5, "not enrolled"));
        }
        if (closeAfterReply) c->close();
        return 0;
    }

    int login(Connection* c, Message* m) {
        DirProtocol::LoginRequest r;
        if (DirProtocol::readLoginRequest(m, &r) != 0) return 0;
        if (loginSilent) return 0;
        if (loginHeld) {
            // Answered later, by releaseLogin().
            std::lock_guard<std::mutex> hold(_mutex);
            _heldLogin = c;
            _heldUser = r.user;
            _heldKey = r.secret;
            _heldCode = r.code;
            return 0;
        }
        if (loginHangUp) {
            c->close();
            return 0;
        }
        SecurityObject* so = static_cast<SecurityObject*>(r.credential);
        if (so == nullptr || so->secret == nullptr || password != so->secret) {
            c->send(DirProtocol::loginReply(r.code, loginRefusal.load(), nullptr));
            return 0;
        }
        c->send(DirProtocol::loginReply(r.code, 0, sessionCert(r.user, r.secret, 4242).c_str()));
        if (closeAfterReply) c->close();
        return 0;
    }

    // The session certificate of user's login, for the public key in PEM form.
    std::string sessionCert(const std::string& user, const char* publicKeyPem, long serial) {
        std::string security = "v1`" + user + ",x,users`" + user + ",x";
        return issueSessionCert(_identity, "testdom", publicKeyPem, security.c_str(), serial);
    }

    // Sends the session certificate of the login held back by loginHeld,
    // if its connection is still open; true when sent.
    bool releaseLogin() {
        std::lock_guard<std::mutex> hold(_mutex);
        if (_heldLogin == nullptr || std::find(_conns.begin(), _conns.end(), _heldLogin) == _conns.end()) return false;
        _heldLogin->send(DirProtocol::loginReply(_heldCode, 0, sessionCert(_heldUser, _heldKey.c_str(), 4243).c_str()));
        _heldLogin = nullptr;
        return true;
    }

    int bindResult = -1;
    std::atomic<int> received{0};
    std::atomic<int> acks{0};
    std::atomic<long long> lateId{0};
    std::atomic<long long> searchId{0};
    std::atomic<int> partsSent{0};
    std::atomic<int> listenerCode{0};
    std::atomic<int> listenerId{0};  // of the last listener opened
    std::atomic<int> idBatches{0};
    std::atomic<bool> holdIds{false};
    // How many ids a batch holds at most (fewer than asked for: a short batch).
    std::atomic<int> idsPerBatch{20};
    // The record every "getAsset" gets (the caller's), when set.
    const Asset* assetAnswer = nullptr;
    std::atomic<int> assetAsks{0};
    std::vector<int> types() {
        std::lock_guard<std::mutex> hold(_mutex);
        return _types;
    }
    std::vector<int> codes() {
        std::lock_guard<std::mutex> hold(_mutex);
        return _codes;
    }
    // The requests that came in the masquerade form: "<code as sent> <asset id>".
    std::vector<std::string> masqueraded() {
        std::lock_guard<std::mutex> hold(_mutex);
        return _masqueraded;
    }
    // How many requests of that code came, how many listener opens, and the
    // code of the last request.
    int count(int code) {
        std::vector<int> all = codes();
        return static_cast<int>(std::count(all.begin(), all.end(), code));
    }
    int opens() { return count(DirProtocol::M_OPEN_LISTENER) + count(DirProtocol::M_OPEN_LISTENER2); }
    int lastCode() {
        std::vector<int> all = codes();
        return all.empty() ? 0 : all.back();
    }
    // Switches.
    std::atomic<bool> answerDomainAttributes{true};
    // Domain attributes that do not decode.
    std::atomic<bool> garbleDomainAttributes{false};
    int searchParts = 3;
    std::atomic<int> entriesPerPart{2};
    int updatesPerExecute = 2;
    std::atomic<bool> loginSilent{false};
    std::atomic<bool> enrolSilent{false};
    // The login request is answered only when the test calls releaseLogin.
    std::atomic<bool> loginHeld{false};
    // The login request is answered by hanging up, without a reply.
    std::atomic<bool> loginHangUp{false};
    // The code a login with the wrong password is refused with.
    std::atomic<int> loginRefusal{20};
    // The enrolment replies and a login's certificate are followed at once
    // by the close (in the same batch of writes), the way a server that is
    // done with the client hangs up. The connection stays the peer's until
    // stop().
    std::atomic<bool> closeAfterReply{false};
    std::string password = "secret";

private:
    void end(Connection* c) {
        {
            std::lock_guard<std::mutex> hold(_mutex);
            auto it = std::find(_conns.begin(), _conns.end(), c);
            if (it == _conns.end()) return;
            _conns.erase(it);
        }
        c->setListener(nullptr);
        Connection::destroy(c);
    }

    const KeyPair& _identity;
    Connector* _connector = nullptr;
    std::string _port;
    std::mutex _mutex;
    std::vector<Connection*> _conns;
    std::vector<int> _types;
    std::vector<int> _codes;
    std::vector<std::string> _masqueraded;
    Connection* _heldLogin = nullptr;
    std::string _heldUser;
    std::string _heldKey;
    int _heldCode = 0;
};

// A client session to the peer at port on a throw-away certificate; *err
// receives the start's code.
inline Directory* startClientSession(const char* port, const char* domain, int* err) {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    makeSelfSignedCertificate("client", "/O=Dravika Test/CN=client", 1024, 3600, &cert, &key);
    *err = 0;
    return Directory::startClientDirectoryService(domain, "127.0.0.1", port, cert, key, err);
}

// Ends what a client test started: its sessions, then every provider closed
// and swept, then the client thread.
inline void endClientSessions(std::vector<Directory*>* sessions) {
    for (Directory* d : *sessions) delete d;
    sessions->clear();
    {
        CriticalSection hold(Directory::_providerCb);
        for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
            e->spi->closeDirectory();
    }
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    NetClientSPI::stopThread();
}

// Counts a request's progress reports.
class ProgressCounter : public FutureResultListener {
public:
    void onComplete(FutureResult*) override {}
    void onUpdate(FutureResult*, ExecuteUpdate*) override { updates++; }
    std::atomic<int> updates{0};
};

// Records the names (or another key's values) of the entries a directory
// listener is told were added, and how often it was told it is connected.
class NameWatcher : public DirectoryListener {
public:
    explicit NameWatcher(const char* key = "name") : key(key) {}
    void directoryAdd(const DirNameEntry* e, const Attributes*, const Acl*) override {
        const char* v = e->getStringAttributeValue(key);
        std::lock_guard<std::mutex> hold(mutex);
        added.push_back(v != nullptr ? v : "?");
    }
    void directoryDelete(const DirNameEntry*, const Attributes*) override {}
    void directoryModified(const DirNameEntry*, const Attributes*, const Acl*) override {}
    void listenerDisconnected() override {}
    void listenerConnected() override { connects++; }
    size_t count() {
        std::lock_guard<std::mutex> hold(mutex);
        return added.size();
    }
    bool has(const std::string& name) {
        std::lock_guard<std::mutex> hold(mutex);
        return std::find(added.begin(), added.end(), name) != added.end();
    }
    const char* key;
    std::mutex mutex;
    std::vector<std::string> added;
    std::atomic<int> connects{0};
};

// The steps a login reports, how many were final and whether the last final
// one was an error.
class LoginSteps : public AuthListener {
public:
    void progress(const char* text, bool isError, bool isFinal) override {
        std::lock_guard<std::mutex> hold(mutex);
        texts.push_back(text);
        if (isFinal) {
            finals++;
            lastIsError = isError;
        }
    }
    std::mutex mutex;
    std::vector<std::string> texts;
    int finals = 0;
    bool lastIsError = false;
};

}  // namespace dirpeer

#endif
