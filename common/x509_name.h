// X.509 names from their slash-separated text form, for the certificates the
// runtime makes.
#ifndef DRV_COMMON_X509_NAME_H
#define DRV_COMMON_X509_NAME_H

#include <openssl/x509.h>

// Builds a name from "/type0=value0/type1=value1..." (the leading slash is
// optional; a backslash takes the next character as it is). With multirdn,
// "+" joins the next pair to the same RDN. type is the string type for the
// values (MBSTRING_ASC, MBSTRING_UTF8). Unknown types and empty values are
// logged and skipped; a broken text is logged and gives null. The caller
// frees the result with X509_NAME_free.
X509_NAME* parse_name(char* subject, long type, int multirdn);

#endif
