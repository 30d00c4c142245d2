// The checksum primitives of partial updates: the seeded Adler-32 variant
// (weak, rolling), the seed table, the block table (HashTable of HashBlock)
// the sender looks a window up in, and MD5 digests as text.
//
// The weak checksum: A starts at the low 16 bits of the seed, B at 0; each
// byte adds to A and A to B, both modulo 65521; the sum is B << 16 | A.
// Rolling a window of n bytes by one (out leaves, in enters):
//   A' = A - out + in,   B' = B - n*out - seed16 + A'   (mod 65521)
// where seed16 is the seed's low 16 bits: every byte's contribution to B
// carries the starting A once, so dropping a byte drops one seed16.
//
// Thread-safety: the functions are pure except the process-wide seed
// (adler_setSeed / adler_reseed / adler_getSeed), which is atomic. A
// HashTable belongs to one thread.
#ifndef DRV_FT_FT_CHECKSUM_H
#define DRV_FT_FT_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

class SfsFile;

const uint32_t ADLER_MOD = 65521;

// Checksum of n bytes with the given seed.
uint32_t adler_checksum(uint32_t seed, const unsigned char* data, size_t n);
// Continues a running sum (B << 16 | A, as returned) over n more bytes;
// from 1 it is zlib's Adler-32.
uint32_t adler_continue(uint32_t sum, const unsigned char* data, size_t n);
// One step of the rolling checksum for a window of n bytes.
uint32_t adler_roll(uint32_t sum, uint32_t seed, size_t n, unsigned char out, unsigned char in);
// Checksum of the next `length` bytes of a file, read in pieces of 1024
// bytes. 0 with *sum set, or -1 when the file ends early or fails.
int adler_sum(SfsFile* file, uint32_t seed, long long length, uint32_t* sum);

// The process-wide current seed, one of a table of 16 values.
uint32_t adler_getSeed();
void adler_setSeed(uint32_t seed);
// Steps the seed to the next table entry; returns it.
uint32_t adler_reseed();

// A block of the destination's file.
struct HashBlock {
    int32_t block;              // block number (offset / block size)
    uint32_t weak;              // seeded rolling checksum
    unsigned char digest[16];   // MD5
};

class HashTable {
public:
    // size: the number of buckets (at least 1).
    explicit HashTable(size_t size);
    ~HashTable();
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    // Copies the block in; a later add with an equal weak sum and digest
    // does not replace the first (the lowest block number wins when added
    // in order).
    void add(int32_t block, uint32_t weak, const unsigned char digest[16]);
    // Whether any block has this weak checksum (the cheap first test, made
    // at nearly every byte of a changed stretch: the bitmap answers most).
    bool hasWeak(uint32_t weak) const {
        const uint32_t bit = bitOf(weak);
        if ((_bits[bit >> 3] & (1u << (bit & 7u))) == 0) return false;
        return scanWeak(weak);
    }
    // The block whose weak checksum and digest both match, or null. The
    // pointer stays good until the next add.
    const HashBlock* find(uint32_t weak, const unsigned char digest[16]) const;
    // Distinct blocks (equal weak sum and digest count once).
    size_t count() const;

private:
    // The weak sums alone, in an open-addressed table of plain words: one
    // cache line answers what the bitmap let through, where walking a
    // bucket's blocks cost a miss per block.
    bool scanWeak(uint32_t weak) const;
    void insertWeak(uint32_t weak);
    // The weak sums are the peer's to choose: under a fixed hash it could
    // send sums that all fall into one run of slots, making every insert
    // and every miss walk the run. The slot comes from a mix of the sum
    // and a salt of this table's own instead.
    uint32_t slotOf(uint32_t weak) const {
        uint32_t h = weak ^ _salt;
        h ^= h >> 16;
        h *= 0x85EBCA6Bu;
        h ^= h >> 13;
        h *= 0xC2B2AE35u;
        h ^= h >> 16;
        return h >> _weakShift;
    }

    // Puts the blocks added since the last call in order: by bucket, then
    // weak sum and digest, one block per weak sum and digest (the first
    // added). Blocks sharing a bucket, or even a weak sum, are then found by
    // halving rather than by walking them: a file of repeated content, or a
    // peer sending such signatures, costs no more than any other.
    void order() const;

    std::vector<uint32_t> _weakSet;  // 0: empty slot
    unsigned _weakShift;
    uint32_t _salt;
    size_t _weakCount = 0;
    bool _zeroWeak = false;
    size_t _size;
    // Blocks in the order order() leaves them, from _ordered on as added.
    mutable std::vector<HashBlock> _blocks;
    mutable size_t _ordered = 0;
    // A bitmap over 20 bits mixed from the weak sums, to skip most lookups
    // (a file of a million blocks still leaves most of it clear).
    static const uint32_t kBitmapBits = 20;
    static uint32_t bitOf(uint32_t weak) { return (weak ^ (weak >> 12)) & ((1u << kBitmapBits) - 1); }
    unsigned char* _bits;
};

// The 32 lowercase hexadecimal digits of a 16-byte digest into out (33
// bytes, NUL-terminated).
void md5_digestToString(const unsigned char digest[16], char* out);
// The 16 bytes of a 32-digit text; false when it is anything else.
bool md5_stringToDigest(const char* text, unsigned char digest[16]);
// The MD5 digest of the next `length` bytes of a file, as 32 lowercase
// hexadecimal digits into out (33 bytes): SfsFile::md5sum for lengths of
// any size, read in pieces of at most `piece` bytes. A file that ends first
// gives the digest of what it held. 0, or -1 when a read fails.
const int kMd5Piece = 1 << 20;
int md5_file(SfsFile* file, long long length, char* out, int piece = kMd5Piece);

// The block size of a partial update for a file of `size` bytes: the
// integer square root, rounded up to a multiple of 64, kept within 1024 and
// 262144.
int ft_blockSize(long long size);

#endif
