// CSVScanner: the search for the next byte that may end a run of plain
// field text (a quote, a separator, a line end), shared by parseCSV and
// HyperCSV. Both readers spend most of their time here, so it looks at 16
// bytes at a time where SSE2 is there and counts the characters (UTF-8 lead
// and single bytes) it passes on the way, for the column counter.
//
// Thread-safety: an immutable value once built; use from any thread.
#ifndef DRV_CSV_CSV_SCAN_H
#define DRV_CSV_CSV_SCAN_H

#include <stddef.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// White space as the C locale's isspace has it, without the locale lookup.
inline bool csvIsBlank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

class CSVScanner {
public:
    // Stops at any of the count bytes in stops (1 to 4).
    CSVScanner(const unsigned char* stops, int count) {
        for (int i = 0; i < 4; i++) _stops[i] = stops[i < count ? i : count - 1];
        for (int i = 0; i < 256; i++) _table[i] = 0;
        for (int i = 0; i < 4; i++) _table[_stops[i]] = 1;
#ifdef __SSE2__
        for (int i = 0; i < 4; i++) _splat[i] = _mm_set1_epi8(static_cast<char>(_stops[i]));
#endif
    }

    // The first position in [p, end) holding a stop byte, or end. The
    // characters before it are added to *chars (a text may hold more than
    // 2^31 of them).
    const unsigned char* find(const unsigned char* p, const unsigned char* end, long long* chars) const {
        long long n = 0;
#ifdef __SSE2__
        const __m128i s0 = _splat[0], s1 = _splat[1], s2 = _splat[2], s3 = _splat[3];
        // Continuation bytes, 0x80 to 0xBF, are the signed bytes below -64.
        const __m128i cont = _mm_set1_epi8(-64);
        while (end - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, s0), _mm_cmpeq_epi8(v, s1)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, s2), _mm_cmpeq_epi8(v, s3)));
            unsigned stopMask = static_cast<unsigned>(_mm_movemask_epi8(hit));
            unsigned contMask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, cont)));
            if (stopMask != 0) {
                int at = __builtin_ctz(stopMask);
                n += at - bitCount(contMask & ((1u << at) - 1));
                *chars += n;
                return p + at;
            }
            n += 16 - bitCount(contMask);
            p += 16;
        }
#endif
        while (p < end && _table[*p] == 0) {
            n += (*p & 0xC0) != 0x80;
            p++;
        }
        *chars += n;
        return p;
    }

private:
    // Set bits of a 16-bit mask, without the library call that
    // __builtin_popcount becomes on a baseline x86-64 target.
    static int bitCount(unsigned x) {
        if (x == 0) return 0;
        x = x - ((x >> 1) & 0x5555u);
        x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
        x = (x + (x >> 4)) & 0x0F0Fu;
        return static_cast<int>((x + (x >> 8)) & 0x1Fu);
    }

#ifdef __SSE2__
    __m128i _splat[4];
#endif
    unsigned char _stops[4];
    unsigned char _table[256];
};

#endif
