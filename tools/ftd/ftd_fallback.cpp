// Keeping previous versions of replaced and removed entries.
#include "tools/ftd/ftd_fallback.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/ftd/ftd_tree.h"

namespace {

std::string numbered(const std::string& leaf, int n) {
    return leaf + "." + std::to_string(n);
}

// Whether a name could be taken for a numbered fallback ("x.3"), or for a
// folder name changed by mirrored() below.
bool looksNumbered(const std::string& name) {
    if (!name.empty() && name.back() == '~') return true;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return false;
    for (size_t i = dot + 1; i < name.size(); i++)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// rel's place in the fallbacks: its folders get a "~" when their names end
// like a fallback's number (or in "~"), so that the previous versions of a
// file "a" ("a.1", ...) and a folder "a.1" beside it never share a name.
// The leaf stays: numbers are added to it.
std::string mirrored(const std::string& rel) {
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) {
            out += rel.substr(start);
            return out;
        }
        std::string part = rel.substr(start, slash - start);
        out += part;
        if (looksNumbered(part)) out += '~';
        out += '/';
        start = slash + 1;
    }
}

}  // namespace

const char* FtdFallbacks::folder() {
    static const std::string path = std::string(kFtdStateDir) + "/fallbacks";
    return path.c_str();
}

int FtdFallbacks::makeRoom(const std::string& rel, const FtdFallbackPolicy& policy, std::string* leaf) {
    int dir = _tree.openParent(std::string(folder()) + "/" + mirrored(rel), true, leaf);
    if (dir < 0) return -1;
    int count = policy.count < FtdFallbackPolicy::kMaxCount ? policy.count : FtdFallbackPolicy::kMaxCount;
    // The first fallback superseded longer ago than the age goes, and every
    // older one with it, whatever its own time says: reading a fallback
    // moves that time, and one kept out of sequence would leave a gap that
    // hides the numbers behind it from the next keep.
    int drop = count;
    if (policy.ageDays > 0) {
        const time_t oldest = now() - static_cast<time_t>(policy.ageDays) * 86400;
        for (int n = 1; n < count; n++) {
            struct stat st;
            if (::fstatat(dir, numbered(*leaf, n).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (st.st_atim.tv_sec < oldest) {
                drop = n;
                break;
            }
        }
    }
    // Anything from there on goes (a count lowered since leaves more
    // behind).
    for (int n = drop;; n++) {
        struct stat st;
        std::string name = numbered(*leaf, n);
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
        FtdTree::removeAt(dir, name.c_str());
    }
    for (int n = drop - 1; n >= 1; n--) {
        std::string from = numbered(*leaf, n);
        struct stat st;
        if (::fstatat(dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string to = numbered(*leaf, n + 1);
        // A folder cannot be renamed over a folder that holds anything.
        FtdTree::removeAt(dir, to.c_str());
        if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0) FtdTree::removeAt(dir, from.c_str());
    }
    return dir;
}

void FtdFallbacks::stamp(int fb, const std::string& name) {
    struct timespec times[2];
    times[0].tv_sec = now();
    times[0].tv_nsec = 0;
    times[1].tv_sec = 0;
    times[1].tv_nsec = UTIME_OMIT;
    ::utimensat(fb, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

int FtdFallbacks::keepReplaced(int dirFd, const std::string& leaf, const std::string& rel,
                               const FtdFallbackPolicy& policy) {
    if (!policy.keep || policy.count <= 0) return 0;
    struct stat st;
    if (::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    std::string name;
    int fb = makeRoom(rel, policy, &name);
    if (fb < 0) return -1;
    std::string first = numbered(name, 1);
    FtdTree::removeAt(fb, first.c_str());
    int rc = S_ISREG(st.st_mode) ? ::linkat(dirFd, leaf.c_str(), fb, first.c_str(), 0)
                                 : FtdTree::changeInFolder(dirFd, [&] { return ::renameat(dirFd, leaf.c_str(), fb, first.c_str()); });
    int err = errno;
    if (rc == 0) stamp(fb, first);
    ::close(fb);
    errno = err;
    return rc == 0 ? 0 : -1;
}

int FtdFallbacks::keepRemoved(const std::string& rel, const FtdFallbackPolicy& policy) {
    if (!policy.keep || policy.count <= 0) return 0;
    std::string leaf;
    int dir = _tree.openParent(rel, false, &leaf);
    // Nothing to keep below a folder that is missing or that a file or a
    // link has replaced (see FtdTree::remove).
    if (dir < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat st;
    int rc = 0;
    if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        std::string name;
        int fb = makeRoom(rel, policy, &name);
        if (fb < 0) {
            rc = -1;
        } else {
            std::string first = numbered(name, 1);
            FtdTree::removeAt(fb, first.c_str());
            rc = FtdTree::changeInFolder(dir, [&] { return ::renameat(dir, leaf.c_str(), fb, first.c_str()); });
            int err = errno;
            if (rc == 0 && S_ISDIR(st.st_mode)) _tree.noteFoldersMoved();
            if (rc == 0) stamp(fb, first);
            ::close(fb);
            errno = err;
        }
    } else if (errno != ENOENT) {
        rc = -1;
    }
    int err = errno;
    ::close(dir);
    errno = err;
    return rc;
}
