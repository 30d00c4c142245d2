// Path filters at the edges of their pattern language: patterns that name
// the top of the transfer itself, and the quick matcher checked against the
// matching rules tried plainly on many short inputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ft/ft_filter.h"
#include "ft/ft_transaction.h"
#include "tests/support/log_capture.h"

TEST(FtFilterEdges, TheWholeTreeUnderTheTopIsOneSubtreePattern) {
    // A leading "/" anchors at the top; "/***" after it takes the named
    // directory and all below, and here the named directory is the top.
    FtTransaction t;
    t.addFilter(PAT_PROTECT, "//***");
    EXPECT_EQ(PAT_PROTECT, fmatch("a", false, t.filters));
    EXPECT_EQ(PAT_PROTECT, fmatch("a/b/c", true, t.filters));
    // Plain "/" and "//" name only the top, a directory with no components.
    FtTransaction u;
    u.addFilter(PAT_EXCLUDE, "/");
    EXPECT_EQ(PAT_EXCLUDE, fmatch("", true, u.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("", false, u.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("a", true, u.filters));
    // "/***" itself is no subtree pattern (too short): its one component is
    // an invalid expression, which matches nothing.
    FtTransaction v;
    v.addFilter(PAT_EXCLUDE, "/***");
    EXPECT_EQ(PAT_INCLUDE, fmatch("a", false, v.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("a/b", true, v.filters));
}

namespace {

// The matching rules written out as plainly as they are stated, trying
// every start of every "**" anew: slow, but a reference for short inputs.
bool plainR(const std::vector<std::string>& pat, int k, const std::vector<std::string>& path, int from, int n) {
    int i = k - 1, j = n - 1;
    while (i >= 0) {
        if (j < from) return false;
        if (pat[i] == "**") {
            for (int start = j; start >= from; start--)
                if (plainR(pat, i, path, from, start)) return true;
            return false;
        }
        if (!zephan_match(pat[i].c_str(), path[j].c_str())) return false;
        i--;
        j--;
    }
    return true;
}

bool plainL(const std::vector<std::string>& pat, const std::vector<std::string>& path, bool anyTail) {
    size_t i = 0, j = 0;
    while (i < pat.size()) {
        if (pat[i] == "**") {
            std::vector<std::string> rest(pat.begin() + static_cast<long>(i) + 1, pat.end());
            for (size_t s = j + 1; s <= path.size(); s++)
                if (plainR(rest, static_cast<int>(rest.size()), path, static_cast<int>(s), static_cast<int>(path.size())))
                    return true;
            return false;
        }
        if (j >= path.size() || !zephan_match(pat[i].c_str(), path[j].c_str())) return false;
        i++;
        j++;
    }
    return j == path.size() || anyTail;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (size_t i = 0; i < parts.size(); i++) s += (i ? "/" : "") + parts[i];
    return s;
}

}  // namespace

TEST(FtFilterEdges, AgreesWithThePlainRulesOnManyShortCombinations) {
    const char* const pieces[] = {"a", "b", "**", "a|b", ".*"};
    const char* const names[] = {"a", "b", "c"};
    unsigned seed = 12345;
    auto next = [&seed](unsigned m) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % m;
    };
    for (int round = 0; round < 4000; round++) {
        std::vector<std::string> pat, path;
        int k = 1 + static_cast<int>(next(4)), n = 1 + static_cast<int>(next(5));
        for (int i = 0; i < k; i++) pat.push_back(pieces[next(5)]);
        for (int i = 0; i < n; i++) path.push_back(names[next(3)]);
        bool anchored = next(2) == 1, subtree = next(3) == 0, isDir = subtree ? next(2) == 1 : false;
        std::string pattern = (anchored ? "/" : "") + joined(pat) + (subtree ? "/***" : "");
        FtTransaction t;
        t.addFilter(PAT_EXCLUDE, pattern.c_str());
        bool expected = k <= n && (anchored ? plainL(pat, path, subtree) : plainR(pat, k, path, 0, n));
        EXPECT_EQ(expected ? PAT_EXCLUDE : PAT_INCLUDE, fmatch(joined(path).c_str(), isDir, t.filters))
            << pattern << " against " << joined(path);
    }
}

TEST(FtFilterEdges, DebuggingNotesEveryFiltersAnswerWhicheverWayItFails) {
    // With the debug flag on, each filter's answer is noted, also when it
    // is turned away before any component is compared.
    FtTransaction t;
    t.addFilter(PAT_EXCLUDE, "");            // empty
    t.addFilter(PAT_EXCLUDE, "dir/");        // wrong type for a file
    t.addFilter(PAT_EXCLUDE, "a/b/c/d");     // longer than the path
    t.addFilter(PAT_PROTECT, "x");           // compared, and matches
    LogCapture log;
    _debug_fmatch = true;
    int result = fmatch("a/x", false, t.filters);
    _debug_fmatch = false;
    EXPECT_EQ(PAT_PROTECT, result);
    const std::string text = log.messages();
    EXPECT_NE(std::string::npos, text.find("fmatch: path = a/x, isdir = 0"));
    size_t noMatch = 0;
    for (size_t at = 0; (at = text.find("fmatch: imatch returns PAT_NOMATCH", at)) != std::string::npos; at++) noMatch++;
    EXPECT_EQ(3u, noMatch) << text;
    EXPECT_NE(std::string::npos, text.find("fmatch: imatch returns PAT_PROTECT")) << text;
    // The comparison that decided, as its own line.
    EXPECT_NE(std::string::npos, text.find("\ncompare regex 'x' and path 'x'\n")) << text;
}
