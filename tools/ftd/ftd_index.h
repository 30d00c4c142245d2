// The receiving service's own index: what it knows about the files below its
// root (size, modification time, identity and MD5 digest), kept in
// "<root>/.drvftd/index" between runs, so that answering an index request
// with checksums reads only files that changed since their digest was taken.
//
// A digest is trusted while the file's size, modification time, inode and
// change time are those recorded with it; anything else reads the file again.
//
// Thread-safety: every public call may come from any session thread; the
// table is guarded by one lock, never held while reading a file.
#ifndef DRV_TOOLS_FTD_FTD_INDEX_H
#define DRV_TOOLS_FTD_FTD_INDEX_H

#include <openssl/evp.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/sem.h"

class FtdTree;

// Index entry types on the wire.
enum FtdEntryType { FTD_DIR = 1, FTD_FILE = 2, FTD_ERROR = 3, FTD_OTHER = 4, FTD_LINK = 5 };

// One entry of an index reply, named relative to the destination asked for.
struct FtdIndexEntry {
    int type = FTD_FILE;
    std::string name;
    long long size = 0;
    long long mtimeMs = 0;
    std::string digest;  // files, with checksums
    std::string link;    // links: the target
    std::string reason;  // errors: why the entry could not be read
};

class FtdIndexStore {
public:
    explicit FtdIndexStore(const FtdTree& tree);

    // Reads the saved index (a missing or damaged one is an empty index).
    void load();
    // Writes it back when it changed (temporary file, then rename). 0 or -1.
    int save();

    // The entries below dest (relative to the root), depth first with each
    // folder before its contents; digests for files when checksums is set.
    // The service's state folder and files still arriving are left out. A
    // dest that does not exist gives no entries. Folders more than 256
    // levels below dest are listed without their contents (logged).
    void build(const std::string& dest, bool checksums, std::vector<FtdIndexEntry>* out);
    // The same, each entry handed over as soon as it is known, so that a
    // reply can go out while the walk goes on instead of the whole tree
    // being held at once.
    using EntrySink = std::function<void(const FtdIndexEntry&)>;
    void build(const std::string& dest, bool checksums, const EntrySink& each);

    // The MD5 digest (32 hex digits) of rel: from the index when still
    // valid, else read and recorded. False when the file cannot be read.
    bool digest(const std::string& rel, std::string* out);
    // Records the digest of a file this service has just written.
    void noteWritten(const std::string& rel, const struct stat& st, const std::string& digest);
    // Forgets what is known of the file rel (it was replaced and its digest
    // not taken): the next digest asked for reads it.
    void noteChanged(const std::string& rel);
    // Forgets rel and everything below it.
    void forget(const std::string& rel);

    // Files read to compute a digest since start (the work the index saves).
    long long digestsComputed();

private:
    struct Known {
        long long size;
        long long mtimeNs;
        long long ino;
        long long ctimeNs;
        std::string digest;
    };
    static bool matches(const Known& k, const struct stat& st);
    // *notEntered counts the folders too deep to be entered.
    void walk(int dirFd, const std::string& relDir, const std::string& relName, bool checksums,
              const EntrySink& each, int depth, long long* notEntered);
    bool fileDigest(int dirFd, const char* leaf, const std::string& rel, const struct stat& st, std::string* out);

    const FtdTree& _tree;
    CriticalBlock _lock;
    // Ordered, so that a folder's entries ("rel/...") lie together and
    // forgetting a name never walks the whole table: a sender's every link
    // and removal forgets one.
    std::map<std::string, Known> _known GUARDED_BY(_lock);
    bool _dirty GUARDED_BY(_lock) = false;
    long long _computed GUARDED_BY(_lock) = 0;
};

// The digest (md) of a descriptor's whole content, read around the page
// cache where it is not cached (ftd_direct.h): a file the service wrote
// itself is not. False when it cannot be read whole (errno set, or 0).
bool ftdDigestFile(int fd, const EVP_MD* md, unsigned char* out, unsigned* length);
// MD5 of a descriptor's whole content from offset 0, as 32 hex digits.
bool ftdDigestFd(int fd, std::string* out);
// Why a digest failed, from the errno it left: 0 means the file ended
// before its size said, which strerror would call "Success".
const char* ftdDigestFailure(int err);

#endif
