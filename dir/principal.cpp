// Principal: construction, certificates, the text forms and the translator.
// The security text accessors live in principal_security.cpp.
#include "dir/principal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "common/log.h"
#include "dirbase/message.h"
#include "dirbase/string_builder.h"

Principal* (*Principal::_makeServerPrincipal)() = nullptr;

namespace {

const char kNoSignature[] = "PV";
const char kSecurityOid[] = "1.1.1.1";
const char kSignatureOid[] = "1.1.1.2";

char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

const char* orNULL(const char* s) {
    return s != nullptr ? s : "NULL";
}

bool sameText(const char* a, const char* b) {
    return a == nullptr || b == nullptr ? a == b : strcmp(a, b) == 0;
}

// The data of the extension with the dotted object id, as a new string (the
// extension's bytes may hold a NUL; the text ends there), or null.
char* extensionText(X509* cert, const char* oid) {
    int count = X509_get_ext_count(cert);
    for (int i = 0; i < count; i++) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        char name[80];
        if (OBJ_obj2txt(name, sizeof(name), X509_EXTENSION_get_object(ext), 1) <= 0) continue;
        if (strcmp(name, oid) != 0) continue;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
        int length = ASN1_STRING_length(data);
        char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        memcpy(text, ASN1_STRING_get0_data(data), static_cast<size_t>(length));
        text[length] = '\0';
        return text;
    }
    return nullptr;
}

}  // namespace

Principal::Principal(const char* security, const char* domain, const char* signature, long long session)
    : security(dupOrNull(security)), domain(dupOrNull(domain)), session(session),
      signature(strdup(signature != nullptr ? signature : kNoSignature)) {
    log(_debug_security, LOG_DEBUG, 0, 0, "Created a new principal, s = '%s', domain = '%s', sig = '%s', sesn = %llx",
        orNULL(security), orNULL(domain), orNULL(signature), session);
}

Principal::Principal(const Principal& other)
    : Translatable(), security(dupOrNull(other.security)), domain(dupOrNull(other.domain)), session(other.session),
      signature(dupOrNull(other.signature)) {}

Principal::~Principal() {
    free(security);
    free(domain);
    free(signature);
}

Principal* Principal::createFromCertificate(X509* cert) {
    if (cert == nullptr) return nullptr;
    char* securityText = extensionText(cert, kSecurityOid);
    if (securityText == nullptr) return nullptr;
    char* signatureText = extensionText(cert, kSignatureOid);
    char issuer[256];
    issuer[0] = '\0';
    if (X509_NAME_get_text_by_NID(X509_get_issuer_name(cert), NID_commonName, issuer, sizeof(issuer)) < 0)
        issuer[0] = '\0';
    int64_t serial = 0;
    const ASN1_INTEGER* number = X509_get0_serialNumber(cert);
    // A serial beyond 64 bits cannot be a session number; it counts as 0.
    if (number == nullptr || ASN1_INTEGER_get_int64(&serial, number) != 1) serial = 0;
    Principal* p = new Principal(securityText, issuer, signatureText, serial);
    free(securityText);
    free(signatureText);
    return p;
}

Principal* Principal::createServerPrincipal() {
    Principal* p = _makeServerPrincipal != nullptr ? _makeServerPrincipal() : nullptr;
    if (p == nullptr) p = new Principal(nullptr, nullptr, nullptr, 0);
    log(_debug_security, LOG_DEBUG, 0, 0, "Created a new server principal, s = '%s'", orNULL(p->security));
    return p;
}

char* Principal::asAuthString() const {
    char number[32];
    snprintf(number, sizeof(number), "%lld", session);
    StringBuilder text;
    text.append(domain != nullptr ? domain : "");
    text.append("|");
    text.append(security != nullptr ? security : "");
    text.append("|");
    text.append(number);
    text.append("|");
    text.append(signature != nullptr ? signature : "");
    char* plain = text.take();

    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* mem = BIO_new(BIO_s_mem());
    BIO_push(b64, mem);
    BIO_write(b64, plain, static_cast<int>(strlen(plain)));
    (void)BIO_flush(b64);
    char* encoded = nullptr;
    long n = BIO_get_mem_data(mem, &encoded);
    char* out = static_cast<char*>(malloc(n > 0 ? static_cast<size_t>(n) + 1 : 1));
    size_t k = 0;
    for (long i = 0; i < n; i++)
        if (encoded[i] != '\n') out[k++] = encoded[i];
    out[k] = '\0';
    BIO_free_all(b64);
    free(plain);
    return out;
}

void Principal::freeList(char** list) {
    if (list == nullptr) return;
    for (char** p = list; *p != nullptr; p++) free(*p);
    free(list);
}

char* Principal::toString(Parser*) {
    StringBuilder text;
    text.append("{");
    text.append(domain != nullptr ? domain : "null");
    text.append(", ");
    text.append(security != nullptr ? security : "null");
    text.append(", ");
    text.append(signature != nullptr ? signature : "null");
    text.append("}");
    return text.take();
}

unsigned int Principal::getObjectID() const {
    return OBJ_PRINCIPAL_ID;
}

int Principal::clone(const Principal*, Translatable** result) const {
    *result = new Principal(*this);
    return 0;
}

int Principal::isEqual(const Principal*, bool* result, const Translatable* other) const {
    *result = false;
    if (other == nullptr || other->getObjectID() != OBJ_PRINCIPAL_ID) return 0;
    const Principal* o = static_cast<const Principal*>(other);
    *result = session == o->session && sameText(security, o->security) && sameText(domain, o->domain) &&
              sameText(signature, o->signature);
    return 0;
}

void Principal::registerXlators() {
    MessageBase::registerObjectXlator(OBJ_PRINCIPAL_ID, PrincipalXlator);
    MessageBase::registerObjectXlator(OBJ_PRINCIPAL_FT_ID, PrincipalXlator);
    // Id 7 rides on every directory request, so the registry answers it
    // without a table lookup.
    MessageBase::setPrincipalXlator(PrincipalXlator);
}

int PrincipalXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Principal* p = static_cast<const Principal*>(*obj);
        m->writeStringField(1, p->security);
        m->writeStringField(2, p->domain);
        m->writeInt64Field(3, p->session);
        return m->writeStringField(4, p->signature) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char *security = nullptr, *domain = nullptr, *signature = nullptr;
    int64_t session = 0;
    if (m->readStringField(1, &security) != 0 || m->readStringField(2, &domain) != 0 ||
        m->readInt64Field(3, &session) != 0) {
        free(security);
        free(domain);
        return -1;
    }
    // Older peers leave the signature out.
    if (!m->hasField(4)) {
        signature = strdup(kNoSignature);
    } else if (m->readStringField(4, &signature) != 0) {
        free(security);
        free(domain);
        return -1;
    }
    if (signature == nullptr) signature = strdup(kNoSignature);
    Principal* p = new Principal(nullptr, nullptr, nullptr, 0);
    free(p->signature);
    p->security = security;
    p->domain = domain;
    p->session = session;
    p->signature = signature;
    *obj = p;
    return 0;
}
