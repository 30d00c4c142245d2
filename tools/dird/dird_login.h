// The credential the login exchange carries (object 99) and the issuing of
// session certificates, shared by the server's login sessions and by tests.
#ifndef DRV_TOOLS_DIRD_DIRD_LOGIN_H
#define DRV_TOOLS_DIRD_DIRD_LOGIN_H

#include <string>

#include "dirbase/translatable.h"

class DirdState;
class MessageBase;

const unsigned int OBJ_LOGIN_CREDENTIAL_ID = 99;

// A login's credential: a kind and what it needs. Only passwords are
// checked by this server. The secret is wiped when the record goes.
class LoginCredential : public Translatable {
public:
    static const int KIND_PASSWORD = 1;
    // Copies user and secret.
    LoginCredential(int kind, const char* user, const char* secret);
    ~LoginCredential() override;
    LoginCredential(const LoginCredential&) = delete;
    LoginCredential& operator=(const LoginCredential&) = delete;
    unsigned int getObjectID() const override;

    int kind;
    char* user;
    char* secret;
};

// Fields: 1 kind (int32), 2 user, 3 secret.
int LoginCredentialXlator(MessageBase* message, Translatable** obj, int direction);
// Registers the credential's translator unless one is registered already.
void dird_registerTranslators();

// Checks the password and issues the session certificate for the public
// key (PEM): 0 with the certificate as PEM, 20 for a wrong user or
// password, 68 for a key that does not read, 34 when issuing fails.
int dird_issueSessionCertificate(DirdState* state, const std::string& user, const std::string& password,
                                 const char* publicKeyPem, std::string* certificatePem);

#endif
