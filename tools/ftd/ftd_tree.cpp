// Path confinement and atomic installation below the served root.
#include "tools/ftd/ftd_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/os.h"
#include "tools/ftd/ftd_activity.h"

const char* const kFtdStateDir = ".drvftd";

namespace {

const size_t kMaxPath = 4095;

std::vector<std::string> split(const std::string& rel) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        if (end > start) parts.push_back(rel.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

const char* const kFtdStagingDir = ".drvftd/tmp";

namespace {

// A name for a new temporary: random, so that sessions staging at the same
// time rarely meet (O_EXCL settles it when they do).
std::string stagingName(const char* prefix) {
    char name[32];
    unsigned long long r = (static_cast<unsigned long long>(random()) << 31) ^ static_cast<unsigned long long>(random());
    snprintf(name, sizeof(name), "%s%012llx", prefix, r & 0xffffffffffffULL);
    return name;
}

}  // namespace

int FtdTree::removeStaleTemporaries() const {
    if (_stageFd < 0) return 0;
    // A description of its own: reading the folder moves its offset.
    int fd = ::openat(_stageFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return 0;
    }
    // Everything here is this service's own: no received name reaches the
    // state folder.
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    int removed = 0;
    for (const std::string& n : names)
        if (removeAt(::dirfd(d), n.c_str()) == 0) removed++;
    ::closedir(d);
    return removed;
}

FtdTree::FtdTree(const char* root) : _rootFd(-1), _stageFd(-1), _stageDev(0) {
    char resolved[PATH_MAX];
    if (root == nullptr || realpath(root, resolved) == nullptr) return;
    _root = resolved;
    _rootFd = ::open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_rootFd < 0) return;
    // A root the service cannot write to stages nothing here: files are then
    // staged beside their names, where writing would fail anyway.
    _stageFd = openDir(kFtdStagingDir, true);
    struct stat st;
    if (_stageFd >= 0 && ::fstat(_stageFd, &st) == 0) {
        _stageDev = st.st_dev;
    } else if (_stageFd >= 0) {
        ::close(_stageFd);
        _stageFd = -1;
    }
}

FtdTree::~FtdTree() {
    if (_stageFd >= 0) ::close(_stageFd);
    if (_rootFd >= 0) ::close(_rootFd);
}

int FtdTree::stagingFor(int dirFd) const {
    struct stat st;
    if (_stageFd < 0 || ::fstat(dirFd, &st) != 0 || st.st_dev != _stageDev) return -1;
    return _stageFd;
}

std::string FtdTree::besideName(const std::string& leaf, const char* kind) {
    std::string base = leaf.size() > 200 ? leaf.substr(0, 200) : leaf;
    return "." + base + ".ftd-" + stagingName(kind);
}

int FtdTree::changeInFolder(int dirFd, const std::function<int()>& change) {
    int rc = change();
    if (rc >= 0 || errno != EACCES) return rc;
    struct stat st;
    if (::fstat(dirFd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & S_IWUSR) != 0 ||
        ::fchmod(dirFd, (st.st_mode & 07777) | S_IWUSR) != 0) {
        errno = EACCES;
        return rc;
    }
    rc = change();
    int saved = errno;
    ::fchmod(dirFd, st.st_mode & 07777);
    errno = saved;
    return rc;
}

namespace {

// unlinkat, with a missing entry taken as removed.
int unlinkIn(int dirFd, const char* name, int flags) {
    return FtdTree::changeInFolder(dirFd, [&] { return ::unlinkat(dirFd, name, flags) == 0 || errno == ENOENT ? 0 : -1; });
}

}  // namespace

int FtdTree::placeLink(int dirFd, const std::string& leaf, const std::string& target) const {
    // A new link made aside, then renamed over the old entry.
    int stage = stagingFor(dirFd);
    int in = stage >= 0 ? stage : dirFd;
    std::string temp;
    int rc = -1;
    for (int attempt = 0; attempt < 100; attempt++) {
        temp = stage >= 0 ? stagingName("l-") : besideName(leaf, "l-");
        rc = changeInFolder(in, [&] { return ::symlinkat(target.c_str(), in, temp.c_str()); });
        if (rc == 0 || errno != EEXIST) break;
    }
    if (rc != 0) return -1;
    struct stat st;
    bool folder = ::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    if (folder) removeAt(dirFd, leaf.c_str());
    rc = changeInFolder(dirFd, [&] { return ::renameat(in, temp.c_str(), dirFd, leaf.c_str()); });
    int saved = errno;
    if (folder) noteFoldersMoved();
    if (rc != 0) {
        unlinkIn(in, temp.c_str(), 0);
        errno = saved;
        return -1;
    }
    return 0;
}

bool FtdTree::confine(const std::string& peerPath, std::string* relative, std::string* reason) {
    relative->clear();
    if (peerPath.size() > kMaxPath) {
        *reason = "path too long";
        return false;
    }
    if (peerPath.find('\0') != std::string::npos) {
        *reason = "NUL byte in path";
        return false;
    }
    if (!peerPath.empty() && (peerPath[0] == '/' || peerPath[0] == '\\')) {
        *reason = "absolute path";
        return false;
    }
    std::string out;
    for (const std::string& part : split(peerPath)) {
        if (part == ".") continue;
        if (part == "..") {
            *reason = "path leaves the root (..)";
            return false;
        }
        // In any case: a root whose folders ignore case (casefolding) would
        // take another spelling for the state folder itself.
        if (out.empty() && strcasecmp(part.c_str(), kFtdStateDir) == 0) {
            *reason = "path names the service's state folder";
            return false;
        }
        if (!out.empty()) out += '/';
        out += part;
    }
    *relative = out;
    return true;
}

std::string FtdTree::join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + "/" + b;
}

int FtdTree::openParent(const std::string& rel, bool create, std::string* leaf) const {
    std::vector<std::string> parts = split(rel);
    if (parts.empty()) {
        errno = EINVAL;
        return -1;
    }
    *leaf = parts.back();
    parts.pop_back();
    std::string dir;
    for (const std::string& p : parts) dir = join(dir, p);
    return openDir(dir, create);
}

void FtdDirCache::clear() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
    _rel.clear();
}

int FtdTree::openParent(const std::string& rel, bool create, std::string* leaf, FtdDirCache* cache) const {
    bool borrowed = false;
    int fd = openParentShared(rel, create, leaf, cache, &borrowed);
    return fd >= 0 && borrowed ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : fd;
}

int FtdTree::openParentShared(const std::string& rel, bool create, std::string* leaf, FtdDirCache* cache,
                              bool* borrowed) const {
    *borrowed = false;
    if (cache == nullptr) return openParent(rel, create, leaf);
    size_t slash = rel.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (name.empty() || dir.find("//") != std::string::npos) return openParent(rel, create, leaf);
    const unsigned long long moves = foldersMoved();
    if (cache->_fd < 0 || cache->_rel != dir || cache->_moves != moves) {
        int fd = openDir(dir, create);
        if (fd < 0) return -1;
        cache->clear();
        cache->_fd = fd;
        cache->_rel = dir;
        cache->_moves = moves;
    }
    *leaf = name;
    *borrowed = true;
    return cache->_fd;
}

int FtdTree::openDir(const std::string& rel, bool create) const {
    if (_rootFd < 0) {
        errno = EBADF;
        return -1;
    }
    int fd = ::dup(_rootFd);
    if (fd < 0) return -1;
    for (const std::string& p : split(rel)) {
        int next = ::openat(fd, p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (changeInFolder(fd, [&] { return ::mkdirat(fd, p.c_str(), 0755); }) != 0 && errno != EEXIST) {
                int saved = errno;
                ::close(fd);
                errno = saved;
                return -1;
            }
            next = ::openat(fd, p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        int saved = errno;
        ::close(fd);
        if (next < 0) {
            // A link where a folder should be: never followed.
            errno = saved == ENOTDIR ? ENOTDIR : saved;
            return -1;
        }
        fd = next;
    }
    return fd;
}

int FtdTree::lstat(const std::string& rel, struct stat* st) const {
    if (rel.empty()) return ::fstat(_rootFd, st);
    std::string leaf;
    int dir = openParent(rel, false, &leaf);
    if (dir < 0) return -1;
    int rc = ::fstatat(dir, leaf.c_str(), st, AT_SYMLINK_NOFOLLOW);
    int saved = errno;
    ::close(dir);
    errno = saved;
    return rc;
}

namespace {

// Levels of a removal that keep their folder open while a sub-folder is
// emptied. Below them a folder is let go and found again through the
// sub-folder's "..", checked to be the same folder: a tree a sender made
// two thousand folders deep would otherwise hold a descriptor per level,
// more than the session is counted and, for as long as the removal ran,
// leave none for other sessions or the listener.
const int kHeldRemovalLevels = 2;

// Empties the folder open at *fd, depth levels below where the removal
// began. *fd stays the caller's to close; it is -1 when the folder could
// not be found again (moved away meanwhile), and nothing more is removed.
int emptyFolder(int* fd, int depth) {
    struct stat self;
    if (::fstat(*fd, &self) != 0) return -1;
    std::vector<std::string> names;
    {
        // A description of its own: reading the folder moves its offset.
        int listFd = ::openat(*fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (d == nullptr) {
            if (listFd >= 0) ::close(listFd);
            return -1;
        }
        while (struct dirent* e = ::readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            names.push_back(e->d_name);
        }
        ::closedir(d);
    }
    int rc = 0;
    for (const std::string& n : names) {
        ftdNoteProgress();
        struct stat st;
        if (::fstatat(*fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) rc = -1;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (unlinkIn(*fd, n.c_str(), 0) != 0) rc = -1;
            continue;
        }
        int sub = ::openat(*fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            rc = -1;
            continue;
        }
        const bool letGo = depth >= kHeldRemovalLevels;
        if (letGo) {
            ::close(*fd);
            *fd = -1;
        }
        if (emptyFolder(&sub, depth + 1) != 0) rc = -1;
        if (letGo && sub >= 0) {
            *fd = ::openat(sub, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            struct stat again;
            if (*fd >= 0 && (::fstat(*fd, &again) != 0 || again.st_dev != self.st_dev || again.st_ino != self.st_ino)) {
                ::close(*fd);
                *fd = -1;
            }
        }
        if (sub >= 0) ::close(sub);
        if (*fd < 0) {
            errno = ESTALE;
            return -1;
        }
        if (unlinkIn(*fd, n.c_str(), AT_REMOVEDIR) != 0) rc = -1;
    }
    return rc;
}

}  // namespace

int FtdTree::removeAt(int dirFd, const char* name) {
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) return unlinkIn(dirFd, name, 0);
    int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = emptyFolder(&fd, 1);
    int saved = errno;
    if (fd >= 0) ::close(fd);
    errno = saved;
    if (rc == 0) rc = unlinkIn(dirFd, name, AT_REMOVEDIR);
    return rc;
}

int FtdTree::remove(const std::string& rel) const {
    std::string leaf;
    int dir = openParent(rel, false, &leaf);
    // Nothing is there to remove when a folder on the way is missing, or is
    // now a file or a link (never followed): a sender that replaced a folder
    // still lists what the folder held.
    if (dir < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat st;
    bool folder = ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    int rc = removeAt(dir, leaf.c_str());
    int saved = errno;
    ::close(dir);
    if (folder) noteFoldersMoved();
    errno = saved;
    return rc;
}

bool FtdTree::linkStaysInside(const std::string& rel, const std::string& target) {
    if (target.empty() || target[0] == '/' || target.find('\0') != std::string::npos) return false;
    // Counting the target's steps as text is not enough: a component may be
    // another link (s -> .), and a ".." after it climbs from wherever that
    // link led. The folders holding a link are real folders (the tree is
    // reached without following links), so ".." steps at the start of the
    // target are exact, and there may be as many as the link's folder is
    // deep. After any other component no ".." is allowed: what remains
    // only descends, through folders or through links that stay inside by
    // the same rule, whatever order they arrived in.
    long up = static_cast<long>(split(rel).size()) - 1;
    bool descended = false;
    for (const std::string& p : split(target)) {
        if (p == ".") continue;
        if (p == "..") {
            if (descended || --up < 0) return false;
        } else {
            descended = true;
        }
    }
    return true;
}

FtdStagedFile::~FtdStagedFile() {
    discard();
}

int FtdStagedFile::open(const FtdTree& tree, const std::string& rel, FtdDirCache* cache) {
    discard();
    _tree = &tree;
    _moves = tree.foldersMoved();
    size_t slash = rel.rfind('/');
    _dirRel = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    _dirFd = tree.openParentShared(rel, true, &_leaf, cache, &_dirBorrowed);
    if (_dirFd < 0) return -1;
    _stageFd = tree.stagingFor(_dirFd);
    for (int attempt = 0; attempt < 100; attempt++) {
        _tempName = _stageFd >= 0 ? stagingName("f-") : FtdTree::besideName(_leaf, "f-");
        _fd = FtdTree::changeInFolder(tempDir(), [&] {
            return ::openat(tempDir(), _tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        });
        if (_fd >= 0 || errno != EEXIST) break;
    }
    if (_fd < 0) {
        int saved = errno;
        _tempName.clear();
        releaseDir();
        errno = saved;
        return -1;
    }
    _written = 0;
    return 0;
}

void FtdStagedFile::releaseDir() {
    if (_dirFd >= 0 && !_dirBorrowed) ::close(_dirFd);
    _dirFd = -1;
    _stageFd = -1;
    _dirBorrowed = false;
}

void FtdStagedFile::expectSize(long long size) {
    if (_fd >= 0 && _written == 0 && _direct == nullptr && size >= FtdDirectSink::kMinSize)
        _direct = FtdDirectSink::start(_fd);
}

int FtdStagedFile::settle() {
    if (_direct == nullptr) return 0;
    int rc = _direct->finish();
    _direct.reset();
    return rc;
}

int FtdStagedFile::append(const void* data, size_t n) {
    if (_direct != nullptr) {
        if (_direct->write(data, n) != 0) return -1;
        _written += static_cast<long long>(n);
        return 0;
    }
    return writeAt(_written, data, n);
}

int FtdStagedFile::appendv(const struct iovec* pieces, size_t count) {
    struct iovec left[kMaxPieces];
    if (count > kMaxPieces) {
        errno = EINVAL;
        return -1;
    }
    if (_direct != nullptr) {
        for (size_t i = 0; i < count; i++)
            if (append(pieces[i].iov_base, pieces[i].iov_len) != 0) return -1;
        return 0;
    }
    memcpy(left, pieces, count * sizeof(struct iovec));
    struct iovec* at = left;
    while (count > 0) {
        ssize_t w = ::pwritev(_fd, at, static_cast<int>(count), _written);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        _written += w;
        // Past the pieces written whole, into the one written in part.
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= at->iov_len) {
            done -= at->iov_len;
            at++;
            count--;
        }
        if (count > 0) {
            at->iov_base = static_cast<char*>(at->iov_base) + done;
            at->iov_len -= done;
        }
    }
    return 0;
}

int FtdStagedFile::writeAt(long long offset, const void* data, size_t n) {
    if (_direct != nullptr) {
        if (offset == _written) return append(data, n);
        if (settle() != 0) return -1;
    }
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::pwrite(_fd, p, n, offset);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
    if (offset > _written) _written = offset;
    return 0;
}

int ftdSetAttributes(int dirFd, const char* name, int mode, long long mtimeMs) {
    int rc = 0;
    // Never through a link: a folder may have been replaced by one since it
    // was made (its mode is set when its transaction ends), and a link may
    // lead anywhere, out of the root too. A link here fails instead.
    if (mode >= 0 && ::fchmodat(dirFd, name, static_cast<mode_t>(mode & 01777), AT_SYMLINK_NOFOLLOW) != 0) rc = -1;
    if (mtimeMs != kFtdKeepTime) {
        struct timespec times[2] = {s_timespecOfMs(mtimeMs), s_timespecOfMs(mtimeMs)};
        if (::utimensat(dirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0) rc = -1;
    }
    return rc;
}

void FtdStagedFile::refindDir() {
    if (_tree == nullptr || _tree->foldersMoved() == _moves) return;
    _moves = _tree->foldersMoved();
    int again = _tree->openDir(_dirRel, true);
    if (again < 0) return;
    struct stat was;
    struct stat now;
    // A temporary beside its name (another file system) moves with its
    // folder; only one in the staging folder can go to another folder.
    bool moved = ::fstat(_dirFd, &was) == 0 && ::fstat(again, &now) == 0 &&
                 (was.st_dev != now.st_dev || was.st_ino != now.st_ino) && _stageFd >= 0 &&
                 _tree->stagingFor(again) == _stageFd;
    if (!moved) {
        ::close(again);
        return;
    }
    if (!_dirBorrowed) ::close(_dirFd);
    _dirFd = again;
    _dirBorrowed = false;
}

int FtdStagedFile::install(int mode, long long mtimeMs, struct stat* st) {
    if (_fd < 0) {
        errno = EBADF;
        return -1;
    }
    // The times are set after the last write, which would change them.
    if (settle() != 0) return -1;
    if (mode >= 0 && ::fchmod(_fd, static_cast<mode_t>(mode & 01777)) != 0) return -1;
    if (mtimeMs != kFtdKeepTime) {
        struct timespec times[2] = {s_timespecOfMs(mtimeMs), s_timespecOfMs(mtimeMs)};
        if (::futimens(_fd, times) != 0) return -1;
    }
    refindDir();
    if (FtdTree::changeInFolder(_dirFd, [&] { return ::renameat(tempDir(), _tempName.c_str(), _dirFd, _leaf.c_str()); }) != 0)
        return -1;
    if (st != nullptr && ::fstatat(_dirFd, _leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) memset(st, 0, sizeof(*st));
    ::close(_fd);
    _fd = -1;
    _tempName.clear();
    releaseDir();
    return 0;
}

void FtdStagedFile::discard() {
    _direct.reset();
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    if (_dirFd >= 0 && !_tempName.empty()) unlinkIn(tempDir(), _tempName.c_str(), 0);
    releaseDir();
    _tempName.clear();
}
