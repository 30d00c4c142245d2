// NetClientSPI's directory calls: waiting for the connection, sending
// requests and waiting for their replies, the asynchronous resolve and
// execute of the execution thread, the provider's own local objects, relaying
// for a server, unique ids and message-queue traffic.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/net_client_internal.h"
#include "dir/net_client_spi.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"

namespace {

const char* kConnectionObject = "____connection";
const char* kAgentAttributesObject = "____agent_attributes";
const char* kThisObject = "____this";

const char* localValue(const DirectoryObject* object) {
    if (object == nullptr || object->value == nullptr) return nullptr;
    const char* v = object->value->getString();
    if (v == nullptr) return nullptr;
    if (strcmp(v, kConnectionObject) == 0 || strcmp(v, kAgentAttributesObject) == 0 || strcmp(v, kThisObject) == 0)
        return v;
    return nullptr;
}

}  // namespace

int NetClientSPI::waitConnected() {
    {
        CondSection hold(state);
        if (connected) return 0;
        if (!mayConnect) return lastError != 0 ? lastError : DirError::E_NOT_CONNECTED;
        long long deadline = monotonicMs() + _netclient_timeout.load();
        while (!connected && mayConnect) {
            long long left = deadline - monotonicMs();
            if (left <= 0) break;
            state.wait(static_cast<int>(left));
        }
        if (connected) return 0;
        if (!attributesOverdue()) return lastError != 0 ? lastError : DirError::E_NOT_CONNECTED;
    }
    // Up, but the peer never completed the connect: that attempt is over.
    giveUpOnAttributes();
    CondSection hold(state);
    if (connected) return 0;
    return lastError != 0 ? lastError : DirError::E_NOT_CONNECTED;
}

int NetClientSPI::sendLocked(Message* m) {
    if (connection == nullptr) {
        delete m;
        return DirError::E_NOT_CONNECTED;
    }
    return connection->send(m) == 0 ? 0 : DirError::E_NOT_CONNECTED;
}

int NetClientSPI::sendMessage(Message* m) {
    CondSection hold(state);
    return sendLocked(m);
}

int NetClientSPI::call(Message* m, DelayedEvent* event, int replyCode, void** value) {
    long long id = event->getId();
    {
        CondSection hold(state);
        if (!connected) {
            delete m;
            return lastError != 0 ? lastError : DirError::E_NOT_CONNECTED;
        }
        int rv = sendLocked(m);
        if (rv != 0) return rv;
        pendingCalls[id] = replyCode;
    }
    event->waitResult(_netclient_timeout.load());
    // Out of the registry before looking: a reply that the receive path was
    // handing over is then in the event (and counts, having raced the
    // time-out), and none can come after, to be left in an event that
    // nobody reads again.
    event->withdraw();
    {
        CondSection hold(state);
        pendingCalls.erase(id);
    }
    if (!event->isDone()) {
        if (_gaveUpHook != nullptr) _gaveUpHook(this, event);
        return DirError::E_TIMEOUT;
    }
    if (event->isError()) return event->getErrorCode();
    *value = event->getValue();
    return 0;
}

void NetClientSPI::failPendingCalls(int error) {
    std::vector<long long> ids;
    std::vector<long long> execs;
    {
        CondSection hold(state);
        for (const auto& waiting : pendingCalls) ids.push_back(waiting.first);
        // Failed below, so done: a synchronous caller wakes to its error on
        // its own, and an asynchronous resolve is not kept for a reply that
        // cannot come on the next connection.
        pendingCalls.clear();
        execs.assign(execIds.begin(), execIds.end());
        execIds.clear();
        listenerIds.clear();
    }
    dropBatchRequest();
    for (long long id : execs) Directory::executeComplete(id, error);
    for (long long id : ids) {
        DelayedEvent* e = DelayedEvent::lockById(id);
        if (e == nullptr) continue;
        if (!e->isDone()) e->setError(error);
        e->release();
    }
}

void NetClientSPI::pruneRecords() {
    std::vector<long long> calls;
    std::vector<long long> execs;
    std::vector<int> listeners;
    {
        CondSection hold(state);
        for (const auto& waiting : pendingCalls) calls.push_back(waiting.first);
        execs.assign(execIds.begin(), execIds.end());
        listeners.assign(listenerIds.begin(), listenerIds.end());
    }
    // Looked at without the state lock: each registry has its own, taken
    // before ours elsewhere. What ends meanwhile goes at the next run.
    std::vector<long long> goneCalls;
    for (long long id : calls) {
        // A waiting event is not filled, so its release tells no listener.
        DelayedEvent* e = DelayedEvent::lockById(id);
        if (e == nullptr)
            goneCalls.push_back(id);
        else
            e->release();
    }
    std::vector<long long> goneExecs;
    for (long long id : execs) {
        // A request that ended (timed out, failed, answered by way of
        // another connection) completed its result; one whose caller
        // destroyed the result has no taker for an answer either.
        FutureResult* fr = FutureResult::lockById(id);
        bool ended = fr == nullptr || fr->isSignalled();
        if (fr != nullptr) FutureResult::release();
        if (ended) goneExecs.push_back(id);
    }
    std::vector<int> goneListeners;
    for (int id : listeners)
        if (!Directory::hasListener(id)) goneListeners.push_back(id);
    if (goneCalls.empty() && goneExecs.empty() && goneListeners.empty()) return;
    CondSection hold(state);
    for (long long id : goneCalls) pendingCalls.erase(id);
    for (long long id : goneExecs) execIds.erase(id);
    for (int id : goneListeners) listenerIds.erase(id);
}

// ---- local objects -------------------------------------------------------

int NetClientSPI::localResolve(DirectoryObject* current, const DirNameEntry* entry, DirectoryObject*& out) {
    const char* c = entry != nullptr ? entry->getClassName() : nullptr;
    const char* value = nullptr;
    if (c == nullptr) return -1;
    if (strcmp(c, "connection") == 0)
        value = kConnectionObject;
    else if (strcmp(c, "agentattributes") == 0)
        value = kAgentAttributesObject;
    else if (strcmp(c, "this") == 0)
        value = kThisObject;
    if (value == nullptr) return -1;
    out = new DirectoryObject(current != nullptr ? current->className : nullptr, new Any(value));
    return 0;
}

int NetClientSPI::localAttributes(DirectoryObject* object, Attributes*& out) {
    const char* which = localValue(object);
    if (which == nullptr) return -1;
    CondSection hold(state);
    if (strcmp(which, kThisObject) == 0) {
        out = domainAttributes != nullptr ? new Attributes(*domainAttributes) : new Attributes();
        return 0;
    }
    if (strcmp(which, kAgentAttributesObject) == 0) {
        out = agentAttributes != nullptr ? new Attributes(*agentAttributes) : new Attributes();
        out->setAttribute("connected", connected);
        return 0;
    }
    Attributes* a = new Attributes();
    if (connected && connection != nullptr) {
        a->setAttribute("bytesSent", connection->getBytesSent());
        a->setAttribute("bytesReceived", connection->getBytesReceived());
        a->setAttribute("connectionVersion", connection->getServerVersion());
        a->setAttribute("ipaddr", connection->getPeerAddress());
    }
    a->setAttribute("lostConnection", static_cast<long long>(lostAt.load()));
    a->setAttribute("lastConnected", static_cast<long long>(connectedAt.load()));
    a->setAttribute("port", port);
    a->setAttribute("host", host);
    a->setAttribute("domain", domain);
    a->setAttribute("connected", connected);
    out = a;
    return 0;
}

// ---- the directory slots ---------------------------------------------------

int NetClientSPI::resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                          const DirNameEntry* entry, DirectoryObject*& out) {
    touch();
    out = nullptr;
    if (localResolve(current, entry, out) == 0) return 0;
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    rv = call(DirProtocol::resolveRequest(masqAsset(), event.getId(), principal, current, entry, target), &event,
              DirProtocol::M_RESOLVE_REPLY, &value);
    if (rv == 0) out = static_cast<DirectoryObject*>(value);
    return rv;
}

int NetClientSPI::search(const Endpoint* target, const Principal* principal, SearchHelper*,
                         DirectoryObject* current, const DirNameEntry* entry, char* filter,
                         DirectoryEnumeration* result) {
    touch();
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    rv = call(DirProtocol::searchRequest(masqAsset(), event.getId(), principal, current, entry, filter, target,
                                         masqThrough != nullptr),
              &event, DirProtocol::M_SEARCH_REPLY, &value);
    // Parts gathered before a failure or time-out are dropped; the call
    // took the event out of the registry, so no part can come after.
    delete static_cast<DirectoryEnumeration*>(event.partialResult);
    event.partialResult = nullptr;
    if (rv != 0) return rv;
    DirectoryEnumeration* got = static_cast<DirectoryEnumeration*>(value);
    if (got == nullptr) return 0;
    for (DirectoryEnumeration::EnumEntry* e = got->head; e != nullptr; e = e->next) {
        result->append(e->name, e->attributes, e->acl);
        e->name = nullptr;
        e->attributes = nullptr;
        e->acl = nullptr;
    }
    delete got;
    return 0;
}

int NetClientSPI::execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                          FutureResult* result) {
    Connection* used = nullptr;
    return asyncExecute(principal, object, operation, args, result->id, &used);
}

int NetClientSPI::getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) {
    touch();
    out = nullptr;
    if (localAttributes(object, out) == 0) return 0;
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    rv = call(DirProtocol::headerOnlyRequest(DirProtocol::M_GET_ATTRIBUTES, masqAsset(), event.getId(), principal,
                                             object),
              &event, DirProtocol::M_GET_ATTRIBUTES_REPLY, &value);
    if (rv == 0) out = static_cast<Attributes*>(value);
    return rv;
}

int NetClientSPI::list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) {
    touch();
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    rv = call(DirProtocol::headerOnlyRequest(DirProtocol::M_LIST, masqAsset(), event.getId(), principal, object),
              &event, DirProtocol::M_LIST_REPLY, &value);
    ClassEnumeration* got = static_cast<ClassEnumeration*>(value);
    if (rv == 0 && got != nullptr) result->takeContents(got);
    delete got;
    return rv;
}

int NetClientSPI::getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) {
    touch();
    out = nullptr;
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    rv = call(DirProtocol::headerOnlyRequest(DirProtocol::M_GET_ACL, masqAsset(), event.getId(), principal, object),
              &event, DirProtocol::M_GET_ACL, &value);
    if (rv == 0) out = static_cast<Acl*>(value);
    return rv;
}

int NetClientSPI::listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
                         int listenerId) {
    touch();
    int rv = waitConnected();
    if (rv != 0) return rv;
    CondSection hold(state);
    bool v2 = connection != nullptr && connection->getServerVersion() >= 1;
    rv = sendLocked(DirProtocol::openListenerRequest(masqAsset(), listenerId, principal, object, filter, v2));
    if (rv == 0) listenerIds.insert(listenerId);
    return rv;
}

int NetClientSPI::openForRead(const Principal*, const DirectoryObject*, const char*, Input** out) {
    // Remote reads go through the file transfer service.
    touch();
    if (out != nullptr) *out = nullptr;
    return 0;
}

int NetClientSPI::openForWrite(const Principal* principal, const DirectoryObject* object, Output** out) {
    touch();
    if (out != nullptr) *out = nullptr;
    int rv = waitConnected();
    if (rv != 0) return rv;
    DelayedEvent event;
    void* value = nullptr;
    return call(DirProtocol::headerOnlyRequest(DirProtocol::M_WRITE_REMOTE_FILE, masqAsset(), event.getId(), principal,
                                               object),
                &event, DirProtocol::M_WRITE_REMOTE_FILE_REPLY, &value);
}

// ---- asynchronous forms ------------------------------------------------------

int NetClientSPI::asyncResolve(DelayedEvent* event, const Endpoint* target, const Principal* principal,
                               DirectoryObject* current, const DirNameEntry* entry) {
    touch();
    DirectoryObject* local = nullptr;
    if (localResolve(current, entry, local) == 0) {
        // Filled the way a reply is, so that the event's listener runs the
        // waiting request again.
        DelayedEvent* e = DelayedEvent::lockById(event->getId());
        if (e == nullptr) {
            delete local;
            return 0;
        }
        e->setValue(local);
        e->release();
        return 0;
    }
    Message* m = DirProtocol::resolveRequest(masqAsset(), event->getId(), principal, current, entry, target);
    CondSection hold(state);
    if (!connected) {
        delete m;
        return DirError::E_NOT_CONNECTED;
    }
    int rv = sendLocked(m);
    // Taken off when its reply comes or the connection goes; one whose
    // reply never comes stays until then.
    if (rv == 0) pendingCalls[event->getId()] = DirProtocol::M_RESOLVE_REPLY;
    return rv;
}

int NetClientSPI::asyncExecute(const Principal* principal, DirectoryObject* current, const char* operation,
                               Any** args, long long id, Connection** used) {
    touch();
    Message* m = DirProtocol::executeRequest(masqAsset(), id, principal, current, operation, args);
    CondSection hold(state);
    if (!connected) {
        delete m;
        return DirError::E_NOT_CONNECTED;
    }
    if (used != nullptr) *used = connection;
    int rv = sendLocked(m);
    if (rv == 0) execIds.insert(id);
    return rv;
}

// ---- relaying ------------------------------------------------------------------

int NetClientSPI::proxy(int messageType, long long origId, Message* request, Message** reply) {
    *reply = nullptr;
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request, messageType = %d, origId = %lld", name,
        messageType, origId);
    touch();
    if (waitConnected() != 0) {
        int err = getLastError();
        if (err != 0) {
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request, connect error %d", name, err);
            return err;
        }
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request, will return E_NOT_CONNECTED", name);
        return DirError::E_NOT_CONNECTED;
    }
    DelayedEvent event;
    event.originalId = origId;
    Message* out = new Message(messageType);
    if (origId != 0) out->writeInt64(event.getId());
    out->appendProxy(request);
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request, doing send", name);
    proxyCount++;
    void* value = nullptr;
    int rv = call(out, &event, kRelayedReply, &value);
    proxyCount--;
    if (rv != 0) {
        // The receive path fills a relayed event under the registry lock
        // once it has seen it unfilled; marking it failed under the same
        // lock settles which came first. A reply that won still counts.
        CriticalSection hold(DelayedEvent::registryLock());
        if (!event.setErrorUnlessDone(nullptr, rv) && !event.isError()) {
            value = event.getValue();
            rv = 0;
        }
    }
    if (rv == DirError::E_TIMEOUT) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request, timeout waiting for peer reply", name);
        return rv;
    }
    if (rv != 0) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request retuned error %d", name, rv);
        return rv;
    }
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: proxying request returning message", name);
    *reply = static_cast<Message*>(value);
    return 0;
}

// ---- unique ids ------------------------------------------------------------------

int NetClientSPI::requestBatch() {
    int rv = waitConnected();
    if (rv == 0) rv = sendMessage(DirProtocol::getUniqueIds(DirProtocol::kUniqueIdBatch));
    if (rv != 0) {
        CondSection hold(idBlock);
        idRequestOutstanding = false;
    }
    return rv;
}

// Takes the next unused entry of the current batch: a unique id into *id, or
// with buffer set a mini GUID into buffer. The 17th take from a batch asks the
// peer for the next one; a spent batch waits for it. Only the entries the
// peer sent are handed out: a short batch is spent early, an empty one fails
// the take.
int NetClientSPI::takeFromBatch(long long* id, char* buffer, int size) {
    bool guid = buffer != nullptr;
    for (;;) {
        bool ask = false;
        long long received = 0;
        {
            CondSection hold(idBlock);
            int index = guid ? miniGuidIndex : idIndex;
            if (!idRequestOutstanding && (index == -1 || index >= 16 || index >= batchCount)) {
                idRequestOutstanding = true;
                ask = true;
                received = batchesReceived;
            }
        }
        if (ask) {
            int rv = requestBatch();
            if (rv != 0) return rv;
        }
        CondSection hold(idBlock);
        for (;;) {
            int& index = guid ? miniGuidIndex : idIndex;
            if (index >= 0 && index < batchCount) {
                if (guid) {
                    const char* g = miniGuids[index];
                    snprintf(buffer, static_cast<size_t>(size), "%s", g != nullptr ? g : "");
                } else {
                    *id = ids[index];
                }
                index++;
                return 0;
            }
            // Spent by other takers meanwhile, or asked for on a connection
            // that went: ask again. A batch that came empty has nothing to
            // give.
            if (!idRequestOutstanding) {
                if (ask && batchCount == 0 && batchesReceived != received) return DirError::E_PROTOCOL;
                break;
            }
            if (!idBlock.wait(_netclient_timeout.load())) {
                // The next caller asks again.
                idRequestOutstanding = false;
                return DirError::E_TIMEOUT;
            }
        }
    }
}

void NetClientSPI::dropBatchRequest() {
    CondSection hold(idBlock);
    if (!idRequestOutstanding) return;
    idRequestOutstanding = false;
    idBlock.broadcast();
}

int NetClientSPI::localUniqueId(long long* id) {
    return takeFromBatch(id, nullptr, 0);
}

int NetClientSPI::localMiniGuid(char* buffer, int size) {
    return takeFromBatch(nullptr, buffer, size);
}

// Waits for the first batch, asking for it unless that is under way, and
// takes nothing from it: the peer's instance comes with every batch.
long long NetClientSPI::localInstanceId() {
    bool ask = false;
    {
        CondSection hold(idBlock);
        if (idsArrived) return instanceId;
        if (!idRequestOutstanding) {
            idRequestOutstanding = true;
            ask = true;
        }
    }
    if (ask && requestBatch() != 0) return 0;
    CondSection hold(idBlock);
    while (!idsArrived && idRequestOutstanding) {
        if (!idBlock.wait(_netclient_timeout.load())) {
            idRequestOutstanding = false;
            break;
        }
    }
    return instanceId;
}

void NetClientSPI::processMQ(long long a, long long b, const char* data, unsigned long length) {
    if (waitConnected() != 0) return;
    sendMessage(DirProtocol::mqSend(a, b, data, static_cast<uint32_t>(length)));
}
