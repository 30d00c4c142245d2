#include "dir/asset_cache.h"

#include <string.h>

#include "dir/asset.h"

AssetMapper* assetMapper = nullptr;

CriticalBlock AssetCache::assetCacheBlock{LOCK_RANK_NONE, kProcessLifetime};
AssetCache::Entry* AssetCache::_assetCache = nullptr;

namespace {
time_t systemClock() {
    return time(nullptr);
}
}  // namespace

time_t (*AssetCache::_clock)() = systemClock;

void AssetCache::push(Entry* e) {
    e->added = _clock();
    CriticalSection hold(assetCacheBlock);
    e->next = _assetCache;
    _assetCache = e;
}

void AssetCache::addAssetCache(const Asset* asset) {
    if (asset == nullptr) return;
    push(new Entry{new Asset(*asset), nullptr, false, 0, nullptr});
}

void AssetCache::addAssetCache(const Endpoint* endpoint) {
    if (endpoint == nullptr) return;
    push(new Entry{nullptr, new Endpoint(*endpoint), true, 0, nullptr});
}

void AssetCache::freeEntry(Entry* e) {
    delete e->asset;
    delete e->endpoint;
    delete e;
}

AssetCache::Entry* AssetCache::find(bool endpoint, const char* id) {
    time_t now = _clock();
    Entry* found = nullptr;
    for (Entry** link = &_assetCache; *link != nullptr;) {
        Entry* e = *link;
        // An entry stamped later than now was made before the clock was
        // set back; however long ago that was, it cannot be told, so it
        // goes rather than live on until the clock catches up with it.
        if (now - e->added > kLifetimeSeconds || e->added > now) {
            *link = e->next;
            freeEntry(e);
            continue;
        }
        if (found == nullptr && e->isEndpoint == endpoint && id != nullptr) {
            const char* entryId = endpoint ? e->endpoint->id : e->asset->id;
            if (entryId != nullptr && strcmp(entryId, id) == 0) found = e;
        }
        link = &e->next;
    }
    return found;
}

Asset* AssetCache::assetCacheLookup(const char* assetId) {
    if (assetMapper != nullptr) return assetMapper->lookupAsset(assetId);
    CriticalSection hold(assetCacheBlock);
    Entry* e = find(false, assetId);
    return e != nullptr ? new Asset(*e->asset) : nullptr;
}

Endpoint* AssetCache::assetCacheLookupEndpoint(const char* endpointId) {
    if (assetMapper != nullptr) return assetMapper->lookupEndpoint(endpointId);
    CriticalSection hold(assetCacheBlock);
    Entry* e = find(true, endpointId);
    return e != nullptr ? new Endpoint(*e->endpoint) : nullptr;
}

void AssetCache::forceRemove(const char* assetId) {
    if (assetId == nullptr) return;
    CriticalSection hold(assetCacheBlock);
    for (Entry** link = &_assetCache; *link != nullptr; link = &(*link)->next) {
        Entry* e = *link;
        if (!e->isEndpoint && e->asset->id != nullptr && strcmp(e->asset->id, assetId) == 0) {
            *link = e->next;
            freeEntry(e);
            return;
        }
    }
}

void AssetCache::clear() {
    CriticalSection hold(assetCacheBlock);
    while (Entry* e = _assetCache) {
        _assetCache = e->next;
        freeEntry(e);
    }
}
