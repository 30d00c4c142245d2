// The native file system: every Sfs operation maps onto the POSIX call,
// under an optional root prefix, and a failure is recorded as the system
// error number, the shared error code derived from it and a text.
//
// Ownership: UnixSfs owns its prefix; its error texts are kept for the life
// of the process, so a text returned by getErrorString stays valid; UnixFile owns its
// descriptor and refers to (does not own) the UnixSfs that opened it, which
// must outlive it; UnixDirectory owns its directory stream.
//
// Thread-safety: see dirbase/sfs.h. The error fields are per-instance
// atomics, so threads failing together may see each other's values (and
// the three may come from different failures) but never a torn or freed
// one; the reference count is guarded by sfsLock.
#ifndef DRV_DIRBASE_SFS_UNIX_H
#define DRV_DIRBASE_SFS_UNIX_H

#include <dirent.h>

#include <atomic>

#include "dirbase/sfs.h"

class UnixSfs : public Sfs {
public:
    // prefix: the root prefix, or null.
    explicit UnixSfs(const char* prefix);
    ~UnixSfs() override;

    int expandSpecialDirectory(const char* in, char* out, size_t len) override;
    int lstat(const char* path, struct stat64* st, bool adjust) override;
    int stat(const char* path, struct stat64* st, bool adjust) override;
    int opendir(const char* path, SfsDirectory** dir, bool adjust) override;
    int readLink(const char* path, char* buf, size_t len, bool adjust) override;
    int realPath(char* out, size_t len, const char* base, const char* link, bool adjust) override;
    int isSameFileSystem(const char* a, const char* b, bool adjust) override;
    int open(const char* path, SfsFile** file, int flags, int mode, bool adjust) override;
    int chroot(const char* prefix) override;
    const char* getChroot() override { return _prefix; }
    int getLastError() override { return _lastErrno; }
    int getDravikaError() override { return _lastCode; }
    const char* getErrorString() override { return _lastText; }
    Acl* getAcl(const char* path, struct stat64* st, bool adjust) override;
    int removePath(const char* path, bool adjust) override;
    bool supportsLinks() override { return true; }
    bool supportsChangeOwner() override { return true; }
    bool supportsSeek() override { return true; }
    bool supportsMd5() override { return true; }
    int mkdir(const char* path, int mode, bool adjust, bool existingIsSuccess) override;
    int mkdirPath(const char* path, int mode, bool adjust) override;
    int unlink(const char* path, bool adjust) override;
    int symlink(const char* target, const char* link, bool adjust) override;
    int rename(const char* from, const char* to, bool adjust) override;
    int chown(const char* path, int uid, int gid, bool adjust) override;
    int chmod(const char* path, int mode, bool adjust) override;
    int access(const char* path, int mode, bool adjust) override;
    int setTLM(const char* path, long long ms, bool adjust) override;
    int adjustForChroot(char* out, size_t len, const char* path) override;

    // Records a failure: with code -1 the shared code comes from errnum and
    // the text is strerror's; with errnum 0 and a positive code the text is
    // the code's description. Always returns -1.
    int setError(int errnum, int code);

private:
    // The path to hand to the system: adjusted into buf when asked, or
    // path itself. Null (error recorded) when buf is too short.
    const char* target(char* buf, const char* path, bool adjust);
    int removeTree(const char* sysPath);

    char* _prefix;
    std::atomic<int> _lastErrno;
    std::atomic<int> _lastCode;
    std::atomic<const char*> _lastText;
};

class UnixFile : public SfsFile {
public:
    UnixFile(UnixSfs* owner, int fd, bool forRead, bool forWrite);
    ~UnixFile() override;

    int read(char* buf, int n) override;
    int write(char* buf, int n) override;
    int close() override;
    int seek(long long offset) override;
    int getFd() override { return _fd; }

private:
    int _fd;
    bool _forWrite;
    bool _forRead;
    UnixSfs* _owner;
};

class UnixDirectory : public SfsDirectory {
public:
    explicit UnixDirectory(DIR* dir) : _dir(dir) {}
    ~UnixDirectory() override;
    const char* readNext() override;

private:
    DIR* _dir;
};

#endif
