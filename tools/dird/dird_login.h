// Issuing session certificates: the end of a successful login exchange,
// shared by the server's login sessions and by tests.
#ifndef DRV_TOOLS_DIRD_DIRD_LOGIN_H
#define DRV_TOOLS_DIRD_DIRD_LOGIN_H

#include <string>

class DirdState;

// Checks the password and issues the session certificate for the public
// key (PEM): 0 with the certificate as PEM, 20 for a wrong user or
// password, 68 for a key that does not read, 34 when issuing fails.
int dird_issueSessionCertificate(DirdState* state, const std::string& user, const std::string& password,
                                 const char* publicKeyPem, std::string* certificatePem);

#endif
