// RegexPattern: Java syntax over UTF-8, whole-text matches, searches with
// groups, and the error of a pattern that does not compile.
#include <regex.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "io/regex_pattern.h"

namespace {

TEST(RegexPattern, WholeTextMatches) {
    RegexPattern p("ho(st)?", 0);
    ASSERT_FALSE(p.failed());
    EXPECT_STREQ("", p.errorText());
    EXPECT_TRUE(p.matches("host"));
    EXPECT_TRUE(p.matches("ho"));
    EXPECT_FALSE(p.matches("hosts"));
    EXPECT_FALSE(p.matches("Host"));
    EXPECT_FALSE(p.matches(nullptr));
    RegexPattern caseless("ho(st)?", RegexPattern::IGNORE_CASE);
    EXPECT_TRUE(caseless.matches("HoST"));
    RegexPattern dot("a.b", 0), dotAll("a.b", RegexPattern::DOT_ALL);
    EXPECT_FALSE(dot.matches("a\nb"));
    EXPECT_TRUE(dotAll.matches("a\nb"));
    RegexPattern all(".*", 0);
    EXPECT_TRUE(all.matches(""));
    EXPECT_TRUE(all.matches("anything at all"));
}

// matches() lets the first match from the start decide, as script patterns
// and directory searches do; matchesWhole() takes any way of matching that
// covers the whole text, which is what path filters need.
TEST(RegexPattern, WholeMatchTriesEveryAlternative) {
    RegexPattern logs("log|logs", 0);
    EXPECT_TRUE(logs.matchesWhole("logs"));
    EXPECT_TRUE(logs.matchesWhole("log"));
    EXPECT_FALSE(logs.matchesWhole("logsx"));
    EXPECT_FALSE(logs.matchesWhole("xlog"));
    EXPECT_FALSE(logs.matchesWhole(nullptr));
    EXPECT_FALSE(logs.matches("logs"));
    EXPECT_TRUE(logs.matches("log"));
    RegexPattern objects(".*\\.o|.*\\.obj", 0);
    EXPECT_TRUE(objects.matchesWhole("main.obj"));
    EXPECT_TRUE(objects.matchesWhole("main.o"));
    EXPECT_FALSE(objects.matchesWhole("main.ob"));
    RegexPattern caseless("ab|abc", RegexPattern::IGNORE_CASE);
    EXPECT_TRUE(caseless.matchesWhole("ABC"));
    RegexPattern dotAll("a|a.b", RegexPattern::DOT_ALL);
    EXPECT_TRUE(dotAll.matchesWhole("a\nb"));
    RegexPattern endOfLine("a$", 0);
    EXPECT_FALSE(endOfLine.matchesWhole("a\n"));
    RegexPattern backReference("(a|ab)\\1", 0);
    EXPECT_TRUE(backReference.matchesWhole("abab"));
    EXPECT_FALSE(backReference.matchesWhole("aab"));
    // Endings a plain group around the pattern would swallow: a comment of
    // the extended mode, and a quote that is never closed.
    RegexPattern commented("(?x) a | ab  # two spellings", 0);
    ASSERT_FALSE(commented.failed()) << commented.errorText();
    EXPECT_TRUE(commented.matchesWhole("ab"));
    EXPECT_FALSE(commented.matchesWhole("a b"));
    RegexPattern quoted("\\Qa.b", 0);
    ASSERT_FALSE(quoted.failed()) << quoted.errorText();
    EXPECT_TRUE(quoted.matchesWhole("a.b"));
    EXPECT_FALSE(quoted.matchesWhole("axb"));
    // A pattern that does not compile alone matches nothing, even where the
    // wrapped text would compile.
    RegexPattern broken("a)(b", 0);
    EXPECT_TRUE(broken.failed());
    EXPECT_FALSE(broken.matchesWhole("a)(b"));
    EXPECT_FALSE(broken.matchesWhole("ab"));
}

TEST(RegexPattern, SearchWithGroups) {
    RegexPattern p("(\\w+)@(\\w+)(/x)?", 0);
    const char* text = "user bob@ftp/u here";
    RegexMatch m;
    EXPECT_EQ(5, p.search(text, strlen(text), 0, &m));
    ASSERT_EQ(4, m.groupCount());
    EXPECT_EQ(std::string("bob@ftp"), std::string(text + m.begin(0), text + m.end(0)));
    EXPECT_EQ(std::string("bob"), std::string(text + m.begin(1), text + m.end(1)));
    EXPECT_EQ(std::string("ftp"), std::string(text + m.begin(2), text + m.end(2)));
    EXPECT_EQ(-1, m.begin(3));  // the optional group took no part
    EXPECT_EQ(-1, m.end(7));
    // A later start finds the match that begins there or after it.
    EXPECT_EQ(6, p.search(text, strlen(text), 6, nullptr));
    EXPECT_EQ(-1, p.search(text, strlen(text), 13, nullptr));
    EXPECT_EQ(-1, p.search(text, strlen(text), strlen(text) + 1, nullptr));
    EXPECT_EQ(-1, p.search("nothing"));
    EXPECT_EQ(-1, p.search(nullptr));
    // Offsets count bytes of UTF-8 text; a class matches whole characters.
    RegexPattern word("\\p{L}+", 0);
    const char* greek = "12 \xce\xb1\xce\xb2";
    RegexMatch g;
    EXPECT_EQ(3, word.search(greek, strlen(greek), 0, &g));
    EXPECT_EQ(7, g.end(0));
}

// A text whose last character is cut short (a lead byte with too few bytes
// after it): the library takes the character's length from that byte, yet
// no read and no offset may go past the text. Each text is allocated at its
// exact size, so that a sanitizer build sees a read beyond it.
TEST(RegexPattern, ACutLastCharacterStaysInsideTheText) {
    RegexPattern other("[^a]+", 0), whole("b[^a]", 0);
    for (const char* tail : {"\xC3", "\xE2\x82", "\xF4\x90\x80", "\xF0" "a"}) {
        SCOPED_TRACE(tail);
        std::string cut = std::string("ab") + tail;
        std::vector<char> text(cut.begin(), cut.end());
        text.push_back('\0');
        RegexMatch m;
        EXPECT_EQ(1, other.search(text.data(), cut.size(), 0, &m));
        EXPECT_EQ(static_cast<int>(cut.size()), m.end(0));
        EXPECT_TRUE(whole.matches(text.data() + 1));
        // Anchored at the end, the broken character overruns the anchor:
        // the answer for it is no, but the check must stay inside the text.
        EXPECT_FALSE(whole.matchesWhole(text.data() + 1));
    }
}

TEST(RegexPattern, BadPatternsSayWhy) {
    const char* bad[] = {"(", "[a-", "a{2,1}", "*x", "(?<n>a)\\k<m>"};
    for (const char* source : bad) {
        RegexPattern p(source, 0);
        EXPECT_TRUE(p.failed()) << source;
        EXPECT_NE(0u, strlen(p.errorText())) << source;
        EXPECT_STREQ(source, p.source());
        EXPECT_FALSE(p.matches(""));
        EXPECT_EQ(-1, p.search("(((("));
    }
    RegexPattern empty(nullptr, 0);
    EXPECT_FALSE(empty.failed());
    EXPECT_TRUE(empty.matches(""));

    // Scripts and peers hand us patterns of any length; compiling one costs
    // the square of its length, so one past the bound is never compiled.
    const std::string longest(RegexPattern::kMaxSource, 'a'), tooLong = longest + "a";
    RegexPattern fits(longest.c_str(), 0);
    EXPECT_FALSE(fits.failed());
    EXPECT_TRUE(fits.matchesWhole(longest.c_str()));
    RegexPattern refused(tooLong.c_str(), 0);
    EXPECT_TRUE(refused.failed());
    EXPECT_STREQ("pattern longer than 8192 bytes", refused.errorText());
    EXPECT_EQ(tooLong, refused.source());
    EXPECT_FALSE(refused.matchesWhole(tooLong.c_str()));
}

TEST(RegexPattern, SharedAcrossThreads) {
    RegexPattern p("(a|b)+c", 0);
    std::vector<std::thread> threads;
    std::vector<int> hits(4, 0);
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&p, &hits, t] {
            RegexMatch m;
            for (int i = 0; i < 500; i++)
                if (p.search("xxababc", 7, 0, &m) == 2 && m.end(0) == 7 && p.matches("abc") &&
                    p.matchesWhole("babc") && !p.matchesWhole("abca"))
                    hits[t]++;
        });
    for (std::thread& t : threads) t.join();
    for (int h : hits) EXPECT_EQ(500, h);
}

// Oniguruma also exports regcomp and regexec; using it must leave the C
// library's POSIX functions to everyone else in the process.
TEST(RegexPattern, PosixRegexStaysTheCLibrarys) {
    RegexPattern p("a+", 0);
    ASSERT_TRUE(p.matches("aaa"));
    regex_t posix;
    ASSERT_EQ(0, regcomp(&posix, "^b+$", REG_EXTENDED | REG_NOSUB));
    EXPECT_EQ(0, regexec(&posix, "bbb", 0, nullptr, 0));
    EXPECT_EQ(REG_NOMATCH, regexec(&posix, "abc", 0, nullptr, 0));
    regfree(&posix);
}

}  // namespace
