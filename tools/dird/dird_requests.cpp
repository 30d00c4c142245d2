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

// The codes this file reads and answers.
enum Code {
    M_RESOLVE = 1,
    M_SEARCH = 2,
    M_SEARCH_REPLY = 3,
    M_RESOLVE_REPLY = 4,
    M_ERROR_REPLY = 5,
    M_EXECUTE = 6,
    M_EXECUTE_REPLY = 7,
    M_GET_ATTRIBUTES = 8,
    M_GET_ATTRIBUTES_REPLY = 9,
    M_READ_REMOTE_FILE = 10,
    M_WRITE_REMOTE_FILE = 20,
    M_GET_ACL = 23,
    M_OPEN_LISTENER = 24,
    M_LISTENER_UPDATE = 25,
    M_OPEN_LISTENER_REPLY = 26,
    M_LIST = 27,
    M_LIST_REPLY = 28,
    M_EXEC_ERROR_REPLY = 29,
    M_DOMAIN_ATTRIBUTES = 40,
    M_SEARCH_PARTIAL_REPLY = 43,
    M_SEARCH_PARTIAL_REPLY_OK = 44,
    M_EXECUTE_UPDATE = 47,
    M_EXECUTE_FAST = 54,
    M_RESOLVE_ENDPOINT = 80,
    M_SEARCH_ENDPOINT = 81,
    M_SEARCH_NO_PARTIAL = 82,
    M_OPEN_LISTENER2 = 224,
    M_LISTENER_UPDATE2 = 225,
    M_GETUNIQUEIDS = 226,
    M_UNIQUEIDS = 227,
};

// Messages a client sends without expecting an answer from this server.
bool isOneWay(int code) {
    switch (code) {
    case 31: case 32: case 41: case 46: case 48: case 49: case 51: case 300: return true;
    default: return false;
    }
}

// The protocol version this server speaks, "2.1.3" folded two digits per part.
const int kProtocolVersion = 20103;
// Arguments of one operation: more is a hostile or broken request.
const int kMaxArguments = 1024;
// Unanswered partial searches kept per session before the oldest is dropped.
const size_t kMaxPendingSearches = 16;
const int kUniqueIdBatch = 20;

template <class T>
T* readAs(Message* m, unsigned int id) {
    Translatable* obj = nullptr;
    if (m->readObject(id, &obj) != 0) return nullptr;
    return static_cast<T*>(obj);
}

// The request header: id, the caller's principal, the current object.
struct Header {
    long long id = 0;
    bool haveId = false;
    std::unique_ptr<Principal> principal;
    std::unique_ptr<DirectoryObject> current;
};

bool readHeader(Message* m, Header* h) {
    int64_t id = 0;
    if (m->readInt64(&id) != 0) return false;
    h->id = id;
    h->haveId = true;
    Translatable* p = nullptr;
    if (m->readObject(OBJ_PRINCIPAL_ID, &p) != 0) return false;
    h->principal.reset(static_cast<Principal*>(p));
    Translatable* o = nullptr;
    if (m->readObject(OBJ_DIRECTORYOBJECT_ID, &o) != 0) return false;
    h->current.reset(static_cast<DirectoryObject*>(o));
    return true;
}

// Answers an execute when its future result completes or reports progress.
// Runs with the future-result registry lock held: it only sends and posts.
class RemoteExec final : public FutureResultListener {
public:
    RemoteExec(const std::shared_ptr<DirSession>& session, DirServer* server, long long clientId)
        : _session(session), _server(server), _clientId(clientId) {}

    void onComplete(FutureResult* fr) override {
        Message* m;
        if (fr->failed) {
            m = new Message(M_EXEC_ERROR_REPLY);
            m->writeInt64(_clientId);
            m->writeInt32(fr->error);
            _server->errorsAnswered++;
        } else {
            m = new Message(M_EXECUTE_REPLY);
            m->writeInt64(_clientId);
            m->writeObject(OBJ_FUTURERESULT_ID, fr);
        }
        _server->requestsServed++;
        _session->send(m);
        fr->listener = nullptr;
        ExecDirThread::postFree(fr);
        ExecDirThread::postDeleteLater(this, [](void* p) { delete static_cast<RemoteExec*>(p); });
    }

    void onUpdate(FutureResult*, ExecuteUpdate* update) override {
        Message* m = new Message(M_EXECUTE_UPDATE);
        m->writeInt64(_clientId);
        m->writeObject(OBJ_EXECUTEUPDATE_ID, update);
        _session->send(m);
    }

private:
    std::shared_ptr<DirSession> _session;
    DirServer* _server;
    long long _clientId;
};

class UpdateSender final : public ListenerUpdateSender {
public:
    void sendUpdate(Connection* connection, int listenerId, int kind, const DirNameEntry* entry,
                    const Attributes* attributes, const Acl* acl) override {
        Message* m = new Message(M_LISTENER_UPDATE);
        m->writeInt64(0);
        m->writeInt32(listenerId);
        m->writeInt32(kind);
        m->writeObject(OBJ_DIRNAMEENTRY_ID, entry);
        m->writeObject(OBJ_ATTRIBUTES_ID, attributes);
        m->writeObject(OBJ_ACL_ID, kind == 2 ? nullptr : acl);
        connection->send(m);
    }
    void sendUpdates(Connection* connection, int listenerId, int kind, int count, DirNameEntry** entries,
                     Attributes** attributes, Acl** acls) override {
        Message* m = new Message(M_LISTENER_UPDATE2);
        m->writeInt64(0);
        m->writeInt32(listenerId);
        m->writeInt32(kind);
        m->writeInt32(count);
        for (int i = 0; i < count; i++) {
            m->writeObject(OBJ_DIRNAMEENTRY_ID, entries[i]);
            m->writeObject(OBJ_ATTRIBUTES_ID, attributes != nullptr ? attributes[i] : nullptr);
            m->writeObject(OBJ_ACL_ID, acls != nullptr && kind != 2 ? acls[i] : nullptr);
        }
        connection->send(m);
    }
};

}  // namespace

void dird_installListenerUpdateSender() {
    static UpdateSender sender;
    if (_listenerUpdateSender == nullptr) _listenerUpdateSender = &sender;
}

void DirSession::replyError(int code, long long id, int error) {
    Message* m = new Message(code);
    m->writeInt64(id);
    m->writeInt32(error);
    _server->errorsAnswered++;
    _server->requestsServed++;
    send(m);
}

void DirSession::handleRequest(Message* m, int code) {
    if (isOneWay(code)) {
        log(LOG_DEBUG, 0, 0, "dird: %s: message %d taken without an answer", _connection->getName(), code);
        return;
    }
    if (code == M_SEARCH_PARTIAL_REPLY_OK) {
        handleAck(m);
        return;
    }
    if (code == M_DOMAIN_ATTRIBUTES) {
        int32_t version = 0;
        m->readInt32(&version);
        Attributes a;
        a.setAttribute("domain", _server->state()->ca()->domain().c_str());
        a.setAttribute("ftPort", "14001");
        a.setAttribute("protocolVersion", kProtocolVersion);
        Message* r = new Message(M_DOMAIN_ATTRIBUTES);
        r->writeObject(OBJ_ATTRIBUTES_ID, &a);
        _server->requestsServed++;
        send(r);
        return;
    }
    if (code == M_GETUNIQUEIDS) {
        int32_t wanted = 0;
        m->readInt32(&wanted);
        Message* r = new Message(M_UNIQUEIDS);
        static std::atomic<long long> next{0};
        // One instance id per server process: the ids below are unique within it.
        static const long long instance = (static_cast<long long>(getpid()) << 32) | (time(nullptr) & 0xFFFFFFFF);
        r->writeInt64(instance);
        r->writeInt32(kUniqueIdBatch);
        for (int i = 0; i < kUniqueIdBatch; i++) r->writeInt64(++next);
        for (int i = 0; i < kUniqueIdBatch; i++) {
            char* guid = makeGuid();
            r->writeString(guid != nullptr && strlen(guid) > 8 ? guid + strlen(guid) - 8 : guid);
            free(guid);
        }
        _server->requestsServed++;
        send(r);
        return;
    }

    Header h;
    if (!readHeader(m, &h)) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: %s: message %d does not begin with a request header; answered with 14",
            _connection->getName(), code);
        replyError(M_ERROR_REPLY, h.haveId ? h.id : 0, DirError::E_PROTOCOL);
        return;
    }
    // A client runs as the principal of its certificate, whatever its
    // requests say; only a server this one serves as an agent is trusted
    // to speak for its clients.
    const Principal* principal = _kind == KIND_UPSTREAM ? h.principal.get() : _principal.get();
    DirdRootSPI* root = _server->root();
    switch (code) {
    case M_RESOLVE:
    case M_RESOLVE_ENDPOINT: {
        std::unique_ptr<DirNameEntry> entry(readAs<DirNameEntry>(m, OBJ_DIRNAMEENTRY_ID));
        std::unique_ptr<Endpoint> target(code == M_RESOLVE_ENDPOINT ? readAs<Endpoint>(m, OBJ_ENDPOINT_ID) : nullptr);
        if (!entry || m->getError() != 0) break;
        DirectoryObject* out = nullptr;
        int rv = root->resolve(target.get(), principal, h.current.get(), entry.get(), out);
        if (rv == 0 && out == nullptr) rv = DirError::E_OBJECT_NOT_FOUND;
        if (rv != 0) {
            delete out;
            replyError(M_ERROR_REPLY, h.id, rv);
            return;
        }
        Message* r = new Message(M_RESOLVE_REPLY);
        r->writeInt64(h.id);
        r->writeObject(OBJ_DIRECTORYOBJECT_ID, out);
        delete out;
        _server->requestsServed++;
        send(r);
        return;
    }
    case M_SEARCH:
    case M_SEARCH_ENDPOINT:
    case M_SEARCH_NO_PARTIAL:
        handleSearch(m, code, h.id, principal, h.current.get());
        return;
    case M_EXECUTE:
    case M_EXECUTE_FAST: {
        char* operation = nullptr;
        int32_t n = 0;
        if (m->readString(&operation) != 0 || m->readInt32(&n) != 0 || n < 0 || n > kMaxArguments) {
            free(operation);
            break;
        }
        std::vector<Any*> args;
        bool ok = true;
        for (int i = 0; i < n && ok; i++) {
            Any* a = readAs<Any>(m, OBJ_ANY_ID);
            ok = m->getError() == 0;
            args.push_back(a != nullptr ? a : new Any());
        }
        args.push_back(nullptr);
        if (ok) {
            auto* listener = new RemoteExec(shared_from_this(), _server, h.id);
            FutureResult* fr = new FutureResult(listener);
            ResolveContext* rc = new ResolveContext(_server->directory(), nullptr, principal);
            // Resolved already: the client sent the object itself.
            rc->index = 1;
            rc->setSPI(root);
            rc->setCurrent(h.current.release());
            ExecHelper* helper = new ExecHelper(fr, rc, nullptr, operation, args.data());
            if (!ExecDirThread::postNew(helper)) fr->setError(DirError::E_NO_PROVIDER);
        }
        for (Any* a : args) delete a;
        free(operation);
        if (!ok) break;
        return;
    }
    case M_GET_ATTRIBUTES: {
        Attributes* out = nullptr;
        int rv = root->getAttributes(principal, h.current.get(), out);
        if (rv != 0) {
            delete out;
            replyError(M_ERROR_REPLY, h.id, rv);
            return;
        }
        Message* r = new Message(M_GET_ATTRIBUTES_REPLY);
        r->writeInt64(h.id);
        r->writeObject(OBJ_ATTRIBUTES_ID, out);
        delete out;
        _server->requestsServed++;
        send(r);
        return;
    }
    case M_GET_ACL: {
        Acl* out = nullptr;
        int rv = root->getAcl(principal, h.current.get(), out);
        if (rv != 0) {
            delete out;
            replyError(M_ERROR_REPLY, h.id, rv);
            return;
        }
        Message* r = new Message(M_GET_ACL);
        r->writeInt64(h.id);
        r->writeObject(OBJ_ACL_ID, out);
        delete out;
        _server->requestsServed++;
        send(r);
        return;
    }
    case M_LIST: {
        ClassEnumeration out;
        int rv = root->list(principal, h.current.get(), &out);
        if (rv != 0) {
            replyError(M_ERROR_REPLY, h.id, rv);
            return;
        }
        Message* r = new Message(M_LIST_REPLY);
        r->writeInt64(h.id);
        r->writeObject(OBJ_CLASSENUMERATION_ID, &out);
        _server->requestsServed++;
        send(r);
        return;
    }
    case M_OPEN_LISTENER:
    case M_OPEN_LISTENER2:
        handleListen(m, code, h.id, principal, h.current.get());
        return;
    case M_READ_REMOTE_FILE:
    case M_WRITE_REMOTE_FILE:
        // Files travel through the file transfer service, not this server.
        replyError(M_ERROR_REPLY, h.id, DirError::E_NOT_IMPLEMENTED);
        return;
    default:
        log(LOG_WARNING, 0, 0, "dird: %s: message %d is not a request this server answers", _connection->getName(),
            code);
        replyError(M_ERROR_REPLY, h.id, DirError::E_NOT_IMPLEMENTED);
        return;
    }
    _server->malformedMessages++;
    log(LOG_WARNING, 0, 0, "dird: %s: message %d, request %lld: its body does not decode (%d); answered with 14",
        _connection->getName(), code, h.id, m->getError());
    replyError(code == M_EXECUTE || code == M_EXECUTE_FAST ? M_EXEC_ERROR_REPLY : M_ERROR_REPLY, h.id,
               DirError::E_PROTOCOL);
}

void DirSession::handleListen(Message* m, int code, long long id, const Principal* principal,
                              DirectoryObject* current) {
    int32_t listenerId = 0;
    std::unique_ptr<DirNameEntry> filter;
    if (m->readInt32(&listenerId) == 0) filter.reset(readAs<DirNameEntry>(m, OBJ_DIRNAMEENTRY_ID));
    if (!filter) {
        _server->malformedMessages++;
        replyError(M_ERROR_REPLY, id, DirError::E_PROTOCOL);
        return;
    }
    DirectorySPI* owner = _server->root()->listenerOwner(current, filter.get());
    if (owner == nullptr) {
        replyError(M_ERROR_REPLY, id, DirError::E_NO_PROVIDER);
        return;
    }
    // The record holds a lock on the connection until the session ends
    // (closeListenersOnLost); batched updates for clients that read them.
    owner->attachListener(principal, _connection, current, filter.get(), listenerId, code == M_OPEN_LISTENER2);
    Message* r = new Message(M_OPEN_LISTENER_REPLY);
    r->writeInt64(id);
    _server->requestsServed++;
    send(r);
}

void DirSession::handleSearch(Message* m, int code, long long id, const Principal* principal,
                              DirectoryObject* current) {
    std::unique_ptr<DirNameEntry> entry(readAs<DirNameEntry>(m, OBJ_DIRNAMEENTRY_ID));
    char* filter = nullptr;
    if (entry) m->readString(&filter);
    std::unique_ptr<Endpoint> target(entry && code == M_SEARCH_ENDPOINT ? readAs<Endpoint>(m, OBJ_ENDPOINT_ID)
                                                                          : nullptr);
    if (!entry || m->getError() != 0) {
        free(filter);
        _server->malformedMessages++;
        replyError(M_ERROR_REPLY, id, DirError::E_PROTOCOL);
        return;
    }
    SearchHelper helper;
    int rv = helper.set(entry.get(), filter);
    std::unique_ptr<DirectoryEnumeration> results(new DirectoryEnumeration());
    if (rv == 0)
        rv = _server->root()->search(target.get(), principal, &helper, current, entry.get(), filter, results.get());
    free(filter);
    if (rv != 0) {
        replyError(M_ERROR_REPLY, id, rv);
        return;
    }
    int part = _server->options().partialEntries;
    if (code == M_SEARCH_NO_PARTIAL || results->size() <= part) {
        // One reply: any, then each entry followed by whether more follow.
        Message* r = new Message(M_SEARCH_REPLY);
        r->writeInt64(id);
        r->writeBool(results->head != nullptr);
        for (DirectoryEnumeration::EnumEntry* e = results->head; e != nullptr; e = e->next) {
            r->writeObject(OBJ_DIRNAMEENTRY_ID, e->name);
            r->writeObject(OBJ_ATTRIBUTES_ID, e->attributes);
            r->writeObject(OBJ_ACL_ID, e->acl);
            r->writeBool(e->next != nullptr);
        }
        _server->requestsServed++;
        send(r);
        return;
    }
    auto* pending = new PendingSearch();
    pending->next = results->head;
    pending->results = std::move(results);
    bool finished = false;
    sendSearchPart(id, pending, &finished);
    if (finished) {
        delete pending;
        return;
    }
    CriticalSection hold(_searchLock);
    if (_searches.size() >= kMaxPendingSearches) {
        // A client that never acknowledges does not pile searches up here.
        log(LOG_WARNING, 0, 0, "dird: %s: search %lld dropped: never acknowledged", _connection->getName(),
            _searches.begin()->first);
        _searches.erase(_searches.begin());
    }
    _searches[id].reset(pending);
}

void DirSession::sendSearchPart(long long id, PendingSearch* search, bool* finished) {
    int part = _server->options().partialEntries;
    DirectoryEnumeration::EnumEntry* e = search->next;
    for (int i = 0; i < part && e != nullptr; i++) e = e->next;
    bool last = e == nullptr;
    Message* r = new Message(M_SEARCH_PARTIAL_REPLY);
    r->writeInt64(id);
    r->writeBool(search->next != nullptr);
    r->writeBool(last);
    // Entry, attributes, ACL, then "more" (in this part) and "last" (part).
    for (DirectoryEnumeration::EnumEntry* x = search->next; x != e; x = x->next) {
        r->writeObject(OBJ_DIRNAMEENTRY_ID, x->name);
        r->writeObject(OBJ_ATTRIBUTES_ID, x->attributes);
        r->writeObject(OBJ_ACL_ID, x->acl);
        r->writeBool(x->next != e);
        r->writeBool(last);
    }
    search->next = e;
    *finished = last;
    if (last) _server->requestsServed++;
    send(r);
}

void DirSession::handleAck(Message* m) {
    int64_t id = 0;
    if (m->readInt64(&id) != 0) {
        _server->malformedMessages++;
        log(LOG_WARNING, 0, 0, "dird: %s: an acknowledgement without a search id", _connection->getName());
        return;
    }
    std::unique_ptr<PendingSearch> search;
    {
        CriticalSection hold(_searchLock);
        auto it = _searches.find(id);
        if (it == _searches.end()) {
            log(LOG_DEBUG, 0, 0, "dird: %s: acknowledgement for search %lld, which is not waiting",
                _connection->getName(), static_cast<long long>(id));
            return;
        }
        search = std::move(it->second);
        _searches.erase(it);
    }
    bool finished = false;
    sendSearchPart(id, search.get(), &finished);
    if (finished) return;
    CriticalSection hold(_searchLock);
    _searches[id] = std::move(search);
}
