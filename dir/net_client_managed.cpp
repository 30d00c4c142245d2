// NetClientSPI's alert listeners, its managed-connection listener (a server
// watching the agent this provider stands for), and call-ins: connections
// an agent opened towards us that the provider adopts.
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/properties.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/dir_protocol.h"
#include "dir/net_client_internal.h"
#include "dir/principal.h"

// A managed connection is declared lost after "nc_managed_timeout" without
// a read, and proves its own life every "nc_managed_hb_rate".
void netclient::setManagedTiming(Connection* c) {
    c->setTiming(s_getIntProperty("nc_managed_timeout", 45000), s_getIntProperty("nc_managed_hb_rate", 10000));
}

void NetClientSPI::addAlertListener(AlertListener* listener, const Principal* principal) {
    {
        CriticalSection hold(listenersLock);
        delete alertPrincipal;
        alertPrincipal = principal != nullptr ? new Principal(*principal) : nullptr;
        alertListeners.insert(alertListeners.begin(), listener);
    }
    if (isConnected()) {
        listener->connected();
        if (principal != nullptr) sendMessage(DirProtocol::initiateAlertViewerSync(principal));
    }
}

void NetClientSPI::setManagedConnection(ManagedConnectionListener* listener) {
    ManagedConnectionListener* old;
    {
        CriticalSection hold(listenersLock);
        old = managedListener;
        managedListener = listener;
    }
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: now (un)managed, new = %p, old = %p", name,
        static_cast<void*>(listener), static_cast<void*>(old));
    bool isConn;
    bool required;
    char* peer = nullptr;
    {
        CondSection hold(state);
        isConn = connected;
        required = certificateRequired;
        if (connection != nullptr && connection->getPeerAddress() != nullptr) peer = strdup(connection->getPeerAddress());
        // A connection made before the provider became managed takes the
        // managed timing now rather than at its next connect.
        if (listener != nullptr && old == nullptr && connection != nullptr) netclient::setManagedTiming(connection);
    }
    if (listener != nullptr) {
        if (isConn) {
            if (required) {
                listener->agentVerified(getAssetId());
                log(_debug_netclient, LOG_INFO, 0, 0,
                    "NetClientSPI %s: initiating viewer resync to agent, sending M_INITIATE_ALERT_SERVER_SYNC", name);
                sendMessage(DirProtocol::initiateAlertServerSync(domain, getAssetId()));
            } else {
                listener->agentConnected(asset != nullptr ? asset->name : nullptr, getAssetId(), peer);
            }
        }
    } else {
        if (isConn) {
            log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: sending M_NOTIFY_UNMANAGED to agent", name);
            sendMessage(DirProtocol::notifyUnmanaged(domain, getAssetId()));
        }
        if (old != nullptr) old->agentRemoved(getAssetId());
        if (getAssetId() != nullptr) AssetCache::forceRemove(getAssetId());
    }
    free(peer);
}

bool NetClientSPI::hasManagedConnection() {
    CriticalSection hold(listenersLock);
    return managedListener != nullptr;
}

void NetClientSPI::attachCallHome(Connection* c) {
    c->addLock();
    // A provider gone before its thread came to the call-in leaves nobody to
    // serve it: the agent is hung up on rather than left attached to nothing.
    netclient::runFor(serial, [c](NetClientSPI* spi) { spi->doCallHome(c); },
                      [c]() {
                          c->close();
                          Connection::destroy(c);
                          c->removeLock();
                      });
}

void NetClientSPI::doCallHome(Connection* c) {
    Connection* old;
    bool serving = false;
    {
        CondSection hold(state);
        old = connection;
        // The call-in is this provider's connection from now on, whether it
        // waits for agents or dials them: onConnectComplete goes on only for
        // its own connection, and one it did not take would be nobody's.
        connection = c;
        if (old != nullptr && old != c) {
            serving = connected;
            connected = false;
        }
    }
    if (old != nullptr && old != c) {
        old->close();
        Connection::destroy(old);
    }
    // The close silences the old connection: no loss is reported for it, so
    // what waits on it (calls, executes, listeners opened there) is ended
    // here rather than left to its time-out or, for a listener, for ever.
    if (serving) endOfServingConnection();
    c->setListener(link);
    if (hasManagedConnection()) netclient::setManagedTiming(c);
    onConnectComplete(c);
    c->removeLock();
}
