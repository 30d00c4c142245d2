#include "tools/dird/domain_ca.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "common/log.h"

namespace {

const char kCaCert[] = "ca.pem";
const char kCaKey[] = "ca.key";
const char kServerCert[] = "server.pem";
const char kServerKey[] = "server.key";
const char kSecurityOid[] = "1.1.1.1";
const char kSignatureOid[] = "1.1.1.2";
const int kKeyBits = 2048;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string pemOfPrivateKey(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::string text = bioText(bio);
    BIO_free(bio);
    return text;
}

EVP_PKEY* privateKeyFromPem(const std::string& text) {
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
}

// A private extension holding text as its raw bytes, which is how
// Principal::createFromCertificate reads it back.
bool addTextExtension(X509* cert, const char* oid, const std::string& text) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    bool ok = obj != nullptr && data != nullptr &&
              ASN1_OCTET_STRING_set(data, reinterpret_cast<const unsigned char*>(text.data()),
                                    static_cast<int>(text.size())) == 1;
    if (ok) {
        X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, data);
        ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
        X509_EXTENSION_free(ext);
    }
    ASN1_OCTET_STRING_free(data);
    ASN1_OBJECT_free(obj);
    return ok;
}

bool addStandardExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

X509_NAME* nameWith(const char* organisation, const char* commonName) {
    X509_NAME* name = X509_NAME_new();
    if (organisation != nullptr)
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(organisation),
                                   -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1,
                               -1, 0);
    return name;
}

bool setSerial(X509* cert, long long serial) {
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    bool ok = number != nullptr && ASN1_INTEGER_set_int64(number, serial) == 1 &&
              X509_set_serialNumber(cert, number) == 1;
    ASN1_INTEGER_free(number);
    return ok;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

// ---- PEM and file helpers -------------------------------------------------

std::string pemOfCertificate(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    std::string text = bioText(bio);
    BIO_free(bio);
    return text;
}

std::string pemOfPublicKey(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key);
    std::string text = bioText(bio);
    BIO_free(bio);
    return text;
}

X509* certificateFromPem(const char* text, size_t length) {
    if (text == nullptr || length == 0 || length > 1u << 20) return nullptr;
    BIO* bio = BIO_new_mem_buf(text, static_cast<int>(length));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return cert;
}

EVP_PKEY* publicKeyFromPem(const char* text, size_t length) {
    if (text == nullptr || length == 0 || length > 1u << 20) return nullptr;
    BIO* bio = BIO_new_mem_buf(text, static_cast<int>(length));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    if (key == nullptr) {
        // The traditional RSA form ("BEGIN RSA PUBLIC KEY") is offered too.
        (void)BIO_reset(bio);
        RSA* rsa = PEM_read_bio_RSAPublicKey(bio, nullptr, nullptr, nullptr);
        if (rsa != nullptr) {
            key = EVP_PKEY_new();
            EVP_PKEY_assign_RSA(key, rsa);
        }
    }
    BIO_free(bio);
    return key;
}

std::string subjectCommonName(X509* cert) {
    char cn[256] = "";
    if (cert == nullptr ||
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof(cn)) < 0)
        return std::string();
    return cn;
}

bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b) {
    return a != nullptr && b != nullptr && EVP_PKEY_cmp(a, b) == 1;
}

bool writeFileAtomically(const std::string& path, const std::string& content, int mode, std::string* error) {
    std::string temp = path + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) {
        *error = "cannot write " + temp + ": " + strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + temp + ": " + strerror(errno);
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool readWholeFile(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out->clear();
    char buf[16384];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->append(buf, n);
    bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

// ---- the CA -----------------------------------------------------------------

DomainCA::~DomainCA() {
    X509_free(_cert);
    EVP_PKEY_free(_key);
}

long long DomainCA::randomSerial() {
    unsigned long long v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof(v)) != 1) v = static_cast<unsigned long long>(time(nullptr));
    v &= (1ULL << 62) - 1;
    return v == 0 ? 1 : static_cast<long long>(v);
}

EVP_PKEY* DomainCA::generateKey(int bits) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    if (ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1)
        EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

DomainCA* DomainCA::openOrCreate(const std::string& dir, const char* domain, std::string* error) {
    std::string certPath = dir + "/" + kCaCert;
    std::string keyPath = dir + "/" + kCaKey;
    DomainCA* ca = new DomainCA();
    ca->_dir = dir;
    if (fileExists(certPath) || fileExists(keyPath)) {
        std::string certText, keyText;
        if (!readWholeFile(certPath, &certText) || !readWholeFile(keyPath, &keyText)) {
            *error = "cannot read the domain certificate authority (" + certPath + ", " + keyPath + ")";
            delete ca;
            return nullptr;
        }
        ca->_cert = certificateFromPem(certText.data(), certText.size());
        ca->_key = privateKeyFromPem(keyText);
        if (ca->_cert == nullptr || ca->_key == nullptr || X509_check_private_key(ca->_cert, ca->_key) != 1) {
            *error = "the domain certificate authority in " + dir + " is damaged (" + kCaCert + " and " + kCaKey +
                     " must be a PEM certificate and its key)";
            delete ca;
            return nullptr;
        }
        ca->_domain = subjectCommonName(ca->_cert);
        if (domain != nullptr && ca->_domain != domain) {
            *error = "the state folder " + dir + " belongs to domain '" + ca->_domain + "', not '" + domain + "'";
            delete ca;
            return nullptr;
        }
        log(LOG_INFO, 0, 0, "dird: domain %s: certificate authority loaded from %s", ca->_domain.c_str(), dir.c_str());
        return ca;
    }
    if (domain == nullptr || *domain == '\0') {
        *error = "a new state folder needs the domain name (--domain NAME)";
        delete ca;
        return nullptr;
    }
    ca->_domain = domain;
    ca->_key = generateKey(kKeyBits);
    X509* cert = X509_new();
    X509_NAME* name = nameWith("Dravika domain", domain);
    bool ok = ca->_key != nullptr && X509_set_version(cert, 2) == 1 && setSerial(cert, randomSerial()) &&
              X509_set_subject_name(cert, name) == 1 && X509_set_issuer_name(cert, name) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert), kLongSeconds) != nullptr &&
              X509_set_pubkey(cert, ca->_key) == 1 &&
              addStandardExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
              addStandardExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature") &&
              X509_sign(cert, ca->_key, EVP_sha256()) > 0;
    X509_NAME_free(name);
    ca->_cert = cert;
    if (!ok) {
        *error = "cannot make the domain certificate authority";
        delete ca;
        return nullptr;
    }
    // The key first: a certificate without its key would block the next start.
    if (!writeFileAtomically(keyPath, pemOfPrivateKey(ca->_key), 0600, error) ||
        !writeFileAtomically(certPath, pemOfCertificate(ca->_cert), 0644, error)) {
        delete ca;
        return nullptr;
    }
    log(LOG_INFO, 0, 0, "dird: domain %s: new certificate authority made in %s", domain, dir.c_str());
    return ca;
}

X509* DomainCA::issue(const char* subjectCN, EVP_PKEY* publicKey, const char* security, long long serial,
                      long seconds) const {
    if (subjectCN == nullptr || publicKey == nullptr) return nullptr;
    X509* cert = X509_new();
    X509_NAME* name = nameWith(nullptr, subjectCN);
    bool ok = X509_set_version(cert, 2) == 1 && setSerial(cert, serial != 0 ? serial : randomSerial()) &&
              X509_set_subject_name(cert, name) == 1 &&
              X509_set_issuer_name(cert, X509_get_subject_name(_cert)) == 1 &&
              // A minute back: a peer whose clock runs a little behind still accepts it.
              X509_gmtime_adj(X509_getm_notBefore(cert), -60) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert), seconds) != nullptr && X509_set_pubkey(cert, publicKey) == 1;
    X509_NAME_free(name);
    if (ok && security != nullptr) {
        ok = addTextExtension(cert, kSecurityOid, security) &&
             addTextExtension(cert, kSignatureOid, signText(security));
    }
    ok = ok && X509_sign(cert, _key, EVP_sha256()) > 0;
    if (!ok) {
        log(LOG_ERROR, 0, 0, "dird: unable to issue a certificate for %s", subjectCN);
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

bool DomainCA::issuedByUs(X509* cert) const {
    if (cert == nullptr) return false;
    if (X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(_cert)) != 0) return false;
    if (X509_verify(cert, _key) != 1) return false;
    time_t now = time(nullptr);
    return X509_cmp_time(X509_get0_notBefore(cert), &now) <= 0 && X509_cmp_time(X509_get0_notAfter(cert), &now) >= 0;
}

std::string DomainCA::signText(const char* text) const {
    std::string out;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    size_t n = 0;
    if (md != nullptr && EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, _key) == 1 &&
        EVP_DigestSignUpdate(md, text, strlen(text)) == 1 && EVP_DigestSignFinal(md, nullptr, &n) == 1) {
        std::string sig(n, '\0');
        if (EVP_DigestSignFinal(md, reinterpret_cast<unsigned char*>(&sig[0]), &n) == 1) {
            sig.resize(n);
            std::string b64(4 * ((n + 2) / 3) + 1, '\0');
            int k = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&b64[0]),
                                    reinterpret_cast<const unsigned char*>(sig.data()), static_cast<int>(n));
            b64.resize(k > 0 ? static_cast<size_t>(k) : 0);
            out = b64;
        }
    }
    EVP_MD_CTX_free(md);
    return out;
}

bool DomainCA::serverCredentials(X509** cert, EVP_PKEY** key, std::string* error) const {
    *cert = nullptr;
    *key = nullptr;
    std::string certPath = _dir + "/" + kServerCert;
    std::string keyPath = _dir + "/" + kServerKey;
    std::string certText, keyText;
    if (readWholeFile(certPath, &certText) && readWholeFile(keyPath, &keyText)) {
        *cert = certificateFromPem(certText.data(), certText.size());
        *key = privateKeyFromPem(keyText);
        if (*cert != nullptr && *key != nullptr && X509_check_private_key(*cert, *key) == 1 && issuedByUs(*cert))
            return true;
        // Damaged, expired or from another CA: a new one replaces it.
        log(LOG_WARNING, 0, 0, "dird: %s is not usable; issuing a new server certificate", certPath.c_str());
        X509_free(*cert);
        EVP_PKEY_free(*key);
        *cert = nullptr;
        *key = nullptr;
    }
    EVP_PKEY* k = generateKey(kKeyBits);
    std::string cn = "drv-" + _domain;
    X509* c = k != nullptr ? issue(cn.c_str(), k, nullptr, 0, kLongSeconds) : nullptr;
    if (c == nullptr) {
        EVP_PKEY_free(k);
        *error = "cannot issue the server certificate";
        return false;
    }
    if (!writeFileAtomically(keyPath, pemOfPrivateKey(k), 0600, error) ||
        !writeFileAtomically(certPath, pemOfCertificate(c), 0644, error)) {
        X509_free(c);
        EVP_PKEY_free(k);
        return false;
    }
    *cert = c;
    *key = k;
    return true;
}
