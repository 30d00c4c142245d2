// The receiving service's index: walking a destination for an index reply,
// digests reused while a file is unchanged, and the saved copy.
#include "tools/ftd/ftd_index.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/log.h"
#include "dirbase/message.h"
#include "tools/ftd/ftd_activity.h"
#include "tools/ftd/ftd_direct.h"
#include "tools/ftd/ftd_tree.h"

namespace {

const int32_t kIndexVersion = 1;
const int32_t kEndOfList = 99;
// Levels a walk enters: each holds a frame of the walk on the session's
// stack. Folders below are listed but not entered, and a line says so.
const int kMaxDepth = 256;
// Levels of a walk that keep their folder open while walking below it:
// with the folder being read, a file being digested and the connection's
// own, a session stays within the descriptors counted for it
// (ftd_server.cpp).
const int kHeldLevels = 2;

// Times past the year 2262 (a sender may set any) saturate. The key stays
// sound: the change time, which only the kernel sets, is part of it too.
long long nsOf(const struct timespec& t) {
    long long ns;
    if (__builtin_mul_overflow(static_cast<long long>(t.tv_sec), 1000000000LL, &ns) ||
        __builtin_add_overflow(ns, static_cast<long long>(t.tv_nsec), &ns))
        return t.tv_sec < 0 ? LLONG_MIN : LLONG_MAX;
    return ns;
}

std::string indexPath(const FtdTree& tree) {
    return tree.root() + "/" + kFtdStateDir + "/index";
}

}  // namespace

bool ftdDigestFile(int fd, const EVP_MD* md, unsigned char* out, unsigned* length) {
    const size_t kChunk = 1 << 20;
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    FtdRangeReader reader(fd, kChunk);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
    for (long long at = 0; ok && at < st.st_size;) {
        size_t n = static_cast<size_t>(std::min<long long>(kChunk, st.st_size - at));
        const unsigned char* data = reader.read(at, n);
        ok = data != nullptr && EVP_DigestUpdate(ctx, data, n) == 1;
        at += static_cast<long long>(n);
        ftdNoteProgress();
    }
    ok = ok && EVP_DigestFinal_ex(ctx, out, length) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

bool ftdDigestFd(int fd, std::string* out) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ftdDigestFile(fd, EVP_md5(), md, &len)) return false;
    static const char hex[] = "0123456789abcdef";
    out->clear();
    for (unsigned int i = 0; i < len; i++) {
        *out += hex[md[i] >> 4];
        *out += hex[md[i] & 15];
    }
    return true;
}

const char* ftdDigestFailure(int err) {
    return err == 0 ? "the file shrank while it was read" : strerror(err);
}

FtdIndexStore::FtdIndexStore(const FtdTree& tree) : _tree(tree) {}

bool FtdIndexStore::matches(const Known& k, const struct stat& st) {
    return k.size == st.st_size && k.mtimeNs == nsOf(st.st_mtim) && k.ino == static_cast<long long>(st.st_ino) &&
           k.ctimeNs == nsOf(st.st_ctim);
}

void FtdIndexStore::load() {
    int fd = ::open(indexPath(_tree).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) bytes.append(buf, static_cast<size_t>(n));
    ::close(fd);
    Message m(bytes.data(), bytes.size());
    int32_t version = 0;
    std::map<std::string, Known> loaded;
    bool good = m.readInt32(&version) == 0 && version == kIndexVersion;
    while (good) {
        int32_t tag = 0;
        if (m.readInt32(&tag) != 0) {
            good = false;
            break;
        }
        if (tag == kEndOfList) break;
        char* name = nullptr;
        char* digest = nullptr;
        Known k;
        int64_t v[4] = {};
        good = m.readString(&name) == 0 && m.readInt64(&v[0]) == 0 && m.readInt64(&v[1]) == 0 &&
               m.readInt64(&v[2]) == 0 && m.readInt64(&v[3]) == 0 && m.readString(&digest) == 0 &&
               name != nullptr && digest != nullptr;
        if (good) {
            k.size = v[0];
            k.mtimeNs = v[1];
            k.ino = v[2];
            k.ctimeNs = v[3];
            k.digest = digest;
            loaded[name] = k;
        }
        free(name);
        free(digest);
    }
    if (!good) {
        log(LOG_WARNING, 0, 0, "drvftd: index %s bad or corrupted; starting a new one", indexPath(_tree).c_str());
        return;
    }
    CriticalSection hold(_lock);
    _known.swap(loaded);
}

int FtdIndexStore::save() {
    Message m(0);
    {
        CriticalSection hold(_lock);
        if (!_dirty) return 0;
        m.writeInt32(kIndexVersion);
        for (const auto& e : _known) {
            m.writeInt32(FTD_FILE);
            m.writeString(e.first.c_str());
            m.writeInt64(e.second.size);
            m.writeInt64(e.second.mtimeNs);
            m.writeInt64(e.second.ino);
            m.writeInt64(e.second.ctimeNs);
            m.writeString(e.second.digest.c_str());
        }
        m.writeInt32(kEndOfList);
        _dirty = false;
    }
    int dir = _tree.openDir(kFtdStateDir, true);
    if (dir < 0) return -1;
    int fd = ::openat(dir, "index.new", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    size_t skip = 9;  // the frame header of the first buffer
    for (const MessageBase::_Buffer* b = m.firstBuffer(); ok && b != nullptr; b = b->next) {
        size_t from = std::min(skip, b->used);
        skip -= from;
        ok = ::write(fd, b->data + from, b->used - from) == static_cast<ssize_t>(b->used - from);
    }
    if (fd >= 0) ::close(fd);
    ok = ok && ::renameat(dir, "index.new", dir, "index") == 0;
    ::close(dir);
    if (!ok) {
        log(LOG_ERROR, errno, 0, "drvftd: unable to save the index %s", indexPath(_tree).c_str());
        CriticalSection hold(_lock);
        _dirty = true;
        return -1;
    }
    return 0;
}

bool FtdIndexStore::fileDigest(int dirFd, const char* leaf, const std::string& rel, const struct stat& st,
                               std::string* out) {
    {
        CriticalSection hold(_lock);
        auto it = _known.find(rel);
        if (it != _known.end() && matches(it->second, st)) {
            *out = it->second.digest;
            return true;
        }
    }
    // Without waiting, and checked again once open: the entry may have been
    // replaced by a named pipe since it was looked at.
    int fd = ::openat(dirFd, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat now;
    bool ok = ::fstat(fd, &now) == 0;
    if (ok && !S_ISREG(now.st_mode)) {
        // No longer a file; errno must not keep an older call's answer,
        // which the walk reads.
        errno = EINVAL;
        ok = false;
    }
    ok = ok && ftdDigestFd(fd, out);
    int err = errno;
    ::close(fd);
    if (!ok) {
        errno = err;
        return false;
    }
    CriticalSection hold(_lock);
    _computed++;
    _known[rel] = Known{now.st_size, nsOf(now.st_mtim), static_cast<long long>(now.st_ino), nsOf(now.st_ctim), *out};
    _dirty = true;
    return true;
}

bool FtdIndexStore::digest(const std::string& rel, std::string* out) {
    std::string leaf;
    int dir = _tree.openParent(rel, false, &leaf);
    if (dir < 0) return false;
    struct stat st;
    bool ok = ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
              fileDigest(dir, leaf.c_str(), rel, st, out);
    ::close(dir);
    return ok;
}

void FtdIndexStore::noteWritten(const std::string& rel, const struct stat& st, const std::string& digest) {
    CriticalSection hold(_lock);
    _known[rel] = Known{st.st_size, nsOf(st.st_mtim), static_cast<long long>(st.st_ino), nsOf(st.st_ctim), digest};
    _dirty = true;
}

void FtdIndexStore::noteChanged(const std::string& rel) {
    CriticalSection hold(_lock);
    if (_known.erase(rel) > 0) _dirty = true;
}

void FtdIndexStore::forget(const std::string& rel) {
    CriticalSection hold(_lock);
    if (_known.erase(rel) > 0) _dirty = true;
    // Everything below rel sorts together right after rel + "/".
    std::string prefix = rel + "/";
    auto it = _known.lower_bound(prefix);
    while (it != _known.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
        it = _known.erase(it);
        _dirty = true;
    }
}

long long FtdIndexStore::digestsComputed() {
    CriticalSection hold(_lock);
    return _computed;
}

void FtdIndexStore::walk(int dirFd, const std::string& relDir, const std::string& relName, bool checksums,
                         const EntrySink& each, int depth, long long* notEntered) {
    DIR* d = ::fdopendir(dirFd);
    if (d == nullptr) {
        ::close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (relDir.empty() && strcmp(e->d_name, kFtdStateDir) == 0) continue;
        names.push_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    // The names are read: the stream goes, one descriptor stays.
    int fd = ::fcntl(::dirfd(d), F_DUPFD_CLOEXEC, 0);
    ::closedir(d);
    struct stat self;
    if (fd < 0 || ::fstat(fd, &self) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    for (const std::string& n : names) {
        ftdNoteProgress();
        if (fd < 0) {
            // Let go while a sub-folder was walked (see below): found again
            // from the root, and only if it is still the same folder.
            struct stat again;
            fd = _tree.openDir(relDir, false);
            if (fd >= 0 && (::fstat(fd, &again) != 0 || again.st_dev != self.st_dev || again.st_ino != self.st_ino)) {
                ::close(fd);
                fd = -1;
            }
            if (fd < 0) return;
        }
        std::string rel = FtdTree::join(relDir, n);
        std::string name = relName.empty() ? n : relName + "/" + n;
        struct stat st;
        FtdIndexEntry e;
        e.name = name;
        if (::fstatat(fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Removed since the names were read: it is simply not there. An
            // error entry would fail the sender's whole transfer, and folders
            // where files come and go (rotated logs) could never be indexed.
            if (errno == ENOENT) continue;
            e.type = FTD_ERROR;
            e.reason = strerror(errno);
            each(e);
            continue;
        }
        e.size = st.st_size;
        e.mtimeMs = static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        if (S_ISDIR(st.st_mode)) {
            e.type = FTD_DIR;
            each(e);
            if (depth >= kMaxDepth) ++*notEntered;
            int sub = depth < kMaxDepth ? ::openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            if (sub >= 0) {
                // A session is counted a few descriptors: below the first
                // levels a folder is not held open while its sub-folders are
                // walked, or a tree hundreds deep would hold one per level.
                if (depth >= kHeldLevels) {
                    ::close(fd);
                    fd = -1;
                }
                walk(sub, rel, name, checksums, each, depth + 1, notEntered);
            }
        } else if (S_ISLNK(st.st_mode)) {
            e.type = FTD_LINK;
            char target[4096];
            ssize_t len = ::readlinkat(fd, n.c_str(), target, sizeof(target) - 1);
            e.link.assign(target, len > 0 ? static_cast<size_t>(len) : 0);
            each(e);
        } else if (S_ISREG(st.st_mode)) {
            e.type = FTD_FILE;
            if (checksums && !fileDigest(fd, n.c_str(), rel, st, &e.digest)) {
                // Removed between its status and its opening: not there.
                if (errno == ENOENT) continue;
                e.type = FTD_ERROR;
                e.reason = ftdDigestFailure(errno);
            }
            each(e);
        } else {
            e.type = FTD_OTHER;
            each(e);
        }
    }
    if (fd >= 0) ::close(fd);
}

void FtdIndexStore::build(const std::string& dest, bool checksums, std::vector<FtdIndexEntry>* out) {
    out->clear();
    build(dest, checksums, [out](const FtdIndexEntry& e) { out->push_back(e); });
}

void FtdIndexStore::build(const std::string& dest, bool checksums, const EntrySink& each) {
    int fd = _tree.openDir(dest, false);
    if (fd < 0) return;
    long long notEntered = 0;
    walk(fd, dest, "", checksums, each, 0, &notEntered);
    if (notEntered > 0)
        log(LOG_WARNING, 0, 0,
            "drvftd: index of %s: %lld folder(s) more than %d levels deep listed without their contents",
            dest.c_str(), notEntered, kMaxDepth);
}
