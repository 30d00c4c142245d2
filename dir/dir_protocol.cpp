// Builders and readers of the directory messages; the value order of every
// body lives here and nowhere else.
#include "dir/dir_protocol.h"

#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "records/records.h"

namespace {



template <class T>
int readAs(MessageBase* m, unsigned int id, T** out) {
    Translatable* t = nullptr;
    int rv = m->readObject(id, &t);
    *out = static_cast<T*>(t);
    return rv;
}

// Writes one search entry: entry, attributes, ACL.
void writeTriple(Message* m, const DirNameEntry* e, const Attributes* a, const Acl* acl) {
    m->writeObject(OBJ_DIRNAMEENTRY_ID, e);
    m->writeObject(OBJ_ATTRIBUTES_ID, a);
    m->writeObject(OBJ_ACL_ID, acl);
}

Message* withId(int code, long long id) {
    Message* m = new Message(code);
    m->writeInt64(id);
    return m;
}

Message* withObject(int code, unsigned int objectId, const Translatable* obj) {
    Message* m = new Message(code);
    m->writeObject(objectId, obj);
    return m;
}

Message* withStrings(int code, const char* a, const char* b, const char* c, int n) {
    Message* m = new Message(code);
    m->writeString(a);
    m->writeString(b);
    if (n > 2) m->writeString(c);
    return m;
}

}  // namespace

const char* DirProtocol::name(int code) {
    switch (code) {
#define DRV_DIR_CODE_NAME(code, NAME) \
    case code:                        \
        return #NAME;
        DRV_DIR_MESSAGE_CODES(DRV_DIR_CODE_NAME)
#undef DRV_DIR_CODE_NAME
        case M_VERIFY_CERT_REPLY_ALT:
            return "M_VERIFY_CERT_REPLY";
        default:
            log(LOG_WARNING, 0, 0, "Bad message id: %d", code);
            return "BAD-MESSAGE-ID";
    }
}

bool DirProtocol::hasRequestId(int code) {
    switch (code) {
        case M_MARK_START_ALERT_SYNC:
        case M_MARK_END_ALERT_SYNC:
        case M_ALERT_UPDATE:
        case M_ALERT_CLEAR:
        case M_ALERT_UPDATE2:
        case M_DOMAIN_ATTRIBUTES:
        case M_EVENT_DISPATCH:
        case M_STATS_UPLOAD:
        case M_CI_UPDATE:
        case M_SET_AGENT_ATTRIBUTES:
        case M_UNIQUEIDS:
        case M_MQ_SEND:
            return false;
        default:
            return true;
    }
}

int DirProtocol::foldVersion(const char* text) {
    int result = 0;
    int number = 0;
    for (const char* p = text; p != nullptr && *p != '\0'; p++) {
        if (*p >= '0' && *p <= '9') {
            number = number * 10 + (*p - '0');
        } else if (*p == '.') {
            result = result * 100 + number;
            number = 0;
        }
    }
    return result * 100 + number;
}

// ---- requests ------------------------------------------------------------

Message* DirProtocol::beginRequest(int code, const char* masqAsset) {
    if (masqAsset == nullptr) return new Message(code);
    Message* m = new Message(code + kMasqOffset);
    m->writeString(masqAsset);
    return m;
}

int DirProtocol::writeHeader(Message* m, long long id, const Principal* principal, const DirectoryObject* current) {
    m->writeInt64(id);
    m->writeObject(OBJ_PRINCIPAL_ID, principal);
    return m->writeObject(OBJ_DIRECTORYOBJECT_ID, current);
}

Message* DirProtocol::resolveRequest(const char* masqAsset, long long id, const Principal* principal,
                                     const DirectoryObject* current, const DirNameEntry* entry,
                                     const Endpoint* target) {
    Message* m = beginRequest(target != nullptr ? M_RESOLVE_ENDPOINT : M_RESOLVE, masqAsset);
    writeHeader(m, id, principal, current);
    m->writeObject(OBJ_DIRNAMEENTRY_ID, entry);
    if (target != nullptr) m->writeObject(OBJ_ENDPOINT_ID, target);
    return m;
}

Message* DirProtocol::searchRequest(const char* masqAsset, long long id, const Principal* principal,
                                    const DirectoryObject* current, const DirNameEntry* entry, const char* filter,
                                    const Endpoint* target, bool noPartial) {
    int code = target != nullptr ? M_SEARCH_ENDPOINT : noPartial ? M_SEARCH_NO_PARTIAL : M_SEARCH;
    Message* m = beginRequest(code, masqAsset);
    writeHeader(m, id, principal, current);
    m->writeObject(OBJ_DIRNAMEENTRY_ID, entry);
    m->writeString(filter);
    if (target != nullptr) m->writeObject(OBJ_ENDPOINT_ID, target);
    return m;
}

bool DirProtocol::isFastOperation(const char* operation) {
    return operation != nullptr && (strcmp(operation, "eventGetStatus") == 0 || strcmp(operation, "eventRemove") == 0);
}

Message* DirProtocol::executeRequest(const char* masqAsset, long long id, const Principal* principal,
                                     const DirectoryObject* current, const char* operation, Any** args) {
    Message* m = beginRequest(isFastOperation(operation) ? M_EXECUTE_FAST : M_EXECUTE, masqAsset);
    writeHeader(m, id, principal, current);
    m->writeString(operation);
    int n = 0;
    while (args != nullptr && args[n] != nullptr) n++;
    m->writeInt32(n);
    for (int i = 0; i < n; i++) m->writeObject(OBJ_ANY_ID, args[i]);
    return m;
}

Message* DirProtocol::headerOnlyRequest(int code, const char* masqAsset, long long id, const Principal* principal,
                                        const DirectoryObject* current) {
    Message* m = beginRequest(code, masqAsset);
    writeHeader(m, id, principal, current);
    return m;
}

Message* DirProtocol::readRemoteFileRequest(const char* masqAsset, long long id, const Principal* principal,
                                            const DirectoryObject* current, const char* path) {
    Message* m = headerOnlyRequest(M_READ_REMOTE_FILE, masqAsset, id, principal, current);
    m->writeString(path);
    return m;
}

Message* DirProtocol::openListenerRequest(const char* masqAsset, int listenerId, const Principal* principal,
                                          const DirectoryObject* current, const DirNameEntry* filter,
                                          bool version2) {
    Message* m = beginRequest(version2 ? M_OPEN_LISTENER2 : M_OPEN_LISTENER, masqAsset);
    writeHeader(m, listenerId, principal, current);
    m->writeInt32(listenerId);
    m->writeObject(OBJ_DIRNAMEENTRY_ID, filter);
    return m;
}

Message* DirProtocol::initiateAlertViewerSync(const Principal* viewer) {
    return withObject(M_INITIATE_ALERT_VIEWER_SYNC, OBJ_PRINCIPAL_ID, viewer);
}

Message* DirProtocol::initiateAlertServerSync(const char* domain, const char* assetId) {
    return withStrings(M_INITIATE_ALERT_SERVER_SYNC, domain, assetId, nullptr, 2);
}

Message* DirProtocol::domainAttributesRequest() {
    Message* m = new Message(M_DOMAIN_ATTRIBUTES);
    m->writeInt32(kVersion);
    return m;
}

Message* DirProtocol::updateRuleSets(const char* domain, const char* assetId, int count, Translatable** ruleSets) {
    Message* m = withStrings(M_UPDATE_RULESETS, domain, assetId, nullptr, 2);
    m->writeInt32(count);
    for (int i = 0; i < count; i++) m->writeObject(OBJ_RULESET_ID, ruleSets[i]);
    return m;
}

Message* DirProtocol::notifyUnmanaged(const char* domain, const char* assetId) {
    return withStrings(M_NOTIFY_UNMANAGED, domain, assetId, nullptr, 2);
}

Message* DirProtocol::searchPartialOk(const char* masqAsset, long long searchId) {
    Message* m = beginRequest(M_SEARCH_PARTIAL_REPLY_OK, masqAsset);
    m->writeInt64(searchId);
    return m;
}

Message* DirProtocol::getUniqueIds(int count) {
    Message* m = new Message(M_GETUNIQUEIDS);
    m->writeInt32(count);
    return m;
}

Message* DirProtocol::mqSend(long long a, long long b, const void* data, uint32_t length) {
    Message* m = new Message(M_MQ_SEND);
    m->writeInt64(a);
    m->writeInt64(b);
    m->writeBytes(data, length);
    return m;
}

Message* DirProtocol::eventAck(const char* a, const char* b, const char* c) {
    return withStrings(M_EVENT_ACK, a, b, c, 3);
}

Message* DirProtocol::ciAck(const char* a, const char* b, const char* c) { return withStrings(M_CI_ACK, a, b, c, 3); }

Message* DirProtocol::securityObjectReply(long long id, int result, const Translatable* securityObject) {
    Message* m = withId(M_GET_SECURITYOBJECT_REPLY, id);
    m->writeInt32(result);
    if (result == 0) m->writeObject(OBJ_SECURITYOBJECT_ID, securityObject);
    return m;
}

Message* DirProtocol::verifyCertReply(long long id, bool known) {
    Message* m = withId(M_VERIFY_CERT_REPLY, id);
    m->writeInt32(known ? 1 : 0);
    return m;
}

// ---- replies -------------------------------------------------------------

Message* DirProtocol::resolveReply(long long id, const DirectoryObject* object) {
    Message* m = withId(M_RESOLVE_REPLY, id);
    m->writeObject(OBJ_DIRECTORYOBJECT_ID, object);
    return m;
}

Message* DirProtocol::errorReply(long long id, int error) {
    Message* m = withId(M_ERROR_REPLY, id);
    m->writeInt32(error);
    return m;
}

Message* DirProtocol::attributesReply(long long id, const Attributes* attributes) {
    Message* m = withId(M_GET_ATTRIBUTES_REPLY, id);
    m->writeObject(OBJ_ATTRIBUTES_ID, attributes);
    return m;
}

Message* DirProtocol::aclReply(long long id, const Acl* acl) {
    Message* m = withId(M_GET_ACL, id);
    m->writeObject(OBJ_ACL_ID, acl);
    return m;
}

Message* DirProtocol::listReply(long long id, const ClassEnumeration* classes) {
    Message* m = withId(M_LIST_REPLY, id);
    m->writeObject(OBJ_CLASSENUMERATION_ID, classes);
    return m;
}

Message* DirProtocol::searchReply(long long id, const DirectoryEnumeration* result) {
    Message* m = withId(M_SEARCH_REPLY, id);
    const DirectoryEnumeration::EnumEntry* e = result != nullptr ? result->head : nullptr;
    m->writeBool(e != nullptr);
    for (; e != nullptr; e = e->next) {
        writeTriple(m, e->name, e->attributes, e->acl);
        m->writeBool(e->next != nullptr);
    }
    return m;
}

Message* DirProtocol::searchPartialReply(long long id, const DirectoryEnumeration* result, int first, int count,
                                         bool last) {
    Message* m = withId(M_SEARCH_PARTIAL_REPLY, id);
    const DirectoryEnumeration::EnumEntry* e = result != nullptr ? result->head : nullptr;
    for (int i = 0; i < first && e != nullptr; i++) e = e->next;
    bool any = e != nullptr && count > 0;
    m->writeBool(any);
    m->writeBool(last);
    for (int i = 0; any && i < count && e != nullptr; i++, e = e->next) {
        writeTriple(m, e->name, e->attributes, e->acl);
        m->writeBool(i + 1 < count && e->next != nullptr);
        m->writeBool(last);
    }
    return m;
}

Message* DirProtocol::executeReply(long long id, const FutureResult* result) {
    Message* m = withId(M_EXECUTE_REPLY, id);
    m->writeObject(OBJ_FUTURERESULT_ID, result);
    return m;
}

Message* DirProtocol::execErrorReply(long long id, int error) {
    Message* m = withId(M_EXEC_ERROR_REPLY, id);
    m->writeInt32(error);
    return m;
}

Message* DirProtocol::executeUpdate(long long id, const ExecuteUpdate* update) {
    Message* m = withId(M_EXECUTE_UPDATE, id);
    m->writeObject(OBJ_EXECUTEUPDATE_ID, update);
    return m;
}

Message* DirProtocol::openListenerReply(int listenerId) { return withId(M_OPEN_LISTENER_REPLY, listenerId); }

Message* DirProtocol::listenerUpdate(int listenerId, int kind, const DirNameEntry* entry,
                                     const Attributes* attributes, const Acl* acl) {
    Message* m = withId(M_LISTENER_UPDATE, 0);
    m->writeInt32(listenerId);
    m->writeInt32(kind);
    writeTriple(m, entry, attributes, acl);
    return m;
}

Message* DirProtocol::listenerUpdate2(int listenerId, int kind, int count, DirNameEntry* const* entries,
                                      Attributes* const* attributes, Acl* const* acls) {
    Message* m = withId(M_LISTENER_UPDATE2, 0);
    m->writeInt32(listenerId);
    m->writeInt32(kind);
    m->writeInt32(count);
    for (int i = 0; i < count; i++)
        writeTriple(m, entries[i], attributes != nullptr ? attributes[i] : nullptr, acls != nullptr ? acls[i] : nullptr);
    return m;
}

Message* DirProtocol::readRemoteFileReply(long long id, long long size) {
    Message* m = withId(M_READ_REMOTE_FILE_REPLY, id);
    m->writeInt64(size);
    return m;
}

Message* DirProtocol::readRemoteFileData(long long id, long long total, const void* data, uint32_t length) {
    Message* m = withId(M_READ_REMOTE_FILE_DATA, id);
    m->writeInt64(total);
    m->writeBytes(data, length);
    return m;
}

Message* DirProtocol::domainAttributes(const Attributes* attributes) {
    return withObject(M_DOMAIN_ATTRIBUTES, OBJ_ATTRIBUTES_ID, attributes);
}

Message* DirProtocol::setAgentAttributes(const Attributes* attributes) {
    return withObject(M_SET_AGENT_ATTRIBUTES, OBJ_ATTRIBUTES_ID, attributes);
}

Message* DirProtocol::markAlertSync(bool start) {
    Message* m = new Message(start ? M_MARK_START_ALERT_SYNC : M_MARK_END_ALERT_SYNC);
    m->writeInt32(0);
    return m;
}

Message* DirProtocol::alertUpdate(const Translatable* alert) {
    return withObject(M_ALERT_UPDATE, OBJ_ALERT_ID, alert);
}

Message* DirProtocol::alertUpdate2(int count, Translatable* const* alerts) {
    Message* m = new Message(M_ALERT_UPDATE2);
    for (int i = 0; i < count; i++) {
        m->writeCmd(M_ALERT_UPDATE);
        m->writeObject(OBJ_ALERT_ID, alerts[i]);
    }
    return m;
}

Message* DirProtocol::alertClear(const char* alertId) {
    Message* m = new Message(M_ALERT_CLEAR);
    m->writeString(alertId);
    return m;
}

Message* DirProtocol::eventDispatch(const Translatable* event) {
    return withObject(M_EVENT_DISPATCH, OBJ_DRVEVENT_ID, event);
}

Message* DirProtocol::statsUpload(const char* a, const char* b, const Translatable* statsFile) {
    Message* m = withStrings(M_STATS_UPLOAD, a, b, nullptr, 2);
    m->writeObject(OBJ_STATSFILE_ID, statsFile);
    return m;
}

Message* DirProtocol::ciUpdate(const Translatable* update) {
    return withObject(M_CI_UPDATE, OBJ_CIUPDATE_ID, update);
}

Message* DirProtocol::getSecurityObject(long long id, int kind, const char* a, const char* b) {
    Message* m = withId(M_GET_SECURITYOBJECT, id);
    m->writeInt32(kind);
    m->writeString(a);
    m->writeString(b);
    return m;
}

Message* DirProtocol::verifyCert(long long id, const char* pem) {
    Message* m = withId(M_VERIFY_CERT, id);
    m->writeBytes(pem, pem != nullptr ? static_cast<uint32_t>(strlen(pem)) : 0);
    return m;
}

Message* DirProtocol::uniqueIds(long long instanceId, int count, const long long* ids,
                                const char* const* miniGuids) {
    Message* m = new Message(M_UNIQUEIDS);
    m->writeInt64(instanceId);
    m->writeInt32(count);
    for (int i = 0; i < count; i++) m->writeInt64(ids[i]);
    for (int i = 0; i < count; i++) m->writeString(miniGuids[i]);
    return m;
}

// ---- login and enrolment -------------------------------------------------

Message* DirProtocol::loginCredential(const char* user, const char* publicKeyPem, const Translatable* credential) {
    Message* m = new Message(LOGIN_CREDENTIAL);
    m->writeString(user);
    m->writeString(publicKeyPem);
    m->writeObject(OBJ_SECURITYOBJECT_ID, credential);
    m->writeInt32(kCompatibleVersion);
    return m;
}

Message* DirProtocol::loginPassword(const char* user, const char* secret) {
    return withStrings(LOGIN_PASSWORD, user, secret, nullptr, 2);
}

Message* DirProtocol::loginSsh(const char* user, const unsigned char* block, const char* hostName,
                               const char* hostKeyLine) {
    Message* m = new Message(LOGIN_SSH);
    m->writeInt32(1);
    m->writeString(user);
    m->writeBytes(block, kSshBlockSize);
    m->writeString(hostName);
    m->writeString(hostKeyLine);
    return m;
}

Message* DirProtocol::loginReply(int code, int result, const char* certificatePem) {
    Message* m = new Message(code);
    m->writeInt32(result);
    if (result == 0 && certificatePem != nullptr)
        m->writeBytes(certificatePem, static_cast<uint32_t>(strlen(certificatePem)));
    return m;
}

Message* DirProtocol::domainAdd(const char* login, const char* second) {
    return withStrings(DOMAIN_ADD, login, second, nullptr, 2);
}

Message* DirProtocol::domainRemove(const char* a, const char* b) { return withStrings(DOMAIN_REMOVE, a, b, nullptr, 2); }

Message* DirProtocol::domainUpgrade(const char* oldPem, const char* newPem) {
    return withStrings(DOMAIN_UPGRADE, oldPem, newPem, nullptr, 2);
}

Message* DirProtocol::domainIdentify(int kind, const char* domain, const char* asset, const char* const more[4],
                                     const char* groups, const char* agentId, const char* certPem) {
    Message* m = new Message(DOMAIN_IDENTIFY);
    m->writeInt32(kind);
    m->writeString(domain);
    m->writeString(asset);
    for (int i = 0; i < 4; i++) m->writeString(more != nullptr ? more[i] : nullptr);
    m->writeString(groups);
    m->writeString(agentId);
    m->writeBytes(certPem, certPem != nullptr ? static_cast<uint32_t>(strlen(certPem)) : 0);
    return m;
}

Message* DirProtocol::domainReply(int code, int result, const char* text) {
    Message* m = new Message(code);
    m->writeInt32(result);
    m->writeString(text);
    return m;
}

Message* DirProtocol::domainCertPush(int code, const char* certPem) {
    Message* m = new Message(code);
    m->writeInt32(kDomainCertPush);
    m->writeBytes(certPem, certPem != nullptr ? static_cast<uint32_t>(strlen(certPem)) : 0);
    return m;
}
