// Relaying to agents that called in: a client's request in the masquerade
// form (code + 10000, the asset id first) goes to that asset's agent
// session under an id of the server's choosing, and the agent's answers go
// back to the client under the client's own id. The rest of each message
// passes through byte for byte.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/dir_protocol.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/relay_codec.h"

namespace {

int errorCodeFor(int requestCode) {
    return requestCode == DirProtocol::M_EXECUTE || requestCode == DirProtocol::M_EXECUTE_FAST
               ? DirProtocol::M_EXEC_ERROR_REPLY
               : DirProtocol::M_ERROR_REPLY;
}

}  // namespace

void DirSession::handleMasquerade(Message* m, int code) {
    RelayBody body(m);
    int plain = code - DirProtocol::kMasqOffset;
    MasqueradeHead head;
    if (!readMasqueradeHead(body, &head)) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: %s: masqueraded message %d without an asset id and request id",
            _connection->getName(), code);
        replyError(DirProtocol::M_ERROR_REPLY, 0, DirError::E_PROTOCOL);
        return;
    }
    std::shared_ptr<DirSession> agent = _server->agentSession(head.assetId);
    if (plain == DirProtocol::M_SEARCH_PARTIAL_REPLY_OK) {
        // To the agent that is sending the search, whichever asset the
        // acknowledgement names.
        long long relayId = 0;
        std::shared_ptr<DirSession> searching;
        if (_server->findRelayOf(this, head.clientId, &relayId, &searching))
            searching->send(relayForwarded(plain, relayId, body, head.rest));
        return;
    }
    // A listener open has no failure answer (the client keeps an unanswered
    // listener unconnected and tries it again later), and its id is a
    // listener id: an error under it would fail the client's synchronous
    // call of the same number. One that cannot be relayed is left unanswered.
    bool listen = plain == DirProtocol::M_OPEN_LISTENER || plain == DirProtocol::M_OPEN_LISTENER2;
    if (!agent) {
        if (listen) {
            log(LOG_INFO, 0, 0,
                "dird: %s: listener %lld for asset %s: no agent of that asset is connected; left unanswered",
                _connection->getName(), head.clientId, head.assetId.c_str());
            return;
        }
        log(LOG_INFO, 0, 0, "dird: %s: request %lld for asset %s: no agent of that asset is connected",
            _connection->getName(), head.clientId, head.assetId.c_str());
        replyError(errorCodeFor(plain), head.clientId, DirError::E_NOT_CONNECTED);
        return;
    }
    if (listen) {
        // The listener id is inside the body as well: the request is read
        // and written again with the id the agent will know it by.
        auto request = std::make_shared<RelayedListenerRequest>();
        if (!request->read(body, head.rest)) {
            _server->malformedMessages++;
            log(LOG_WARNING, 0, 0, "dird: %s: listener %lld for asset %s does not decode; left unanswered",
                _connection->getName(), head.clientId, head.assetId.c_str());
            return;
        }
        int relayed =
            _server->addRelayedListener(shared_from_this(), request->clientListener(), agent, head.assetId, plain, request);
        if (relayed == 0) {
            // Like any listener open that cannot be served: left unanswered.
            refusedPastCap(CAP_RELAYED_LISTENERS, _server->options().maxListenersPerSession);
            return;
        }
        agent->send(request->write(plain, relayed, _principal.get()));
        return;
    }
    // The agent runs the request as the principal this server vouches
    // for: the client's certificate's, not whatever the request claims.
    DirServer::Relay relay{shared_from_this(), agent, plain, head.clientId, 0, false, 0, _held};
    long long relayId = _server->addRelay(relay);
    if (relayId == 0) {
        refusedPastCap(CAP_RELAYS, _server->options().maxRelaysPerSession);
        replyError(errorCodeFor(plain), head.clientId, DirError::E_NO_RESOURCE);
        return;
    }
    Message* out = relayForwardedAs(plain, relayId, _principal.get(), body, head.rest);
    if (out == nullptr) {
        DirServer::Relay dropped;
        _server->takeRelay(relayId, nullptr, false, &dropped);
        _server->malformedMessages++;
        replyError(errorCodeFor(plain), head.clientId, DirError::E_PROTOCOL);
        return;
    }
    log(LOG_DEBUG, 0, 0, "dird: %s: request %lld (%d) relayed to asset %s as %lld", _connection->getName(),
        head.clientId, plain, head.assetId.c_str(), relayId);
    agent->send(out);
}

void DirSession::handleAgentReply(Message* m, int code) {
    if (!DirProtocol::hasRequestId(code)) {
        log(LOG_DEBUG, 0, 0, "dird: agent %s: message %d taken without an answer", _agent.c_str(), code);
        return;
    }
    RelayBody body(m);
    std::shared_ptr<DirSession> self = shared_from_this();
    long long id = 0;
    if (!body.int64(0, &id)) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: agent %s: message %d without a request id", _agent.c_str(), code);
        return;
    }
    if (code == DirProtocol::M_LISTENER_UPDATE || code == DirProtocol::M_LISTENER_UPDATE2) {
        int agentListener = 0;
        std::shared_ptr<DirSession> client;
        int clientListener = 0;
        if (!readAgentListenerId(body, &agentListener) ||
            !_server->findRelayedListener(agentListener, self, &client, &clientListener))
            return;
        client->send(relayListenerUpdate(code, clientListener, body));
        return;
    }
    if (code == DirProtocol::M_OPEN_LISTENER_REPLY) {
        std::shared_ptr<DirSession> client;
        int clientListener = 0;
        if (_server->findRelayedListener(static_cast<int>(id), self, &client, &clientListener))
            client->send(relayForwarded(code, clientListener, body, 9));
        return;
    }
    DirServer::Relay relay;
    // Relay ids are handed out one after another: an answer counts only
    // from the agent the request went to.
    if (!_server->takeRelay(id, self, !relayAnswerIsFinal(code, body), &relay)) {
        log(LOG_DEBUG, 0, 0, "dird: agent %s: answer %d to %lld, which nobody waits for", _agent.c_str(), code, id);
        return;
    }
    std::shared_ptr<DirSession> client = relay.client.lock();
    if (client) client->send(relayForwarded(code, relay.clientId, body, 9));
}

// ---- the relay table ----------------------------------------------------------------

bool DirServer::findRelayOf(const DirSession* client, long long clientId, long long* relayId,
                            std::shared_ptr<DirSession>* agent) {
    CriticalSection hold(_relayLock);
    // Looked up, not searched: a client acknowledges each part of each of
    // its searches.
    auto of = _relayOf.find(std::make_pair(client->held().get(), clientId));
    if (of == _relayOf.end()) return false;
    auto it = _relays.find(of->second);
    if (it == _relays.end()) return false;
    *agent = it->second.agent.lock();
    if (!*agent || (*agent)->isClosed()) return false;
    *relayId = it->first;
    return true;
}

void DirServer::sweepRelays() {
    long long now = monotonicMs();
    std::vector<Relay> late;
    // Relays whose agent is gone: looked at outside the lock, as a session
    // taken there could be dropped last under it.
    std::vector<std::pair<long long, std::weak_ptr<DirSession>>> waiting;
    {
        CriticalSection hold(_relayLock);
        for (auto it = _relays.begin(); it != _relays.end();) {
            bool gone = it->second.client.expired();
            if (gone || (!it->second.persistent && it->second.deadline < now)) {
                if (!gone) late.push_back(it->second);
                it = eraseRelay(it);
            } else {
                if (!it->second.persistent) waiting.emplace_back(it->first, it->second.agent);
                ++it;
            }
        }
        // A listener whose agent went stays for its next call: the client
        // still counts on it.
        for (auto it = _relayedListeners.begin(); it != _relayedListeners.end();) {
            if (it->second.client.expired())
                eraseRelayedListener(it++);
            else
                ++it;
        }
    }
    // An agent that went away never answers what it had in hand: its
    // clients hear so now rather than at the end of the wait.
    std::vector<long long> orphaned;
    for (auto& w : waiting) {
        std::shared_ptr<DirSession> agent = w.second.lock();
        if (!agent || agent->isClosed()) orphaned.push_back(w.first);
    }
    std::vector<Relay> lost;
    if (!orphaned.empty()) {
        CriticalSection hold(_relayLock);
        for (long long id : orphaned) {
            auto it = _relays.find(id);
            if (it == _relays.end()) continue;  // answered in the meantime
            lost.push_back(it->second);
            eraseRelay(it);
        }
    }
    answerRelays(late, DirError::E_TIMEOUT);
    answerRelays(lost, DirError::E_NOT_CONNECTED);
}

void DirServer::answerRelays(const std::vector<Relay>& relays, int error) {
    for (const Relay& r : relays) {
        std::shared_ptr<DirSession> client = r.client.lock();
        if (!client) continue;
        Message* m = new Message(errorCodeFor(r.code));
        m->writeInt64(r.clientId);
        m->writeInt32(error);
        errorsAnswered++;
        client->send(m);
    }
}
