// The reference counting of Sfs instances, the process's native instance,
// and MemoryFile.
#include "dirbase/sfs.h"

#include <limits.h>
#include <openssl/md5.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/sem.h"
#include "dirbase/sfs_unix.h"

namespace {

// Guards every Sfs reference count and the native instance pointer.
CriticalBlock sfsLock(LOCK_RANK_NONE, kProcessLifetime);
Sfs* _nativeSfs = nullptr;  // guarded by sfsLock

}  // namespace

void Sfs::addLock() {
    CriticalSection hold(sfsLock);
    _refs++;
}

void Sfs::dispose(Sfs* sfs) {
    if (sfs == nullptr) return;
    bool last;
    {
        CriticalSection hold(sfsLock);
        last = --sfs->_refs <= 0;
        if (last && sfs == _nativeSfs) _nativeSfs = nullptr;
    }
    if (last) delete sfs;
}

void Sfs::dispose(SfsFile* file) {
    if (file == nullptr) return;
    file->close();
    delete file;
}

Sfs* getNativeFileSystem() {
    CriticalSection hold(sfsLock);
    if (_nativeSfs == nullptr) _nativeSfs = new UnixSfs(nullptr);
    _nativeSfs->_refs++;
    return _nativeSfs;
}

Sfs* newUnixFileSystem(const char* prefix) {
    Sfs* sfs = new UnixSfs(prefix);
    sfs->addLock();
    return sfs;
}

Sfs* getTestJigFileSystem() {
    const char* base = getenv("WORKSPACE_AND_BRANCH");
    if (base == nullptr) {
        log(0, "FATAL ERROR: WORKSPACE_AND_BRANCH variable not set");
        exit(1);
    }
    char root[SFS_PATH_MAX];
    snprintf(root, sizeof root, "%s/projects/testharness/root-testharness-fs", base);
    log(0, "WARNING: chroot to %s", root);
    return newUnixFileSystem(root);
}

int SfsFile::md5sum(int length, char* out) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    char buf[4096];
    while (length > 0) {
        int got = read(buf, length < 4096 ? length : 4096);
        if (got < 0) return -1;
        if (got == 0) break;
        MD5_Update(&ctx, buf, static_cast<size_t>(got));
        length -= got;
    }
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    out[32] = '\0';
    return 0;
}

int MemoryFile::read(char* buf, int n) {
    if (_closed || n < 0) return -1;
    if (_failReadAt >= 0 && _pos >= _failReadAt) return -1;
    long long left = static_cast<long long>(_data.size()) - _pos;
    if (left <= 0) return 0;
    long long take = n < left ? n : left;
    if (_failReadAt >= 0 && _pos + take > _failReadAt) take = _failReadAt - _pos;
    memcpy(buf, _data.data() + _pos, static_cast<size_t>(take));
    _pos += take;
    return static_cast<int>(take);
}

int MemoryFile::write(char* buf, int n) {
    if (_closed || n < 0) return -1;
    // Counts are ints, so no more than INT_MAX bytes are ever addressed; a
    // position beyond that (taken from a peer, say) fails instead of asking
    // for a buffer that large.
    if (_pos > static_cast<long long>(INT_MAX) - n) return -1;
    size_t end = static_cast<size_t>(_pos) + static_cast<size_t>(n);
    if (end > _data.size()) _data.resize(end);
    memcpy(&_data[static_cast<size_t>(_pos)], buf, static_cast<size_t>(n));
    _pos += n;
    return n;
}

int MemoryFile::close() {
    _closed = true;
    return 0;
}

int MemoryFile::seek(long long offset) {
    _pos = offset < 0 ? 0 : offset;
    return 0;
}
