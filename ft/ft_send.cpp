// Sending a regular file: whole and deflated, or as a partial update (the
// append check or the rolling-checksum block exchange of ft/ft_sync.h).
#include <errno.h>
#include <fcntl.h>
#include <openssl/md5.h>
#include <openssl/sha.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_md5x8.h"
#include "ft/ft_parallel.h"
#include "ft/ft_protocol.h"
#include "ft/ft_run.h"

namespace {

const size_t kChunk = 256 * 1024;
// Literal runs are sent in pieces of at most this many bytes.
const long long kLiteralPiece = 1024 * 1024;

long long msOf(const struct stat64& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// Runs deflate over what zs holds and writes every output piece as a byte
// block. Z_OK, or the zlib error.
int pump(z_stream* zs, int flush, MessageBase* out, std::vector<unsigned char>* buf) {
    for (;;) {
        zs->next_out = buf->data();
        zs->avail_out = static_cast<uInt>(buf->size());
        int rc = deflate(zs, flush);
        if (rc == Z_STREAM_ERROR) return rc;
        size_t produced = buf->size() - zs->avail_out;
        if (produced > 0) out->writeBytes(buf->data(), static_cast<uint32_t>(produced));
        if (flush == Z_FINISH) {
            if (rc == Z_STREAM_END) return Z_OK;
        } else if (zs->avail_out != 0) {
            return Z_OK;
        }
    }
}

}  // namespace

FtRun::~FtRun() {
    for (z_stream*& zs : _deflaters) {
        if (zs == nullptr) continue;
        deflateEnd(zs);
        delete zs;
        zs = nullptr;
    }
}

z_stream* FtRun::deflater(int level) {
    if (level < 0 || level > 9) level = 3;
    z_stream*& zs = _deflaters[level];
    if (zs == nullptr) {
        zs = new z_stream;
        memset(zs, 0, sizeof *zs);
        if (deflateInit(zs, level) != Z_OK) {
            delete zs;
            zs = nullptr;
            return nullptr;
        }
    } else if (deflateReset(zs) != Z_OK) {
        return nullptr;
    }
    if (_zBuf.empty()) _zBuf.resize(kChunk);
    return zs;
}

namespace {

// A zlib stream of stored blocks written by hand: what deflate makes at
// level 0, without its copies and with the faster Adler-32 of
// ft_checksum.h.
class StoredStream {
public:
    static const size_t kBlock = 65535;
    explicit StoredStream(std::vector<unsigned char>* buf) : _buf(buf), _adler(1) {
        // CMF 0x78 (deflate, 32 KiB window), FLG 0x01 (level 0, check bits).
        _buf->assign({0x78, 0x01});
    }
    // Appends n bytes as stored blocks; the bytes collected so far go out
    // as one byte block.
    void add(const unsigned char* data, size_t n, MessageBase* out) {
        _adler = adler_continue(_adler, data, n);
        while (n > 0) {
            size_t len = n < kBlock ? n : kBlock;
            header(0, len);
            _buf->insert(_buf->end(), data, data + len);
            data += len;
            n -= len;
        }
        flush(out);
    }
    // The final (empty) block and the checksum.
    void finish(MessageBase* out) {
        header(1, 0);
        for (int shift = 24; shift >= 0; shift -= 8) _buf->push_back(static_cast<unsigned char>(_adler >> shift));
        flush(out);
    }

private:
    void header(unsigned char final, size_t len) {
        unsigned char h[5] = {final, static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                              static_cast<unsigned char>(~len), static_cast<unsigned char>(~len >> 8)};
        _buf->insert(_buf->end(), h, h + 5);
    }
    void flush(MessageBase* out) {
        if (!_buf->empty()) out->writeBytes(_buf->data(), static_cast<uint32_t>(_buf->size()));
        _buf->clear();
    }
    std::vector<unsigned char>* _buf;
    uint32_t _adler;
};

}  // namespace

int FtRun::sendData(SfsFile* file, long long size, int level, const std::string& local, long long* bytesRead) {
    *bytesRead = 0;
    if (level == 0) return sendStored(file, size, local, bytesRead);
    z_stream* zsp = deflater(level);
    if (zsp == nullptr) {
        fileProblem(true, "Unable to initialize deflator: %s", local,
                    "Error: %s\n    File was not copied because of a problem initializing zlib\n", local.c_str());
        _out->writeBytes("", 0);
        _out->writeInt32(FT_DATA_DISCARD);
        return FT_DATA_DISCARD;
    }
    z_stream& zs = *zsp;
    ReadOutcome read = readBody(file, size, kChunk, [&](const unsigned char* data, int got) {
        zs.next_in = const_cast<unsigned char*>(data);
        zs.avail_in = static_cast<uInt>(got);
        return pump(&zs, Z_NO_FLUSH, _out, &_zBuf) == Z_OK;
    });
    zs.next_in = nullptr;
    zs.avail_in = 0;
    pump(&zs, Z_FINISH, _out, &_zBuf);
    return endData(read, size, local, bytesRead);
}

int FtRun::sendStored(SfsFile* file, long long size, const std::string& local, long long* bytesRead) {
    StoredStream stream(&_zBuf);
    // Whole stored blocks per read.
    ReadOutcome read = readBody(file, size, 4 * StoredStream::kBlock, [&](const unsigned char* data, int got) {
        stream.add(data, static_cast<size_t>(got), _out);
        return true;
    });
    stream.finish(_out);
    return endData(read, size, local, bytesRead);
}

FtRun::ReadOutcome FtRun::readBody(SfsFile* file, long long size, size_t chunk,
                                   const std::function<bool(const unsigned char*, int)>& take) {
    if (_inBuf.size() < chunk) _inBuf.resize(chunk);
    ReadOutcome r;
    for (;;) {
        if (_ft->isCanceled()) {
            r.canceled = true;
            break;
        }
        if (failed()) {
            r.readError = true;
            break;
        }
        // Read at most one byte past the announced size: enough to know it grew.
        long long want = std::min<long long>(static_cast<long long>(chunk), size + 1 - r.total);
        int got = file->read(reinterpret_cast<char*>(_inBuf.data()), static_cast<int>(want));
        if (got < 0) {
            r.readError = true;
            break;
        }
        if (got == 0) break;
        r.total += got;
        if (r.total > size) {
            r.grew = true;
            break;
        }
        if (!take(_inBuf.data(), got)) {
            r.readError = true;
            break;
        }
    }
    return r;
}

int FtRun::endData(const ReadOutcome& read, long long size, const std::string& local, long long* bytesRead) {
    const bool grew = read.grew, canceled = read.canceled, readError = read.readError;
    const long long total = read.total;
    _out->writeBytes("", 0);
    int status = grew || canceled || readError ? FT_DATA_DISCARD : FT_DATA_OK;
    _out->writeInt32(status);
    *bytesRead = total;
    if (grew) {
        fileProblem(true, "File grew during copy: %s", local,
                    "Error: %s\n    File grew while being transferred.\n    File size at copy start = %s, bytes read "
                    "during copy = %s\n",
                    local.c_str(), ft_withCommas(size).c_str(), ft_withCommas(total).c_str());
    } else if (canceled) {
        fileProblem(true, "File not copied due to cancel: %s", local, "Error: %s\n    File was not copied due to cancel\n",
                    local.c_str());
    } else if (readError && !failed()) {
        fileProblem(false, "Unable to read file: %s", local, "Error: Unable to read file: %s\n", local.c_str());
    } else if (total < size && !failed()) {
        fileProblem(false, "File shrank during copy: %s", local, "Warning: %s\n    File shrank while being transferred.\n",
                    local.c_str());
    }
    return status;
}

void FtRun::sendLiteral(long long offset, const unsigned char* buf, long long length, int level) {
    ftWritePlain(_out, FT_SYNC_WRITE);
    _out->writeInt64(offset);
    _out->writeInt64(length);
    z_stream* zs = deflater(level);
    if (zs != nullptr) {
        zs->next_in = const_cast<unsigned char*>(buf);
        zs->avail_in = static_cast<uInt>(length);
        pump(zs, Z_FINISH, _out, &_zBuf);
    }
    _out->writeBytes("", 0);
}

int FtRun::sendFile(const std::string& local, const std::string& rel, const struct stat64& st, const _IndexEntry* known) {
    SfsFile* file = nullptr;
    if (_sfs->open(local.c_str(), &file, O_RDONLY, 0, true) != 0) {
        fileProblem(false, "Unable to open file: %s", local, "Error: Unable to open file: %s\n    %s\n", local.c_str(),
                    _sfs->getErrorString());
        return 1;
    }
    FtEntryHeader h;
    fillHeader(&h, rel, st);
    h.type = FT_TYPE_FILE;
    h.code = known != nullptr ? FT_RECV_PART2_KNOWN : FT_RECV_PART2;
    h.body = known != nullptr ? FT_BODY_SYNC : FT_BODY_WHOLE;
    int level = _t->compressionFor(rel.c_str());
    h.write(_out);
    long long before = _s->bytesWritten();
    long long bytesRead = 0;
    int status;
    if (known == nullptr) {
        status = sendData(file, st.st_size, level, local, &bytesRead);
    } else if (_t->algorithm == 1) {
        status = syncAppend(file, local, st, *known, level, &bytesRead);
    } else if (_t->algorithm == 2) {
        status = syncRolling(file, local, st, *known, level, &bytesRead);
    } else {
        log(_debug_ft, LOG_ERROR, 0, 0, "NO ALG for diff ft");
        ftWritePlain(_out, FT_SYNC_END);
        _out->writeBool(true);
        status = sendData(file, st.st_size, level, local, &bytesRead);
    }
    Sfs::dispose(file);
    _ft->_stats.bytesRead += bytesRead;
    if (status != FT_DATA_OK) return 1;
    _ft->_stats.filesCopied++;
    if (_s->listener() != nullptr)
        _s->listener()->progress(rel.c_str(), local.c_str(), known != nullptr ? "updated" : "sent", st.st_size,
                                 _s->bytesWritten() - before, _ft->_stats.filesCopied, _t);
    // Checked as late as possible: a change made while the bytes were on
    // their way is caught too.
    struct stat64 after;
    if (_sfs->lstat(local.c_str(), &after, true) != 0 || msOf(after) != msOf(st) || after.st_size != st.st_size) {
        _s->print("Warning: %s\n    File changed while being transferred.\n", local.c_str());
        _t->retryList.emplace_back(rel, local);
    }
    return 0;
}

int FtRun::syncAppend(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known,
                      int level, long long* bytesRead) {
    *bytesRead = 0;
    if (known.mtimeMs > msOf(st) + 1000 || st.st_size < known.size) {
        log(_debug_ft, LOG_INFO, 0, 0, "FT: remote mod time is greater than local mod time; assuming gross changes");
        ftWritePlain(_out, FT_SYNC_END);
        _out->writeBool(true);
        return sendData(file, st.st_size, level, local, bytesRead);
    }
    int len = static_cast<int>(std::min<long long>(st.st_size, 4096));
    char mine[33];
    if (file->md5sum(len, mine) != 0) mine[0] = '\0';
    file->seek(0);
    _s->resetSyncReply();
    ftWritePlain(_out, FT_SYNC_FIND_MD5);
    _out->writeInt64(0);
    _out->writeInt32(len);
    int status = 0;
    std::string theirs;
    if (!_s->waitFindMd5Reply(&status, &theirs)) return FT_DATA_DISCARD;
    if (status != 0 || theirs != mine || mine[0] == '\0') {
        ftWritePlain(_out, FT_SYNC_END);
        log(_debug_ft, LOG_INFO, 0, 0, "FT: too many changes; doing full xfer");
        _out->writeBool(true);
        return sendData(file, st.st_size, level, local, bytesRead);
    }
    log(_debug_ft, LOG_INFO, 0, 0, "FT: MD ok; continuing with sync");
    int result = FT_DATA_OK;
    *bytesRead = len;
    if (st.st_size > known.size) {
        file->seek(known.size);
        std::vector<unsigned char> buf(kLiteralPiece);
        long long offset = known.size;
        while (offset < st.st_size) {
            if (_ft->isCanceled() || failed()) {
                result = FT_DATA_DISCARD;
                break;
            }
            long long want = std::min<long long>(kLiteralPiece, st.st_size - offset);
            long long have = 0;
            while (have < want) {
                int got = file->read(reinterpret_cast<char*>(buf.data()) + have, static_cast<int>(want - have));
                if (got <= 0) break;
                have += got;
            }
            if (have < want) {
                result = FT_DATA_DISCARD;
                break;
            }
            sendLiteral(offset, buf.data(), have, level);
            offset += have;
            *bytesRead += have;
        }
    }
    log(_debug_ft, LOG_DEBUG, 0, 0, "FT: sending command zero to terminate sync");
    ftWritePlain(_out, FT_SYNC_END);
    _out->writeBool(false);
    _out->writeInt32(result);
    return result;
}

namespace {

// The new file read front to back through a sliding buffer that keeps what
// the pending literal and the current window still need.
class SlidingFile {
public:
    // hashing: whether the bytes read go into the whole file's digest here
    // (otherwise another reader takes it).
    SlidingFile(SfsFile* file, long long size, size_t capacity, bool hashing)
        : _file(file), _size(size), _buf(capacity), _hashing(hashing) {
        SHA1_Init(&_sha);
    }
    // Makes [keepFrom, end) available (end is cut at the size). False once
    // the file ended early (then size() is what there was).
    bool ensure(long long keepFrom, long long end) {
        if (end > _size) end = _size;
        if (end <= _base + static_cast<long long>(_have)) return true;
        if (keepFrom > _base) {
            size_t drop = static_cast<size_t>(keepFrom - _base);
            memmove(_buf.data(), _buf.data() + drop, _have - drop);
            _have -= drop;
            _base = keepFrom;
        }
        while (_base + static_cast<long long>(_have) < end) {
            long long room = std::min<long long>(static_cast<long long>(_buf.size() - _have), _size - (_base + _have));
            if (room <= 0) return false;
            int got = _file->read(reinterpret_cast<char*>(_buf.data() + _have), static_cast<int>(std::min<long long>(room, 1 << 30)));
            if (got <= 0) {
                _size = _base + static_cast<long long>(_have);
                _short = true;
                return false;
            }
            if (_hashing) SHA1_Update(&_sha, _buf.data() + _have, static_cast<size_t>(got));
            _have += static_cast<size_t>(got);
            _read += got;
        }
        return true;
    }
    const unsigned char* at(long long offset) const { return _buf.data() + (offset - _base); }
    long long size() const { return _size; }
    long long bytesRead() const { return _read; }
    bool endedEarly() const { return _short; }
    void digest(unsigned char out[SHA_DIGEST_LENGTH]) { SHA1_Final(out, &_sha); }

private:
    SfsFile* _file;
    long long _size;
    std::vector<unsigned char> _buf;
    long long _base = 0;
    size_t _have = 0;
    long long _read = 0;
    bool _short = false;
    bool _hashing;
    SHA_CTX _sha;
};

// The SHA-1 of the first `size` bytes of a file, read through its own
// handle. False when it cannot be read whole.
bool digestFile(SfsFile* file, long long size, unsigned char out[SHA_DIGEST_LENGTH]) {
    SHA_CTX sha;
    SHA1_Init(&sha);
    std::vector<char> buf(1 << 20);
    while (size > 0) {
        int got = file->read(buf.data(), static_cast<int>(std::min<long long>(size, static_cast<long long>(buf.size()))));
        if (got <= 0) return false;
        SHA1_Update(&sha, buf.data(), static_cast<size_t>(got));
        size -= got;
    }
    SHA1_Final(out, &sha);
    return true;
}

}  // namespace

int FtRun::syncRolling(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known,
                       int level, long long* bytesRead) {
    *bytesRead = 0;
    if (known.mtimeMs > msOf(st) + 1000 || st.st_size < known.size) {
        log(_debug_ft, LOG_INFO, 0, 0, "FT: remote mod time is greater than local mod time; assuming gross changes");
        ftWritePlain(_out, FT_SYNC_END);
        _out->writeBool(true);
        return sendData(file, st.st_size, level, local, bytesRead);
    }
    const long long size = st.st_size;
    const int bs = ft_blockSize(size);
    log(_debug_ft, LOG_DEBUG, 0, 0, "FT: Computed blocksize = %d", bs);
    const uint32_t seed = adler_getSeed();
    _s->resetSyncReply();
    ftWritePlain(_out, FT_SYNC_ROLLING_START);
    _out->writeInt64(0);
    _out->writeInt64(-1);
    _out->writeInt32(bs);
    _out->writeInt32(static_cast<int32_t>(seed));
    long long destSize = 0;
    int count = 0;
    int strongLen = 16;
    std::vector<FtBlockSignature> sigs;
    if (!_s->waitSignatures(&destSize, &count, &strongLen, &sigs)) return FT_DATA_DISCARD;
    long long expected = destSize <= 0 ? 0 : (destSize + bs - 1) / bs;
    if (count < 0 || destSize < 0 || count != expected || static_cast<size_t>(count) != sigs.size()) {
        if (count >= 0) log(_debug_ft, LOG_WARNING, 0, 0, "FT: block signatures do not fit the destination's size; sending whole");
        ftWritePlain(_out, FT_SYNC_END);
        _out->writeBool(true);
        return sendData(file, size, level, local, bytesRead);
    }
    HashTable table(static_cast<size_t>(count) * 2 + 1);
    for (int i = 0; i < count; i++) table.add(i, sigs[static_cast<size_t>(i)].weak, sigs[static_cast<size_t>(i)].digest);
    const long long lastLen = count > 0 ? destSize - static_cast<long long>(count - 1) * bs : 0;

    // The whole file's digest is taken beside the block search, through a
    // second handle on the file.
    SfsFile* second = nullptr;
    if (_sfs->open(local.c_str(), &second, O_RDONLY, 0, true) != 0) second = nullptr;
    unsigned char besideDigest[SHA_DIGEST_LENGTH];
    bool besideOk = false;
    FtBesideThread digester([&] {
        if (second != nullptr) besideOk = digestFile(second, size, besideDigest);
    });
    SlidingFile in(file, size, static_cast<size_t>(8 * kLiteralPiece + 2 * bs), second == nullptr);
    long long pos = 0, litStart = 0;
    int runFirst = -1, runCount = 0;
    auto flushRun = [&]() {
        if (runCount > 0) {
            ftWritePlain(_out, FT_SYNC_COPY_BLOCKS);
            _out->writeInt32(runFirst);
            _out->writeInt32(runCount);
        }
        runCount = 0;
    };
    auto flushLiteral = [&](long long upTo) {
        if (upTo > litStart) {
            flushRun();
            sendLiteral(litStart, in.at(litStart), upTo - litStart, level);
        }
        litStart = upTo;
    };
    auto addBlock = [&](int block) {
        if (runCount > 0 && block == runFirst + runCount) {
            runCount++;
        } else {
            flushRun();
            runFirst = block;
            runCount = 1;
        }
    };
    const uint32_t s16 = (seed & 0xffffu) % ADLER_MOD;
    const uint32_t nOut = static_cast<uint32_t>(bs % ADLER_MOD);
    // What a byte leaving the window takes from B: n times the byte and the
    // seed's part, modulo.
    uint32_t leaving[256];
    for (uint32_t x = 0; x < 256; x++)
        leaving[x] = static_cast<uint32_t>((static_cast<uint64_t>(nOut) * x + s16) % ADLER_MOD);
    bool haveWeak = false;
    uint32_t a = 0, b = 0;
    unsigned char digest[16];
    // Digests of the eight blocks from aheadBase on, taken ahead.
    const bool fastMd5 = ft_md5x8Fast();
    unsigned char ahead[8][16];
    long long aheadBase = -1;
    int aheadCount = 0;
    bool stopped = false;
    while (!stopped) {
        if (_ft->isCanceled() || failed()) {
            stopped = true;
            break;
        }
        in.ensure(std::min(pos, litStart), pos + bs + 1);
        if (in.size() - pos < bs) break;
        if (!haveWeak) {
            uint32_t w = adler_checksum(seed, in.at(pos), static_cast<size_t>(bs));
            a = w & 0xffffu;
            b = w >> 16;
            haveWeak = true;
        }
        uint32_t weak = (b << 16) | a;
        if (table.hasWeak(weak)) {
            long long k = aheadBase >= 0 && pos >= aheadBase && (pos - aheadBase) % bs == 0 ? (pos - aheadBase) / bs : -1;
            if (k >= 0 && k < aheadCount) {
                memcpy(digest, ahead[k], 16);
            } else if (fastMd5 && in.ensure(std::min(pos, litStart), pos + 8LL * bs) && in.size() - pos >= 8LL * bs) {
                // Where one block matches, the next ones usually do too:
                // their digests are taken together, eight at a time.
                const unsigned char* lanes[8];
                for (int i = 0; i < 8; i++) lanes[i] = in.at(pos + static_cast<long long>(i) * bs);
                ft_md5x8(lanes, static_cast<size_t>(bs), ahead);
                for (int i = 0; i < 8; i++) ft_truncateDigest(ahead[i], strongLen);
                aheadBase = pos;
                aheadCount = 8;
                memcpy(digest, ahead[0], 16);
            } else {
                MD5(in.at(pos), static_cast<size_t>(bs), digest);
                ft_truncateDigest(digest, strongLen);
            }
            const HashBlock* hit = table.find(weak, digest);
            if (hit != nullptr && (hit->block != count - 1 || lastLen == bs)) {
                flushLiteral(pos);
                addBlock(hit->block);
                pos += bs;
                litStart = pos;
                haveWeak = false;
                continue;
            }
        }
        if (pos + bs >= in.size()) break;
        // Roll the window one byte.
        uint32_t outB = *in.at(pos);
        uint32_t inB = *in.at(pos + bs);
        // Without divisions: every term is already below the modulus.
        int32_t na = static_cast<int32_t>(a) + static_cast<int32_t>(inB) - static_cast<int32_t>(outB);
        if (na < 0) na += static_cast<int32_t>(ADLER_MOD);
        else if (na >= static_cast<int32_t>(ADLER_MOD)) na -= static_cast<int32_t>(ADLER_MOD);
        a = static_cast<uint32_t>(na);
        int32_t nb = static_cast<int32_t>(b) + na - static_cast<int32_t>(leaving[outB]);
        if (nb < 0) nb += static_cast<int32_t>(ADLER_MOD);
        else if (nb >= static_cast<int32_t>(ADLER_MOD)) nb -= static_cast<int32_t>(ADLER_MOD);
        b = static_cast<uint32_t>(nb);
        pos++;
        if (pos - litStart >= kLiteralPiece) flushLiteral(pos);
    }
    if (!stopped) {
        // The tail: the destination's short last block may still match.
        in.ensure(std::min(pos, litStart), in.size());
        long long remaining = in.size() - pos;
        if (count > 0 && lastLen < bs && remaining == lastLen && remaining > 0) {
            uint32_t w = adler_checksum(seed, in.at(pos), static_cast<size_t>(remaining));
            MD5(in.at(pos), static_cast<size_t>(remaining), digest);
            ft_truncateDigest(digest, strongLen);
            const HashBlock* hit = table.find(w, digest);
            if (hit != nullptr && hit->block == count - 1) {
                flushLiteral(pos);
                addBlock(hit->block);
                pos += remaining;
                litStart = pos;
            }
        }
        // Whatever is left is literal; read it all (in pieces) so that the
        // digest covers the whole file.
        while (litStart < in.size()) {
            long long upTo = std::min(in.size(), litStart + kLiteralPiece);
            in.ensure(litStart, upTo);
            upTo = std::min(upTo, in.size());
            if (upTo <= litStart) break;
            flushLiteral(upTo);
        }
        flushRun();
    }
    *bytesRead = in.bytesRead();
    digester.join();
    if (second != nullptr) Sfs::dispose(second);
    // A file that the second reader found shorter changed under us: the
    // receiver then finds the digest wrong and keeps its file.
    int status = stopped || in.endedEarly() ? FT_DATA_DISCARD : FT_DATA_OK;
    unsigned char whole[SHA_DIGEST_LENGTH];
    if (second != nullptr) {
        if (besideOk) memcpy(whole, besideDigest, sizeof whole);
        else memset(whole, 0, sizeof whole);
    } else {
        in.digest(whole);
    }
    ftWritePlain(_out, FT_SYNC_NEW_DIGEST);
    _out->writeBytes(whole, SHA_DIGEST_LENGTH);
    ftWritePlain(_out, FT_SYNC_END);
    _out->writeBool(false);
    _out->writeInt32(status);
    if (in.endedEarly())
        fileProblem(false, "File shrank during copy: %s", local, "Warning: %s\n    File shrank while being transferred.\n",
                    local.c_str());
    if (stopped && _ft->isCanceled())
        fileProblem(true, "File not copied due to cancel: %s", local, "Error: %s\n    File was not copied due to cancel\n",
                    local.c_str());
    return status;
}
