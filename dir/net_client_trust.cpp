// The remote provider's trust in its peer: the RSA key on file, the check
// of the peer's certificate against it when a connection completes, and
// the reload of an asset's record, which renews the key (and the address
// and file-transfer port) from the directory.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/net_client_internal.h"
#include "dir/net_client_spi.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"

namespace {

const char* orNull(const char* s) { return s != nullptr ? s : "NULL"; }

}  // namespace

namespace netclient {

// A key on file is an RSA public key or nothing: the peer's certificate is
// held against its modulus and exponent, and a key of another kind, which
// has neither, would leave the check nothing to refuse with.
bool isRsaKey(const EVP_PKEY* key) { return key != nullptr && EVP_PKEY_base_id(key) == EVP_PKEY_RSA; }

// The RSA public key of a PEM text, or null (a failed parse leaves no
// reason queued on this thread for a connection's next look at the queue).
EVP_PKEY* readRsaPublicKey(const char* pem) {
    BIO* bio = BIO_new_mem_buf(pem, -1);
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (key != nullptr && !isRsaKey(key)) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    if (key == nullptr) ERR_clear_error();
    return key;
}

}  // namespace netclient

// ---- the certificate check -------------------------------------------------

bool NetClientSPI::checkCertificate(Connection* c) {
    bool required;
    EVP_PKEY* onFile;
    {
        CondSection hold(state);
        required = certificateRequired;
        onFile = keyOnFile;
        if (onFile != nullptr) EVP_PKEY_up_ref(onFile);
    }
    if (!required || isReversed() || masqThrough != nullptr) {
        if (onFile != nullptr) EVP_PKEY_free(onFile);
        return true;
    }
    const char* agentText = nullptr;
    X509* peer = c->getPeerCertificate();
    EVP_PKEY* peerKey = peer != nullptr ? X509_get0_pubkey(peer) : nullptr;
    char h[128], p[32];
    {
        CondSection hold(state);
        snprintf(h, sizeof(h), "%s", orNull(host));
        snprintf(p, sizeof(p), "%s", orNull(port));
    }
    if (onFile == nullptr) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "NetClientSPI %s: A certificate is required but no certificate is on file",
            name);
        agentText = "No certificate was presented by the agent";
    } else if (peerKey == nullptr || EVP_PKEY_base_id(peerKey) != EVP_PKEY_RSA) {
        log(_debug_netclient, LOG_ERROR, 0, 0,
            "NetClientSPI %s: Peer, host = %s, port = %s, did not present a valid certificate", name, h, p);
        agentText = "The certificate presented by the agent was invalid";
    } else if (EVP_PKEY_base_id(onFile) != EVP_PKEY_RSA) {
        log(_debug_netclient, LOG_ERROR, 0, 0, "NetClientSPI %s: Unable to decode keys", name);
        reportAgentError("The certificate presented by the agent did not match the certificate on file in the server.");
        EVP_PKEY_free(onFile);
        return true;
    } else if (EVP_PKEY_eq(peerKey, onFile) != 1) {
        log(_debug_netclient, LOG_ERROR, 0, 0,
            "NetClientSPI %s: Peer, host = %s, port = %s, presented a certificate that did not match the public key "
            "on file",
            name, h, p);
        log(_debug_netclient, LOG_ERROR, 0, 0, "Possible \"man in the middle\" attack");
        agentText = "The certificate presented by the agent did not match the certificate on file in the server.";
        if (_upgrade_certs && _handleIdentifyFn != nullptr) {
            log(_debug_netclient, LOG_INFO, 0, 0, "NetClientSPI %s: upgrade_certs is set. Will try to upgrade", name);
            _handleIdentifyFn(7, getAssetId());
        }
    }
    if (onFile != nullptr) EVP_PKEY_free(onFile);
    if (agentText == nullptr) return true;
    {
        CondSection hold(state);
        connected = false;
        mayConnect = false;
        connectBad = true;
        if (connection == c) connection = nullptr;
        lastError = DirError::E_SECURITY_VIOLATION;
        wakeWaiters();
    }
    c->close();
    Connection::destroy(c);
    Directory::processDisconnect(this);
    reloadAsset();
    reconnectPass = 2;
    reportAgentError(agentText);
    return false;
}

// ---- asset reload ----------------------------------------------------------

void NetClientSPI::reloadAsset() {
    if (asset == nullptr || asset->id == nullptr) return;
    // One reload at a time: every failed connect asks for one.
    if (reloading.exchange(true)) return;
    addLock();
    // The sweep may have read the lock count just before: a provider it
    // marked goes away once this callback returns, and needs no asset.
    if (isMarkedForDeletion()) {
        reloading = false;
        removeLock();
        return;
    }
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: reloadAsset: lock count incremented to: %d", name,
        lockCount());
    if (assetMapper != nullptr) {
        // A server answers from its own asset table, at once.
        Asset* fresh = assetMapper->lookupAsset(asset->id);
        takeAsset(fresh);
        delete fresh;
        endReload(nullptr, nullptr);
        return;
    }
    // Elsewhere "getAsset" goes to the domain server through a session of
    // the provider's own, so that the request outlives whichever session
    // opened this provider.
    Directory* via = Directory::startInternalSession(reloadDomain, reloadPrincipal);
    if (via == nullptr) {
        takeAsset(nullptr);
        endReload(nullptr, nullptr);
        return;
    }
    std::string text = std::string("/asset:id=\"") + asset->id + "\"";
    int err = 0;
    DirName* assetName = DirName::createFromString(text.c_str(), &err);
    if (assetName == nullptr) {
        takeAsset(nullptr);
        endReload(nullptr, via);
        return;
    }
    reloadSession.store(via);
    via->execute(assetName, this, "getAsset", nullptr);
    delete assetName;
}

void NetClientSPI::onComplete(FutureResult* fr) {
    // On the execution thread with the future-result registry held: the
    // rest, down to the session's end (which may stop this thread), runs
    // on the dir-client thread.
    Directory* via = reloadSession.exchange(nullptr);
    netclient::runOnClientThread([this, fr, via] {
        Translatable* answer = nullptr;
        bool found = !fr->failed && fr->result != nullptr && fr->result->getObject(&answer) && answer != nullptr &&
                     answer->getObjectID() == OBJ_ASSET_ID;
        takeAsset(found ? static_cast<const Asset*>(answer) : nullptr);
        endReload(fr, via);
    });
}

void NetClientSPI::takeAsset(const Asset* fresh) {
    if (fresh == nullptr) {
        log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: unable to reload asset", name);
        return;
    }
    CondSection hold(state);
    // An asset reached through the domain server keeps that server's address.
    if (masqThrough == nullptr) {
        free(host);
        host = fresh->host != nullptr ? strdup(fresh->host) : nullptr;
        free(port);
        char text[16];
        snprintf(text, sizeof(text), "%d", fresh->port);
        port = strdup(text);
    }
    if (fresh->publicKey != nullptr) {
        EVP_PKEY* k = netclient::readRsaPublicKey(fresh->publicKey);
        if (k != nullptr) {
            if (keyOnFile != nullptr) EVP_PKEY_free(keyOnFile);
            keyOnFile = k;
        }
    }
    setFileTransferPort(fresh->ftport);
}

void NetClientSPI::setFileTransferPort(int ftport) {
    delete domainAttributes;
    domainAttributes = new Attributes();
    char ft[16];
    snprintf(ft, sizeof(ft), "%d", ftport);
    domainAttributes->setAttribute("ftPort", ft);
    free(ftPort);
    ftPort = strdup(ft);
}

void NetClientSPI::endReload(FutureResult* fr, Directory* via) {
    if (fr != nullptr) FutureResult::destroy(fr);
    delete via;
    reloading = false;
    int locks = lockCount() - 1;
    log(_debug_netclient, LOG_DEBUG, 0, 0, "NetClientSPI %s: remove lock count decremented to: %d", name, locks);
    // Last: once unlocked, the sweep may delete the provider.
    removeLock();
}
