#include <openssl/md5.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "dirbase/message.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_md5x8.h"
#include "ft/ft_sync.h"

namespace {

// Records per byte block of a signature reply.
const int kRecordsPerBlock = 4096;

int log2Ceil(long long v) {
    int n = 0;
    while (n < 62 && (1LL << n) < v) n++;
    return n;
}

}  // namespace

int ft_strongLength(long long size, int blockSize) {
    if (size < 1) size = 1;
    if (blockSize < 1) blockSize = 1;
    // Positions tried (at most the size) times blocks to match (size over
    // block size), against the weak sum's 32 bits and a margin of 24 bits.
    int bits = 2 * log2Ceil(size) - log2Ceil(blockSize) + 24 - 32;
    int bytes = (bits + 7) / 8;
    return bytes < 4 ? 4 : bytes > 16 ? 16 : bytes;
}

void ft_truncateDigest(unsigned char digest[16], int strongLen) {
    if (strongLen >= 0 && strongLen < 16) memset(digest + strongLen, 0, static_cast<size_t>(16 - strongLen));
}

void ft_signBlocks(const unsigned char* data, long long size, int blockSize, uint32_t seed, int strongLen,
                   long long first, long long last, FtBlockSignature* out) {
    // Full blocks go to the many-lane MD5 in batches.
    const long long fullEnd = std::min(last, size / blockSize);
    const long long kBatch = 64;
    long long b = first;
    for (; b < fullEnd; b += kBatch) {
        long long n = std::min(kBatch, fullEnd - b);
        const unsigned char* lanes[kBatch];
        unsigned char digests[kBatch][16];
        for (long long i = 0; i < n; i++) lanes[i] = data + (b + i) * blockSize;
        ft_md5Many(lanes, static_cast<size_t>(n), static_cast<size_t>(blockSize), digests);
        for (long long i = 0; i < n; i++) {
            out[b + i].weak = adler_checksum(seed, lanes[i], static_cast<size_t>(blockSize));
            memcpy(out[b + i].digest, digests[i], 16);
            ft_truncateDigest(out[b + i].digest, strongLen);
        }
    }
    for (b = std::max(fullEnd, first); b < last; b++) {
        long long off = b * blockSize;
        size_t n = static_cast<size_t>(size - off < blockSize ? size - off : blockSize);
        out[b].weak = adler_checksum(seed, data + off, n);
        MD5(data + off, n, out[b].digest);
        ft_truncateDigest(out[b].digest, strongLen);
    }
}

int ft_computeSignatures(SfsFile* file, long long size, int blockSize, uint32_t seed,
                         std::vector<FtBlockSignature>* out, int strongLen) {
    if (blockSize <= 0 || size < 0) return -1;
    std::vector<unsigned char> buf(static_cast<size_t>(blockSize));
    long long left = size;
    while (left > 0) {
        int want = left < blockSize ? static_cast<int>(left) : blockSize;
        int have = 0;
        while (have < want) {
            int got = file->read(reinterpret_cast<char*>(buf.data()) + have, want - have);
            if (got <= 0) return -1;
            have += got;
        }
        FtBlockSignature sig;
        ft_signBlocks(buf.data(), want, blockSize, seed, strongLen, 0, 1, &sig);
        out->push_back(sig);
        left -= want;
    }
    return 0;
}

int ft_writeSignatures(MessageBase* out, long long size, int count, int strongLen, const FtBlockSignature* sigs) {
    out->writeInt64(size);
    out->writeInt32(count);
    out->writeInt32(count >= 0 ? strongLen : 0);
    const size_t record = 4 + static_cast<size_t>(strongLen);
    std::vector<unsigned char> block;
    for (int i = 0; i < count; i += kRecordsPerBlock) {
        int n = count - i < kRecordsPerBlock ? count - i : kRecordsPerBlock;
        block.resize(static_cast<size_t>(n) * record);
        unsigned char* p = block.data();
        for (int j = 0; j < n; j++, p += record) {
            const FtBlockSignature& s = sigs[i + j];
            p[0] = static_cast<unsigned char>(s.weak >> 24);
            p[1] = static_cast<unsigned char>(s.weak >> 16);
            p[2] = static_cast<unsigned char>(s.weak >> 8);
            p[3] = static_cast<unsigned char>(s.weak);
            memcpy(p + 4, s.digest, static_cast<size_t>(strongLen));
        }
        out->writeBytes(block.data(), static_cast<uint32_t>(block.size()));
    }
    return out->getError();
}

int ft_readSignatures(MessageBase* in, int maxCount, long long* size, int* count, int* strongLen,
                      std::vector<FtBlockSignature>* sigs) {
    int64_t sz = 0;
    int32_t n = 0;
    int32_t len = 0;
    sigs->clear();
    if (in->readInt64(&sz) != 0 || in->readInt32(&n) != 0 || in->readInt32(&len) != 0) return -1;
    if (n < -1 || n > maxCount || sz < 0) return -1;
    if (n > 0 && (len < 4 || len > 16)) return -1;
    *size = sz;
    *count = n;
    *strongLen = n >= 0 ? len : 0;
    const size_t record = 4 + static_cast<size_t>(len);
    while (static_cast<int32_t>(sigs->size()) < n) {
        unsigned char* bytes = nullptr;
        uint32_t got = 0;
        if (in->readBytes(&bytes, &got) != 0) return -1;
        size_t records = got / record;
        bool ok = got > 0 && got % record == 0 && sigs->size() + records <= static_cast<size_t>(n);
        for (size_t i = 0; ok && i < records; i++) {
            const unsigned char* p = bytes + i * record;
            FtBlockSignature s;
            s.weak = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                     (static_cast<uint32_t>(p[2]) << 8) | p[3];
            memset(s.digest, 0, sizeof s.digest);
            memcpy(s.digest, p + 4, static_cast<size_t>(len));
            sigs->push_back(s);
        }
        free(bytes);
        if (!ok) return -1;
    }
    return 0;
}
