// Domain enrolment: the short exchanges with a domain server that enrol an
// agent (add), withdraw it (remove), announce it for discovery (identify)
// and upgrade the server's certificate in an agent's store (upgradeCert).
// Each runs on a connection of its own (type 336) and blocks its caller until
// the reply, a failure or a time-out; no connection is left behind.
//
// Ownership: certificates and keys passed in are referenced, not taken,
// except setOldCertAndKey and setNewCert, which keep their own references.
// Result and text buffers are the caller's: result holds kResultSize bytes,
// errorText kErrorTextSize (both may be null).
//
// Thread-safety: the operations may run on several threads at once; the
// process-wide settings (groups, old and new certificates) are guarded by
// one lock. _domAuthCertUpdater is set once at start-up and called on a coms
// thread.
#ifndef DRV_DIR_DOMAIN_H
#define DRV_DIR_DOMAIN_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>

#include "coms/connection.h"

class DelayedEvent;
class Message;

// Sends the prepared request when the connection is up and turns the
// server's reply into the delayed event's value (a string) or error.
class DomAuthListener : public ConnectionListener {
public:
    // Takes request.
    DomAuthListener(DelayedEvent* event, Message* request, const char* host, const char* port);
    ~DomAuthListener() override;
    DomAuthListener(const DomAuthListener&) = delete;
    DomAuthListener& operator=(const DomAuthListener&) = delete;

    int onReceive(Connection* connection, Message* message) override;
    void onNoConnect(Connection* connection, int code) override;
    void onLost(Connection* connection) override;
    void onClosed(Connection* connection) override;
    void onConnectComplete(Connection* connection) override;

private:
    DelayedEvent* _event;
    Message* _request;
    char* _host;
    char* _port;
};

class Domain {
public:
    static const int kConnectionType = 336;
    static const size_t kResultSize = 16384;
    static const size_t kErrorTextSize = 512;
    // Time limits (ms): add and upgrade wait at once, remove and identify in
    // steps of 250 ms; tests shorten them.
    static std::atomic<int> _addWait;
    static std::atomic<int> _stepWait;

    static int add(X509* cert, EVP_PKEY* key, const char* host, const char* port, const char* login,
                   const char* secondString, char* result, char* errorText);
    static int remove(X509* cert, EVP_PKEY* key, const char* host, const char* port, const char* first,
                      const char* second, char* errorText);
    static int identify(X509* cert, EVP_PKEY* key, X509* agentCert, const char* domain, const char* host,
                        const char* port, int kind, const char* asset, const char* s1, const char* s2,
                        const char* s3, const char* s4, const char* agentId);
    // Connects with the old certificate and key and asks for the new one.
    static int upgradeCert(const char* host, const char* port);

    static void setDiscoverGroups(const char* groups);
    static void setOldCertAndKey(X509* cert, EVP_PKEY* key);
    static bool recentCertUpgrade();
    static void setNewCert(const X509* cert);

    // Installs a certificate pushed by the server (reply 999); 0 on success.
    static int (*_domAuthCertUpdater)(X509* cert);

private:
    // The exchange: connect, send, wait; the code and the returned text.
    static int run(X509* cert, EVP_PKEY* key, const char* host, const char* port, Message* request, bool stepped,
                   int waitMs, char** value, char** failure, bool* connectFailed, bool* timedOut);
};

#endif
