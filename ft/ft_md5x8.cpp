#include "ft/ft_md5x8.h"

#include <openssl/md5.h>
#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

void oneByOne(const unsigned char* const data[8], size_t n, unsigned char out[8][16]) {
    for (int i = 0; i < 8; i++) MD5(data[i], n, out[i]);
}

#if defined(__x86_64__)

#define ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32((x), (s)), _mm256_srli_epi32((x), 32 - (s)))
#define FF(b, c, d) _mm256_or_si256(_mm256_and_si256((b), (c)), _mm256_andnot_si256((b), (d)))
#define GG(b, c, d) _mm256_or_si256(_mm256_and_si256((b), (d)), _mm256_andnot_si256((d), (c)))
#define HH(b, c, d) _mm256_xor_si256(_mm256_xor_si256((b), (c)), (d))
#define II(b, c, d) _mm256_xor_si256((c), _mm256_or_si256((b), _mm256_xor_si256((d), ones)))
#define STEP(f, a, b, c, d, k, t, s)                                                                  \
    a = _mm256_add_epi32(a, _mm256_add_epi32(f##f((b), (c), (d)),                                     \
                                             _mm256_add_epi32(x[k], _mm256_set1_epi32((int)(t))))); \
    a = _mm256_add_epi32((b), ROTL(a, s));

// One 64-byte chunk of each lane: chunk[i] points at lane i's chunk.
__attribute__((target("avx2"))) void chunk8(__m256i state[4], const unsigned char* const chunk[8]) {
    const __m256i ones = _mm256_set1_epi32(-1);
    __m256i x[16];
    for (int w = 0; w < 16; w++) {
        uint32_t v[8];
        for (int l = 0; l < 8; l++) memcpy(&v[l], chunk[l] + 4 * w, 4);
        x[w] = _mm256_set_epi32((int)v[7], (int)v[6], (int)v[5], (int)v[4], (int)v[3], (int)v[2], (int)v[1],
                                (int)v[0]);
    }
    __m256i a = state[0], b = state[1], c = state[2], d = state[3];
    STEP(F, a, b, c, d, 0, 0xd76aa478u, 7);
    STEP(F, d, a, b, c, 1, 0xe8c7b756u, 12);
    STEP(F, c, d, a, b, 2, 0x242070dbu, 17);
    STEP(F, b, c, d, a, 3, 0xc1bdceeeu, 22);
    STEP(F, a, b, c, d, 4, 0xf57c0fafu, 7);
    STEP(F, d, a, b, c, 5, 0x4787c62au, 12);
    STEP(F, c, d, a, b, 6, 0xa8304613u, 17);
    STEP(F, b, c, d, a, 7, 0xfd469501u, 22);
    STEP(F, a, b, c, d, 8, 0x698098d8u, 7);
    STEP(F, d, a, b, c, 9, 0x8b44f7afu, 12);
    STEP(F, c, d, a, b, 10, 0xffff5bb1u, 17);
    STEP(F, b, c, d, a, 11, 0x895cd7beu, 22);
    STEP(F, a, b, c, d, 12, 0x6b901122u, 7);
    STEP(F, d, a, b, c, 13, 0xfd987193u, 12);
    STEP(F, c, d, a, b, 14, 0xa679438eu, 17);
    STEP(F, b, c, d, a, 15, 0x49b40821u, 22);
    STEP(G, a, b, c, d, 1, 0xf61e2562u, 5);
    STEP(G, d, a, b, c, 6, 0xc040b340u, 9);
    STEP(G, c, d, a, b, 11, 0x265e5a51u, 14);
    STEP(G, b, c, d, a, 0, 0xe9b6c7aau, 20);
    STEP(G, a, b, c, d, 5, 0xd62f105du, 5);
    STEP(G, d, a, b, c, 10, 0x02441453u, 9);
    STEP(G, c, d, a, b, 15, 0xd8a1e681u, 14);
    STEP(G, b, c, d, a, 4, 0xe7d3fbc8u, 20);
    STEP(G, a, b, c, d, 9, 0x21e1cde6u, 5);
    STEP(G, d, a, b, c, 14, 0xc33707d6u, 9);
    STEP(G, c, d, a, b, 3, 0xf4d50d87u, 14);
    STEP(G, b, c, d, a, 8, 0x455a14edu, 20);
    STEP(G, a, b, c, d, 13, 0xa9e3e905u, 5);
    STEP(G, d, a, b, c, 2, 0xfcefa3f8u, 9);
    STEP(G, c, d, a, b, 7, 0x676f02d9u, 14);
    STEP(G, b, c, d, a, 12, 0x8d2a4c8au, 20);
    STEP(H, a, b, c, d, 5, 0xfffa3942u, 4);
    STEP(H, d, a, b, c, 8, 0x8771f681u, 11);
    STEP(H, c, d, a, b, 11, 0x6d9d6122u, 16);
    STEP(H, b, c, d, a, 14, 0xfde5380cu, 23);
    STEP(H, a, b, c, d, 1, 0xa4beea44u, 4);
    STEP(H, d, a, b, c, 4, 0x4bdecfa9u, 11);
    STEP(H, c, d, a, b, 7, 0xf6bb4b60u, 16);
    STEP(H, b, c, d, a, 10, 0xbebfbc70u, 23);
    STEP(H, a, b, c, d, 13, 0x289b7ec6u, 4);
    STEP(H, d, a, b, c, 0, 0xeaa127fau, 11);
    STEP(H, c, d, a, b, 3, 0xd4ef3085u, 16);
    STEP(H, b, c, d, a, 6, 0x04881d05u, 23);
    STEP(H, a, b, c, d, 9, 0xd9d4d039u, 4);
    STEP(H, d, a, b, c, 12, 0xe6db99e5u, 11);
    STEP(H, c, d, a, b, 15, 0x1fa27cf8u, 16);
    STEP(H, b, c, d, a, 2, 0xc4ac5665u, 23);
    STEP(I, a, b, c, d, 0, 0xf4292244u, 6);
    STEP(I, d, a, b, c, 7, 0x432aff97u, 10);
    STEP(I, c, d, a, b, 14, 0xab9423a7u, 15);
    STEP(I, b, c, d, a, 5, 0xfc93a039u, 21);
    STEP(I, a, b, c, d, 12, 0x655b59c3u, 6);
    STEP(I, d, a, b, c, 3, 0x8f0ccc92u, 10);
    STEP(I, c, d, a, b, 10, 0xffeff47du, 15);
    STEP(I, b, c, d, a, 1, 0x85845dd1u, 21);
    STEP(I, a, b, c, d, 8, 0x6fa87e4fu, 6);
    STEP(I, d, a, b, c, 15, 0xfe2ce6e0u, 10);
    STEP(I, c, d, a, b, 6, 0xa3014314u, 15);
    STEP(I, b, c, d, a, 13, 0x4e0811a1u, 21);
    STEP(I, a, b, c, d, 4, 0xf7537e82u, 6);
    STEP(I, d, a, b, c, 11, 0xbd3af235u, 10);
    STEP(I, c, d, a, b, 2, 0x2ad7d2bbu, 15);
    STEP(I, b, c, d, a, 9, 0xeb86d391u, 21);
    state[0] = _mm256_add_epi32(state[0], a);
    state[1] = _mm256_add_epi32(state[1], b);
    state[2] = _mm256_add_epi32(state[2], c);
    state[3] = _mm256_add_epi32(state[3], d);
}

__attribute__((target("avx2"))) void lanes8(const unsigned char* const data[8], size_t n, unsigned char out[8][16]) {
    __m256i state[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32((int)0xefcdab89u),
                        _mm256_set1_epi32((int)0x98badcfeu), _mm256_set1_epi32(0x10325476)};
    const unsigned char* chunk[8];
    size_t whole = n / 64;
    for (size_t c = 0; c < whole; c++) {
        for (int l = 0; l < 8; l++) chunk[l] = data[l] + 64 * c;
        chunk8(state, chunk);
    }
    // The tail, the 0x80 byte, zeros and the length in bits: one or two
    // chunks, the same shape in every lane.
    size_t rest = n % 64;
    size_t tailChunks = rest < 56 ? 1 : 2;
    unsigned char tail[8][128];
    uint64_t bits = static_cast<uint64_t>(n) * 8;
    for (int l = 0; l < 8; l++) {
        memset(tail[l], 0, sizeof tail[l]);
        memcpy(tail[l], data[l] + 64 * whole, rest);
        tail[l][rest] = 0x80;
        for (int i = 0; i < 8; i++) tail[l][64 * tailChunks - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    for (size_t c = 0; c < tailChunks; c++) {
        for (int l = 0; l < 8; l++) chunk[l] = tail[l] + 64 * c;
        chunk8(state, chunk);
    }
    uint32_t words[4][8];
    for (int r = 0; r < 4; r++) _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[r]), state[r]);
    for (int l = 0; l < 8; l++)
        for (int r = 0; r < 4; r++) memcpy(out[l] + 4 * r, &words[r][l], 4);
}

#endif

}  // namespace

bool ft_md5x8Fast() {
#if defined(__x86_64__)
    static const bool fast = __builtin_cpu_supports("avx2");
    return fast;
#else
    return false;
#endif
}

void ft_md5x8(const unsigned char* const data[8], size_t n, unsigned char out[8][16]) {
#if defined(__x86_64__)
    if (ft_md5x8Fast()) {
        lanes8(data, n, out);
        return;
    }
#endif
    oneByOne(data, n, out);
}
