#include "ft/ft_checksum.h"

#include <openssl/md5.h>
#include <stdlib.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>

#include "dirbase/sfs.h"

namespace {

// Seeds: sixteen odd values spread over the 32-bit range, so that the low
// 16 bits (the only part that enters the sum) differ between all of them.
const uint32_t kSeeds[16] = {0x0000a5f1u, 0x3c6e1b47u, 0x71d2c3a9u, 0x9e3779b9u, 0x2545f491u, 0x6a09e667u,
                             0xbb67ae85u, 0x3c6ef372u, 0xa54ff53bu, 0x510e527fu, 0x9b05688du, 0x1f83d9abu,
                             0x5be0cd19u, 0xcbbb9d5du, 0x629a292au, 0x9159015au};
std::atomic<uint32_t> _seed{kSeeds[0]};
std::atomic<unsigned> _seedIndex{0};

}  // namespace

namespace {

// The sums over n bytes (n small enough that nothing overflows), one byte at
// a time.
void adlerScalar(uint32_t* a, uint32_t* b, const unsigned char* data, size_t n) {
    uint32_t x = *a;
    uint32_t y = *b;
    while (n-- > 0) {
        x += *data++;
        y += x;
    }
    *a = x;
    *b = y;
}

#if defined(__x86_64__)
// The same 32 bytes at a time: over a chunk, A grows by the bytes' sum and B
// by 32 times the A it started with plus the bytes weighted 32 down to 1.
__attribute__((target("avx2"))) void adlerAvx2(uint32_t* a, uint32_t* b, const unsigned char* data, size_t n) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weights = _mm256_set_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                            22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32);
    const __m256i ones = _mm256_set1_epi16(1);
    size_t chunks = n / 32;
    __m256i sums = zero;      // bytes summed, four 64-bit lanes
    __m256i earlier = zero;   // sums as they stood before each chunk, added up
    __m256i weighted = zero;  // weighted bytes, eight 32-bit lanes
    for (size_t c = 0; c < chunks; c++) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * c));
        earlier = _mm256_add_epi64(earlier, sums);
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(v, zero));
        weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
    }
    uint64_t s[4], e[4];
    uint32_t w[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(s), sums);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(e), earlier);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(w), weighted);
    uint64_t sum = s[0] + s[1] + s[2] + s[3];
    uint64_t before = e[0] + e[1] + e[2] + e[3];
    uint64_t wsum = static_cast<uint64_t>(w[0]) + w[1] + w[2] + w[3] + w[4] + w[5] + w[6] + w[7];
    uint64_t y = *b + static_cast<uint64_t>(chunks) * 32 * *a + 32 * before + wsum;
    uint64_t x = *a + sum;
    *a = static_cast<uint32_t>(x % ADLER_MOD);
    *b = static_cast<uint32_t>(y % ADLER_MOD);
    adlerScalar(a, b, data + 32 * chunks, n % 32);
}

bool haveAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

uint32_t adler_checksum(uint32_t seed, const unsigned char* data, size_t n) {
    return adler_continue((seed & 0xffffu) % ADLER_MOD, data, n);
}

uint32_t adler_continue(uint32_t sum, const unsigned char* data, size_t n) {
    uint32_t a = (sum & 0xffffu) % ADLER_MOD;
    uint32_t b = (sum >> 16) % ADLER_MOD;
    while (n > 0) {
        // 5552 is the longest run for which the sums cannot overflow 32 bits.
        size_t run = n < 5552 ? n : 5552;
#if defined(__x86_64__)
        if (haveAvx2())
            adlerAvx2(&a, &b, data, run);
        else
#endif
            adlerScalar(&a, &b, data, run);
        data += run;
        n -= run;
        a %= ADLER_MOD;
        b %= ADLER_MOD;
    }
    return (b << 16) | a;
}

uint32_t adler_roll(uint32_t sum, uint32_t seed, size_t n, unsigned char out, unsigned char in) {
    const uint64_t m = ADLER_MOD;
    uint64_t a = sum & 0xffffu;
    uint64_t b = sum >> 16;
    uint64_t s = (seed & 0xffffu) % m;
    a = (a + m - out + in) % m;
    uint64_t sub = ((n % m) * out + s) % m;
    b = (b + m - sub + a) % m;
    return static_cast<uint32_t>((b << 16) | a);
}

int adler_sum(SfsFile* file, uint32_t seed, long long length, uint32_t* sum) {
    uint32_t a = (seed & 0xffffu) % ADLER_MOD;
    uint32_t b = 0;
    char buf[1024];
    while (length > 0) {
        int want = length < static_cast<long long>(sizeof buf) ? static_cast<int>(length) : static_cast<int>(sizeof buf);
        int got = file->read(buf, want);
        if (got <= 0) return -1;
        for (int i = 0; i < got; i++) {
            a += static_cast<unsigned char>(buf[i]);
            b += a;
        }
        a %= ADLER_MOD;
        b %= ADLER_MOD;
        length -= got;
    }
    *sum = (b << 16) | a;
    return 0;
}

uint32_t adler_getSeed() { return _seed.load(); }
void adler_setSeed(uint32_t seed) { _seed.store(seed); }
uint32_t adler_reseed() {
    unsigned i = (_seedIndex.fetch_add(1) + 1) % 16;
    _seed.store(kSeeds[i]);
    return kSeeds[i];
}

HashTable::HashTable(size_t size)
    : _weakSet(64), _weakShift(32 - 6), _salt(std::random_device()()), _size(size == 0 ? 1 : size > 0xffffffffu ? 0xffffffffu : size) {
    _bits = static_cast<unsigned char*>(calloc(1u << (kBitmapBits - 3), 1));
}

HashTable::~HashTable() { free(_bits); }

namespace {

// The order of blocks in the table: bucket, weak sum, digest.
struct BlockKey {
    uint32_t size;
    bool operator()(const HashBlock& x, const HashBlock& y) const {
        const uint32_t bx = x.weak % size, by = y.weak % size;
        if (bx != by) return bx < by;
        if (x.weak != y.weak) return x.weak < y.weak;
        return memcmp(x.digest, y.digest, 16) < 0;
    }
};

}  // namespace

void HashTable::add(int32_t block, uint32_t weak, const unsigned char digest[16]) {
    HashBlock b;
    b.block = block;
    b.weak = weak;
    memcpy(b.digest, digest, 16);
    _blocks.push_back(b);
    _bits[bitOf(weak) >> 3] |= static_cast<unsigned char>(1u << (bitOf(weak) & 7u));
    insertWeak(weak);
}

void HashTable::order() const {
    if (_ordered == _blocks.size()) return;
    const BlockKey key{static_cast<uint32_t>(_size)};
    // Stable, so that of equal blocks the one added first comes first and
    // stays.
    std::stable_sort(_blocks.begin(), _blocks.end(), key);
    auto same = [&key](const HashBlock& x, const HashBlock& y) { return !key(x, y) && !key(y, x); };
    _blocks.erase(std::unique(_blocks.begin(), _blocks.end(), same), _blocks.end());
    _ordered = _blocks.size();
}

size_t HashTable::count() const {
    order();
    return _blocks.size();
}

bool HashTable::scanWeak(uint32_t weak) const {
    if (weak == 0) return _zeroWeak;
    const uint32_t mask = static_cast<uint32_t>(_weakSet.size() - 1);
    for (uint32_t i = slotOf(weak);; i = (i + 1) & mask) {
        if (_weakSet[i] == weak) return true;
        if (_weakSet[i] == 0) return false;
    }
}

void HashTable::insertWeak(uint32_t weak) {
    if (weak == 0) {
        _zeroWeak = true;
        return;
    }
    // At most a quarter full, so that a miss ends at once.
    if (4 * (_weakCount + 1) > _weakSet.size()) {
        std::vector<uint32_t> old(2 * _weakSet.size(), 0);
        old.swap(_weakSet);
        _weakShift--;
        _weakCount = 0;
        for (uint32_t w : old)
            if (w != 0) insertWeak(w);
    }
    const uint32_t mask = static_cast<uint32_t>(_weakSet.size() - 1);
    for (uint32_t i = slotOf(weak);; i = (i + 1) & mask) {
        if (_weakSet[i] == weak) return;
        if (_weakSet[i] == 0) {
            _weakSet[i] = weak;
            _weakCount++;
            return;
        }
    }
}

const HashBlock* HashTable::find(uint32_t weak, const unsigned char digest[16]) const {
    if ((_bits[bitOf(weak) >> 3] & (1u << (bitOf(weak) & 7u))) == 0) return nullptr;
    order();
    HashBlock probe;
    probe.block = 0;
    probe.weak = weak;
    memcpy(probe.digest, digest, 16);
    const BlockKey key{static_cast<uint32_t>(_size)};
    auto it = std::lower_bound(_blocks.begin(), _blocks.end(), probe, key);
    if (it == _blocks.end() || it->weak != weak || memcmp(it->digest, digest, 16) != 0) return nullptr;
    return &*it;
}

void md5_digestToString(const unsigned char digest[16], char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    out[32] = '\0';
}

int md5_file(SfsFile* file, long long length, char* out, int piece) {
    if (piece <= 0) piece = kMd5Piece;
    std::vector<char> buf(static_cast<size_t>(std::min<long long>(piece, length > 0 ? length : 1)));
    MD5_CTX ctx;
    MD5_Init(&ctx);
    while (length > 0) {
        int want = static_cast<int>(std::min<long long>(length, static_cast<long long>(buf.size())));
        int got = file->read(buf.data(), want);
        if (got < 0) return -1;
        if (got == 0) break;
        MD5_Update(&ctx, buf.data(), static_cast<size_t>(got));
        length -= got;
    }
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    md5_digestToString(digest, out);
    return 0;
}

bool md5_stringToDigest(const char* text, unsigned char digest[16]) {
    if (text == nullptr || strlen(text) != 32) return false;
    for (int i = 0; i < 32; i++) {
        char c = text[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) return false;
        if (i % 2 == 0)
            digest[i / 2] = static_cast<unsigned char>(v << 4);
        else
            digest[i / 2] |= static_cast<unsigned char>(v);
    }
    return true;
}

int ft_blockSize(long long size) {
    if (size <= 0) return 1024;
    long long r = static_cast<long long>(std::sqrt(static_cast<double>(size)));
    while (r * r > size) r--;
    while ((r + 1) * (r + 1) <= size) r++;
    r = (r + 63) / 64 * 64;
    if (r < 1024) r = 1024;
    if (r > 262144) r = 262144;
    return static_cast<int>(r);
}
