// The receiving service of the file transfer protocol (drvftd): a
// StreamConnector on a port, one session thread per accepted connection,
// all writing below one root folder and sharing one index.
//
// An idle watch ends a session whose connection has moved no byte, and
// whose thread has done no work of its own (ftd_activity.h), for the idle
// time-out: a peer that falls silent, stops in the middle of a message or
// stops reading what it asked for would otherwise hold its thread and
// socket for good.
//
// The shared index is saved by the idle watch now and then, and by stop().
//
// Thread-safety: start() and stop() from one controlling thread; sessions
// run on their own threads and reach the shared tree, index and counters,
// which are safe for that. stop() closes the sockets of live sessions and
// waits for their threads.
#ifndef DRV_TOOLS_FTD_FTD_SERVER_H
#define DRV_TOOLS_FTD_FTD_SERVER_H

#include <openssl/x509.h>

#include <atomic>
#include <map>
#include <memory>

#include "common/periodic_thread.h"
#include "common/sem.h"
#include "coms/stream_connection.h"
#include "tools/ftd/ftd_fallback.h"
#include "tools/ftd/ftd_index.h"
#include "tools/ftd/ftd_tree.h"

class FtdServer : public StreamConnectorListener {
public:
    // root: the folder to serve (must exist). cert/key: the service's TLS
    // identity; null makes a self-signed one.
    FtdServer(const char* root, X509* cert, EVP_PKEY* key);
    ~FtdServer() override;
    FtdServer(const FtdServer&) = delete;
    FtdServer& operator=(const FtdServer&) = delete;

    // Loads the index and listens; "0" lets the system pick the port. 0 or -1.
    // First, when no other service holds the root (a lock in the state
    // folder says so), removes the temporary files a service killed in the
    // middle of a transfer left behind.
    int start(const char* port, const char* bindAddress = nullptr);
    int getPort() const { return _connector != nullptr ? _connector->getPort() : -1; }
    // How long a session may stay without a sign of life (see above), in
    // ms; before start().
    static constexpr int kDefaultIdleMs = 10 * 60 * 1000;
    void setIdleTimeout(int ms) { _idleMs = ms > 0 ? ms : kDefaultIdleMs; }
    // Sessions served at once, set at start() from the process's limit of
    // open descriptors: a session holds a few, and a service that ran out
    // of them could accept nothing more. A connection beyond is closed at
    // once.
    static constexpr int kMaxSessions = 512;
    int maxSessions() const { return _maxSessions; }
    // Stops listening, ends live sessions, saves the index.
    void stop();

    void onAccept(StreamConnector* connector, int socket, const char* peer) override;

    const FtdTree& tree() const { return _tree; }
    FtdIndexStore& index() { return _index; }
    FtdFallbacks& fallbacks() { return _fallbacks; }
    bool ok() const { return _tree.ok(); }

    // Totals over all sessions, for statistics and tests.
    long long bytesReceived() const { return _bytesReceived.load(); }
    long long bytesSent() const { return _bytesSent.load(); }
    int liveSessions();
    // Called by a session thread: once its connection exists (the session's
    // count of its own work beside it), before its socket closes, and at its
    // end.
    void watch(int socket, const StreamConnection* connection, const std::atomic<long long>* work);
    void forgetSocket(int socket);
    void sessionEnded(long long in, long long out);

private:
    // A live session as the idle watch sees it.
    struct Watched {
        const StreamConnection* connection = nullptr;
        const std::atomic<long long>* work = nullptr;
        long long seen = -1;     // the last sum of bytes and work
        long long sinceMs = 0;   // when it last changed
        bool cut = false;        // its socket was shut down
    };
    // Ends the sessions that stayed without a sign of life too long.
    void checkIdle();
    // Saves the index when it changed and the last save is a while ago.
    void saveIndexWhenDue();

    FtdTree _tree;
    FtdIndexStore _index;
    FtdFallbacks _fallbacks;
    X509* _cert;
    EVP_PKEY* _key;
    bool _ownIdentity;
    // The root's lock, held from start() to destruction (-1 when another
    // service held it).
    int _lockFd = -1;
    StreamConnector* _connector = nullptr;
    int _idleMs = kDefaultIdleMs;
    int _maxSessions = kMaxSessions;
    std::unique_ptr<PeriodicThread> _idleWatch;
    // When the idle watch last saved the index (its thread's own).
    long long _indexSavedAtMs = 0;
    CondBlock _sessions;
    // The sockets of live sessions.
    std::map<int, Watched> _sockets GUARDED_BY(_sessions);
    int _live GUARDED_BY(_sessions) = 0;
    // Connections closed for want of room since the last log line, and when
    // that line was written.
    long long _turnedAway GUARDED_BY(_sessions) = 0;
    long long _turnedAwayLogMs GUARDED_BY(_sessions) = 0;
    bool _stopping GUARDED_BY(_sessions) = false;
    std::atomic<long long> _bytesReceived{0};
    std::atomic<long long> _bytesSent{0};
};

#endif
