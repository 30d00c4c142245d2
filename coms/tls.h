// TLS settings shared by every connection kind: TLS 1.2 only, partial writes
// with a moving write buffer (so that a queued block can be resumed from its
// offset), no renegotiation; server contexts that accept any client
// certificate; the throw-away anonymous client certificate; and the log
// helpers for certificates and the library's error queue.
#ifndef DRV_COMS_TLS_H
#define DRV_COMS_TLS_H

#include <openssl/ssl.h>
#include <openssl/x509.h>

// The subject and issuer of the anonymous certificate.
extern const char* const kAnonymousSubject;
const int kAnonymousKeyBits = 1024;
const long kAnonymousValiditySeconds = 315360000L;  // 3650 days

// Applies the common settings. When the coms debug level is below 3 the
// library's protocol trace goes to the log as "%s: %s" with traceName, which
// must outlive the context (or the objects made from it).
void tlsApplySettings(SSL_CTX* ctx, const char* traceName);

// A server context with the certificate and key installed and checked.
// who names the owner in the failure logs: "Connector" or "StreamConnector".
// Failures are logged and give null.
SSL_CTX* tlsServerContext(X509* cert, EVP_PKEY* key, bool streamVariant, const char* traceName);
// A client context with the common settings, or null (logged).
SSL_CTX* tlsClientContext(const char* traceName);

// Makes a self-signed certificate: an RSA key of bits with exponent 65537,
// X.509 version 3, subject and issuer from the slash form, serial number the
// current time, valid from now for validSeconds, signed with SHA-256. name
// prefixes the failure logs. 0, or -1 (logged).
int makeSelfSignedCertificate(const char* name, const char* subject, int bits, long validSeconds, X509** cert,
                              EVP_PKEY** key);
// The anonymous certificate of a client that has none of its own.
int makeAnonymousCertificate(const char* name, X509** cert, EVP_PKEY** key);

// The certificate printed as text (free()); never null.
char* x509Text(X509* cert);
// The one-line form of a name (free()); never null.
char* x509NameText(X509_NAME* name);
// Logs and empties the library's error queue, one line per entry.
void logSslErrors(const char* name);
// The same for a failed handshake, which also says why when the entries show
// that the peer will not use TLS 1.2, the only version this side speaks
// (it refused ours, offered only others, or answered in another one): a
// text for people, static; null for any other failure.
const char* logSslFailure(const char* name);
// The first entry of the library's error queue as text (removed from it).
const char* sslErrorText();

#endif
