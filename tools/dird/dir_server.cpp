#include "tools/dird/dir_server.h"

#include <string.h>

#include <memory>
#include <vector>

#include "common/log.h"
#include "common/op_target.h"
#include "common/os.h"
#include "common/periodic_thread.h"
#include "common/thread_pool.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dir/exec_dir_thread.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "tools/dird/dird_root.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/domain_ca.h"
#include "tools/dird/relay_codec.h"

namespace {

// Whether a recorded session is that one, by identity alone: taking a
// reference to compare could make a caller under a lock the last owner.
bool sameSession(const std::weak_ptr<DirSession>& recorded, const std::shared_ptr<DirSession>& session) {
    return !recorded.owner_before(session) && !session.owner_before(recorded);
}

// One received message and the session it belongs to, for a worker.
class RequestJob : public DeferredOp {
public:
    RequestJob(const std::shared_ptr<DirSession>& session, Message* message) : session(session), message(message) {}
    ~RequestJob() override {
        delete message;
        session->requestDone();
    }
    std::shared_ptr<DirSession> session;
    Message* message;
};

const char* kindName(int kind) {
    switch (kind) {
    case DirSession::KIND_LOGIN: return "login";
    case DirSession::KIND_ENROL: return "enrolment";
    case DirSession::KIND_CLIENT: return "client";
    case DirSession::KIND_AGENT: return "agent";
    default: return "upstream";
    }
}

// Whether the execution thread runs what is posted to it within ms (at
// once when it does not run).
bool execThreadAnswers(int ms) {
    struct Mark {
        CondBlock cond;
        bool ran GUARDED_BY(cond) = false;
    };
    auto mark = std::make_shared<Mark>();
    ExecDirThread::postBehindAttaches([mark] {
        CondSection hold(mark->cond);
        mark->ran = true;
        mark->cond.broadcast();
    });
    long long deadline = monotonicMs() + (ms > 0 ? ms : 0);
    CondSection hold(mark->cond);
    while (!mark->ran) {
        long long left = deadline - monotonicMs();
        if (left <= 0) return false;
        mark->cond.wait(static_cast<int>(left));
    }
    return true;
}

// What stopped servers left behind because an operation was still running
// through it; kept reachable for the life of the process.
struct LeftBehind {
    Directory* directory;
    std::unique_ptr<DirdRootSPI> root;
    std::unique_ptr<DirdState> state;
};
CriticalBlock _leftBehindLock{LOCK_RANK_NONE, kProcessLifetime};
std::vector<LeftBehind>* _leftBehind GUARDED_BY(_leftBehindLock) = nullptr;

void leaveBehind(Directory* directory, std::unique_ptr<DirdRootSPI> root, std::unique_ptr<DirdState> state) {
    CriticalSection hold(_leftBehindLock);
    if (_leftBehind == nullptr) _leftBehind = new std::vector<LeftBehind>();
    _leftBehind->push_back(LeftBehind{directory, std::move(root), std::move(state)});
}

}  // namespace

class DirWorkPool : public ThreadPool {
public:
    explicit DirWorkPool(int n) : ThreadPool("dird-work", n) {}
    ~DirWorkPool() override { stop(); }
    void processOp(DeferredOp* op) override {
        RequestJob* job = static_cast<RequestJob*>(op);
        if (!job->session->isClosed()) job->session->handle(job->message);
    }
};

// ---- DirSession ---------------------------------------------------------------

DirSession::DirSession(DirServer* server, Connection* connection, Kind kind, Principal* principal,
                       const std::string& agent)
    : _server(server),
      _connection(connection),
      _kind(kind),
      _maxUnreadBytes(server->options().maxUnreadBytes),
      _principal(principal),
      _agent(agent),
      _openedMs(monotonicMs()) {
    _connection->addLock();
}

DirSession::~DirSession() {
    // The last job is done, but a listener it opened may still be on its way
    // to the execution thread: that record is closed behind it.
    Connection* c = _connection;
    c->addLock();
    ExecDirThread::postBehindAttaches([c] {
        DirectorySPI::closeListenersOnLost(c);
        c->removeLock();
    });
    _connection->removeLock();
}

int DirSession::onReceive(Connection*, Message* message) {
    if (_closed.load() || _overrun.load()) return 0;
    if (++_waiting > _server->options().maxWaitingRequests) {
        _waiting--;
        overrun("too many requests waiting");
        return 0;
    }
    _server->queue(shared_from_this(), message);
    return 1;
}

void DirSession::overrun(const char* why) {
    if (_overrun.exchange(true)) return;
    log(LOG_WARNING, 0, 0, "dird: %s %s: %s; the session is closed", kindName(_kind), _connection->getName(), why);
}

void DirSession::refusedPastCap(Cap cap, int limit) {
    if (_capsLogged.fetch_or(cap) & cap) return;
    const char* what = cap == CAP_RELAYS              ? "relayed requests in hand"
                       : cap == CAP_RELAYED_LISTENERS ? "relayed listeners held"
                                                      : "listeners held on this server";
    const char* then = cap == CAP_RELAYS ? "requests are answered with 39" : "opens are left unanswered";
    log(LOG_WARNING, 0, 0, "dird: %s %s: %d %s, as many as a session may have; further %s (logged once)",
        kindName(_kind), _connection->getName(), limit, what, then);
}

void DirSession::onNoConnect(Connection*, int code) {
    log(LOG_INFO, 0, 0, "dird: %s %s: could not be made (%d)", kindName(_kind), _connection->getName(), code);
    close();
}

void DirSession::onLost(Connection*) {
    log(LOG_INFO, 0, 0, "dird: %s %s: connection lost", kindName(_kind), _connection->getName());
    close();
}

void DirSession::onClosed(Connection*) {
    log(LOG_INFO, 0, 0, "dird: %s %s: closed by the peer", kindName(_kind), _connection->getName());
    close();
}

void DirSession::onConnectComplete(Connection*) {
    _connected = true;
    log(LOG_INFO, 0, 0, "dird: %s: connected; serving this machine's providers to it", _connection->getName());
}

bool DirSession::send(Message* message) {
    // Callers may hold registry locks: an overrun session is only marked
    // here, and closed by the sweeper.
    if (!_overrun.load() && _connection->getQueuedBytes() > _maxUnreadBytes) overrun("too many answers left unread");
    if (_closed.load() || _overrun.load()) {
        delete message;
        return false;
    }
    return _connection->send(message) == 0;
}

void DirSession::close() {
    if (_closed.exchange(true)) return;
    // Listener records hold locks on the connection: they go first.
    DirectorySPI::closeListenersOnLost(_connection);
    Connection::destroy(_connection);
    _server->forget(this);
}

void DirSession::handle(Message* message) {
    int code = static_cast<int>(message->getType());
    switch (_kind) {
    case KIND_LOGIN: handleLogin(message, code); break;
    case KIND_ENROL: handleEnrol(message, code); break;
    case KIND_AGENT: handleAgentReply(message, code); break;
    default:
        if (code >= 10000 && _kind == KIND_CLIENT)
            handleMasquerade(message, code);
        else
            handleRequest(message, code);
        break;
    }
}

// ---- DirServer -----------------------------------------------------------------

DirServer::DirServer(const DirServerOptions& options)
    : _counters(std::make_shared<DirServerCounters>()),
      requestsServed(_counters->requestsServed),
      errorsAnswered(_counters->errorsAnswered),
      malformedMessages(_counters->malformedMessages),
      _options(options) {}

DirServer::~DirServer() {
    stop();
}

bool DirServer::start(DirectorySPI* hostRoot, std::string* error) {
    _state.reset(DirdState::open(_options.stateDir, _options.domain.empty() ? nullptr : _options.domain.c_str(),
                                 true, error));
    if (!_state) return false;
    _root.reset(new DirdRootSPI(hostRoot, _state->assets(), _state->users(), _state->ca()));
    int err = 0;
    _directory = Directory::startServerDirectoryService(_root.get(), nullptr, nullptr, _state->ca()->domain().c_str(),
                                                        &err);
    dird_installListenerUpdateSender();
    _pool.reset(new DirWorkPool(_options.workers < 1 ? 1 : _options.workers));
    // Once a second: answers relayed requests whose agent never did, closes
    // sessions that overran, and frees closed ones.
    _sweeper.reset(new PeriodicThread("dird-sweep", 1000, [this] {
        sweepRelays();
        closeOverrun();
        closeLongExchanges();
        reapClosed(false);
    }));
    _sweeper->start();
    if (!_options.listen) return true;
    if (!_options.whitelist.empty()) Connector::setUXWhitelist(_options.whitelist.c_str());
    _connector = Connector::create(this, _state->serverCertificate(), _state->serverKey(), 0);
    if (_connector == nullptr || _connector->getSslContext() == nullptr) {
        *error = "the server certificate in " + _options.stateDir + " cannot be used for TLS";
        return false;
    }
    if (!_options.bindAddress.empty()) _connector->setBindAddress(_options.bindAddress.c_str());
    if (_connector->bind(_options.port.c_str()) != 0) {
        *error = "cannot listen on port " + _options.port;
        Connector::destroy(_connector);
        _connector = nullptr;
        return false;
    }
    log(LOG_INFO, 0, 0, "dird: domain %s served on port %d from %s", _state->ca()->domain().c_str(), port(),
        _options.stateDir.c_str());
    return true;
}

int DirServer::port() const {
    return _connector != nullptr ? _connector->getPort() : 0;
}

void DirServer::stop() {
    std::map<DirSession*, std::shared_ptr<DirSession>> sessions;
    {
        CriticalSection hold(_sessionLock);
        if (_stopping) return;
        _stopping = true;
        sessions = _sessions;
    }
    if (_connector != nullptr) {
        Connector::destroy(_connector);
        _connector = nullptr;
    }
    for (auto& s : sessions) {
        s.second->connection()->close();
        s.second->close();
    }
    sessions.clear();
    if (_pool) _pool->stop();
    if (_sweeper) {
        _sweeper->stopAndJoin();
        _sweeper.reset();
    }
    {
        CriticalSection hold(_relayLock);
        _relays.clear();
        _relayOf.clear();
        _relayedListeners.clear();
        _relayedListenerOf.clear();
    }
    {
        CriticalSection hold(_sessionLock);
        _sessions.clear();
        _agents.clear();
    }
    reapClosed(true);
    if (_directory != nullptr) {
        if (_counters->executesRunning.load() == 0 || execThreadAnswers(_options.stopWaitMs)) {
            // Ends the operations still out (96) and waits for them.
            Directory::dispose(_directory);
        } else {
            // A provider's operation holds the execution thread. When it
            // returns, its request reaches the directory, the root provider
            // and through it the state's tables: they stay, for good.
            log(LOG_ERROR, 0, 0,
                "dird: the execution thread has not answered for %d ms; the server's directory is left behind",
                _options.stopWaitMs);
            leaveBehind(_directory, std::move(_root), std::move(_state));
        }
        _directory = nullptr;
    }
    log(LOG_INFO, 0, 0, "dird: stopped (%lld requests served, %lld errors answered)", requestsServed.load(),
        errorsAnswered.load());
}

void DirServer::onBindFailed(int err, int attempt, int attempts, int pauseMs, bool willRetry) {
    log(LOG_WARNING, err, 0, "dird: cannot bind port %s (attempt %d of %d)%s", _options.port.c_str(), attempt,
        attempts, willRetry ? ", retrying" : "");
    (void)pauseMs;
}

bool DirServer::newConnection(Connection* connection, int type) {
    Principal* principal = nullptr;
    std::string agent;
    X509* peer = connection->getPeerCertificate();
    switch (type) {
    case DirSession::KIND_LOGIN:
    case DirSession::KIND_ENROL: break;
    case DirSession::KIND_CLIENT:
    case DirSession::KIND_AGENT:
        if (!_state->ca()->issuedByUs(peer)) {
            log(LOG_WARNING, 0, 0, "dird: %s: refused: its certificate was not issued by domain %s",
                connection->getName(), _state->ca()->domain().c_str());
            return false;
        }
        if (type == DirSession::KIND_CLIENT) {
            principal = Principal::createFromCertificate(peer);
            if (principal == nullptr) {
                log(LOG_WARNING, 0, 0, "dird: %s: refused: its certificate names no principal", connection->getName());
                return false;
            }
        } else {
            agent = subjectCommonName(peer);
        }
        break;
    default:
        log(LOG_WARNING, 0, 0, "dird: %s: refused: unknown client type %d", connection->getName(), type);
        return false;
    }
    auto session = std::make_shared<DirSession>(this, connection, static_cast<DirSession::Kind>(type), principal, agent);
    {
        CriticalSection hold(_sessionLock);
        if (_stopping) return false;
        _sessions[session.get()] = session;
        if (type == DirSession::KIND_AGENT) _agents[agent] = session;
    }
    connection->setListener(session.get());
    log(LOG_INFO, 0, 0, "dird: %s: %s session%s%s", connection->getName(), kindName(type),
        agent.empty() ? "" : " of agent ", agent.c_str());
    if (type == DirSession::KIND_AGENT) {
        noteAgentAddress(agent, connection->getPeerAddress());
        // The clients listening on the asset through this server kept their
        // listeners while it was away (their own connections never dropped):
        // they hear it again only if the listeners are opened on it again.
        reopenRelayedListeners(agent, session);
    }
    return true;
}

void DirServer::noteAgentAddress(const std::string& assetId, const char* address) {
    // Clients open an asset's provider only when it has an address, even one
    // they reach through this server; an agent issued without one gets the
    // address it calls in from.
    std::unique_ptr<Asset> asset(_state->assets()->findAsset(assetId.c_str()));
    if (asset == nullptr || asset->host != nullptr || address == nullptr || *address == '\0') return;
    asset->host = strdup(address);
    bool added = false;
    std::string error;
    if (!_state->assets()->putAsset(*asset, &added, &error)) {
        log(LOG_WARNING, 0, 0, "dird: unable to record the address of agent %s: %s", assetId.c_str(), error.c_str());
        return;
    }
    _root->assetChanged(*asset, added, false);
}

bool DirServer::connectUpstream(const char* host, const char* port, X509* cert, EVP_PKEY* key) {
    Connection* c = Connection::create(host, port, cert, key, DirSession::KIND_AGENT);
    if (c == nullptr) return false;
    // Protocol version 2, as remote providers announce it.
    c->setTypeVersion(2);
    auto session = std::make_shared<DirSession>(this, c, DirSession::KIND_UPSTREAM, nullptr, std::string());
    {
        CriticalSection hold(_sessionLock);
        if (_stopping) {
            Connection::destroy(c);
            return false;
        }
        _sessions[session.get()] = session;
        _upstream = session;
    }
    c->setListener(session.get());
    c->connect();
    log(LOG_INFO, 0, 0, "dird: calling the directory server at %s:%s as agent %s", host, port,
        subjectCommonName(cert).c_str());
    return true;
}

bool DirServer::upstreamConnected() {
    CriticalSection hold(_sessionLock);
    std::shared_ptr<DirSession> s = _upstream.lock();
    return s && s->isConnected() && !s->isClosed();
}

bool DirServer::upstreamAlive() {
    CriticalSection hold(_sessionLock);
    std::shared_ptr<DirSession> s = _upstream.lock();
    return s && !s->isClosed();
}

void DirServer::queue(const std::shared_ptr<DirSession>& session, Message* message) {
    if (_pool) {
        _pool->queue(new RequestJob(session, message));
    } else {
        delete message;
        session->requestDone();
    }
}

void DirServer::forget(DirSession* session) {
    CriticalSection hold(_sessionLock);
    auto it = _sessions.find(session);
    if (it == _sessions.end()) return;
    // The session is its connection's listener: its coms thread may be in
    // one of its callbacks right now, even this one.
    _closing.emplace_back(ComsBarrier(session->connection()), it->second);
    _sessions.erase(it);
    if (session->kind() == DirSession::KIND_AGENT) {
        auto a = _agents.find(session->agent());
        if (a != _agents.end() && a->second.lock().get() == session) _agents.erase(a);
    }
}

void DirServer::reapClosed(bool wait) {
    // Waits happen outside the lock: the callback a barrier waits for may
    // itself be closing a session.
    if (wait) {
        for (;;) {
            std::vector<std::pair<ComsBarrier, std::shared_ptr<DirSession>>> closing;
            {
                CriticalSection hold(_sessionLock);
                closing.swap(_closing);
            }
            if (closing.empty()) return;
            for (auto& c : closing) c.first.wait();
        }
    }
    std::vector<std::shared_ptr<DirSession>> done;  // freed outside the lock
    CriticalSection hold(_sessionLock);
    auto keep = _closing.begin();
    for (auto& c : _closing) {
        if (c.first.passed())
            done.push_back(std::move(c.second));
        else
            *keep++ = std::move(c);
    }
    _closing.erase(keep, _closing.end());
}

void DirServer::closeOverrun() {
    std::vector<std::shared_ptr<DirSession>> overrun;
    {
        CriticalSection hold(_sessionLock);
        for (auto& s : _sessions)
            if (s.second->isOverrun()) overrun.push_back(s.second);
    }
    // Outside the lock: closing a session forgets it.
    for (auto& s : overrun) s->close();
}

void DirServer::closeLongExchanges() {
    long long now = monotonicMs();
    std::vector<std::shared_ptr<DirSession>> expired;
    {
        CriticalSection hold(_sessionLock);
        for (auto& s : _sessions) {
            DirSession::Kind kind = s.second->kind();
            if ((kind == DirSession::KIND_LOGIN || kind == DirSession::KIND_ENROL) &&
                now - s.second->openedMs() > _options.exchangeSessionMs)
                expired.push_back(s.second);
        }
    }
    // Outside the lock: closing a session forgets it.
    for (auto& s : expired) {
        log(LOG_INFO, 0, 0, "dird: %s: %s connection open longer than an exchange takes; closed",
            s->connection()->getName(), kindName(s->kind()));
        s->close();
    }
}

std::shared_ptr<DirSession> DirServer::agentSession(const std::string& assetId) {
    CriticalSection hold(_sessionLock);
    auto it = _agents.find(assetId);
    if (it == _agents.end()) return nullptr;
    std::shared_ptr<DirSession> s = it->second.lock();
    return s && !s->isClosed() ? s : nullptr;
}

int DirServer::sessionCount() {
    CriticalSection hold(_sessionLock);
    return static_cast<int>(_sessions.size());
}

size_t DirServer::relayRecords() {
    CriticalSection hold(_relayLock);
    return _relays.size() + _relayedListeners.size();
}

long long DirServer::addRelay(const Relay& relay) {
    CriticalSection hold(_relayLock);
    if (relay.held && relay.held->relays >= _options.maxRelaysPerSession) return 0;
    long long id = _nextRelayId++;
    Relay r = relay;
    if (!r.persistent) r.deadline = monotonicMs() + _options.relayTimeoutMs;
    _relays[id] = r;
    if (r.held) {
        r.held->relays++;
        _relayOf[std::make_pair(r.held.get(), r.clientId)] = id;
    }
    return id;
}

std::map<long long, DirServer::Relay>::iterator DirServer::eraseRelay(std::map<long long, Relay>::iterator it) {
    const Relay& r = it->second;
    if (r.held) {
        r.held->relays--;
        auto of = _relayOf.find(std::make_pair(r.held.get(), r.clientId));
        if (of != _relayOf.end() && of->second == it->first) _relayOf.erase(of);
    }
    return _relays.erase(it);
}

bool DirServer::takeRelay(long long id, const std::shared_ptr<DirSession>& from, bool keep, Relay* out) {
    CriticalSection hold(_relayLock);
    auto it = _relays.find(id);
    if (it == _relays.end() || (from && !sameSession(it->second.agent, from))) return false;
    *out = it->second;
    if (keep && !it->second.persistent) it->second.deadline = monotonicMs() + _options.relayTimeoutMs;
    if (!keep && !it->second.persistent) eraseRelay(it);
    return true;
}

int DirServer::addRelayedListener(const std::shared_ptr<DirSession>& client, int clientListenerId,
                                  const std::shared_ptr<DirSession>& agent, const std::string& assetId, int code,
                                  const std::shared_ptr<const RelayedListenerRequest>& request) {
    CriticalSection hold(_relayLock);
    auto key = std::make_pair(static_cast<const DirSession*>(client.get()), clientListenerId);
    auto known = _relayedListenerOf.find(key);
    if (known != _relayedListenerOf.end()) {
        auto it = _relayedListeners.find(known->second);
        // The agent keeps one listener per id: a retry adds none there.
        if (it != _relayedListeners.end() && sameSession(it->second.client, client) &&
            sameSession(it->second.agent, agent)) {
            // Opened again on a later session, it is opened as last asked.
            it->second.code = code;
            it->second.request = request;
            return it->first;
        }
        // Towards another agent (the asset called in again): that record
        // is replaced, so that one listener has one relay.
        if (it != _relayedListeners.end() && sameSession(it->second.client, client)) eraseRelayedListener(it);
    }
    const std::shared_ptr<DirSession::Held>& held = client->held();
    if (held->listeners >= _options.maxListenersPerSession) return 0;
    held->listeners++;
    int id = _nextRelayedListener++;
    _relayedListeners[id] =
        RelayedListener{client, clientListenerId, agent, client.get(), assetId, code, request, held};
    _relayedListenerOf[key] = id;
    return id;
}

void DirServer::reopenRelayedListeners(const std::string& assetId, const std::shared_ptr<DirSession>& agent) {
    struct Reopen {
        std::weak_ptr<DirSession> client;
        int id;
        int code;
        std::shared_ptr<const RelayedListenerRequest> request;
    };
    std::vector<Reopen> reopen;
    {
        CriticalSection hold(_relayLock);
        for (auto& r : _relayedListeners) {
            RelayedListener& l = r.second;
            if (l.assetId != assetId || sameSession(l.agent, agent) || l.client.expired()) continue;
            // From now on only the new session's updates and confirmations
            // count for it; the earlier session's, if it is still up, do not.
            l.agent = agent;
            reopen.push_back(Reopen{l.client, r.first, l.code, l.request});
        }
    }
    // Sent outside the lock; the client's principal is the one the server
    // vouches for, as when it was first relayed.
    for (const Reopen& r : reopen) {
        std::shared_ptr<DirSession> client = r.client.lock();
        if (!client || client->isClosed()) continue;
        log(LOG_DEBUG, 0, 0, "dird: agent %s called in again: listener %d of %s opened on it again", assetId.c_str(),
            r.id, client->connection()->getName());
        agent->send(r.request->write(r.code, r.id, client->principal()));
    }
}

void DirServer::eraseRelayedListener(std::map<int, RelayedListener>::iterator it) {
    auto key = _relayedListenerOf.find(std::make_pair(it->second.clientKey, it->second.clientListenerId));
    if (key != _relayedListenerOf.end() && key->second == it->first) _relayedListenerOf.erase(key);
    it->second.held->listeners--;
    _relayedListeners.erase(it);
}

bool DirServer::findRelayedListener(int agentListenerId, const std::shared_ptr<DirSession>& from,
                                    std::shared_ptr<DirSession>* client, int* clientListenerId) {
    CriticalSection hold(_relayLock);
    auto it = _relayedListeners.find(agentListenerId);
    if (it == _relayedListeners.end() || !sameSession(it->second.agent, from)) return false;
    *client = it->second.client.lock();
    *clientListenerId = it->second.clientListenerId;
    if (!*client || (*client)->isClosed()) {
        eraseRelayedListener(it);
        return false;
    }
    return true;
}
