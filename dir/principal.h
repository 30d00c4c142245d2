// Principal: the identity on whose behalf a directory operation runs and
// against which access lists are checked. It is made from the session
// certificate issued at login (the security text rides in a private
// extension) or by the server, and travels with every directory request
// (object id 7; the file transfer handshake sends it under 97).
//
// The security text packs everything about the identity into one string of
// backquote-separated sections, each a comma-separated list:
//   0  version, then policy items ("name" or "name:value")
//   1  login user, a second field, then the login groups
//   2  management-system user, a second field, then its groups (group@domain)
//   3+ one per native identity: user@service/k, a credential, native groups
// The accessors parse it on every call; a principal is small and read rarely
// enough that a parsed copy would only be a second truth to keep in step.
//
// Ownership: a Principal owns its four strings. Lists returned by the
// accessors are new null-terminated arrays of new strings that the caller
// releases with Principal::freeList; strings returned are the caller's.
//
// Thread-safety: a Principal is not changed after construction (the fields
// are public for the translator only), so any number of threads may read one
// at once; whoever owns it deletes it once no reader is left.
#ifndef DRV_DIR_PRINCIPAL_H
#define DRV_DIR_PRINCIPAL_H

#include <stddef.h>

#include <openssl/x509.h>

#include "dirbase/translatable.h"

class MessageBase;

const unsigned int OBJ_PRINCIPAL_ID = 7;
// The same record under the id that the file transfer handshake uses.
const unsigned int OBJ_PRINCIPAL_FT_ID = 97;

class Principal : public Translatable {
public:
    // Copies the strings (each may be null); a null signature becomes "PV".
    Principal(const char* security, const char* domain, const char* signature, long long session);
    Principal(const Principal& other);
    Principal& operator=(const Principal&) = delete;
    ~Principal() override;

    // Null without a certificate or without the security extension
    // "1.1.1.1". The signature is extension "1.1.1.2" (else "PV"), the domain
    // the issuer's common name, the session the serial number.
    static Principal* createFromCertificate(X509* cert);
    // The embedding server's principal when it set _makeServerPrincipal,
    // otherwise an empty one. Never null.
    static Principal* createServerPrincipal();
    // Set by the embedding server before the directory starts; returns a new
    // principal that the caller owns.
    static Principal* (*_makeServerPrincipal)();

    // First field of section 1 (2) into buffer, truncated to size - 1
    // characters; 0, or -1 when the section or its comma is missing.
    int getLoginUser(char* buffer, size_t size) const;
    int getDravikaUser(char* buffer, size_t size) const;

    // 1 when a policy item of section 0 has a name that equals as many
    // leading characters of name; its value (empty without one) goes to
    // buffer, truncated. 0 otherwise. buffer may be null.
    int getPolicy(const char* name, char* buffer, size_t size) const;
    bool isPolicySet(const char* name) const { return getPolicy(name, nullptr, 0) == 1; }
    // Every policy item as two strings, name then value ("" without one);
    // null when section 0 has no policy part.
    char** getAllPolicies() const;

    // The groups after the first two fields of section 1 (2): an empty list
    // when there are none, null when the section is malformed.
    char** getLoginGroups() const;
    char** getDravikaGroups() const;
    // Whether a group of section 2 has the same name before its "@" as
    // group has before its own (domains are not compared).
    bool containsDravikaGroup(const char* group) const;
    // Whether a section from 1 on names exactly this user or group in its
    // first field or its items, with ";" and "@" counted as one character.
    bool containsPrincipalName(const char* name) const;

    // The first field of every native identity section, in order.
    char** getNativeUsers() const;
    // The groups of the native identity whose first field is identity; null
    // when none is.
    char** getNativeGroups(const char* identity) const;

    // Base64 of "domain|security|session|signature" without line feeds; a
    // new string, empty when the encoder gives nothing.
    char* asAuthString() const;

    // The native identity to use for one of the services (a null-terminated
    // list, in the caller's preference). The principal's identity order
    // decides first; within one identity the first service that it serves
    // wins. With lockedUser only that login (any case) is acceptable. Each
    // output may be null (then its size is ignored) and is truncated to fit.
    // 0, or -1 when no identity fits or the text is malformed.
    int getBestNativeLogin(char** services, const char* lockedUser, char* login, size_t loginSize, char* credential,
                           size_t credentialSize, char* service, size_t serviceSize, char* serviceDomain,
                           size_t serviceDomainSize) const;

    static void freeList(char** list);

    // "{domain, security, signature}"
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int clone(const Principal* principal, Translatable** result) const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

    // Registers the translator under both ids; called by Directory::init.
    static void registerXlators();

    char* security;
    char* domain;
    long long session;
    char* signature;
};

// Fields: 1 security, 2 domain, 3 session (int64), 4 signature (absent: "PV").
int PrincipalXlator(MessageBase* message, Translatable** obj, int direction);

#endif
