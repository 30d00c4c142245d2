// UnixSfs, UnixFile and UnixDirectory: the POSIX calls under an optional
// root prefix, with every failure recorded.
#include "dirbase/sfs_unix.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "common/sem.h"
#include "dirbase/acl.h"

namespace {

// Error texts are kept once each for the life of the process: the native
// instance is shared by threads that fail at the same time, and a text one
// of them is recording or reading must not be freed under it. The texts
// come from a small fixed set (system messages and the shared codes'
// descriptions), so the table stays small.
CriticalBlock _errorTextLock(LOCK_RANK_NONE, kProcessLifetime);
std::set<std::string>* _errorTexts GUARDED_BY(_errorTextLock) = nullptr;

const char* keptText(const char* text) {
    CriticalSection hold(_errorTextLock);
    if (_errorTexts == nullptr) _errorTexts = new std::set<std::string>;
    return _errorTexts->insert(text != nullptr ? text : "").first->c_str();
}

// Link expansions allowed while resolving one path.
const int kMaxLinkPasses = 30;

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace

UnixSfs::UnixSfs(const char* prefix)
    : _prefix(prefix != nullptr && prefix[0] != '\0' ? strdup(prefix) : nullptr), _lastErrno(0), _lastCode(0),
      _lastText("") {}

UnixSfs::~UnixSfs() { free(_prefix); }

int UnixSfs::setError(int errnum, int code) {
    _lastErrno = errnum;
    if (code == -1) {
        _lastCode = DirError::fromPosix(errnum);
        _lastText = keptText(strerror(errnum));
    } else {
        _lastCode = code;
        if (errnum == 0 && code > 0) _lastText = keptText(DirError::getErrorDescription(code));
        else _lastText = keptText(errnum != 0 ? strerror(errnum) : "");
    }
    return -1;
}

int UnixSfs::adjustForChroot(char* out, size_t len, const char* path) {
    if (path == nullptr) return -1;
    const char* p = path;
    std::string result;
    if (_prefix != nullptr && p[0] == '/') {
        if (p[1] == '/') p++;
        result = std::string(_prefix) + p;
    } else {
        result = path;
    }
    if (result.size() >= len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(out, result.c_str(), result.size() + 1);
    return 0;
}

const char* UnixSfs::target(char* buf, const char* path, bool adjust) {
    if (path == nullptr) {
        setError(EINVAL, -1);
        return nullptr;
    }
    if (!adjust || _prefix == nullptr) return path;
    if (adjustForChroot(buf, SFS_PATH_MAX, path) != 0) {
        setError(ENAMETOOLONG, -1);
        return nullptr;
    }
    return buf;
}

int UnixSfs::expandSpecialDirectory(const char* in, char* out, size_t len) {
    if (in == nullptr || out == nullptr) return setError(EINVAL, -1);
    std::string result;
    if (strncmp(in, "${HOME}/", 8) == 0) {
        struct passwd pw;
        struct passwd* found = nullptr;
        char buf[4096];
        if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr)
            return setError(ENOENT, -1);
        result = std::string(pw.pw_dir) + (in + 7);
    } else {
        result = in;
    }
    if (result.size() >= len) return setError(ENAMETOOLONG, -1);
    memcpy(out, result.c_str(), result.size() + 1);
    return 0;
}

int UnixSfs::lstat(const char* path, struct stat64* st, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::lstat64(p, st) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::stat(const char* path, struct stat64* st, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::stat64(p, st) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::opendir(const char* path, SfsDirectory** dir, bool adjust) {
    *dir = nullptr;
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    DIR* d = ::opendir(p);
    if (d == nullptr) return setError(errno, -1);
    *dir = new UnixDirectory(d);
    return 0;
}

int UnixSfs::readLink(const char* path, char* out, size_t len, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr || len == 0) return -1;
    ssize_t n = ::readlink(p, out, len - 1);
    if (n < 0) return setError(errno, -1);
    out[n] = '\0';
    return static_cast<int>(n);
}

int UnixSfs::realPath(char* out, size_t len, const char* base, const char* link, bool adjust) {
    std::string start;
    if (link == nullptr) {
        start = base != nullptr ? base : "";
    } else if (link[0] == '/') {
        start = link;
    } else {
        // The directory of base: the root only for an empty base or "/"; a
        // relative base without a slash leaves it relative (and the result
        // fails below), never the root.
        std::string dir = base != nullptr ? base : "";
        size_t slash = dir.rfind('/');
        if (dir.empty() || dir == "/" || slash == 0) dir = "/";
        else if (slash != std::string::npos) dir = dir.substr(0, slash);
        start = dir + "/" + link;
    }
    if (start.empty() || start[0] != '/') return setError(ENOENT, -1);

    std::vector<std::string> pending = splitPath(start);
    std::vector<std::string> done;
    // Components are taken from the back of `todo` (reversed order).
    std::vector<std::string> todo(pending.rbegin(), pending.rend());
    int passes = 0;
    while (!todo.empty()) {
        std::string c = todo.back();
        todo.pop_back();
        if (c == ".") continue;
        if (c == "..") {
            if (done.empty()) return setError(ENOENT, -1);
            done.pop_back();
            continue;
        }
        done.push_back(c);
        std::string current = joinPath(done);
        struct stat64 st;
        char buf[SFS_PATH_MAX];
        const char* sys = target(buf, current.c_str(), adjust);
        if (sys == nullptr) return -1;
        if (::lstat64(sys, &st) != 0) {
            // Judged on this call's own errno: the instance's last error may
            // be another thread's by now.
            int err = errno;
            if (err == ENOENT || err == ENOTDIR) continue;  // the rest is taken literally
            return setError(err, -1);
        }
        if (!S_ISLNK(st.st_mode)) continue;
        if (++passes > kMaxLinkPasses) {
            setError(ELOOP, -1);
            _lastText = "Links Create a Loop";
            return -1;
        }
        char text[SFS_PATH_MAX];
        if (readLink(current.c_str(), text, sizeof text, adjust) < 0) return -1;
        done.pop_back();
        if (text[0] == '/') done.clear();
        std::vector<std::string> more = splitPath(text);
        for (auto it = more.rbegin(); it != more.rend(); ++it) todo.push_back(*it);
    }
    std::string result = joinPath(done);
    if (result.size() >= len) return setError(ENAMETOOLONG, -1);
    memcpy(out, result.c_str(), result.size() + 1);
    return 0;
}

int UnixSfs::isSameFileSystem(const char* a, const char* b, bool adjust) {
    struct stat64 sa, sb;
    if (stat(a, &sa, adjust) != 0 || stat(b, &sb, adjust) != 0) return -1;
    return sa.st_dev == sb.st_dev ? 1 : 0;
}

int UnixSfs::open(const char* path, SfsFile** file, int flags, int mode, bool adjust) {
    *file = nullptr;
    int acc = flags & O_ACCMODE;
    bool writes = acc == O_WRONLY || acc == O_RDWR;
    if (writes && (flags & O_CREAT) != 0 && mode == 0) {
        log(0, "Logic error: cannot open file with O_CREAT and no perms");
        return setError(EINVAL, -1);
    }
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    int fd = ::open64(p, flags | O_CLOEXEC, mode);
    if (fd < 0) return setError(errno, -1);
    *file = new UnixFile(this, fd, acc == O_RDONLY || acc == O_RDWR, writes);
    return 0;
}

int UnixSfs::chroot(const char* prefix) {
    free(_prefix);
    _prefix = prefix != nullptr && prefix[0] != '\0' ? strdup(prefix) : nullptr;
    return 0;
}

Acl* UnixSfs::getAcl(const char* path, struct stat64* st, bool adjust) {
    struct stat64 own;
    if (st == nullptr) {
        if (stat(path, &own, adjust) != 0) return nullptr;
        st = &own;
    }
    char owner[256], group[256];
    struct passwd pw, *pwp = nullptr;
    struct group gr, *grp = nullptr;
    char buf[4096];
    if (getpwuid_r(st->st_uid, &pw, buf, sizeof buf, &pwp) == 0 && pwp != nullptr)
        snprintf(owner, sizeof owner, "%s", pw.pw_name);
    else
        snprintf(owner, sizeof owner, "%u", static_cast<unsigned>(st->st_uid));
    if (getgrgid_r(st->st_gid, &gr, buf, sizeof buf, &grp) == 0 && grp != nullptr)
        snprintf(group, sizeof group, "%s", gr.gr_name);
    else
        snprintf(group, sizeof group, "%u", static_cast<unsigned>(st->st_gid));
    // Kind, owners, group owners, the special bits as words, an empty
    // second mode field, then one allowing entry each for the owner, the
    // group owner and everyone else, naming what their bits grant.
    std::string text = std::string("U`") + owner + "`" + group + "`";
    const char* sep = "";
    for (const auto& bit : {std::make_pair(S_ISUID, "SUID"), std::make_pair(S_ISGID, "SGID"),
                            std::make_pair(S_ISVTX, "SVTX")}) {
        if ((st->st_mode & bit.first) == 0) continue;
        text += sep;
        text += bit.second;
        sep = ",";
    }
    text += "`";
    for (const auto& who : {std::make_pair(6, "owner@builtin/u"), std::make_pair(3, "groupowner@builtin/g"),
                            std::make_pair(0, "everyone@builtin/o")}) {
        unsigned bits = (st->st_mode >> who.first) & 07;
        if (bits == 0) continue;
        text += "`A,";
        text += who.second;
        if (bits & 04) text += ",Read";
        if (bits & 02) text += ",Write";
        if (bits & 01) text += ",Execute";
    }
    return new Acl(text.c_str());
}

int UnixSfs::removeTree(const char* sysPath) {
    struct stat64 st;
    if (::lstat64(sysPath, &st) != 0) return setError(errno, -1);
    if (!S_ISDIR(st.st_mode)) return ::unlink(sysPath) == 0 ? 0 : setError(errno, -1);
    // The names are read and the directory closed before going down, so a
    // tree of any depth needs one descriptor at a time, not one per level.
    DIR* d = ::opendir(sysPath);
    if (d == nullptr) return setError(errno, -1);
    std::vector<std::string> children;
    while (struct dirent* e = ::readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        children.push_back(std::string(sysPath) + "/" + e->d_name);
    }
    ::closedir(d);
    int rc = 0;
    for (const std::string& child : children)
        if (removeTree(child.c_str()) != 0) rc = -1;
    if (rc != 0) return -1;
    return ::rmdir(sysPath) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::removePath(const char* path, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return removeTree(p);
}

int UnixSfs::mkdir(const char* path, int mode, bool adjust, bool existingIsSuccess) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    if (::mkdir(p, static_cast<mode_t>(mode)) == 0) return 0;
    int err = errno;
    if (err == EEXIST && existingIsSuccess) {
        struct stat64 st;
        if (::stat64(p, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    }
    return setError(err, -1);
}

int UnixSfs::mkdirPath(const char* path, int mode, bool adjust) {
    std::string full = path != nullptr ? path : "";
    for (size_t i = 1; i < full.size(); i++) {
        if (full[i] != '/') continue;
        if (mkdir(full.substr(0, i).c_str(), mode, adjust, true) != 0) return -1;
    }
    return mkdir(full.c_str(), mode, adjust, true);
}

int UnixSfs::unlink(const char* path, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::unlink(p) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::symlink(const char* linkTarget, const char* link, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, link, adjust);
    if (p == nullptr) return -1;
    return ::symlink(linkTarget, p) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::rename(const char* from, const char* to, bool adjust) {
    char b1[SFS_PATH_MAX], b2[SFS_PATH_MAX];
    const char* p1 = target(b1, from, adjust);
    const char* p2 = target(b2, to, adjust);
    if (p1 == nullptr || p2 == nullptr) return -1;
    return ::rename(p1, p2) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::chown(const char* path, int uid, int gid, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::chown(p, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::chmod(const char* path, int mode, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::chmod(p, static_cast<mode_t>(mode)) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::access(const char* path, int mode, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    return ::access(p, mode) == 0 ? 0 : setError(errno, -1);
}

int UnixSfs::setTLM(const char* path, long long ms, bool adjust) {
    char buf[SFS_PATH_MAX];
    const char* p = target(buf, path, adjust);
    if (p == nullptr) return -1;
    struct stat64 st;
    if (::stat64(p, &st) != 0) return setError(errno, -1);
    struct timespec times[2] = {s_timespecOfMs(ms), s_timespecOfMs(ms)};
    return ::utimensat(AT_FDCWD, p, times, 0) == 0 ? 0 : setError(errno, -1);
}

UnixFile::UnixFile(UnixSfs* owner, int fd, bool forRead, bool forWrite)
    : _fd(fd), _forWrite(forWrite), _forRead(forRead), _owner(owner) {}

UnixFile::~UnixFile() { close(); }

int UnixFile::read(char* buf, int n) {
    if (!_forRead) log(0, "Logic error: reading from file not open for read");
    // A negative count would reach read(2) as a huge length.
    if (n < 0) return _owner->setError(EINVAL, -1);
    ssize_t got;
    do {
        got = ::read(_fd, buf, static_cast<size_t>(n));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return _owner->setError(errno, -1);
    return static_cast<int>(got);
}

int UnixFile::write(char* buf, int n) {
    if (!_forWrite) log(0, "Logic error: writing to a file not open for write");
    int done = 0;
    while (done < n) {
        ssize_t put = ::write(_fd, buf + done, static_cast<size_t>(n - done));
        if (put < 0) {
            if (errno == EINTR) continue;
            int err = errno == EPERM ? ENOSPC : errno;
            return _owner->setError(err, -1);
        }
        done += static_cast<int>(put);
    }
    return done;
}

int UnixFile::close() {
    if (_fd < 0) return 0;
    int rc = ::close(_fd);
    _fd = -1;
    return rc == 0 ? 0 : _owner->setError(errno, -1);
}

int UnixFile::seek(long long offset) {
    ::lseek64(_fd, offset, SEEK_SET);
    return 0;
}

UnixDirectory::~UnixDirectory() {
    if (_dir != nullptr) ::closedir(_dir);
}

const char* UnixDirectory::readNext() {
    if (_dir == nullptr) return nullptr;
    struct dirent* e = ::readdir(_dir);
    return e != nullptr ? e->d_name : nullptr;
}
