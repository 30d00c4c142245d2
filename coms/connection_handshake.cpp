// The handshakes of a connection: the client's connect (resolving, the
// socket, TLS with its own or an anonymous certificate), the accepted side's
// start, the end of TLS on both sides, and the item handshake in which the
// client says what it is and the server accepts or refuses it.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"

// ---------------------------------------------------------------------------
// Client side

int Connection::doConnect() {
    if (isClosed()) return COMS_E_NOT_CONNECTED;
    if (_socket >= 0) return 0;  // already under way
    if (!_resolved) {
        if (hasFlag(F_RESOLVE_STARTED)) return 0;  // resolveComplete posts the connect again
        setFlag(F_RESOLVE_STARTED);
        _resolveStage = RS_IN_CALL;
        Connection::getResolver()->resolve(_host, this);
        // No answer yet: from here on the answer posts the connect again.
        uint8_t stage = RS_IN_CALL;
        if (_resolveStage.compare_exchange_strong(stage, RS_WAITING)) return 0;
    }
    ConnectionListener* l = _listener;
    if (_resolveError != 0) {
        if (l != nullptr) l->onResolveComplete(this, _resolveError, 0);
        return _resolveError;
    }
    if (l != nullptr) l->onResolveComplete(this, 0, static_cast<int>(_address));
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: doConnect RESOLVE complete", _name);
    char text[INET_ADDRSTRLEN];
    s_inet_ntoa(text, sizeof(text), _address);
    free(_peer);
    _peer = strdup(text);

    _clientCtx = tlsClientContext(_name);
    if (_clientCtx == nullptr) return COMS_E_CERTIFICATE;
    _socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_socket < 0) {
        log(errno, "%s: Unable to open socket", _name);
        return COMS_E_SOCKET;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    char* end = nullptr;
    long port = strtol(_port, &end, 10);
    if (end == _port || *end != '\0' || port <= 0 || port > 65535) {
        struct servent entry;
        struct servent* found = nullptr;
        char buffer[1024];
        if (getservbyname_r(_port, "tcp", &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
            log(0, "%s: unable to find service", _name);
            return COMS_E_NO_SERVICE;
        }
        addr.sin_port = static_cast<in_port_t>(found->s_port);
    } else {
        addr.sin_port = htons(static_cast<uint16_t>(port));
    }
    addr.sin_addr.s_addr = _address;
    if (_bindAddress != nullptr) {
        struct sockaddr_in local;
        memset(&local, 0, sizeof(local));
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, _bindAddress, &local.sin_addr) != 1 ||
            ::bind(_socket, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0) {
            log(errno, "%s: unable to connect from %s", _name, _bindAddress);
            return COMS_E_CONNECT;
        }
    }
    int one = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(_socket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 && errno != EINPROGRESS) {
        log(errno, "%s: Unable to connect", _name);
        return COMS_E_CONNECT;
    }

    _ssl = SSL_new(_clientCtx);
    if (_ssl == nullptr) {
        logSslErrors(_name);
        return COMS_E_CERTIFICATE;
    }
    attachSocket();
    SSL_set_app_data(_ssl, this);
    SSL_set_info_callback(_ssl, infoCallback);
    int rc = installClientCertificate();
    if (rc != 0) return rc;
    createEvents();
    SSL_set_connect_state(_ssl);
    _mode = SM_CONNECT;
    moveTo(ST_TLS);
    continueHandshake();
    return 0;
}

int Connection::installClientCertificate() {
    if (_cert != nullptr) {
        int rv = SSL_use_certificate(_ssl, _cert);
        if (rv <= 0) {
            log(0, "%s: SSL_use_certificate returned %d (failed).  Cannot use the certificate provided", _name, rv);
            char* text = x509Text(_cert);
            log(0, "Cert was...\n%s", text);
            free(text);
            logSslErrors(_name);
            return COMS_E_CERTIFICATE;
        }
        if (_key == nullptr || SSL_use_PrivateKey(_ssl, _key) <= 0 || !SSL_check_private_key(_ssl)) {
            log(0, "%s: Unable to use the private key provided", _name);
            logSslErrors(_name);
            return COMS_E_KEY;
        }
        return 0;
    }
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    if (makeAnonymousCertificate(_name, &cert, &key) != 0) return COMS_E_CERTIFICATE;
    int rc = 0;
    if (SSL_use_certificate(_ssl, cert) <= 0 || SSL_use_PrivateKey(_ssl, key) <= 0) {
        log(0, "%s: Unable to install the anonymous certificate", _name);
        logSslErrors(_name);
        rc = COMS_E_CERTIFICATE;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return rc;
}

void Connection::startAccepted() {
    createEvents();
    if (isPlain()) {
        _mode = SM_READ;
        moveTo(ST_NEGOTIATING);
        doReadEvent();
        return;
    }
    SSL_CTX* sslCtx = _connector != nullptr ? _connector->getSslContext() : nullptr;
    _ssl = sslCtx != nullptr ? SSL_new(sslCtx) : nullptr;
    if (_ssl == nullptr) {
        log(0, "%s: no usable TLS context for an accepted connection", _name);
        ERR_clear_error();
        cleanup(false);
        return;
    }
    attachSocket();
    SSL_set_app_data(_ssl, this);
    SSL_set_info_callback(_ssl, infoCallback);
    SSL_set_accept_state(_ssl);
    _mode = SM_ACCEPT;
    moveTo(ST_TLS);
    continueHandshake();
}

void Connection::createEvents() {
    _readEvent = new FdEvent(this, _socket, FdEvent::KIND_READ);
    _writeEvent = new FdEvent(this, _socket, FdEvent::KIND_WRITE);
    _writeEvent->enabled(false);
    armHeartbeat();
    restartLostTimer();
    _readBuffer = static_cast<unsigned char*>(malloc(kReadBufferSize));
}

void Connection::infoCallback(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) == 0) return;
    auto* c = static_cast<Connection*>(SSL_get_app_data(ssl));
    if (c != nullptr) c->setFlag(F_TLS_DONE);
}

void Connection::continueHandshake() {
    if (isClosed()) return;
    ERR_clear_error();
    int rv = _mode == SM_ACCEPT ? SSL_accept(_ssl) : SSL_connect(_ssl);
    if (rv == 1 && hasFlag(F_TLS_DONE)) {
        _mode = SM_READ;
        moveTo(ST_NEGOTIATING);
        handshakeDone();
        // Items may already wait inside the TLS layer, where no socket event
        // would announce them.
        if (!isClosed()) doReadEvent();
        return;
    }
    handleSSLError(rv, _mode);
}

void Connection::buildConnectionInfo() {
    char sig[160] = "none";
    if (_peerCert != nullptr) {
        EVP_PKEY* key = X509_get0_pubkey(_peerCert);
        snprintf(sig, sizeof(sig), "%s-%d", OBJ_nid2ln(X509_get_signature_nid(_peerCert)),
                 key != nullptr ? EVP_PKEY_bits(key) : 0);
    }
    char text[320];
    snprintf(text, sizeof(text), "%s-%s, sig: %s", SSL_get_version(_ssl), SSL_get_cipher_name(_ssl), sig);
    free(_info);
    _info = strdup(text);
}

void Connection::handshakeDone() {
    _peerCert = SSL_get_peer_certificate(_ssl);
    buildConnectionInfo();
    // Certificates are not judged here; the users of the connection decide
    // whom they trust. The check only reports what the peer presented.
    if (_debug_coms <= LOG_INFO) {
        if (_peerCert != nullptr) {
            char* text = x509Text(_peerCert);
            log(_debug_coms, LOG_INFO, 0, 0, "%s: Handshake complete, peer certificate:\n%s", _name, text);
            free(text);
            char* subject = x509NameText(X509_get_subject_name(_peerCert));
            char* issuer = x509NameText(X509_get_issuer_name(_peerCert));
            const char* peer = _peer != nullptr && _peer[0] != '\0' ? _peer : "UNKNOWN";
            log(_debug_coms, LOG_INFO, 0, 0,
                _connector == nullptr ? "%s: connected to: %s, %s, %s" : "%s: new connection from: %s, %s, %s", _name,
                peer, subject, SSL_get_cipher_name(_ssl));
            log(_debug_coms, LOG_INFO, 0, 0, "    Issued by: %s", issuer);
            free(subject);
            free(issuer);
        } else {
            log(_debug_coms, LOG_INFO, 0, 0, "New Connection (no certificiate)");
        }
    }
    if (_connector != nullptr) return;  // the server waits for the type item

    if (_typeVersion == 0 || hasFlag(F_FORCE_V0)) {
        if (hasFlag(F_FORCE_V0)) log(_debug_coms, LOG_DEBUG, 0, 0, "%s: forcing version zero", _name);
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Sending C_TYPE (type = %d)", _name, _type);
        writeCode(C_TYPE);
        writeU32(static_cast<uint32_t>(_type));
        writeU8(_flag);
    } else {
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Sending C_TYPE2 (type = %d, typeVer = %d)", _name, _type, _typeVersion);
        writeCode(C_TYPE2);
        writeU32(static_cast<uint32_t>(_type));
        writeU8(_flag);
        writeU32(static_cast<uint32_t>(_typeVersion));
        setFlag(F_SENT_TYPE2);
    }
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Sending C_ENABLE_TIMING", _name);
    writeCode(C_ENABLE_TIMING);
}


void Connection::serverHandshake(const ControlItem& item) {
    if (isComplete() || hasFlag(F_ACCEPTED) || hasFlag(F_CLOSE_AFTER_WRITE)) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: repeated type item ignored", _name);
        return;
    }
    _type = static_cast<int>(item.type);
    _flag = item.flag;
    _typeVersion = item.code == C_TYPE2 ? static_cast<int>(item.typeVersion) : 0;
    if (item.code == C_TYPE2) setFlag(F_SENT_TYPE2); else clearFlag(F_SENT_TYPE2);
    moveTo(ST_COMPLETE);
    int refusal = 0;
    if (_type == kKillOnConnectType && Connector::_killAllClients) {
        log(0, "%s: Killing new connection", _name);
        refusal = C_KILL;
    } else if (Connector::hasWhitelist() && !Connector::passesWhitelist(_peer)) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: address not on the whitelist. Sending C_NOT_WHITELIST", _name);
        refusal = C_NOT_WHITELIST;
    } else {
        setFlag(F_IN_CALLBACK);
        bool ok = _connector->newConnection(this, _type);
        clearFlag(F_IN_CALLBACK);
        if (!ok) {
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: authorization failed. Sending C_AUTHFAIL", _name);
            refusal = C_AUTHFAIL;
        }
    }
    if (refusal != 0) {
        moveTo(ST_REFUSING);
        writeCode(refusal);
        setFlag(F_CLOSE_AFTER_WRITE);
        afterWrite();
        return;
    }
    setFlag(F_ACCEPTED);
    if (_typeVersion < 1) {
        writeCode(C_COMPLETE);
    } else {
        writeCode(C_COMPLETE2);
        writeU32(static_cast<uint32_t>(_connector->getServerVersion()));
    }
}

