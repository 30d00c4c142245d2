// A connection at work on its coms thread: connecting, the TLS handshake and
// the item handshake on both sides, reading and dispatching items, the write
// path with its queue, timers, and the TLS error handling.
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
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"

namespace {

// Writes at least this large skip the batch buffer: copying them would cost
// more than the record they fill on their own.
const size_t kCorkDirect = 16384;
// A batch is written out once it holds this much.
const size_t kCorkLimit = 256 * 1024;
const int kLongCallMs = 1000;
// TLS records gather up to this much before they go to the socket.
const long kTlsWriteBuffer = 256 * 1024;
const int kLongLostAfterReadMs = 100;

long long monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int errnoToCode(int err) {
    switch (err) {
    case ECONNREFUSED:
    case EPIPE: return COMS_E_REFUSED;
    case ECONNRESET: return COMS_E_RESET;
    case ENETDOWN:
    case ENETUNREACH: return COMS_E_NO_NETWORK_ROUTE;
    case EHOSTDOWN:
    case EHOSTUNREACH: return COMS_E_NO_HOST_ROUTE;
    default: return COMS_E_NOT_CONNECTED;
    }
}

void (*_killHandler)(Connection*) = nullptr;

}  // namespace

void Connection::setKillHandler(void (*fn)(Connection*)) {
    _killHandler = fn;
}

int Connection::lostTimeout() const {
    return _timingEnabled ? _t_lost.load() : kDefaultLost;
}

int Connection::heartbeatInterval() const {
    return _timingEnabled ? _t_heartbeat.load() : kDefaultHeartbeat;
}

// ---------------------------------------------------------------------------
// Connecting

int Connection::doConnect() {
    if (_cleanupCalled) return COMS_E_NOT_CONNECTED;
    if (_socket >= 0) return 0;  // already under way
    if (!_resolved) {
        if (!_resolveStarted) {
            _resolveStarted = true;
            _inDoConnect = true;
            Connection::getResolver()->resolve(_host, this);
            _inDoConnect = false;
        }
        if (!_resolved) return 0;  // resolveComplete posts the connect again
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

void Connection::createEvents() {
    _readEvent = new FdEvent(this, _socket, FdEvent::KIND_READ);
    _writeEvent = new FdEvent(this, _socket, FdEvent::KIND_WRITE);
    _writeEvent->enabled(false);
    _heartbeatTimer = new TimerEvent(this);
    _heartbeatTimer->set(heartbeatInterval());
    _lostTimer = new TimerEvent(this);
    _lostTimer->set(lostTimeout());
    _readBuffer = static_cast<unsigned char*>(malloc(kReadBufferSize));
}

void Connection::infoCallback(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) == 0) return;
    auto* c = static_cast<Connection*>(SSL_get_app_data(ssl));
    if (c != nullptr) c->_handshakeDone = true;
}

void Connection::continueHandshake() {
    if (_cleanupCalled) return;
    ERR_clear_error();
    int rv = _mode == SM_ACCEPT ? SSL_accept(_ssl) : SSL_connect(_ssl);
    if (rv == 1 && _handshakeDone) {
        _mode = SM_READ;
        handshakeDone();
        // Items may already wait inside the TLS layer, where no socket event
        // would announce them.
        if (!_cleanupCalled) doReadEvent();
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

    if (_typeVersion == 0 || _forceVersionZero) {
        if (_forceVersionZero) log(_debug_coms, LOG_DEBUG, 0, 0, "%s: forcing version zero", _name);
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
        _sentType2 = true;
    }
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: Sending C_ENABLE_TIMING", _name);
    writeCode(C_ENABLE_TIMING);
}

// ---------------------------------------------------------------------------
// Events

void Connection::handleEvent(Event* e) {
    if (_cleanupCalled) return;
    if (e == _readEvent) {
        switch (_mode) {
        case SM_READ: doReadEvent(); break;
        case SM_WRITE:
            doReadEvent();
            if (!_cleanupCalled) processWriteQueue();
            break;
        case SM_ACCEPT:
        case SM_CONNECT: continueHandshake(); break;
        default: log(0, "%s: Logic error in handleEvent: mode = %s", _name, modeName(_mode)); break;
        }
    } else if (e == _writeEvent) {
        _writeEvent->enabled(false);
        switch (_mode) {
        case SM_READ: doReadEvent(); break;
        case SM_WRITE: processWriteQueue(); break;
        case SM_ACCEPT:
        case SM_CONNECT: continueHandshake(); break;
        default: log(0, "%s: Logic error in handleEvent: mode = %s", _name, modeName(_mode)); break;
        }
    } else if (e == _heartbeatTimer) {
        onHeartbeatTimer();
    } else if (e == _lostTimer) {
        onLostTimer();
    }
}

void Connection::onHeartbeatTimer() {
    if (_latentDestroy) {
        log(_debug_coms, LOG_DEBUG, 0, 0, "%p: processing latent destroy", static_cast<void*>(this));
        destroy(this);
        return;
    }
    _heartbeatTimer->set(heartbeatInterval());
    if (!_complete) return;
    if (_sentType2 && _latencyProbing) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        writeCode(C_GET_LD);
        writeU32(static_cast<uint32_t>(now.tv_sec));
        writeU32(static_cast<uint32_t>(now.tv_usec));
    } else {
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: sending C_HB", _name);
        writeCode(C_HB);
    }
}

void Connection::onLostTimer() {
    log(_debug_coms, LOG_INFO, 0, 0, "%s: lost timer.  Connection lost", _name);
    if (_listener.load() != nullptr) {
        if (_connector != nullptr || _complete)
            callOnLost(kLongCallMs, false);
        else
            callOnNoConnect(COMS_E_HANDSHAKE_TIMEOUT);
    }
    _complete = false;
    cleanup(false);
}

// ---------------------------------------------------------------------------
// Reading

void Connection::doReadEvent() {
    while (!_cleanupCalled) {
        _lostTimer->set(lostTimeout());
        _lastRead = static_cast<long>(time(nullptr));
        int rv;
        if (_plain) {
            rv = static_cast<int>(::read(_socket, _readBuffer, kReadBufferSize));
            if (rv < 0) {
                int err = errno;
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) break;
                log(0, "%s: read error: (ret = %d, errno = %d)", _name, rv, err);
                handleSyscallError(err);
                break;
            }
        } else {
            // A large body goes straight into its message.
            size_t room = 0;
            unsigned char* body = _decoder.bodySpace(&room);
            bool direct = body != nullptr && room >= static_cast<size_t>(kReadBufferSize);
            ERR_clear_error();
            rv = direct ? SSL_read(_ssl, body, room > 0x40000000 ? 0x40000000 : static_cast<int>(room))
                        : SSL_read(_ssl, _readBuffer, kReadBufferSize);
            if (rv <= 0) {
                if (SSL_get_error(_ssl, rv) != SSL_ERROR_ZERO_RETURN) {
                    handleSSLError(rv, _mode);
                    break;
                }
                rv = 0;
            } else if (direct) {
                _bytesReceived += rv;
                ControlItem item;
                if (_decoder.bodyCommit(static_cast<size_t>(rv), &item) == 1) dispatch(item);
                if (_destroyPending) {
                    cleanup(false);
                    break;
                }
                continue;
            }
        }
        if (rv == 0) {
            log(_debug_coms, LOG_INFO, 0, 0, "%s: Zero byte successful read.  SSL connection closed.", _name);
            callOnLost(kLongLostAfterReadMs, true);
            _complete = false;
            cleanup(false);
            break;
        }
        _bytesReceived += rv;
        consume(_readBuffer, static_cast<size_t>(rv));
        if (_destroyPending) {
            cleanup(false);
            break;
        }
    }
    if (!_cleanupCalled) processWriteQueue();
}

void Connection::consume(const unsigned char* data, size_t n) {
    size_t at = 0;
    while (at < n && !_cleanupCalled && !_destroyPending) {
        size_t used = 0;
        ControlItem item;
        int rc = _decoder.feed(data + at, n - at, &used, &item);
        at += used;
        if (rc < 0) {
            // The frame cannot be followed, and nothing after it can be trusted.
            log(0, "%s: unreadable message frame, closing the connection", _name);
            dropBroken();
            return;
        }
        if (rc == 1) dispatch(item);
    }
}

void Connection::dispatch(ControlItem& item) {
    switch (item.code) {
    case C_HB:
        if (_type == kKillOnHeartbeatType && Connector::_killAllClients) {
            log(0, "%s: Killing connection", _name);
            writeCode(C_KILL);
            _closeAfterWrite = true;
            afterWrite();
        }
        break;
    case C_TYPE:
    case C_TYPE2:
        if (_connector != nullptr)
            serverHandshake(item);
        else
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: type item from a server ignored", _name);
        break;
    case C_MESG: deliver(item.message); break;
    case C_CLOSE:
        callOnClosed();
        _complete = false;
        cleanup(false);
        break;
    case C_COMPLETE:
    case C_COMPLETE2:
        if (_connector != nullptr) break;
        _serverVersion = item.code == C_COMPLETE ? 0 : static_cast<int>(item.serverVersion);
        _complete = true;
        callOnConnectComplete();
        break;
    case C_AUTHFAIL:
    case C_NOT_WHITELIST:
        if (_connector != nullptr) break;
        _complete = false;
        callOnNoConnect(item.code == C_AUTHFAIL ? COMS_E_AUTH : COMS_E_WHITELIST);
        // The server closes its end now; the refusal is the one report.
        cleanup(false);
        break;
    case C_ENABLE_TIMING:
        _timingEnabled = true;
        if (_connector != nullptr)
            writeCode(C_ENABLE_TIMING);
        else
            sendTiming();
        break;
    case C_SET_TIMING: {
        int lost = static_cast<int>(item.lost);
        int heartbeat = static_cast<int>(item.heartbeat);
        log(_debug_coms, LOG_DEBUG, 0, 0, "%s: received C_SETTIMING (_t_lost = %d, _t_heartbeat = %d)", _name, lost,
            heartbeat);
        // Values that cannot be timer delays leave the current ones in force.
        if (lost > 0) _t_lost = lost;
        if (heartbeat > 0) _t_heartbeat = heartbeat;
        if (_timingEnabled) {
            _lostTimer->set(lostTimeout());
            _heartbeatTimer->set(heartbeatInterval());
        }
        break;
    }
    case C_KILL:
        if (_connector != nullptr) {
            // Only a server may order its client to stop, never the reverse.
            log(0, "%s: C_KILL from a client ignored", _name);
            break;
        }
        log(0, "%s: received C_KILL. Must Exit", _name);
        if (_killHandler != nullptr) _killHandler(this);
        fflush(stdout);
        fflush(stderr);
        // Other threads keep running; static destructors must not start
        // under them.
        _exit(1);
    case C_GET_LD: {
        struct timeval now;
        gettimeofday(&now, nullptr);
        writeCode(C_LD_REPLY);
        writeU32(item.sec);
        writeU32(item.usec);
        writeU32(static_cast<uint32_t>(now.tv_sec));
        writeU32(static_cast<uint32_t>(now.tv_usec));
        break;
    }
    case C_LD_REPLY: {
        struct timeval now;
        gettimeofday(&now, nullptr);
        int latency, drift;
        computeLatency(WireTime{item.sec, item.usec}, WireTime{item.replySec, item.replyUsec},
                       WireTime{now.tv_sec, now.tv_usec}, &latency, &drift);
        _latency = latency;
        _drift = drift;
        break;
    }
    default: break;
    }
}

void Connection::serverHandshake(const ControlItem& item) {
    if (_complete || _accepted || _closeAfterWrite) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: repeated type item ignored", _name);
        return;
    }
    _type = static_cast<int>(item.type);
    _flag = item.flag;
    _typeVersion = item.code == C_TYPE2 ? static_cast<int>(item.typeVersion) : 0;
    _sentType2 = item.code == C_TYPE2;
    _complete = true;
    int refusal = 0;
    if (_type == kKillOnConnectType && Connector::_killAllClients) {
        log(0, "%s: Killing new connection", _name);
        refusal = C_KILL;
    } else if (Connector::hasWhitelist() && !Connector::passesWhitelist(_peer)) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: address not on the whitelist. Sending C_NOT_WHITELIST", _name);
        refusal = C_NOT_WHITELIST;
    } else {
        _inCallback = true;
        bool ok = _connector->newConnection(this, _type);
        _inCallback = false;
        if (!ok) {
            log(_debug_coms, LOG_WARNING, 0, 0, "%s: authorization failed. Sending C_AUTHFAIL", _name);
            refusal = C_AUTHFAIL;
        }
    }
    if (refusal != 0) {
        _complete = false;
        writeCode(refusal);
        _closeAfterWrite = true;
        afterWrite();
        return;
    }
    _accepted = true;
    if (_typeVersion < 1) {
        writeCode(C_COMPLETE);
    } else {
        writeCode(C_COMPLETE2);
        writeU32(static_cast<uint32_t>(_connector->getServerVersion()));
    }
}

void Connection::deliver(Message* message) {
    ConnectionListener* l = _listener;
    if (l == nullptr) {
        delete message;
        return;
    }
    int type = static_cast<int>(message->getType());
    _inCallback = true;
    long long start = monotonicMs();
    int rv = l->onReceive(this, message);
    long long took = monotonicMs() - start;
    _inCallback = false;
    if (took > kLongCallMs) log(0, "%s: LONG onReceive: t = %d, type = %d", _name, static_cast<int>(took), type);
    if (rv == 0)
        delete message;
    else if (rv != 1)
        log(0, "WARNING: unexpected return from onReceive");
}

// ---------------------------------------------------------------------------
// Listener calls

void Connection::callOnLost(int longMs, bool afterZeroRead) {
    ConnectionListener* l = _listener;
    if (l == nullptr) return;
    _inCallback = true;
    long long start = monotonicMs();
    l->onLost(this);
    long long took = monotonicMs() - start;
    _inCallback = false;
    if (took > longMs) {
        if (afterZeroRead)
            log(0, "%s: LONG onLost: (t = %d)", _name, static_cast<int>(took));
        else
            log(0, "%s: LONG onLost, %d", _name, static_cast<int>(took));
    }
}

void Connection::callOnNoConnect(int code) {
    callListener([&](ConnectionListener* l) { l->onNoConnect(this, code); });
}

void Connection::callOnClosed() {
    callListener([&](ConnectionListener* l) { l->onClosed(this); });
}

void Connection::callOnConnectComplete() {
    callListener([&](ConnectionListener* l) { l->onConnectComplete(this); });
}

// ---------------------------------------------------------------------------
// Errors

void Connection::handleSSLError(int result, int mode) {
    int savedErrno = errno;
    _mode = mode;
    int err = SSL_get_error(_ssl, result);
    switch (err) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_X509_LOOKUP:
    case SSL_ERROR_WANT_ACCEPT:
    case SSL_ERROR_WANT_CONNECT: return;
    case SSL_ERROR_WANT_WRITE: _writeEvent->enabled(true); return;
    case SSL_ERROR_ZERO_RETURN:
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL reads EOF", _name);
        callOnNoConnect(COMS_E_REFUSED);
        _complete = false;
        cleanup(false);
        return;
    case SSL_ERROR_SYSCALL: {
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL error syscall: (ret = %d, ssl_error = %d, errno = %d)", _name, result,
            err, savedErrno);
        ERR_clear_error();
        // A failed connect leaves its reason on the socket rather than in errno.
        if (savedErrno == 0 || savedErrno == EPIPE || savedErrno == ENOTCONN) {
            int soError = 0;
            socklen_t len = sizeof(soError);
            if (_socket >= 0 && getsockopt(_socket, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError != 0)
                savedErrno = soError;
        }
        handleSyscallError(savedErrno);
        return;
    }
    default:
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: SSL error in connection", _name);
        logSslErrors(_name);
        dropBroken();
        return;
    }
}

void Connection::dropBroken() {
    if (_complete)
        callOnLost(kLongCallMs, false);
    else
        callOnNoConnect(COMS_E_NOT_CONNECTED);
    _complete = false;
    cleanup(false);
}

void Connection::handleSyscallError(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) return;
    if (_connector != nullptr) {
        _readEvent->enabled(false);
        _writeEvent->enabled(false);
        if (_complete) callOnLost(kLongCallMs, false);
    } else if (_complete) {
        log(_debug_coms, LOG_INFO, 0, 0, "%s: SSL error syscall: forcing lost connection", _name);
        callOnLost(kLongCallMs, false);
    } else {
        callOnNoConnect(errnoToCode(err));
    }
    _complete = false;
    cleanup(false);
}

// ---------------------------------------------------------------------------
// The write path

void Connection::writeCode(int code) {
    unsigned char b = static_cast<unsigned char>(code);
    writeBytes(&b, 1);
}

void Connection::writeU8(int v) {
    unsigned char b = static_cast<unsigned char>(v);
    writeBytes(&b, 1);
}

void Connection::writeU32(uint32_t v) {
    unsigned char b[4];
    putBE32(b, v);
    writeBytes(b, 4);
}

void Connection::sendTiming() {
    log(_debug_coms, LOG_DEBUG, 0, 0, "%s: setTiming() sending C_SET_TIMING. lost = %d, hb = %d", _name, _t_lost.load(),
        _t_heartbeat.load());
    writeCode(C_SET_TIMING);
    writeU32(static_cast<uint32_t>(_t_lost.load()));
    writeU32(static_cast<uint32_t>(_t_heartbeat.load()));
    if (_cleanupCalled) return;
    _lostTimer->set(lostTimeout());
    _heartbeatTimer->set(heartbeatInterval());
}

void Connection::cork() {
    if (!_cleanupCalled) _corked = true;
}

void Connection::uncork() {
    _corked = false;
    if (_corkUsed == 0) return;
    size_t n = _corkUsed;
    _corkUsed = 0;
    writeDirect(_corkBuffer, n);
    afterWrite();
}

void Connection::writeBytes(const void* bytes, size_t n) {
    if (_cleanupCalled || n == 0) return;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (_corked) {
        if (n >= kCorkDirect) {
            if (_corkUsed > 0) {
                size_t used = _corkUsed;
                _corkUsed = 0;
                writeDirect(_corkBuffer, used);
            }
            writeDirect(p, n);
            return;
        }
        if (_corkUsed + n > kCorkLimit) {
            size_t used = _corkUsed;
            _corkUsed = 0;
            writeDirect(_corkBuffer, used);
            if (_cleanupCalled) return;
        }
        if (_corkUsed + n > _corkCapacity) {
            size_t capacity = _corkCapacity == 0 ? 4096 : _corkCapacity;
            while (capacity < _corkUsed + n) capacity *= 2;
            auto* grown = static_cast<unsigned char*>(realloc(_corkBuffer, capacity));
            if (grown == nullptr) {
                writeDirect(p, n);
                return;
            }
            _corkBuffer = grown;
            _corkCapacity = capacity;
        }
        memcpy(_corkBuffer + _corkUsed, p, n);
        _corkUsed += n;
        return;
    }
    writeDirect(p, n);
    afterWrite();
}

void Connection::attachSocket() {
    BIO* socketBio = BIO_new_socket(_socket, BIO_NOCLOSE);
    BIO* buffer = BIO_new(BIO_f_buffer());
    if (socketBio == nullptr || buffer == nullptr || BIO_set_write_buffer_size(buffer, kTlsWriteBuffer) <= 0) {
        BIO_free(buffer);
        BIO_free(socketBio);
        SSL_set_fd(_ssl, _socket);
        return;
    }
    // The socket BIO reads for TLS and ends the write chain: one reference each.
    BIO_up_ref(socketBio);
    BIO_push(buffer, socketBio);
    SSL_set_bio(_ssl, socketBio, buffer);
}

bool Connection::flushTls() {
    if (_plain || _ssl == nullptr) return true;
    BIO* out = SSL_get_wbio(_ssl);
    errno = 0;
    if (BIO_flush(out) > 0) {
        _flushPending = false;
        return true;
    }
    if (BIO_should_retry(out)) {
        _flushPending = true;
        _mode = SM_WRITE;
        _writeEvent->enabled(true);
        return false;
    }
    int err = errno;
    log(_debug_coms, LOG_INFO, 0, 0, "%s: unable to write to the socket (errno = %d)", _name, err);
    handleSyscallError(err != 0 ? err : EPIPE);
    return false;
}

int Connection::rawWrite(const unsigned char* bytes, size_t n) {
    int len = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
    if (_plain) return static_cast<int>(::send(_socket, bytes, static_cast<size_t>(len), MSG_NOSIGNAL));
    // With partial writes on, the library returns after every record, which
    // says nothing about the socket: keep writing until all is out or the
    // socket pushes back. A refusal after some progress reports the progress;
    // the retry from the write event meets the refusal again.
    int done = 0;
    while (done < len) {
        ERR_clear_error();
        int rv = SSL_write(_ssl, bytes + done, len - done);
        if (rv <= 0) return done > 0 ? done : rv;
        done += rv;
    }
    return done;
}

void Connection::writeDirect(const unsigned char* bytes, size_t n) {
    if (_cleanupCalled || n == 0) return;
    if (_queueHead != nullptr) {
        queueBytes(bytes, n);
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: there is a write queue.  Saved: %d", _name, static_cast<int>(n));
        return;
    }
    size_t done = writeNow(bytes, n);
    if (_cleanupCalled) return;
    if (done < n) {
        queueBytes(bytes + done, n - done);
        if (done > 0)
            log(_debug_coms, LOG_TRACE, 0, 0,
                "%s: not all bytes were written: %d were saved on the queue (mode = write)", _name,
                static_cast<int>(n - done));
        return;
    }
    flushTls();
}

size_t Connection::writeNow(const unsigned char* bytes, size_t n) {
    int rv = rawWrite(bytes, n);
    if (rv > 0) {
        _bytesSent += rv;
        if (static_cast<size_t>(rv) < n) {
            _mode = SM_WRITE;
            _writeEvent->enabled(true);
        }
        return static_cast<size_t>(rv);
    }
    if (_plain) {
        int err = errno;
        _mode = SM_WRITE;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            _writeEvent->enabled(true);
        else
            handleSyscallError(err);
        return 0;
    }
    handleSSLError(rv, SM_WRITE);
    return 0;
}

void Connection::writeLargeMessage(Message* message) {
    // Pending small writes go first.
    if (_corkUsed > 0) {
        size_t used = _corkUsed;
        _corkUsed = 0;
        writeDirect(_corkBuffer, used);
    }
    const MessageBase::_Buffer* b = message->firstBuffer();
    bool referenced = false;
    for (; b != nullptr && _queueHead == nullptr && !_cleanupCalled; b = b->next) {
        size_t done = writeNow(b->data, b->used);
        if (done < b->used && !_cleanupCalled) {
            queueReference(b->data + done, b->used - done);
            referenced = true;
            if (done > 0)
                log(_debug_coms, LOG_TRACE, 0, 0,
                    "%s: not all bytes were written: %d were saved on the queue (mode = write)", _name,
                    static_cast<int>(b->used - done));
            b = b->next;
            break;
        }
    }
    // What is left waits in the queue as it stands in the message, which
    // goes with the block that holds its last part.
    for (; b != nullptr && !_cleanupCalled; b = b->next) {
        queueReference(b->data, b->used);
        referenced = true;
    }
    if (_cleanupCalled || !referenced) {
        delete message;
        if (!_cleanupCalled && _queueHead == nullptr) flushTls();
    } else {
        _queueTail->owner = message;
    }
    if (!_corked) afterWrite();
}

void Connection::queueBytes(const unsigned char* bytes, size_t n) {
    auto* b = static_cast<WriteBlock*>(malloc(sizeof(WriteBlock) + n));
    if (b == nullptr) {
        log(0, "%s: no memory to queue %zu bytes; closing the connection", _name, n);
        _complete = false;
        cleanup(false);
        return;
    }
    b->next = nullptr;
    b->length = n;
    b->offset = 0;
    b->bytes = b->data;
    b->owner = nullptr;
    memcpy(b->data, bytes, n);
    if (_queueTail != nullptr)
        _queueTail->next = b;
    else
        _queueHead = b;
    _queueTail = b;
    _queuedBytes += n;
}

Connection::WriteBlock* Connection::queueReference(const unsigned char* bytes, size_t n) {
    auto* b = static_cast<WriteBlock*>(malloc(sizeof(WriteBlock)));
    b->next = nullptr;
    b->length = n;
    b->offset = 0;
    b->bytes = bytes;
    b->owner = nullptr;
    if (_queueTail != nullptr)
        _queueTail->next = b;
    else
        _queueHead = b;
    _queueTail = b;
    _queuedBytes += n;
    return b;
}

void Connection::freeBlock(WriteBlock* block) {
    delete block->owner;
    free(block);
}

void Connection::processWriteQueue() {
    while (_queueHead != nullptr && !_cleanupCalled) {
        WriteBlock* b = _queueHead;
        int rv = rawWrite(b->bytes + b->offset, b->length - b->offset);
        if (rv <= 0) {
            if (_plain) {
                int err = errno;
                _mode = SM_WRITE;
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                    _writeEvent->enabled(true);
                else
                    handleSyscallError(err);
                return;
            }
            handleSSLError(rv, SM_WRITE);
            return;
        }
        _bytesSent += rv;
        b->offset += static_cast<size_t>(rv);
        _queuedBytes -= static_cast<size_t>(rv);
        if (b->offset < b->length) {
            _mode = SM_WRITE;
            _writeEvent->enabled(true);
            return;
        }
        _mode = SM_READ;
        _queueHead = b->next;
        if (_queueHead == nullptr) _queueTail = nullptr;
        freeBlock(b);
    }
    if (_cleanupCalled || !flushTls()) return;
    afterWrite();
}

void Connection::afterWrite() {
    // A refusal goes out before the socket closes.
    if (_closeAfterWrite && !_cleanupCalled && _queueHead == nullptr && !_corked && !_flushPending) {
        _complete = false;
        if (_ssl != nullptr) SSL_shutdown(_ssl);
        // Unread input would turn the close into a reset, which can reach the
        // client before it has read the refusal.
        char discard[4096];
        while (recv(_socket, discard, sizeof(discard), MSG_DONTWAIT) > 0) {
        }
        cleanup(false);
    }
}
