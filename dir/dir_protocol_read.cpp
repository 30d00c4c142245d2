// Readers of the directory messages: a request as the serving side sees it,
// a reply or unsolicited message as a provider sees it, and the login and
// enrolment requests. Every reader stops at the first value that does not
// decode and returns the message's error; nothing it read is lost (the
// structs own and free it).
#include <stdlib.h>
#include <string.h>

#include "dir/asset.h"
#include "dir/dir_protocol.h"
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


// Bounds on counts read from the wire, so that a hostile count cannot make
// us allocate without end; a real message never comes near them.
const int kMaxArgs = 4096;
const int kMaxItems = 1 << 20;
// The least an encoded object (a null is its tag alone) and an int64 take.
const size_t kObjectBytes = 1;
const size_t kInt64Bytes = 8;

template <class T>
int readAs(MessageBase* m, unsigned int id, T** out) {
    Translatable* t = nullptr;
    int rv = m->readObject(id, &t);
    *out = static_cast<T*>(t);
    return rv;
}

int readTriple(MessageBase* m, DirNameEntry** e, Attributes** a, Acl** acl) {
    *e = nullptr;
    *a = nullptr;
    *acl = nullptr;
    int rv = readAs(m, OBJ_DIRNAMEENTRY_ID, e);
    if (rv == 0) rv = readAs(m, OBJ_ATTRIBUTES_ID, a);
    if (rv == 0) rv = readAs(m, OBJ_ACL_ID, acl);
    if (rv != 0) {
        delete *e;
        delete *a;
        delete *acl;
        *e = nullptr;
        *a = nullptr;
        *acl = nullptr;
    }
    return rv;
}

int readHeader(MessageBase* m, DirProtocol::Request* r) {
    int64_t id = 0;
    int rv = m->readInt64(&id);
    r->id = id;
    if (rv == 0) rv = readAs(m, OBJ_PRINCIPAL_ID, &r->principal);
    if (rv == 0) rv = readAs(m, OBJ_DIRECTORYOBJECT_ID, &r->current);
    return rv;
}

// A count of items that each take at least itemBytes on the wire: one the
// rest of the message could not hold is refused before anything is sized
// by it, so a short message cannot ask for a large allocation.
int readCount(MessageBase* m, int* n, int max, size_t itemBytes) {
    int32_t v = 0;
    int rv = m->readInt32(&v);
    if (rv != 0) return rv;
    if (v < 0 || v > max || static_cast<size_t>(v) > m->unreadBytes() / itemBytes)
        return m->setError(MSG_E_INCOMPLETE);
    *n = v;
    return 0;
}

}  // namespace

DirProtocol::Request::Request()
    : code(0),
      masqAsset(nullptr),
      id(0),
      principal(nullptr),
      current(nullptr),
      entry(nullptr),
      target(nullptr),
      filter(nullptr),
      operation(nullptr),
      args(nullptr),
      argCount(0),
      listenerId(0),
      path(nullptr),
      number(0),
      strings{nullptr, nullptr, nullptr},
      object(nullptr),
      ruleSetCount(0),
      ruleSets(nullptr),
      mq{0, 0},
      bytes(nullptr),
      byteCount(0),
      result(0) {}

DirProtocol::Request::~Request() {
    free(masqAsset);
    delete principal;
    delete current;
    delete entry;
    delete target;
    free(filter);
    free(operation);
    if (args != nullptr)
        for (int i = 0; i < argCount; i++) delete args[i];
    free(args);
    free(path);
    for (char* s : strings) free(s);
    delete object;
    if (ruleSets != nullptr)
        for (int i = 0; i < ruleSetCount; i++) delete ruleSets[i];
    free(ruleSets);
    free(bytes);
}

int DirProtocol::readMasq(Message* m, int* code, char** masqAsset) {
    int type = static_cast<int>(m->getType());
    *masqAsset = nullptr;
    if (type > kMasqOffset) {
        *code = type - kMasqOffset;
        return m->readString(masqAsset);
    }
    *code = type;
    return 0;
}

int DirProtocol::readRequest(Message* m, Request* r) {
    int rv = readMasq(m, &r->code, &r->masqAsset);
    if (rv != 0) return rv;
    switch (r->code) {
        case M_RESOLVE:
        case M_RESOLVE_ENDPOINT:
            rv = readHeader(m, r);
            if (rv == 0) rv = readAs(m, OBJ_DIRNAMEENTRY_ID, &r->entry);
            if (rv == 0 && r->code == M_RESOLVE_ENDPOINT) rv = readAs(m, OBJ_ENDPOINT_ID, &r->target);
            return rv;
        case M_SEARCH:
        case M_SEARCH_ENDPOINT:
        case M_SEARCH_NO_PARTIAL:
            rv = readHeader(m, r);
            if (rv == 0) rv = readAs(m, OBJ_DIRNAMEENTRY_ID, &r->entry);
            if (rv == 0) rv = m->readString(&r->filter);
            if (rv == 0 && r->code == M_SEARCH_ENDPOINT) rv = readAs(m, OBJ_ENDPOINT_ID, &r->target);
            return rv;
        case M_EXECUTE:
        case M_EXECUTE_FAST: {
            rv = readHeader(m, r);
            if (rv == 0) rv = m->readString(&r->operation);
            int n = 0;
            if (rv == 0) rv = readCount(m, &n, kMaxArgs, kObjectBytes);
            if (rv != 0) return rv;
            r->args = static_cast<Any**>(calloc(static_cast<size_t>(n) + 1, sizeof(Any*)));
            for (int i = 0; i < n && rv == 0; i++) {
                rv = readAs(m, OBJ_ANY_ID, &r->args[i]);
                if (rv == 0 && r->args[i] == nullptr) r->args[i] = new Any();
                if (rv == 0) r->argCount = i + 1;
            }
            return rv;
        }
        case M_GET_ATTRIBUTES:
        case M_GET_ACL:
        case M_LIST:
        case M_WRITE_REMOTE_FILE:
            return readHeader(m, r);
        case M_READ_REMOTE_FILE:
            rv = readHeader(m, r);
            if (rv == 0) rv = m->readString(&r->path);
            return rv;
        case M_OPEN_LISTENER:
        case M_OPEN_LISTENER2: {
            rv = readHeader(m, r);
            int32_t lid = 0;
            if (rv == 0) rv = m->readInt32(&lid);
            r->listenerId = lid;
            if (rv == 0) rv = readAs(m, OBJ_DIRNAMEENTRY_ID, &r->entry);
            return rv;
        }
        case M_INITIATE_ALERT_VIEWER_SYNC:
            return m->readObject(OBJ_PRINCIPAL_ID, &r->object);
        case M_INITIATE_ALERT_SERVER_SYNC:
        case M_NOTIFY_UNMANAGED:
            rv = m->readString(&r->strings[0]);
            if (rv == 0) rv = m->readString(&r->strings[1]);
            return rv;
        case M_EVENT_ACK:
        case M_CI_ACK:
            for (int i = 0; i < 3 && rv == 0; i++) rv = m->readString(&r->strings[i]);
            return rv;
        case M_DOMAIN_ATTRIBUTES:
        case M_GETUNIQUEIDS: {
            int32_t v = 0;
            rv = m->readInt32(&v);
            r->number = v;
            return rv;
        }
        case M_UPDATE_RULESETS: {
            rv = m->readString(&r->strings[0]);
            if (rv == 0) rv = m->readString(&r->strings[1]);
            int n = 0;
            if (rv == 0) rv = readCount(m, &n, kMaxItems, kObjectBytes);
            if (rv != 0) return rv;
            r->ruleSets = static_cast<Translatable**>(calloc(static_cast<size_t>(n) + 1, sizeof(Translatable*)));
            for (int i = 0; i < n && rv == 0; i++) {
                rv = m->readObject(OBJ_RULESET_ID, &r->ruleSets[i]);
                if (rv == 0) r->ruleSetCount = i + 1;
            }
            return rv;
        }
        case M_SEARCH_PARTIAL_REPLY_OK: {
            int64_t id = 0;
            rv = m->readInt64(&id);
            r->id = id;
            return rv;
        }
        case M_MQ_SEND: {
            int64_t a = 0, b = 0;
            rv = m->readInt64(&a);
            if (rv == 0) rv = m->readInt64(&b);
            r->mq[0] = a;
            r->mq[1] = b;
            if (rv == 0) rv = m->readBytes(&r->bytes, &r->byteCount);
            return rv;
        }
        case M_GET_SECURITYOBJECT_REPLY:
        case M_VERIFY_CERT_REPLY:
        case M_VERIFY_CERT_REPLY_ALT: {
            int64_t id = 0;
            int32_t res = 0;
            rv = m->readInt64(&id);
            r->id = id;
            if (rv == 0) rv = m->readInt32(&res);
            r->result = res;
            if (rv == 0 && r->code == M_GET_SECURITYOBJECT_REPLY && res == 0)
                rv = m->readObject(OBJ_SECURITYOBJECT_ID, &r->object);
            return rv;
        }
        default:
            return m->setError(MSG_E_BAD_TYPE);
    }
}

DirProtocol::Reply::Reply()
    : code(0),
      id(0),
      error(0),
      object(nullptr),
      entries(nullptr),
      any(false),
      last(true),
      listenerId(0),
      kind(0),
      count(0),
      failedTriples(0),
      updateEntries(nullptr),
      updateAttributes(nullptr),
      updateAcls(nullptr),
      alerts(nullptr),
      size(0),
      bytes(nullptr),
      byteCount(0),
      strings{nullptr, nullptr},
      number(0),
      uniqueIds(nullptr),
      mq{0, 0} {}

DirProtocol::Reply::UniqueIds::~UniqueIds() {
    for (char* s : miniGuids) free(s);
}

DirProtocol::Reply::~Reply() {
    delete object;
    delete entries;
    int triples = code == M_LISTENER_UPDATE ? 1 : count;
    for (int i = 0; updateEntries != nullptr && i < triples; i++) {
        delete updateEntries[i];
        delete updateAttributes[i];
        delete updateAcls[i];
    }
    free(updateEntries);
    free(updateAttributes);
    free(updateAcls);
    for (int i = 0; alerts != nullptr && i < count; i++) delete alerts[i];
    free(alerts);
    free(bytes);
    for (char* s : strings) free(s);
    delete uniqueIds;
}

namespace {

// The entries of one search message into r->entries; partial replies carry
// a "last" flag after every "more".
int readSearchEntries(MessageBase* m, DirProtocol::Reply* r, bool partial) {
    int rv = m->readBool(&r->any);
    if (rv == 0 && partial) rv = m->readBool(&r->last);
    if (rv != 0) return rv;
    r->entries = new DirectoryEnumeration();
    bool more = r->any;
    while (more) {
        DirNameEntry* e;
        Attributes* a;
        Acl* acl;
        rv = readTriple(m, &e, &a, &acl);
        if (rv != 0) return rv;
        if (e == nullptr) {
            // Nothing can be done with an entry that names no object.
            delete a;
            delete acl;
            return -1;
        }
        r->entries->append(e, a, acl);
        rv = m->readBool(&more);
        if (rv == 0 && partial) rv = m->readBool(&r->last);
        if (rv != 0) return rv;
    }
    return 0;
}

// Decodes one object taken whole by readOpaqueObject (null bytes: a null
// object). False when it is not an object of the expected id or does not decode.
template <class T>
bool decodeOpaque(const unsigned char* bytes, size_t length, unsigned int id, unsigned int expected, T** out) {
    *out = nullptr;
    if (bytes == nullptr) return true;
    if (id != expected) return false;
    Message one(reinterpret_cast<const char*>(bytes), length);
    Translatable* t = nullptr;
    if (one.readObject(expected, &t) != 0) return false;
    *out = static_cast<T*>(t);
    return true;
}

void allocTriples(DirProtocol::Reply* r, int n) {
    size_t k = static_cast<size_t>(n) + 1;
    r->updateEntries = static_cast<DirNameEntry**>(calloc(k, sizeof(DirNameEntry*)));
    r->updateAttributes = static_cast<Attributes**>(calloc(k, sizeof(Attributes*)));
    r->updateAcls = static_cast<Acl**>(calloc(k, sizeof(Acl*)));
}

}  // namespace

int DirProtocol::readReply(Message* m, Reply* r) {
    r->code = static_cast<int>(m->getType());
    if (hasRequestId(r->code)) {
        int64_t id = 0;
        int rv = m->readInt64(&id);
        r->id = id;
        if (rv != 0) return rv;
    }
    return readReplyBody(m, r);
}

int DirProtocol::readReplyBody(Message* m, Reply* r) {
    int rv = 0;
    switch (r->code) {
        case M_RESOLVE_REPLY:
            return m->readObject(OBJ_DIRECTORYOBJECT_ID, &r->object);
        case M_ERROR_REPLY:
        case M_EXEC_ERROR_REPLY:
        case M_VERIFY_CERT_REPLY:
        case M_VERIFY_CERT_REPLY_ALT: {
            int32_t e = 0;
            rv = m->readInt32(&e);
            r->error = e;
            return rv;
        }
        case M_GET_ATTRIBUTES_REPLY:
        case M_DOMAIN_ATTRIBUTES:
        case M_SET_AGENT_ATTRIBUTES:
            return m->readObject(OBJ_ATTRIBUTES_ID, &r->object);
        case M_GET_ACL:
            return m->readObject(OBJ_ACL_ID, &r->object);
        case M_LIST_REPLY:
            return m->readObject(OBJ_CLASSENUMERATION_ID, &r->object);
        case M_SEARCH_REPLY:
            return readSearchEntries(m, r, false);
        case M_SEARCH_PARTIAL_REPLY:
            return readSearchEntries(m, r, true);
        case M_EXECUTE_REPLY:
            return m->readObject(OBJ_FUTURERESULT_ID, &r->object);
        case M_EXECUTE_UPDATE:
            return m->readObject(OBJ_EXECUTEUPDATE_ID, &r->object);
        case M_OPEN_LISTENER_REPLY:
            r->listenerId = static_cast<int>(r->id);
            return 0;
        case M_LISTENER_UPDATE:
        case M_LISTENER_UPDATE2: {
            int32_t lid = 0, kind = 0;
            rv = m->readInt32(&lid);
            if (rv == 0) rv = m->readInt32(&kind);
            r->listenerId = lid;
            r->kind = kind;
            if (rv != 0) return rv;
            if (r->code == M_LISTENER_UPDATE) {
                allocTriples(r, 1);
                return readTriple(m, &r->updateEntries[0], &r->updateAttributes[0], &r->updateAcls[0]);
            }
            int n = 0;
            rv = readCount(m, &n, kMaxItems, 3 * kObjectBytes);
            if (rv != 0) return rv;
            allocTriples(r, n);
            // Each triple is taken whole first (the object framing tells
            // where it ends), so that one that does not decode is skipped
            // exactly and the others still arrive.
            for (int i = 0; i < n; i++) {
                unsigned char* raw[3] = {nullptr, nullptr, nullptr};
                size_t len[3] = {0, 0, 0};
                unsigned int ids[3] = {0, 0, 0};
                for (int k = 0; k < 3 && rv == 0; k++) rv = m->readOpaqueObject(&ids[k], &raw[k], &len[k]);
                if (rv != 0) {
                    // Nothing tells where this triple ends, so neither it nor
                    // any after it can be read: one failure, and the triples
                    // already read still arrive.
                    for (unsigned char* b : raw) free(b);
                    m->recover();
                    r->failedTriples++;
                    return 0;
                }
                DirNameEntry* e = nullptr;
                Attributes* a = nullptr;
                Acl* acl = nullptr;
                bool ok = decodeOpaque(raw[0], len[0], ids[0], OBJ_DIRNAMEENTRY_ID, &e) &&
                          decodeOpaque(raw[1], len[1], ids[1], OBJ_ATTRIBUTES_ID, &a) &&
                          decodeOpaque(raw[2], len[2], ids[2], OBJ_ACL_ID, &acl);
                for (unsigned char* b : raw) free(b);
                if (!ok) {
                    delete e;
                    delete a;
                    delete acl;
                    r->failedTriples++;
                    continue;
                }
                r->updateEntries[r->count] = e;
                r->updateAttributes[r->count] = a;
                r->updateAcls[r->count] = acl;
                r->count++;
            }
            return 0;
        }
        case M_WRITE_REMOTE_FILE_REPLY:
            // Nothing after the id is read here.
            return 0;
        case M_READ_REMOTE_FILE_REPLY: {
            int64_t v = 0;
            rv = m->readInt64(&v);
            r->size = v;
            return rv;
        }
        case M_READ_REMOTE_FILE_DATA: {
            int64_t v = 0;
            rv = m->readInt64(&v);
            r->size = v;
            if (rv == 0) rv = m->readBytes(&r->bytes, &r->byteCount);
            return rv;
        }
        case M_MARK_START_ALERT_SYNC:
        case M_MARK_END_ALERT_SYNC:
            return 0;
        case M_ALERT_UPDATE:
            return m->readObject(OBJ_ALERT_ID, &r->object);
        case M_ALERT_UPDATE2: {
            int capacity = 0;
            for (;;) {
                int32_t cmd = 0;
                if (m->readCmd(&cmd) != 0) break;
                Translatable* alert = nullptr;
                rv = m->readObject(OBJ_ALERT_ID, &alert);
                if (rv != 0) return rv;
                if (r->count == capacity) {
                    capacity = capacity == 0 ? 8 : capacity * 2;
                    r->alerts = static_cast<Translatable**>(
                        realloc(r->alerts, static_cast<size_t>(capacity) * sizeof(Translatable*)));
                }
                r->alerts[r->count++] = alert;
            }
            m->recover();
            return 0;
        }
        case M_ALERT_CLEAR:
            return m->readString(&r->strings[0]);
        case M_EVENT_DISPATCH:
            return m->readObject(OBJ_DRVEVENT_ID, &r->object);
        case M_STATS_UPLOAD:
            rv = m->readString(&r->strings[0]);
            if (rv == 0) rv = m->readString(&r->strings[1]);
            if (rv == 0) rv = m->readObject(OBJ_STATSFILE_ID, &r->object);
            return rv;
        case M_CI_UPDATE:
            return m->readObject(OBJ_CIUPDATE_ID, &r->object);
        case M_GET_SECURITYOBJECT: {
            int32_t v = 0;
            rv = m->readInt32(&v);
            r->number = v;
            if (rv == 0) rv = m->readString(&r->strings[0]);
            if (rv == 0) rv = m->readString(&r->strings[1]);
            return rv;
        }
        case M_VERIFY_CERT:
            return m->readBytes(&r->bytes, &r->byteCount);
        case M_UNIQUEIDS: {
            int64_t instance = 0;
            rv = m->readInt64(&instance);
            r->size = instance;
            int n = 0;
            if (rv == 0) rv = readCount(m, &n, kMaxItems, kInt64Bytes);
            if (rv != 0) return rv;
            r->uniqueIds = new Reply::UniqueIds();
            for (int i = 0; i < n && rv == 0; i++) {
                int64_t v = 0;
                rv = m->readInt64(&v);
                if (i < kUniqueIdBatch) r->uniqueIds->ids[i] = v;
            }
            for (int i = 0; i < n && rv == 0; i++) {
                char* s = nullptr;
                rv = m->readString(&s);
                if (i < kUniqueIdBatch)
                    r->uniqueIds->miniGuids[i] = s;
                else
                    free(s);
            }
            if (rv == 0) r->count = n < kUniqueIdBatch ? n : kUniqueIdBatch;
            return rv;
        }
        case M_MQ_SEND: {
            int64_t a = 0, b = 0;
            rv = m->readInt64(&a);
            if (rv == 0) rv = m->readInt64(&b);
            r->mq[0] = a;
            r->mq[1] = b;
            if (rv == 0) rv = m->readBytes(&r->bytes, &r->byteCount);
            return rv;
        }
        default:
            return 0;  // codes a provider does not read are ignored
    }
}

// ---- login and enrolment -------------------------------------------------

DirProtocol::LoginRequest::LoginRequest()
    : code(0),
      user(nullptr),
      secret(nullptr),
      credential(nullptr),
      version(0),
      block(nullptr),
      blockLength(0),
      hostName(nullptr),
      hostKey(nullptr) {}

DirProtocol::LoginRequest::~LoginRequest() {
    free(user);
    free(secret);
    delete credential;
    free(block);
    free(hostName);
    free(hostKey);
}

int DirProtocol::readLoginRequest(Message* m, LoginRequest* r) {
    r->code = static_cast<int>(m->getType());
    int rv = 0;
    switch (r->code) {
        case LOGIN_CREDENTIAL: {
            rv = m->readString(&r->user);
            if (rv == 0) rv = m->readString(&r->secret);
            if (rv == 0) rv = m->readObject(OBJ_SECURITYOBJECT_ID, &r->credential);
            int32_t v = 0;
            if (rv == 0) rv = m->readInt32(&v);
            r->version = v;
            return rv;
        }
        case LOGIN_PASSWORD:
            rv = m->readString(&r->user);
            if (rv == 0) rv = m->readString(&r->secret);
            return rv;
        case LOGIN_SSH: {
            int32_t one = 0;
            rv = m->readInt32(&one);
            if (rv == 0) rv = m->readString(&r->user);
            if (rv == 0) rv = m->readBytes(&r->block, &r->blockLength);
            if (rv == 0) rv = m->readString(&r->hostName);
            if (rv == 0) rv = m->readString(&r->hostKey);
            return rv;
        }
        default:
            return m->setError(MSG_E_BAD_TYPE);
    }
}

DirProtocol::DomainRequest::DomainRequest() : code(0), kind(0), strings{}, cert(nullptr), certLength(0) {}

DirProtocol::DomainRequest::~DomainRequest() {
    for (char* s : strings) free(s);
    free(cert);
}

int DirProtocol::readDomainRequest(Message* m, DomainRequest* r) {
    r->code = static_cast<int>(m->getType());
    int rv = 0;
    switch (r->code) {
        case DOMAIN_ADD:
        case DOMAIN_REMOVE:
        case DOMAIN_UPGRADE:
            rv = m->readString(&r->strings[0]);
            if (rv == 0) rv = m->readString(&r->strings[1]);
            return rv;
        case DOMAIN_IDENTIFY: {
            int32_t kind = 0;
            rv = m->readInt32(&kind);
            r->kind = kind;
            for (int i = 0; i < 8 && rv == 0; i++) rv = m->readString(&r->strings[i]);
            if (rv == 0) rv = m->readBytes(&r->cert, &r->certLength);
            return rv;
        }
        default:
            return m->setError(MSG_E_BAD_TYPE);
    }
}
