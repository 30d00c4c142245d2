// Building a received file with its digest, from deflated blocks or from
// the previous version's bytes.
#include "tools/ftd/ftd_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace {
const size_t kChunk = 1 << 16;
}

FtdFileWriter::FtdFileWriter() : _md(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(_md, EVP_md5(), nullptr);
    memset(&_z, 0, sizeof(_z));
}

FtdFileWriter::~FtdFileWriter() {
    if (_zActive) inflateEnd(&_z);
    EVP_MD_CTX_free(_md);
}

int FtdFileWriter::open(const FtdTree& tree, const std::string& rel, FtdDirCache* cache) {
    return _staged.open(tree, rel, cache);
}

int FtdFileWriter::append(const unsigned char* data, size_t n) {
    if (n == 0) return 0;
    if (_staged.append(data, n) != 0) return -1;
    if (_kind != DIGEST_NONE) EVP_DigestUpdate(_md, data, n);
    return 0;
}

int FtdFileWriter::copyFrom(int fd, long long offset, long long length) {
    std::vector<unsigned char> buf(kChunk);
    while (length > 0) {
        size_t want = length < static_cast<long long>(buf.size()) ? static_cast<size_t>(length) : buf.size();
        ssize_t got = ::pread(fd, buf.data(), want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = 0;
            return -1;
        }
        if (append(buf.data(), static_cast<size_t>(got)) != 0) return -1;
        offset += got;
        length -= got;
    }
    return 0;
}

void FtdFileWriter::begin(long long limit) {
    if (_zActive) inflateEnd(&_z);
    memset(&_z, 0, sizeof(_z));
    // 15 + 32: a zlib or gzip header, detected.
    _zActive = inflateInit2(&_z, 15 + 32) == Z_OK;
    _zEnded = false;
    _limit = limit;
    _inflated = 0;
    if (!_zActive) _problem = "unable to initialise the inflater";
}

int FtdFileWriter::inflate(const unsigned char* data, size_t n) {
    if (!_problem.empty()) return -1;
    if (_zEnded) {
        _problem = "data after the end of the compressed stream";
        return -1;
    }
    unsigned char out[kChunk];
    _z.next_in = const_cast<unsigned char*>(data);
    _z.avail_in = static_cast<uInt>(n);
    while (_z.avail_in > 0 || _z.avail_out == 0) {
        _z.next_out = out;
        _z.avail_out = sizeof(out);
        int rc = ::inflate(&_z, Z_NO_FLUSH);
        size_t produced = sizeof(out) - _z.avail_out;
        if (produced > 0) {
            if (_inflated + static_cast<long long>(produced) > _limit) {
                _problem = "more data than the size announced";
                return -1;
            }
            if (append(out, produced) != 0) {
                _problem = std::string("write failed: ") + strerror(errno);
                return -1;
            }
            _inflated += static_cast<long long>(produced);
        }
        if (rc == Z_STREAM_END) {
            _zEnded = true;
            if (_z.avail_in > 0) {
                _problem = "data after the end of the compressed stream";
                return -1;
            }
            return 0;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            _problem = std::string("corrupt compressed data: ") + (_z.msg != nullptr ? _z.msg : "inflate failed");
            return -1;
        }
        if (rc == Z_BUF_ERROR && produced == 0) break;
    }
    return 0;
}

bool FtdFileWriter::end() {
    if (_problem.empty() && !_zEnded) _problem = "compressed stream ended early";
    return _problem.empty();
}

void FtdFileWriter::setDigest(Digest kind) {
    _kind = kind;
    _digestDone = false;
    if (kind != DIGEST_NONE) EVP_DigestInit_ex(_md, kind == DIGEST_SHA1 ? EVP_sha1() : EVP_md5(), nullptr);
}

int FtdFileWriter::digest(unsigned char out[20]) {
    if (!_digestDone) {
        _digestLength = 0;
        if (_kind != DIGEST_NONE) EVP_DigestFinal_ex(_md, _digest, &_digestLength);
        _digestDone = true;
    }
    memcpy(out, _digest, _digestLength);
    return static_cast<int>(_digestLength);
}

std::string FtdFileWriter::digestText() {
    unsigned char d[20];
    if (_kind != DIGEST_MD5 || digest(d) != 16) return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; i++) {
        s += hex[d[i] >> 4];
        s += hex[d[i] & 15];
    }
    return s;
}

int FtdFileWriter::install(int mode, long long mtimeMs, struct stat* st) {
    if (st == nullptr) return _staged.install(mode, mtimeMs);
    int dir = ::dup(_staged.dirFd());
    std::string leaf = _staged.leaf();
    int rc = _staged.install(mode, mtimeMs);
    if (rc == 0 && st != nullptr && dir >= 0) rc = ::fstatat(dir, leaf.c_str(), st, AT_SYMLINK_NOFOLLOW);
    if (dir >= 0) ::close(dir);
    return rc;
}

void FtdFileWriter::discard() {
    _staged.discard();
}
