// The blocking stream variant for bulk transfers: a StreamConnector listens
// on a port and its "ft-listen" thread hands every accepted socket to the
// listener; a StreamConnection is one blocking TLS connection whose reads
// and writes wait until done, with an outgoing and an incoming
// StreamMessage for the protocol running over it.
//
// Thread-safety of a StreamConnection: once connect() or accept() has
// returned 0, one thread may read while another writes (a transfer's read
// thread and its sender). The TLS object allows one call at a time, so
// every call on it is made under _sslLock on a non-blocking socket; a side
// that must wait for the socket drops the lock and polls, and a call by the
// other side that took or sent the bytes it waited for wakes it through its
// wake descriptor. shutdown() may be called from any thread; connect(),
// accept() and close() only while nobody reads or writes.
#ifndef DRV_COMS_STREAM_CONNECTION_H
#define DRV_COMS_STREAM_CONNECTION_H

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>

#include "common/daemon_thread.h"
#include "common/sem.h"
#include "common/thread_annotations.h"

class StreamConnector;
class StreamMessage;
struct sockaddr_in;

class StreamConnectorListener {
public:
    virtual ~StreamConnectorListener() = default;
    // Takes an accepted, blocking socket (and closes it when done), on the
    // "ft-listen" thread. Usually wraps it in a StreamConnection.
    virtual void onAccept(StreamConnector* connector, int socket, const char* peer) = 0;
};

class StreamConnector {
public:
    static constexpr int kNameLength = 40;

    // The certificate and key are referenced, not taken.
    StreamConnector(StreamConnectorListener* listener, X509* cert, EVP_PKEY* key);
    // Stops the listen thread and closes the socket.
    ~StreamConnector();
    StreamConnector(const StreamConnector&) = delete;
    StreamConnector& operator=(const StreamConnector&) = delete;

    // Binds (retrying while the port stays in use, as Connector does), then
    // starts the "ft-listen" thread. 0 or -1. "0" lets the system choose.
    int bind(const char* port);
    void setBindAddress(const char* address);
    int getPort() const { return _boundPort; }
    const char* getName() const { return _name; }
    SSL_CTX* getSslContext() const { return _ctx; }
    StreamConnectorListener* getListener() const { return _listener; }

private:
    friend class StreamListenThread;

    void acceptLoop();

    StreamConnectorListener* _listener;
    SSL_CTX* _ctx;
    int _socket;
    char _name[kNameLength + 1];
    char _traceName[kNameLength + 16];
    char* _bindAddress;
    int _boundPort;
    DaemonThread* _thread;
    std::atomic<bool> _stopping;
};

class StreamConnection {
public:
    static constexpr int kNameLength = 80;

    // A client; connectValue is kept for the protocol that opens it.
    StreamConnection(const char* host, const char* port, X509* cert, EVP_PKEY* key, int connectValue = 0);
    // An accepted socket (taken: closed with the connection).
    StreamConnection(StreamConnector* connector, int socket, const char* peer);
    ~StreamConnection();
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    // Client: resolve, connect and run the TLS handshake, after closing
    // what an earlier connect opened. 0 or a connection error code (-2
    // socket, -3 host, -4 service, -5/-6 certificate or key, -7 connect,
    // -10 handshake).
    int connect();
    // Server: run the TLS handshake on the accepted socket. 0 or -10.
    int accept();
    // The longest the TLS handshake of connect() or accept() may take
    // (20000 ms by default, as a connection's lost time-out): a peer that
    // stays silent would otherwise hold the "ft-listen" thread, and with it
    // the connector's destructor, for good. Past it the handshake fails
    // with -10. connect()'s TCP connection gets the same limit (-7 past
    // it). Any thread; read when a connect or handshake starts.
    static constexpr int kDefaultHandshakeTimeoutMs = 20000;
    static void setHandshakeTimeout(int ms);
    static int handshakeTimeout();

    // Waits for at least one byte; the count read, 0 at the end of the
    // stream, negative on an error.
    int read(void* buffer, int n);
    // Writes all n bytes; 0, or -10 when the connection failed.
    int writeBytes(const void* buffer, int n);
    void close();
    // Wakes a thread blocked reading this connection: shuts the socket down
    // both ways; the descriptor stays until close(). A connect() under way,
    // or made later, fails (-7 while the TCP connection is being made, -10
    // during the handshake). Any thread.
    void shutdown();

    StreamMessage* getOutMessage() { return _out; }
    StreamMessage* getInMessage() { return _in; }
    const char* getName() const { return _name; }
    int getConnectValue() const { return _connectValue; }
    // The peer's certificate after the handshake (not a new reference).
    X509* getPeerCertificate() const { return _peerCert; }
    // Payload bytes read and written so far (inside TLS), for transfer
    // statistics; readable from any thread.
    long long bytesRead() const { return _bytesRead.load(std::memory_order_relaxed); }
    long long bytesWritten() const { return _bytesWritten.load(std::memory_order_relaxed); }

private:
    // The two sides that may use the connection at once.
    enum Side { READER = 0, WRITER = 1 };
    // A side that waits for the socket: what it polls for (POLLIN or
    // POLLOUT; 0 while it does not wait) and the descriptor that wakes it.
    struct Waiter {
        short events = 0;
        int wakeFd = -1;
    };

    // Bytes of TLS records gathered before they go to the socket.
    static constexpr long kWriteBuffer = 256 * 1024 + 1024;

    // Makes the TCP connection on _socket: 0, or the errno of the failure
    // (ETIMEDOUT past the handshake's limit, ECANCELED after shutdown()).
    int connectSocket(const struct sockaddr_in& addr);
    int handshake(bool client);
    // Sends the records gathered in the write buffer, waiting for the
    // socket as needed. 0, or -10.
    int flushWrites();
    // After the handshake: the socket becomes non-blocking and the wake
    // descriptors are made. 0, or -10.
    int startConcurrentIo();
    // One TLS call for side under the lock (0 with *sslError set to -1 when
    // the connection is closed). On a want-read or want-write result the
    // side is recorded as waiting, and *sslError tells which.
    template <class Call>
    int sslCall(Side side, Call call, int* sslError);
    // Waits, without the lock, for the socket or for the other side's wake,
    // at most timeoutMs (-1: no limit). False when polling failed or the
    // time ran out.
    bool waitForSocket(Side side, int sslError, int timeoutMs = -1);

    char _name[kNameLength + 1];
    char* _host;
    char* _port;
    X509* _cert;
    EVP_PKEY* _key;
    int _connectValue;
    // Written under _sslLock, for shutdown() from another thread; read
    // without it by the thread that owns the connection.
    int _socket;
    bool _shutDown GUARDED_BY(_sslLock) = false;
    SSL_CTX* _ctx;  // the client's own
    SSL* _ssl GUARDED_BY(_sslLock);
    SSL_CTX* _serverCtx;
    CriticalBlock _sslLock;
    Waiter _waiters[2] GUARDED_BY(_sslLock);
    X509* _peerCert;
    StreamMessage* _out;
    StreamMessage* _in;
    std::atomic<long long> _bytesRead{0};
    std::atomic<long long> _bytesWritten{0};
};

#endif
