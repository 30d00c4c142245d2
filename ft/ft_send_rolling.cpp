// The sender's side of the rolling-checksum block exchange (ft/ft_sync.h):
// one pass over the new file that finds the destination's blocks in it,
// sends the rest as literals, and takes the whole file's sum on the way.
#include <openssl/md5.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_filesum.h"
#include "ft/ft_md5x8.h"
#include "ft/ft_protocol.h"
#include "ft/ft_run.h"
#include "ft/ft_sync.h"

namespace {

// Literal runs are sent in pieces of at most this many bytes.
const long long kLiteralPiece = 1024 * 1024;
// Cancel and session errors are looked at once per this many bytes.
const long long kCheckEvery = 1 << 16;

// The new file read front to back, once, through a sliding buffer that
// keeps what the pending literal and the current window still need; every
// byte read goes into the whole file's sum.
class SlidingFile {
public:
    SlidingFile(SfsFile* file, long long size, size_t capacity) : _file(file), _size(size), _buf(capacity) {}
    // Makes [keepFrom, end) available (end is cut at the size). False once
    // the file ended early (then size() is what there was).
    bool ensure(long long keepFrom, long long end) {
        if (end > _size) end = _size;
        if (end <= _base + static_cast<long long>(_have)) return true;
        return fill(keepFrom, end);
    }
    const unsigned char* at(long long offset) const { return _buf.data() + (offset - _base); }
    long long size() const { return _size; }
    // The end of what the buffer holds.
    long long available() const { return _base + static_cast<long long>(_have); }
    long long bytesRead() const { return _read; }
    bool endedEarly() const { return _short; }
    void digest(unsigned char out[FtFileSum::kLength]) const { _sum.final(out); }

private:
    bool fill(long long keepFrom, long long end) {
        if (keepFrom > _base) {
            size_t drop = static_cast<size_t>(keepFrom - _base);
            memmove(_buf.data(), _buf.data() + drop, _have - drop);
            _have -= drop;
            _base = keepFrom;
        }
        while (_base + static_cast<long long>(_have) < end) {
            long long room = std::min<long long>(static_cast<long long>(_buf.size() - _have), _size - available());
            if (room <= 0) return false;
            int got = _file->read(reinterpret_cast<char*>(_buf.data() + _have),
                                  static_cast<int>(std::min<long long>(room, 1 << 30)));
            if (got <= 0) {
                _size = available();
                _short = true;
                return false;
            }
            _sum.update(_buf.data() + _have, static_cast<size_t>(got));
            _have += static_cast<size_t>(got);
            _read += got;
        }
        return true;
    }

    SfsFile* _file;
    long long _size;
    std::vector<unsigned char> _buf;
    long long _base = 0;
    size_t _have = 0;
    long long _read = 0;
    bool _short = false;
    FtFileSum _sum;
};

}  // namespace

int FtRun::syncRolling(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known,
                       int level, long long* bytesRead) {
    *bytesRead = 0;
    if (grossChange(st, known)) {
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
    if (!_s->waitSignatures(&destSize, &count, &strongLen, &sigs)) return syncUnanswered(local);
    // Blocks of the destination's size, rounded up (the size is the peer's
    // and may be anything up to the 64-bit limit).
    long long expected = destSize <= 0 ? 0 : destSize / bs + (destSize % bs != 0 ? 1 : 0);
    if (count < 0 || destSize < 0 || count != expected || static_cast<size_t>(count) != sigs.size()) {
        if (count >= 0) log(_debug_ft, LOG_WARNING, 0, 0, "FT: block signatures do not fit the destination's size; sending whole");
        ftWritePlain(_out, FT_SYNC_END);
        _out->writeBool(true);
        return sendData(file, size, level, local, bytesRead);
    }
    HashTable table(static_cast<size_t>(count) * 2 + 1);
    for (int i = 0; i < count; i++) table.add(i, sigs[static_cast<size_t>(i)].weak, sigs[static_cast<size_t>(i)].digest);
    const long long lastLen = count > 0 ? destSize - static_cast<long long>(count - 1) * bs : 0;

    // Room for a literal piece kept, the blocks hashed ahead and the reads.
    SlidingFile in(file, size, static_cast<size_t>(8 * kLiteralPiece + 17LL * bs));
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
    uint32_t a = 0, b = 0;
    // Rolls the window at w (its first byte) one byte on, without
    // divisions: every term is already below the modulus.
    auto roll = [&](const unsigned char* w) {
        uint32_t outB = w[0];
        int32_t na = static_cast<int32_t>(a) + static_cast<int32_t>(w[bs]) - static_cast<int32_t>(outB);
        if (na < 0) na += static_cast<int32_t>(ADLER_MOD);
        else if (na >= static_cast<int32_t>(ADLER_MOD)) na -= static_cast<int32_t>(ADLER_MOD);
        a = static_cast<uint32_t>(na);
        int32_t nb = static_cast<int32_t>(b) + na - static_cast<int32_t>(leaving[outB]);
        if (nb < 0) nb += static_cast<int32_t>(ADLER_MOD);
        else if (nb >= static_cast<int32_t>(ADLER_MOD)) nb -= static_cast<int32_t>(ADLER_MOD);
        b = static_cast<uint32_t>(nb);
    };
    bool haveWeak = false;
    unsigned char digest[16];
    // Digests of the blocks from aheadBase on, taken ahead as many at once
    // as the processor hashes side by side.
    const int width = ft_md5Width();
    unsigned char ahead[16][16];
    long long aheadBase = -1;
    int aheadCount = 0;
    bool stopped = false;
    long long nextCheck = 0;
    for (;;) {
        if (pos >= nextCheck) {
            if (_ft->isCanceled() || failed()) {
                stopped = true;
                break;
            }
            nextCheck = pos + kCheckEvery;
        }
        in.ensure(litStart, pos + bs + 1);
        if (in.size() - pos < bs) break;
        if (!haveWeak) {
            uint32_t w = adler_checksum(seed, in.at(pos), static_cast<size_t>(bs));
            a = w & 0xffffu;
            b = w >> 16;
            haveWeak = true;
        }
        // Where nothing matches, the window rolls on here, as far as the
        // buffer, the literal piece and the next check allow.
        const long long scanEnd = std::min({in.available() - bs, litStart + kLiteralPiece, nextCheck});
        const unsigned char* w = in.at(pos);
        bool candidate = false;
        for (;;) {
            if (table.hasWeak((b << 16) | a)) {
                candidate = true;
                break;
            }
            if (pos >= scanEnd) break;
            roll(w++);
            pos++;
        }
        if (!candidate) {
            // The end of the file, or of the buffer, the literal piece or
            // the stretch between checks: the loop above sees to each.
            if (pos + bs >= in.size()) break;
            if (pos - litStart >= kLiteralPiece) flushLiteral(pos);
            continue;
        }
        const uint32_t weak = (b << 16) | a;
        long long k = aheadBase >= 0 && pos >= aheadBase && (pos - aheadBase) % bs == 0 ? (pos - aheadBase) / bs : -1;
        if (k >= 0 && k < aheadCount) {
            memcpy(digest, ahead[k], 16);
        } else if (width > 1 && in.ensure(litStart, pos + width * static_cast<long long>(bs)) &&
                   in.size() - pos >= width * static_cast<long long>(bs)) {
            // Where one block matches, the next ones usually do too: their
            // digests are taken together.
            const unsigned char* lanes[16];
            for (int i = 0; i < width; i++) lanes[i] = in.at(pos + static_cast<long long>(i) * bs);
            ft_md5Many(lanes, static_cast<size_t>(width), static_cast<size_t>(bs), ahead);
            for (int i = 0; i < width; i++) ft_truncateDigest(ahead[i], strongLen);
            aheadBase = pos;
            aheadCount = width;
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
        // A weak sum alone: roll on by one.
        in.ensure(litStart, pos + bs + 1);
        if (pos + bs >= in.size() || pos + bs >= in.available()) break;
        roll(in.at(pos));
        pos++;
        if (pos - litStart >= kLiteralPiece) flushLiteral(pos);
    }
    if (!stopped) {
        // The tail: the destination's short last block may still match.
        in.ensure(litStart, in.size());
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
        // sum covers the whole file.
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
    // A file that ended early changed under us: the status tells the
    // receiver to keep its file.
    int status = stopped || in.endedEarly() ? FT_DATA_DISCARD : FT_DATA_OK;
    unsigned char whole[1 + FtFileSum::kLength];
    whole[0] = FT_SUM_FILESUM;
    in.digest(whole + 1);
    ftWritePlain(_out, FT_SYNC_NEW_DIGEST);
    _out->writeBytes(whole, sizeof whole);
    ftWritePlain(_out, FT_SYNC_END);
    _out->writeBool(false);
    _out->writeInt32(status);
    if (in.endedEarly())
        fileProblem(false, "File shrank during copy: %s", local, "Warning: %s\n    File shrank while being transferred.\n",
                    local.c_str());
    if (stopped && _ft->isCanceled()) notCopiedForCancel(local);
    return status;
}
