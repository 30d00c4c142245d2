// The module entry: moduleMain builds the one NetModule, which registers the
// "Network" manager with the host and serves the "networkAdapter" class as a
// directory provider.
#ifndef DRV_MODULE_NET_MODULE_H
#define DRV_MODULE_NET_MODULE_H

#include "dir/directory_spi.h"

class NetObjectManager;

class Module {
public:
    virtual int start() = 0;

protected:
    ~Module() = default;
};

class NetModule : public Module, public DirectorySPI {
public:
    // Builds the provider base and the "Network" manager and registers the
    // manager with the host.
    NetModule();

    // Federates this provider under "networkAdapter"; the host's result.
    int start() override;
    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    ~NetModule() override;

    NetObjectManager* getManager() const { return _manager; }

private:
    NetObjectManager* _manager;
};

extern "C" {
// The one module instance, once moduleMain has built it; never destroyed.
extern NetModule* _netMod;
// The host's entry point: builds the module and returns start()'s result.
int moduleMain();
}

#endif
