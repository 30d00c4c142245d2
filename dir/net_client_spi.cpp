// NetClientSPI's life: construction, the connect timer, the connection's
// events, the idle test, forced resets and closing. Alert listeners, the
// managed-connection listener and call-ins are in net_client_managed.cpp;
// the peer's key and the asset reload that renews it in net_client_trust.cpp.
#include "dir/net_client_spi.h"

#include <openssl/x509.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/net_client_internal.h"
#include "dir/principal.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/message.h"

std::atomic<int> NetClientSPI::_netclient_timeout{40000};
std::atomic<int> NetClientSPI::_maxSearchEntries{100000};
void (*NetClientSPI::_gaveUpHook)(NetClientSPI*, DelayedEvent*) = nullptr;
std::atomic<int> NetClientSPI::_mode{0};
int (*NetClientSPI::_handleIdentifyFn)(int, const char*) = nullptr;
bool NetClientSPI::_upgrade_certs = false;
void (*NetClientSPI::eventDispatcher)(Translatable*) = nullptr;
void (*NetClientSPI::statDispatcher)(const char*, const char*, Translatable*) = nullptr;
void (*NetClientSPI::_dispatchMQ)(long long, long long, const unsigned char*, uint32_t) = nullptr;
Translatable* (*NetClientSPI::_authHelper)(const char*, int, const char*, const char*) = nullptr;
int (*NetClientSPI::_ruleHelperFn)(const char*, Connection*, const Asset*, Translatable***) = nullptr;

namespace {

char* dup(const char* s) { return s != nullptr ? strdup(s) : nullptr; }
const char* orNull(const char* s) { return s != nullptr ? s : "NULL"; }

}  // namespace

// ---- construction --------------------------------------------------------

void NetClientSPI::initCommon(Directory* dir, const char* domainName, const char* key) {
    link = new ProviderLink(this);
    connection = nullptr;
    connected = false;
    // A first attempt is about to be made: callers wait for it.
    mayConnect = true;
    connectBad = false;
    lastError = 0;
    domainAttributesPending = false;
    attributesAskedAt = 0;
    attemptCount = 0;
    instanceId = 0;
    for (int i = 0; i < 20; i++) {
        ids[i] = 0;
        miniGuids[i] = nullptr;
    }
    idIndex = -1;
    miniGuidIndex = -1;
    batchCount = 0;
    idRequestOutstanding = false;
    idsArrived = false;
    batchesReceived = 0;
    alertPrincipal = nullptr;
    managedListener = nullptr;
    domainAttributes = nullptr;
    agentAttributes = nullptr;
    host = nullptr;
    port = nullptr;
    ftPort = strdup("14001");
    keyOnFile = nullptr;
    certificateRequired = false;
    reconnectPass = 0;
    timer = nullptr;
    directory = dir;
    domain = dup(domainName);
    connectErrors = 0;
    resetting = false;
    connectedAt = 0;
    lostAt = 0;
    closed = false;
    masqThrough = nullptr;
    lastUsed = time(nullptr);
    lostNotified = false;
    name[0] = '\0';
    asset = nullptr;
    if (key != nullptr) {
        free(domainGuid);
        domainGuid = strdup(key);
    }
    // The session's certificate and key outlive the session in the provider.
    if (dir != nullptr) {
        if (dir->certificate != nullptr) X509_up_ref(dir->certificate);
        if (dir->privateKey != nullptr) EVP_PKEY_up_ref(dir->privateKey);
        certificate = dir->certificate;
        privateKey = dir->privateKey;
    } else {
        certificate = nullptr;
        privateKey = nullptr;
    }
    // Who an asset reload asks as, and in which domain: the opener's, which
    // may have ended by then.
    std::shared_ptr<const Principal> opener = dir != nullptr ? dir->findPrincipal() : nullptr;
    reloadPrincipal = opener != nullptr ? new Principal(*opener) : nullptr;
    reloadDomain = dir != nullptr ? dup(dir->domain) : nullptr;
    reloading = false;
}

NetClientSPI::NetClientSPI(Directory* dir, const char* domainName, const char* hostName, const char* portText,
                           Attributes* attributes, const char* key, const EVP_PKEY* key2) {
    initCommon(dir, domainName, key);
    {
        CondSection hold(state);
        host = dup(hostName);
        port = dup(portText);
        if (key2 != nullptr) {
            if (netclient::isRsaKey(key2)) {
                EVP_PKEY_up_ref(const_cast<EVP_PKEY*>(key2));
                keyOnFile = const_cast<EVP_PKEY*>(key2);
            }
            // Required even when the key given is of no use: such a peer is
            // refused rather than reached without any check.
            certificateRequired = true;
        }
        domainAttributes = attributes != nullptr ? new Attributes(*attributes) : nullptr;
        const char* ft = attributes != nullptr ? attributes->getStringAttribute("ftPort") : nullptr;
        if (ft != nullptr) {
            free(ftPort);
            ftPort = strdup(ft);
        }
    }
    snprintf(name, sizeof(name), "[%s:%s:%s]", orNull(domainName), orNull(hostName), orNull(portText));
    if (dir != nullptr) dir->lockToSPI(this);
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: created: domain = %s, host = %s, port = %s", name,
        orNull(domainName), orNull(hostName), orNull(portText));
    serial = netclient::enroll(this);
    start();
}

NetClientSPI::NetClientSPI(Directory* dir, NetClientSPI* through, const char* domainName, const Asset* a,
                           const char* key, const Endpoint*) {
    initCommon(dir, domainName, key);
    asset = new Asset(*a);
    masqThrough = through;
    snprintf(name, sizeof(name), "[%s/%s]", orNull(domainName), orNull(a->id));
    {
        CondSection hold(state);
        if (through != nullptr) {
            CondSection other(through->state);
            host = dup(through->host);
            port = dup(through->port);
        } else {
            host = dup(a->host);
            char text[16];
            snprintf(text, sizeof(text), "%d", a->port);
            port = strdup(text);
        }
        if (a->publicKey != nullptr && a->publicKey[0] != '\0') {
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: key will be: %s", name, a->publicKey);
            keyOnFile = netclient::readRsaPublicKey(a->publicKey);
            if (keyOnFile == nullptr)
                log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: the RSA key is in dommgr.xml is invalid",
                    name);
            // Required even when the key on file cannot be read: such an
            // asset is refused rather than reached without any check.
            certificateRequired = true;
        }
        setFileTransferPort(a->ftport);
    }
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: created: domain = %s, asset = %s, id = %s", name,
        orNull(domainName), orNull(a->name), orNull(a->id));
    serial = netclient::enroll(this);
    start();
}

void NetClientSPI::start() {
    long long s = serial;
    bool started = netclient::runFor(s, [](NetClientSPI* spi) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: start()", spi->name);
        netclient::setTimer(spi->serial, kFirstRun);
    });
    if (started) return;
    // No thread to run the connect timer on: no attempt will be made, and
    // callers fail at once instead of waiting for one.
    CondSection hold(state);
    lastError = DirError::E_NO_RESOURCE;
    mayConnect = false;
    wakeWaiters();
}

NetClientSPI::~NetClientSPI() {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: destroyed", name);
    // No timer, operation or connection callback reaches this provider
    // once these return.
    netclient::withdraw(serial);
    link->detach();
    ManagedConnectionListener* managed;
    {
        CriticalSection hold(listenersLock);
        managed = managedListener;
    }
    if (managed != nullptr) managed->agentRemoved(getAssetId());
    Connection* c;
    {
        CondSection hold(state);
        c = connection;
        connection = nullptr;
    }
    if (c != nullptr) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: closing connection on destroy", name);
        c->close();
    }
    // Parked before the destroy: the link's barrier goes through the
    // connection, which destroy may free.
    ProviderLink::park(link, c);
    if (c != nullptr) Connection::destroy(c);
    CondSection hold(state);
    free(host);
    free(port);
    free(ftPort);
    free(domain);
    free(reloadDomain);
    delete reloadPrincipal;
    if (keyOnFile != nullptr) EVP_PKEY_free(keyOnFile);
    if (certificate != nullptr) X509_free(certificate);
    if (privateKey != nullptr) EVP_PKEY_free(privateKey);
    delete domainAttributes;
    delete agentAttributes;
    delete asset;
    CriticalSection l(listenersLock);
    delete alertPrincipal;
    CondSection ids(idBlock);
    for (char* g : miniGuids) free(g);
}

const char* NetClientSPI::getAssetId() const { return asset != nullptr ? asset->id : nullptr; }

const char* NetClientSPI::assetAgentId() const { return asset != nullptr ? asset->agentId : nullptr; }

const char* NetClientSPI::masqAsset() const { return masqThrough != nullptr ? getAssetId() : nullptr; }

bool NetClientSPI::isReversed() {
    bool r = getMode() == 1 && asset != nullptr && asset->masq;
    log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: isReversed() called, will return %s", name,
        r ? "true" : "false");
    return r;
}

bool NetClientSPI::fileService(std::string* hostOut, std::string* portOut) {
    CondSection hold(state);
    if (host == nullptr) return false;
    *hostOut = host;
    *portOut = ftPort != nullptr ? ftPort : "14001";
    return true;
}

bool NetClientSPI::isConnected() {
    CondSection hold(state);
    return connected;
}

int NetClientSPI::getLastError() {
    CondSection hold(state);
    return lastError;
}

// ---- the connect timer ---------------------------------------------------

void NetClientSPI::handleEvent(Event*) {
    log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: handleEvent called", name);
    if (closed) return;
    pruneRecords();
    if (isReversed()) {
        Connection* drop = nullptr;
        bool none;
        bool serving = false;
        {
            CondSection hold(state);
            if (connectBad) {
                drop = connection;
                connection = nullptr;
                connectBad = false;
                serving = connected;
                connected = false;
            }
            none = connection == nullptr;
        }
        if (drop != nullptr) {
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: destroying connection", name);
            drop->close();
            Connection::destroy(drop);
        }
        if (serving) endOfServingConnection();
        ManagedConnectionListener* managed;
        {
            CriticalSection hold(listenersLock);
            managed = managedListener;
        }
        if (none && managed != nullptr && !lostNotified) {
            lostNotified = true;
            managed->agentDisconnected(getAssetId());
        }
        log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: Masq so will not try and connect", name);
        netclient::setTimer(serial, kReversedCheck);
        return;
    }
    // A connection whose peer never completed it is dropped below.
    giveUpOnAttributes();
    Connection* current;
    bool bad;
    {
        CondSection hold(state);
        current = connection;
        bad = connectBad;
    }
    log(_debug_netclient, LOG_TRACE, 0, 0,
        "NetClientSPI %s: Not reversed so will consider connecting now, asset = %s, reconnectPass = %d, _c = %p, "
        "bad = %d",
        name, orNull(getAssetId()), reconnectPass.load(), static_cast<void*>(current), bad ? 1 : 0);
    if (reconnectPass > 0) {
        reconnectPass--;
        netclient::setTimer(serial, kSkipPass);
        return;
    }
    if (current != nullptr && bad) {
        bool serving;
        {
            CondSection hold(state);
            current = connection;
            connection = nullptr;
            serving = connected;
            connected = false;
            connectBad = false;
        }
        if (current != nullptr) {
            current->close();
            Connection::destroy(current);
        }
        if (serving)
            endOfServingConnection();
        else
            failPendingCalls(DirError::E_NOT_CONNECTED);
        std::vector<AlertListener*> tell;
        ManagedConnectionListener* managed;
        {
            CriticalSection hold(listenersLock);
            tell = alertListeners;
            managed = managedListener;
        }
        for (AlertListener* l : tell) l->disconnected();
        if (managed != nullptr) managed->agentDisconnected(getAssetId());
    } else if (current == nullptr) {
        if (isMarkedForDeletion()) {
            log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: marked for deletion. Will not connect", name);
            return;
        }
        connectNow();
        netclient::setTimer(serial, kAfterAttempt);
        return;
    }
    bool managed;
    {
        CriticalSection hold(listenersLock);
        managed = managedListener != nullptr;
    }
    log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: managed = %d, connectErrors = %d", name, managed ? 1 : 0,
        connectErrors.load());
    netclient::setTimer(serial, managed && connectErrors > 4 ? kManagedBackoff : kSkipPass);
}

void NetClientSPI::endOfServingConnection() {
    // Marked bad by a forced reset, the connection was still serving: no
    // answer can come for what waits on it now, and its listeners went with
    // it at the peer; unconnected, they are opened again once the next
    // connection completes.
    failPendingCalls(DirError::E_NOT_CONNECTED);
    Directory::processDisconnect(this);
}

void NetClientSPI::connectNow() {
    char* h;
    char* p;
    {
        CondSection hold(state);
        h = dup(host);
        p = dup(port);
    }
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: Directory service: Connecting to %s:%s (ver 2)", name,
        orNull(h), orNull(p));
    Connection* c = Connection::create(h, p, certificate, privateKey, kConnectionType);
    int rv = c != nullptr ? 0 : COMS_E_NO_HOST;
    if (c != nullptr) {
        c->setListener(link);
        c->setTypeVersion(2);
        c->setLatencyProbing(true);
        bool managed;
        {
            CriticalSection hold(listenersLock);
            managed = managedListener != nullptr;
        }
        if (managed) netclient::setManagedTiming(c);
        {
            CondSection hold(state);
            connection = c;
            mayConnect = true;
            // A mark left by a refused certificate, whose connection went
            // at once, must not drop this one at the next timer run; nor
            // may a wait for the attributes of a connection that went.
            connectBad = false;
            domainAttributesPending = false;
        }
        connectedAt = time(nullptr);
        rv = c->connect();
    }
    if (rv != 0) {
        log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: Unable to connect directory service: %s:%s. (%d) %s",
            name, orNull(h), orNull(p), rv, messageFromError(rv));
        const char* text = nullptr;
        int code = mapErrorCode(rv, &text);
        reportAgentError(text);
        {
            CondSection hold(state);
            lastError = code;
            connected = false;
            mayConnect = false;
            if (connection == c) connection = nullptr;
            wakeWaiters();
        }
        if (c != nullptr) Connection::destroy(c);
        signalAttempt();
    }
    free(h);
    free(p);
}

void NetClientSPI::reportAgentError(const char* text) {
    ManagedConnectionListener* managed;
    {
        CriticalSection hold(listenersLock);
        managed = managedListener;
    }
    if (managed != nullptr) managed->agentError(getAssetId(), text);
}

int NetClientSPI::mapErrorCode(int comsError, const char** text) {
    int code;
    const char* t;
    switch (comsError) {
        case -23: code = DirError::E_HOST_UNREACHABLE, t = "No route to host or host down"; break;
        case -22: code = DirError::E_NETWORK_UNREACHABLE, t = "No route to network or network is down"; break;
        case -21: code = DirError::E_AUTHENTICATION, t = "Authentication failure"; break;
        case -20: code = DirError::E_CONNECT_TIMEOUT, t = "Timeout"; break;
        case -8:
            code = DirError::E_CONNECTION_REFUSED, t = "Connection Refused";
            reconnectPass = 2;
            break;
        case -7:
            code = DirError::E_NO_RESOURCE, t = "Unable to connect";
            reconnectPass = 2;
            break;
        case -3:
            code = DirError::E_HOST_LOOKUP, t = "Unable to lookup hostname";
            reconnectPass = 2;
            break;
        case -2: code = DirError::E_NO_RESOURCE, t = "Resource not available"; break;
        default: code = DirError::E_IO, t = "Unexpected IO Error"; break;
    }
    if (text != nullptr) *text = t;
    return code;
}

// ---- connection events (coms thread) ---------------------------------------

void NetClientSPI::wakeWaiters() { state.broadcast(); }

void NetClientSPI::signalAttempt() {
    CondSection hold(attempt);
    attemptCount++;
    attempt.broadcast();
}

void NetClientSPI::onConnectComplete(Connection* c) {
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: onConnectComplete", name);
    if (isReversed()) {
        connectedAt = time(nullptr);
        CondSection hold(state);
        connection = c;
        connected = true;
        mayConnect = true;
        connectBad = false;
        domainAttributesPending = false;
        lostNotified = false;
        wakeWaiters();
    }
    {
        CondSection hold(state);
        // A connection taken from the provider while this callback was on
        // its way (closeDirectory) is its taker's to close and destroy: it
        // neither connects the provider nor goes through the check, whose
        // refusal would destroy it a second time.
        if (connection != c) return;
        lastError = 0;
    }
    connectErrors = 0;
    signalAttempt();
    if (!checkCertificate(c)) return;
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: Directory service connected", name);
    if (asset == nullptr && c->getTypeVersion() > 1) {
        // The connect completes when the domain attributes arrive.
        CondSection hold(state);
        domainAttributesPending = true;
        attributesAskedAt = monotonicMs();
        sendLocked(DirProtocol::domainAttributesRequest());
        return;
    }
    completeConnect(c);
}

bool NetClientSPI::attributesOverdue() {
    return domainAttributesPending && connection != nullptr &&
           monotonicMs() - attributesAskedAt >= _netclient_timeout.load();
}

bool NetClientSPI::giveUpOnAttributes() {
    const char* text = nullptr;
    int code;
    {
        CondSection hold(state);
        if (!attributesOverdue()) return false;
        // A peer that does not answer is treated as one whose connect timed
        // out: callers fail with that, and the next timer run drops the
        // connection and tries again.
        code = mapErrorCode(COMS_E_HANDSHAKE_TIMEOUT, &text);
        log(_debug_netclient, LOG_WARNING, 0, 0,
            "NetClientSPI %s: no domain attributes from the peer within %d ms, giving up on the connection", name,
            _netclient_timeout.load());
        domainAttributesPending = false;
        connected = false;
        mayConnect = false;
        connectBad = true;
        lastError = code;
        wakeWaiters();
    }
    ManagedConnectionListener* managed;
    {
        CriticalSection hold(listenersLock);
        managed = managedListener;
    }
    if (managed != nullptr) managed->agentError(getAssetId(), text);
    signalAttempt();
    return true;
}

void NetClientSPI::sendRuleSets(Connection* c) {
    if (_ruleHelperFn == nullptr || c == nullptr) return;
    Translatable** sets = nullptr;
    int count = _ruleHelperFn(getAssetId(), c, asset, &sets);
    if (count >= 0 && (count == 0 || sets != nullptr))
        c->send(DirProtocol::updateRuleSets(domain, getAssetId(), count, sets));
    for (int i = 0; sets != nullptr && i < count; i++) delete sets[i];
    free(sets);
}

void NetClientSPI::completeConnect(Connection* c) {
    Principal* viewer = nullptr;
    std::vector<AlertListener*> tell;
    ManagedConnectionListener* managed;
    {
        CriticalSection hold(listenersLock);
        if (!alertListeners.empty() && alertPrincipal != nullptr) viewer = new Principal(*alertPrincipal);
        tell = alertListeners;
        managed = managedListener;
    }
    bool required;
    {
        CondSection hold(state);
        if (viewer != nullptr) sendLocked(DirProtocol::initiateAlertViewerSync(viewer));
        required = certificateRequired;
    }
    // A verified agent under management gets its rule sets first (the
    // helper is called without the state lock held).
    if (required && managed != nullptr) sendRuleSets(c);
    {
        CondSection hold(state);
        connected = true;
        mayConnect = true;
        wakeWaiters();
    }
    delete viewer;
    touch();
    for (AlertListener* l : tell) l->connected();
    if (managed != nullptr) {
        if (!required) {
            managed->agentConnected(asset != nullptr ? asset->name : nullptr, getAssetId(), c->getPeerAddress());
        } else {
            managed->agentVerified(getAssetId());
            sendMessage(DirProtocol::initiateAlertServerSync(domain, getAssetId()));
        }
    }
    Directory::spiConnected(getDomainGuid());
}

void NetClientSPI::onNoConnect(Connection* c, int code) {
    connectErrors++;
    log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: failed to connect. %s", name, messageFromError(code));
    const char* text = nullptr;
    int mapped = mapErrorCode(code, &text);
    reportAgentError(text);
    if (asset != nullptr) reloadAsset();
    signalAttempt();
    {
        CondSection hold(state);
        lastError = mapped;
        if (connection == c) connectBad = true;
        connected = false;
        mayConnect = false;
        wakeWaiters();
    }
    if (isReversed()) netclient::setTimer(serial, 1000);
    failPendingCalls(mapped);
    Directory::processDisconnect(this);
}

void NetClientSPI::onLost(Connection* c) {
    log(_debug_netclient, LOG_WARNING, 0, 0, "NetClientSPI %s: Lost connection", name);
    signalAttempt();
    {
        CondSection hold(state);
        if (connection != c) return;
    }
    netclient::runFor(serial, [c](NetClientSPI* spi) { spi->doLost(c); });
}

void NetClientSPI::doLost(Connection* c) {
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: doLost", name);
    {
        CondSection hold(state);
        // An agent that called in again before this ran has a new
        // connection, adopted meanwhile: the loss was the old one's.
        if (connection != c) return;
        connected = false;
        mayConnect = true;
        connectBad = true;
        wakeWaiters();
    }
    lostAt = time(nullptr);
    failPendingCalls(DirError::E_NOT_CONNECTED);
    Directory::processDisconnect(this);
}

void NetClientSPI::onClosed(Connection* c) {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: client closed connection", name);
    {
        CondSection hold(state);
        if (connection != c && c != nullptr) return;
        connected = false;
        mayConnect = false;
        connectBad = true;
        wakeWaiters();
    }
    signalAttempt();
    failPendingCalls(DirError::E_NOT_CONNECTED);
    Directory::processDisconnect(this);
}

void NetClientSPI::onResolveComplete(Connection*, int error, int address) {
    if (asset == nullptr || _handleIdentifyFn == nullptr) return;
    char text[20] = "0.0.0.0";
    if (error == 0) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
        snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    }
    _handleIdentifyFn(4, text);
}

// ---- idle, resets, closing -------------------------------------------------

bool NetClientSPI::isIdle() {
    char* text = toString();
    log(_debug_netclient, LOG_TRACE, 0, 0, "NetClientSPI %s: isIdle: %s", name, text);
    free(text);
    if (lockCount() > 0 || resetting) return false;
    {
        CriticalSection hold(listenersLock);
        if (managedListener != nullptr || !alertListeners.empty()) return false;
    }
    time_t idle = time(nullptr) - lastUsed.load();
    int limit = isReversed() ? 6 : isTemporary() ? 31 : 181;
    return idle >= limit;
}

void NetClientSPI::forceReset1() {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: forceReset1", name);
    resetting = true;
}

void NetClientSPI::forceReset2() {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: forceReset2", name);
    bool idle;
    {
        CondSection hold(state);
        idle = !connected && !mayConnect;
    }
    if (idle) {
        int before;
        {
            CondSection hold(attempt);
            before = attemptCount;
        }
        reconnectPass = 0;
        netclient::setTimer(serial, 1);
        CondSection hold(attempt);
        while (attemptCount == before)
            if (!attempt.wait(_netclient_timeout.load())) break;
    }
    resetting = false;
}

void NetClientSPI::forceReset3() {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: forceReset3", name);
    {
        CondSection hold(state);
        connectBad = true;
    }
    reconnectPass = 0;
    reloadAsset();
}

void NetClientSPI::resetKeys() {
    CondSection hold(state);
    if (keyOnFile != nullptr) EVP_PKEY_free(keyOnFile);
    keyOnFile = nullptr;
}

void NetClientSPI::closeDirectory() {
    log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: closeDirectory() called", name);
    closed = true;
    Connection* c;
    {
        CondSection hold(state);
        c = connection;
        connection = nullptr;
    }
    if (c != nullptr) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: closing client connection", name);
        c->close();
        Connection::destroy(c);
        onClosed(nullptr);
    }
    markedForDeletion.store(true, std::memory_order_release);
}

char* NetClientSPI::toString() const {
    NetClientSPI* self = const_cast<NetClientSPI*>(this);
    bool isConn, tryWait, bad;
    char* h;
    char* p;
    char* f;
    {
        CondSection hold(self->state);
        isConn = self->connected;
        tryWait = self->mayConnect;
        bad = self->connectBad;
        h = dup(self->host);
        p = dup(self->port);
        f = dup(self->ftPort);
    }
    const char* assetName = asset != nullptr && asset->name != nullptr ? asset->name : "NULL";
    const char* assetId = asset != nullptr && asset->id != nullptr ? asset->id : "NULL";
    const char* agentId = asset != nullptr && asset->agentId != nullptr ? asset->agentId : "NULL";
    char* text = buildJSON("bsssssssbbbi", "connected", isConn ? 1 : 0, "domain", domain, "assetName", assetName,
                           "assetId", assetId, "agentId", agentId, "host", h, "port", p, "ftPort", f, "tryWait",
                           tryWait ? 1 : 0, "connectBad", bad ? 1 : 0, "forceReset", resetting.load() ? 1 : 0,
                           "operationLocks", self->lockCount());
    free(h);
    free(p);
    free(f);
    return text;
}
