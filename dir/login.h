// The client login: a short exchange with the domain's directory server on
// a connection of its own (type 333, made with a throw-away certificate, or
// with a certificate the caller already holds), that trades a credential and
// a freshly generated public key for a session certificate; then the client
// directory session over that certificate (Directory::startClientDirectoryService).
//
// Every step is reported through an AuthListener: "Generating keys",
// "Connecting", "Authenticating", "Starting directory service", "Login
// successful" (final); failures end with "Unable to connect",
// "Authentication failure" or "Connection timeout" (error and final).
//
// Thread-safety: each call runs on its caller's thread and blocks until the
// session exists or the login failed; calls may run on several threads at
// once. The AuthListener is called on the caller's thread only.
#ifndef DRV_DIR_LOGIN_H
#define DRV_DIR_LOGIN_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>

#include "coms/connection.h"

class DelayedEvent;
class Directory;
class Message;
class SecurityObject;

class AuthListener {
public:
    virtual ~AuthListener() = default;
    virtual void progress(const char* text, bool isError, bool isFinal) = 0;
};

// The login connection's listener: sends the prepared request once the
// connection is up and turns the server's reply into the event's value (the
// session certificate, an X509* the waiter takes) or error. Its callbacks
// run on the connection's coms thread; the waiter owns the event and the
// listener and frees them once the connection's callbacks have passed.
class LoginListener : public ConnectionListener {
public:
    // Takes request.
    LoginListener(DelayedEvent* event, Message* request);
    ~LoginListener() override;
    LoginListener(const LoginListener&) = delete;
    LoginListener& operator=(const LoginListener&) = delete;

    int onReceive(Connection* connection, Message* message) override;
    void onNoConnect(Connection* connection, int code) override;
    void onLost(Connection* connection) override;
    void onClosed(Connection* connection) override;
    void onConnectComplete(Connection* connection) override;
    bool isUp() const { return _up.load(); }
    // Whether the server answered the request (whatever the answer was).
    bool answered() const { return _answered.load(); }

private:
    DelayedEvent* _event;
    Message* _request;
    std::atomic<bool> _up;
    std::atomic<bool> _answered;
};

class Login {
public:
    // How long the exchange may take from the start of the connect (ms,
    // 20000); tests shorten it.
    static std::atomic<int> _timeout;
    // Called with the login's event once the wait has decided it waited
    // long enough, before the connection is closed; a seam for tests of an
    // answer that comes just then.
    static void (*_gaveUpHook)(DelayedEvent* event);

    // Password login (message 5 with a "password" credential). The new
    // session, or null with *err set (11 cannot connect, 19 time-out, 14 an
    // unreadable reply, or the server's code).
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const char* password, AuthListener* listener, int* err);
    // Any credential (message 5).
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   const SecurityObject* credential, AuthListener* listener, int* err);
    // With a certificate and key the caller already holds (message 6: the
    // user and the new public key; the server trusts the connection's
    // certificate). cert and key are referenced, not taken.
    static Directory* authenticate(const char* domain, const char* host, const char* port, const char* user,
                                   X509* cert, EVP_PKEY* key, AuthListener* listener, int* err);
    // Message 3: signed with the user's ~/.ssh/id_rsa, announcing this
    // host and its ssh host key.
    static Directory* authenticateUsingSsh(const char* domain, const char* host, const char* port, const char* user,
                                           AuthListener* listener, int* err);
    // The certificate and key of an earlier login kept in the PEM file
    // keychainPath (certificate then private key), then as above.
    static Directory* authenticateViaKeyChain(const char* domain, const char* host, const char* port,
                                              const char* user, const char* keychainPath, AuthListener* listener,
                                              int* err);

    // A new 2048-bit RSA key, or null (logged).
    static EVP_PKEY* generateKey();
    // The public half in PEM form (free()), or null.
    static char* publicKeyPem(EVP_PKEY* key);
};

#endif
