#include "coms/wide_gcm.h"

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

// How the field arithmetic is laid out
//
// GCM's field is GF(2^128) modulo p(x) = x^128 + x^7 + x^2 + x + 1, with a
// block's first bit (the top bit of its first byte) the coefficient of x^0.
// A block loaded into a register and byte-reversed therefore holds the
// coefficient of x^i in bit 127 - i: the "reflected" form, in which a plain
// carry-less product of two elements comes out shifted by one and
// reflected over 256 bits.
//
// The product is folded back to 128 bits in two steps (y below stands for
// one bit position up), each of which moves the lowest 64 bits up by 128
// (their weight times x^-128) and adds them times y^63 + y^62 + y^57
// (0xc2 << 56) at 64 bits higher: together a multiplication by
// x^-128 (1 + x + x^2 + x^7) = 1. What is left, read
// as a reflected element, is the product times x. Keeping the key powers
// divided by x (H^i x^-1) cancels that, so that one multiplication and one
// reduction give a * H^i exactly.
//
// Sixteen blocks are hashed at once, Y' = (Y + X1) H^16 + X2 H^15 + ...
// + X16 H: products summed unreduced and reduced once.

#define DRV_WIDE __attribute__((target("avx512f,avx512bw,avx512vl,vaes,vpclmulqdq,aes,pclmul,ssse3")))
// The short loops over the four vectors and the ten rounds are unrolled
// even at -O2: only then do the vectors stay in registers.
#define DRV_UNROLL _Pragma("GCC unroll 16")

namespace {

const uint64_t kPolyHigh = 0xc200000000000000ULL;

DRV_WIDE inline __m128i xor3(__m128i a, __m128i b, __m128i c) { return _mm_ternarylogic_epi64(a, b, c, 0x96); }
DRV_WIDE inline __m512i xor3(__m512i a, __m512i b, __m512i c) { return _mm512_ternarylogic_epi64(a, b, c, 0x96); }

// The masked forms of broadcast and extract (and of the cast to 256 bits,
// an extract), with every lane selected: GCC 12's plain forms start from a
// deliberately undefined register, which its own -Wuninitialized reports.
DRV_WIDE inline __m512i broadcast(__m128i lane) { return _mm512_maskz_broadcast_i32x4(0xffff, lane); }

DRV_WIDE inline __m128i byteSwapMask() {
    return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// The 256-bit product lo + mi y^64 + hi y^128 folded to an element.
DRV_WIDE inline __m128i reduce(__m128i lo, __m128i mi, __m128i hi) {
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(kPolyHigh), 1);
    mi = xor3(mi, _mm_clmulepi64_si128(lo, poly, 0x10), _mm_shuffle_epi32(lo, 0x4e));
    return xor3(hi, _mm_clmulepi64_si128(mi, poly, 0x10), _mm_shuffle_epi32(mi, 0x4e));
}

DRV_WIDE inline __m128i multiply(__m128i a, __m128i b) {
    __m128i mi = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x01), _mm_clmulepi64_si128(a, b, 0x10));
    return reduce(_mm_clmulepi64_si128(a, b, 0x00), mi, _mm_clmulepi64_si128(a, b, 0x11));
}

DRV_WIDE inline __m128i foldLanes(__m512i v) {
    __m256i half =
        _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(0xff, v, 0), _mm512_maskz_extracti64x4_epi64(0xff, v, 1));
    return _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
}

// The byte mask for the vector at off into a buffer of len bytes.
inline __mmask64 bytesFrom(size_t off, size_t len) {
    return len - off >= 64 ? ~0ULL : (1ULL << (len - off)) - 1;
}

// Unreduced products of four blocks by four key powers, added to lo, mi, hi.
DRV_WIDE inline void multiplyAdd(__m512i x, __m512i h, __m512i* lo, __m512i* mi, __m512i* hi) {
    *lo = _mm512_xor_si512(*lo, _mm512_clmulepi64_epi128(x, h, 0x00));
    *mi = xor3(*mi, _mm512_clmulepi64_epi128(x, h, 0x01), _mm512_clmulepi64_epi128(x, h, 0x10));
    *hi = _mm512_xor_si512(*hi, _mm512_clmulepi64_epi128(x, h, 0x11));
}

// What the hot loops keep in registers.
struct Wide {
    __m512i roundKeys[11];
    __m512i powers[4];  // H^16..H^13, H^12..H^9, H^8..H^5, H^4..H^1
    __m512i swap;

    DRV_WIDE explicit Wide(const WideGcmKey& key) {
        DRV_UNROLL for (int i = 0; i < 11; i++)
            roundKeys[i] = broadcast(_mm_load_si128(reinterpret_cast<const __m128i*>(key.roundKeys[i])));
        DRV_UNROLL for (int i = 0; i < 4; i++) powers[i] = _mm512_load_si512(key.hPowers[4 * i]);
        swap = broadcast(byteSwapMask());
    }

    // The key stream for the sixteen counter blocks, four vectors' rounds
    // interleaved.
    DRV_WIDE void keyStream(const __m512i counters[4], __m512i stream[4]) const {
        DRV_UNROLL for (int i = 0; i < 4; i++)
            stream[i] = _mm512_xor_si512(_mm512_shuffle_epi8(counters[i], swap), roundKeys[0]);
        DRV_UNROLL for (int r = 1; r < 10; r++)
            DRV_UNROLL for (int i = 0; i < 4; i++) stream[i] = _mm512_aesenc_epi128(stream[i], roundKeys[r]);
        DRV_UNROLL for (int i = 0; i < 4; i++) stream[i] = _mm512_aesenclast_epi128(stream[i], roundKeys[10]);
    }

    // Y for sixteen whole blocks, already byte-swapped.
    DRV_WIDE __m128i hash16(__m128i y, const __m512i x[4]) const {
        __m512i lo = _mm512_setzero_si512(), mi = lo, hi = lo;
        multiplyAdd(_mm512_xor_si512(x[0], _mm512_zextsi128_si512(y)), powers[0], &lo, &mi, &hi);
        DRV_UNROLL for (int i = 1; i < 4; i++) multiplyAdd(x[i], powers[i], &lo, &mi, &hi);
        return reduce(foldLanes(lo), foldLanes(mi), foldLanes(hi));
    }
};

// Y for 1 to 256 bytes, the last block padded with zeros.
DRV_WIDE __m128i hashTail(const WideGcmKey& key, const Wide& w, __m128i y, const uint8_t* data, size_t len) {
    size_t blocks = (len + 15) / 16;
    const uint8_t* power = key.hPowers[16 - blocks];
    __m512i lo = _mm512_setzero_si512(), mi = lo, hi = lo;
    for (size_t off = 0; off < len; off += 64, power += 64) {
        __mmask64 mask = bytesFrom(off, len);
        __m512i x = _mm512_shuffle_epi8(_mm512_maskz_loadu_epi8(mask, data + off), w.swap);
        if (off == 0) x = _mm512_xor_si512(x, _mm512_zextsi128_si512(y));
        multiplyAdd(x, _mm512_loadu_si512(power), &lo, &mi, &hi);
    }
    return reduce(foldLanes(lo), foldLanes(mi), foldLanes(hi));
}

DRV_WIDE __m128i hashBytes(const WideGcmKey& key, const Wide& w, __m128i y, const uint8_t* data, size_t len) {
    for (; len >= 256; data += 256, len -= 256) {
        __m512i x[4];
        DRV_UNROLL for (int i = 0; i < 4; i++) x[i] = _mm512_shuffle_epi8(_mm512_loadu_si512(data + 64 * i), w.swap);
        y = w.hash16(y, x);
    }
    return len > 0 ? hashTail(key, w, y, data, len) : y;
}

DRV_WIDE __m128i encryptBlock(const WideGcmKey& key, __m128i block) {
    const __m128i* rk = reinterpret_cast<const __m128i*>(key.roundKeys);
    block = _mm_xor_si128(block, _mm_load_si128(rk));
    for (int r = 1; r < 10; r++) block = _mm_aesenc_si128(block, _mm_load_si128(rk + r));
    return _mm_aesenclast_si128(block, _mm_load_si128(rk + 10));
}

// The counter block J0 = iv || 1, and the counters of the first sixteen
// data blocks (J0 + 1 onwards) four to a vector. All are byte-swapped, so
// that the 32-bit counter is the lowest lane and counts up with a plain
// vector add (wrapping within 32 bits as GCM's inc32 does).
DRV_WIDE __m128i startCounters(const uint8_t iv[kWideGcmIvBytes], __m512i counters[4]) {
    uint8_t block[16];
    memcpy(block, iv, 12);
    block[12] = block[13] = block[14] = 0;
    block[15] = 1;
    __m128i j0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), byteSwapMask());
    __m512i base = broadcast(j0);
    DRV_UNROLL for (int i = 0; i < 4; i++) {
        int first = 4 * i + 1;
        counters[i] = _mm512_add_epi32(base, _mm512_set_epi32(0, 0, 0, first + 3, 0, 0, 0, first + 2, 0, 0, 0,
                                                              first + 1, 0, 0, 0, first));
    }
    return j0;
}

// The sixteen counter blocks (four to a vector) in use, moved on to the
// next sixteen.
DRV_WIDE inline void nextCounters(__m512i counters[4]) {
    const __m512i sixteen = _mm512_set_epi32(0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 16);
    DRV_UNROLL for (int i = 0; i < 4; i++) counters[i] = _mm512_add_epi32(counters[i], sixteen);
}

// Encrypts (or decrypts: it is the same) the last 1 to 255 bytes with the
// next counters, reading them from in and writing them to out.
DRV_WIDE void cryptTail(const Wide& w, const __m512i counters[4], const uint8_t* in, size_t len, uint8_t* out) {
    __m512i stream[4];
    w.keyStream(counters, stream);
    for (size_t i = 0, off = 0; off < len; i++, off += 64) {
        __mmask64 mask = bytesFrom(off, len);
        _mm512_mask_storeu_epi8(out + off, mask, _mm512_xor_si512(stream[i], _mm512_maskz_loadu_epi8(mask, in + off)));
    }
}

DRV_WIDE void finishTag(const WideGcmKey& key, __m128i y, __m128i j0, size_t aadLen, size_t len, uint8_t tag[16]) {
    __m128i lengths = _mm_set_epi64x(static_cast<long long>(aadLen * 8), static_cast<long long>(len * 8));
    y = multiply(_mm_xor_si128(y, lengths), _mm_load_si128(reinterpret_cast<const __m128i*>(key.hPowers[15])));
    __m128i mask = encryptBlock(key, _mm_shuffle_epi8(j0, byteSwapMask()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tag), _mm_xor_si128(_mm_shuffle_epi8(y, byteSwapMask()), mask));
}

#define DRV_EXPAND(i, rcon)                                                           \
    do {                                                                              \
        __m128i gen = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, rcon), 0xff);   \
        k = _mm_xor_si128(k, _mm_slli_si128(k, 4));                                   \
        k = _mm_xor_si128(k, _mm_slli_si128(k, 4));                                   \
        k = _mm_xor_si128(k, _mm_slli_si128(k, 4));                                   \
        k = _mm_xor_si128(k, gen);                                                    \
        _mm_store_si128(reinterpret_cast<__m128i*>(key->roundKeys[i]), k);            \
    } while (0)

DRV_WIDE void setKeyWide(WideGcmKey* key, const uint8_t raw[16]) {
    __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw));
    _mm_store_si128(reinterpret_cast<__m128i*>(key->roundKeys[0]), k);
    DRV_EXPAND(1, 0x01);
    DRV_EXPAND(2, 0x02);
    DRV_EXPAND(3, 0x04);
    DRV_EXPAND(4, 0x08);
    DRV_EXPAND(5, 0x10);
    DRV_EXPAND(6, 0x20);
    DRV_EXPAND(7, 0x40);
    DRV_EXPAND(8, 0x80);
    DRV_EXPAND(9, 0x1b);
    DRV_EXPAND(10, 0x36);
#undef DRV_EXPAND

    // H = E(0), reflected, then divided by x: a shift up by one bit, and
    // where the x^0 coefficient (bit 127) falls off, x^-1 = x^127 + x^6 +
    // x + 1 added back in.
    __m128i h = _mm_shuffle_epi8(encryptBlock(*key, _mm_setzero_si128()), byteSwapMask());
    uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(h));
    uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(h, 1));
    bool carry = (hi >> 63) != 0;
    hi = (hi << 1) | (lo >> 63);
    lo <<= 1;
    if (carry) {
        hi ^= kPolyHigh;
        lo ^= 1;
    }
    __m128i power = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    const __m128i h1 = power;
    memset(key->hPowers, 0, sizeof(key->hPowers));
    for (int i = 15; i >= 0; i--) {
        _mm_store_si128(reinterpret_cast<__m128i*>(key->hPowers[i]), power);
        power = multiply(power, h1);
    }
}

DRV_WIDE void sealWide(const WideGcmKey& key, const uint8_t iv[12], const uint8_t* aad, size_t aadLen,
                       const uint8_t* in, size_t len, uint8_t* out, uint8_t tag[16]) {
    const Wide w(key);
    __m512i counters[4];
    __m128i j0 = startCounters(iv, counters);
    __m128i y = hashBytes(key, w, _mm_setzero_si128(), aad, aadLen);

    // Each pass encrypts sixteen blocks and hashes the sixteen before, so
    // that the two chains of instructions run side by side.
    size_t done = 0;
    __m512i previous[4];
    bool havePrevious = false;
    for (; len - done >= 256; done += 256) {
        __m512i stream[4];
        w.keyStream(counters, stream);
        if (havePrevious) y = w.hash16(y, previous);
        DRV_UNROLL for (int i = 0; i < 4; i++) {
            __m512i c = _mm512_xor_si512(stream[i], _mm512_loadu_si512(in + done + 64 * i));
            _mm512_storeu_si512(out + done + 64 * i, c);
            previous[i] = _mm512_shuffle_epi8(c, w.swap);
        }
        havePrevious = true;
        nextCounters(counters);
    }
    if (havePrevious) y = w.hash16(y, previous);
    if (done < len) {
        cryptTail(w, counters, in + done, len - done, out + done);
        y = hashTail(key, w, y, out + done, len - done);
    }
    finishTag(key, y, j0, aadLen, len, tag);
}

DRV_WIDE bool openWide(const WideGcmKey& key, const uint8_t iv[12], const uint8_t* aad, size_t aadLen,
                       const uint8_t* in, size_t len, uint8_t* out, const uint8_t tag[16]) {
    const Wide w(key);
    __m512i counters[4];
    __m128i j0 = startCounters(iv, counters);
    __m128i y = hashBytes(key, w, _mm_setzero_si128(), aad, aadLen);

    // The ciphertext is hashed as it is decrypted: both read the same
    // registers and neither waits for the other.
    size_t done = 0;
    for (; len - done >= 256; done += 256) {
        __m512i c[4], x[4];
        DRV_UNROLL for (int i = 0; i < 4; i++) {
            c[i] = _mm512_loadu_si512(in + done + 64 * i);
            x[i] = _mm512_shuffle_epi8(c[i], w.swap);
        }
        __m512i stream[4];
        w.keyStream(counters, stream);
        y = w.hash16(y, x);
        DRV_UNROLL for (int i = 0; i < 4; i++)
            _mm512_storeu_si512(out + done + 64 * i, _mm512_xor_si512(stream[i], c[i]));
        nextCounters(counters);
    }
    if (done < len) {
        y = hashTail(key, w, y, in + done, len - done);
        cryptTail(w, counters, in + done, len - done, out + done);
    }
    uint8_t expected[16];
    finishTag(key, y, j0, aadLen, len, expected);
    uint8_t difference = 0;
    for (int i = 0; i < 16; i++) difference |= static_cast<uint8_t>(expected[i] ^ tag[i]);
    if (difference != 0) {
        memset(out, 0, len);
        return false;
    }
    return true;
}

bool detectWide() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const unsigned osxsave = 1u << 27, aesni = 1u << 25, pclmul = 1u << 1;
    if ((c & (osxsave | aesni | pclmul)) != (osxsave | aesni | pclmul)) return false;
    // The kernel must save and restore the vector state: SSE, AVX and the
    // three AVX-512 parts (mask registers, upper halves, upper sixteen).
    unsigned xcrLow, xcrHigh;
    __asm__("xgetbv" : "=a"(xcrLow), "=d"(xcrHigh) : "c"(0));
    if ((xcrLow & 0xe6) != 0xe6) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const unsigned avx512f = 1u << 16, avx512bw = 1u << 30, avx512vl = 1u << 31;
    const unsigned vaes = 1u << 9, vpclmulqdq = 1u << 10;
    return (b & (avx512f | avx512bw | avx512vl)) == (avx512f | avx512bw | avx512vl) &&
           (c & (vaes | vpclmulqdq)) == (vaes | vpclmulqdq);
}

}  // namespace

bool wideGcmAvailable() {
    static const bool available = detectWide();
    return available;
}

void wideGcmSetKey(WideGcmKey* key, const uint8_t raw[kWideGcmKeyBytes]) { setKeyWide(key, raw); }

void wideGcmSeal(const WideGcmKey& key, const uint8_t iv[kWideGcmIvBytes], const uint8_t* aad, size_t aadLen,
                 const uint8_t* in, size_t len, uint8_t* out, uint8_t tag[kWideGcmTagBytes]) {
    sealWide(key, iv, aad, aadLen, in, len, out, tag);
}

bool wideGcmOpen(const WideGcmKey& key, const uint8_t iv[kWideGcmIvBytes], const uint8_t* aad, size_t aadLen,
                 const uint8_t* in, size_t len, uint8_t* out, const uint8_t tag[kWideGcmTagBytes]) {
    return openWide(key, iv, aad, aadLen, in, len, out, tag);
}
