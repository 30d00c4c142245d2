// NetClientSPI's receive path: every message from the peer, on the
// connection's coms thread. Nothing here blocks: replies fill delayed events
// by id, execute results go to the execution thread, alerts to the
// "dir-client" thread. A body that does not decode fails its waiting call
// with 14 ("Protocol Error") or is logged and dropped.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <memory>
#include <string>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/login.h"
#include "dir/net_client_internal.h"
#include "dir/net_client_spi.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "io/input.h"
#include "records/alert.h"
#include "records/ci_update.h"

namespace {

// Fills the waiting event of id with value (taking it) or with error; a
// reply whose caller gave up is dropped.
void deliver(long long id, void* value, int error, void (*drop)(void*)) {
    DelayedEvent* e = DelayedEvent::lockById(id);
    if (e == nullptr) {
        if (value != nullptr) drop(value);
        return;
    }
    if (error != 0)
        e->setError("Protocol Error", error);
    else
        e->setValue(value);
    e->release();
}

// Replies that answer a synchronous call or an asynchronous resolve.
bool answersACall(int code) {
    switch (code) {
        case DirProtocol::M_RESOLVE_REPLY:
        case DirProtocol::M_GET_ATTRIBUTES_REPLY:
        case DirProtocol::M_GET_ACL:
        case DirProtocol::M_LIST_REPLY:
        case DirProtocol::M_ERROR_REPLY:
        case DirProtocol::M_SEARCH_REPLY:
        case DirProtocol::M_SEARCH_PARTIAL_REPLY:
        case DirProtocol::M_READ_REMOTE_FILE_REPLY:
        case DirProtocol::M_WRITE_REMOTE_FILE_REPLY:
            return true;
        default:
            return false;
    }
}

// The entries of a search answered in parts, gathered in the waiting
// event, and when its first part came (the bound on its more time).
struct GatheredSearch : DirectoryEnumeration {
    long long firstPartAt = 0;
};

template <class T>
void dropAs(void* p) {
    delete static_cast<T*>(p);
}

// Owns what an alert operation carries until a listener takes it.
struct AlertWork {
    ~AlertWork() {
        for (Translatable* a : alerts) delete a;
        free(alertId);
    }
    std::vector<Translatable*> alerts;
    char* alertId = nullptr;
};

// The public key (PEM) of a PEM certificate an agent presented, or null when
// the bytes are not one. malloc'd.
char* publicKeyOfCertificate(const unsigned char* pem, uint32_t length) {
    if (pem == nullptr || length == 0 || length > (1u << 20)) return nullptr;
    BIO* bio = BIO_new_mem_buf(pem, static_cast<int>(length));
    X509* cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
    char* text = key != nullptr ? Login::publicKeyPem(key) : nullptr;
    X509_free(cert);
    // A failed parse leaves its reason queued on this thread, where the
    // connection's next SSL_get_error would take it for its own.
    if (text == nullptr) ERR_clear_error();
    return text;
}

}  // namespace

CriticalBlock NetClientSPI::_inputListLock;
std::multimap<long long, Input*> NetClientSPI::_inputList;

void NetClientCleanupHandler(Input* input) {
    CriticalSection hold(NetClientSPI::_inputListLock);
    for (auto it = NetClientSPI::_inputList.begin(); it != NetClientSPI::_inputList.end(); ++it) {
        if (it->second == input) {
            NetClientSPI::_inputList.erase(it);
            return;
        }
    }
}

int NetClientSPI::onReceive(Connection* c, Message* m) {
    receive(c, m);
    return 0;
}

void NetClientSPI::expectReply(long long id, int replyCode) {
    CondSection hold(state);
    pendingCalls[id] = replyCode;
}

void NetClientSPI::forgetReply(long long id) {
    CondSection hold(state);
    pendingCalls.erase(id);
}

NetClientSPI::Outstanding NetClientSPI::outstanding() {
    CondSection hold(state);
    return Outstanding{pendingCalls.size(), execIds.size(), listenerIds.size()};
}

bool NetClientSPI::listensFor(int listenerId) {
    CondSection hold(state);
    return listenerIds.count(listenerId) != 0;
}

bool NetClientSPI::takesReply(long long id, int code, bool final) {
    int expected;
    {
        CondSection hold(state);
        auto waiting = pendingCalls.find(id);
        if (waiting == pendingCalls.end()) {
            expected = -1;
        } else {
            expected = waiting->second;
            bool fits = code == DirProtocol::M_ERROR_REPLY || code == expected ||
                        (code == DirProtocol::M_SEARCH_PARTIAL_REPLY && expected == DirProtocol::M_SEARCH_REPLY);
            if (fits) {
                if (final) pendingCalls.erase(waiting);
                return true;
            }
        }
    }
    if (expected < 0 && code == DirProtocol::M_SEARCH_PARTIAL_REPLY)
        // A part of a search its caller gave up on: the peer hears no more
        // from it, since only an acknowledgement asks for the next part.
        log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: no prior search context. Search fails", name);
    else if (expected < 0)
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: %s for id %lld, which nothing waits for, dropped",
            name, DirProtocol::name(code), id);
    else
        log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: %s for id %lld, which waits for %s, dropped", name,
            DirProtocol::name(code), id,
            expected != kRelayedReply ? DirProtocol::name(expected) : "a relayed reply");
    return false;
}

void NetClientSPI::receive(Connection* c, Message* m) {
    DirProtocol::Reply r;
    r.code = static_cast<int>(m->getType());
    if (DirProtocol::hasRequestId(r.code)) {
        int64_t id = 0;
        if (m->readInt64(&id) != 0) return;  // no id: nothing to answer
        r.id = id;
    }
    log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: Received %s, id = %lld", name,
        DirProtocol::name(r.code), r.id);

    // A reply to a relayed request goes back under the original id, unread.
    if (r.id != 0 && proxyCount.load(std::memory_order_acquire) > 0) {
        bool relayed;
        {
            CondSection hold(state);
            auto waiting = pendingCalls.find(r.id);
            relayed = waiting != pendingCalls.end() && waiting->second == kRelayedReply;
        }
        if (relayed) {
            DelayedEvent* e = DelayedEvent::lockById(r.id);
            if (e == nullptr) return;
            log(_debug_netclient, LOG_DEBUG, 0, 0,
                "NetClientSPI %s: Received %d, id = %lld, orig id: %lld, forwarding proxy reply", name, r.code, r.id,
                e->originalId);
            if (!e->isDone()) {
                Message* forward = new Message(r.code);
                forward->writeInt64(e->originalId);
                forward->appendProxy(m);
                e->setValue(forward);
            }
            e->release();
            return;
        }
    }

    int rv = DirProtocol::readReplyBody(m, &r);
    // A reply that does not decode fails its waiting call below; anything
    // else has nobody to tell, so it is logged and dropped.
    auto dropUnreadable = [&] {
        log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: unreadable %s dropped", name,
            DirProtocol::name(r.code));
    };
    // Listener news for a listener not opened on this connection. The
    // protocol has no way to close a listener at the peer: one removed here
    // goes on being fed, which is no news.
    auto dropForeignListener = [&](long long listenerId) {
        bool live = listenerId == static_cast<int>(listenerId) && Directory::hasListener(static_cast<int>(listenerId));
        if (live)
            log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: %s for listener %lld, not opened here, dropped",
                name, DirProtocol::name(r.code), listenerId);
        else
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: %s for listener %lld, which nothing waits for, dropped",
                name, DirProtocol::name(r.code), listenerId);
    };
    if (answersACall(r.code)) {
        bool final = r.code != DirProtocol::M_SEARCH_PARTIAL_REPLY || rv != 0 || r.last;
        if (!takesReply(r.id, r.code, final)) return;
    }
    if (r.code == DirProtocol::M_EXECUTE_REPLY || r.code == DirProtocol::M_EXEC_ERROR_REPLY ||
        r.code == DirProtocol::M_EXECUTE_UPDATE) {
        // News of an execute comes only from the peer it was sent to.
        bool sent;
        {
            CondSection hold(state);
            sent = r.code == DirProtocol::M_EXECUTE_UPDATE ? execIds.contains(r.id) : execIds.erase(r.id);
        }
        if (!sent) {
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: %s for id %lld, which nothing waits for, dropped",
                name, DirProtocol::name(r.code), r.id);
            return;
        }
    }
    switch (r.code) {
        case DirProtocol::M_RESOLVE_REPLY:
            deliver(r.id, rv == 0 ? r.object : nullptr, rv == 0 ? 0 : DirError::E_PROTOCOL, dropAs<DirectoryObject>);
            if (rv == 0) r.object = nullptr;
            return;
        case DirProtocol::M_GET_ATTRIBUTES_REPLY:
            deliver(r.id, rv == 0 ? r.object : nullptr, rv == 0 ? 0 : DirError::E_PROTOCOL, dropAs<Attributes>);
            if (rv == 0) r.object = nullptr;
            return;
        case DirProtocol::M_GET_ACL:
            deliver(r.id, rv == 0 ? r.object : nullptr, rv == 0 ? 0 : DirError::E_PROTOCOL, dropAs<Acl>);
            if (rv == 0) r.object = nullptr;
            return;
        case DirProtocol::M_LIST_REPLY:
            deliver(r.id, rv == 0 ? r.object : nullptr, rv == 0 ? 0 : DirError::E_PROTOCOL, dropAs<ClassEnumeration>);
            if (rv == 0) r.object = nullptr;
            return;
        case DirProtocol::M_ERROR_REPLY: {
            DelayedEvent* e = DelayedEvent::lockById(r.id);
            if (e == nullptr) return;
            // An error reply must carry an error: one without a readable
            // code, or with 0, is the peer's protocol error.
            if (rv == 0 && r.error != 0)
                e->setError(r.error);
            else
                e->setError("Protocol Error", DirError::E_PROTOCOL);
            e->release();
            return;
        }
        case DirProtocol::M_SEARCH_REPLY:
            deliver(r.id, rv == 0 ? r.entries : nullptr, rv == 0 ? 0 : DirError::E_PROTOCOL,
                    dropAs<DirectoryEnumeration>);
            if (rv == 0) r.entries = nullptr;
            return;
        case DirProtocol::M_SEARCH_PARTIAL_REPLY: {
            DelayedEvent* e = DelayedEvent::lockById(r.id);
            if (e == nullptr) {
                log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: no prior search context. Search fails", name);
                return;
            }
            // A search that already ended (failed on a bound, say) takes no
            // more parts and asks for none.
            if (e->isDone()) {
                e->release();
                return;
            }
            GatheredSearch* whole = static_cast<GatheredSearch*>(e->partialResult);
            if (whole == nullptr) {
                whole = new GatheredSearch();
                whole->firstPartAt = monotonicMs();
            }
            e->partialResult = nullptr;
            int arrived = r.entries != nullptr ? r.entries->size() : 0;
            int bound = _maxSearchEntries.load();
            bool tooMany = rv == 0 && arrived > bound - whole->size();
            long long age = monotonicMs() - whole->firstPartAt;
            bool tooLong = rv == 0 && !tooMany && !r.last &&
                           age > static_cast<long long>(kSearchPeriods) * _netclient_timeout.load();
            if (rv == 0 && !tooMany && r.entries != nullptr) {
                for (DirectoryEnumeration::EnumEntry* x = r.entries->head; x != nullptr; x = x->next) {
                    whole->append(x->name, x->attributes, x->acl);
                    x->name = nullptr;
                    x->attributes = nullptr;
                    x->acl = nullptr;
                }
            }
            if (rv != 0) {
                delete whole;
                e->setError("Protocol Error", DirError::E_PROTOCOL);
            } else if (tooMany) {
                log(_debug_netclient, LOG_WARNING, 0, 0,
                    "NetClientSPI %s: search %lld: more than %d entries, search fails", name, r.id, bound);
                delete whole;
                e->setError(DirError::E_NO_RESOURCE);
            } else if (tooLong) {
                log(_debug_netclient, LOG_WARNING, 0, 0,
                    "NetClientSPI %s: search %lld: parts still coming after %lld ms, search fails", name, r.id, age);
                delete whole;
                e->setError(DirError::E_TIMEOUT);
            } else if (!r.last) {
                e->partialResult = whole;
                log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: sending ACK for partial reply", name);
                sendMessage(DirProtocol::searchPartialOk(masqAsset(), r.id));
                e->moreTime();
            } else {
                e->setValue(whole);
            }
            e->release();
            return;
        }
        case DirProtocol::M_WRITE_REMOTE_FILE_REPLY:
            // Its arrival is the answer openForWrite waits for.
            deliver(r.id, nullptr, 0, nullptr);
            return;
        case DirProtocol::M_READ_REMOTE_FILE_REPLY: {
            if (rv != 0) {
                deliver(r.id, nullptr, DirError::E_PROTOCOL, dropAs<Input>);
                return;
            }
            // Made before the registry lock is taken: it creates a file.
            Input* input = new Input(-1, NetClientCleanupHandler, nullptr);
            // The size is announced as the file's data messages announce
            // it; an empty file ends here.
            input->appendData(nullptr, r.size > 0 ? r.size : 0, 0);
            {
                CriticalSection hold(_inputListLock);
                _inputList.emplace(r.id, input);
            }
            DelayedEvent* e = DelayedEvent::lockById(r.id);
            if (e == nullptr) {
                delete input;  // its clean-up takes it off the list
                return;
            }
            e->setValue(input);
            e->release();
            return;
        }
        case DirProtocol::M_READ_REMOTE_FILE_DATA: {
            if (rv != 0 || r.byteCount > static_cast<uint32_t>(INT_MAX)) return dropUnreadable();
            // The int64 is the sender's total size, as Input::appendData
            // takes it: below 1 it ends the file.
            CriticalSection hold(_inputListLock);
            auto range = _inputList.equal_range(r.id);
            for (auto it = range.first; it != range.second; ++it)
                it->second->appendData(r.bytes, r.size, static_cast<int>(r.byteCount));
            return;
        }
        case DirProtocol::M_EXECUTE_REPLY:
            if (rv == 0 && r.object != nullptr) {
                // A failure must say what failed: without a code a caller
                // that retries until it gets one would never stop.
                auto* fr = static_cast<FutureResult*>(r.object);
                if (fr->failed && fr->error == 0) fr->error = DirError::E_PROTOCOL;
                Directory::executeComplete(r.id, fr);
                r.object = nullptr;
            } else {
                Directory::executeComplete(r.id, DirError::E_PROTOCOL);
            }
            return;
        case DirProtocol::M_EXEC_ERROR_REPLY:
            Directory::executeComplete(r.id, rv == 0 && r.error != 0 ? r.error : DirError::E_PROTOCOL);
            return;
        case DirProtocol::M_EXECUTE_UPDATE:
            if (rv != 0 || r.object == nullptr) return dropUnreadable();
            Directory::executeUpdated(r.id, static_cast<ExecuteUpdate*>(r.object));
            r.object = nullptr;
            return;
        case DirProtocol::M_OPEN_LISTENER_REPLY:
            if (r.id != static_cast<int>(r.id) || !listensFor(static_cast<int>(r.id))) return dropForeignListener(r.id);
            Directory::listenComplete(static_cast<int>(r.id), this);
            return;
        case DirProtocol::M_LISTENER_UPDATE:
            if (rv != 0) {
                log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: M_LISTENER_UPDATE, protocol error in update",
                    name);
                return;
            }
            if (!listensFor(r.listenerId)) return dropForeignListener(r.listenerId);
            Directory::processDirectoryUpdate(r.listenerId, r.kind, r.updateEntries[0], r.updateAttributes[0],
                                              r.updateAcls[0]);
            return;
        case DirProtocol::M_LISTENER_UPDATE2:
            if (rv != 0 || r.updateEntries == nullptr) {
                log(_debug_netclient, LOG_WARNING, 0, 0,
                    "NetClientSPI %s: M_LISTENER_UPDATE2, protocol error in update", name);
                return;
            }
            if (!listensFor(r.listenerId)) return dropForeignListener(r.listenerId);
            for (int i = 0; i < r.failedTriples; i++)
                log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: M_LISTENER_UPDATE2, failed to connect", name);
            for (int i = 0; i < r.count; i++)
                Directory::processDirectoryUpdate(r.listenerId, r.kind, r.updateEntries[i], r.updateAttributes[i],
                                                  r.updateAcls[i]);
            return;
        case DirProtocol::M_DOMAIN_ATTRIBUTES: {
            // Unreadable attributes still complete the connect: they only
            // refine what the provider knows of its peer (its file-transfer
            // port), and every other call can be served.
            if (rv != 0) {
                dropUnreadable();
                delete r.object;
                r.object = nullptr;
            }
            char* text = r.object != nullptr ? r.object->toString(nullptr) : nullptr;
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: got domain attributes: %s", name,
                text != nullptr ? text : "NULL");
            free(text);
            bool complete;
            {
                CondSection hold(state);
                complete = domainAttributesPending && connection == c;
                Attributes* a = static_cast<Attributes*>(r.object);
                r.object = nullptr;
                // Only the answer to this connection's own question is
                // taken: attributes a peer sends unasked would reroute file
                // transfers to wherever it liked.
                if (!complete) {
                    delete a;
                    a = nullptr;
                } else {
                    domainAttributesPending = false;
                }
                if (a != nullptr) {
                    const char* ft = a->getStringAttribute("ftPort");
                    if (ft != nullptr) {
                        free(ftPort);
                        ftPort = strdup(ft);
                    }
                    delete domainAttributes;
                    domainAttributes = a;
                }
            }
            if (complete) completeConnect(c);
            return;
        }
        case DirProtocol::M_SET_AGENT_ATTRIBUTES: {
            if (rv != 0) return dropUnreadable();
            char* text = r.object != nullptr ? r.object->toString(nullptr) : nullptr;
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: agentAttributes: %s", name,
                text != nullptr ? text : "NULL");
            free(text);
            CondSection hold(state);
            delete agentAttributes;
            agentAttributes = static_cast<Attributes*>(r.object);
            r.object = nullptr;
            return;
        }
        case DirProtocol::M_MARK_START_ALERT_SYNC:
        case DirProtocol::M_MARK_END_ALERT_SYNC:
        case DirProtocol::M_ALERT_UPDATE:
        case DirProtocol::M_ALERT_UPDATE2:
        case DirProtocol::M_ALERT_CLEAR: {
            if (rv != 0) return dropUnreadable();
            auto work = std::make_shared<AlertWork>();
            if (r.object != nullptr) work->alerts.push_back(r.object);
            r.object = nullptr;
            for (int i = 0; i < r.count && r.alerts != nullptr; i++) work->alerts.push_back(r.alerts[i]);
            r.count = 0;
            work->alertId = r.strings[0];
            r.strings[0] = nullptr;
            int code = r.code;
            netclient::runFor(serial, [code, work](NetClientSPI* spi) {
                spi->handleAlertMessage(code, work->alerts, work->alertId);
                work->alerts.clear();
            });
            return;
        }
        case DirProtocol::M_EVENT_DISPATCH: {
            if (rv != 0 || r.object == nullptr) return dropUnreadable();
            DrvEvent* ev = static_cast<DrvEvent*>(r.object);
            // The event's id, type and source name it for the sender.
            sendMessage(DirProtocol::eventAck(ev->id, ev->eventType, ev->source));
            if (eventDispatcher != nullptr) {
                r.object = nullptr;
                eventDispatcher(ev);
            }
            return;
        }
        case DirProtocol::M_STATS_UPLOAD:
            if (rv != 0) return dropUnreadable();
            if (statDispatcher != nullptr) {
                Translatable* f = r.object;
                r.object = nullptr;
                statDispatcher(r.strings[0], r.strings[1], f);
            }
            return;
        case DirProtocol::M_CI_UPDATE: {
            if (rv != 0 || r.object == nullptr) return dropUnreadable();
            CiUpdate* u = static_cast<CiUpdate*>(r.object);
            sendMessage(DirProtocol::ciAck(u->assetId, u->source, u->collectedAt));
            return;
        }
        case DirProtocol::M_GET_SECURITYOBJECT: {
            if (rv != 0) return dropUnreadable();
            if (asset == nullptr) return;
            Translatable* so = _authHelper != nullptr ? _authHelper(asset->id, r.number, r.strings[0], r.strings[1])
                                                      : nullptr;
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: reply M_GET_SECURITYOBJECT_REPLY, so = %p", name,
                static_cast<void*>(so));
            sendMessage(DirProtocol::securityObjectReply(r.id, so != nullptr ? 0 : DirError::E_NOT_IMPLEMENTED, so));
            delete so;
            return;
        }
        case DirProtocol::M_VERIFY_CERT: {
            if (rv != 0) return dropUnreadable();
            bool known = false;
            if (assetMapper != nullptr) {
                char* key = publicKeyOfCertificate(r.bytes, r.byteCount);
                log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: M_VERIFY_CERT: pubkey is: '%s'", name,
                    key != nullptr ? key : "");
                known = key != nullptr && assetMapper->isKnownKey(key);
                if (!known) {
                    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: M_VERIFY_CERT: key was not found", name);
                }
                free(key);
            }
            sendMessage(DirProtocol::verifyCertReply(r.id, known));
            return;
        }
        case DirProtocol::M_UNIQUEIDS: {
            if (rv != 0) return dropUnreadable();
            CondSection hold(idBlock);
            instanceId = r.size;
            for (int i = 0; i < DirProtocol::kUniqueIdBatch; i++) {
                bool arrived = i < r.count;
                ids[i] = arrived ? r.uniqueIds->ids[i] : 0;
                free(miniGuids[i]);
                miniGuids[i] = arrived ? r.uniqueIds->miniGuids[i] : nullptr;
                if (arrived) r.uniqueIds->miniGuids[i] = nullptr;
            }
            batchCount = r.count;
            idIndex = 0;
            miniGuidIndex = 0;
            idRequestOutstanding = false;
            idsArrived = true;
            batchesReceived++;
            idBlock.broadcast();
            return;
        }
        case DirProtocol::M_MQ_SEND:
            if (rv != 0) return dropUnreadable();
            if (_dispatchMQ != nullptr) _dispatchMQ(r.mq[0], r.mq[1], r.bytes, r.byteCount);
            return;
        default:
            return;  // codes a provider does not handle are ignored
    }
}

void NetClientSPI::handleAlertMessage(int code, std::vector<Translatable*>& alerts, const char* alertId) {
    std::vector<AlertListener*> tell;
    ManagedConnectionListener* managed;
    {
        CriticalSection hold(listenersLock);
        tell = alertListeners;
        managed = managedListener;
    }
    const char* id = getAssetId();
    switch (code) {
        case DirProtocol::M_MARK_START_ALERT_SYNC:
            if (managed != nullptr) managed->syncStarted(id);
            for (AlertListener* l : tell) l->startSync();
            return;
        case DirProtocol::M_MARK_END_ALERT_SYNC:
            if (managed != nullptr) {
                // Told with the agent's address, as at its connect.
                std::string peer;
                bool known = false;
                {
                    CondSection hold(state);
                    if (connection != nullptr && connection->getPeerAddress() != nullptr) {
                        peer = connection->getPeerAddress();
                        known = true;
                    }
                }
                managed->agentConnected(asset != nullptr ? asset->name : nullptr, id, known ? peer.c_str() : nullptr);
            }
            for (AlertListener* l : tell) l->endSync();
            return;
        case DirProtocol::M_ALERT_CLEAR:
            if (managed != nullptr) managed->alertCleared(id, alertId);
            for (AlertListener* l : tell) l->alertClear(alertId);
            return;
        default:
            break;
    }
    for (Translatable*& alert : alerts) {
        if (managed != nullptr) managed->alertUpdated(id, alert);
        // Each listener gets its own copy; the last one the received alert.
        for (size_t i = 0; i < tell.size(); i++) {
            if (i + 1 == tell.size()) {
                tell[i]->alertUpdate(alert);
                alert = nullptr;
            } else {
                Translatable* copy = nullptr;
                // Alerts have no copy of their own: through their encoding.
                if (alert->clone(nullptr, &copy) != 0 || copy == nullptr)
                    copy = copyByEncoding(alert->getObjectID(), alert);
                if (copy != nullptr) tell[i]->alertUpdate(copy);
            }
        }
        delete alert;
        alert = nullptr;
    }
}
