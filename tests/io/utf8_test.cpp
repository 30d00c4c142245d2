#include "io/utf8.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "tests/support/printed.h"

namespace {

TEST(Utf8, SequenceLengthFollowsTheLeadByteOnly) {
    EXPECT_EQ(1, u8_seqlen("a"));
    EXPECT_EQ(1, u8_seqlen("\x80"));  // a stray continuation byte stands alone
    EXPECT_EQ(2, u8_seqlen("\xC3\xA9"));
    EXPECT_EQ(3, u8_seqlen("\xE2\x82\xAC"));
    EXPECT_EQ(4, u8_seqlen("\xF0\x9F\x98\x80"));
    EXPECT_EQ(5, u8_seqlen("\xF8"));
    EXPECT_EQ(6, u8_seqlen("\xFC"));
}

TEST(Utf8, NextCharDecodesAndAdvances) {
    const char* text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!";
    int i = 0;
    EXPECT_EQ(0x61u, u8_nextchar(text, &i));
    EXPECT_EQ(1, i);
    EXPECT_EQ(0xE9u, u8_nextchar(text, &i));
    EXPECT_EQ(3, i);
    EXPECT_EQ(0x20ACu, u8_nextchar(text, &i));
    EXPECT_EQ(6, i);
    EXPECT_EQ(0x1F600u, u8_nextchar(text, &i));
    EXPECT_EQ(10, i);
    EXPECT_EQ(0x21u, u8_nextchar(text, &i));
    EXPECT_EQ('\0', text[i]);
}

TEST(Utf8, MalformedTextNeverReadsPastTheTerminator) {
    // A lead byte cut short by the terminator takes only itself.
    int i = 0;
    EXPECT_EQ(0xC3u, u8_nextchar("\xC3", &i));
    EXPECT_EQ(1, i);
    // A lead byte followed by an ASCII byte: the ASCII byte is not taken.
    i = 0;
    EXPECT_EQ(0xE2u, u8_nextchar("\xE2x", &i));
    EXPECT_EQ(1, i);
    // A run of continuation bytes is cut after six bytes.
    const char* run = "\x80\x80\x80\x80\x80\x80\x80\x80";
    i = 0;
    u8_nextchar(run, &i);
    EXPECT_EQ(6, i);
    u8_nextchar(run, &i);
    EXPECT_EQ(8, i);
}

TEST(Utf8, CountsAndStepsOverCharacters) {
    // "é!" is three bytes and two characters; "!" starts at byte 2.
    EXPECT_EQ(2, u8_strlen("\xC3\xA9!"));
    EXPECT_EQ(2, u8_offset("\xC3\xA9!", 1));
    EXPECT_EQ(0, u8_offset("\xC3\xA9!", 0));
    EXPECT_EQ(0, u8_offset("", 3));
    EXPECT_EQ(3, u8_offset("\xC3\xA9!", 9));  // past the end: the terminator's index

    // a é € 😀 b: character starts at bytes 0 1 3 6 10, terminator at 11.
    const char* text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "b";
    const int starts[] = {0, 1, 3, 6, 10, 11};
    int i = 0;
    for (int k = 1; k < 6; k++) {
        u8_inc(text, &i);
        EXPECT_EQ(starts[k], i);
        EXPECT_EQ(starts[k], u8_offset(text, k));
        EXPECT_EQ(k, u8_charnum(text, starts[k]));
    }
    u8_inc(text, &i);  // never past the terminator
    EXPECT_EQ(11, i);
    for (int k = 4; k >= 0; k--) {
        u8_dec(text, &i);
        EXPECT_EQ(starts[k], i);
    }
    u8_dec(text, &i);
    EXPECT_EQ(0, i);

    // Stepping back over continuation bytes at the very start stops at 0.
    i = 3;
    u8_dec("\x80\x80\x80", &i);
    EXPECT_EQ(0, i);
    // An overlong NUL (C0 80) ends the count.
    EXPECT_EQ(1, u8_strlen("a\xC0\x80" "bc"));
    // A truncated sequence at the end is one character.
    EXPECT_EQ(2, u8_strlen("a\xE2\x82"));
    EXPECT_EQ(3, u8_offset("a\xE2\x82", 5));
}

TEST(Utf8, ConvertsBetweenCodePointsAndUtf8) {
    struct {
        uint32_t ch;
        const char* bytes;
    } cases[] = {{0x24, "\x24"},         {0x7F, "\x7F"},         {0x80, "\xC2\x80"},
                 {0x7FF, "\xDF\xBF"},    {0x800, "\xE0\xA0\x80"}, {0xFFFF, "\xEF\xBF\xBF"},
                 {0x10000, "\xF0\x90\x80\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
    for (const auto& c : cases) {
        char out[8] = {};
        int n = u8_wc_toutf8(out, c.ch);
        EXPECT_EQ(std::string(c.bytes), std::string(out, static_cast<size_t>(n))) << std::hex << c.ch;
        int i = 0;
        EXPECT_EQ(c.ch, u8_nextchar(out, &i));
    }
    char untouched[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(0, u8_wc_toutf8(untouched, 0x110000));
    EXPECT_EQ('x', untouched[0]);

    // Code points to UTF-8: stops before a sequence that does not fit, and
    // terminates when there is room.
    const uint32_t points[] = {'a', 0xE9, 0x20AC, 0};
    char out[8];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(2, u8_toutf8n(out, 5, points, -1));  // "a" + "é" = 3 bytes; "€" needs 3 more
    EXPECT_EQ(std::string("a\xC3\xA9"), std::string(out));
    memset(out, 'x', sizeof out);
    EXPECT_EQ(2, u8_toutf8n(out, 3, points, 3));  // exactly full: no terminator
    EXPECT_EQ('x', out[3]);
    EXPECT_EQ(3, u8_toutf8(out, sizeof out, points, 3));
    EXPECT_EQ(std::string("a\xC3\xA9\xE2\x82\xAC"), std::string(out));
    const uint32_t bad[] = {'a', 0x110000, 'b'};
    EXPECT_EQ(3, u8_toutf8(out, sizeof out, bad, 3));  // the invalid value is skipped
    EXPECT_STREQ("ab", out);

    // UTF-8 to code points.
    uint32_t ucs[8];
    EXPECT_EQ(3, u8_toucs(ucs, 8, "a\xC3\xA9\xE2\x82\xAC", -1));
    EXPECT_EQ(0xE9u, ucs[1]);
    EXPECT_EQ(0x20ACu, ucs[2]);
    EXPECT_EQ(0u, ucs[3]);
    EXPECT_EQ(2, u8_toucs(ucs, 3, "a\xC3\xA9\xE2\x82\xAC", -1));  // room for two and the terminator
    EXPECT_EQ(0u, ucs[2]);
    // A sequence cut by the length or by the terminator is not converted.
    EXPECT_EQ(1, u8_toucs(ucs, 8, "a\xE2\x82\xAC", 3));
    EXPECT_EQ(1, u8_toucs(ucs, 8, "a\xF0\x9F", -1));
    EXPECT_EQ(0, u8_toucs(ucs, 0, "a", -1));
}

TEST(Utf8, EscapesEachCharacterForDisplay) {
    struct {
        uint32_t ch;
        const char* shown;
    } cases[] = {{'\n', "\\n"},     {'\t', "\\t"},   {'\r', "\\r"},         {'\b', "\\b"},
                 {'\f', "\\f"},     {'\v', "\\v"},   {'\a', "\\a"},         {'\\', "\\\\"},
                 {'A', "A"},        {' ', " "},      {'~', "~"},            {0x01, "\\x1"},
                 {0x1F, "\\x1F"},   {0x7F, "\\x7F"}, {0x00, "\\x0"},        {0x80, "\\u0080"},
                 {0xE9, "\\u00E9"}, {0xFFFF, "\\uFFFF"}, {0x10000, "\\U00010000"}, {0x1F600, "\\U0001F600"}};
    for (const auto& c : cases) {
        char buf[16];
        int n = u8_escape_wchar(buf, sizeof buf, c.ch);
        EXPECT_STREQ(c.shown, buf) << std::hex << c.ch;
        EXPECT_EQ(static_cast<int>(strlen(c.shown)), n);
    }
    // Too small a buffer: cut and terminated, the full length returned.
    char small[4];
    EXPECT_EQ(6, u8_escape_wchar(small, sizeof small, 0xE9));
    EXPECT_STREQ("\\u0", small);

    // Whole strings, with and without quote escaping; malformed bytes show
    // as the value they decode to.
    char buf[64];
    const char* text = "\x80say \"h\xC3\xA9\"\n";
    EXPECT_EQ(23, u8_escape(buf, sizeof buf, text, 1));
    EXPECT_STREQ("\\u0080say \\\"h\\u00E9\\\"\\n", buf);
    u8_escape(buf, sizeof buf, text, 0);
    EXPECT_STREQ("\\u0080say \"h\\u00E9\"\\n", buf);
    // An escape that does not fit is left out whole, never cut.
    EXPECT_EQ(1, u8_escape(buf, 7, "a\xC3\xA9", 0));
    EXPECT_STREQ("a", buf);
    EXPECT_EQ(0, u8_escape(buf, 0, "a", 0));
}

TEST(Utf8, UnescapingReversesEscaping) {
    char escaped[128];
    char back[64];
    const char* text = "tab\there \"q\" \\ \xC3\xA9\xF0\x9F\x98\x80\x01\x7F end";
    u8_escape(escaped, sizeof escaped, text, 1);
    int n = u8_unescape(back, sizeof back, escaped);
    EXPECT_STREQ(text, back);
    EXPECT_EQ(static_cast<int>(strlen(text)), n);

    // Each sequence form, and what stands for itself.
    struct {
        const char* in;
        uint32_t ch;
        int used;
    } seqs[] = {{"n", '\n', 1},        {"101x", 0101, 3},    {"7", 7, 1},         {"x41g", 0x41, 3},
                {"x", 'x', 1},         {"xg", 'x', 1},       {"u00e9z", 0xE9, 5}, {"u12345", 0x1234, 5},
                {"U0001F600", 0x1F600, 9}, {"q", 'q', 1},   {"\"", '"', 1},      {"\xC3\xA9z", 0xE9, 2},
                {"\xF0\x9F\x98\x80", 0x1F600, 4}};
    for (const auto& s : seqs) {
        uint32_t ch = 0;
        EXPECT_EQ(s.used, u8_read_escape_sequence(s.in, &ch)) << s.in;
        EXPECT_EQ(s.ch, ch) << s.in;
    }
    // A trailing backslash is kept; an out-of-range \U writes nothing; bytes
    // that are not escapes are copied as they are.
    EXPECT_EQ(2, u8_unescape(back, sizeof back, "a\\"));
    EXPECT_STREQ("a\\", back);
    u8_unescape(back, sizeof back, "a\\U00110000b\xC3\xA9");
    EXPECT_STREQ("ab\xC3\xA9", back);
    // A backslash before a character beyond ASCII gives that character.
    EXPECT_EQ(3, u8_unescape(back, sizeof back, "\\\xC3\xA9!"));
    EXPECT_STREQ("\xC3\xA9!", back);
    // A character that does not fit stops the output.
    EXPECT_EQ(1, u8_unescape(back, 2, "a\\u00e9"));
    EXPECT_STREQ("a", back);
    memset(back, 'x', sizeof back);
    EXPECT_EQ(1, u8_unescape(back, 2, "a\xC3\xA9"));
    EXPECT_STREQ("a", back);
    EXPECT_EQ(1, u8_unescape(back, 4, "a\xF0\x9F\x98\x80"));
    EXPECT_STREQ("a", back);
}

TEST(Utf8, FindsCodePointsAndChecksLocales) {
    const char* text = "a\xC3\xA9\xE2\x82\xAC" "b";
    int charn = -1;
    EXPECT_EQ(text + 3, u8_strchr(text, 0x20AC, &charn));
    EXPECT_EQ(2, charn);
    EXPECT_EQ(nullptr, u8_strchr(text, 'z', &charn));
    EXPECT_EQ(4, charn);
    // The buffer form is bounded by its size, not by a terminator, and never
    // decodes past it.
    const char buf[] = {'x', '\0', '\xC3', '\xA9', 'y'};
    EXPECT_EQ(buf + 2, u8_memchr(buf, 0xE9, sizeof buf, &charn));
    EXPECT_EQ(2, charn);
    EXPECT_EQ(nullptr, u8_memchr(buf, 0xE9, 3, &charn));  // cut inside "é"

    EXPECT_TRUE(u8_is_locale_utf8("en_US.UTF-8"));
    EXPECT_TRUE(u8_is_locale_utf8("C.utf8"));
    EXPECT_TRUE(u8_is_locale_utf8("de_DE.utf-8@euro"));
    EXPECT_FALSE(u8_is_locale_utf8("de_DE.ISO-8859-1"));
    EXPECT_FALSE(u8_is_locale_utf8("POSIX"));
    EXPECT_FALSE(u8_is_locale_utf8("en_US@x.UTF-8"));  // a modifier, not the set
    EXPECT_FALSE(u8_is_locale_utf8(nullptr));
}

int printTo(FILE* out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int count = u8_vfprintf(out, fmt, ap);
    va_end(ap);
    return count;
}

TEST(Utf8, PrintsThroughWideCharacters) {
    int count = 0;
    std::string out = printed([&](FILE* f) { count = printTo(f, "%s=%d", "n", 42); });
    EXPECT_EQ("n=42", out);
    EXPECT_EQ(4, count);
}

}  // namespace
