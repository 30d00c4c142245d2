// drvhost's credential commands: one lookup (--lookup) or one login check
// (--verify) through the runtime's credential child, printed for a person to
// read. They run instead of the sampling, in drvhost's own runtime.
#ifndef DRV_HOST_CREDS_COMMANDS_H
#define DRV_HOST_CREDS_COMMANDS_H

#include <stdio.h>

#include "host/settings.h"

// True for the kinds --lookup knows: user, uid, group, gid, host.
bool isLookupKind(const char* kind);

// True when value can be looked up as kind: uid and gid want a whole
// number from 0 to 4294967295, the names anything.
bool isLookupValue(const char* kind, const char* value);

// Looks value up as kind (a value isLookupValue accepts) and prints what
// was found to out. 0 when found, 1 when there is no such entry, 2 when the
// lookup failed.
int runLookup(const HostSettings& settings, const char* kind, const char* value, FILE* out);

// Asks for the user's password on the terminal without echo (or reads a
// line from standard input when there is no terminal) and checks the login
// with the PAM service. Prints the user's groups; 0 when accepted, 1 when
// refused.
int runVerify(const HostSettings& settings, const char* user, const char* service, FILE* out);

#endif
