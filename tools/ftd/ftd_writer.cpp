// Building a received file with its digest, from deflated blocks or from
// the previous version's bytes.
#include "tools/ftd/ftd_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "tools/ftd/ftd_activity.h"

namespace {
// Ranges of the previous version are copied 4 MiB at a time: where they are
// read around the page cache each read is a request to the device, and
// large requests keep it streaming.
const size_t kChunk = 4 << 20;
}

FtdFileWriter::FtdFileWriter() : _md(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(_md, EVP_md5(), nullptr);
}

FtdFileWriter::~FtdFileWriter() {
    EVP_MD_CTX_free(_md);
}

int FtdFileWriter::open(const FtdTree& tree, const std::string& rel, FtdDirCache* cache) {
    return _staged.open(tree, rel, cache);
}

int FtdFileWriter::append(const unsigned char* data, size_t n) {
    if (n == 0) return 0;
    if (_staged.append(data, n) != 0) return -1;
    addToDigest(data, n);
    return 0;
}

void FtdFileWriter::addToDigest(const unsigned char* data, size_t n) {
    if (_kind == DIGEST_MD5)
        EVP_DigestUpdate(_md, data, n);
    else if (_kind == DIGEST_FILESUM)
        _sum.update(data, n);
}

int FtdFileWriter::copyFrom(int fd, long long offset, long long length) {
    if (_copyReader == nullptr || _copyReader->fd() != fd) _copyReader.reset(new FtdRangeReader(fd, kChunk));
    while (length > 0) {
        size_t want = length < static_cast<long long>(kChunk) ? static_cast<size_t>(length) : kChunk;
        const unsigned char* data = _copyReader->read(offset, want);
        if (data == nullptr || append(data, want) != 0) return -1;
        offset += static_cast<long long>(want);
        length -= static_cast<long long>(want);
        ftdNoteProgress();
    }
    return 0;
}

void FtdFileWriter::begin(long long limit) {
    _inflater.reset();
    _inflating = true;
    _limit = limit;
    _inflated = 0;
}

int FtdFileWriter::inflate(const unsigned char* data, size_t n) {
    if (!_problem.empty()) return -1;
    if (!_inflating) {
        _problem = "compressed data without a stream";
        return -1;
    }
    // Stored blocks come out as pieces of this block, which stay where they
    // are until the call returns: they are gathered and written together,
    // one system call for the block rather than one per stored block.
    // Output that zlib made lies in its own buffer, reused at once, and is
    // written as it comes (after the pieces gathered before it).
    const unsigned char* blockEnd = data + n;
    _gathered.clear();
    auto writeGathered = [this]() {
        if (_gathered.empty()) return true;
        int rc = _staged.appendv(_gathered.data(), _gathered.size());
        _gathered.clear();
        if (rc == 0) return true;
        _problem = std::string("write failed: ") + strerror(errno);
        return false;
    };
    int rc = _inflater.feed(data, n, [&](const unsigned char* out, size_t produced) {
        if (_inflated + static_cast<long long>(produced) > _limit) {
            _problem = "more data than the size announced";
            return false;
        }
        if (out >= data && out + produced <= blockEnd) {
            if (_gathered.size() == FtdStagedFile::kMaxPieces && !writeGathered()) return false;
            _gathered.push_back({const_cast<unsigned char*>(out), produced});
            addToDigest(out, produced);
        } else if (!writeGathered() || append(out, produced) != 0) {
            if (_problem.empty()) _problem = std::string("write failed: ") + strerror(errno);
            return false;
        }
        _inflated += static_cast<long long>(produced);
        return true;
    });
    if (!writeGathered() && rc == 0) rc = -1;
    // The sink's own reason comes first.
    if (rc != 0 && _problem.empty()) _problem = _inflater.problem();
    return rc;
}

bool FtdFileWriter::end() {
    if (_problem.empty() && !_inflater.finished()) _problem = "compressed stream ended early";
    _inflating = false;
    return _problem.empty();
}

void FtdFileWriter::setDigest(Digest kind) {
    _kind = kind;
    _digestDone = false;
    if (kind == DIGEST_MD5) EVP_DigestInit_ex(_md, EVP_md5(), nullptr);
    _sum.reset();
}

int FtdFileWriter::digest(unsigned char out[16]) {
    if (!_digestDone) {
        _digestLength = 0;
        if (_kind == DIGEST_MD5) {
            EVP_DigestFinal_ex(_md, _digest, &_digestLength);
        } else if (_kind == DIGEST_FILESUM) {
            _sum.final(_digest);
            _digestLength = FtFileSum::kLength;
        }
        _digestDone = true;
    }
    memcpy(out, _digest, _digestLength);
    return static_cast<int>(_digestLength);
}

std::string FtdFileWriter::digestText() {
    unsigned char d[16];
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
    return _staged.install(mode, mtimeMs, st);
}

void FtdFileWriter::discard() {
    _staged.discard();
}
