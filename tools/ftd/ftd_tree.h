// The receiving service's hold on its root folder: every path a peer names is
// checked here and reached only through descriptors opened below the root,
// one component at a time and never through a symbolic link, so that no
// name, ".." or link made earlier can lead a write outside the root.
//
// Files arrive in a temporary file in the service's staging folder and are
// renamed into place when complete, so a reader (or a crashed transfer)
// never sees half a file, and nothing a peer sends can be taken for a
// temporary.
//
// Thread-safety: an FtdTree is immutable after construction, but for an
// atomic count of folder moves, and may be used by every session at once;
// the descriptors it hands out belong to the caller.
#ifndef DRV_TOOLS_FTD_FTD_TREE_H
#define DRV_TOOLS_FTD_FTD_TREE_H

#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "tools/ftd/ftd_direct.h"

// The folder below the root where the service keeps its own state (its
// index); peers can neither name it nor see it.
extern const char* const kFtdStateDir;
// Inside it, the folder where files and links are made before they are
// renamed into place. Only an entry on another file system than the root's
// (a mount below it) is staged beside its name instead, as
// ".<name>.ftd-" and a random tail, since a rename cannot cross over.
extern const char* const kFtdStagingDir;

// The folder of the last file a session placed, kept open: files of one
// folder usually arrive one after another, and opening the folder again
// from the root for each of them cost more than writing a small file.
// The owner clears it whenever a folder may have been removed or replaced
// (a removal, a folder or link taking another entry's place), so that a
// file never lands in a folder that is no longer part of the tree; one
// that another session may have moved is not served either (see
// FtdTree::foldersMoved).
//
// Thread-safety: one session thread owns a cache.
class FtdDirCache {
public:
    FtdDirCache() = default;
    ~FtdDirCache() { clear(); }
    FtdDirCache(const FtdDirCache&) = delete;
    FtdDirCache& operator=(const FtdDirCache&) = delete;
    void clear();

private:
    friend class FtdTree;
    std::string _rel;
    int _fd = -1;
    unsigned long long _moves = 0;
};

class FtdTree {
public:
    // root must exist; it is resolved once (links in the root's own path are
    // the administrator's choice and are followed).
    explicit FtdTree(const char* root);
    ~FtdTree();
    FtdTree(const FtdTree&) = delete;
    FtdTree& operator=(const FtdTree&) = delete;

    bool ok() const { return _rootFd >= 0; }
    const std::string& root() const { return _root; }
    int rootFd() const { return _rootFd; }

    // Checks a peer's path and gives it as clean relative components joined
    // by "/" ("" is the root itself). Refused, with the reason: absolute
    // paths, ".." components, NUL bytes, over-long paths, and the service's
    // own state folder (in any case). "." and empty components are dropped.
    static bool confine(const std::string& peerPath, std::string* relative, std::string* reason);
    // Joins two relative paths that have each passed confine.
    static std::string join(const std::string& a, const std::string& b);

    // Opens the folder holding rel's last component (creating missing
    // folders with mode 0755 when create is set) and gives that component.
    // A component that is a link, or not a folder, fails with ELOOP or
    // ENOTDIR. Returns the descriptor or -1 with errno set.
    int openParent(const std::string& rel, bool create, std::string* leaf) const;
    // The same through a cache of the last folder opened (may be null).
    int openParent(const std::string& rel, bool create, std::string* leaf, FtdDirCache* cache) const;
    // As above, but a descriptor served from the cache is the cache's own,
    // not a copy: *borrowed says so, and the caller must not close it and
    // must be done with it before the cache is cleared.
    int openParentShared(const std::string& rel, bool create, std::string* leaf, FtdDirCache* cache,
                         bool* borrowed) const;
    // Opens the folder rel itself (without following links); -1 with errno.
    int openDir(const std::string& rel, bool create) const;
    // lstat of rel below the root; -1 with errno.
    int lstat(const std::string& rel, struct stat* st) const;

    // Removes rel, a file, link or whole folder (depth first, no link
    // followed). A missing entry is success. 0 or -1 with errno.
    int remove(const std::string& rel) const;
    // Removes what is at name inside dirFd, recursively.
    static int removeAt(int dirFd, const char* name);
    // Runs change, which adds, renames or removes entries of the folder open
    // at dirFd (0 or a new descriptor, or -1 with errno). When it is refused
    // and the folder is this process's own but not writable (a read-only
    // folder received from a sender, for a service not running as root), the
    // folder is made writable for a second try and then given its mode back:
    // otherwise nothing in it could ever be replaced or removed.
    static int changeInFolder(int dirFd, const std::function<int()>& change);

    // Empties the staging folder. Only safe while no session writes: a
    // service killed in the middle of a file left what is there. Nothing
    // outside the staging folder is touched. Returns how many entries went.
    int removeStaleTemporaries() const;
    // The staging folder's descriptor (the tree's own) when an entry of the
    // folder dirFd can be staged there, or -1 when it must be staged beside
    // its name (another file system, or no staging folder).
    int stagingFor(int dirFd) const;
    // The name of a temporary beside leaf (kind tells files from links).
    static std::string besideName(const std::string& leaf, const char* kind);
    // Makes leaf in dirFd a link to target, replacing what is there (a
    // folder with its contents): the link is made aside and renamed into
    // place. 0 or -1 with errno.
    int placeLink(int dirFd, const std::string& leaf, const std::string& target) const;

    // True when a link at rel pointing at target stays inside the root
    // whatever other links the tree holds: a relative target whose ".."
    // components all come first (after dropping "."), at most as many as
    // the link's folder is deep.
    static bool linkStaysInside(const std::string& rel, const std::string& target);

    // Counts removals and moves of entries that may be folders, by any
    // session: a folder a session found earlier (its cache, a file being
    // received) is looked up again by name once the count has moved, so that
    // a file goes where it is named and not into a folder another session
    // moved into the fallbacks, or removed. remove() and placeLink() count
    // their own; whoever else moves or removes such an entry calls
    // noteFoldersMoved() once it is done.
    unsigned long long foldersMoved() const { return _moves.load(std::memory_order_acquire); }
    void noteFoldersMoved() const { _moves.fetch_add(1, std::memory_order_acq_rel); }

private:
    std::string _root;
    int _rootFd;
    int _stageFd;
    dev_t _stageDev;
    mutable std::atomic<unsigned long long> _moves{0};
};

// A file being received: a temporary file in the staging folder (or beside
// the final name, see kFtdStagingDir), made the real file by install(),
// removed by the destructor otherwise.
class FtdStagedFile {
public:
    FtdStagedFile() = default;
    ~FtdStagedFile();
    FtdStagedFile(const FtdStagedFile&) = delete;
    FtdStagedFile& operator=(const FtdStagedFile&) = delete;

    // Creates the temporary file for rel (its folders are created), finding
    // the folder through cache when one is given; the staged file then uses
    // the cache's descriptor and must be installed or discarded before the
    // cache is cleared. A folder standing at rel is found only when the
    // file is installed (the rename fails with EISDIR, and install can be
    // tried again once the folder is gone): looking for it first cost a
    // lookup per file for a case that hardly ever happens.
    // 0, or -1 with errno.
    int open(const FtdTree& tree, const std::string& rel, FtdDirCache* cache = nullptr);
    // The descriptor: for reading the file back, only once settle() has
    // returned.
    int fd() const { return _fd; }
    int dirFd() const { return _dirFd; }
    // The size the file is expected to reach, before the first byte: a
    // large file is then written around the page cache (ftd_direct.h).
    void expectSize(long long size);
    // Waits until everything appended is in the file. 0 or -1 with errno.
    int settle();
    const std::string& leaf() const { return _leaf; }
    // Writes all of n bytes at the end; 0 or -1 with errno.
    int append(const void* data, size_t n);
    // Writes count pieces at the end, in order; 0 or -1 with errno. At most
    // kMaxPieces.
    static const size_t kMaxPieces = 64;
    int appendv(const struct iovec* pieces, size_t count);
    // Writes at an offset; 0 or -1 with errno.
    int writeAt(long long offset, const void* data, size_t n);
    long long written() const { return _written; }
    // Settles, sets mode (negative leaves it) and times (milliseconds since
    // the epoch, before 1970 too; kFtdKeepTime leaves them), then renames
    // over the final name, in the folder now at that name should another
    // session have moved the one found at open(). *st (when not null) gets
    // the installed file's status. 0 or -1 with errno.
    int install(int mode, long long mtimeMs, struct stat* st = nullptr);
    // Drops the temporary file.
    void discard();

private:
    // Closes the folder unless it is a cache's.
    void releaseDir();
    // The folder holding the temporary file.
    int tempDir() const { return _stageFd >= 0 ? _stageFd : _dirFd; }
    // Finds the file's folder again by name when folders moved since open().
    void refindDir();

    int _dirFd = -1;
    const FtdTree* _tree = nullptr;
    // The folder's name below the root, and the tree's count of folder moves
    // when it was found.
    std::string _dirRel;
    unsigned long long _moves = 0;
    // The tree's staging folder (not ours to close), or -1.
    int _stageFd = -1;
    bool _dirBorrowed = false;
    int _fd = -1;
    std::string _leaf;
    std::string _tempName;
    long long _written = 0;
    // While a large file is appended to.
    std::unique_ptr<FtdDirectSink> _direct;
};

// A time that leaves an entry's times as they are (any other value, negative
// ones too, is a time in milliseconds since 1970).
const long long kFtdKeepTime = LLONG_MIN;
// Sets mode (when >= 0) and times (unless kFtdKeepTime) of name in dirFd
// without following a link: a mode for a link fails. 0 or -1 with errno.
int ftdSetAttributes(int dirFd, const char* name, int mode, long long mtimeMs);

#endif
