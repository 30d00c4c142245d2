#include "dir/acl_check.h"

#include <string.h>
#include <strings.h>

#include <string>

#include "dir/principal.h"
#include "dirbase/acl.h"

const char AclCheck::kAdministrators[] = "Administrators";

namespace {

// Whether principal names any item of a comma-separated list.
bool containsAny(const Principal* principal, const char* list) {
    if (list == nullptr) return false;
    for (const char* p = list;;) {
        const char* comma = strchr(p, ',');
        size_t n = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
        if (n > 0 && principal->containsPrincipalName(std::string(p, n).c_str())) return true;
        if (comma == nullptr) return false;
        p = comma + 1;
    }
}

}  // namespace

bool AclCheck::isPrincipalMatch(const Principal* principal, const char* owners, const char* groupOwners,
                                const char* pattern) {
    if (principal == nullptr) return false;
    char name[256], domain[256];
    if (!Acl::splitPattern(pattern, name, sizeof(name), domain, sizeof(domain))) return false;
    if (strcasecmp(domain, "builtin") == 0) {
        if (strcmp(name, "everyone") == 0) return true;
        if (strcmp(name, "owner") == 0) return containsAny(principal, owners);
        if (strcmp(name, "groupowner") == 0) return containsAny(principal, groupOwners);
        return false;
    }
    if (strncmp(domain, "H-", 2) == 0) return false;
    return principal->containsPrincipalName(pattern);
}

bool AclCheck::hasPermission(const Principal* principal, const Acl* acl, const char* permission,
                             char** extraGroups) {
    if (principal == nullptr || acl == nullptr || permission == nullptr) return false;
    if (principal->containsDravikaGroup(kAdministrators)) return true;
    for (int i = 0; extraGroups != nullptr && extraGroups[i] != nullptr; i++)
        if (principal->containsDravikaGroup(extraGroups[i])) return true;
    AclFields fields(acl->getText());
    for (int i = 0; i < fields.entryCount(); i++) {
        AclEntry entry(fields.entry(i));
        if (!entry.hasPermission(permission)) continue;
        if (isPrincipalMatch(principal, fields.owners(), fields.groupOwners(), entry.pattern())) return entry.isAllow();
    }
    return false;
}

bool AclCheck::hasAclPermission(const Principal* principal, const Acl* acl) {
    if (principal == nullptr) return false;
    if (principal->containsDravikaGroup(kAdministrators)) return true;
    if (acl == nullptr) return false;
    const char* text = acl->getText();
    const char* first = text != nullptr ? strchr(text, '`') : nullptr;
    if (first == nullptr || strchr(first + 1, '`') == nullptr) return false;
    AclFields fields(text);
    char user[256];
    if (principal->getLoginUser(user, sizeof(user)) == 0 && Acl::listContains(fields.owners(), user)) return true;
    if (principal->getDravikaUser(user, sizeof(user)) == 0 && Acl::listContains(fields.owners(), user)) return true;
    return false;
}
