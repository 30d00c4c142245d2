// The receiving service: listening, one thread per session, shutdown.
#include "tools/ftd/ftd_server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/daemon_thread.h"
#include "common/log.h"
#include "common/os.h"
#include "common/periodic_thread.h"
#include "coms/stream_message.h"
#include "coms/tls.h"
#include "tools/ftd/ftd_activity.h"
#include "tools/ftd/ftd_session.h"

namespace {

// Descriptors a session may hold at once (its socket, the connection's two
// wake descriptors, the folder, the file being made, the previous version,
// a fallback's folder, ...), and those the rest of the service keeps.
const long long kDescriptorsPerSession = 8;
const long long kDescriptorsKept = 32;
// The saved index is written at most this often while the service runs,
// and when it stops: it holds an entry per file of the tree, and written
// after every session that changed it, a large tree paid that much for
// each short session. A service killed meanwhile loses only digests, which
// are taken again when next asked for.
const long long kIndexSaveEveryMs = 60 * 1000;

class FtdSessionThread : public DaemonThread {
public:
    // Runs on the listener's thread, so the connection takes its hold on
    // the listener's TLS context while the listener still exists: stop()
    // may delete it before this thread first runs.
    FtdSessionThread(FtdServer* server, StreamConnector* connector, int socket, const char* peer)
        : _server(server), _socket(socket), _peer(peer != nullptr ? peer : ""),
          _connection(new StreamConnection(connector, socket, _peer.c_str())) {
        setName("ftd-session");
        // Nobody joins a session: it deletes itself, and stop() waits for
        // its end through sessionEnded().
        setDetached();
    }
    void run() override {
        setInitialized();
        std::atomic<long long> work{0};
        ftdSetThreadActivity(&work);
        _server->watch(_socket, _connection.get(), &work);
        if (_connection->accept() == 0) {
            FtdSession session(_server, _connection->getInMessage(), _connection->getOutMessage(), _peer.c_str());
            session.run();
        } else {
            log(LOG_WARNING, 0, 0, "drvftd: TLS handshake with %s failed", _peer.c_str());
        }
        long long in = _connection->bytesRead();
        long long out = _connection->bytesWritten();
        // Before the socket closes, so that stop() never shuts down a
        // descriptor number that has been reused.
        _server->forgetSocket(_socket);
        _connection.reset();
        ftdSetThreadActivity(nullptr);
        _server->sessionEnded(in, out);
    }

private:
    FtdServer* _server;
    int _socket;
    std::string _peer;
    std::unique_ptr<StreamConnection> _connection;
};

}  // namespace

FtdServer::FtdServer(const char* root, X509* cert, EVP_PKEY* key)
    : _tree(root), _index(_tree), _fallbacks(_tree), _cert(cert), _key(key), _ownIdentity(false) {
    if (_cert == nullptr || _key == nullptr) {
        _cert = nullptr;
        _key = nullptr;
        _ownIdentity = makeSelfSignedCertificate("drvftd", "/O=Dravika/CN=drvftd", 2048, 3650L * 86400, &_cert,
                                                 &_key) == 0;
    }
}

FtdServer::~FtdServer() {
    stop();
    if (_lockFd >= 0) ::close(_lockFd);
    if (_ownIdentity) {
        X509_free(_cert);
        EVP_PKEY_free(_key);
    }
}

int FtdServer::start(const char* port, const char* bindAddress) {
    if (!_tree.ok()) {
        log(LOG_ERROR, 0, 0, "drvftd: root folder cannot be opened");
        return -1;
    }
    if (_cert == nullptr) {
        log(LOG_ERROR, 0, 0, "drvftd: no certificate");
        return -1;
    }
    if (_lockFd < 0) {
        int state = _tree.openDir(kFtdStateDir, true);
        int fd = state >= 0 ? ::openat(state, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
        if (state >= 0) ::close(state);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            _lockFd = fd;
            int removed = _tree.removeStaleTemporaries();
            if (removed > 0)
                log(LOG_INFO, 0, 0, "drvftd: removed %d temporary file(s) left by an interrupted run", removed);
        } else {
            if (fd >= 0) ::close(fd);
            log(LOG_WARNING, 0, 0, "drvftd: another service holds %s; its temporary files are left alone",
                _tree.root().c_str());
        }
    }
    _index.load();
    struct rlimit files;
    long long room = kMaxSessions;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        room = (static_cast<long long>(files.rlim_cur) - kDescriptorsKept) / kDescriptorsPerSession;
    _maxSessions = room < 1 ? 1 : room > kMaxSessions ? kMaxSessions : static_cast<int>(room);
    {
        CondSection hold(_sessions);
        _stopping = false;
    }
    _connector = new StreamConnector(this, _cert, _key);
    if (bindAddress != nullptr) _connector->setBindAddress(bindAddress);
    if (_connector->bind(port) != 0) {
        delete _connector;
        _connector = nullptr;
        return -1;
    }
    // A few looks per idle time-out, at most one a second.
    int tickMs = std::min(1000, std::max(10, _idleMs / 4));
    _indexSavedAtMs = monotonicMs();
    _idleWatch.reset(new PeriodicThread("ftd-idle", tickMs, [this] {
        checkIdle();
        saveIndexWhenDue();
    }));
    _idleWatch->start();
    log(LOG_INFO, 0, 0, "drvftd: serving %s on port %d (at most %d sessions at once)", _tree.root().c_str(),
        _connector->getPort(), _maxSessions);
    return 0;
}

void FtdServer::stop() {
    if (_connector == nullptr) return;
    delete _connector;  // no more sessions start
    _connector = nullptr;
    {
        CondSection hold(_sessions);
        _stopping = true;
        for (auto& s : _sockets) ::shutdown(s.first, SHUT_RDWR);
        while (_live > 0) _sessions.wait(200);
    }
    if (_idleWatch) {
        _idleWatch->stopAndJoin();
        _idleWatch.reset();
    }
    _index.save();
}

void FtdServer::watch(int socket, const StreamConnection* connection, const std::atomic<long long>* work) {
    CondSection hold(_sessions);
    auto it = _sockets.find(socket);
    if (it == _sockets.end()) return;
    it->second.connection = connection;
    it->second.work = work;
    it->second.seen = -1;
}

void FtdServer::checkIdle() {
    long long now = monotonicMs();
    CondSection hold(_sessions);
    for (auto& s : _sockets) {
        Watched& w = s.second;
        if (w.connection == nullptr || w.cut) continue;
        long long sum = w.connection->bytesRead() + w.connection->bytesWritten() + w.work->load();
        if (sum != w.seen) {
            w.seen = sum;
            w.sinceMs = now;
        } else if (now - w.sinceMs >= _idleMs) {
            // The socket stays open until its session forgets it (under this
            // lock), so the number cannot belong to another connection yet.
            log(LOG_WARNING, 0, 0, "drvftd: %s: no sign of life for %lld ms; closing", w.connection->getName(),
                now - w.sinceMs);
            ::shutdown(s.first, SHUT_RDWR);
            w.cut = true;
        }
    }
}

void FtdServer::saveIndexWhenDue() {
    long long now = monotonicMs();
    if (now - _indexSavedAtMs < kIndexSaveEveryMs) return;
    _indexSavedAtMs = now;
    _index.save();
}

void FtdServer::onAccept(StreamConnector* connector, int socket, const char* peer) {
    long long turnedAway = 0;
    {
        CondSection hold(_sessions);
        if (_stopping) {
            ::close(socket);
            return;
        }
        if (_live >= _maxSessions) {
            // One line a second at most, however many keep coming.
            ::close(socket);
            _turnedAway++;
            long long now = monotonicMs();
            if (now - _turnedAwayLogMs < 1000) return;
            _turnedAwayLogMs = now;
            turnedAway = _turnedAway;
            _turnedAway = 0;
        } else {
            _sockets[socket] = Watched();
            _live++;
        }
    }
    if (turnedAway > 0) {
        log(LOG_WARNING, 0, 0, "drvftd: %s: refused: %d sessions already (%lld connection(s) refused)",
            peer != nullptr ? peer : "", _maxSessions, turnedAway);
        return;
    }
    FtdSessionThread* t = new FtdSessionThread(this, connector, socket, peer);
    if (t->start() != 0) {
        // No thread: the session ends here, as its thread would have ended it.
        forgetSocket(socket);
        delete t;  // closes the connection
        sessionEnded(0, 0);
    }
}

int FtdServer::liveSessions() {
    CondSection hold(_sessions);
    return _live;
}

void FtdServer::forgetSocket(int socket) {
    CondSection hold(_sessions);
    _sockets.erase(socket);
}

void FtdServer::sessionEnded(long long in, long long out) {
    _bytesReceived += in;
    _bytesSent += out;
    CondSection hold(_sessions);
    _live--;
    _sessions.broadcast();
}
