// The rolling checksum, the block table, digests as text and block sizes.
#include <gtest/gtest.h>
#include <openssl/md5.h>
#include <time.h>
#include <zlib.h>

#include <array>
#include <random>
#include <set>

#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_filesum.h"
#include "ft/ft_md5x8.h"
#include "ft/ft_sync.h"

TEST(FtChecksum, SeedOneIsAdler32AndRollingMatchesRecomputing) {
    std::mt19937 gen(7);
    std::vector<unsigned char> data(100000);
    for (auto& b : data) b = static_cast<unsigned char>(gen());
    // With A starting at 1 the sum is zlib's Adler-32.
    EXPECT_EQ(adler32(1, data.data(), static_cast<uInt>(data.size())), adler_checksum(1, data.data(), data.size()));
    // Lengths around the 32-byte steps and the 5552-byte runs, unaligned,
    // and bytes at their largest (the sums closest to overflowing).
    std::vector<unsigned char> full(20000, 0xff);
    for (size_t n : {0, 1, 31, 32, 33, 63, 95, 5551, 5552, 5553, 11104, 11137, 19999}) {
        EXPECT_EQ(adler32(1, data.data() + 3, static_cast<uInt>(n)), adler_checksum(1, data.data() + 3, n)) << n;
        EXPECT_EQ(adler32(1, full.data(), static_cast<uInt>(n)), adler_checksum(1, full.data(), n)) << n;
    }
    for (uint32_t seed : {0u, 1u, 0x12345u, 0xffffffffu}) {
        const size_t n = 1024;
        uint32_t sum = adler_checksum(seed, data.data(), n);
        for (size_t pos = 0; pos + n < 5000; pos++) {
            sum = adler_roll(sum, seed, n, data[pos], data[pos + n]);
            ASSERT_EQ(adler_checksum(seed, data.data() + pos + 1, n), sum) << "seed " << seed << " pos " << pos;
        }
    }
    MemoryFile f(data.data(), data.size());
    uint32_t fromFile = 0;
    ASSERT_EQ(0, adler_sum(&f, 99, 70000, &fromFile));
    EXPECT_EQ(adler_checksum(99, data.data(), 70000), fromFile);
    EXPECT_EQ(-1, adler_sum(&f, 99, 70000, &fromFile));  // only 30000 left
}

TEST(FtChecksum, SeedsStepThroughDistinctValues) {
    std::set<uint32_t> low;
    for (int i = 0; i < 16; i++) low.insert(adler_reseed() & 0xffffu);
    EXPECT_EQ(16u, low.size());
}

TEST(FtChecksum, HashTableNeedsWeakAndStrongToMatch) {
    HashTable table(7);
    unsigned char d1[16], d2[16];
    MD5(reinterpret_cast<const unsigned char*>("one"), 3, d1);
    MD5(reinterpret_cast<const unsigned char*>("two"), 3, d2);
    table.add(0, 1000, d1);
    table.add(5, 1007, d2);  // same bucket (modulo 7)
    table.add(9, 1000, d1);  // a duplicate block: the first stays
    EXPECT_EQ(2u, table.count());
    ASSERT_NE(nullptr, table.find(1000, d1));
    EXPECT_EQ(0, table.find(1000, d1)->block);
    EXPECT_EQ(5, table.find(1007, d2)->block);
    EXPECT_EQ(nullptr, table.find(1000, d2));
    EXPECT_EQ(nullptr, table.find(1007, d1));
    EXPECT_TRUE(table.hasWeak(1007));
    EXPECT_FALSE(table.hasWeak(1014));
    EXPECT_FALSE(table.hasWeak(0));
}

TEST(FtChecksum, DigestTextAndBlockSizes) {
    unsigned char d[16];
    MD5(reinterpret_cast<const unsigned char*>(""), 0, d);
    char text[33];
    md5_digestToString(d, text);
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", text);
    unsigned char back[16];
    ASSERT_TRUE(md5_stringToDigest("D41D8CD98F00B204E9800998ECF8427E", back));
    EXPECT_EQ(0, memcmp(d, back, 16));
    EXPECT_FALSE(md5_stringToDigest("d41d8cd98f00b204e9800998ecf8427", back));
    EXPECT_FALSE(md5_stringToDigest("g41d8cd98f00b204e9800998ecf8427e", back));

    EXPECT_EQ(3200, ft_blockSize(10000000));
    EXPECT_EQ(1024, ft_blockSize(100));
    EXPECT_EQ(1024, ft_blockSize(0));
    EXPECT_EQ(262144, ft_blockSize(1000000000000LL));
    EXPECT_EQ(32768, ft_blockSize(1LL << 30));
}

namespace {

std::string md5Of(const std::vector<unsigned char>& data, size_t n) {
    unsigned char d[16];
    MD5(data.data(), n, d);
    char text[33];
    md5_digestToString(d, text);
    return text;
}

}  // namespace

// A file's digest is taken over every piece of the length asked for, not
// only the first one that a single read call can take: the engine digests
// files of any size with the pieces a megabyte each; small pieces here
// stand for that limit.
TEST(FtChecksum, FileDigestCoversTheWholeLengthInPieces) {
    std::mt19937 gen(11);
    std::vector<unsigned char> data(10007);
    for (auto& b : data) b = static_cast<unsigned char>(gen());
    char out[33];
    for (int piece : {1, 7, 4096, 10007, 1 << 20}) {
        MemoryFile f(data.data(), data.size());
        ASSERT_EQ(0, md5_file(&f, static_cast<long long>(data.size()), out, piece)) << piece;
        EXPECT_EQ(md5Of(data, data.size()), out) << piece;
        EXPECT_EQ(static_cast<long long>(data.size()), f.position()) << piece;
    }
    // From the current position, for the length asked; a file that ends
    // first gives the digest of what it held.
    MemoryFile part(data.data(), data.size());
    ASSERT_EQ(0, md5_file(&part, 5000, out, 4096));
    EXPECT_EQ(md5Of(data, 5000), out);
    EXPECT_EQ(5000, part.position());
    MemoryFile longer(data.data(), data.size());
    ASSERT_EQ(0, md5_file(&longer, 1LL << 33, out, 4096));
    EXPECT_EQ(md5Of(data, data.size()), out);
    MemoryFile empty;
    ASSERT_EQ(0, md5_file(&empty, 0, out));
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", out);
    // A read that fails in a later piece fails the digest.
    MemoryFile failing(data.data(), data.size());
    failing.failReadsFrom(6000);
    EXPECT_EQ(-1, md5_file(&failing, static_cast<long long>(data.size()), out, 4096));
}

TEST(FtChecksum, SignaturesCoverEveryBlockWithAShortLast) {
    std::string data(2500, 'q');
    data[2400] = 'z';
    MemoryFile f(data.data(), data.size());
    std::vector<FtBlockSignature> sigs;
    ASSERT_EQ(0, ft_computeSignatures(&f, 2500, 1024, 5, &sigs));
    ASSERT_EQ(3u, sigs.size());
    EXPECT_EQ(sigs[0].weak, sigs[1].weak);
    EXPECT_EQ(adler_checksum(5, reinterpret_cast<const unsigned char*>(data.data()) + 2048, 452), sigs[2].weak);
    MemoryFile shortFile(data.data(), 100);
    sigs.clear();
    EXPECT_EQ(-1, ft_computeSignatures(&shortFile, 2500, 1024, 5, &sigs));
}

TEST(FtChecksum, DigestsTakenSideBySideAreEachRangesMd5) {
    std::mt19937 gen(9);
    std::vector<unsigned char> data(40 * 4100);
    for (unsigned char& c : data) c = static_cast<unsigned char>(gen());
    // Lengths around the padding's edges (55/56/64), and counts that fill
    // the lanes, leave some over, or fall short of them.
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, 4099}) {
        const unsigned char* lanes[40];
        for (int i = 0; i < 40; i++) lanes[i] = data.data() + 4100 * i + (i % 3);
        unsigned char want[40][16];
        for (int i = 0; i < 40; i++) MD5(lanes[i], n, want[i]);
        unsigned char got[40][16];
        ft_md5x8(lanes, n, got);
        for (int i = 0; i < 8; i++) EXPECT_EQ(0, memcmp(want[i], got[i], 16)) << "length " << n << ", lane " << i;
        for (size_t count : {1, 2, 7, 8, 9, 15, 16, 17, 40}) {
            memset(got, 0, sizeof got);
            ft_md5Many(lanes, count, n, got);
            for (size_t i = 0; i < count; i++)
                EXPECT_EQ(0, memcmp(want[i], got[i], 16)) << "length " << n << ", count " << count << ", lane " << i;
        }
    }
}

TEST(FtFileSum, DependsOnTheBytesOnlyNotOnHowTheyWereCut) {
    std::mt19937 gen(11);
    std::string data(300000, '\0');
    for (char& c : data) c = static_cast<char>(gen());
    auto sumOf = [](const std::string& s, size_t maxPiece, bool vectorised, unsigned seed) {
        std::mt19937 cut(seed);
        FtFileSum sum(vectorised);
        for (size_t at = 0; at < s.size();) {
            size_t n = std::min<size_t>(s.size() - at, cut() % maxPiece);
            sum.update(s.data() + at, n);
            at += n;
        }
        std::string out(FtFileSum::kLength, '\0');
        sum.final(reinterpret_cast<unsigned char*>(&out[0]));
        return out;
    };
    std::set<std::string> seen;
    // Lengths around the 64-byte stripes and the 1024-byte rounds.
    for (size_t n : {0, 1, 63, 64, 65, 1023, 1024, 1025, 4096, 300000}) {
        const std::string s = data.substr(0, n);
        const std::string whole = sumOf(s, 1 << 20, true, 1);
        EXPECT_EQ(whole, sumOf(s, 100, true, 2)) << n;
        EXPECT_EQ(whole, sumOf(s, 3, false, 3)) << n;
        EXPECT_TRUE(seen.insert(whole).second) << n;
    }
    // A zero added at the end, or one bit flipped anywhere, changes it.
    const std::string s = data.substr(0, 5000);
    EXPECT_TRUE(seen.insert(sumOf(s + std::string(1, '\0'), 1 << 20, true, 1)).second);
    for (size_t bit = 0; bit < s.size() * 8; bit += 997) {
        std::string flipped = s;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_TRUE(seen.insert(sumOf(flipped, 1 << 20, true, 1)).second) << bit;
    }
}

// Blocks that share one weak sum (a file of repeated content, or a peer
// that sends such signatures on purpose) are added and found in time that
// grows with their number, not with its square; the first of equal blocks
// still wins.
TEST(FtChecksum, HashTableWithOneWeakSumForManyBlocksStaysFast) {
    const int kBlocks = 100000;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    HashTable table(static_cast<size_t>(kBlocks) * 2 + 1);
    std::vector<std::array<unsigned char, 16>> digests(kBlocks);
    for (int i = 0; i < kBlocks; i++) {
        MD5(reinterpret_cast<const unsigned char*>(&i), sizeof i, digests[i].data());
        table.add(i, 12345, digests[i].data());
    }
    // Again, in reverse: every block is already there.
    for (int i = kBlocks - 1; i >= 0; i--) table.add(kBlocks + i, 12345, digests[i].data());
    EXPECT_EQ(static_cast<size_t>(kBlocks), table.count());
    for (int i = 0; i < kBlocks; i++) {
        const HashBlock* hit = table.find(12345, digests[i].data());
        ASSERT_NE(nullptr, hit) << i;
        ASSERT_EQ(i, hit->block);
        ASSERT_EQ(nullptr, table.find(12346, digests[i].data()));
    }
    unsigned char other[16] = {1, 2, 3};
    EXPECT_EQ(nullptr, table.find(12345, other));
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(end.tv_sec - start.tv_sec, 30);
}

// Weak sums a peer picks so that a plain multiplicative hash sends them all
// to one run of slots (multiples of the multiplier's inverse) are looked up
// in time that grows with their number, not with its square.
TEST(FtChecksum, HashTableOfCraftedWeakSumsStaysFast) {
    const uint32_t kMultiplier = 0x9E3779B1u;
    uint32_t inverse = kMultiplier;  // Newton: each step doubles the good bits
    for (int i = 0; i < 5; i++) inverse *= 2 - kMultiplier * inverse;
    ASSERT_EQ(1u, kMultiplier * inverse);
    const uint32_t kBlocks = 200000;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    HashTable table(static_cast<size_t>(kBlocks) * 2 + 1);
    unsigned char digest[16] = {};
    // The weak sums' own table grows under them; a weak sum of zero is one
    // of them, and the sums between them stay absent.
    for (uint32_t k = 0; k <= kBlocks; k++) table.add(static_cast<int32_t>(k), k * inverse, digest);
    for (uint32_t k = 0; k <= kBlocks; k++) {
        ASSERT_TRUE(table.hasWeak(k * inverse)) << k;
        ASSERT_FALSE(table.hasWeak((kBlocks + 1 + k) * inverse)) << k;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(end.tv_sec - start.tv_sec, 30);
}
