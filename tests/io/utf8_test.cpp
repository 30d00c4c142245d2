#include "io/utf8.h"

#include <gtest/gtest.h>

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

}  // namespace
