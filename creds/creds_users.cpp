// The reentrant user, group and host calls, served from the cache or a child.
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/sem.h"
#include "creds/creds.h"

namespace {

// Lays strings and arrays out in a caller's buffer, as the C library's
// reentrant calls do; ok() turns false once something did not fit.
class BufferFill {
public:
    BufferFill(char* buffer, size_t length) : _next(buffer), _left(buffer != nullptr ? length : 0) {}

    char* text(const std::string& s) {
        size_t need = s.size() + 1;
        if (!_ok || need > _left) return fail<char>();
        char* out = _next;
        memcpy(out, s.c_str(), need);
        _next += need;
        _left -= need;
        return out;
    }

    template <class T>
    T* array(size_t count) {
        size_t pad = (alignof(T) - reinterpret_cast<uintptr_t>(_next) % alignof(T)) % alignof(T);
        size_t need = pad + count * sizeof(T);
        if (!_ok || need > _left) return fail<T>();
        T* out = reinterpret_cast<T*>(_next + pad);
        _next += need;
        _left -= need;
        return out;
    }

    bool ok() const { return _ok; }

private:
    template <class T>
    T* fail() {
        _ok = false;
        return nullptr;
    }

    char* _next;
    size_t _left;
    bool _ok = true;
};

int fillPasswd(const std::string& name, uid_t uid, gid_t gid, const std::string& home, struct passwd* pwd, char* buf,
               size_t buflen) {
    BufferFill fill(buf, buflen);
    pwd->pw_name = fill.text(name);
    pwd->pw_passwd = fill.text("x");
    pwd->pw_uid = uid;
    pwd->pw_gid = gid;
    pwd->pw_gecos = fill.text("");
    pwd->pw_dir = fill.text(home);
    pwd->pw_shell = fill.text("");
    return fill.ok() ? 0 : ERANGE;
}

int fillGroup(const std::string& name, gid_t gid, struct group* grp, char* buf, size_t buflen) {
    BufferFill fill(buf, buflen);
    grp->gr_name = fill.text(name);
    grp->gr_passwd = fill.text("x");
    grp->gr_gid = gid;
    grp->gr_mem = fill.array<char*>(1);
    if (grp->gr_mem != nullptr) grp->gr_mem[0] = nullptr;
    return fill.ok() ? 0 : ERANGE;
}

// Fetches the entry for a key; reports a failed entry. The entry comes with
// its use count raised, or null after a failure (rc then set: 0 for no such
// entry, EIO otherwise).
CredsCacheEntry* fetchFound(const char* call, int operation, const char* name, long id, int& rc) {
    CredsCacheEntry* e = credsFetch(operation, name, id);
    if (e == nullptr) {
        rc = EIO;
        return nullptr;
    }
    if (e->noExist || e->error) {
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: %s, failed, ce = %p, ce->_error = %d, ce->_noexist = %d", call,
            static_cast<void*>(e), e->error, e->noExist);
        rc = e->error ? EIO : 0;
        _credsCache.release(e);
        return nullptr;
    }
    rc = 0;
    return e;
}

int userCall(const char* call, int operation, const char* name, long id, struct passwd* pwd, char* buf,
             size_t buflen, struct passwd** result) {
    *result = nullptr;
    if (operation == CREDS_OP_USER_BY_NAME && name == nullptr) return 0;
    int rc;
    CredsCacheEntry* e = fetchFound(call, operation, name, id, rc);
    if (e == nullptr) return rc;
    rc = fillPasswd(e->userName, e->uid, e->gid, e->home, pwd, buf, buflen);
    _credsCache.release(e);
    if (rc == 0) *result = pwd;
    return rc;
}

int groupCall(const char* call, int operation, const char* name, long id, struct group* grp, char* buf,
              size_t buflen, struct group** result) {
    *result = nullptr;
    if (operation == CREDS_OP_GROUP_BY_NAME && name == nullptr) return 0;
    int rc;
    CredsCacheEntry* e = fetchFound(call, operation, name, id, rc);
    if (e == nullptr) return rc;
    rc = fillGroup(e->groupName, e->gid, grp, buf, buflen);
    _credsCache.release(e);
    if (rc == 0) *result = grp;
    return rc;
}

// The user's group ids, or false when the user is unknown or no child answered.
bool userGroups(const char* user, std::vector<gid_t>& groups) {
    if (user == nullptr) return false;
    int rc;
    CredsCacheEntry* e = fetchFound("s_getgroups", CREDS_OP_USER_BY_NAME, user, 0, rc);
    if (e == nullptr) return false;
    groups = e->groups;
    if (groups.empty()) groups.push_back(e->gid);
    _credsCache.release(e);
    return true;
}

// One enumeration's snapshot and position.
struct Enumeration {
    CriticalBlock lock{LOCK_RANK_NONE, kProcessLifetime};
    bool loaded GUARDED_BY(lock) = false;
    bool failed GUARDED_BY(lock) = false;
    CredsAnswer answer GUARDED_BY(lock);
    size_t next GUARDED_BY(lock) = 0;
};

Enumeration _users;
Enumeration _groups;

// Takes a new snapshot (no lock held while the child runs).
void loadEnumeration(Enumeration& en, int operation) {
    CredsAnswer answer;
    bool ok = credsFetchAll(operation, answer);
    CriticalSection hold(en.lock);
    en.answer = std::move(answer);
    en.failed = !ok;
    en.loaded = true;
    en.next = 0;
}

void endEnumeration(Enumeration& en) {
    CriticalSection hold(en.lock);
    en.answer = CredsAnswer();
    en.loaded = false;
    en.failed = false;
    en.next = 0;
}

bool enumerationLoaded(Enumeration& en) {
    CriticalSection hold(en.lock);
    return en.loaded;
}

}  // namespace

int s_getpwnam_r(const char* name, struct passwd* pwd, char* buf, size_t buflen, struct passwd** result) {
    return userCall("s_getpwnam_r", CREDS_OP_USER_BY_NAME, name, 0, pwd, buf, buflen, result);
}

int s_getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, size_t buflen, struct passwd** result) {
    return userCall("s_getpwuid_r", CREDS_OP_USER_BY_ID, "", static_cast<long>(uid), pwd, buf, buflen, result);
}

int s_getgrnam_r(const char* name, struct group* grp, char* buf, size_t buflen, struct group** result) {
    return groupCall("s_getgrnam_r", CREDS_OP_GROUP_BY_NAME, name, 0, grp, buf, buflen, result);
}

int s_getgrgid_r(gid_t gid, struct group* grp, char* buf, size_t buflen, struct group** result) {
    return groupCall("s_getgrgid_r", CREDS_OP_GROUP_BY_ID, "", static_cast<long>(gid), grp, buf, buflen, result);
}

int s_getgroups(const char* user, gid_t group, gid_t* groups, int* ngroups) {
    std::vector<gid_t> list;
    if (!userGroups(user, list)) {
        *ngroups = 0;
        return -1;
    }
    if (std::find(list.begin(), list.end(), group) == list.end()) list.insert(list.begin(), group);
    int count = static_cast<int>(list.size());
    if (groups == nullptr || count > *ngroups) {
        *ngroups = count;
        return -1;
    }
    std::copy(list.begin(), list.end(), groups);
    *ngroups = count;
    return count;
}

char** s_getgrouplist(const char* user) {
    std::vector<gid_t> list;
    if (!userGroups(user, list)) return nullptr;
    char** names = static_cast<char**>(calloc(list.size() + 1, sizeof(char*)));
    if (names == nullptr) return nullptr;
    for (size_t i = 0; i < list.size(); i++) {
        char* name = s_getgroupname(list[i]);
        if (name == nullptr) {
            char number[16];
            snprintf(number, sizeof(number), "%u", static_cast<unsigned>(list[i]));
            name = strdup(number);
        }
        names[i] = name;
    }
    return names;
}

void s_free_grouplist(char** list) {
    if (list == nullptr) return;
    for (char** p = list; *p != nullptr; p++) free(*p);
    free(list);
}

void s_setpwent() { loadEnumeration(_users, CREDS_OP_ALL_USERS); }

int s_getpwent_r(struct passwd* pwd, char* buf, size_t buflen, struct passwd** result) {
    *result = nullptr;
    if (!enumerationLoaded(_users)) s_setpwent();
    CriticalSection hold(_users.lock);
    if (_users.failed) return EIO;
    if (_users.next >= _users.answer.users.size()) return ENOENT;
    const CredsUser& u = _users.answer.users[_users.next];
    int rc = fillPasswd(u.name, u.uid, u.gid, u.home, pwd, buf, buflen);
    if (rc != 0) return rc;
    _users.next++;
    *result = pwd;
    return 0;
}

void s_endpwent() { endEnumeration(_users); }

void s_setgrent() { loadEnumeration(_groups, CREDS_OP_ALL_GROUPS); }

int s_getgrent_r(struct group* grp, char* buf, size_t buflen, struct group** result) {
    *result = nullptr;
    if (!enumerationLoaded(_groups)) s_setgrent();
    CriticalSection hold(_groups.lock);
    if (_groups.failed) return EIO;
    if (_groups.next >= _groups.answer.groups.size()) return ENOENT;
    const CredsGroup& g = _groups.answer.groups[_groups.next];
    int rc = fillGroup(g.name, g.gid, grp, buf, buflen);
    if (rc != 0) return rc;
    _groups.next++;
    *result = grp;
    return 0;
}

void s_endgrent() { endEnumeration(_groups); }

char* s_getusername(uid_t uid) {
    int rc;
    CredsCacheEntry* e = fetchFound("s_getusername", CREDS_OP_USER_BY_ID, "", static_cast<long>(uid), rc);
    if (e == nullptr) return nullptr;
    char* name = strdup(e->userName.c_str());
    _credsCache.release(e);
    return name;
}

char* s_getgroupname(gid_t gid) {
    int rc;
    CredsCacheEntry* e = fetchFound("s_getgroupname", CREDS_OP_GROUP_BY_ID, "", static_cast<long>(gid), rc);
    if (e == nullptr) return nullptr;
    char* name = strdup(e->groupName.c_str());
    _credsCache.release(e);
    return name;
}

long s_get_uid(const char* name) {
    if (name == nullptr) return -1;
    int rc;
    CredsCacheEntry* e = fetchFound("s_get_uid", CREDS_OP_USER_BY_NAME, name, 0, rc);
    if (e == nullptr) return -1;
    long uid = static_cast<long>(e->uid);
    _credsCache.release(e);
    return uid;
}

long s_get_gid(const char* name) {
    if (name == nullptr) return -1;
    int rc;
    CredsCacheEntry* e = fetchFound("s_get_gid", CREDS_OP_GROUP_BY_NAME, name, 0, rc);
    if (e == nullptr) return -1;
    long gid = static_cast<long>(e->gid);
    _credsCache.release(e);
    return gid;
}

uint32_t s_gethostbyname(const char* name, int* error) {
    int ignored;
    if (error == nullptr) error = &ignored;
    if (name == nullptr) {
        *error = HOST_NOT_FOUND;
        return 0;
    }
    CredsCacheEntry* e = credsFetch(CREDS_OP_HOST_BY_NAME, name, 0);
    if (e == nullptr) {
        *error = NO_RECOVERY;
        return 0;
    }
    uint32_t address = 0;
    if (e->noExist)
        *error = HOST_NOT_FOUND;
    else if (e->error)
        *error = NO_RECOVERY;
    else {
        *error = 0;
        address = e->uid;
    }
    _credsCache.release(e);
    return address;
}
