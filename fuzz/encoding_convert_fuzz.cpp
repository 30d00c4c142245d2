// Arbitrary bytes through the character-set converter: the first byte picks
// the source set (or detection), the second the chunk size, the rest is the
// text. Whatever comes out must be well-formed UTF-8, split the same way
// whatever the chunking, and nothing may crash or leak.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/log.h"
#include "io/encoding_converter.h"

namespace {

const char* const kSets[] = {"*",         "UTF-8",    "UTF-16",  "UTF-16BE", "UTF-32",   "ISO-8859-1",
                             "Shift_JIS", "GB18030",  "EUC-JP",  "Big5",     "EUC-KR",   "ISO-2022-JP",
                             "UTF-7",     "SCSU",     "BOCU-1",  "windows-1252", "KOI8-R", "no-such-set"};

struct Sink : EncodingOutput {
    std::string text;
    int errors = 0;
    void fromConverter(const char* data, int count) override { text.append(data, static_cast<size_t>(count)); }
    void encodingError(const char*) override { errors++; }
};

// Strict UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool wellFormed(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (size_t k = 1; k <= n; k++) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// With pause, each chunk is taken as the end for now (a file still being
// written), twice over.
std::string run(const char* set, const uint8_t* data, size_t size, size_t chunk, int* errors, bool pause = false) {
    Sink sink;
    EncodingConverter converter(&sink, set);
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        converter.append(reinterpret_cast<const char*>(data + at), static_cast<int>(n));
        if (pause) {
            converter.pause();
            converter.pause();
        }
    }
    converter.finish();
    *errors = sink.errors;
    return sink.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        setLog("");
        setLogDir("");
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    const char* set = kSets[data[0] % (sizeof kSets / sizeof kSets[0])];
    size_t chunk = 1 + data[1] % 64;
    data += 2;
    size -= 2;

    int errors = 0;
    std::string chunked = run(set, data, size, chunk, &errors);
    if (!wellFormed(chunked)) abort();
    int pausedErrors = 0;
    if (!wellFormed(run(set, data, size, chunk, &pausedErrors, true))) abort();
    // Stateless sets convert the same in one piece as in many. Detection may
    // judge a shorter first chunk differently, and stateful sets may differ
    // in how they substitute a sequence broken by a chunk edge, so only
    // these are compared.
    if (set[0] != '*' && strcmp(set, "ISO-2022-JP") != 0 && strcmp(set, "UTF-7") != 0 && strcmp(set, "SCSU") != 0 &&
        strcmp(set, "BOCU-1") != 0) {
        int wholeErrors = 0;
        std::string whole = run(set, data, size, size == 0 ? 1 : size, &wholeErrors);
        if (whole != chunked || wholeErrors != errors) abort();
    }
    return 0;
}
