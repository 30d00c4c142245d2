// The abstract file system the file transfer engine works through: Sfs (the
// operations on paths), SfsFile (an open file), SfsDirectory (a directory
// being read), and MemoryFile, an SfsFile over a memory buffer for tests and
// for data that never touches a disk. The native implementation is in
// dirbase/sfs_unix.h.
//
// Ownership: getNativeFileSystem() hands out counted references to one
// process-wide native instance; each caller gives its reference back with
// Sfs::dispose(Sfs*). Files and directory readers returned by open/opendir
// belong to the caller and are released with Sfs::dispose(SfsFile*) or
// delete.
//
// Thread-safety: a file or directory object belongs to one thread at a time.
// An Sfs may be used from several threads; its last-error fields are per
// instance, so concurrent users may see each other's last error. Only the
// reference count is guarded (by sfsLock).
//
// Conventions: operations return 0 (or a count) on success and -1 on
// failure, recording the failure for getLastError (errno), getDravikaError
// (the shared code) and getErrorString. `adjust` asks that an absolute path
// get the instance's root prefix put in front.
#ifndef DRV_DIRBASE_SFS_H
#define DRV_DIRBASE_SFS_H

#include <stddef.h>
#include <sys/stat.h>

#include <string>

#include "dirbase/translatable.h"

class Acl;

// Paths are handled in buffers of this size.
const size_t SFS_PATH_MAX = 4096;

class SfsFile : public Translatable {
public:
    ~SfsFile() override {}
    // Bytes read (0 at the end), or -1.
    virtual int read(char* buf, int n) = 0;
    // Writes all n bytes: n, or -1.
    virtual int write(char* buf, int n) = 0;
    // Closes once; later calls return 0.
    virtual int close() = 0;
    // MD5 of the next `length` bytes from the current position, as 32
    // lowercase hexadecimal digits into out (33 bytes). 0 or -1. Reads
    // through read(), so every kind of file shares this one.
    virtual int md5sum(int length, char* out);
    // Positions from the start of the file; always 0.
    virtual int seek(long long offset) = 0;
    // The descriptor, or -1 when there is none.
    virtual int getFd() = 0;
};

class SfsDirectory : public Translatable {
public:
    ~SfsDirectory() override {}
    // The next entry's name ("." and ".." included), valid until the next
    // call; null at the end or on an error.
    virtual const char* readNext() = 0;
};

class Sfs : public Translatable {
public:
    Sfs() : _refs(0) {}
    ~Sfs() override {}

    virtual int expandSpecialDirectory(const char* in, char* out, size_t len) = 0;
    virtual int lstat(const char* path, struct stat64* st, bool adjust) = 0;
    virtual int stat(const char* path, struct stat64* st, bool adjust) = 0;
    virtual int opendir(const char* path, SfsDirectory** dir, bool adjust) = 0;
    // The link's text into buf (NUL-terminated): its length, or -1.
    virtual int readLink(const char* path, char* buf, size_t len, bool adjust) = 0;
    virtual int realPath(char* out, size_t len, const char* base, const char* link, bool adjust) = 0;
    // 1 same device, 0 different, -1 when either cannot be stat-ed.
    virtual int isSameFileSystem(const char* a, const char* b, bool adjust) = 0;
    virtual int open(const char* path, SfsFile** file, int flags, int mode, bool adjust) = 0;
    virtual int chroot(const char* prefix) = 0;
    // The root prefix, or null.
    virtual const char* getChroot() = 0;
    virtual int getLastError() = 0;
    virtual int getDravikaError() = 0;
    virtual const char* getErrorString() = 0;
    // A new access list from the owner, group and mode (st may be null).
    virtual Acl* getAcl(const char* path, struct stat64* st, bool adjust) = 0;
    virtual int removePath(const char* path, bool adjust) = 0;
    virtual bool supportsLinks() = 0;
    virtual bool supportsChangeOwner() = 0;
    virtual bool supportsSeek() = 0;
    virtual bool supportsMd5() = 0;
    virtual int mkdir(const char* path, int mode, bool adjust, bool existingIsSuccess) = 0;
    virtual int mkdirPath(const char* path, int mode, bool adjust) = 0;
    virtual int unlink(const char* path, bool adjust) = 0;
    virtual int symlink(const char* target, const char* link, bool adjust) = 0;
    virtual int rename(const char* from, const char* to, bool adjust) = 0;
    virtual int chown(const char* path, int uid, int gid, bool adjust) = 0;
    virtual int chmod(const char* path, int mode, bool adjust) = 0;
    virtual int access(const char* path, int mode, bool adjust) = 0;
    // Access and modification time, in milliseconds since the epoch.
    virtual int setTLM(const char* path, long long ms, bool adjust) = 0;
    // out receives path with the root prefix in front when it is absolute
    // and a prefix is set; otherwise path itself. 0, or -1 when out is short.
    virtual int adjustForChroot(char* out, size_t len, const char* path) = 0;

    // Takes a reference (under sfsLock).
    void addLock();
    // Gives a reference back; the instance is deleted at the last one.
    static void dispose(Sfs* sfs);
    // Deletes a file object, closing it.
    static void dispose(SfsFile* file);

private:
    friend Sfs* getNativeFileSystem();
    int _refs;  // guarded by sfsLock (dirbase/sfs.cpp)
};

// The process's native file system (created on first use, no root prefix),
// with a new reference for the caller.
Sfs* getNativeFileSystem();
// A native instance rooted at the test harness tree below the directory
// named by WORKSPACE_AND_BRANCH; ends the process when that is not set.
Sfs* getTestJigFileSystem();
// A new native instance of its own, under a root prefix (null for none),
// with one reference for the caller.
Sfs* newUnixFileSystem(const char* prefix);

// An SfsFile over a memory buffer: reads come from the bytes given (or
// written), writes go in at the position and extend the buffer, up to
// INT_MAX bytes (a write that would go further fails).
class MemoryFile : public SfsFile {
public:
    MemoryFile() : _pos(0), _closed(false), _failReadAt(-1) {}
    MemoryFile(const void* data, size_t n) : _data(static_cast<const char*>(data), n), _pos(0), _closed(false), _failReadAt(-1) {}

    int read(char* buf, int n) override;
    int write(char* buf, int n) override;
    int close() override;
    int seek(long long offset) override;
    int getFd() override { return -1; }

    const std::string& data() const { return _data; }
    std::string& data() { return _data; }
    long long position() const { return _pos; }
    // For tests: reads at or past this offset fail (-1 switches it off).
    void failReadsFrom(long long offset) { _failReadAt = offset; }

private:
    std::string _data;
    long long _pos;
    bool _closed;
    long long _failReadAt;
};

#endif
