// Walking the source and deciding per entry: filters, stable time, the
// destination's index, links, directories and regular files.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <limits>

#include "common/log.h"
#include "dirbase/sfs.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "ft/ft_run.h"

namespace {

// Deeper trees than this are refused rather than risking the stack.
const int kMaxDepth = 512;

long long mtimeMs(const struct stat64& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

std::string formatTime(const struct stat64& st) {
    char text[64];
    struct tm tmv;
    time_t t = st.st_mtim.tv_sec;
    localtime_r(&t, &tmv);
    strftime(text, sizeof text, "%x %X", &tmv);
    return text;
}

// The path of `to` relative to the directory `fromDir` (both absolute,
// normalised).
std::string relativePath(const std::string& fromDir, const std::string& to) {
    auto split = [](const std::string& p) {
        std::vector<std::string> parts;
        size_t i = 0;
        while (i < p.size()) {
            size_t j = p.find('/', i);
            if (j == std::string::npos) j = p.size();
            if (j > i) parts.push_back(p.substr(i, j - i));
            i = j + 1;
        }
        return parts;
    };
    std::vector<std::string> a = split(fromDir), b = split(to);
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common]) common++;
    std::string out;
    for (size_t i = common; i < a.size(); i++) out += out.empty() ? ".." : "/..";
    for (size_t i = common; i < b.size(); i++) out += (out.empty() ? "" : "/") + b[i];
    return out.empty() ? "." : out;
}

bool inside(const std::string& root, const std::string& path) {
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            (root == "/" || path[root.size()] == '/'));
}

}  // namespace

int FtRun::sendEntries() {
    if (!_srcIsDir) {
        struct stat64 st;
        if (_sfs->lstat(_srcRoot.c_str(), &st, true) != 0) {
            _s->setError("Unable to stat: %s [2]", _srcRoot.c_str());
            return -1;
        }
        return visit(_srcRoot, _srcBase, st);
    }
    return walkDirectory(_srcRoot, "", 0);
}

int FtRun::walkDirectory(const std::string& local, const std::string& rel, int depth) {
    // A directory whose entries are not looked at keeps whatever the
    // destination holds below it: they may all still exist here.
    if (depth > kMaxDepth) {
        fileProblem(false, "Directory too deep: %s", local, "Error: %s\n    Directory nested too deeply.\n", local.c_str());
        keepSubtree(rel);
        return -1;
    }
    SfsDirectory* dir = nullptr;
    if (_sfs->opendir(local.c_str(), &dir, true) != 0) {
        fileProblem(false, "Unable to open directory: %s", local, "Error: Unable to open directory: %s\n", local.c_str());
        keepSubtree(rel);
        return -1;
    }
    std::vector<std::string> names;
    while (const char* n = dir->readNext())
        if (strcmp(n, ".") != 0 && strcmp(n, "..") != 0) names.push_back(n);
    delete dir;
    if (!rel.empty() && moves(_t)) _sent[_t].dirs.push_back(local);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (failed() || _ft->isCanceled()) return -1;
        std::string childLocal = local == "/" ? "/" + name : local + "/" + name;
        std::string childRel = rel.empty() ? name : rel + "/" + name;
        struct stat64 st;
        if (_sfs->lstat(childLocal.c_str(), &st, true) != 0) {
            if (_sfs->getLastError() == ENOENT) {
                _s->print("Warning: %s\n    Removed during copy.\n", childLocal.c_str());
            } else {
                // It exists but cannot be looked at: neither it nor anything
                // below it is removed from the destination.
                fileProblem(false, "Unable to stat: %s [2]", childLocal, "Error: Unable to stat: %s\n", childLocal.c_str());
                keepSubtree(childRel);
            }
            continue;
        }
        visit(childLocal, childRel, st);
        if (S_ISDIR(st.st_mode)) {
            if (fmatch(childRel.c_str(), true, _t->filters) == PAT_EXCLUDE) continue;
            if (_t->recursive) walkDirectory(childLocal, childRel, depth + 1);
            else keepSubtree(childRel);
        }
    }
    return 0;
}

void FtRun::fillHeader(FtEntryHeader* h, const std::string& rel, const struct stat64& st) {
    h->name = rel;
    int mode = _t->modeFor(rel.c_str());
    h->mode = mode >= 0 ? mode : static_cast<int32_t>(st.st_mode & 07777);
    h->size = S_ISREG(st.st_mode) ? st.st_size : 0;
    h->mtimeMs = mtimeMs(st);
    const char* owner = _t->ownerFor(rel.c_str());
    if (owner == nullptr) {
        auto it = _userNames.find(st.st_uid);
        if (it == _userNames.end()) {
            struct passwd pw, *found = nullptr;
            char buf[4096];
            std::string name = getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr
                                   ? pw.pw_name
                                   : std::to_string(st.st_uid);
            it = _userNames.emplace(st.st_uid, name).first;
        }
        owner = it->second.c_str();
    }
    const char* group = _t->groupFor(rel.c_str());
    if (group == nullptr) {
        auto it = _groupNames.find(st.st_gid);
        if (it == _groupNames.end()) {
            struct group gr, *found = nullptr;
            char buf[4096];
            std::string name = getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &found) == 0 && found != nullptr
                                   ? gr.gr_name
                                   : std::to_string(st.st_gid);
            it = _groupNames.emplace(st.st_gid, name).first;
        }
        group = it->second.c_str();
    }
    h->owner = owner;
    h->group = group;
}

int FtRun::visit(const std::string& local, const std::string& rel, const struct stat64& st) {
    bool isDir = S_ISDIR(st.st_mode);
    // 1. Filters. An excluded entry is not sent and not marked seen: with
    // removals, its destination copy goes unless a protect filter keeps it.
    if (fmatch(rel.c_str(), isDir, _t->filters) == PAT_EXCLUDE) {
        _s->print("Excluded by filter...                 %s\n", rel.c_str());
        return 0;
    }
    if (isDir) {
        _s->print("%s Directory           %s\n", formatTime(st).c_str(), rel.c_str());
        // A folder goes every time, known to the index or not: the index
        // holds no mode, and a chmod leaves the folder's time alone, so
        // leaving known folders out would lose their attribute changes. It
        // is a header without a body, and counts neither as copied nor as
        // skipped.
        FtEntryHeader h;
        fillHeader(&h, rel, st);
        h.type = FT_TYPE_DIRECTORY;
        h.body = FT_BODY_NONE;
        h.write(_out);
        markSeen(rel, &st, FT_TYPE_DIRECTORY, nullptr);
        return 0;
    }
    if (S_ISLNK(st.st_mode)) return visitLink(local, rel, st);
    if (S_ISREG(st.st_mode)) return visitFile(local, rel, st, false);
    log(_debug_ft, LOG_DEBUG, 0, 0, "FT: %s is neither a file, a directory nor a link; not sent", local.c_str());
    markSeen(rel, nullptr, 0, nullptr);
    return 0;
}

int FtRun::visitLink(const std::string& local, const std::string& rel, const struct stat64& st) {
    char text[SFS_PATH_MAX];
    if (_sfs->readLink(local.c_str(), text, sizeof text, true) < 0) {
        log(_debug_ft, LOG_WARNING, 0, 0, "Unable to expand real path of %s, %s", local.c_str(), _sfs->getErrorString());
        markSeen(rel, nullptr, 0, nullptr);
        return 0;
    }
    std::string when = formatTime(st);
    char resolved[SFS_PATH_MAX];
    if (_sfs->realPath(resolved, sizeof resolved, local.c_str(), text, true) != 0) {
        int err = _sfs->getLastError();
        if (err == ELOOP) {
            _s->print("%s Link                %s\n    -> %s (Warning: link creates a loop)\n", when.c_str(), rel.c_str(), text);
        } else if (err == ENOENT) {
            _s->print("%s Link                %s\n    -> %s (Prohibited -- Attempted jail break)\n", when.c_str(),
                      rel.c_str(), text);
        } else {
            log(_debug_ft, LOG_WARNING, 0, 0, "Unable to expand real path of %s, %s", local.c_str(), _sfs->getErrorString());
        }
        markSeen(rel, nullptr, 0, nullptr);
        return 0;
    }
    std::string target = resolved;
    struct stat64 tst;
    bool exists = _sfs->stat(target.c_str(), &tst, true) == 0;
    if (exists && tst.st_dev != _srcDev) {
        _s->print("%s Link                %s\n    -> %s (Ignored -- Out of file system)\n", when.c_str(), rel.c_str(), text);
        markSeen(rel, nullptr, 0, nullptr);
        return 0;
    }
    std::string treeRoot = _srcIsDir ? _srcRoot : _srcRoot.substr(0, _srcRoot.find_last_of('/') + 1);
    if (treeRoot.size() > 1 && treeRoot.back() == '/') treeRoot.pop_back();
    bool inTree = inside(treeRoot, target);
    if (!inTree) {
        if (_t->linkFollowOutside && exists && S_ISREG(tst.st_mode)) return visitFile(target, rel, tst, true);
        if (!_t->linkAllowOutside) {
            _s->print("%s Link                %s\n    -> %s (Ignored -- Out of tree)\n", when.c_str(), rel.c_str(), text);
            markSeen(rel, nullptr, 0, nullptr);
            return 0;
        }
    } else if (!_t->linkKeepInTree) {
        markSeen(rel, nullptr, 0, nullptr);
        return 0;
    }
    _s->print("%s Link                %s\n    -> %s\n", when.c_str(), rel.c_str(), text);
    // Inside the tree the link is written relative to its own directory, so
    // that it points at the copy and not at the source.
    std::string linkDir = local.substr(0, local.find_last_of('/'));
    char realDir[SFS_PATH_MAX];
    if (_sfs->realPath(realDir, sizeof realDir, linkDir.c_str(), nullptr, true) == 0) linkDir = realDir;
    std::string sendTarget = inTree ? relativePath(linkDir, target) : target;
    _IndexEntry* known = _haveIndex ? findIndex(rel) : nullptr;
    if (known != nullptr && _t->modifiedOnly && known->type == FT_TYPE_LINK && known->target == sendTarget) {
        known->seen = true;
        return 0;
    }
    FtEntryHeader h;
    fillHeader(&h, rel, st);
    h.type = FT_TYPE_LINK;
    h.size = static_cast<int64_t>(sendTarget.size());
    h.body = FT_BODY_NONE;
    h.write(_out);
    _out->writeBool(true);
    _out->writeString(sendTarget.c_str());
    markSeen(rel, &st, FT_TYPE_LINK, nullptr);
    _IndexEntry* e = findIndex(rel);
    if (e != nullptr) e->target = sendTarget;
    return 0;
}

int FtRun::visitFile(const std::string& local, const std::string& rel, const struct stat64& st, bool fromLink) {
    // 2. Stable time.
    int stable = _t->stableSecondsFor(rel.c_str());
    if (stable > 0 && _now - static_cast<long long>(st.st_mtim.tv_sec) < stable) {
        log(_debug_ft, LOG_INFO, 0, 0, "%s: won't copy, modified time less than stable time", rel.c_str());
        _s->print("Modified time less than stable time   %s\n", rel.c_str());
        markSeen(rel, nullptr, 0, nullptr);
        return 0;
    }
    // 3. The index.
    _IndexEntry* known = _haveIndex ? findIndex(rel) : nullptr;
    // A size below zero describes no file: what the destination has there
    // is unknown, and the file goes whole.
    if (known != nullptr && (known->type != FT_TYPE_FILE || known->size < 0)) known = nullptr;
    if (known != nullptr && _t->modifiedOnly) {
        long long local_ms = static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        bool send = false;
        if (known->size != st.st_size) {
            log(_debug_ft, LOG_DEBUG, 0, 0, "%s: copying (index/file size)", rel.c_str());
            send = true;
        } else if (known->mtimeMs != local_ms) {
            // The peer's time may be anything: the difference saturates
            // rather than overflow.
            long long diff;
            if (__builtin_sub_overflow(local_ms, known->mtimeMs, &diff))
                diff = known->mtimeMs < 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
            log(_debug_ft, LOG_DEBUG, 0, 0, "%s: copying (index/tlm, local = %lld, remote = %lld, diff = %lld)", rel.c_str(),
                local_ms, known->mtimeMs, diff);
            send = true;
        } else if (_indexMd5 && !known->digest.empty()) {
            std::string digest = localDigest(local, st.st_size);
            if (known->digest != digest) {
                log(_debug_ft, LOG_DEBUG, 0, 0, "%s: copying (index/md5sum)", rel.c_str());
                _s->print("    %s: local: %s, remote: %s\n", rel.c_str(), digest.c_str(), known->digest.c_str());
                send = true;
            }
        }
        if (!send) {
            _s->print("Not modified...                       %s\n", rel.c_str());
            log(_debug_ft, LOG_DEBUG, 0, 0, "Skipped %s (index)", rel.c_str());
            ftWritePlain(_out, FT_RECV_PART3);
            _out->writeInt32(1);
            known->seen = true;
            _ft->_stats.filesSkipped++;
            return 0;
        }
    }
    int rc = sendFile(local, rel, st, known != nullptr && _t->algorithm != 0 ? known : nullptr, known != nullptr);
    if (rc == 0) {
        _s->print("%s %19s %s\n", formatTime(st).c_str(), ft_withCommas(st.st_size).c_str(), rel.c_str());
        if (!fromLink) noteSent(local, st);
        // An index file with checksums holds the digest of what was sent,
        // for the next run to compare with; without that file nothing reads
        // it, and the file is not read a second time.
        const bool keepDigest = _indexMd5 && keepsLocalIndex();
        markSeen(rel, &st, FT_TYPE_FILE, keepDigest ? localDigest(local, st.st_size).c_str() : nullptr);
    } else {
        // Not sent (unreadable, or it changed too much), but it exists: the
        // destination keeps its copy, and the index what that copy is.
        markSeen(rel, nullptr, 0, nullptr);
    }
    return rc;
}
