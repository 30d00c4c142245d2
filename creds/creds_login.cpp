// Login verification through PAM (in a child), the group lock and the
// administrator check.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "common/properties.h"
#include "creds/creds.h"

namespace {

bool isMember(char** groups, const std::string& name) {
    for (char** g = groups; *g != nullptr; g++)
        if (name == *g) return true;
    return false;
}

// With "auth_group_lock" set, the user must be in one of its groups (names
// separated by commas or blanks).
bool passesGroupLock(char** groups) {
    char* lock = s_getAuthGroupLock();
    if (lock == nullptr) return true;
    log(_debug_creds, LOG_INFO, 0, 0, "Creds: s_verify_login, auth_group_lock in place");
    bool found = false;
    char* save = nullptr;
    for (char* name = strtok_r(lock, ", \t", &save); name != nullptr && !found; name = strtok_r(nullptr, ", \t", &save)) {
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: s_verify_login, testing for membership in group '%s'", name);
        found = isMember(groups, name);
    }
    s_freeStringProperty(lock);
    if (found) {
        log(_debug_creds, LOG_INFO, 0, 0, "Creds: s_verify_login, group found");
        return true;
    }
    log(_debug_creds, LOG_WARNING, 0, 0,
        "Creds: s_verify_login, user is not a member of the required group(s) (see auth_group_lock in "
        "dravika.properties)");
    return false;
}

}  // namespace

char** s_verify_login(const char* service, const char* user, const char* domain, const char* password,
                      bool accessOnly) {
    (void)domain;
    if (user == nullptr) return nullptr;
    CredsRequest request;
    request.operation = CREDS_OP_LOGIN;
    request.name = user;
    request.password = password != nullptr ? password : "";
    request.service = service != nullptr ? service : "login";
    request.accessOnly = accessOnly;
    // Logins are never answered from the cache; the slot only keeps two
    // logins of one user from running at once. Tried once: a refused
    // password is not worth asking again.
    int slot = credsLockOrWait(user, 0, CREDS_OP_LOGIN);
    CredsAnswer answer;
    int rc = credsRunChild(slot, request, answer);
    // An accepted login's user record is the freshest there is: the group
    // lock below and later lookups use it rather than an older answer. A
    // refusal is not cached: a wrong password does not make the user unknown.
    if (rc == 0 && answer.status == CREDS_STATUS_OK)
        _credsCache.release(_credsCache.add(credsEntryFor(request, answer)));
    _credsLocks.unlock(slot);
    if (rc != 0 || answer.status != CREDS_STATUS_OK) {
        log(_debug_creds, LOG_INFO, 0, 0, "Creds: s_verify_login, fails");
        return nullptr;
    }
    char** groups = s_getgrouplist(answer.user.name.c_str());
    if (groups == nullptr) {
        log(_debug_creds, LOG_INFO, 0, 0, "Creds: s_verify_login, fails");
        return nullptr;
    }
    if (_debug_creds == LOG_TRACE) {
        std::string list;
        for (char** g = groups; *g != nullptr; g++) list += std::string(list.empty() ? "" : ", ") + *g;
        log(_debug_creds, LOG_TRACE, 0, 0, "Creds: s_verify_login, succeeds. Groups: %s", list.c_str());
    }
    if (passesGroupLock(groups)) return groups;
    s_free_grouplist(groups);
    return nullptr;
}

bool s_verify_admin_user(const char* service, const char* user, const char* password) {
    if (user == nullptr) return false;
    char** groups = s_verify_login(service != nullptr ? service : "login", user, "LOCAL", password, false);
    bool admin = false;
    if (groups != nullptr) {
        s_free_grouplist(groups);
        if (strcmp(user, "root") == 0) {
            admin = true;
        } else if (geteuid() != 0) {
            char* self = s_getusername(geteuid());
            admin = self != nullptr && strcmp(self, user) == 0;
            free(self);
        } else {
            log(_debug_creds, LOG_WARNING, 0, 0,
                "Creds: s_verify_admin_user, fails.  User authenticated but is not root");
        }
    }
    if (!admin) log(_debug_creds, LOG_WARNING, 0, 0, "Sorry, %s is not admin user", user);
    return admin;
}
