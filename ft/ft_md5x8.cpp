#include "ft/ft_md5x8.h"

#include <openssl/md5.h>
#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The 64 steps of MD5: function, the four registers in turn, message word,
// additive constant and rotation.
#define MD5_STEPS(S) \
    S(F, a, b, c, d, 0, 0xd76aa478u, 7) \
    S(F, d, a, b, c, 1, 0xe8c7b756u, 12) \
    S(F, c, d, a, b, 2, 0x242070dbu, 17) \
    S(F, b, c, d, a, 3, 0xc1bdceeeu, 22) \
    S(F, a, b, c, d, 4, 0xf57c0fafu, 7) \
    S(F, d, a, b, c, 5, 0x4787c62au, 12) \
    S(F, c, d, a, b, 6, 0xa8304613u, 17) \
    S(F, b, c, d, a, 7, 0xfd469501u, 22) \
    S(F, a, b, c, d, 8, 0x698098d8u, 7) \
    S(F, d, a, b, c, 9, 0x8b44f7afu, 12) \
    S(F, c, d, a, b, 10, 0xffff5bb1u, 17) \
    S(F, b, c, d, a, 11, 0x895cd7beu, 22) \
    S(F, a, b, c, d, 12, 0x6b901122u, 7) \
    S(F, d, a, b, c, 13, 0xfd987193u, 12) \
    S(F, c, d, a, b, 14, 0xa679438eu, 17) \
    S(F, b, c, d, a, 15, 0x49b40821u, 22) \
    S(G, a, b, c, d, 1, 0xf61e2562u, 5) \
    S(G, d, a, b, c, 6, 0xc040b340u, 9) \
    S(G, c, d, a, b, 11, 0x265e5a51u, 14) \
    S(G, b, c, d, a, 0, 0xe9b6c7aau, 20) \
    S(G, a, b, c, d, 5, 0xd62f105du, 5) \
    S(G, d, a, b, c, 10, 0x02441453u, 9) \
    S(G, c, d, a, b, 15, 0xd8a1e681u, 14) \
    S(G, b, c, d, a, 4, 0xe7d3fbc8u, 20) \
    S(G, a, b, c, d, 9, 0x21e1cde6u, 5) \
    S(G, d, a, b, c, 14, 0xc33707d6u, 9) \
    S(G, c, d, a, b, 3, 0xf4d50d87u, 14) \
    S(G, b, c, d, a, 8, 0x455a14edu, 20) \
    S(G, a, b, c, d, 13, 0xa9e3e905u, 5) \
    S(G, d, a, b, c, 2, 0xfcefa3f8u, 9) \
    S(G, c, d, a, b, 7, 0x676f02d9u, 14) \
    S(G, b, c, d, a, 12, 0x8d2a4c8au, 20) \
    S(H, a, b, c, d, 5, 0xfffa3942u, 4) \
    S(H, d, a, b, c, 8, 0x8771f681u, 11) \
    S(H, c, d, a, b, 11, 0x6d9d6122u, 16) \
    S(H, b, c, d, a, 14, 0xfde5380cu, 23) \
    S(H, a, b, c, d, 1, 0xa4beea44u, 4) \
    S(H, d, a, b, c, 4, 0x4bdecfa9u, 11) \
    S(H, c, d, a, b, 7, 0xf6bb4b60u, 16) \
    S(H, b, c, d, a, 10, 0xbebfbc70u, 23) \
    S(H, a, b, c, d, 13, 0x289b7ec6u, 4) \
    S(H, d, a, b, c, 0, 0xeaa127fau, 11) \
    S(H, c, d, a, b, 3, 0xd4ef3085u, 16) \
    S(H, b, c, d, a, 6, 0x04881d05u, 23) \
    S(H, a, b, c, d, 9, 0xd9d4d039u, 4) \
    S(H, d, a, b, c, 12, 0xe6db99e5u, 11) \
    S(H, c, d, a, b, 15, 0x1fa27cf8u, 16) \
    S(H, b, c, d, a, 2, 0xc4ac5665u, 23) \
    S(I, a, b, c, d, 0, 0xf4292244u, 6) \
    S(I, d, a, b, c, 7, 0x432aff97u, 10) \
    S(I, c, d, a, b, 14, 0xab9423a7u, 15) \
    S(I, b, c, d, a, 5, 0xfc93a039u, 21) \
    S(I, a, b, c, d, 12, 0x655b59c3u, 6) \
    S(I, d, a, b, c, 3, 0x8f0ccc92u, 10) \
    S(I, c, d, a, b, 10, 0xffeff47du, 15) \
    S(I, b, c, d, a, 1, 0x85845dd1u, 21) \
    S(I, a, b, c, d, 8, 0x6fa87e4fu, 6) \
    S(I, d, a, b, c, 15, 0xfe2ce6e0u, 10) \
    S(I, c, d, a, b, 6, 0xa3014314u, 15) \
    S(I, b, c, d, a, 13, 0x4e0811a1u, 21) \
    S(I, a, b, c, d, 4, 0xf7537e82u, 6) \
    S(I, d, a, b, c, 11, 0xbd3af235u, 10) \
    S(I, c, d, a, b, 2, 0x2ad7d2bbu, 15) \
    S(I, b, c, d, a, 9, 0xeb86d391u, 21)

void oneByOne(const unsigned char* const* data, size_t count, size_t n, unsigned char (*out)[16]) {
    for (size_t i = 0; i < count; i++) MD5(data[i], n, out[i]);
}

// The tail of an n-byte message (its last n % 64 bytes, the 0x80 byte, zeros
// and the length in bits) into one or two 64-byte chunks at tail; returns
// the number of chunks.
size_t makeTail(const unsigned char* data, size_t n, unsigned char tail[128]) {
    size_t whole = n / 64;
    size_t rest = n % 64;
    size_t chunks = rest < 56 ? 1 : 2;
    uint64_t bits = static_cast<uint64_t>(n) * 8;
    memset(tail, 0, 128);
    memcpy(tail, data + 64 * whole, rest);
    tail[rest] = 0x80;
    for (int i = 0; i < 8; i++) tail[64 * chunks - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    return chunks;
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
    MD5_STEPS(STEP)
    state[0] = _mm256_add_epi32(state[0], a);
    state[1] = _mm256_add_epi32(state[1], b);
    state[2] = _mm256_add_epi32(state[2], c);
    state[3] = _mm256_add_epi32(state[3], d);
}

#undef ROTL
#undef FF
#undef GG
#undef HH
#undef II
#undef STEP

__attribute__((target("avx2"))) void lanes8(const unsigned char* const data[8], size_t n, unsigned char out[8][16]) {
    __m256i state[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32((int)0xefcdab89u),
                        _mm256_set1_epi32((int)0x98badcfeu), _mm256_set1_epi32(0x10325476)};
    const unsigned char* chunk[8];
    size_t whole = n / 64;
    for (size_t c = 0; c < whole; c++) {
        for (int l = 0; l < 8; l++) chunk[l] = data[l] + 64 * c;
        chunk8(state, chunk);
    }
    // The tail has the same shape in every lane.
    unsigned char tail[8][128];
    size_t tailChunks = 0;
    for (int l = 0; l < 8; l++) tailChunks = makeTail(data[l], n, tail[l]);
    for (size_t c = 0; c < tailChunks; c++) {
        for (int l = 0; l < 8; l++) chunk[l] = tail[l] + 64 * c;
        chunk8(state, chunk);
    }
    uint32_t words[4][8];
    for (int r = 0; r < 4; r++) _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[r]), state[r]);
    for (int l = 0; l < 8; l++)
        for (int r = 0; r < 4; r++) memcpy(out[l] + 4 * r, &words[r][l], 4);
}

// Sixteen lanes in the 32-bit slots of AVX-512 registers: the round
// functions are one three-input logic instruction each and the rotation one
// more, and the message words come from a 16 x 16 transposition of whole
// 64-byte loads.
#define TL(f, b, c, d) _mm512_ternarylogic_epi32((b), (c), (d), f)
#define FF16(b, c, d) TL(0xca, b, c, d)
#define GG16(b, c, d) TL(0xe4, b, c, d)
#define HH16(b, c, d) TL(0x96, b, c, d)
#define II16(b, c, d) TL(0x39, b, c, d)
#define STEP16(f, a, b, c, d, k, t, s)                                                                \
    a = _mm512_add_epi32(a, _mm512_add_epi32(f##f##16((b), (c), (d)),                                 \
                                             _mm512_add_epi32(x[k], _mm512_set1_epi32((int)(t))))); \
    a = _mm512_add_epi32((b), _mm512_rol_epi32(a, s));

// gcc 12 takes the placeholder operand of its own AVX-512 intrinsics
// (_mm512_undefined_epi32) for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
__attribute__((target("avx512f"))) void chunk16(__m512i state[4], const unsigned char* const chunk[16]) {
    __m512i r[16], t[16], x[16];
    for (int l = 0; l < 16; l++) r[l] = _mm512_loadu_si512(chunk[l]);
    // Lanes 4g to 4g + 3: t[4g + m] holds word 4k + m of those lanes in its
    // 128-bit block k.
    for (int g = 0; g < 16; g += 4) {
        __m512i lo01 = _mm512_unpacklo_epi32(r[g], r[g + 1]), hi01 = _mm512_unpackhi_epi32(r[g], r[g + 1]);
        __m512i lo23 = _mm512_unpacklo_epi32(r[g + 2], r[g + 3]), hi23 = _mm512_unpackhi_epi32(r[g + 2], r[g + 3]);
        t[g] = _mm512_unpacklo_epi64(lo01, lo23);
        t[g + 1] = _mm512_unpackhi_epi64(lo01, lo23);
        t[g + 2] = _mm512_unpacklo_epi64(hi01, hi23);
        t[g + 3] = _mm512_unpackhi_epi64(hi01, hi23);
    }
    // Then the 128-bit blocks into place: words m and 8 + m, 4 + m and 12 + m.
    __m512i v[16];
    for (int g = 0; g < 16; g += 8)
        for (int m = 0; m < 4; m++) {
            v[g + m] = _mm512_shuffle_i32x4(t[g + m], t[g + 4 + m], 0x88);
            v[g + 4 + m] = _mm512_shuffle_i32x4(t[g + m], t[g + 4 + m], 0xdd);
        }
    for (int j = 0; j < 8; j++) {
        x[j] = _mm512_shuffle_i32x4(v[j], v[8 + j], 0x88);
        x[8 + j] = _mm512_shuffle_i32x4(v[j], v[8 + j], 0xdd);
    }
    __m512i a = state[0], b = state[1], c = state[2], d = state[3];
    MD5_STEPS(STEP16)
    state[0] = _mm512_add_epi32(state[0], a);
    state[1] = _mm512_add_epi32(state[1], b);
    state[2] = _mm512_add_epi32(state[2], c);
    state[3] = _mm512_add_epi32(state[3], d);
}

#pragma GCC diagnostic pop

__attribute__((target("avx512f"))) void lanes16(const unsigned char* const data[16], size_t n,
                                                unsigned char (*out)[16]) {
    __m512i state[4] = {_mm512_set1_epi32(0x67452301), _mm512_set1_epi32((int)0xefcdab89u),
                        _mm512_set1_epi32((int)0x98badcfeu), _mm512_set1_epi32(0x10325476)};
    const unsigned char* chunk[16];
    size_t whole = n / 64;
    for (size_t c = 0; c < whole; c++) {
        for (int l = 0; l < 16; l++) chunk[l] = data[l] + 64 * c;
        chunk16(state, chunk);
    }
    unsigned char tail[16][128];
    size_t tailChunks = 0;
    for (int l = 0; l < 16; l++) tailChunks = makeTail(data[l], n, tail[l]);
    for (size_t c = 0; c < tailChunks; c++) {
        for (int l = 0; l < 16; l++) chunk[l] = tail[l] + 64 * c;
        chunk16(state, chunk);
    }
    uint32_t words[4][16];
    for (int r = 0; r < 4; r++) _mm512_storeu_si512(words[r], state[r]);
    for (int l = 0; l < 16; l++)
        for (int r = 0; r < 4; r++) memcpy(out[l] + 4 * r, &words[r][l], 4);
}

bool haveAvx512() {
    static const bool yes = __builtin_cpu_supports("avx512f");
    return yes;
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
    oneByOne(data, 8, n, out);
}

int ft_md5Width() {
#if defined(__x86_64__)
    if (haveAvx512()) return 16;
    if (ft_md5x8Fast()) return 8;
#endif
    return 1;
}

void ft_md5Many(const unsigned char* const* data, size_t count, size_t n, unsigned char (*out)[16]) {
#if defined(__x86_64__)
    const int width = ft_md5Width();
    // Lanes left over at the end repeat the last range when enough of them
    // are used to beat one digest at a time.
    auto group = [&](size_t lanes, size_t minUsed, void (*kernel)(const unsigned char* const*, size_t,
                                                                   unsigned char (*)[16])) {
        while (count >= minUsed) {
            size_t used = count < lanes ? count : lanes;
            const unsigned char* ptrs[16];
            unsigned char digests[16][16];
            for (size_t i = 0; i < lanes; i++) ptrs[i] = data[i < used ? i : used - 1];
            kernel(ptrs, n, digests);
            memcpy(out, digests, used * 16);
            data += used;
            out += used;
            count -= used;
        }
    };
    if (width >= 16) group(16, 9, lanes16);
    if (width >= 8)
        group(8, 3, [](const unsigned char* const* d, size_t len, unsigned char (*o)[16]) { lanes8(d, len, o); });
#endif
    oneByOne(data, count, n, out);
}
