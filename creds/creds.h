// Credential lookups for the rest of the runtime: reentrant replacements for
// the C library's user, group and host calls, login verification through PAM
// with the optional group lock ("auth_group_lock"), and the administrator
// check. Every answer comes from the cache (300 seconds) or from a child
// process (creds/creds_lookup.h), never from a name-service or PAM call in
// this process.
//
// Ownership: strings and lists these functions make belong to the caller
// (free with free() or s_free_grouplist, as stated).
//
// Thread-safety: every function may be called from any thread. The
// enumeration triples share one process-wide position, as their C library
// namesakes do.
#ifndef DRV_CREDS_CREDS_H
#define DRV_CREDS_CREDS_H

#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "creds/creds_child.h"
#include "creds/creds_lookup.h"

// ---- Users and groups ----
// As their namesakes: 0 with *result set when found; 0 with *result null when
// there is no such entry; ERANGE when buf is too small; EIO when no child
// could answer or the child failed. The password and shell fields are "x"
// and "" (the lookup does not carry them); a group's member list is empty.
int s_getpwnam_r(const char* name, struct passwd* pwd, char* buf, size_t buflen, struct passwd** result);
int s_getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, size_t buflen, struct passwd** result);
int s_getgrnam_r(const char* name, struct group* grp, char* buf, size_t buflen, struct group** result);
int s_getgrgid_r(gid_t gid, struct group* grp, char* buf, size_t buflen, struct group** result);

// As getgrouplist: the user's group ids (group first unless the list already
// holds it) into groups; the count, or -1 with *ngroups set to the count
// needed when it does not fit (or with *ngroups 0 when the user is unknown).
int s_getgroups(const char* user, gid_t group, gid_t* groups, int* ngroups);
// The user's group names as a null-terminated list (null when the user is
// unknown); free with s_free_grouplist. A group id without a name appears
// as its number.
char** s_getgrouplist(const char* user);
void s_free_grouplist(char** list);

// Enumerations, served from one all-users or all-groups answer taken by the
// set call (or by the first get call without one). The get calls return 0
// with *result set, ENOENT at the end, ERANGE when buf is too small (the
// entry is handed out again next time) and EIO when no child answered. A
// user's home directory is not part of the enumeration and reads "".
void s_setpwent();
int s_getpwent_r(struct passwd* pwd, char* buf, size_t buflen, struct passwd** result);
void s_endpwent();
void s_setgrent();
int s_getgrent_r(struct group* grp, char* buf, size_t buflen, struct group** result);
void s_endgrent();

// Names and ids: a malloc'd name (null when unknown), or the id (-1 when unknown).
char* s_getusername(uid_t uid);
char* s_getgroupname(gid_t gid);
long s_get_uid(const char* name);
long s_get_gid(const char* name);

// ---- Hosts ----
// The first IPv4 address of a host name (network order) with *error 0; or 0
// with *error HOST_NOT_FOUND (no such host) or NO_RECOVERY (no child answered).
uint32_t s_gethostbyname(const char* name, int* error);

// ---- Logins ----
// The user's group names (a null-terminated list the caller frees with
// s_free_grouplist) when PAM accepts the login for the service and, with
// "auth_group_lock" set, the user is in one of its groups; null otherwise.
// With accessOnly, only PAM's account check runs (no password). domain is
// accepted for the callers' sake; local logins ignore it.
char** s_verify_login(const char* service, const char* user, const char* domain, const char* password,
                      bool accessOnly);
// True when the login is valid (service "login" when null) and the user is
// "root", or, in a process not running as the superuser, the process's own
// user.
bool s_verify_admin_user(const char* service, const char* user, const char* password);

#endif
