// A remote-provider seam for tests that stand in for the remote provider
// library: it opens nothing and every remote call answers as a provider
// that cannot reach its peer. Tests override what they exercise.
#ifndef DRV_TESTS_DIR_REMOTE_SEAM_STUB_H
#define DRV_TESTS_DIR_REMOTE_SEAM_STUB_H

#include "common/error_codes.h"
#include "dir/directory.h"

class RemoteSeamStub : public RemoteProviderSeam {
public:
    DirectorySPI* openDomain(Directory*, const char*, const char*, const char*, Attributes*, const char*) override {
        return nullptr;
    }
    DirectorySPI* openAsset(Directory*, DirectorySPI*, const char*, const Asset*, const char*) override {
        return nullptr;
    }
    int getMode() override { return 0; }
    int asyncResolve(DirectorySPI*, DelayedEvent*, const Endpoint*, const Principal*, DirectoryObject*,
                     const DirNameEntry*) override {
        return DirError::E_NOT_CONNECTED;
    }
    bool hasManagedConnection(DirectorySPI*) override { return false; }
    const char* assetIdOf(DirectorySPI*) override { return nullptr; }
    void forceReset1(DirectorySPI*) override {}
    void forceReset2(DirectorySPI*) override {}
    void forceReset3(DirectorySPI*) override {}
    void addAlertListener(DirectorySPI*, AlertListener*, const Principal*) override {}
    void setManagedConnection(DirectorySPI*, ManagedConnectionListener*) override {}
    void installClientHooks() override {}
};

#endif
