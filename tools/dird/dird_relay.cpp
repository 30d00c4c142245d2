// Relaying to agents that called in: a client's request in the masquerade
// form (code + 10000, the asset id first) goes to that asset's agent
// session under an id of the server's choosing, and the agent's answers go
// back to the client under the client's own id. The rest of each message
// passes through byte for byte.
#include <string.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/dir_protocol.h"
#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"
#include "tools/dird/dir_server.h"

namespace {

const int kMasquerade = 10000;
enum Code {
    M_SEARCH_REPLY = 3,
    M_ERROR_REPLY = 5,
    M_EXECUTE = 6,
    M_EXECUTE_REPLY = 7,
    M_OPEN_LISTENER = 24,
    M_LISTENER_UPDATE = 25,
    M_OPEN_LISTENER_REPLY = 26,
    M_EXEC_ERROR_REPLY = 29,
    M_SEARCH_PARTIAL_REPLY = 43,
    M_SEARCH_PARTIAL_REPLY_OK = 44,
    M_EXECUTE_UPDATE = 47,
    M_EXECUTE_FAST = 54,
    M_OPEN_LISTENER2 = 224,
    M_LISTENER_UPDATE2 = 225,
};

long long monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The bytes of a received message's body, and readers of its leading values.
struct Body {
    explicit Body(Message* m) { bytes = m->copyBytes(&length); }
    ~Body() { free(bytes); }
    // A string at at: its text and the offset after it.
    bool string(size_t at, std::string* out, size_t* next) const {
        if (at + 5 > length || bytes[at] != TAG_STRING) return false;
        uint32_t n = getBE32(bytes + at + 1);
        if (n > length - at - 5) return false;
        out->assign(reinterpret_cast<const char*>(bytes + at + 5), n);
        *next = at + 5 + n;
        return true;
    }
    bool int64(size_t at, long long* out) const {
        if (at + 9 > length || bytes[at] != TAG_INT64) return false;
        *out = static_cast<long long>(getBE64(bytes + at + 1));
        return true;
    }
    bool int32(size_t at, int* out) const {
        if (at + 5 > length || bytes[at] != TAG_INT32) return false;
        *out = static_cast<int>(getBE32(bytes + at + 1));
        return true;
    }
    bool boolean(size_t at, bool* out) const {
        if (at + 2 > length || bytes[at] != TAG_BOOL) return false;
        *out = bytes[at + 1] != 0;
        return true;
    }
    unsigned char* bytes;
    size_t length;
};

// A message of code holding id, then the bytes of body from `from` on.
Message* forwarded(int code, long long id, const Body& body, size_t from) {
    Message* m = new Message(code);
    m->writeInt64(id);
    if (from < body.length) m->appendBytes(body.bytes + from, body.length - from);
    return m;
}

// A relayed request: code, the server's id, then the principal the server
// vouches for in place of the one the client wrote, then the rest of the
// body as it came. Null when no principal follows the id.
Message* forwardedAs(int code, long long id, const Principal* principal, const Body& body, size_t from) {
    if (from > body.length) return nullptr;
    Message probe(reinterpret_cast<const char*>(body.bytes + from), body.length - from);
    unsigned int objectId = 0;
    unsigned char* encoded = nullptr;
    size_t length = 0;
    int rv = probe.readOpaqueObject(&objectId, &encoded, &length);
    free(encoded);
    if (rv != 0 || (objectId != OBJ_PRINCIPAL_ID && objectId != 0)) return nullptr;
    size_t after = from + probe.readOffset();
    Message* m = new Message(code);
    m->writeInt64(id);
    m->writeObject(OBJ_PRINCIPAL_ID, principal);
    if (after < body.length) m->appendBytes(body.bytes + after, body.length - after);
    return m;
}

int errorCodeFor(int requestCode) {
    return requestCode == M_EXECUTE || requestCode == M_EXECUTE_FAST ? M_EXEC_ERROR_REPLY : M_ERROR_REPLY;
}

}  // namespace

void DirSession::handleMasquerade(Message* m, int code) {
    Body body(m);
    int plain = code - kMasquerade;
    std::string assetId;
    size_t at = 0;
    long long clientId = 0;
    if (!body.string(0, &assetId, &at) || !body.int64(at, &clientId)) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: %s: masqueraded message %d without an asset id and request id",
            _connection->getName(), code);
        replyError(M_ERROR_REPLY, 0, DirError::E_PROTOCOL);
        return;
    }
    std::shared_ptr<DirSession> agent = _server->agentSession(assetId);
    if (plain == M_SEARCH_PARTIAL_REPLY_OK) {
        long long relayId = 0;
        if (agent && _server->findRelayOf(this, clientId, &relayId))
            agent->send(forwarded(plain, relayId, body, at + 9));
        return;
    }
    if (!agent) {
        log(LOG_INFO, 0, 0, "dird: %s: request %lld for asset %s: no agent of that asset is connected",
            _connection->getName(), clientId, assetId.c_str());
        replyError(errorCodeFor(plain), clientId, DirError::E_NOT_CONNECTED);
        return;
    }
    if (plain == M_OPEN_LISTENER || plain == M_OPEN_LISTENER2) {
        // The listener id is inside the body as well: the request is read
        // and written again with the id the agent will know it by.
        Message in(reinterpret_cast<const char*>(body.bytes) + at + 9, body.length - at - 9);
        Translatable* principal = nullptr;
        Translatable* object = nullptr;
        Translatable* filter = nullptr;
        int32_t listenerId = 0;
        bool ok = in.readObject(OBJ_PRINCIPAL_ID, &principal) == 0 &&
                  in.readObject(OBJ_DIRECTORYOBJECT_ID, &object) == 0 && in.readInt32(&listenerId) == 0 &&
                  in.readObject(OBJ_DIRNAMEENTRY_ID, &filter) == 0;
        if (ok) {
            int relayed = _server->addRelayedListener(shared_from_this(), listenerId);
            Message* out = new Message(plain);
            out->writeInt64(relayed);
            out->writeObject(OBJ_PRINCIPAL_ID, _principal.get());
            out->writeObject(OBJ_DIRECTORYOBJECT_ID, object);
            out->writeInt32(relayed);
            out->writeObject(OBJ_DIRNAMEENTRY_ID, filter);
            agent->send(out);
        }
        delete principal;
        delete object;
        delete filter;
        if (!ok) {
            _server->malformedMessages++;
            replyError(M_ERROR_REPLY, clientId, DirError::E_PROTOCOL);
        }
        return;
    }
    // The agent runs the request as the principal this server vouches
    // for: the client's certificate's, not whatever the request claims.
    DirServer::Relay relay{shared_from_this(), plain, clientId, 0, false, 0};
    long long relayId = _server->addRelay(relay);
    Message* out = forwardedAs(plain, relayId, _principal.get(), body, at + 9);
    if (out == nullptr) {
        DirServer::Relay dropped;
        _server->takeRelay(relayId, false, &dropped);
        _server->malformedMessages++;
        replyError(errorCodeFor(plain), clientId, DirError::E_PROTOCOL);
        return;
    }
    log(LOG_DEBUG, 0, 0, "dird: %s: request %lld (%d) relayed to asset %s as %lld", _connection->getName(), clientId,
        plain, assetId.c_str(), relayId);
    agent->send(out);
}

void DirSession::handleAgentReply(Message* m, int code) {
    if (!DirProtocol::hasRequestId(code)) {
        log(LOG_DEBUG, 0, 0, "dird: agent %s: message %d taken without an answer", _agent.c_str(), code);
        return;
    }
    Body body(m);
    long long id = 0;
    if (!body.int64(0, &id)) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: agent %s: message %d without a request id", _agent.c_str(), code);
        return;
    }
    if (code == M_LISTENER_UPDATE || code == M_LISTENER_UPDATE2) {
        int agentListener = 0;
        std::shared_ptr<DirSession> client;
        int clientListener = 0;
        if (!body.int32(9, &agentListener) ||
            !_server->findRelayedListener(agentListener, &client, &clientListener))
            return;
        Message* out = new Message(code);
        out->writeInt64(0);
        out->writeInt32(clientListener);
        out->appendBytes(body.bytes + 14, body.length - 14);
        client->send(out);
        return;
    }
    if (code == M_OPEN_LISTENER_REPLY) {
        std::shared_ptr<DirSession> client;
        int clientListener = 0;
        if (_server->findRelayedListener(static_cast<int>(id), &client, &clientListener))
            client->send(forwarded(code, clientListener, body, 9));
        return;
    }
    // Progress and every part but the last leave the relay in place.
    bool keep = code == M_EXECUTE_UPDATE;
    if (code == M_SEARCH_PARTIAL_REPLY) {
        bool last = true;
        keep = body.boolean(11, &last) && !last;
    }
    DirServer::Relay relay;
    if (!_server->takeRelay(id, keep, &relay)) {
        log(LOG_DEBUG, 0, 0, "dird: agent %s: answer %d to %lld, which nobody waits for", _agent.c_str(), code, id);
        return;
    }
    std::shared_ptr<DirSession> client = relay.client.lock();
    if (client) client->send(forwarded(code, relay.clientId, body, 9));
}

// ---- the relay table ----------------------------------------------------------------

bool DirServer::findRelayOf(const DirSession* client, long long clientId, long long* relayId) {
    CriticalSection hold(_relayLock);
    for (auto& r : _relays) {
        if (r.second.clientId == clientId && r.second.client.lock().get() == client) {
            *relayId = r.first;
            return true;
        }
    }
    return false;
}

void DirServer::sweepRelays() {
    long long now = monotonicMs();
    std::vector<Relay> late;
    {
        CriticalSection hold(_relayLock);
        for (auto it = _relays.begin(); it != _relays.end();) {
            bool gone = it->second.client.expired();
            if (gone || (!it->second.persistent && it->second.deadline < now)) {
                if (!gone) late.push_back(it->second);
                it = _relays.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = _relayedListeners.begin(); it != _relayedListeners.end();) {
            if (it->second.first.expired())
                it = _relayedListeners.erase(it);
            else
                ++it;
        }
    }
    for (Relay& r : late) {
        std::shared_ptr<DirSession> client = r.client.lock();
        if (!client) continue;
        Message* m = new Message(errorCodeFor(r.code));
        m->writeInt64(r.clientId);
        m->writeInt32(DirError::E_TIMEOUT);
        errorsAnswered++;
        client->send(m);
    }
}
