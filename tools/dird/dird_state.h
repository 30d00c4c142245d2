// DirdState: the directory server's state folder (--state DIR), made on the
// first start and reused on every later one:
//
//   ca.pem, ca.key          the domain certificate authority (domain_ca.h)
//   server.pem, server.key  the server's TLS certificate, issued by the CA
//   users                   who may log in, passwords hashed (user_table.h)
//   assets.json             the asset and endpoint table (asset_table.h)
//
// The folder is private to its owner (mode 0700); key and users files are
// 0600.
//
// Thread-safety: built once; the parts guard themselves.
#ifndef DRV_TOOLS_DIRD_DIRD_STATE_H
#define DRV_TOOLS_DIRD_DIRD_STATE_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "tools/dird/asset_table.h"
#include "tools/dird/domain_ca.h"
#include "tools/dird/user_table.h"

class DirdState {
public:
    ~DirdState();
    DirdState(const DirdState&) = delete;
    DirdState& operator=(const DirdState&) = delete;

    // Opens the folder, creating it and whatever it lacks. domain is needed
    // only for a folder without a CA (null otherwise, or the same name).
    // With serverCredentials the server's TLS pair is loaded or issued too.
    // Null with *error set.
    static DirdState* open(const std::string& dir, const char* domain, bool serverCredentials, std::string* error);

    const std::string& dir() const { return _dir; }
    DomainCA* ca() { return _ca.get(); }
    UserTable* users() { return _users.get(); }
    AssetTable* assets() { return _assets.get(); }
    X509* serverCertificate() const { return _serverCert; }
    EVP_PKEY* serverKey() const { return _serverKey; }

private:
    DirdState() = default;

    std::string _dir;
    std::unique_ptr<DomainCA> _ca;
    std::unique_ptr<UserTable> _users;
    std::unique_ptr<AssetTable> _assets;
    X509* _serverCert = nullptr;
    EVP_PKEY* _serverKey = nullptr;
};

#endif
