// How the directory core reaches the remote provider: the RemoteProviderSeam
// installed in Directory::_remote, the asynchronous execute hook of the
// execution thread, the client hooks (unique ids, message queue), the sender
// of listener updates to remote clients, and the server-side entry points
// (attachConnection, findProxy, resetMasqProvider).
#include <string.h>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/exec_helper.h"
#include "dir/listener.h"
#include "dir/net_client_spi.h"
#include "dirbase/message.h"

namespace {

NetClientSPI* asClient(DirectorySPI* spi) {
    return dynamic_cast<NetClientSPI*>(spi);
}

class Seam : public RemoteProviderSeam {
public:
    DirectorySPI* openDomain(Directory* directory, const char* domain, const char* host, const char* port,
                             Attributes* domainAttributes, const char* key) override {
        if (host == nullptr || port == nullptr) return nullptr;
        return new NetClientSPI(directory, domain, host, port, domainAttributes, key, nullptr);
    }
    DirectorySPI* openAsset(Directory* directory, DirectorySPI* masq, const char* domain, const Asset* asset,
                            const char* key) override {
        return new NetClientSPI(directory, asClient(masq), domain, asset, key, nullptr);
    }
    int getMode() override { return NetClientSPI::getMode(); }
    int asyncResolve(DirectorySPI* spi, DelayedEvent* event, const Endpoint* target, const Principal* principal,
                     DirectoryObject* current, const DirNameEntry* entry) override {
        NetClientSPI* n = asClient(spi);
        return n != nullptr ? n->asyncResolve(event, target, principal, current, entry) : 11;
    }
    bool hasManagedConnection(DirectorySPI* spi) override {
        NetClientSPI* n = asClient(spi);
        return n != nullptr && n->hasManagedConnection();
    }
    const char* assetIdOf(DirectorySPI* spi) override {
        NetClientSPI* n = asClient(spi);
        return n != nullptr ? n->getAssetId() : nullptr;
    }
    bool readsThroughDirectory(DirectorySPI* spi) override {
        NetClientSPI* n = asClient(spi);
        return n != nullptr && n->readsThroughDirectory();
    }
    bool fileServiceOf(DirectorySPI* spi, std::string* host, std::string* port) override {
        NetClientSPI* n = asClient(spi);
        return n != nullptr && n->fileService(host, port);
    }
    void forceReset1(DirectorySPI* spi) override {
        if (NetClientSPI* n = asClient(spi)) n->forceReset1();
    }
    void forceReset2(DirectorySPI* spi) override {
        if (NetClientSPI* n = asClient(spi)) n->forceReset2();
    }
    void forceReset3(DirectorySPI* spi) override {
        if (NetClientSPI* n = asClient(spi)) n->forceReset3();
    }
    void addAlertListener(DirectorySPI* spi, AlertListener* listener, const Principal* principal) override {
        if (NetClientSPI* n = asClient(spi)) n->addAlertListener(listener, principal);
    }
    void setManagedConnection(DirectorySPI* spi, ManagedConnectionListener* listener) override {
        if (NetClientSPI* n = asClient(spi)) n->setManagedConnection(listener);
    }
    void installClientHooks() override;
};

Seam _seam;

// Runs fn on the hooks' provider, locked so that the idle sweep cannot end
// it meanwhile; `none` when there is none.
template <typename R, typename F>
R withHookProvider(R none, F fn) {
    DirectorySPI* spi = Directory::lockHookProvider();
    if (spi == nullptr) return none;
    NetClientSPI* n = asClient(spi);
    R r = n != nullptr ? fn(n) : none;
    spi->removeLock();
    return r;
}

void processMQClient(long long a, long long b, char* data, unsigned long length) {
    withHookProvider(0, [&](NetClientSPI* n) {
        n->processMQ(a, b, data, length);
        return 0;
    });
}

long long localInstanceIdFn() {
    return withHookProvider(0LL, [](NetClientSPI* n) { return n->localInstanceId(); });
}

long long localUniqueIdFn() {
    return withHookProvider(0LL, [](NetClientSPI* n) {
        long long id = 0;
        return n->localUniqueId(&id) == 0 ? id : 0LL;
    });
}

int localMiniGuidFn(char* buffer, int size) {
    return withHookProvider(11, [&](NetClientSPI* n) { return n->localMiniGuid(buffer, size); });
}

void Seam::installClientHooks() {
    Directory::_routeMQ = reinterpret_cast<void*>(processMQClient);
    Directory::_instanceIdFn = localInstanceIdFn;
    Directory::_uniqueIdFn = localUniqueIdFn;
    Directory::_miniGuidFn = localMiniGuidFn;
}

int asyncExecuteHook(DirectorySPI* spi, const Principal* principal, DirectoryObject* current, const char* operation,
                     Any** args, long long id, Connection** connection) {
    NetClientSPI* n = asClient(spi);
    return n != nullptr ? n->asyncExecute(principal, current, operation, args, id, connection) : 11;
}

// Listener updates for remote clients, on their connections.
class UpdateSender : public ListenerUpdateSender {
public:
    void sendUpdate(Connection* connection, int listenerId, int kind, const DirNameEntry* entry,
                    const Attributes* attributes, const Acl* acl) override {
        connection->send(DirProtocol::listenerUpdate(listenerId, kind, entry, attributes, acl));
    }
    void sendUpdates(Connection* connection, int listenerId, int kind, int count, DirNameEntry** entries,
                     Attributes** attributes, Acl** acls) override {
        connection->send(DirProtocol::listenerUpdate2(listenerId, kind, count, entries, attributes, acls));
    }
};

UpdateSender _sender;

}  // namespace

void NetClientSPI::install() {
    Directory::_remote = &_seam;
    _listenerUpdateSender = &_sender;
    ExecHelper::_asyncExecuteFn = asyncExecuteHook;
}

bool Directory::attachConnection(Connection* connection, const char* agentId, EVP_PKEY*) {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI: attach from agent id = %s", agentId != nullptr ? agentId : "NULL");
    CriticalSection hold(_providerCb);
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next) {
        NetClientSPI* n = asClient(e->spi);
        if (n == nullptr || n->isMarkedForDeletion() || n->assetAgentId() == nullptr || agentId == nullptr ||
            strcmp(n->assetAgentId(), agentId) != 0)
            continue;
        log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: found client, connection = %p", n->getName(),
            static_cast<void*>(connection));
        n->attachCallHome(connection);
        return true;
    }
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI: no matching client in attachConnection");
    return false;
}

NetClientSPI* Directory::findProxy(const char* assetId) {
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI: find proxy for agent id = %s",
        assetId != nullptr ? assetId : "NULL");
    CriticalSection hold(_providerCb);
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next) {
        NetClientSPI* n = asClient(e->spi);
        if (n == nullptr || n->isMarkedForDeletion() || n->getAssetId() == nullptr || assetId == nullptr ||
            strcmp(n->getAssetId(), assetId) != 0)
            continue;
        n->addLock();
        return n;
    }
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI: no matching proxy");
    return nullptr;
}

void Directory::resetMasqProvider(const char* assetId) {
    CriticalSection hold(_providerCb);
    for (ProviderEntry* e = _providerList; e != nullptr; e = e->next) {
        NetClientSPI* n = asClient(e->spi);
        if (n != nullptr && n->getAssetId() != nullptr && assetId != nullptr && strcmp(n->getAssetId(), assetId) == 0)
            n->resetKeys();
    }
}
