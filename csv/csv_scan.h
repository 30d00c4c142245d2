// CSVScanner: the search for the next byte that may end a run of plain
// field text, shared by parseCSV and HyperCSV. Outside quotes that is a
// quote, a separator or a line end; inside quotes only a quote or a
// newline. Both readers spend most of their time here.
//
// The scanner classifies 64 bytes at a time into bit masks (one bit per
// byte: stops outside quotes, stops inside quotes, UTF-8 continuation
// bytes) and keeps the masks of the block it looked at last, so the many
// short fields of one block cost a shift and a bit search each rather than
// a fresh scan. It counts the characters (UTF-8 lead and single bytes) it
// passes, for the column counter.
//
// The cached block is only valid while the bytes under it stay as they
// were: a caller that moves or refills its buffer calls reset() first.
//
// Thread-safety: none; each reader uses its own scanner.
#ifndef DRV_CSV_CSV_SCAN_H
#define DRV_CSV_CSV_SCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// White space as the C locale's isspace has it, without the locale lookup.
inline bool csvIsBlank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

class CSVScanner {
public:
    static constexpr int kBlock = 64;

    // quote and separator: the first bytes of the quote and separator
    // characters (a multi-byte one is then confirmed by the caller).
    CSVScanner(unsigned char quote, unsigned char separator) : _quote(quote), _sep(separator) {
        for (int i = 0; i < 256; i++) _kind[i] = 0;
        _kind[static_cast<unsigned char>('\r')] |= kPlainStop;
        _kind[static_cast<unsigned char>('\n')] |= kPlainStop | kQuotedStop;
        _kind[separator] |= kPlainStop;
        _kind[quote] |= kPlainStop | kQuotedStop;
    }

    // Forgets the cached block: the bytes under it are about to change.
    void reset() { _base = nullptr; }

    // The first position in [p, end) holding a stop byte (of the quoted or
    // the plain kind), or end. The characters before it are added to *chars.
    const unsigned char* find(const unsigned char* p, const unsigned char* end, bool quoted, int* chars) {
        int n = 0;
        for (;;) {
            if (_base == nullptr || p < _base || p >= _base + kBlock) {
                if (end - p < kBlock) break;
                load(p);
            }
            const unsigned off = static_cast<unsigned>(p - _base);
            const uint64_t stops = (quoted ? _quotedStops : _plainStops) >> off;
            const uint64_t cont = _cont >> off;
            if (stops != 0) {
                const int at = __builtin_ctzll(stops);
                n += at;
                // at is below 64 - off here, so the shift is defined.
                if (cont != 0) n -= bitCount(cont & ((uint64_t{1} << at) - 1));
                *chars += n;
                return p + at;
            }
            n += kBlock - static_cast<int>(off) - bitCount(cont);
            p = _base + kBlock;
        }
        // The tail, shorter than a block, a byte at a time.
        const unsigned char mask = quoted ? kQuotedStop : kPlainStop;
        while (p < end && (_kind[*p] & mask) == 0) {
            n += (*p & 0xC0) != 0x80;
            p++;
        }
        *chars += n;
        return p;
    }

private:
    static constexpr unsigned char kPlainStop = 1;
    static constexpr unsigned char kQuotedStop = 2;

    // Set bits of a 64-bit mask, without the library call that
    // __builtin_popcountll becomes on a baseline x86-64 target.
    static int bitCount(uint64_t x) {
        if (x == 0) return 0;
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<int>((x * 0x0101010101010101ull) >> 56);
    }

    // Classifies the kBlock bytes at p (all readable) into the masks.
    void load(const unsigned char* p) {
        _base = p;
#ifdef __SSE2__
        const __m128i q = _mm_set1_epi8(static_cast<char>(_quote));
        const __m128i s = _mm_set1_epi8(static_cast<char>(_sep));
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        // Continuation bytes, 0x80 to 0xBF, are the signed bytes below -64.
        const __m128i contLimit = _mm_set1_epi8(-64);
        uint64_t plain = 0, quoted = 0, cont = 0;
        for (int i = 0; i < kBlock; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i inQuotes = _mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, lf));
            const __m128i outside = _mm_or_si128(inQuotes, _mm_or_si128(_mm_cmpeq_epi8(v, s), _mm_cmpeq_epi8(v, cr)));
            quoted |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(inQuotes))) << i;
            plain |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(outside))) << i;
            cont |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, contLimit)))) << i;
        }
        _plainStops = plain;
        _quotedStops = quoted;
        _cont = cont;
#else
        _plainStops = _quotedStops = _cont = 0;
        for (int i = 0; i < kBlock; i++) {
            const uint64_t bit = uint64_t{1} << i;
            if (_kind[p[i]] & kPlainStop) _plainStops |= bit;
            if (_kind[p[i]] & kQuotedStop) _quotedStops |= bit;
            if ((p[i] & 0xC0) == 0x80) _cont |= bit;
        }
#endif
    }

    unsigned char _quote;
    unsigned char _sep;
    // The cached block: kBlock bytes at _base, or none.
    const unsigned char* _base = nullptr;
    uint64_t _plainStops = 0;
    uint64_t _quotedStops = 0;
    uint64_t _cont = 0;
    unsigned char _kind[256];
};

#endif
