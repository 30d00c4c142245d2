#include "dir/asset.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/message.h"

namespace {

char* dup(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

const char kVersionPrefix[] = "dravika-";
const int kUnknownVersion = 10400;
const int kDevelopmentVersion = 999999;

// Reads string field n when present; absent leaves *out null. False on a
// field of another type.
bool readOptionalString(MessageBase* m, unsigned int n, char** out) {
    *out = nullptr;
    return !m->hasField(n) || m->readStringField(n, out) == 0;
}

bool readOptionalInt(MessageBase* m, unsigned int n, int* out) {
    *out = 0;
    if (!m->hasField(n)) return true;
    int32_t v = 0;
    if (m->readInt32Field(n, &v) != 0) return false;
    *out = v;
    return true;
}

bool readOptionalBool(MessageBase* m, unsigned int n, bool* out) {
    *out = false;
    return !m->hasField(n) || m->readBoolField(n, out) == 0;
}

}  // namespace

// --- Asset -------------------------------------------------------------------

Asset::Asset()
    : name(nullptr), description(nullptr), host(nullptr), port(0), ftport(0), publicKey(nullptr),
      sysname(nullptr), release(nullptr), version(nullptr), machine(nullptr), distro(nullptr),
      agentVersion(nullptr), auth(nullptr), archTag(nullptr), extra15(nullptr), masq(false), id(nullptr),
      extra18(nullptr), extra19(nullptr), agentId(nullptr), extra21(false) {}

Asset::Asset(const Asset& o)
    : Translatable(o), name(dup(o.name)), description(dup(o.description)), host(dup(o.host)), port(o.port),
      ftport(o.ftport), publicKey(dup(o.publicKey)), sysname(dup(o.sysname)), release(dup(o.release)),
      version(dup(o.version)), machine(dup(o.machine)), distro(dup(o.distro)), agentVersion(dup(o.agentVersion)),
      auth(dup(o.auth)), archTag(dup(o.archTag)), extra15(dup(o.extra15)), masq(o.masq), id(dup(o.id)),
      extra18(dup(o.extra18)), extra19(dup(o.extra19)), agentId(dup(o.agentId)), extra21(o.extra21) {}

Asset::~Asset() {
    for (char* s : {name, description, host, publicKey, sysname, release, version, machine, distro, agentVersion,
                    auth, archTag, extra15, id, extra18, extra19, agentId})
        free(s);
}

int Asset::getDravikaVersion() const {
    if (agentVersion == nullptr) return kUnknownVersion;
    if (strcmp(agentVersion, "trunk") == 0 || strcmp(agentVersion, "master") == 0) return kDevelopmentVersion;
    size_t prefixLength = sizeof kVersionPrefix - 1;
    if (strncmp(agentVersion, kVersionPrefix, prefixLength) != 0) return kUnknownVersion;
    const char* p = agentVersion + prefixLength;
    int result = 0;
    // Each dot-separated number is two more decimal places. Any character
    // other than a digit or a dot between numbers ends the reading, so a
    // malformed text cannot keep it going; the result saturates rather than
    // overflow on absurdly long texts.
    while (isdigit(static_cast<unsigned char>(*p))) {
        int number = 0;
        while (isdigit(static_cast<unsigned char>(*p))) {
            if (number < 1000000) number = number * 10 + (*p - '0');
            p++;
        }
        result = result < 10000000 ? result * 100 + number : result;
        if (*p != '.') break;
        p++;
    }
    return result;
}

int Asset::getField(Parser*, Any** result, const char* fieldName) const {
    if (fieldName != nullptr && strcmp(fieldName, "asset") == 0) {
        *result = new Any(name);
        return 0;
    }
    if (fieldName != nullptr && strcmp(fieldName, "hostname") == 0) {
        *result = new Any(host);
        return 0;
    }
    return DirError::E_NOT_IMPLEMENTED;
}

char* Asset::toString(Parser*) {
    return buildJSON("sssiissssssssbs", "id", id, "name", name, "description", description, "port", port, "ftport",
                     ftport, "sysname", sysname, "release", release, "version", version, "machine", machine,
                     "distro", distro, "agentVersion", agentVersion, "auth", auth, "archTag", archTag, "masq",
                     static_cast<int>(masq), "agentId", agentId);
}

unsigned int Asset::getObjectID() const {
    return OBJ_ASSET_ID;
}

const char* Asset::getClassOf(Parser*) const {
    return "Asset";
}

int Asset::clone(const Principal*, Translatable** result) const {
    *result = new Asset(*this);
    return 0;
}

int AssetXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Asset* a = static_cast<const Asset*>(*obj);
        m->writeStringField(1, a->name);
        m->writeStringField(2, a->description);
        m->writeStringField(3, a->host);
        m->writeInt32Field(4, a->port);
        m->writeInt32Field(5, a->ftport);
        m->writeStringField(6, a->publicKey);
        m->writeStringField(7, a->sysname);
        m->writeStringField(8, a->release);
        m->writeStringField(9, a->version);
        m->writeStringField(10, a->machine);
        m->writeStringField(11, a->distro);
        m->writeStringField(12, a->agentVersion);
        m->writeStringField(13, a->auth);
        m->writeStringField(14, a->archTag);
        m->writeStringField(15, a->extra15);
        m->writeBoolField(16, a->masq);
        m->writeStringField(17, a->id);
        m->writeStringField(18, a->extra18);
        m->writeStringField(19, a->extra19);
        m->writeStringField(20, a->agentId);
        return m->writeBoolField(21, a->extra21) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Asset* a = new Asset();
    bool ok = readOptionalString(m, 1, &a->name) && readOptionalString(m, 2, &a->description) &&
              readOptionalString(m, 3, &a->host) && readOptionalInt(m, 4, &a->port) &&
              readOptionalInt(m, 5, &a->ftport) && readOptionalString(m, 6, &a->publicKey) &&
              readOptionalString(m, 7, &a->sysname) && readOptionalString(m, 8, &a->release) &&
              readOptionalString(m, 9, &a->version) && readOptionalString(m, 10, &a->machine) &&
              readOptionalString(m, 11, &a->distro) && readOptionalString(m, 12, &a->agentVersion) &&
              readOptionalString(m, 13, &a->auth) && readOptionalString(m, 14, &a->archTag) &&
              readOptionalString(m, 15, &a->extra15) && readOptionalBool(m, 16, &a->masq) &&
              readOptionalString(m, 17, &a->id) && readOptionalString(m, 18, &a->extra18) &&
              readOptionalString(m, 19, &a->extra19) && readOptionalString(m, 20, &a->agentId) &&
              readOptionalBool(m, 21, &a->extra21);
    if (!ok) {
        delete a;
        return -1;
    }
    *obj = a;
    return 0;
}

// --- Endpoint ----------------------------------------------------------------

Endpoint::Endpoint()
    : name(nullptr), description(nullptr), asset(nullptr), type(0), attributes(nullptr), id(nullptr),
      extra7(false) {}

Endpoint::Endpoint(const Endpoint& o)
    : Translatable(o), name(dup(o.name)), description(dup(o.description)), asset(dup(o.asset)), type(o.type),
      attributes(o.attributes != nullptr ? new Attributes(*o.attributes) : nullptr), id(dup(o.id)),
      extra7(o.extra7) {}

Endpoint::~Endpoint() {
    free(name);
    free(description);
    free(asset);
    free(id);
    delete attributes;
}

const char* Endpoint::endpointForType(int type) {
    static const char* const kNames[] = {"FTP", "EMAIL", "HA", "WEBSVC", "SSH"};
    return type >= 1 && type <= 5 ? kNames[type - 1] : nullptr;
}

char* Endpoint::toString(Parser*) {
    return buildJSON("ssssio", "id", id, "name", name, "description", description, "asset", asset, "type", type,
                     "attributes", static_cast<Translatable*>(attributes));
}

unsigned int Endpoint::getObjectID() const {
    return OBJ_ENDPOINT_ID;
}

const char* Endpoint::getClassOf(Parser*) const {
    return "Endpoint";
}

int Endpoint::clone(const Principal*, Translatable** result) const {
    *result = new Endpoint(*this);
    return 0;
}

int EndpointXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Endpoint* e = static_cast<const Endpoint*>(*obj);
        m->writeStringField(1, e->name);
        m->writeStringField(2, e->description);
        m->writeStringField(3, e->asset);
        m->writeInt32Field(4, e->type);
        m->writeObjectField(5, OBJ_ATTRIBUTES_ID, e->attributes);
        m->writeStringField(6, e->id);
        return m->writeBoolField(7, e->extra7) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Endpoint* e = new Endpoint();
    bool ok = readOptionalString(m, 1, &e->name) && readOptionalString(m, 2, &e->description) &&
              readOptionalString(m, 3, &e->asset) && readOptionalInt(m, 4, &e->type);
    if (ok && m->hasField(5)) {
        Translatable* attrs = nullptr;
        ok = m->readObjectField(5, OBJ_ATTRIBUTES_ID, &attrs) == 0;
        e->attributes = static_cast<Attributes*>(attrs);
    }
    ok = ok && readOptionalString(m, 6, &e->id) && readOptionalBool(m, 7, &e->extra7);
    if (!ok) {
        delete e;
        return -1;
    }
    *obj = e;
    return 0;
}
