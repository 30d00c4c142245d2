// The asset cache: recent answers of the domain server's "getAsset" and
// "getEndpointData" operations, kept for 30 seconds so that resolving a
// name that reaches an asset or endpoint does not ask again every time.
// An embedding server that knows its assets itself installs an AssetMapper,
// which then answers every lookup instead of the cache.
//
// Ownership: the cache holds its own deep copies; lookups return new copies
// that the caller owns and deletes.
//
// Thread-safety: every operation takes the cache lock (assetCacheBlock),
// alone; nothing is called out while it is held. The mapper hook is set once
// at start-up, before any lookup.
#ifndef DRV_DIR_ASSET_CACHE_H
#define DRV_DIR_ASSET_CACHE_H

#include <time.h>

#include "common/sem.h"

class Asset;
class Endpoint;

// Installed by an embedding server; each lookup returns a new record or null.
// isKnownKey answers an agent's "is this certificate one of ours?" question
// (M_VERIFY_CERT) with the certificate's public key in PEM form; a mapper
// that keeps no keys knows none.
class AssetMapper {
public:
    virtual Asset* lookupAsset(const char* id) = 0;
    virtual Endpoint* lookupEndpoint(const char* id) = 0;
    virtual bool isKnownKey(const char* publicKeyPem) {
        (void)publicKeyPem;
        return false;
    }

protected:
    ~AssetMapper() = default;
};

// Null unless an embedding server installed one.
extern AssetMapper* assetMapper;

class AssetCache {
public:
    // Seconds an entry lives from its insertion.
    static const int kLifetimeSeconds = 30;

    // Puts a deep copy at the head; the same id may be there several times
    // and lookups find the newest.
    static void addAssetCache(const Asset* asset);
    static void addAssetCache(const Endpoint* endpoint);
    // A new copy of the newest live asset (endpoint) with exactly that id, or
    // null; entries past their lifetime are dropped on the way. With the
    // mapper set, its answer instead.
    static Asset* assetCacheLookup(const char* assetId);
    static Endpoint* assetCacheLookupEndpoint(const char* endpointId);
    // Removes the first asset entry with that id.
    static void forceRemove(const char* assetId);
    // Drops every entry (tests, shutdown).
    static void clear();

    // The clock the cache reads; tests replace it to age entries.
    static time_t (*_clock)();

private:
    struct Entry {
        Asset* asset;
        Endpoint* endpoint;
        bool isEndpoint;
        time_t added;
        Entry* next;
    };

    static void push(Entry* e);
    // The newest live entry of that kind and id, after dropping the dead.
    static Entry* find(bool endpoint, const char* id) REQUIRES(assetCacheBlock);
    static void freeEntry(Entry* e);

    static CriticalBlock assetCacheBlock;
    static Entry* _assetCache GUARDED_BY(assetCacheBlock);
};

#endif
