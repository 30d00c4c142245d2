// Name resolution: the domain step, opening providers for domain, temp,
// host, asset and endpoint entries, the walk through the remaining entries,
// and the provider switch through the object registry.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/resolve_context.h"
#include "dirbase/dir_name.h"
#include "dirbase/registry.h"

namespace {

bool isClass(const DirNameEntry* entry, const char* name) {
    const char* c = entry->getClassName();
    return c != nullptr && strcmp(c, name) == 0;
}

// The text of a string attribute; null when absent or not a string.
const char* stringAttr(const DirNameEntry* entry, const char* name) {
    return entry->getStringAttributeValue(name);
}

// The asset id an endpoint lives on: its asset field after the last
// backquote, or the whole field.
std::string endpointAssetId(const Endpoint* endpoint) {
    const char* a = endpoint->asset != nullptr ? endpoint->asset : "";
    const char* tick = strrchr(a, '`');
    return tick != nullptr ? std::string(tick + 1) : std::string(a);
}

}  // namespace

int Directory::resolveToDomain(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener) {
    if (rc->index > 0) return 0;
    if (rc->name != nullptr && rc->name->hostRooted) {
        const DirNameEntry* entry = rc->entry(rc->index);
        if (entry == nullptr) return DirError::E_MISSING_DOMAIN;
        if (isClass(entry, "domain") || isClass(entry, "host") || isClass(entry, "temp") ||
            isClass(entry, "endpoint"))
            return openProvider(entry, rc, pending, listener);
        return DirError::E_MISSING_DOMAIN;
    }
    if (rc->rootSPI == nullptr) return DirError::E_OBJECT_NOT_FOUND;
    if (!lockRoot(rc)) return DirError::E_NOT_CONNECTED;
    const char* rootClass = rc->domainObject != nullptr ? rc->domainObject->className : nullptr;
    if (rc->name != nullptr && rc->name->absolute)
        rc->setCurrent(new DirectoryObject(rootClass, nullptr));
    else
        rc->setCurrent(rc->domainObject != nullptr ? new DirectoryObject(*rc->domainObject)
                                                   : new DirectoryObject(nullptr, nullptr));
    return 0;
}

bool Directory::lockRoot(ResolveContext* rc) {
    // A root of the session's own (a server's local provider) is never swept.
    if (!rootListed) {
        rc->setSPI(rc->rootSPI);
        return true;
    }
    // A listed root is never marked while the session pins it. A session
    // that gave its pin up (a dispose waiting on that provider) may still be
    // reached, by its listeners' retries above all, after the sweep has
    // marked the provider (then it is not locked) or deleted it (then it is
    // not read: the sweep retires the root under _rootLock first). No
    // registry lock is taken: listener callbacks resolve through here.
    CriticalSection hold(_rootLock);
    if (!_rootUsable || !rc->rootSPI->tryAddLock()) return false;
    rc->adoptSPI(rc->rootSPI);
    return true;
}

int Directory::openProvider(const DirNameEntry* entry, ResolveContext* rc, FutureResult** pending,
                            FutureResultListener* listener) {
    enum { kDomainOrTemp, kAsset } kind;
    std::string key;
    std::string objectName;  // the key, but "E" + id for an endpoint
    std::string host;
    std::string portText;
    const char* domainName = nullptr;
    bool temp = false;
    const char* assetId = nullptr;
    std::string endpointAsset;
    Endpoint* endpoint = nullptr;

    if (isClass(entry, "domain")) {
        domainName = stringAttr(entry, "name");
        if (domainName == nullptr) return DirError::E_MISSING_DOMAIN;
        key = std::string("D") + domainName;
        host = std::string("drv-") + domainName;
        portText = "14000";
        kind = kDomainOrTemp;
    } else if (isClass(entry, "temp")) {
        const char* h = stringAttr(entry, "hostname");
        const char* p = stringAttr(entry, "port");
        if (h == nullptr || p == nullptr) return DirError::E_MISSING_HOST;
        key = std::string("H") + h;
        host = h;
        portText = p;
        temp = true;
        kind = kDomainOrTemp;
    } else if (isClass(entry, "host") || isClass(entry, "asset")) {
        assetId = stringAttr(entry, "id");
        if (assetId == nullptr) return DirError::E_MISSING_HOST;
        key = std::string("H") + assetId;
        kind = kAsset;
    } else if (isClass(entry, "endpoint")) {
        const char* id = stringAttr(entry, "id");
        if (id == nullptr) return DirError::E_MISSING_HOST;
        objectName = std::string("E") + id;
        int rv = lookupEndpointForOpen(id, pending, listener, &endpoint);
        if (rv != 0) return rv;
        endpointAsset = endpointAssetId(endpoint);
        assetId = endpointAsset.c_str();
        key = std::string("H") + endpointAsset;
        kind = kAsset;
    } else {
        return DirError::E_BAD_ROOT_CLASS;
    }

    if (objectName.empty()) objectName = key;

    // An open provider for the key serves this name too.
    {
        CriticalSection cs(_providerCb);
        ProviderEntry* found = findProviderLocked(key.c_str());
        if (found != nullptr) {
            rc->setCurrent(new DirectoryObject(objectName.c_str(), nullptr));
            rc->setSPI(found->spi);
            rc->index++;
            rc->setTarget(endpoint);
            return 0;
        }
    }

    DirectorySPI* opened = nullptr;
    if (kind == kDomainOrTemp) {
        if (_remote == nullptr) {
            delete endpoint;
            return DirError::E_NOT_CONNECTED;
        }
        opened = _remote->openDomain(this, domainName, host.c_str(), portText.c_str(), nullptr, key.c_str());
        if (opened == nullptr) return DirError::E_NOT_CONNECTED;
        opened->temporary = temp;
    } else {
        // The endpoint led to its asset; the provider is the asset's.
        delete endpoint;
        Asset* asset = nullptr;
        int rv = lookupAssetForOpen(assetId, pending, listener, &asset);
        if (rv != 0) return rv;
        if (_remote == nullptr) {
            delete asset;
            return DirError::E_NOT_CONNECTED;
        }
        DirectorySPI* masq = nullptr;
        if (_remote->getMode() == 0 && asset->masq) {
            CriticalSection cs(_providerCb);
            // Locked while the new provider copies its address, so that the
            // idle sweep cannot end it in between; one already marked for
            // the sweep is not used.
            if (lockedSPI != nullptr && !lockedSPI->isMarkedForDeletion()) {
                masq = lockedSPI;
                masq->addLock();
            }
            if (_spi_debug) log(0, "openProvider, will open masquerated provider through %p", static_cast<void*>(masq));
        }
        if (asset->host == nullptr) {
            if (masq != nullptr) masq->removeLock();
            delete asset;
            return DirError::E_MISSING_HOST;
        }
        opened = _remote->openAsset(this, masq, domain, asset, key.c_str());
        if (masq != nullptr) masq->removeLock();
        delete asset;
        if (opened == nullptr) return DirError::E_NOT_CONNECTED;
    }

    if (_spi_debug) {
        char* text = opened->toString();
        log(0, "openProvider, adding: domainId = %s, SPI = %s", key.c_str(), text);
        free(text);
    }
    DirectorySPI* spare = nullptr;
    DirectorySPI* used = adoptProvider(opened, key.c_str(), 0, &spare);
    rc->index++;
    rc->setCurrent(new DirectoryObject(key.c_str(), nullptr));
    rc->setSPI(used);
    used->removeLock();  // the context holds it now
    rc->setTarget(nullptr);
    closeSpare(spare);
    return 0;
}

void Directory::adjustSPI(ResolveContext* rc, DirectoryObject* object) {
    if (object == nullptr || object->className == nullptr || object->className[0] != 'D') return;
    DirectorySPI* registered = static_cast<DirectorySPI*>(Registry::getObject(object->className + 1));
    if (registered != nullptr) rc->setSPI(registered);
}

int Directory::resolveToObject(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener,
                               AsyncResolveHelper* arh) {
    if (rc->index < 1) {
        int rv = resolveToDomain(rc, pending, listener);
        if (rv != 0) return rv;
    }
    if (arh != nullptr) {
        int rv = consumeAsyncResolve(rc, arh);
        if (rv != 0) return rv;
    }
    while (rc->index < rc->entryCount()) {
        if (arh != nullptr && rc->spi->isNetworkSPI()) return startAsyncResolve(rc, arh);
        DirectoryObject* out = nullptr;
        int rv = rc->spi->resolve(rc->target, rc->principal, rc->current, rc->entry(rc->index), out);
        if (rv != 0) {
            delete out;
            if (_debug) log(0, "    resolve failed, rv = %d", rv);
            return rv;
        }
        if (out == nullptr) return DirError::E_OBJECT_NOT_FOUND;
        rc->setCurrent(out);
        adjustSPI(rc, out);
        rc->index++;
    }
    return 0;
}

int Directory::resolveForSearch(ResolveContext* rc, FutureResult** pending, FutureResultListener* listener) {
    if (_debug) log(0, "Dir::resolveToSearch():");
    int rv = resolveToDomain(rc, pending, listener);
    if (rv != 0) return rv;
    while (rc->entryCount() - rc->index > 1) {
        DirectoryObject* out = nullptr;
        rv = rc->spi->resolve(rc->target, rc->principal, rc->current, rc->entry(rc->index), out);
        if (rv != 0) {
            delete out;
            if (_debug) log(0, "    resolve failed, rv = %d", rv);
            return rv;
        }
        if (out == nullptr) return DirError::E_OBJECT_NOT_FOUND;
        rc->setCurrent(out);
        adjustSPI(rc, out);
        rc->index++;
    }
    if (_debug)
        log(0, "    resolves to: %s|%p", rc->current != nullptr && rc->current->className != nullptr
                                            ? rc->current->className
                                            : "NULL",
            static_cast<void*>(rc->spi));
    return 0;
}

int Directory::resetDomain(ResolveContext* rc, FutureResult**, FutureResultListener*, bool wait) {
    if (rc->index != 0 || rc->name == nullptr || !rc->name->hostRooted) return 0;
    const DirNameEntry* entry = rc->entry(0);
    if (entry == nullptr) return 0;
    std::string key;
    if (isClass(entry, "domain")) {
        const char* n = stringAttr(entry, "name");
        if (n == nullptr) return DirError::E_MISSING_DOMAIN;
        key = std::string("D") + n;
    } else if (isClass(entry, "host")) {
        const char* id = stringAttr(entry, "id");
        if (id == nullptr) return DirError::E_MISSING_HOST;
        key = std::string("H") + id;
    } else if (isClass(entry, "temp")) {
        const char* h = stringAttr(entry, "hostname");
        if (h == nullptr) return DirError::E_MISSING_HOST;
        key = std::string("H") + h;
    } else {
        return DirError::E_BAD_ROOT_CLASS;
    }
    DirectorySPI* target = nullptr;
    {
        CriticalSection cs(_providerCb);
        ProviderEntry* e = findProviderLocked(key.c_str());
        if (e == nullptr || !e->spi->isNetworkSPI() || _remote == nullptr) return 0;
        target = e->spi;
        // The first step runs under the list lock so that the sweep cannot
        // take the provider between finding and marking it as resetting.
        _remote->forceReset1(target);
        target->addLock();
    }
    if (wait)
        _remote->forceReset2(target);
    else
        _remote->forceReset3(target);
    target->removeLock();
    return 0;
}
