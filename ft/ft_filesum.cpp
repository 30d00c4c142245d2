#include "ft/ft_filesum.h"

#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The key: 48 words from splitmix64. Stripe s of a round mixes words s to
// s + 7 into the lanes; words 24 to 31 scramble the lanes after each
// round; 32 to 47 finish the two halves.
struct Key {
    uint64_t w[48];
    constexpr Key() : w() {
        uint64_t x = 0x6a09e667f3bcc908ULL;
        for (int i = 0; i < 48; i++) {
            x += 0x9e3779b97f4a7c15ULL;
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            w[i] = z ^ (z >> 31);
        }
    }
};
constexpr Key kKey;
const uint64_t kScramblePrime = 0x9E3779B1ULL;

uint64_t load64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// Every lane takes its word's keyed product and its neighbour's word
// (which keeps the word's own bits where the product loses them).
void stripeScalar(uint64_t acc[8], const unsigned char* p, unsigned s) {
    for (int i = 0; i < 8; i++) {
        uint64_t d = load64(p + 8 * i);
        uint64_t k = d ^ kKey.w[s + i];
        acc[i ^ 1] += d;
        acc[i] += (k & 0xffffffffULL) * (k >> 32);
    }
}

void scrambleScalar(uint64_t acc[8]) {
    for (int i = 0; i < 8; i++) {
        uint64_t a = acc[i];
        a ^= a >> 47;
        a ^= kKey.w[24 + i];
        acc[i] = a * kScramblePrime;
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void stripesAvx2(uint64_t acc[8], const unsigned char* p, size_t count,
                                                 unsigned* stripe, int perRound) {
    __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc));
    __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 4));
    const __m256i prime = _mm256_set1_epi64x(static_cast<long long>(kScramblePrime));
    unsigned s = *stripe;
    for (size_t c = 0; c < count; c++, p += 64) {
        __m256i d0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i d1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        __m256i k0 = _mm256_xor_si256(d0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kKey.w + s)));
        __m256i k1 = _mm256_xor_si256(d1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kKey.w + s + 4)));
        a0 = _mm256_add_epi64(a0, _mm256_mul_epu32(k0, _mm256_srli_epi64(k0, 32)));
        a1 = _mm256_add_epi64(a1, _mm256_mul_epu32(k1, _mm256_srli_epi64(k1, 32)));
        // The neighbour's word: the two 64-bit halves of each 128-bit lane swapped.
        a0 = _mm256_add_epi64(a0, _mm256_shuffle_epi32(d0, _MM_SHUFFLE(1, 0, 3, 2)));
        a1 = _mm256_add_epi64(a1, _mm256_shuffle_epi32(d1, _MM_SHUFFLE(1, 0, 3, 2)));
        if (++s == static_cast<unsigned>(perRound)) {
            s = 0;
            __m256i* lanes[2] = {&a0, &a1};
            for (int h = 0; h < 2; h++) {
                __m256i a = *lanes[h];
                a = _mm256_xor_si256(a, _mm256_srli_epi64(a, 47));
                a = _mm256_xor_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kKey.w + 24 + 4 * h)));
                // a * prime modulo 2^64, from two 32 x 32 products.
                __m256i lo = _mm256_mul_epu32(a, prime);
                __m256i hi = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), prime);
                *lanes[h] = _mm256_add_epi64(lo, _mm256_slli_epi64(hi, 32));
            }
        }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc), a0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc + 4), a1);
    *stripe = s;
}

bool haveAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

void stripesScalar(uint64_t acc[8], const unsigned char* p, size_t count, unsigned* stripe, int perRound) {
    for (size_t c = 0; c < count; c++, p += 64) {
        stripeScalar(acc, p, *stripe);
        if (++*stripe == static_cast<unsigned>(perRound)) {
            *stripe = 0;
            scrambleScalar(acc);
        }
    }
}

uint64_t fold(uint64_t a, uint64_t b) {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

uint64_t avalanche(uint64_t h) {
    h ^= h >> 37;
    h *= 0x165667919E3779F9ULL;
    return h ^ (h >> 32);
}

}  // namespace

FtFileSum::FtFileSum(bool vectorised) : _vector(vectorised) {
#if defined(__x86_64__)
    _vector = vectorised && haveAvx2();
#else
    _vector = false;
#endif
    reset();
}

void FtFileSum::reset() {
    static const uint64_t kStart[8] = {0xC2B2AE3DULL,         0x9E3779B185EBCA87ULL, 0xC2B2AE3D27D4EB4FULL,
                                       0x165667B19E3779F9ULL, 0x85EBCA77C2B2AE63ULL, 0x85EBCA77ULL,
                                       0x27D4EB2F165667C5ULL, 0x9E3779B1ULL};
    memcpy(_acc, kStart, sizeof(_acc));
    _partialLength = 0;
    _stripe = 0;
    _length = 0;
}

void FtFileSum::stripes(const unsigned char* p, size_t count) {
#if defined(__x86_64__)
    if (_vector) {
        stripesAvx2(_acc, p, count, &_stripe, kStripesPerRound);
        return;
    }
#endif
    stripesScalar(_acc, p, count, &_stripe, kStripesPerRound);
}

void FtFileSum::update(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    _length += n;
    if (_partialLength > 0) {
        size_t take = kStripe - _partialLength < n ? kStripe - _partialLength : n;
        memcpy(_partial + _partialLength, p, take);
        _partialLength += take;
        p += take;
        n -= take;
        if (_partialLength < kStripe) return;
        stripes(_partial, 1);
        _partialLength = 0;
    }
    size_t whole = n / kStripe;
    if (whole > 0) stripes(p, whole);
    p += whole * kStripe;
    n -= whole * kStripe;
    memcpy(_partial, p, n);
    _partialLength = n;
}

void FtFileSum::final(unsigned char out[kLength]) const {
    uint64_t acc[8];
    memcpy(acc, _acc, sizeof(acc));
    if (_partialLength > 0) {
        // The last bytes, padded with zeros; the length tells them apart.
        unsigned char last[kStripe] = {};
        memcpy(last, _partial, _partialLength);
        unsigned stripe = _stripe;
        stripesScalar(acc, last, 1, &stripe, kStripesPerRound);
    }
    uint64_t lo = _length * 0x9E3779B185EBCA87ULL;
    uint64_t hi = ~_length * 0xC2B2AE3D27D4EB4FULL;
    for (int i = 0; i < 8; i += 2) {
        lo += fold(acc[i] ^ kKey.w[32 + i], acc[i + 1] ^ kKey.w[33 + i]);
        hi += fold(acc[i] ^ kKey.w[40 + i], acc[i + 1] ^ kKey.w[41 + i]);
    }
    lo = avalanche(lo);
    hi = avalanche(hi + lo);
    for (int i = 0; i < 8; i++) {
        out[i] = static_cast<unsigned char>(hi >> (56 - 8 * i));
        out[8 + i] = static_cast<unsigned char>(lo >> (56 - 8 * i));
    }
}
