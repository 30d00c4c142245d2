// Path filters as a table of patterns against paths.
#include <gtest/gtest.h>

#include "ft/ft_filter.h"
#include "ft/ft_transaction.h"
#include "tests/support/log_capture.h"

namespace {

struct Case {
    std::vector<std::pair<int, const char*>> filters;
    const char* path;
    bool isDir;
    int expected;
};

}  // namespace

TEST(FtFilter, PatternTable) {
    const int I = PAT_INCLUDE, E = PAT_EXCLUDE, P = PAT_PROTECT;
    const Case cases[] = {
        {{}, "any/path", false, I},
        // A plain pattern matches files at any depth, not directories.
        {{{E, "core"}}, "core", false, E},
        {{{E, "core"}}, "a/b/core", false, E},
        {{{E, "core"}}, "a/core", true, I},
        {{{E, "core"}}, "a/core2", false, I},
        // A trailing slash: directories only, at any depth.
        {{{E, "tmp/"}}, "x/y/tmp", true, E},
        {{{E, "tmp/"}}, "tmp", false, I},
        // Anchored subtree.
        {{{E, "/build/***"}}, "build", true, E},
        {{{E, "/build/***"}}, "build/x/y.o", false, E},
        {{{E, "/build/***"}}, "src/build/z", false, I},
        // Each component is a whole-match regular expression.
        {{{E, ".*\\.o"}}, "main.o", false, E},
        {{{E, ".*\\.o"}}, "main.obj", false, I},
        {{{E, ".*\\.o"}}, "src/lib/x.o", false, E},
        // Whole-match holds with alternatives too: any alternative may cover the name.
        {{{E, "log|logs"}}, "logs", false, E},
        {{{E, "log|logs"}}, "a/log", false, E},
        {{{E, "log|logs"}}, "logsx", false, I},
        {{{E, ".*\\.o|.*\\.obj"}}, "main.obj", false, E},
        {{{E, ".*\\.o|.*\\.obj"}}, "main.objx", false, I},
        {{{P, "keep|keep2"}}, "d/keep2", false, P},
        {{{E, "a|ab/c"}}, "x/ab/c", false, E},
        {{{E, "/tmp|tmp2/***"}}, "tmp2/x/y", false, E},
        // "**" is one or more components.
        {{{P, "data/**/keep"}}, "data/a/keep", false, P},
        {{{P, "data/**/keep"}}, "data/a/b/keep", false, P},
        {{{P, "data/**/keep"}}, "data/keep", false, I},
        {{{P, "data/**/keep"}}, "top/data/a/keep", false, P},
        {{{E, "/**/x"}}, "a/b/x", false, E},
        {{{E, "/**/x"}}, "x", false, I},
        // First match wins.
        {{{I, "important\\.log"}, {E, ".*\\.log"}}, "important.log", false, I},
        {{{I, "important\\.log"}, {E, ".*\\.log"}}, "debug.log", false, E},
        // An invalid expression matches nothing; the next filter decides.
        {{{E, "(unclosed"}, {E, "x"}}, "x", false, E},
        {{{E, "(unclosed"}}, "(unclosed", false, I},
        // Anchored multi-component patterns match from the top only.
        {{{E, "/a/b"}}, "a/b", false, E},
        {{{E, "/a/b"}}, "z/a/b", false, I},
        {{{E, "/a/b"}}, "a/b/c", false, I},
        // A pattern longer than the path cannot match; doubled slashes vanish.
        {{{E, "a/b/c"}}, "b/c", false, I},
        {{{E, "a/b"}}, "//a//b", false, E},
        // Empty pattern matches nothing.
        {{{E, ""}}, "x", false, I},
    };
    for (const Case& c : cases) {
        FtTransaction t;
        for (const auto& f : c.filters) t.addFilter(f.first, f.second);
        EXPECT_EQ(c.expected, fmatch(c.path, c.isDir, t.filters))
            << c.path << " against " << (c.filters.empty() ? "(none)" : c.filters[0].second);
    }
}

TEST(FtFilter, LongAndDeepPathsAreCutNotOverrun) {
    FtTransaction t;
    t.addFilter(PAT_EXCLUDE, "x");
    std::string deep;
    for (int i = 0; i < 400; i++) deep += "d/";
    deep += "x";
    // Only the first 256 components are looked at, so the final "x" is not.
    EXPECT_EQ(PAT_INCLUDE, fmatch(deep.c_str(), false, t.filters));
    std::string longName(10000, 'a');
    EXPECT_EQ(PAT_INCLUDE, fmatch(longName.c_str(), false, t.filters));
    t.addFilter(PAT_EXCLUDE, "a+");
    EXPECT_EQ(PAT_EXCLUDE, fmatch(longName.c_str(), false, t.filters));
    // A pattern is taken whole, however long: cut, this one would not compile.
    FtTransaction protect;
    std::string alternatives = "(keep";
    while (alternatives.size() < 5000) alternatives += "|other";
    protect.addFilter(PAT_PROTECT, (alternatives + ")").c_str());
    EXPECT_EQ(PAT_PROTECT, fmatch("d/keep", false, protect.filters));
}

// How many component comparisons one fmatch call makes, counted from the
// debug log, which notes each one.
static int comparisonsFor(const char* pattern, const std::string& path) {
    FtTransaction t;
    t.addFilter(PAT_EXCLUDE, pattern);
    LogCapture log;
    _debug_fmatch = true;
    fmatch(path.c_str(), false, t.filters);
    _debug_fmatch = false;
    const std::string text = log.text();
    int count = 0;
    for (size_t at = 0; (at = text.find("compare regex", at)) != std::string::npos; at++) count++;
    return count;
}

TEST(FtFilter, RepeatedDoubleStarsCompareEachComponentPairAtMostOnce) {
    // Every "**" could start at any depth; trying each combination anew
    // makes a short pattern against a path a few dozen deep run for hours.
    std::string path = "a";
    for (int i = 1; i < 24; i++) path += "/a";
    const char* hostile = "b/**/a/**/a/**/a/**";
    const int components = 9, depth = 24;
    EXPECT_LE(comparisonsFor(hostile, path), components * depth);
    EXPECT_LE(comparisonsFor("/a/**/b/**/a/**/a/**", path), components * depth);
    // The answers themselves stay those of the table above.
    FtTransaction t;
    t.addFilter(PAT_EXCLUDE, "a/**/a/**/a/**/a");
    EXPECT_EQ(PAT_EXCLUDE, fmatch(path.c_str(), false, t.filters));
    FtTransaction u;
    u.addFilter(PAT_EXCLUDE, hostile);
    EXPECT_EQ(PAT_INCLUDE, fmatch(path.c_str(), false, u.filters));
    // A plain pattern still compares from the end and stops at the first miss.
    EXPECT_EQ(1, comparisonsFor("x/y/core", path));
}
