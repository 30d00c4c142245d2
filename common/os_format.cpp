// Number formatting, string hashes, hex dumps and URL encoding.
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/os.h"

namespace {

const int kHexLineBytes = 32;
const char kHexDigits[] = "0123456789abcdef";

// One dump line: the bytes in hex, padded to a full line, then the bytes as
// characters with the unprintable ones shown as '.'. out holds 3 * 32 + 32 + 1.
void hexLine(char* out, const unsigned char* data, int count) {
    char* o = out;
    for (int i = 0; i < kHexLineBytes; i++) {
        if (i < count) {
            *o++ = kHexDigits[data[i] >> 4];
            *o++ = kHexDigits[data[i] & 15];
        } else {
            *o++ = ' ';
            *o++ = ' ';
        }
        *o++ = ' ';
    }
    for (int i = 0; i < count; i++) *o++ = (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    *o = '\0';
}

const size_t kHexLineSize = 3 * kHexLineBytes + kHexLineBytes + 1;

bool passesUnencoded(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '~' || c == '_' ||
           c == '-' || c == '.';
}

}  // namespace

char* s_format_number(char* out, size_t len, long long value) {
    if (out == nullptr || len == 0) return out;
    // Work on the magnitude so that the most negative value has one too.
    unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    unsigned groups[20];
    int n = 0;
    do {
        groups[n++] = static_cast<unsigned>(v % 1000);
        v /= 1000;
    } while (v != 0 && n < 20);
    char text[128];
    int pos = snprintf(text, sizeof(text), "%s%u", value < 0 ? "-" : "", groups[n - 1]);
    for (int i = n - 2; i >= 0; i--) pos += snprintf(text + pos, sizeof(text) - pos, ",%03u", groups[i]);
    snprintf(out, len, "%s", text);
    return out;
}

long long getHashValue(const char* text) {
    if (text == nullptr) return 0;
    // Unsigned arithmetic: the hash is meant to wrap.
    unsigned long long h = 5381;
    for (const char* p = text; *p != '\0'; p++)
        h = h * 33 + static_cast<unsigned long long>(static_cast<long long>(static_cast<signed char>(*p)));
    return static_cast<long long>(h);
}

long long makeHash(const char* text) {
    unsigned long long h = 0x3ffffffffffe5ULL;
    if (text == nullptr) return static_cast<long long>(h);
    for (const char* p = text; *p != '\0'; p++)
        h = h * 31 + static_cast<unsigned long long>(static_cast<long long>(static_cast<signed char>(*p) - '0'));
    return static_cast<long long>(h);
}

void hex(const unsigned char* data, int len) {
    char line[kHexLineSize];
    for (int at = 0; data != nullptr && at < len; at += kHexLineBytes) {
        hexLine(line, data + at, len - at < kHexLineBytes ? len - at : kHexLineBytes);
        printf("%s\n", line);
    }
    printf("%d bytes...\n", len);
    fflush(stdout);
}

void logHex(const unsigned char* data, int len) {
    char line[kHexLineSize];
    log(0, "--- %d bytes...", len);
    for (int at = 0; data != nullptr && at < len; at += kHexLineBytes) {
        hexLine(line, data + at, len - at < kHexLineBytes ? len - at : kHexLineBytes);
        log(0, "%s", line);
    }
    log(0, "---");
}

char* urlEncode(const char* text) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text);
    char* out = static_cast<char*>(malloc(3 * n + 1));
    if (out == nullptr) return nullptr;
    char* o = out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; p++) {
        if (passesUnencoded(*p)) {
            *o++ = static_cast<char>(*p);
        } else if (*p == ' ') {
            *o++ = '+';
        } else {
            *o++ = '%';
            *o++ = kHexDigits[*p >> 4];
            *o++ = kHexDigits[*p & 15];
        }
    }
    *o = '\0';
    return out;
}
