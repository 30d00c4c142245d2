// Path wrappers that apply the root prefix, the permission test, and the
// recursive removal and re-owning of trees.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"

namespace {

// The path a wrapper hands to the system: prefixed when asked for. A
// prefixed path that does not fit is refused (ENAMETOOLONG) rather than
// silently cut, which would name some other file.
class RealPath {
public:
    RealPath(const char* path, bool adjust = true) : _path(path), _tooLong(false) {
        const char* prefix = s_get_chroot_path();
        if (path == nullptr) {
            _path = "";  // fails with ENOENT like an empty name
            return;
        }
        if (!adjust || prefix == nullptr || path[0] != '/') return;
        size_t need = strlen(prefix) + strlen(path) - (path[1] == '/' ? 1 : 0);
        if (need >= sizeof(_buf)) {
            _tooLong = true;
            return;
        }
        _path = s_adjust_path(_buf, sizeof(_buf), path);
    }
    RealPath(const RealPath&) = delete;
    RealPath& operator=(const RealPath&) = delete;

    // False (with errno set) when the path could not be built.
    bool ok() const {
        if (_tooLong) errno = ENAMETOOLONG;
        return !_tooLong;
    }
    operator const char*() const { return _path; }

private:
    char _buf[kChrootPathMax + PATH_MAX + 1];
    const char* _path;
    bool _tooLong;
};

// Tree walks report the three outcomes a caller can act on.
int treeError(int err) {
    if (err == EPERM) return DirError::E_PERMISSION_DENIED;
    if (err == ENOENT) return DirError::E_OBJECT_NOT_FOUND;
    return DirError::E_SYSTEM_FAILED;
}

bool isDirectory(const char* path) {
    struct stat64 st;
    return lstat64(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Calls visit(child) for every entry of the directory but "." and "..";
// stops at the first non-zero result and returns it. The names are read
// and the directory closed before the first visit: a walk that kept every
// level open would run out of descriptors on a deep tree, and the visits
// change the directory being read.
template <class Visit>
int forEachChild(const std::string& dirPath, Visit visit) {
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) {
        int err = errno;
        log(err, "Unable to open directory %s", dirPath.c_str());
        return treeError(err);
    }
    std::vector<std::string> children;
    struct dirent* d;
    while ((d = readdir(dir)) != nullptr) {
        if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
        children.push_back(dirPath + "/" + d->d_name);
    }
    closedir(dir);
    int rv = 0;
    for (size_t i = 0; rv == 0 && i < children.size(); i++) rv = visit(children[i]);
    return rv;
}

int removeTree(const std::string& path) {
    if (isDirectory(path.c_str())) {
        int rv = forEachChild(path, removeTree);
        if (rv != 0) return rv;
        if (rmdir(path.c_str()) != 0) {
            int err = errno;
            log(err, "Unable to rmdir (remove) directory: %s", path.c_str());
            return treeError(err);
        }
    } else if (unlink(path.c_str()) != 0) {
        int err = errno;
        log(err, "Unable to unlink (remove) file: %s", path.c_str());
        return treeError(err);
    }
    return 0;
}

int chownTree(const std::string& path, uid_t uid, gid_t gid) {
    // lchown: a link inside the tree must not hand its target, which may lie
    // anywhere, to the new owner.
    if (isDirectory(path.c_str())) {
        int rv = forEachChild(path, [uid, gid](const std::string& child) { return chownTree(child, uid, gid); });
        if (rv != 0) return rv;
        if (lchown(path.c_str(), uid, gid) != 0) {
            int err = errno;
            log(err, "Unable to chown directory: %s", path.c_str());
            return treeError(err);
        }
    } else if (lchown(path.c_str(), uid, gid) != 0) {
        int err = errno;
        log(err, "Unable to chown file: %s", path.c_str());
        return treeError(err);
    }
    return 0;
}

}  // namespace

int s_access(const char* path, int mode) {
    RealPath p(path);
    return p.ok() ? access(p, mode) : -1;
}

int s_mkdir(const char* path, mode_t mode) {
    RealPath p(path);
    return p.ok() ? mkdir(p, mode) : -1;
}

int s_chown(const char* path, uid_t uid, gid_t gid) {
    RealPath p(path);
    return p.ok() ? chown(p, uid, gid) : -1;
}

int s_chmod(const char* path, mode_t mode) {
    RealPath p(path);
    return p.ok() ? chmod(p, mode) : -1;
}

int s_rename(const char* from, const char* to) {
    RealPath f(from);
    RealPath t(to);
    return f.ok() && t.ok() ? rename(f, t) : -1;
}

int s_stat(const char* path, struct stat64* st, bool adjust) {
    RealPath p(path, adjust);
    return p.ok() ? stat64(p, st) : -1;
}

int s_lstat(const char* path, struct stat64* st, bool adjust) {
    RealPath p(path, adjust);
    return p.ok() ? lstat64(p, st) : -1;
}

DIR* s_opendir(const char* path, bool adjust) {
    RealPath p(path, adjust);
    return p.ok() ? opendir(p) : nullptr;
}

int s_open(const char* path, int flags, int mode, bool adjust) {
    RealPath p(path, adjust);
    return p.ok() ? open(p, flags, mode) : -1;
}

int s_open_nowait(const char* path, int flags, int mode, bool adjust) {
    int fd = s_open(path, flags | O_NONBLOCK | O_CLOEXEC, mode, adjust);
    if (fd >= 0) {
        int now = fcntl(fd, F_GETFL);
        if (now != -1) fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    }
    return fd;
}

FILE* s_fopen(const char* path, const char* mode) {
    RealPath p(path);
    return p.ok() ? fopen(p, mode) : nullptr;
}

int s_symlink(const char* target, const char* link) {
    struct stat64 st;
    if (s_stat(target, &st, true) != 0) {
        log(errno, "Unable to stat(%s) target for link", target);
        return -1;
    }
    RealPath l(link);
    int rv = l.ok() ? symlink(target, l) : -1;
    if (rv != 0) log(errno, "Unable to create link target: %s link: %s", target, link);
    return rv;
}

int s_link(const char* target, const char* link) {
    struct stat64 st;
    if (s_stat(target, &st, true) != 0) {
        log(errno, "Unable to stat(%s) target for link", target);
        return -1;
    }
    RealPath t(target);
    RealPath l(link);
    int rv = t.ok() && l.ok() ? ::link(t, l) : -1;
    if (rv != 0) log(errno, "Unable to create link target: %s link: %s", target, link);
    return rv;
}

int s_setTLM(const char* path, long long ms) {
    RealPath p(path);
    struct stat64 st;
    if (!p.ok() || stat64(p, &st) != 0) return -1;
    struct timeval times[2];
    times[0].tv_sec = st.st_atim.tv_sec;
    times[0].tv_usec = st.st_atim.tv_nsec / 1000;
    // The millisecond remainder goes into the microseconds field as it is;
    // modification times are read back in whole seconds (s_fixFileTime).
    times[1].tv_sec = static_cast<time_t>(ms / 1000);
    times[1].tv_usec = static_cast<suseconds_t>(ms % 1000);
    return utimes(p, times);
}

struct timespec s_timespecOfMs(long long ms) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec < 0) {
        t.tv_sec -= 1;
        t.tv_nsec += 1000000000L;
    }
    return t;
}

int s_mkstemp(char* path) {
    memcpy(path, "/tmp/dravika.XXXXXXXX", kTempPathLength);
    return mkstemp(path);
}

int s_readdir_r(DIR* dir, struct dirent* entry, struct dirent** result) {
    *result = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return readdir_r(dir, entry, result);
#pragma GCC diagnostic pop
}

bool s_access(const char* path, int mode, uid_t uid, gid_t gid, const gid_t* groups) {
    struct stat64 st;
    if (s_stat(path, &st, true) != 0) return false;
    if (mode == 1 && uid == 0) return true;
    unsigned want = static_cast<unsigned>(mode) & 7;
    unsigned bits = st.st_mode;
    if ((bits & want) == want) return true;
    if (st.st_uid == uid && ((bits >> 6) & want) == want) return true;
    bool member = st.st_gid == gid;
    for (const gid_t* g = groups; !member && g != nullptr && *g != 0; g++) member = *g == st.st_gid;
    return member && ((bits >> 3) & want) == want;
}

int s_remove_path(const char* path) {
    RealPath p(path);
    if (!p.ok()) return treeError(errno);
    return removeTree(std::string(p));
}

int s_chown_recursively(const char* path, int uid, int gid) {
    RealPath p(path);
    if (!p.ok()) return treeError(errno);
    return chownTree(std::string(p), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
}
