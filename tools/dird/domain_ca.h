// DomainCA: the directory server's certificate authority for one domain.
// It is made on the server's first start in the state folder ("ca.pem",
// "ca.key": a self-signed RSA 2048 certificate whose common name is the
// domain name) and reloaded on every later start. It issues the session
// certificates of the login exchange (the principal's security text rides
// in extension 1.1.1.1, its signature in 1.1.1.2, the session number is the
// serial), the certificates of enrolled agents, and the server's own TLS
// certificate ("server.pem", "server.key"), and it tells whether a
// certificate a peer presents is one it issued.
//
// Ownership: the CA owns its certificate and key; issued certificates and
// generated keys belong to the caller (X509_free, EVP_PKEY_free).
//
// Thread-safety: after openOrCreate the CA is read-only; issue and check may
// run on any number of threads at once (OpenSSL objects are only read).
#ifndef DRV_TOOLS_DIRD_DOMAIN_CA_H
#define DRV_TOOLS_DIRD_DOMAIN_CA_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

class DomainCA {
public:
    // Validity of the certificates issued at login.
    static const long kSessionSeconds = 86400;
    // Of the CA itself, the server's certificate and enrolled agents'.
    static const long kLongSeconds = 3650L * 86400;

    ~DomainCA();
    DomainCA(const DomainCA&) = delete;
    DomainCA& operator=(const DomainCA&) = delete;

    // Loads the CA of the state folder dir, or creates it there when its
    // files are absent (domain names it then; null is refused). A domain
    // given for an existing CA must match the one it was made for. Null with
    // *error set when the files cannot be read, written or do not belong
    // together.
    static DomainCA* openOrCreate(const std::string& dir, const char* domain, std::string* error);

    const std::string& domain() const { return _domain; }
    X509* certificate() const { return _cert; }

    // A certificate for publicKey signed by the CA: subject CN subjectCN,
    // the security text (may be null: no extension) and its signature in
    // the private extensions, serial (0: a fresh random one), valid from now
    // for seconds. Null when OpenSSL refuses (logged).
    X509* issue(const char* subjectCN, EVP_PKEY* publicKey, const char* security, long long serial,
                long seconds) const;
    // Whether cert carries the CA's signature, names the CA as issuer and is
    // within its validity.
    bool issuedByUs(X509* cert) const;
    // The signature carried beside a security text: base64 of the CA key's
    // RSA-SHA256 signature of the text.
    std::string signText(const char* text) const;

    // The server's own TLS certificate and key, issued by the CA on first
    // use and kept in the state folder. False with *error set.
    bool serverCredentials(X509** cert, EVP_PKEY** key, std::string* error) const;

    // A fresh random serial number: positive, below 2^62.
    static long long randomSerial();
    // A new RSA key of bits, or null.
    static EVP_PKEY* generateKey(int bits);

private:
    DomainCA() = default;

    std::string _dir;
    std::string _domain;
    X509* _cert = nullptr;
    EVP_PKEY* _key = nullptr;
};

// PEM texts and files.
std::string pemOfCertificate(X509* cert);
std::string pemOfPublicKey(EVP_PKEY* key);
// Null when the text is not a PEM certificate (or public key).
X509* certificateFromPem(const char* text, size_t length);
EVP_PKEY* publicKeyFromPem(const char* text, size_t length);
// The common name of a certificate's subject, "" when it has none.
std::string subjectCommonName(X509* cert);
// Whether two keys are the same public key.
bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b);
// Writes content to path through a temporary file and a rename, with mode;
// false with *error set.
bool writeFileAtomically(const std::string& path, const std::string& content, int mode, std::string* error);
// The file's bytes; false when it cannot be read.
bool readWholeFile(const std::string& path, std::string* out);

#endif
