#include "coms/coms_error.h"

#include "dirbase/message.h"

namespace {

const char* const kTexts[] = {
    "Connection refused by server",    // -1
    "Unable to allocate a socket",     // -2
    "No such host",                    // -3
    "No such service",                 // -4
    "Certificate problem",             // -5
    "Public/Private Key problem",      // -6
    "Unable to connect",               // -7
    "Connection refused",              // -8
    "Connection reset by peer",        // -9
    "Not Connected (lost or closed)",  // -10
};

const char* const kLateTexts[] = {
    "Server did not complete handshake in a timely fashion",  // -20
    "Authentication failure",                                 // -21
    "No route to network",                                    // -22
    "No route to host",                                       // -23
    "Connection disabled via whitelist",                      // -24
};

}  // namespace

const char* messageFromError(int code) {
    if (code <= -1 && code >= -10) return kTexts[-code - 1];
    if (code <= -11 && code >= -19) return encodingErrorText(code);
    if (code <= -20 && code >= -24) return kLateTexts[-code - 20];
    return "";
}
