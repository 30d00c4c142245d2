// Arbitrary bytes, valid UTF-8 or not, through every u8_ function that reads
// text. None may read or write out of bounds (ASan watches the exact-size
// copies), and the functions that step must agree with each other.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "io/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size terminated copy, so that any read past the terminator is caught.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char* s = text.data();
    int len = static_cast<int>(strlen(s));

    int chars = 0;
    for (int i = 0; i < len; chars++) {
        int before = i;
        u8_inc(s, &i);
        if (i <= before || i > len) abort();
        int back = i;
        u8_dec(s, &back);
        if (back > before) abort();
    }
    if (u8_offset(s, chars) != len || u8_charnum(s, len) != chars) abort();
    for (int i = 0; i < len;) {
        u8_nextchar(s, &i);
        if (i > len) abort();
    }
    u8_strlen(s);
    if (len > 0) u8_seqlen(s);

    std::vector<uint32_t> ucs(static_cast<size_t>(len) + 1);
    int n = u8_toucs(ucs.data(), static_cast<int>(ucs.size()), s, -1);
    std::vector<char> back(static_cast<size_t>(len) * 4 + 1);
    u8_toutf8n(back.data(), static_cast<int>(back.size()), ucs.data(), n);
    u8_toucs(ucs.data(), static_cast<int>(ucs.size()), reinterpret_cast<const char*>(data), static_cast<int>(size));

    std::vector<char> escaped(static_cast<size_t>(size % 97) + 1);
    u8_escape(escaped.data(), static_cast<int>(escaped.size()), s, 1);
    std::vector<char> big(static_cast<size_t>(len) * 10 + 1);
    u8_escape(big.data(), static_cast<int>(big.size()), s, 1);
    std::vector<char> unescaped(big.size());
    u8_unescape(unescaped.data(), static_cast<int>(unescaped.size()), big.data());
    std::vector<char> raw(static_cast<size_t>(size % 13) + 1);
    u8_unescape(raw.data(), static_cast<int>(raw.size()), s);

    int charn;
    u8_strchr(s, 0xE9, &charn);
    u8_memchr(reinterpret_cast<const char*>(data), 0x20AC, size, &charn);
    u8_is_locale_utf8(s);
    return 0;
}
