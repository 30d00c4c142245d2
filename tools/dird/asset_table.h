// AssetTable: the assets (managed machines) and endpoints (services on
// them) the directory server answers "getAsset" and "getEndpointData" with,
// kept as JSON in the state folder ("assets.json"):
//
//   { "assets": [ { "id": "web1", "name": "web1", "host": "10.0.0.5",
//                   "port": 14000, "ftport": 14001, "masq": false,
//                   "publicKey": "-----BEGIN PUBLIC KEY-----\n...",
//                   "agentId": "...", "sysname": "Linux", ... } ],
//     "endpoints": [ { "id": "ep1", "name": "ftp on web1", "asset": "web1",
//                      "type": 1, "attributes": { "path": "/srv" } } ] }
//
// Every Asset and Endpoint field may appear under its own name; absent ones
// are null, 0 or false. Enrolment adds and updates assets and rewrites the
// file; a person may edit it while the server runs (it is read again when
// its modification time changes). A file that does not read as such a table
// keeps the previous contents in force and is reported, never overwritten.
//
// Thread-safety: every operation takes the table's lock; records handed out
// are copies.
#ifndef DRV_TOOLS_DIRD_ASSET_TABLE_H
#define DRV_TOOLS_DIRD_ASSET_TABLE_H

#include <time.h>

#include <string>
#include <vector>

#include "common/sem.h"
#include "common/thread_annotations.h"

class Asset;
class Endpoint;

class AssetTable {
public:
    explicit AssetTable(const std::string& path) : _path(path) {}
    ~AssetTable();
    AssetTable(const AssetTable&) = delete;
    AssetTable& operator=(const AssetTable&) = delete;

    // Reads the file (an absent one is an empty table and is written out).
    // False with *error set when it is not a table.
    bool load(std::string* error) EXCLUDES(_lock);

    // New copies, or null.
    Asset* findAsset(const char* id) EXCLUDES(_lock);
    Endpoint* findEndpoint(const char* id) EXCLUDES(_lock);
    // The asset whose public key (PEM) names the same key as publicKeyPem.
    Asset* findAssetByKey(const char* publicKeyPem) EXCLUDES(_lock);
    // Copies of every asset (endpoint), in table order.
    std::vector<Asset*> allAssets() EXCLUDES(_lock);
    std::vector<Endpoint*> allEndpoints() EXCLUDES(_lock);

    // Adds the asset, or replaces the one with the same id, and rewrites the
    // file. *added tells which. False with *error set (also while the file
    // does not read as a table).
    bool putAsset(const Asset& asset, bool* added, std::string* error) EXCLUDES(_lock);
    // Removes the asset with that id; false when there is none or the file
    // cannot be written (*error says which).
    bool removeAsset(const char* id, std::string* error) EXCLUDES(_lock);

    // The table as JSON text (what the file holds).
    std::string toJson() EXCLUDES(_lock);
    // Parses a table text; false with *error set. Exposed for tests and the
    // fuzz target.
    static bool parse(const char* text, std::vector<Asset*>* assets, std::vector<Endpoint*>* endpoints,
                      std::string* error);
    // The text of a table of these records, which parse reads back.
    static std::string format(const std::vector<Asset*>& assets, const std::vector<Endpoint*>& endpoints);

private:
    void refreshLocked() REQUIRES(_lock);
    bool saveLocked(std::string* error) REQUIRES(_lock);
    std::string jsonLocked() REQUIRES(_lock);
    void clearLocked() REQUIRES(_lock);

    std::string _path;
    CriticalBlock _lock;
    std::vector<Asset*> _assets GUARDED_BY(_lock);
    std::vector<Endpoint*> _endpoints GUARDED_BY(_lock);
    time_t _mtime GUARDED_BY(_lock) = 0;
    long _mtimeNs GUARDED_BY(_lock) = 0;
    // The file changed into something that is not a table: it is kept as
    // it is (no change is written) until it reads again.
    bool _broken GUARDED_BY(_lock) = false;
};

#endif
