#include "tools/dird/dird_root.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/asset.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dir/search_helper.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "hostrt/dravika.h"
#include "hostrt/host_directory.h"
#include "tools/dird/asset_table.h"
#include "tools/dird/domain_ca.h"
#include "tools/dird/user_table.h"

namespace {

const char kAsset[] = "asset";
const char kEndpoint[] = "endpoint";
const char kAuth[] = "auth";
// Everyone of the domain reads, the administrators own and change.
const char kDomainAcl[] = "R`Administrators`Administrators`-`-`A,everyone@builtin/x,Read,List";

void setIf(Attributes* a, const char* name, const char* value) {
    if (value != nullptr) a->setAttribute(name, value);
}

bool hasPrefix(const std::string& s, const char* prefix, std::string* rest) {
    size_t n = strlen(prefix);
    if (s.compare(0, n, prefix) != 0) return false;
    *rest = s.substr(n);
    return true;
}

}  // namespace

DirdRootSPI::DirdRootSPI(DirectorySPI* host, AssetTable* assets, UserTable* users, DomainCA* ca)
    : _host(host), _assets(assets), _users(users), _ca(ca) {}

DirectoryObject* DirdRootSPI::makeObject(const char* kind, const char* id) const {
    std::string value = std::string(kind) + ":" + (id != nullptr ? id : "");
    return new DirectoryObject(getDomainGuid(), new Any(value.c_str()));
}

bool DirdRootSPI::isMine(const DirectoryObject* object, std::string* kind, std::string* id) const {
    if (object == nullptr || object->className == nullptr || strcmp(object->className, getDomainGuid()) != 0 ||
        object->value == nullptr || object->value->getType() != ANY_STRING || object->value->getString() == nullptr)
        return false;
    std::string value = object->value->getString();
    for (const char* k : {kAsset, kEndpoint, kAuth}) {
        if (hasPrefix(value, (std::string(k) + ":").c_str(), id)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

DirNameEntry* DirdRootSPI::assetEntry(const Asset& asset) {
    return new DirNameEntry(kAsset, "id", asset.id);
}

Attributes* DirdRootSPI::assetAttributes(const Asset& a) {
    Attributes* out = new Attributes();
    setIf(out, "id", a.id);
    setIf(out, "name", a.name);
    setIf(out, "description", a.description);
    setIf(out, "host", a.host);
    out->setAttribute("port", a.port);
    out->setAttribute("ftport", a.ftport);
    out->setAttribute("masq", a.masq);
    setIf(out, "sysname", a.sysname);
    setIf(out, "release", a.release);
    setIf(out, "distro", a.distro);
    setIf(out, "agentVersion", a.agentVersion);
    setIf(out, "agentId", a.agentId);
    return out;
}

int DirdRootSPI::resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                         const DirNameEntry* entry, DirectoryObject*& out) {
    out = nullptr;
    std::string kind, id;
    if (isMine(current, &kind, &id)) return 0;  // nothing below the domain's own records
    const char* cls = entry != nullptr ? entry->getClassName() : nullptr;
    if (cls != nullptr && HostDirectorySPI::ownerOf(current) == nullptr) {
        if (strcmp(cls, kAsset) == 0 || strcmp(cls, "host") == 0) {
            const char* want = entry->getStringAttributeValue("id");
            if (want == nullptr) return DirError::E_MISSING_HOST;
            Asset* a = _assets->findAsset(want);
            if (a == nullptr) return 0;
            delete a;
            out = makeObject(kAsset, want);
            return 0;
        }
        if (strcmp(cls, kEndpoint) == 0) {
            const char* want = entry->getStringAttributeValue("id");
            if (want == nullptr) return DirError::E_MISSING_HOST;
            Endpoint* e = _assets->findEndpoint(want);
            if (e == nullptr) return 0;
            delete e;
            out = makeObject(kEndpoint, want);
            return 0;
        }
        if (strcmp(cls, kAuth) == 0) {
            out = makeObject(kAuth, "");
            return 0;
        }
    }
    return _host->resolve(target, principal, current, entry, out);
}

int DirdRootSPI::search(const Endpoint* target, const Principal* principal, SearchHelper* helper,
                        DirectoryObject* current, const DirNameEntry* entry, char* filter,
                        DirectoryEnumeration* result) {
    std::string kind, id;
    if (isMine(current, &kind, &id)) return 0;
    if (HostDirectorySPI::ownerOf(current) == nullptr && helper != nullptr && helper->classMatches(kAsset)) {
        for (Asset* a : _assets->allAssets()) {
            DirNameEntry* e = assetEntry(*a);
            Attributes* all = assetAttributes(*a);
            delete a;
            if (!helper->attributesMatch(e, all)) {
                delete e;
                delete all;
                continue;
            }
            Attributes* wanted = new Attributes();
            std::vector<Attributes::AttrList*> entries;
            for (Attributes::AttrList* x = all->head; x != nullptr; x = x->next) entries.push_back(x);
            for (auto it = entries.rbegin(); it != entries.rend(); ++it)
                if (helper->shouldAddAttribute((*it)->name))
                    wanted->addAttribute((*it)->name, new Any(*(*it)->getValue()));
            delete all;
            result->append(e, wanted, new Acl(kDomainAcl));
        }
        // An exact "asset" pattern asks nothing of the host's providers.
        if (entry != nullptr && !entry->classIsExpression) return 0;
    }
    return _host->search(target, principal, helper, current, entry, filter, result);
}

Principal* DirdRootSPI::principalFor(const std::string& user, long long session) {
    std::string security;
    if (!_users->find(user, &security)) return nullptr;
    return new Principal(security.c_str(), _ca->domain().c_str(), _ca->signText(security.c_str()).c_str(), session);
}

int DirdRootSPI::execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                         FutureResult* result) {
    std::string kind, id;
    if (!isMine(object, &kind, &id)) return _host->execute(principal, object, operation, args, result);
    std::string op = operation != nullptr ? operation : "";
    Any* value = new Any();
    if (kind == kAsset && op == "getAsset") {
        Asset* a = _assets->findAsset(id.c_str());
        if (a == nullptr) {
            delete value;
            return DirError::E_OBJECT_NOT_FOUND;
        }
        value->setObject(a);
    } else if (kind == kEndpoint && op == "getEndpointData") {
        Endpoint* e = _assets->findEndpoint(id.c_str());
        if (e == nullptr) {
            delete value;
            return DirError::E_OBJECT_NOT_FOUND;
        }
        value->setObject(e);
    } else if (kind == kAuth && (op == "relogin" || op == "authenticateAlternateUser")) {
        char login[256] = "";
        if (principal == nullptr || principal->getLoginUser(login, sizeof login) != 0) {
            delete value;
            return DirError::E_LOGIN_FAILURE;
        }
        std::string user = login;
        if (op == "authenticateAlternateUser") {
            char* wanted = nullptr;
            if (args == nullptr || args[0] == nullptr || !args[0]->convertToString(wanted) || wanted == nullptr) {
                delete value;
                return DirError::E_MISSING_ARGUMENTS;
            }
            user = wanted;
            free(wanted);
            // Running as someone else is for the domain's administrators.
            if (user != login && !principal->isPolicySet("admin")) {
                delete value;
                return DirError::E_PERMISSION_DENIED;
            }
        }
        Principal* p = principalFor(user, principal->session);
        if (p == nullptr) {
            delete value;
            return DirError::E_LOGIN_FAILURE;
        }
        // Kind 7 of a value is a string: a principal travels in a value
        // under its second id, whose translator is the same.
        value->setObject(p, OBJ_PRINCIPAL_FT_ID);
    } else {
        delete value;
        return DirError::E_NOT_IMPLEMENTED;
    }
    result->setResult(value);
    return 0;
}

int DirdRootSPI::getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) {
    out = nullptr;
    std::string kind, id;
    if (!isMine(object, &kind, &id)) {
        int rv = _host->getAttributes(principal, object, out);
        // At the root the domain describes itself too.
        if (rv == 0 && out != nullptr && HostDirectorySPI::ownerOf(object) == nullptr) {
            out->setAttribute("domain", _ca->domain().c_str());
            out->setAttribute("assets", static_cast<int>(_assets->allAssets().size()));
        }
        return rv;
    }
    if (kind == kAsset) {
        Asset* a = _assets->findAsset(id.c_str());
        if (a == nullptr) return DirError::E_OBJECT_NOT_FOUND;
        out = assetAttributes(*a);
        delete a;
        return 0;
    }
    if (kind == kEndpoint) {
        Endpoint* e = _assets->findEndpoint(id.c_str());
        if (e == nullptr) return DirError::E_OBJECT_NOT_FOUND;
        out = e->attributes != nullptr ? new Attributes(*e->attributes) : new Attributes();
        setIf(out, "id", e->id);
        setIf(out, "name", e->name);
        setIf(out, "asset", e->asset);
        out->setAttribute("type", e->type);
        delete e;
        return 0;
    }
    out = new Attributes();
    out->setAttribute("domain", _ca->domain().c_str());
    return 0;
}

int DirdRootSPI::getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) {
    std::string kind, id;
    if (!isMine(object, &kind, &id)) return _host->getAcl(principal, object, out);
    out = new Acl(kDomainAcl);
    return 0;
}

int DirdRootSPI::list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) {
    std::string kind, id;
    if (isMine(object, &kind, &id)) return 0;
    int rv = _host->list(principal, object, result);
    if (rv == 0 && HostDirectorySPI::ownerOf(object) == nullptr) {
        result->append(kAsset);
        result->append(kEndpoint);
    }
    return rv;
}

char* DirdRootSPI::toString() const {
    return strdup("directory server domain root");
}

DirectorySPI* DirdRootSPI::listenerOwner(const DirectoryObject* object, const DirNameEntry* filter) {
    std::string kind, id;
    if (isMine(object, &kind, &id)) return nullptr;
    DirectorySPI* owner = HostDirectorySPI::ownerOf(object);
    if (owner != nullptr) return owner;
    const char* cls = filter != nullptr ? filter->getClassName() : nullptr;
    if (cls == nullptr) return nullptr;
    if (strcmp(cls, kAsset) == 0) return this;
    return HostSPI::routeFor(cls);
}

void DirdRootSPI::assetChanged(const Asset& asset, bool added, bool removed) {
    DirNameEntry* e = assetEntry(asset);
    Attributes* a = assetAttributes(asset);
    if (removed)
        notifyDirectoryDelete(e, a);
    else if (added)
        notifyDirectoryAdd(e, a, nullptr);
    else
        notifyDirectoryModified(e, a, nullptr);
    delete e;
    delete a;
}
