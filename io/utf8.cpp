#include "io/utf8.h"

#include <string.h>
#include <strings.h>
#include <wchar.h>

namespace {

// Trailing bytes after each lead byte: 0x00-0xBF none, 0xC0-0xDF one,
// 0xE0-0xEF two, 0xF0-0xF7 three, 0xF8-0xFB four, 0xFC-0xFF five.
const unsigned char kTrailingBytes[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5,
};

// Subtracted from the accumulated value (value * 64 + byte) of a sequence of
// n + 1 bytes, removing the lead and continuation marker bits.
const uint32_t kOffsets[6] = {0x00000000u, 0x00003080u, 0x000E2080u, 0x03C82080u, 0xFA082080u, 0x82082080u};

inline bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Steps *i over one character by the top bits of the bytes that follow: at
// most three continuation bytes are skipped, and never the terminator.
inline void stepForward(const char* s, int* i) {
    (*i)++;
    for (int k = 0; k < 3 && s[*i] != '\0' && isContinuation(s[*i]); k++) (*i)++;
}

inline bool isOctal(char c) { return c >= '0' && c <= '7'; }
inline bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline uint32_t hexValue(char c) {
    return static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

}  // namespace

int u8_seqlen(const char* s) {
    return kTrailingBytes[static_cast<unsigned char>(*s)] + 1;
}

uint32_t u8_nextchar(const char* s, int* i) {
    uint32_t ch = 0;
    int taken = 0;
    do {
        ch = (ch << 6) + static_cast<unsigned char>(s[(*i)++]);
        taken++;
    } while (taken < 6 && s[*i] != '\0' && isContinuation(s[*i]));
    return ch - kOffsets[taken - 1];
}

int u8_strlen(const char* s) {
    int count = 0;
    int i = 0;
    while (s[i] != '\0') {
        if (u8_nextchar(s, &i) == 0) break;
        count++;
    }
    return count;
}

int u8_offset(const char* s, int n) {
    int offset = 0;
    while (n > 0 && s[offset] != '\0') {
        stepForward(s, &offset);
        n--;
    }
    return offset;
}

int u8_charnum(const char* s, int offset) {
    int count = 0;
    int i = 0;
    while (i < offset && s[i] != '\0') {
        stepForward(s, &i);
        count++;
    }
    return count;
}

void u8_inc(const char* s, int* i) {
    if (s[*i] != '\0') stepForward(s, i);
}

void u8_dec(const char* s, int* i) {
    if (*i <= 0) return;
    (*i)--;
    for (int k = 0; k < 3 && *i > 0 && isContinuation(s[*i]); k++) (*i)--;
}

int u8_wc_toutf8(char* dest, uint32_t ch) {
    if (ch < 0x80) {
        dest[0] = static_cast<char>(ch);
        return 1;
    }
    if (ch < 0x800) {
        dest[0] = static_cast<char>((ch >> 6) | 0xC0);
        dest[1] = static_cast<char>((ch & 0x3F) | 0x80);
        return 2;
    }
    if (ch < 0x10000) {
        dest[0] = static_cast<char>((ch >> 12) | 0xE0);
        dest[1] = static_cast<char>(((ch >> 6) & 0x3F) | 0x80);
        dest[2] = static_cast<char>((ch & 0x3F) | 0x80);
        return 3;
    }
    if (ch < 0x110000) {
        dest[0] = static_cast<char>((ch >> 18) | 0xF0);
        dest[1] = static_cast<char>(((ch >> 12) & 0x3F) | 0x80);
        dest[2] = static_cast<char>(((ch >> 6) & 0x3F) | 0x80);
        dest[3] = static_cast<char>((ch & 0x3F) | 0x80);
        return 4;
    }
    return 0;
}

int u8_toutf8n(char* dest, int size, const uint32_t* src, int n) {
    int used = 0;
    int i = 0;
    for (; n < 0 ? src[i] != 0 : i < n; i++) {
        uint32_t ch = src[i];
        int need = ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : ch < 0x110000 ? 4 : 0;
        if (used + need > size) break;
        used += u8_wc_toutf8(dest + used, ch);
    }
    if (used < size) dest[used] = '\0';
    return i;
}

int u8_toutf8(char* dest, int size, const uint32_t* src, int n) {
    return u8_toutf8n(dest, size, src, n);
}

int u8_toucs(uint32_t* dest, int size, const char* src, int len) {
    if (size < 1) return 0;
    int count = 0;
    int pos = 0;
    while (count < size - 1) {
        if (len < 0 ? src[pos] == '\0' : pos >= len) break;
        int trailing = kTrailingBytes[static_cast<unsigned char>(src[pos])];
        // A sequence cut short by the end of the text is not converted.
        bool complete = true;
        for (int k = 1; k <= trailing; k++) {
            if (len < 0 ? src[pos + k] == '\0' : pos + k >= len) {
                complete = false;
                break;
            }
        }
        if (!complete) break;
        uint32_t ch = 0;
        for (int k = 0; k <= trailing; k++) ch = (ch << 6) + static_cast<unsigned char>(src[pos + k]);
        dest[count++] = ch - kOffsets[trailing];
        pos += trailing + 1;
    }
    dest[count] = 0;
    return count;
}

int u8_escape_wchar(char* buf, int size, uint32_t ch) {
    size_t sz = size > 0 ? static_cast<size_t>(size) : 0;
    switch (ch) {
    case '\n': return snprintf(buf, sz, "\\n");
    case '\t': return snprintf(buf, sz, "\\t");
    case '\r': return snprintf(buf, sz, "\\r");
    case '\b': return snprintf(buf, sz, "\\b");
    case '\f': return snprintf(buf, sz, "\\f");
    case '\v': return snprintf(buf, sz, "\\v");
    case '\a': return snprintf(buf, sz, "\\a");
    case '\\': return snprintf(buf, sz, "\\\\");
    default: break;
    }
    if (ch < 32 || ch == 0x7F) return snprintf(buf, sz, "\\x%hhX", static_cast<unsigned char>(ch));
    if (ch > 0xFFFF) return snprintf(buf, sz, "\\U%.8X", static_cast<unsigned>(ch));
    if (ch >= 0x80) return snprintf(buf, sz, "\\u%.4hX", static_cast<unsigned short>(ch));
    return snprintf(buf, sz, "%c", static_cast<char>(ch));
}

int u8_escape(char* buf, int size, const char* src, int escape_quotes) {
    int used = 0;
    int i = 0;
    char piece[16];
    while (src[i] != '\0') {
        int len;
        if (escape_quotes && src[i] == '"') {
            len = snprintf(piece, sizeof piece, "\\\"");
            i++;
        } else {
            len = u8_escape_wchar(piece, sizeof piece, u8_nextchar(src, &i));
        }
        // Leave room for the terminator; a partial escape would read as another character.
        if (used + len >= size) break;
        memcpy(buf + used, piece, static_cast<size_t>(len));
        used += len;
    }
    if (used < size) buf[used] = '\0';
    return used;
}

int u8_read_escape_sequence(const char* str, uint32_t* dest) {
    uint32_t ch = static_cast<unsigned char>(str[0]);
    int used = 1;
    switch (str[0]) {
    case 'n': ch = '\n'; break;
    case 't': ch = '\t'; break;
    case 'r': ch = '\r'; break;
    case 'b': ch = '\b'; break;
    case 'f': ch = '\f'; break;
    case 'v': ch = '\v'; break;
    case 'a': ch = '\a'; break;
    default:
        if (isOctal(str[0])) {
            ch = 0;
            used = 0;
            while (used < 3 && isOctal(str[used])) ch = ch * 8 + static_cast<uint32_t>(str[used++] - '0');
        } else if (str[0] == 'x' || str[0] == 'u' || str[0] == 'U') {
            int maxDigits = str[0] == 'x' ? 2 : str[0] == 'u' ? 4 : 8;
            uint32_t value = 0;
            int digits = 0;
            while (digits < maxDigits && isHex(str[used])) {
                value = value * 16 + hexValue(str[used++]);
                digits++;
            }
            if (digits > 0) ch = value;
        } else if ((static_cast<unsigned char>(str[0]) & 0x80) != 0) {
            // A character beyond ASCII stands for itself in whole: its lead
            // byte alone would come out as another character followed by a
            // stray continuation byte.
            used = 0;
            ch = u8_nextchar(str, &used);
        }
        break;
    }
    *dest = ch;
    return used;
}

int u8_unescape(char* buf, int size, const char* src) {
    int used = 0;
    char encoded[4];
    while (*src != '\0') {
        const char* piece;
        int len;
        if (src[0] == '\\' && src[1] != '\0') {
            uint32_t ch;
            src += 1 + u8_read_escape_sequence(src + 1, &ch);
            len = u8_wc_toutf8(encoded, ch);
            piece = encoded;
        } else {
            // A character as it stands, lead byte and continuation bytes
            // together, so that one which does not fit is left out whole
            // instead of ending the text with a cut sequence.
            int i = 0;
            u8_nextchar(src, &i);
            piece = src;
            len = i;
            src += i;
        }
        if (len > size - used) break;
        memcpy(buf + used, piece, static_cast<size_t>(len));
        used += len;
    }
    if (used < size) buf[used] = '\0';
    return used;
}

const char* u8_strchr(const char* s, uint32_t ch, int* charn) {
    int i = 0;
    *charn = 0;
    while (s[i] != '\0') {
        int start = i;
        if (u8_nextchar(s, &i) == ch) return s + start;
        (*charn)++;
    }
    return nullptr;
}

const char* u8_memchr(const char* s, uint32_t ch, size_t sz, int* charn) {
    size_t i = 0;
    *charn = 0;
    while (i < sz) {
        size_t start = i;
        uint32_t c = 0;
        int taken = 0;
        do {
            c = (c << 6) + static_cast<unsigned char>(s[i++]);
            taken++;
        } while (taken < 6 && i < sz && isContinuation(s[i]));
        if (c - kOffsets[taken - 1] == ch) return s + start;
        (*charn)++;
    }
    return nullptr;
}

bool u8_is_locale_utf8(const char* locale) {
    if (locale == nullptr) return false;
    for (const char* cp = locale; *cp != '\0' && *cp != '@' && *cp != '+' && *cp != ','; cp++) {
        if (*cp != '.') continue;
        const char* set = ++cp;
        while (*cp != '\0' && *cp != '@' && *cp != '+' && *cp != ',') cp++;
        size_t len = static_cast<size_t>(cp - set);
        return (len == 5 && strncasecmp(set, "UTF-8", 5) == 0) || (len == 4 && strncasecmp(set, "utf8", 4) == 0);
    }
    return false;
}

int u8_vfprintf(FILE* out, const char* fmt, va_list ap) {
    char text[4096];
    uint32_t wide[sizeof text];
    int len = vsnprintf(text, sizeof text, fmt, ap);
    if (len < 0) return -1;
    if (len >= static_cast<int>(sizeof text)) len = static_cast<int>(sizeof text) - 1;
    int count = u8_toucs(wide, static_cast<int>(sizeof text), text, len);
    static_assert(sizeof(wchar_t) == sizeof(uint32_t), "wide characters hold code points");
    fprintf(out, "%ls", reinterpret_cast<const wchar_t*>(wide));
    return count;
}

int u8_vprintf(const char* fmt, va_list ap) {
    return u8_vfprintf(stdout, fmt, ap);
}

int u8_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int count = u8_vprintf(fmt, ap);
    va_end(ap);
    return count;
}
