// drvft's command line: help on request, usage problems explained with
// status 64. Transfers themselves run against drvftd in tests/ftd.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

Outcome run(const std::vector<std::string>& args) {
    return runToEnd(DRVFT_PATH, args);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Drvft, HelpIsAnAnswerNotAUsageProblem) {
    for (const char* ask : {"--help", "-h"}) {
        Outcome help = run({ask});
        EXPECT_EQ(0, help.status) << ask;
        EXPECT_EQ(0u, help.out.find("usage: drvft copy SRC... HOST[:PORT]:DEST")) << ask << "\n" << help.out;
        EXPECT_EQ("", help.err) << ask;
        // Every option of copy is explained.
        for (const char* option : {"--delete", "--move", "--compress N", "--filter RULE", "--bwlimit KBPS",
                                   "--report FILE"})
            EXPECT_TRUE(has(help.out, std::string("\n  ") + option)) << option << "\n" << help.out;
    }
}

TEST(Drvft, UsageProblemsExitWith64) {
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{}, "usage: drvft copy"},
        {{"frobnicate"}, "usage: drvft copy"},
        {{"copy", "src", "host:dest", "--compress", "10"}, "--compress takes 0 to 9, not 10"},
        {{"copy", "src", "host:dest", "--bwlimit", "0"}, "--bwlimit takes a positive rate in kbit/s"},
        {{"copy", "src", "host:dest", "--filter", "x y"}, "a filter is '+ PATTERN', '- PATTERN' or 'P PATTERN'"},
        {{"copy", "src", "host:dest", "--frobnicate"}, "unknown option --frobnicate"},
        {{"get", "host:path"}, "usage: drvft get"},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(64, o.status) << c.err;
        EXPECT_TRUE(has(o.err, c.err)) << c.err << "\n" << o.err;
        EXPECT_EQ("", o.out) << c.err;
    }
}

}  // namespace
