// AclCheck: the permission checks of an access list against a principal.
// The list itself (Acl, its fields and entries) is a plain record of the
// value layer, which knows nothing of principals; the checks need both, so
// they live here, beside Principal.
//
// Thread-safety: stateless; every check only reads its arguments.
#ifndef DRV_DIR_ACL_CHECK_H
#define DRV_DIR_ACL_CHECK_H

class Acl;
class Principal;

class AclCheck {
public:
    // The group whose members pass every check.
    static const char kAdministrators[];

    // Whether principal may use permission on an object with this list:
    // administrators and members of a group of the null-terminated
    // extraGroups (may be null) always may; otherwise the first access entry
    // that names the permission and whose pattern matches decides. False
    // without principal, list or permission, or when no entry decides.
    static bool hasPermission(const Principal* principal, const Acl* acl, const char* permission,
                              char** extraGroups);
    // Whether principal may change the list itself: administrators, and a
    // principal whose login or management user is one of the owners.
    static bool hasAclPermission(const Principal* principal, const Acl* acl);
    // Whether an access entry's pattern (name@domain/x) covers principal.
    // In domain "builtin" (any case) "everyone" covers all, "owner" and
    // "groupowner" cover the owners and group owners (comma-separated
    // lists, may be null); host domains ("H-...") cover no one; any other
    // pattern covers the principal that names it.
    static bool isPrincipalMatch(const Principal* principal, const char* owners, const char* groupOwners,
                                 const char* pattern);
};

#endif
