// The blocking stream variant: a StreamConnector binds (as every connector
// does, through ListenSocket) and accepts on its "ft-listen" thread; a
// StreamConnection reads and writes one TLS connection, blocking.
#include "coms/stream_connection.h"

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
#include <unistd.h>

#include "common/log.h"
#include "common/os.h"
#include "common/properties.h"
#include "coms/coms_error.h"
#include "coms/connector.h"
#include "coms/listen_socket.h"
#include "coms/stream_message.h"
#include "coms/tls.h"

// Accepts sockets in a blocking loop and hands each to the listener.
class StreamListenThread : public DaemonThread {
public:
    explicit StreamListenThread(StreamConnector* connector) : _connector(connector) {
        setName("ft-listen");
        setDeleteOnExit(false);
    }
    void run() override {
        setInitialized();
        _connector->acceptLoop();
    }

private:
    StreamConnector* _connector;
};

namespace {

const ListenSocket::Texts kBindTexts = {
    nullptr,
    "%s: socket() failed",
    "%s: getservbyname() failed.",
    "%s: Socket still in use... Will retry",
    "%s: Unable to bind() to port",
    "%s: Unable to listen() to port",
};

}  // namespace

// ---------------------------------------------------------------------------
// StreamConnector

StreamConnector::StreamConnector(StreamConnectorListener* listener, X509* cert, EVP_PKEY* key)
    : _listener(listener), _ctx(nullptr), _socket(-1), _bindAddress(nullptr), _boundPort(0), _thread(nullptr),
      _stopping(false) {
    snprintf(_name, sizeof(_name), "X-");
    snprintf(_traceName, sizeof(_traceName), "%s (connector)", _name);
    _ctx = tlsServerContext(cert, key, true, _traceName);
}

StreamConnector::~StreamConnector() {
    _stopping = true;
    // Wakes the blocking accept, which then fails and ends the loop.
    if (_socket >= 0) shutdown(_socket, SHUT_RDWR);
    if (_thread != nullptr) {
        _thread->join();
        delete _thread;
    }
    if (_socket >= 0) ::close(_socket);
    SSL_CTX_free(_ctx);
    free(_bindAddress);
}

void StreamConnector::setBindAddress(const char* address) {
    free(_bindAddress);
    _bindAddress = address != nullptr ? strdup(address) : nullptr;
}

int StreamConnector::bind(const char* port) {
    if (port == nullptr) return -1;
    snprintf(_name, sizeof(_name), "X-%s", port);
    snprintf(_traceName, sizeof(_traceName), "%s (connector)", _name);
    ListenSocket::Request request;
    request.name = _name;
    request.port = port;
    request.bindAddress = _bindAddress;
    request.listenQueue = _ft_listen_queue;
    request.nonBlocking = false;  // the listen thread blocks in accept
    request.texts = &kBindTexts;
    request.ready = nullptr;
    request.readyArg = nullptr;
    if (ListenSocket::bind(&request) != 0) return -1;
    _socket = request.socket;
    _boundPort = request.boundPort;
    _thread = new StreamListenThread(this);
    _thread->start();
    return 0;
}

void StreamConnector::acceptLoop() {
    for (;;) {
        struct sockaddr_in addr;
        socklen_t len = sizeof(addr);
        int fd = accept4(_socket, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR && !_stopping) continue;
            if (!_stopping) log(errno, "%s: stream socket accept failed unexpectedly", _name);
            return;
        }
        char peer[INET_ADDRSTRLEN];
        s_inet_ntoa(peer, sizeof(peer), addr.sin_addr.s_addr);
        if (_listener != nullptr)
            _listener->onAccept(this, fd, peer);
        else
            ::close(fd);
    }
}

// ---------------------------------------------------------------------------
// StreamConnection

StreamConnection::StreamConnection(const char* host, const char* port, X509* cert, EVP_PKEY* key, int connectValue)
    : _host(strdup(host != nullptr ? host : "")), _port(strdup(port != nullptr ? port : "")), _cert(cert), _key(key),
      _connectValue(connectValue), _socket(-1), _ctx(nullptr), _ssl(nullptr), _serverCtx(nullptr), _peerCert(nullptr) {
    snprintf(_name, sizeof(_name), "C-%s:%s", _host, _port);
    if (_cert != nullptr) X509_up_ref(_cert);
    if (_key != nullptr) EVP_PKEY_up_ref(_key);
    _out = new StreamMessage(this, MessageBase::MODE_WRITE);
    _in = new StreamMessage(this, MessageBase::MODE_READ);
}

StreamConnection::StreamConnection(StreamConnector* connector, int socket, const char* peer)
    : _host(nullptr), _port(nullptr), _cert(nullptr), _key(nullptr), _connectValue(0), _socket(socket), _ctx(nullptr),
      _ssl(nullptr), _serverCtx(connector != nullptr ? connector->getSslContext() : nullptr), _peerCert(nullptr) {
    snprintf(_name, sizeof(_name), "S-%s", peer != nullptr ? peer : "");
    _out = new StreamMessage(this, MessageBase::MODE_WRITE);
    _in = new StreamMessage(this, MessageBase::MODE_READ);
}

StreamConnection::~StreamConnection() {
    close();
    delete _out;
    delete _in;
    X509_free(_cert);
    EVP_PKEY_free(_key);
    free(_host);
    free(_port);
}

void StreamConnection::shutdown() {
    if (_socket >= 0) ::shutdown(_socket, SHUT_RDWR);
}

void StreamConnection::close() {
    if (_ssl != nullptr) {
        SSL_shutdown(_ssl);
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_socket >= 0) {
        ::close(_socket);
        _socket = -1;
    }
    SSL_CTX_free(_ctx);
    _ctx = nullptr;
    X509_free(_peerCert);
    _peerCert = nullptr;
}

int StreamConnection::connect() {
    struct hostent entry;
    struct hostent* result = nullptr;
    char buffer[8192];
    int herr = 0;
    if (gethostbyname_r(_host, &entry, buffer, sizeof(buffer), &result, &herr) != 0 || result == nullptr ||
        result->h_addrtype != AF_INET || result->h_addr_list[0] == nullptr) {
        log(0, "Stream connect() unable to lookup hostname '%s'", _host);
        return COMS_E_NO_HOST;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    memcpy(&addr.sin_addr, result->h_addr_list[0], sizeof(addr.sin_addr));
    int port = ListenSocket::lookUpPort(_port);
    if (port <= 0) {
        log(0, "Stream connect() unable to lookup service '%s'", _port);
        return COMS_E_NO_SERVICE;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    _socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_socket < 0) return COMS_E_SOCKET;
    if (::connect(_socket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        log(errno, "%s: Stream connect() failed", _name);
        ::close(_socket);
        _socket = -1;
        return COMS_E_CONNECT;
    }
    int one = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    _ctx = tlsClientContext(_name);
    if (_ctx == nullptr) return COMS_E_CERTIFICATE;
    _ssl = SSL_new(_ctx);
    if (_ssl == nullptr) return COMS_E_CERTIFICATE;
    if (_cert != nullptr) {
        if (SSL_use_certificate(_ssl, _cert) <= 0) {
            log(0, "Stream connect() Unable to assign connect certificate");
            ERR_clear_error();
            return COMS_E_CERTIFICATE;
        }
        if (_key == nullptr || SSL_use_PrivateKey(_ssl, _key) <= 0) {
            log(0, "Stream connect() Unable to assign private key");
            ERR_clear_error();
            return COMS_E_KEY;
        }
    }
    return handshake(true);
}

int StreamConnection::accept() {
    if (_serverCtx == nullptr || _socket < 0) return COMS_E_NOT_CONNECTED;
    // Replies are small and written value by value, as on the client side.
    int one = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    _ssl = SSL_new(_serverCtx);
    if (_ssl == nullptr) return COMS_E_NOT_CONNECTED;
    return handshake(false);
}

int StreamConnection::handshake(bool client) {
    SSL_set_fd(_ssl, _socket);
    ERR_clear_error();
    int rv = client ? SSL_connect(_ssl) : SSL_accept(_ssl);
    if (rv != 1) {
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: TLS handshake failed", _name);
        logSslErrors(_name);
        return COMS_E_NOT_CONNECTED;
    }
    _peerCert = SSL_get_peer_certificate(_ssl);
    return 0;
}

int StreamConnection::read(void* buffer, int n) {
    if (_ssl == nullptr) return COMS_E_NOT_CONNECTED;
    ERR_clear_error();
    int rv = SSL_read(_ssl, buffer, n);
    if (rv > 0) {
        log(_debug_coms, LOG_TRACE, 0, 0, "%s: read %d bytes", _name, rv);
        _bytesRead.fetch_add(rv, std::memory_order_relaxed);
        return rv;
    }
    int err = SSL_get_error(_ssl, rv);
    ERR_clear_error();
    return err == SSL_ERROR_ZERO_RETURN ? 0 : COMS_E_NOT_CONNECTED;
}

int StreamConnection::writeBytes(const void* buffer, int n) {
    if (_ssl == nullptr) return COMS_E_NOT_CONNECTED;
    log(_debug_coms, LOG_TRACE, 0, 0, "%s: Writing %d bytes", _name, n);
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    while (n > 0) {
        ERR_clear_error();
        int rv = SSL_write(_ssl, p, n);
        if (rv <= 0) {
            ERR_clear_error();
            return COMS_E_NOT_CONNECTED;
        }
        p += rv;
        n -= rv;
        _bytesWritten.fetch_add(rv, std::memory_order_relaxed);
    }
    return 0;
}
