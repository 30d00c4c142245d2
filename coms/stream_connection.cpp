// The blocking stream variant: a StreamConnector binds (as every connector
// does, through ListenSocket) and accepts on its "ft-listen" thread; a
// StreamConnection reads and writes one TLS connection, blocking.
#include "coms/stream_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

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

std::atomic<int> _handshakeTimeoutMs{StreamConnection::kDefaultHandshakeTimeoutMs};

}  // namespace

void StreamConnection::setHandshakeTimeout(int ms) {
    _handshakeTimeoutMs = ms > 0 ? ms : 1;
}

int StreamConnection::handshakeTimeout() {
    return _handshakeTimeoutMs;
}

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
    if (_boundPort != 0) {
        // A second listening thread would be left behind the first.
        log(0, "%s: already listening on port %d", _name, _boundPort);
        return -1;
    }
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
    bool failing = false;  // logged once per run of failures
    for (;;) {
        struct sockaddr_in addr;
        socklen_t len = sizeof(addr);
        int fd = accept4(_socket, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (_stopping) return;
            if (err == EINTR) continue;
            // Only a socket that no longer listens ends the loop. Out of
            // descriptors or memory, or a connection gone before it was
            // taken, is a pause: the listener waits and takes the backlog
            // once there is room again, as Connector does.
            bool gone = err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP || err == EFAULT;
            if (gone || !failing) log(err, "%s: stream socket accept failed unexpectedly", _name);
            if (gone) return;
            failing = true;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) usleep(100000);
            continue;
        }
        failing = false;
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
    // Its own hold on the server context: the connector may be deleted
    // before this connection accepts.
    if (_serverCtx != nullptr) SSL_CTX_up_ref(_serverCtx);
    _out = new StreamMessage(this, MessageBase::MODE_WRITE);
    _in = new StreamMessage(this, MessageBase::MODE_READ);
}

StreamConnection::~StreamConnection() {
    close();
    SSL_CTX_free(_serverCtx);
    delete _out;
    delete _in;
    X509_free(_cert);
    EVP_PKEY_free(_key);
    free(_host);
    free(_port);
}

void StreamConnection::shutdown() {
    CriticalSection hold(_sslLock);
    // A connect() still under way sees this and gives up, even before it
    // has a socket to shut down.
    _shutDown = true;
    if (_socket >= 0) ::shutdown(_socket, SHUT_RDWR);
}

void StreamConnection::close() {
    {
        CriticalSection hold(_sslLock);
        if (_ssl != nullptr) {
            // The socket does not block: a close-notify that does not fit is
            // dropped rather than waited for.
            SSL_shutdown(_ssl);
            SSL_free(_ssl);
            _ssl = nullptr;
        }
        for (Waiter& w : _waiters) {
            if (w.wakeFd >= 0) ::close(w.wakeFd);
            w.wakeFd = -1;
            w.events = 0;
        }
    }
    ERR_clear_error();
    {
        CriticalSection hold(_sslLock);
        if (_socket >= 0) {
            ::close(_socket);
            _socket = -1;
        }
    }
    SSL_CTX_free(_ctx);
    _ctx = nullptr;
    X509_free(_peerCert);
    _peerCert = nullptr;
}

int StreamConnection::connect() {
    // What an earlier connect left (its socket, context and session) goes
    // first, so that a client may simply connect again.
    close();
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return COMS_E_SOCKET;
    bool shutDown;
    {
        CriticalSection hold(_sslLock);
        _socket = fd;
        shutDown = _shutDown;
    }
    int failure = shutDown ? ECANCELED : connectSocket(addr);
    if (failure != 0) {
        log(failure, "%s: Stream connect() failed", _name);
        CriticalSection hold(_sslLock);
        ::close(_socket);
        _socket = -1;
        return COMS_E_CONNECT;
    }
    int one = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    _ctx = tlsClientContext(_name);
    if (_ctx == nullptr) return COMS_E_CERTIFICATE;
    {
        CriticalSection hold(_sslLock);
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
    }
    return handshake(true);
}

int StreamConnection::connectSocket(const struct sockaddr_in& addr) {
    // The socket does not block, so that a peer whose address takes no
    // connection (its SYNs dropped) costs the handshake's limit rather than
    // the kernel's minutes of retries, and so that shutdown() ends the wait.
    if (::connect(_socket, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) return errno;
        struct pollfd fd = {_socket, POLLOUT, 0};
        int limit = handshakeTimeout();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            int rv = poll(&fd, 1, static_cast<int>(left.count()) + 1);
            if (rv > 0) break;
            if (rv < 0 && errno != EINTR) return errno;
        }
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(_socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
        if (error != 0) return error;
    }
    // A shutdown() while the connection was being made ends it here.
    CriticalSection hold(_sslLock);
    return _shutDown ? ECANCELED : 0;
}

int StreamConnection::accept() {
    if (_serverCtx == nullptr || _socket < 0) return COMS_E_NOT_CONNECTED;
    // Replies are small and written value by value, as on the client side.
    int one = 1;
    setsockopt(_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    {
        CriticalSection hold(_sslLock);
        _ssl = SSL_new(_serverCtx);
        if (_ssl == nullptr) return COMS_E_NOT_CONNECTED;
        // Traced under its own name, which lives as long as it does.
        SSL_set_msg_callback_arg(_ssl, _name);
    }
    return handshake(false);
}

int StreamConnection::startConcurrentIo() {
    int flags = fcntl(_socket, F_GETFL);
    if (flags < 0 || fcntl(_socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        log(errno, "%s: unable to make the socket non-blocking", _name);
        return COMS_E_NOT_CONNECTED;
    }
    CriticalSection hold(_sslLock);
    for (Waiter& w : _waiters) {
        if (w.wakeFd < 0) w.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (w.wakeFd < 0) {
            log(errno, "%s: unable to create a wake descriptor", _name);
            return COMS_E_NOT_CONNECTED;
        }
    }
    if (SSL_set_fd(_ssl, _socket) != 1) return COMS_E_NOT_CONNECTED;
    // The library writes each record of at most 16 KiB with a system call
    // of its own; bulk writes go out in far fewer, larger ones (and as far
    // fewer segments) through a buffer that writeBytes() empties before it
    // returns. The socket's BIO stays the read side. Its reference as the
    // write side goes to the buffer's chain (SSL_set0_wbio drops the old
    // write side's).
    BIO* socketBio = SSL_get_wbio(_ssl);
    BIO* buffer = BIO_new(BIO_f_buffer());
    if (buffer == nullptr || BIO_set_write_buffer_size(buffer, kWriteBuffer) <= 0 || BIO_up_ref(socketBio) != 1) {
        BIO_free(buffer);
        return COMS_E_NOT_CONNECTED;
    }
    BIO_push(buffer, socketBio);
    SSL_set0_wbio(_ssl, buffer);
    return 0;
}

int StreamConnection::flushWrites() {
    for (;;) {
        bool retry;
        {
            CriticalSection hold(_sslLock);
            if (_ssl == nullptr) return COMS_E_NOT_CONNECTED;
            BIO* wbio = SSL_get_wbio(_ssl);
            if (BIO_flush(wbio) > 0) return 0;
            retry = BIO_should_retry(wbio) != 0;
            // The reader wakes this side when a call of its own moved output.
            if (retry) _waiters[WRITER].events = POLLOUT;
        }
        if (!retry || !waitForSocket(WRITER, SSL_ERROR_WANT_WRITE)) {
            ERR_clear_error();
            return COMS_E_NOT_CONNECTED;
        }
    }
}

template <class Call>
int StreamConnection::sslCall(Side side, Call call, int* sslError) {
    CriticalSection hold(_sslLock);
    if (_ssl == nullptr) {
        *sslError = -1;
        return 0;
    }
    BIO* rbio = SSL_get_rbio(_ssl);
    BIO* wbio = SSL_get_wbio(_ssl);
    uint64_t readBefore = BIO_number_read(rbio);
    uint64_t writtenBefore = BIO_number_written(wbio);
    ERR_clear_error();
    int rv = call(_ssl);
    int err = rv > 0 ? SSL_ERROR_NONE : SSL_get_error(_ssl, rv);
    // What the library says of a failure stays for the caller, who logs it
    // (a failed handshake says why) or drops it before returning.
    *sslError = err;
    // The other side may be polling for bytes this call just took off the
    // socket (then the socket no longer shows them), or for room this call
    // just used up or made: it must look again.
    Waiter& other = _waiters[side == READER ? WRITER : READER];
    bool tookInput = BIO_number_read(rbio) != readBefore || SSL_has_pending(_ssl);
    bool movedOutput = BIO_number_written(wbio) != writtenBefore;
    if (((other.events & POLLIN) != 0 && tookInput) || ((other.events & POLLOUT) != 0 && movedOutput)) {
        uint64_t one = 1;
        ssize_t ignored = ::write(other.wakeFd, &one, sizeof(one));
        (void)ignored;
        other.events = 0;
    }
    Waiter& self = _waiters[side];
    self.events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    return rv;
}

bool StreamConnection::waitForSocket(Side side, int sslError, int timeoutMs) {
    int wakeFd;
    {
        CriticalSection hold(_sslLock);
        wakeFd = _waiters[side].wakeFd;
    }
    struct pollfd fds[2];
    fds[0].fd = _socket;
    fds[0].events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    fds[0].revents = 0;
    fds[1].fd = wakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    for (;;) {
        int rv = poll(fds, 2, timeoutMs);
        if (rv == 0) return false;  // timed out: the caller tells
        if (rv > 0) break;
        if (errno != EINTR) {
            log(errno, "%s: poll failed", _name);
            return false;
        }
    }
    if (fds[1].revents != 0) {
        uint64_t count;
        ssize_t ignored = ::read(wakeFd, &count, sizeof(count));
        (void)ignored;
    }
    return true;
}

int StreamConnection::handshake(bool client) {
    if (startConcurrentIo() != 0) return COMS_E_NOT_CONNECTED;
    int limit = handshakeTimeout();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
        int err = 0;
        int rv = sslCall(READER, [client](SSL* ssl) { return client ? SSL_connect(ssl) : SSL_accept(ssl); }, &err);
        if (rv == 1) break;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() > 0 && waitForSocket(READER, err, static_cast<int>(left.count()) + 1)) continue;
            if (std::chrono::steady_clock::now() >= deadline) {
                log(_debug_coms, LOG_WARNING, 0, 0, "%s: TLS handshake not done after %d ms", _name, limit);
                return COMS_E_NOT_CONNECTED;
            }
        }
        log(_debug_coms, LOG_WARNING, 0, 0, "%s: TLS handshake failed", _name);
        logSslErrors(_name);
        return COMS_E_NOT_CONNECTED;
    }
    CriticalSection hold(_sslLock);
    _peerCert = SSL_get_peer_certificate(_ssl);
    return 0;
}

int StreamConnection::read(void* buffer, int n) {
    for (;;) {
        int err = 0;
        int rv = sslCall(READER, [buffer, n](SSL* ssl) { return SSL_read(ssl, buffer, n); }, &err);
        if (rv > 0) {
            log(_debug_coms, LOG_TRACE, 0, 0, "%s: read %d bytes", _name, rv);
            _bytesRead.fetch_add(rv, std::memory_order_relaxed);
            return rv;
        }
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && waitForSocket(READER, err)) continue;
        ERR_clear_error();
        return err == SSL_ERROR_ZERO_RETURN ? 0 : COMS_E_NOT_CONNECTED;
    }
}

int StreamConnection::writeBytes(const void* buffer, int n) {
    log(_debug_coms, LOG_TRACE, 0, 0, "%s: Writing %d bytes", _name, n);
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    while (n > 0) {
        int err = 0;
        int rv = sslCall(WRITER, [p, n](SSL* ssl) { return SSL_write(ssl, p, n); }, &err);
        if (rv > 0) {
            p += rv;
            n -= rv;
            _bytesWritten.fetch_add(rv, std::memory_order_relaxed);
            continue;
        }
        // A want-read here is the peer's handshake traffic that the reader
        // (or the next try) must take in first.
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && waitForSocket(WRITER, err)) continue;
        ERR_clear_error();
        return COMS_E_NOT_CONNECTED;
    }
    return flushWrites();
}
