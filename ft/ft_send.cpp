// Sending a regular file: whole and deflated, or as a partial update by the
// append check (the rolling-checksum exchange is in ft_send_rolling.cpp).
#include <errno.h>
#include <fcntl.h>
#include <openssl/md5.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
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

// Level 0: a zlib stream of stored blocks written by hand, which is what
// deflate makes at that level without its copies. The file is read straight
// into place between the block headers, and each byte block goes out with
// its tag in one write.
int FtRun::sendStored(SfsFile* file, long long size, const std::string& local, long long* bytesRead) {
    const size_t kBlock = 65535;
    // Half a megabyte per byte block: the receiver writes each block's data
    // with one system call, and the block still sits in the processor's
    // second-level cache on both sides while it is read, encrypted, and
    // decrypted and written (a megabyte measured no faster).
    const size_t kBlocksPerWrite = 8;
    // Tag and length, zlib header, the blocks, and the end: an empty final
    // block and the Adler-32.
    const size_t capacity = 5 + 2 + kBlocksPerWrite * (5 + kBlock) + 5 + 4;
    if (_zBuf.size() < capacity) _zBuf.resize(capacity);
    unsigned char* buf = _zBuf.data();
    uint32_t adler = 1;
    ReadOutcome read;
    bool started = false;
    bool ended = false;
    while (!ended) {
        size_t pos = 5;
        if (!started) {
            // CMF 0x78 (deflate, 32 KiB window), FLG 0x01 (level 0, check bits).
            buf[pos++] = 0x78;
            buf[pos++] = 0x01;
            started = true;
        }
        for (size_t k = 0; k < kBlocksPerWrite && !ended; k++) {
            if (_ft->isCanceled()) {
                read.canceled = ended = true;
                break;
            }
            if (failed()) {
                read.readError = ended = true;
                break;
            }
            // One byte past the announced size when it fits: enough to know
            // the file grew.
            long long left = size - read.total;
            size_t want = left < static_cast<long long>(kBlock) ? static_cast<size_t>(left) + 1 : kBlock;
            unsigned char* data = buf + pos + 5;
            size_t have = 0;
            while (have < want) {
                int got = file->read(reinterpret_cast<char*>(data + have), static_cast<int>(want - have));
                if (got <= 0) {
                    if (got < 0) read.readError = true;
                    ended = true;
                    break;
                }
                have += static_cast<size_t>(got);
            }
            if (read.total + static_cast<long long>(have) > size) {
                read.total += static_cast<long long>(have);
                read.grew = ended = true;
                break;
            }
            if (have == 0) break;
            read.total += static_cast<long long>(have);
            adler = adler_continue(adler, data, have);
            unsigned char* h = buf + pos;
            h[0] = 0;
            h[1] = static_cast<unsigned char>(have);
            h[2] = static_cast<unsigned char>(have >> 8);
            h[3] = static_cast<unsigned char>(~have);
            h[4] = static_cast<unsigned char>(~have >> 8);
            pos += 5 + have;
        }
        if (ended) {
            const unsigned char last[5] = {1, 0, 0, 0xff, 0xff};
            memcpy(buf + pos, last, 5);
            pos += 5;
            for (int shift = 24; shift >= 0; shift -= 8) buf[pos++] = static_cast<unsigned char>(adler >> shift);
        }
        buf[0] = TAG_BYTES;
        putBE32(buf + 1, static_cast<uint32_t>(pos - 5));
        _out->appendBytes(buf, pos);
    }
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
        notCopiedForCancel(local);
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

int FtRun::sendFile(const std::string& local, const std::string& rel, const struct stat64& st, const _IndexEntry* known,
                    bool inIndex) {
    SfsFile* file = nullptr;
    if (_sfs->open(local.c_str(), &file, O_RDONLY, 0, true) != 0) {
        fileProblem(false, "Unable to open file: %s", local, "Error: Unable to open file: %s\n    %s\n", local.c_str(),
                    _sfs->getErrorString());
        return 1;
    }
    FtEntryHeader h;
    fillHeader(&h, rel, st);
    h.type = FT_TYPE_FILE;
    h.code = known != nullptr || inIndex ? FT_RECV_PART2_KNOWN : FT_RECV_PART2;
    h.body = known != nullptr ? FT_BODY_SYNC : FT_BODY_WHOLE;
    int level = _t->compressionFor(rel.c_str());
    h.write(_out);
    long long before = _s->bytesQueued();
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
                                 _s->bytesQueued() - before, _ft->_stats.filesCopied, _t);
    // Checked as late as possible: a change made while the bytes were on
    // their way is caught too.
    struct stat64 after;
    if (_sfs->lstat(local.c_str(), &after, true) != 0 || msOf(after) != msOf(st) || after.st_size != st.st_size) {
        _s->print("Warning: %s\n    File changed while being transferred.\n", local.c_str());
        _t->retryList.emplace_back(rel, local);
    }
    return 0;
}

bool FtRun::grossChange(const struct stat64& st, const _IndexEntry& known) {
    if (known.mtimeMs <= msOf(st) + 1000 && st.st_size >= known.size) return false;
    log(_debug_ft, LOG_INFO, 0, 0, "FT: remote mod time is greater than local mod time; assuming gross changes");
    return true;
}

void FtRun::notCopiedForCancel(const std::string& local) {
    fileProblem(true, "File not copied due to cancel: %s", local, "Error: %s\n    File was not copied due to cancel\n",
                local.c_str());
}

int FtRun::syncUnanswered(const std::string& local) {
    if (!_ft->isCanceled() || failed()) return FT_DATA_DISCARD;
    ftWritePlain(_out, FT_SYNC_END);
    _out->writeBool(false);
    _out->writeInt32(FT_DATA_DISCARD);
    notCopiedForCancel(local);
    return FT_DATA_DISCARD;
}

int FtRun::syncAppend(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known,
                      int level, long long* bytesRead) {
    *bytesRead = 0;
    if (grossChange(st, known)) {
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
    if (!_s->waitFindMd5Reply(&status, &theirs)) return syncUnanswered(local);
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
            int got = 0;
            while (have < want) {
                got = file->read(reinterpret_cast<char*>(buf.data()) + have, static_cast<int>(want - have));
                if (got <= 0) break;
                have += got;
            }
            if (have < want) {
                // The destination keeps its copy; say why, as a whole copy
                // would.
                result = FT_DATA_DISCARD;
                if (got < 0)
                    fileProblem(false, "Unable to read file: %s", local, "Error: Unable to read file: %s\n", local.c_str());
                else
                    fileProblem(false, "File shrank during copy: %s", local,
                                "Warning: %s\n    File shrank while being transferred.\n", local.c_str());
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
