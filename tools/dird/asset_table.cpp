#include "tools/dird/asset_table.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "common/log.h"
#include "dir/asset.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/json_reader.h"
#include "tools/dird/domain_ca.h"

namespace {

// The string fields of an Asset by their JSON names.
struct StringField {
    const char* name;
    char* Asset::*field;
};
const StringField kAssetStrings[] = {
    {"id", &Asset::id},           {"name", &Asset::name},
    {"description", &Asset::description}, {"host", &Asset::host},
    {"publicKey", &Asset::publicKey}, {"sysname", &Asset::sysname},
    {"release", &Asset::release}, {"version", &Asset::version},
    {"machine", &Asset::machine}, {"distro", &Asset::distro},
    {"agentVersion", &Asset::agentVersion}, {"auth", &Asset::auth},
    {"archTag", &Asset::archTag}, {"agentId", &Asset::agentId},
};

char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

// Reads member name of a record: absent or null is fine (nothing set);
// another type than wanted is an error.
bool takeString(const Attributes* record, const char* name, char** out, std::string* error) {
    Any* v = record->getAttribute(name);
    if (v == nullptr || v->getType() == ANY_NULL) return true;
    if (v->getType() != ANY_STRING) {
        *error = std::string("\"") + name + "\" must be a string";
        return false;
    }
    free(*out);
    *out = dupOrNull(v->getString());
    return true;
}

bool takeInt(const Attributes* record, const char* name, int* out, std::string* error) {
    Any* v = record->getAttribute(name);
    if (v == nullptr || v->getType() == ANY_NULL) return true;
    if (v->getType() != ANY_INT32) {
        *error = std::string("\"") + name + "\" must be a whole number";
        return false;
    }
    *out = v->getInt32();
    return true;
}

bool takeBool(const Attributes* record, const char* name, bool* out, std::string* error) {
    Any* v = record->getAttribute(name);
    if (v == nullptr || v->getType() == ANY_NULL) return true;
    if (v->getType() != ANY_BOOLEAN) {
        *error = std::string("\"") + name + "\" must be true or false";
        return false;
    }
    *out = v->getBool();
    return true;
}

// The records of member name: an array of objects (absent: none).
bool records(Attributes* table, const char* name, std::vector<Attributes*>* out, std::string* error) {
    Any* v = table->getAttribute(name);
    if (v == nullptr) return true;
    AnyArray* array = nullptr;
    if (v->getType() != OBJ_ANYARRAY_ID || !v->getObject(reinterpret_cast<Translatable**>(&array)) ||
        array == nullptr) {
        *error = std::string("\"") + name + "\" must be an array of objects";
        return false;
    }
    for (int i = 0; i < array->size(); i++) {
        Any* element = array->get(i);
        Translatable* obj = nullptr;
        if (element == nullptr || element->getType() != OBJ_ATTRIBUTES_ID || !element->getObject(&obj)) {
            *error = std::string("\"") + name + "\" must be an array of objects";
            return false;
        }
        out->push_back(static_cast<Attributes*>(obj));
    }
    return true;
}

std::string quoted(const char* s) {
    if (s == nullptr) return "null";
    char* e = escapeJSONString(s);
    std::string out = e != nullptr ? e : "null";
    free(e);
    return out;
}

std::string assetJson(const Asset* a) {
    std::string out = "    {";
    bool first = true;
    for (const StringField& f : kAssetStrings) {
        const char* v = a->*(f.field);
        if (v == nullptr) continue;
        out += std::string(first ? " " : ", ") + "\"" + f.name + "\": " + quoted(v);
        first = false;
    }
    char numbers[96];
    snprintf(numbers, sizeof numbers, "%s\"port\": %d, \"ftport\": %d, \"masq\": %s }", first ? " " : ", ", a->port,
             a->ftport, a->masq ? "true" : "false");
    return out + numbers;
}

std::string anyJson(const Any* v, int depth);

std::string attributesJson(const Attributes* a, int depth) {
    std::string out = "{";
    bool first = true;
    // Newest first in the set: written oldest first, so that reading the
    // text back gives the same order.
    std::vector<const Attributes::AttrList*> entries;
    for (const Attributes::AttrList* e = a->head; e != nullptr; e = e->next) entries.push_back(e);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        out += std::string(first ? " " : ", ") + quoted((*it)->name) + ": " + anyJson((*it)->getValue(), depth + 1);
        first = false;
    }
    return out + (first ? "}" : " }");
}

std::string anyJson(const Any* v, int depth) {
    if (v == nullptr || depth > 32) return "null";
    char number[64];
    switch (v->getType()) {
    case ANY_BOOLEAN: return v->getBool() ? "true" : "false";
    case ANY_INT32: snprintf(number, sizeof number, "%d", v->getInt32()); return number;
    case ANY_INT64: snprintf(number, sizeof number, "%lld", static_cast<long long>(v->getInt64())); return number;
    case ANY_DOUBLE: snprintf(number, sizeof number, "%.17g", v->getDouble()); return number;
    case ANY_STRING: return quoted(v->getString());
    case OBJ_ATTRIBUTES_ID: {
        Translatable* obj = nullptr;
        if (!const_cast<Any*>(v)->getObject(&obj) || obj == nullptr) return "null";
        return attributesJson(static_cast<Attributes*>(obj), depth);
    }
    default: return "null";
    }
}

std::string endpointJson(const Endpoint* e) {
    char type[32];
    snprintf(type, sizeof type, "%d", e->type);
    std::string out = "    { \"id\": " + quoted(e->id) + ", \"name\": " + quoted(e->name) +
                      ", \"description\": " + quoted(e->description) + ", \"asset\": " + quoted(e->asset) +
                      ", \"type\": " + type;
    if (e->attributes != nullptr) out += ", \"attributes\": " + attributesJson(e->attributes, 0);
    return out + " }";
}

}  // namespace

AssetTable::~AssetTable() {
    CriticalSection hold(_lock);
    clearLocked();
}

void AssetTable::clearLocked() {
    for (Asset* a : _assets) delete a;
    for (Endpoint* e : _endpoints) delete e;
    _assets.clear();
    _endpoints.clear();
}

bool AssetTable::parse(const char* text, std::vector<Asset*>* assets, std::vector<Endpoint*>* endpoints,
                       std::string* error) {
    std::unique_ptr<Any> root(parseJsonValue(text, error));
    if (!root) return false;
    Translatable* obj = nullptr;
    if (root->getType() != OBJ_ATTRIBUTES_ID || !root->getObject(&obj) || obj == nullptr) {
        *error = "the table must be one JSON object with \"assets\" and \"endpoints\"";
        return false;
    }
    Attributes* table = static_cast<Attributes*>(obj);
    std::vector<Attributes*> assetRecords, endpointRecords;
    if (!records(table, "assets", &assetRecords, error) || !records(table, "endpoints", &endpointRecords, error))
        return false;
    std::vector<Asset*> gotAssets;
    std::vector<Endpoint*> gotEndpoints;
    auto failWith = [&](const std::string& where) {
        *error = where + ": " + *error;
        for (Asset* a : gotAssets) delete a;
        for (Endpoint* e : gotEndpoints) delete e;
        return false;
    };
    for (size_t i = 0; i < assetRecords.size(); i++) {
        Asset* a = new Asset();
        gotAssets.push_back(a);
        bool ok = true;
        for (const StringField& f : kAssetStrings) ok = ok && takeString(assetRecords[i], f.name, &(a->*(f.field)), error);
        ok = ok && takeInt(assetRecords[i], "port", &a->port, error) &&
             takeInt(assetRecords[i], "ftport", &a->ftport, error) && takeBool(assetRecords[i], "masq", &a->masq, error);
        if (ok && (a->id == nullptr || *a->id == '\0')) {
            *error = "\"id\" is missing";
            ok = false;
        }
        for (size_t j = 0; ok && j + 1 < gotAssets.size(); j++) {
            if (strcmp(gotAssets[j]->id, a->id) == 0) {
                *error = std::string("\"id\" ") + a->id + " appears twice";
                ok = false;
            }
        }
        if (!ok) return failWith("asset " + std::to_string(i + 1));
    }
    for (size_t i = 0; i < endpointRecords.size(); i++) {
        Endpoint* e = new Endpoint();
        gotEndpoints.push_back(e);
        Attributes* r = endpointRecords[i];
        bool ok = takeString(r, "id", &e->id, error) && takeString(r, "name", &e->name, error) &&
                  takeString(r, "description", &e->description, error) && takeString(r, "asset", &e->asset, error) &&
                  takeInt(r, "type", &e->type, error);
        Any* attrs = ok ? r->getAttribute("attributes") : nullptr;
        if (attrs != nullptr && attrs->getType() != ANY_NULL) {
            Translatable* a = nullptr;
            if (attrs->getType() != OBJ_ATTRIBUTES_ID || !attrs->getObject(&a) || a == nullptr) {
                *error = "\"attributes\" must be an object";
                ok = false;
            } else {
                e->attributes = new Attributes(*static_cast<Attributes*>(a));
            }
        }
        if (ok && (e->id == nullptr || *e->id == '\0')) {
            *error = "\"id\" is missing";
            ok = false;
        }
        if (!ok) return failWith("endpoint " + std::to_string(i + 1));
    }
    assets->swap(gotAssets);
    endpoints->swap(gotEndpoints);
    return true;
}

bool AssetTable::load(std::string* error) {
    CriticalSection hold(_lock);
    struct stat st;
    if (stat(_path.c_str(), &st) != 0) {
        // Only a table that is not there is made: one that cannot be looked
        // at is not written over with an empty one.
        if (errno != ENOENT) {
            *error = "cannot read " + _path + ": " + strerror(errno);
            return false;
        }
        clearLocked();
        return saveLocked(error);
    }
    std::string text;
    errno = 0;
    if (!readWholeFile(_path, &text)) {
        *error = "cannot read " + _path + (errno != 0 ? std::string(": ") + strerror(errno) : std::string());
        return false;
    }
    std::vector<Asset*> assets;
    std::vector<Endpoint*> endpoints;
    if (!parse(text.c_str(), &assets, &endpoints, error)) {
        *error = _path + ": " + *error;
        return false;
    }
    clearLocked();
    _assets.swap(assets);
    _endpoints.swap(endpoints);
    _broken = false;
    _mtime = st.st_mtim.tv_sec;
    _mtimeNs = st.st_mtim.tv_nsec;
    return true;
}

void AssetTable::refreshLocked() {
    struct stat st;
    if (stat(_path.c_str(), &st) != 0) {
        // Gone: the next change writes the table in force again. There but
        // not to be looked at: nothing is written over it, and it is read
        // afresh once it can be.
        if (errno == ENOENT) return;
        if (!_broken)
            log(LOG_ERROR, errno, 0, "dird: cannot read %s; the previous table stays in force", _path.c_str());
        _broken = true;
        _mtime = -1;
        _mtimeNs = -1;
        return;
    }
    if (st.st_mtim.tv_sec == _mtime && st.st_mtim.tv_nsec == _mtimeNs) return;
    _mtime = st.st_mtim.tv_sec;
    _mtimeNs = st.st_mtim.tv_nsec;
    std::string text, error;
    std::vector<Asset*> assets;
    std::vector<Endpoint*> endpoints;
    if (!readWholeFile(_path, &text) || !parse(text.c_str(), &assets, &endpoints, &error)) {
        log(LOG_ERROR, 0, 0, "dird: %s changed but is not an asset table (%s); the previous table stays in force",
            _path.c_str(), error.c_str());
        _broken = true;
        return;
    }
    _broken = false;
    clearLocked();
    _assets.swap(assets);
    _endpoints.swap(endpoints);
    log(LOG_INFO, 0, 0, "dird: asset table re-read: %zu assets, %zu endpoints", _assets.size(), _endpoints.size());
}

std::string AssetTable::toJson() {
    CriticalSection hold(_lock);
    return jsonLocked();
}

std::string AssetTable::jsonLocked() {
    return format(_assets, _endpoints);
}

std::string AssetTable::format(const std::vector<Asset*>& assets, const std::vector<Endpoint*>& endpoints) {
    std::string out = "{\n  \"assets\": [";
    for (size_t i = 0; i < assets.size(); i++) out += std::string(i == 0 ? "\n" : ",\n") + assetJson(assets[i]);
    out += assets.empty() ? "],\n" : "\n  ],\n";
    out += "  \"endpoints\": [";
    for (size_t i = 0; i < endpoints.size(); i++)
        out += std::string(i == 0 ? "\n" : ",\n") + endpointJson(endpoints[i]);
    out += endpoints.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

bool AssetTable::saveLocked(std::string* error) {
    if (_broken) {
        // Writing the table in force would throw away what was written
        // into the file by hand: it waits until the file reads again.
        *error = _path + " does not read as an asset table; it is not changed until it is mended";
        return false;
    }
    if (!writeFileAtomically(_path, jsonLocked(), 0644, error)) return false;
    struct stat st;
    if (stat(_path.c_str(), &st) == 0) {
        _mtime = st.st_mtim.tv_sec;
        _mtimeNs = st.st_mtim.tv_nsec;
    }
    return true;
}

Asset* AssetTable::findAsset(const char* id) {
    if (id == nullptr) return nullptr;
    CriticalSection hold(_lock);
    refreshLocked();
    for (Asset* a : _assets)
        if (strcmp(a->id, id) == 0) return new Asset(*a);
    return nullptr;
}

Endpoint* AssetTable::findEndpoint(const char* id) {
    if (id == nullptr) return nullptr;
    CriticalSection hold(_lock);
    refreshLocked();
    for (Endpoint* e : _endpoints)
        if (strcmp(e->id, id) == 0) return new Endpoint(*e);
    return nullptr;
}

Asset* AssetTable::findAssetByKey(const char* publicKeyPem) {
    if (publicKeyPem == nullptr) return nullptr;
    EVP_PKEY* wanted = publicKeyFromPem(publicKeyPem, strlen(publicKeyPem));
    if (wanted == nullptr) return nullptr;
    Asset* found = nullptr;
    {
        CriticalSection hold(_lock);
        refreshLocked();
        for (Asset* a : _assets) {
            if (a->publicKey == nullptr) continue;
            EVP_PKEY* k = publicKeyFromPem(a->publicKey, strlen(a->publicKey));
            bool same = samePublicKey(k, wanted);
            EVP_PKEY_free(k);
            if (same) {
                found = new Asset(*a);
                break;
            }
        }
    }
    EVP_PKEY_free(wanted);
    return found;
}

std::vector<Asset*> AssetTable::allAssets() {
    CriticalSection hold(_lock);
    refreshLocked();
    std::vector<Asset*> out;
    for (Asset* a : _assets) out.push_back(new Asset(*a));
    return out;
}

std::vector<Endpoint*> AssetTable::allEndpoints() {
    CriticalSection hold(_lock);
    refreshLocked();
    std::vector<Endpoint*> out;
    for (Endpoint* e : _endpoints) out.push_back(new Endpoint(*e));
    return out;
}

bool AssetTable::putAsset(const Asset& asset, bool* added, std::string* error) {
    if (asset.id == nullptr || *asset.id == '\0') {
        *error = "an asset needs an id";
        return false;
    }
    CriticalSection hold(_lock);
    refreshLocked();
    *added = true;
    for (Asset*& a : _assets) {
        if (strcmp(a->id, asset.id) == 0) {
            delete a;
            a = new Asset(asset);
            *added = false;
            return saveLocked(error);
        }
    }
    _assets.push_back(new Asset(asset));
    return saveLocked(error);
}

bool AssetTable::removeAsset(const char* id, std::string* error) {
    CriticalSection hold(_lock);
    refreshLocked();
    for (auto it = _assets.begin(); it != _assets.end(); ++it) {
        if (id != nullptr && strcmp((*it)->id, id) == 0) {
            delete *it;
            _assets.erase(it);
            return saveLocked(error);
        }
    }
    *error = std::string("no asset ") + (id != nullptr ? id : "(null)");
    return false;
}
