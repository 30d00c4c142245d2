// Issuing session certificates: the end of a successful login exchange,
// shared by the server's login sessions and by tests.
#ifndef DRV_TOOLS_DIRD_DIRD_LOGIN_H
#define DRV_TOOLS_DIRD_DIRD_LOGIN_H

#include <string>

class DirdState;

// Issues the session certificate of a user whose password was checked,
// carrying the user's security text, for the public key (PEM): 0 with the
// certificate as PEM, 68 for a key that does not read, 34 when issuing
// fails.
int dird_issueSessionCertificate(DirdState* state, const std::string& user, const std::string& security,
                                 const char* publicKeyPem, std::string* certificatePem);

#endif
