// Reading and writing relayed messages; see relay_codec.h.
#include "tools/dird/relay_codec.h"

#include <stdlib.h>
#include <string.h>

#include "dir/dir_protocol.h"
#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"

RelayBody::RelayBody(Message* m) { bytes = m->copyBytes(&length); }

RelayBody::RelayBody(const unsigned char* data, size_t size)
    : bytes(static_cast<unsigned char*>(malloc(size > 0 ? size : 1))), length(size) {
    if (size > 0) memcpy(bytes, data, size);
}

RelayBody::~RelayBody() { free(bytes); }

bool RelayBody::string(size_t at, std::string* out, size_t* next) const {
    if (at + 5 > length || bytes[at] != TAG_STRING) return false;
    uint32_t n = getBE32(bytes + at + 1);
    if (n > length - at - 5) return false;
    out->assign(reinterpret_cast<const char*>(bytes + at + 5), n);
    *next = at + 5 + n;
    return true;
}

bool RelayBody::int64(size_t at, long long* out) const {
    if (at + 9 > length || bytes[at] != TAG_INT64) return false;
    *out = static_cast<long long>(getBE64(bytes + at + 1));
    return true;
}

bool RelayBody::int32(size_t at, int* out) const {
    if (at + 5 > length || bytes[at] != TAG_INT32) return false;
    *out = static_cast<int>(getBE32(bytes + at + 1));
    return true;
}

bool RelayBody::boolean(size_t at, bool* out) const {
    if (at + 2 > length || bytes[at] != TAG_BOOL) return false;
    *out = bytes[at + 1] != 0;
    return true;
}

bool readMasqueradeHead(const RelayBody& body, MasqueradeHead* out) {
    size_t at = 0;
    if (!body.string(0, &out->assetId, &at) || !body.int64(at, &out->clientId)) return false;
    out->rest = at + 9;
    return true;
}

Message* relayForwarded(int code, long long id, const RelayBody& body, size_t from) {
    Message* m = new Message(code);
    m->writeInt64(id);
    if (from < body.length) m->appendBytes(body.bytes + from, body.length - from);
    return m;
}

Message* relayForwardedAs(int code, long long id, const Principal* principal, const RelayBody& body, size_t from) {
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

RelayedListenerRequest::~RelayedListenerRequest() {
    delete _object;
    delete _filter;
}

bool RelayedListenerRequest::read(const RelayBody& body, size_t from) {
    if (from > body.length || _object != nullptr) return false;
    Message in(reinterpret_cast<const char*>(body.bytes) + from, body.length - from);
    Translatable* claimed = nullptr;
    int32_t listenerId = 0;
    bool ok = in.readObject(OBJ_PRINCIPAL_ID, &claimed) == 0 && in.readObject(OBJ_DIRECTORYOBJECT_ID, &_object) == 0 &&
              in.readInt32(&listenerId) == 0 && in.readObject(OBJ_DIRNAMEENTRY_ID, &_filter) == 0;
    delete claimed;
    _clientListener = listenerId;
    return ok;
}

Message* RelayedListenerRequest::write(int code, int relayedId, const Principal* principal) const {
    Message* out = new Message(code);
    out->writeInt64(relayedId);
    out->writeObject(OBJ_PRINCIPAL_ID, principal);
    out->writeObject(OBJ_DIRECTORYOBJECT_ID, _object);
    out->writeInt32(relayedId);
    out->writeObject(OBJ_DIRNAMEENTRY_ID, _filter);
    return out;
}

// An update's body: the id (always 0) at 0, the listener id at 9, the rest
// from 14.
bool readAgentListenerId(const RelayBody& body, int* agentListener) { return body.int32(9, agentListener); }

Message* relayListenerUpdate(int code, int clientListener, const RelayBody& body) {
    Message* out = new Message(code);
    out->writeInt64(0);
    out->writeInt32(clientListener);
    if (body.length > 14) out->appendBytes(body.bytes + 14, body.length - 14);
    return out;
}

bool relayAnswerIsFinal(int code, const RelayBody& body) {
    if (code == DirProtocol::M_EXECUTE_UPDATE) return false;
    if (code != DirProtocol::M_SEARCH_PARTIAL_REPLY) return true;
    // The id at 0, "any" at 9, "last" at 11; a part that does not say it is
    // the last ends the relay rather than leaving it to time out.
    bool last = true;
    return !body.boolean(11, &last) || last;
}
