// The receiving service's side of a transaction's file list: folders, links,
// whole files and the two partial-update exchanges, each file built beside
// its final name and renamed into place only when complete and accepted.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "coms/stream_message.h"
#include "ft/ft_checksum.h"
#include "ft/ft_entry.h"
#include "ft/ft_filesum.h"
#include "ft/ft_parallel.h"
#include "ft/ft_protocol.h"
#include "ft/ft_sync.h"
#include "tools/ftd/ftd_activity.h"
#include "tools/ftd/ftd_index.h"
#include "tools/ftd/ftd_server.h"
#include "tools/ftd/ftd_session.h"
#include "tools/ftd/ftd_writer.h"

namespace {

// Block exchanges with smaller blocks, or more of them, are refused: the
// sender's block size comes from the file size and never goes below 1024.
const int kMinBlock = 512;
const int kMaxBlock = 1 << 24;
const long long kMaxBlocks = 1 << 22;
// Every signature is held, and the reply gathered, at once (40 bytes a
// block in all). A sender's block size grows with the square root of its
// file up to kLargestSenderBlock (ft_blockSize), so more than kPlainBlocks
// blocks of a smaller size mean a previous version far larger than the new
// file, which then goes whole at little cost; allowed, the smallest blocks
// of a 2 GiB file cost 160 MB in every session that asked.
const long long kPlainBlocks = 1 << 18;
const int kLargestSenderBlock = 262144;

long long freeBytes(int fd) {
    struct statvfs vs;
    if (fstatvfs(fd, &vs) != 0) return -1;
    return static_cast<long long>(vs.f_bavail) * static_cast<long long>(vs.f_frsize);
}

// Opens the current version of rel for reading, without following links
// and without waiting (a named pipe would hold the open until written to).
int openOld(const FtdTree& tree, const std::string& rel, struct stat* st) {
    std::string leaf;
    int dir = tree.openParent(rel, false, &leaf);
    if (dir < 0) return -1;
    int fd = ::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(dir);
    if (fd >= 0 && (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        ::close(fd);
        errno = EISDIR;
        fd = -1;
    }
    return fd;
}

// The signatures of a file's blocks, read and hashed in two halves at
// once. False when the file cannot be read whole.
bool signFile(int fd, long long size, int blockSize, uint32_t seed, int strongLen, std::vector<FtBlockSignature>* sigs) {
    const long long count = static_cast<long long>(sigs->size());
    auto part = [&](long long first, long long last) {
        // Whole blocks per read, about 4 MiB at a time.
        long long perRead = std::max<long long>(1, (4 << 20) / blockSize);
        FtdRangeReader reader(fd, static_cast<size_t>(perRead * blockSize));
        for (long long b = first; b < last; b += perRead) {
            long long n = std::min(perRead, last - b);
            long long off = b * blockSize;
            size_t bytes = static_cast<size_t>(std::min<long long>(n * blockSize, size - off));
            const unsigned char* data = reader.read(off, bytes);
            if (data == nullptr) return false;
            ftdNoteProgress();
            ft_signBlocks(data, static_cast<long long>(bytes), blockSize, seed, strongLen, 0, n, sigs->data() + b);
        }
        return true;
    };
    const long long half = count / 2;
    bool firstOk = false;
    FtBesideThread beside([&] { firstOk = part(0, half); });
    bool secondOk = part(half, count);
    beside.join();
    return firstOk && secondOk;
}

// The data blocks of a file are read into one buffer per session thread,
// instead of an allocation per block; one that an unusually large block
// grew is given back afterwards.
std::vector<unsigned char>& blockBuffer() {
    thread_local std::vector<unsigned char> buffer;
    return buffer;
}

void trimBlockBuffer() {
    std::vector<unsigned char>& b = blockBuffer();
    if (b.capacity() > (8u << 20)) std::vector<unsigned char>().swap(b);
}

struct FdHolder {
    int fd = -1;
    ~FdHolder() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int FtdSession::receiveList(bool second) {
    std::string dest;
    std::string base;
    std::string options;
    bool recursive = false;
    if (!readText(&dest) || _in->readBool(&recursive) != 0 || !readText(&base) || !readText(&options)) return -1;
    _transactions++;
    _dirCache.clear();
    _fallback = _fallbackNext;
    _fallbackNext = FtdFallbackPolicy();
    _dest = dest;
    _files = _bytes = _unchanged = _removed = 0;
    _dirs.clear();
    std::string rel;
    std::string reason;
    _baseOk = FtdTree::confine(second ? dest + "/" + base : dest, &rel, &reason);
    if (_baseOk && second && (base.empty() || base.find('/') != std::string::npos || base == "..")) {
        _baseOk = false;
        reason = "bad source name";
    }
    if (_baseOk) {
        int fd = _server->tree().openDir(rel, true);
        if (fd < 0) {
            reason = std::string("unable to create the destination: ") + strerror(errno);
            _baseOk = false;
        } else {
            ::close(fd);
        }
    }
    if (!_baseOk) refuse(dest, reason);
    _base = rel;
    log(LOG_INFO, 0, 0, "drvftd: %s: transaction %d from %s: %s -> %s%s", _peer.c_str(), _transactions,
        _user.c_str(), base.c_str(), dest.c_str(), second ? " (folder)" : "");
    for (;;) {
        int32_t code = 0;
        if (flush() != 0 || ftReadCommand(_in, &code) != 0) return -1;
        if (code == FT_END_OF_FILES) break;
        if (code != FT_RECV_PART2 && code != FT_RECV_PART2_KNOWN && code != FT_RECV_PART3) {
            refuse(dest, "unexpected code " + std::to_string(code) + " in a file list");
            return -1;
        }
        int rc = entry(code);
        if (rc != 0) return rc;
    }
    leaveFolders(nullptr);
    log(LOG_INFO, 0, 0, "drvftd: %s: transaction %d complete: %lld files (%lld bytes) written, %lld unchanged",
        _peer.c_str(), _transactions, _files, _bytes, _unchanged);
    return 0;
}

int FtdSession::entry(int32_t code) {
    if (code == FT_RECV_PART3) {
        int32_t v = 0;
        if (_in->readInt32(&v) != 0) return -1;
        _unchanged++;
        return 0;
    }
    FtEntryHeader h;
    int rc = h.readAfterCode(_in, code);
    if (rc == -1) {
        // Without a known body form the rest of the stream cannot be read.
        refuse(h.name, "malformed file entry");
        return -1;
    }
    if (rc != 0) return rc;
    std::string name;
    std::string rel;
    std::string reason;
    bool refused = !_baseOk;
    if (!refused) {
        if (h.name.empty() || !FtdTree::confine(h.name, &name, &reason) || name.empty() ||
            !FtdTree::confine(FtdTree::join(_base, name), &rel, &reason)) {
            if (reason.empty()) reason = "empty name";
            refuse(h.name, reason);
            refused = true;
        }
    }
    if (!refused) leaveFolders(&rel);
    switch (h.type) {
    case FT_TYPE_DIRECTORY:
        if (h.body != FT_BODY_NONE) {
            refuse(h.name, "a folder with a body");
            return -1;
        }
        return refused ? 0 : makeDir(h, rel);
    case FT_TYPE_LINK:
        return makeLink(h, rel, refused);
    default:
        return fileBody(h, rel, refused);
    }
}

int FtdSession::makeDir(const FtEntryHeader& h, const std::string& rel) {
    struct stat st;
    if (_server->tree().lstat(rel, &st) == 0 && !S_ISDIR(st.st_mode)) {
        // The source has a folder where we have a file or link: it goes,
        // kept as a fallback when asked for.
        _dirCache.clear();
        if (_fallback.keep && _fallback.count > 0) {
            if (_server->fallbacks().keepRemoved(rel, _fallback) != 0)
                return refuse(h.name, std::string("unable to keep the entry in the way as a fallback: ") +
                                          strerror(errno), errno);
        } else {
            _server->tree().remove(rel);
        }
        _server->index().forget(rel);
    }
    int fd = _server->tree().openDir(rel, true);
    if (fd < 0) return refuse(h.name, std::string("unable to create folder: ") + strerror(errno), errno);
    ::close(fd);
    _dirs.push_back(PendingDir{rel, h.mode, h.mtimeMs});
    return 0;
}

void FtdSession::leaveFolders(const std::string* rel) {
    // Deepest first: a folder's time is set after its children are done.
    while (!_dirs.empty()) {
        const PendingDir& d = _dirs.back();
        if (rel != nullptr && rel->size() > d.rel.size() && rel->compare(0, d.rel.size(), d.rel) == 0 &&
            (*rel)[d.rel.size()] == '/')
            break;
        std::string leaf;
        int dir = _server->tree().openParent(d.rel, false, &leaf);
        if (dir >= 0) {
            if (ftdSetAttributes(dir, leaf.c_str(), d.mode & 01777, d.mtimeMs) != 0 && peerLine())
                log(LOG_WARNING, errno, 0, "drvftd: %s: unable to set attributes of %s", _peer.c_str(),
                    d.rel.c_str());
            ::close(dir);
        }
        _dirs.pop_back();
    }
}

int FtdSession::makeLink(const FtEntryHeader& h, const std::string& rel, bool refused) {
    bool keep = false;
    std::string target;
    if (h.body != FT_BODY_NONE) {
        refuse(h.name, "a link with a body");
        return -1;
    }
    if (_in->readBool(&keep) != 0 || !readText(&target)) return -1;
    if (refused || !keep) return 0;
    // The link may take a folder's place.
    _dirCache.clear();
    if (!FtdTree::linkStaysInside(rel, target)) return refuse(h.name, "link target leaves the root: " + target);
    std::string leaf;
    int dir = _server->tree().openParent(rel, true, &leaf);
    if (dir < 0) return refuse(h.name, std::string("unable to create link: ") + strerror(errno), errno);
    if (_fallback.keep && _fallback.count > 0) {
        // What the link replaces is kept like a replaced file: a file by a
        // second name, a link moved aside, a folder moved whole.
        int kept = _server->fallbacks().keepReplaced(dir, leaf, rel, _fallback);
        if (kept != 0 && errno == EISDIR) kept = _server->fallbacks().keepRemoved(rel, _fallback);
        if (kept != 0) {
            int err = errno;
            ::close(dir);
            return refuse(h.name, std::string("unable to keep the entry in the way as a fallback: ") + strerror(err),
                          err);
        }
    }
    int rc = _server->tree().placeLink(dir, leaf, target);
    int err = errno;
    if (rc == 0) {
        ftdSetAttributes(dir, leaf.c_str(), -1, h.mtimeMs);
        _server->index().forget(rel);
        _files++;
    }
    ::close(dir);
    if (rc != 0) return refuse(h.name, std::string("unable to create link: ") + strerror(err), err);
    return 0;
}

int FtdSession::data(FtdFileWriter* w, long long limit, int32_t* status) {
    if (w != nullptr) w->begin(limit);
    std::vector<unsigned char>& block = blockBuffer();
    for (;;) {
        uint32_t length = 0;
        if (_in->readBytesInto(&block, &length) != 0) return -1;
        if (length == 0) break;
        if (w != nullptr && w->problem().empty()) w->inflate(block.data(), length);
    }
    trimBlockBuffer();
    if (_in->readInt32(status) != 0) return -1;
    if (w != nullptr) w->end();
    return 0;
}

int FtdSession::finishFile(FtdFileWriter* w, const FtEntryHeader& h, const std::string& rel) {
    struct stat st;
    // A folder in the way is not kept here; it is dealt with below. A
    // previous version that cannot be kept stays where it is, as an entry
    // of another kind in the way does: the sender asked not to lose it.
    if (_fallback.keep && _server->fallbacks().keepReplaced(w->dirFd(), w->leaf(), rel, _fallback) != 0 &&
        errno != EISDIR) {
        int err = errno;
        w->discard();
        return refuse(h.name, std::string("unable to keep the previous version as a fallback: ") + strerror(err), err);
    }
    // The installed file's status is only needed to record its digest.
    std::string digest = w->digestText();
    struct stat* got = digest.empty() ? nullptr : &st;
    int rc = w->install(h.mode & 01777, h.mtimeMs, got);
    if (rc != 0 && errno == EISDIR) {
        // The source has a file where we have a folder: the folder goes (kept
        // as a fallback when asked for), or the file could never arrive.
        bool keep = _fallback.keep && _fallback.count > 0;
        if (keep && _server->fallbacks().keepRemoved(rel, _fallback) != 0) {
            int err = errno;
            w->discard();
            return refuse(h.name, std::string("unable to keep the folder in the way as a fallback: ") + strerror(err),
                          err);
        }
        int removed = FtdTree::removeAt(w->dirFd(), w->leaf().c_str());
        _server->tree().noteFoldersMoved();
        if (removed != 0) {
            int err = errno;
            w->discard();
            return refuse(h.name, std::string("unable to remove the folder in the way: ") + strerror(err), err);
        }
        _server->index().forget(rel);
        rc = w->install(h.mode & 01777, h.mtimeMs, got);
    }
    if (rc != 0) {
        int err = errno;
        w->discard();
        return refuse(h.name, std::string("unable to install: ") + strerror(err), err);
    }
    if (!digest.empty())
        _server->index().noteWritten(rel, st, digest);
    else
        _server->index().noteChanged(rel);
    _files++;
    _bytes += w->written();
    _sessionBytes += w->written();
    progress(h.name, w->written(), false);
    return 0;
}

bool FtdSession::roomFor(const FtEntryHeader& h) {
    // The free space is asked again only for a file that could use a good
    // part of what was free at the last look, or after a while.
    long long now = monotonicMs();
    if (_freeSpace < 0 || h.size > _freeSpace / 8 || now - _freeSpaceAtMs > 1000) {
        _freeSpace = freeBytes(_server->tree().rootFd());
        _freeSpaceAtMs = now;
    }
    long long space = _freeSpace;
    if (space >= 0) _freeSpace = space > h.size ? space - h.size : 0;
    if (space >= 0 && h.size > space) {
        refuse(h.name, "declared size " + std::to_string(h.size) + " exceeds the free space (" +
                           std::to_string(space) + " bytes)");
        return false;
    }
    return true;
}

int FtdSession::fileBody(const FtEntryHeader& h, const std::string& rel, bool refused) {
    if (h.body == FT_BODY_SYNC) return syncBody(h, rel, refused);
    if (h.body == FT_BODY_NONE) {
        // Attributes only: the content is already here.
        if (refused) return 0;
        std::string leaf;
        int dir = _server->tree().openParent(rel, false, &leaf);
        struct stat st;
        bool ok = dir >= 0 && ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                  ftdSetAttributes(dir, leaf.c_str(), h.mode & 01777, h.mtimeMs) == 0;
        int err = errno;
        if (dir >= 0) ::close(dir);
        return ok ? 0 : refuse(h.name, "no file to update", err);
    }
    FtdFileWriter w;
    // Nobody checks a whole file's digest now; the index reads it when asked.
    w.setDigest(FtdFileWriter::DIGEST_NONE);
    if (!refused) {
        if (!roomFor(h)) {
            refused = true;
        } else if (w.open(_server->tree(), rel, &_dirCache) != 0) {
            refuse(h.name, std::string("unable to create: ") + strerror(errno), errno);
            refused = true;
        }
        w.expectSize(h.size);
    }
    int32_t status = 0;
    if (data(refused ? nullptr : &w, h.size, &status) != 0) return -1;
    if (refused) return 0;
    if (!w.problem().empty()) return refuse(h.name, w.problem());
    if (status != FT_DATA_OK) {
        log(LOG_INFO, 0, 0, "drvftd: %s: %s not installed: the sender could not read it whole", _peer.c_str(),
            rel.c_str());
        return 0;
    }
    return finishFile(&w, h, rel);
}

int FtdSession::syncBody(const FtEntryHeader& h, const std::string& rel, bool refused) {
    FdHolder old;
    struct stat oldSt;
    memset(&oldSt, 0, sizeof(oldSt));
    FtdFileWriter w;
    bool rolling = false;
    int blockSize = 0;
    bool haveDigest = false;
    unsigned char wanted[20] = {};
    int wantedLength = 0;
    std::string problem;
    // The rebuilt file is as large as declared: it needs that much room,
    // and nothing the sender sends may make it larger.
    if (!refused && !roomFor(h)) refused = true;
    if (!refused) old.fd = openOld(_server->tree(), rel, &oldSt);
    auto fits = [&](long long more) { return more <= h.size - w.written(); };
    auto startWriter = [&]() -> bool {
        if (w.isOpen()) return true;
        // Only a rebuilt file is checked against the sender's sum.
        w.setDigest(rolling ? FtdFileWriter::DIGEST_FILESUM : FtdFileWriter::DIGEST_NONE);
        if (w.open(_server->tree(), rel, &_dirCache) != 0) {
            problem = std::string("unable to create: ") + strerror(errno);
            return false;
        }
        w.expectSize(h.size);
        // An append check builds on the whole previous file.
        if (!rolling && old.fd >= 0 && !fits(oldSt.st_size)) {
            problem = "the previous version is larger than the size declared";
            return false;
        }
        if (!rolling && old.fd >= 0 && w.copyFrom(old.fd, 0, oldSt.st_size) != 0) {
            problem = "unable to read the previous version";
            return false;
        }
        return true;
    };
    for (;;) {
        int32_t code = 0;
        if (flush() != 0 || ftReadCommand(_in, &code) != 0) return -1;
        switch (code) {
        case FT_SYNC_FIND_MD5: {
            int64_t offset = 0;
            int32_t length = 0;
            if (_in->readInt64(&offset) != 0 || _in->readInt32(&length) != 0) return -1;
            std::vector<unsigned char> buf(length > 0 && length <= (1 << 20) ? static_cast<size_t>(length) : 0);
            bool ok = !refused && old.fd >= 0 && offset >= 0 && length >= 0 && length <= (1 << 20) &&
                      ::pread(old.fd, buf.data(), buf.size(), offset) == static_cast<ssize_t>(buf.size());
            char text[33] = "";
            if (ok) {
                unsigned char d[16];
                MD5(buf.data(), buf.size(), d);
                md5_digestToString(d, text);
            }
            ftWritePlain(_out, FT_SYNC_FIND_MD5_REPLY);
            _out->writeInt32(ok ? 0 : 1);
            _out->writeString(text);
            break;
        }
        case FT_SYNC_ROLLING_START: {
            int64_t zero = 0;
            int64_t minusOne = 0;
            int32_t seed = 0;
            if (_in->readInt64(&zero) != 0 || _in->readInt64(&minusOne) != 0 || _in->readInt32(&blockSize) != 0 ||
                _in->readInt32(&seed) != 0)
                return -1;
            rolling = true;
            long long size = old.fd >= 0 ? oldSt.st_size : 0;
            long long count = blockSize > 0 ? (size + blockSize - 1) / blockSize : -1;
            bool ok = !refused && old.fd >= 0 && blockSize >= kMinBlock && blockSize <= kMaxBlock &&
                      count <= kMaxBlocks && (count <= kPlainBlocks || blockSize >= kLargestSenderBlock) &&
                      startWriter();
            int strongLen = ft_strongLength(size, blockSize);
            std::vector<FtBlockSignature> sigs(ok ? static_cast<size_t>(count) : 0);
            if (ok) ok = signFile(old.fd, size, blockSize, static_cast<uint32_t>(seed), strongLen, &sigs);
            ftWritePlain(_out, FT_SYNC_SIGNATURES);
            ft_writeSignatures(_out, size, ok ? static_cast<int>(count) : -1, strongLen, sigs.data());
            break;
        }
        case FT_SYNC_COPY_BLOCKS: {
            int32_t first = 0;
            int32_t count = 0;
            if (_in->readInt32(&first) != 0 || _in->readInt32(&count) != 0) return -1;
            if (!problem.empty() || refused) break;
            long long from = static_cast<long long>(first) * blockSize;
            long long length = static_cast<long long>(count) * blockSize;
            if (from + length > oldSt.st_size) length = oldSt.st_size - from;
            if (!rolling || old.fd < 0 || first < 0 || count < 0 || from > oldSt.st_size || length < 0)
                problem = "block reference out of range";
            else if (startWriter() && !fits(length))
                problem = "more data than the size declared";
            else if (problem.empty() && w.copyFrom(old.fd, from, length) != 0)
                problem = "unable to read the previous version";
            break;
        }
        case FT_SYNC_WRITE: {
            int64_t offset = 0;
            int64_t length = 0;
            if (_in->readInt64(&offset) != 0 || _in->readInt64(&length) != 0) return -1;
            bool use = problem.empty() && !refused && startWriter();
            if (use && (offset != w.written() || length < 0)) {
                problem = "sync write out of order";
                use = false;
            }
            if (use && !fits(length)) {
                // Read and dropped: the stream stays in step.
                problem = "more data than the size declared";
                use = false;
            }
            long long before = use ? w.written() : 0;
            if (use) w.begin(length);
            std::vector<unsigned char>& block = blockBuffer();
            for (;;) {
                uint32_t n = 0;
                if (_in->readBytesInto(&block, &n) != 0) return -1;
                if (n == 0) break;
                if (use && w.problem().empty()) w.inflate(block.data(), n);
            }
            trimBlockBuffer();
            if (use && (!w.end() || w.written() - before != length))
                problem = w.problem().empty() ? "sync write shorter than announced" : w.problem();
            break;
        }
        case FT_SYNC_NEW_DIGEST: {
            unsigned char* d = nullptr;
            uint32_t n = 0;
            if (_in->readBytes(&d, &n) != 0) return -1;
            haveDigest = n == 16 || n == 20 || (n == 1 + FtFileSum::kLength && d[0] == FT_SUM_FILESUM);
            wantedLength = haveDigest ? static_cast<int>(n) : 0;
            if (haveDigest) memcpy(wanted, d, n);
            free(d);
            break;
        }
        case FT_SYNC_END: {
            bool whole = false;
            if (_in->readBool(&whole) != 0) return -1;
            if (whole) {
                w.discard();
                FtEntryHeader wholeHeader = h;
                wholeHeader.body = FT_BODY_WHOLE;
                return fileBody(wholeHeader, rel, refused);
            }
            int32_t status = 0;
            if (_in->readInt32(&status) != 0) return -1;
            if (refused) return 0;
            if (!problem.empty()) return refuse(h.name, problem);
            if (status != FT_DATA_OK) return 0;
            if (!w.isOpen()) {
                // Nothing to add: the previous file stands, with the new attributes.
                FtEntryHeader same = h;
                same.body = FT_BODY_NONE;
                return fileBody(same, rel, false);
            }
            if (haveDigest) {
                unsigned char got[EVP_MAX_MD_SIZE];
                unsigned gotLength = 0;
                bool same;
                if (wantedLength == 1 + static_cast<int>(FtFileSum::kLength)) {
                    same = w.digest(got) == static_cast<int>(FtFileSum::kLength) &&
                           memcmp(got, wanted + 1, FtFileSum::kLength) == 0;
                } else {
                    // An older sender's SHA-1 or MD5: read the rebuilt file again.
                    same = w.settle() == 0 &&
                           ftdDigestFile(w.fd(), wantedLength == 20 ? EVP_sha1() : EVP_md5(), got, &gotLength) &&
                           static_cast<int>(gotLength) == wantedLength &&
                           memcmp(got, wanted, gotLength) == 0;
                }
                if (!same) {
                    w.discard();
                    return refuse(h.name, "the rebuilt file's digest differs from the sender's; kept the old file");
                }
            }
            return finishFile(&w, h, rel);
        }
        default:
            refuse(h.name, "unexpected code " + std::to_string(code) + " in a sync exchange");
            return -1;
        }
    }
}
