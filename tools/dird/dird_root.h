// DirdRootSPI: the root provider of the directory server's domain. The
// domain's own objects live here: its assets ("asset:id=..." or
// "host:id=..."), its endpoints ("endpoint:id=...") and the login service
// ("auth:"), answered from the state folder's tables; every other name goes
// to the host's root provider (the federated providers of this machine:
// the network module's "networkAdapter" class and the host's "mount"
// class).
//
//   resolve        asset, host, endpoint and auth entries at the root
//   search         assets at the root (class "asset"), then the host's
//   execute        "getAsset" / "getEndpointData" on an asset / endpoint
//                  (the record itself); "relogin" and
//                  "authenticateAlternateUser" on "auth:"
//   getAttributes  an asset's fields; getAcl: readable by everyone in the
//                  domain, owned by the administrators; list: the classes
//   listeners      changes of the asset table reach listeners of class
//                  "asset" (assetChanged)
//
// Ownership: the tables, the CA and the host's provider belong to the server.
//
// Thread-safety: the slots may be called from any thread at once; the
// tables guard themselves.
#ifndef DRV_TOOLS_DIRD_DIRD_ROOT_H
#define DRV_TOOLS_DIRD_DIRD_ROOT_H

#include <string>

#include "dir/directory_spi.h"

class Asset;
class AssetTable;
class DomainCA;
class UserTable;

class DirdRootSPI : public DirectorySPI {
public:
    DirdRootSPI(DirectorySPI* host, AssetTable* assets, UserTable* users, DomainCA* ca);

    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) override;
    char* toString() const override;

    // The provider whose records a listener on object with filter belongs
    // in: this one for assets, else the federated provider that owns the
    // object or serves the filter's class; null when none does.
    DirectorySPI* listenerOwner(const DirectoryObject* object, const DirNameEntry* filter);
    // Tells listeners of class "asset" that an asset was added or changed
    // (or, with removed, deleted).
    void assetChanged(const Asset& asset, bool added, bool removed);

    // The principal a user of this domain runs as (issued by this server):
    // security text from the users file, domain, signature. Null for an
    // unknown user.
    Principal* principalFor(const std::string& user, long long session);

    // The entry and attribute set an asset is listed with.
    static DirNameEntry* assetEntry(const Asset& asset);
    static Attributes* assetAttributes(const Asset& asset);

private:
    // Which of this provider's objects object is: "asset", "endpoint",
    // "auth", or "" for none; the id after it.
    bool isMine(const DirectoryObject* object, std::string* kind, std::string* id) const;
    DirectoryObject* makeObject(const char* kind, const char* id) const;

    DirectorySPI* _host;
    AssetTable* _assets;
    UserTable* _users;
    DomainCA* _ca;
};

#endif
