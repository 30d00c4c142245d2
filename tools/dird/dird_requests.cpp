// The directory requests of a client session (and of the server's own
// connection to another server in agent mode): each M_* request read in its
// value order and answered from the domain root.
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/exec_dir_thread.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dir/principal.h"
#include "dir/resolve_context.h"
#include "dir/search_helper.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_root.h"
#include "tools/dird/dird_state.h"

namespace {

using P = DirProtocol;

// Messages a client sends without expecting an answer from this server.
bool isOneWay(int code) {
    switch (code) {
    case P::M_INITIATE_ALERT_SERVER_SYNC:
    case P::M_INITIATE_ALERT_VIEWER_SYNC:
    case P::M_UPDATE_RULESETS:
    case P::M_NOTIFY_UNMANAGED:
    case P::M_STATS_UPLOAD:
    case P::M_EVENT_ACK:
    case P::M_CI_ACK:
    case P::M_MQ_SEND:
        return true;
    default:
        return false;
    }
}

// Unanswered partial searches kept per session before the oldest is dropped.
const size_t kMaxPendingSearches = 16;

// Answers an execute when its future result completes or reports progress.
// Runs with the future-result registry lock held: it only sends and posts.
// It may run after the server stopped and was deleted (an operation that
// returned late): it reaches the session and the counters, never the server.
class RemoteExec final : public FutureResultListener {
public:
    RemoteExec(const std::shared_ptr<DirSession>& session, const std::shared_ptr<DirServerCounters>& counters,
               long long clientId)
        : _session(session), _counters(counters), _clientId(clientId) {
        _counters->executesRunning++;
    }

    void onComplete(FutureResult* fr) override {
        if (fr->failed) _counters->errorsAnswered++;
        _counters->requestsServed++;
        _counters->executesRunning--;
        _session->send(fr->failed ? P::execErrorReply(_clientId, fr->error) : P::executeReply(_clientId, fr));
        fr->listener = nullptr;
        ExecDirThread::postFree(fr);
        ExecDirThread::postDeleteLater(this, [](void* p) { delete static_cast<RemoteExec*>(p); });
    }

    void onUpdate(FutureResult*, ExecuteUpdate* update) override {
        _session->send(P::executeUpdate(_clientId, update));
    }

private:
    std::shared_ptr<DirSession> _session;
    std::shared_ptr<DirServerCounters> _counters;
    long long _clientId;
};

class UpdateSender final : public ListenerUpdateSender {
public:
    void sendUpdate(Connection* connection, int listenerId, int kind, const DirNameEntry* entry,
                    const Attributes* attributes, const Acl* acl) override {
        connection->send(P::listenerUpdate(listenerId, kind, entry, attributes, kind == P::KIND_DELETE ? nullptr : acl));
    }
    void sendUpdates(Connection* connection, int listenerId, int kind, int count, DirNameEntry** entries,
                     Attributes** attributes, Acl** acls) override {
        connection->send(P::listenerUpdate2(listenerId, kind, count, entries, attributes,
                                            kind == P::KIND_DELETE ? nullptr : acls));
    }
};

}  // namespace

void dird_installListenerUpdateSender() {
    static UpdateSender sender;
    if (_listenerUpdateSender == nullptr) _listenerUpdateSender = &sender;
}

void DirSession::replyError(int code, long long id, int error) {
    _server->errorsAnswered++;
    _server->requestsServed++;
    send(code == P::M_EXEC_ERROR_REPLY ? P::execErrorReply(id, error) : P::errorReply(id, error));
}

void DirSession::handleRequest(Message* m, int code) {
    if (isOneWay(code)) {
        log(LOG_DEBUG, 0, 0, "dird: %s: %s taken without an answer", _connection->getName(), P::name(code));
        return;
    }
    P::Request req;
    int rv = P::readRequest(m, &req);
    if (rv != 0) {
        _server->malformedMessages++;
        bool execute = code == P::M_EXECUTE || code == P::M_EXECUTE_FAST;
        if (code == P::M_OPEN_LISTENER || code == P::M_OPEN_LISTENER2) {
            // A listener open has no failure answer, and an error under its
            // listener id would reach the client's call of the same number.
            log(LOG_WARNING, 0, 0, "dird: %s: %s, listener %lld, does not decode (%d); left unanswered",
                _connection->getName(), P::name(code), req.id, rv);
        } else if (P::hasRequestId(code) || req.id != 0) {
            log(LOG_WARNING, 0, 0, "dird: %s: message %d, request %lld, does not decode (%d); answered with 14",
                _connection->getName(), code, req.id, rv);
            replyError(execute ? P::M_EXEC_ERROR_REPLY : P::M_ERROR_REPLY, req.id, DirError::E_PROTOCOL);
        } else {
            // Not a request of the table at all: the client hears of it under id 0.
            log(LOG_WARNING, 0, 0, "dird: %s: message %d is not a request this server reads; answered with 21",
                _connection->getName(), code);
            replyError(P::M_ERROR_REPLY, 0, DirError::E_NOT_IMPLEMENTED);
        }
        return;
    }
    // A client runs as the principal of its certificate, whatever its
    // requests say; only a server this one serves as an agent is trusted
    // to speak for its clients.
    const Principal* principal = _kind == KIND_UPSTREAM ? req.principal : _principal.get();
    DirdRootSPI* root = _server->root();
    switch (req.code) {
    case P::M_SEARCH_PARTIAL_REPLY_OK:
        handleAck(req.id);
        return;
    case P::M_DOMAIN_ATTRIBUTES: {
        Attributes a;
        a.setAttribute("domain", _server->state()->ca()->domain().c_str());
        a.setAttribute("ftPort", "14001");
        a.setAttribute("protocolVersion", P::kVersion);
        _server->requestsServed++;
        send(P::domainAttributes(&a));
        return;
    }
    case P::M_GETUNIQUEIDS: {
        static std::atomic<long long> next{0};
        // One instance id per server process: the ids below are unique within it.
        static const long long instance = (static_cast<long long>(getpid()) << 32) | (time(nullptr) & 0xFFFFFFFF);
        long long ids[P::kUniqueIdBatch];
        char* guids[P::kUniqueIdBatch];
        for (int i = 0; i < P::kUniqueIdBatch; i++) {
            ids[i] = ++next;
            guids[i] = makeGuid();
        }
        _server->requestsServed++;
        send(P::uniqueIds(instance, P::kUniqueIdBatch, ids, guids));
        for (char* g : guids) free(g);
        return;
    }
    case P::M_RESOLVE:
    case P::M_RESOLVE_ENDPOINT: {
        DirectoryObject* out = nullptr;
        rv = root->resolve(req.target, principal, req.current, req.entry, out);
        if (rv == 0 && out == nullptr) rv = DirError::E_OBJECT_NOT_FOUND;
        if (rv != 0) {
            delete out;
            replyError(P::M_ERROR_REPLY, req.id, rv);
            return;
        }
        _server->requestsServed++;
        send(P::resolveReply(req.id, out));
        delete out;
        return;
    }
    case P::M_SEARCH:
    case P::M_SEARCH_ENDPOINT:
    case P::M_SEARCH_NO_PARTIAL:
        handleSearch(req, principal);
        return;
    case P::M_EXECUTE:
    case P::M_EXECUTE_FAST: {
        auto* listener = new RemoteExec(shared_from_this(), _server->counters(), req.id);
        FutureResult* fr = new FutureResult(listener);
        ResolveContext* rc = new ResolveContext(_server->directory(), nullptr, principal);
        // Resolved already: the client sent the object itself.
        rc->index = 1;
        rc->setSPI(root);
        rc->setCurrent(req.current);
        req.current = nullptr;
        ExecHelper* helper = new ExecHelper(fr, rc, nullptr, req.operation, req.args);
        if (!ExecDirThread::postNew(helper)) fr->setError(DirError::E_NO_PROVIDER);
        return;
    }
    case P::M_GET_ATTRIBUTES: {
        Attributes* out = nullptr;
        rv = root->getAttributes(principal, req.current, out);
        if (rv != 0) {
            delete out;
            replyError(P::M_ERROR_REPLY, req.id, rv);
            return;
        }
        _server->requestsServed++;
        send(P::attributesReply(req.id, out));
        delete out;
        return;
    }
    case P::M_GET_ACL: {
        Acl* out = nullptr;
        rv = root->getAcl(principal, req.current, out);
        if (rv != 0) {
            delete out;
            replyError(P::M_ERROR_REPLY, req.id, rv);
            return;
        }
        _server->requestsServed++;
        send(P::aclReply(req.id, out));
        delete out;
        return;
    }
    case P::M_LIST: {
        ClassEnumeration out;
        rv = root->list(principal, req.current, &out);
        if (rv != 0) {
            replyError(P::M_ERROR_REPLY, req.id, rv);
            return;
        }
        _server->requestsServed++;
        send(P::listReply(req.id, &out));
        return;
    }
    case P::M_OPEN_LISTENER:
    case P::M_OPEN_LISTENER2:
        handleListen(req, principal);
        return;
    default:
        // Files travel through the file transfer service, not this server;
        // other requests of the table are not served here.
        log(LOG_INFO, 0, 0, "dird: %s: %s is not served here; answered with 21", _connection->getName(),
            P::name(req.code));
        replyError(P::M_ERROR_REPLY, req.id, DirError::E_NOT_IMPLEMENTED);
        return;
    }
}

void DirSession::handleListen(DirProtocol::Request& req, const Principal* principal) {
    DirectorySPI* owner = _server->root()->listenerOwner(req.current, req.entry);
    if (owner == nullptr) {
        // There is no failure answer to a listener open: the client keeps an
        // unanswered listener unconnected and tries it again later. An error
        // under the listener id would fail the client's synchronous call of
        // the same number instead.
        const char* cls = req.entry != nullptr ? req.entry->getClassName() : nullptr;
        log(LOG_INFO, 0, 0, "dird: %s: listener %lld on class %s: no provider owns the name; left unanswered",
            _connection->getName(), req.id, cls != nullptr ? cls : "(none)");
        return;
    }
    if (_kind == KIND_CLIENT) {
        // A client's records stay until it leaves: past its cap, a new one
        // is refused like any open that cannot be served. The server this
        // one is an agent of speaks for all its clients and is not capped.
        int cap = _server->options().maxListenersPerSession;
        bool refused = false;
        {
            CriticalSection hold(_listenLock);
            auto key = std::make_pair(static_cast<const DirectorySPI*>(owner), req.listenerId);
            refused = _listening.count(key) == 0 && static_cast<int>(_listening.size()) >= cap;
            if (!refused) _listening.insert(key);
        }
        if (refused) {
            refusedPastCap(CAP_LISTENERS, cap);
            return;
        }
    }
    // The record holds a lock on the connection until the session ends
    // (closeListenersOnLost); batched updates for clients that read them.
    owner->attachListener(principal, _connection, req.current, req.entry, req.listenerId,
                          req.code == P::M_OPEN_LISTENER2);
    _server->requestsServed++;
    // Confirmed once recorded, so that no change in between goes unheard.
    // The server may be gone by then: send() does not reach it.
    std::shared_ptr<DirSession> self = shared_from_this();
    int listenerId = req.listenerId;
    ExecDirThread::postBehindAttaches([self, listenerId] { self->send(P::openListenerReply(listenerId)); });
}

void DirSession::handleSearch(DirProtocol::Request& req, const Principal* principal) {
    SearchHelper helper;
    int rv = helper.set(req.entry, req.filter);
    std::unique_ptr<DirectoryEnumeration> results(new DirectoryEnumeration());
    if (rv == 0)
        rv = _server->root()->search(req.target, principal, &helper, req.current, req.entry, req.filter,
                                     results.get());
    if (rv != 0) {
        replyError(P::M_ERROR_REPLY, req.id, rv);
        return;
    }
    int part = _server->options().partialEntries;
    if (req.code == P::M_SEARCH_NO_PARTIAL || results->size() <= part) {
        _server->requestsServed++;
        send(P::searchReply(req.id, results.get()));
        return;
    }
    std::unique_ptr<PendingSearch> pending(new PendingSearch());
    pending->results = std::move(results);
    bool finished = false;
    Message* first = nextSearchPart(req.id, pending.get(), &finished);
    {
        // Recorded before the first part goes out: its acknowledgement may
        // be handled on another worker as soon as it is sent.
        CriticalSection hold(_searchLock);
        if (_searches.size() >= kMaxPendingSearches) {
            // A client that never acknowledges does not pile searches up here.
            log(LOG_WARNING, 0, 0, "dird: %s: search %lld dropped: never acknowledged", _connection->getName(),
                _searches.begin()->first);
            _searches.erase(_searches.begin());
        }
        _searches[req.id] = std::move(pending);
    }
    send(first);
}

Message* DirSession::nextSearchPart(long long id, PendingSearch* search, bool* finished) {
    int part = _server->options().partialEntries;
    int total = search->results->size();
    bool last = search->sent + part >= total;
    Message* r = P::searchPartialReply(id, search->results.get(), search->sent, part, last);
    search->sent += part;
    *finished = last;
    if (last) _server->requestsServed++;
    return r;
}

void DirSession::handleAck(long long id) {
    Message* next = nullptr;
    {
        // The search stays recorded while its part is built and sent, so
        // that the next acknowledgement finds it.
        CriticalSection hold(_searchLock);
        auto it = _searches.find(id);
        if (it == _searches.end()) {
            log(LOG_DEBUG, 0, 0, "dird: %s: acknowledgement for search %lld, which is not waiting",
                _connection->getName(), id);
            return;
        }
        bool finished = false;
        next = nextSearchPart(id, it->second.get(), &finished);
        if (finished) _searches.erase(it);
    }
    send(next);
}
