// CSVScanner against a byte-at-a-time search: every stop and every
// character count, wherever the stops fall in and across 64-byte blocks,
// with the cached block reused by walks that go on from one stop to the next.
#include "csv/csv_scan.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace {

// The reference: the first stop at or after from, and the characters before it.
size_t naiveFind(const std::string& text, size_t from, bool quoted, unsigned char quote, unsigned char sep,
                 int* chars) {
    size_t i = from;
    for (; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == quote || c == '\n' || (!quoted && (c == sep || c == '\r'))) break;
        *chars += (c & 0xC0) != 0x80;
    }
    return i;
}

std::string randomText(uint32_t& seed, size_t length, bool sparse) {
    // Continuation bytes, lead bytes and the stops, among plain letters
    // (mostly letters when sparse, so that stops are blocks apart).
    static const unsigned char kBytes[] = {'"', ',', '\r', '\n', ';', 0xC3, 0xA9, 0x80, 0xBF, 0xF0, 0x9F, 0xFF};
    std::string text;
    for (size_t i = 0; i < length; i++) {
        seed = seed * 1103515245 + 12345;
        unsigned r = (seed >> 16) % (sparse ? 200 : 24);
        text += r < sizeof kBytes ? static_cast<char>(kBytes[r]) : static_cast<char>('a' + r % 26);
    }
    return text;
}

}  // namespace

TEST(CSVScanner, FindsWhatAByteByByteSearchFinds) {
    uint32_t seed = 7;
    for (int round = 0; round < 300; round++) {
        const bool sparse = round % 2 == 1;
        const std::string text = randomText(seed, static_cast<size_t>(round % 150) * 3, sparse);
        const unsigned char* base = reinterpret_cast<const unsigned char*>(text.data());
        const unsigned char* end = base + text.size();
        const unsigned char sep = round % 3 == 0 ? ';' : ',';
        // From every start, in both modes, with a fresh block each time.
        for (size_t from = 0; from <= text.size(); from++) {
            for (bool quoted : {false, true}) {
                CSVScanner scanner('"', sep);
                int chars = 5, want = 5;
                size_t at = static_cast<size_t>(scanner.find(base + from, end, quoted, &chars) - base);
                ASSERT_EQ(at, naiveFind(text, from, quoted, '"', sep, &want)) << round << " " << from << " " << quoted;
                ASSERT_EQ(chars, want) << round << " " << from << " " << quoted;
            }
        }
        // Walks from stop to stop, switching modes at quotes as a reader
        // does, through one scanner whose block is reused.
        for (int walk = 0; walk < 2; walk++) {
            CSVScanner scanner('"', sep);
            bool quoted = walk == 1;
            size_t p = 0;
            int chars = 0, want = 0;
            while (p < text.size()) {
                size_t at = static_cast<size_t>(scanner.find(base + p, end, quoted, &chars) - base);
                ASSERT_EQ(at, naiveFind(text, p, quoted, '"', sep, &want)) << round << " " << p;
                ASSERT_EQ(chars, want) << round << " " << p;
                if (at < text.size() && text[at] == '"') quoted = !quoted;
                p = at + 1;
            }
        }
    }
}
