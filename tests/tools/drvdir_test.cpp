// drvdir end to end: the program loads the network module, runs a server
// directory over the host's providers and answers one operation per run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

Outcome drvdir(const std::vector<std::string>& args) {
    return runToEnd(DRVDIR_PATH, args);
}

TEST(Drvdir, AnswersThroughTheModulesProvider) {
    Outcome r = drvdir({"resolve", "/networkAdapter:name=lo"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"value\" : \"n/lo\"")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("provider: generic SPI (through host SPI)")) << r.out;

    r = drvdir({"list", "/"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("networkAdapter\n")) << r.out;

    // The module's provider answers a search through the class test alone.
    r = drvdir({"search", "/<network.*>:", "--attrs", "name,ip"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("0 found\n", r.out);

    r = drvdir({"attrs", "/networkAdapter:name=lo"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("{}\n", r.out);
}

TEST(Drvdir, FailuresPrintTheCodeAndItsTextAndExitNonZero) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {{"attrs", "/disk:name=x"}, 1, "drvdir: attrs: error 15: Object Not Found\n"},
        {{"acl", "//domain:title=x/a:"}, 1, "drvdir: acl: error 6: Missing domain name\n"},
        {{"attrs", "//domain:name=x/a:"}, 1, "drvdir: attrs: error 11: Not connected\n"},
        {{"search", "/<[>:"}, 1, "drvdir: search: error 10: Illegal regular expression\n"},
        {{"list", "/a:b"}, 1, "drvdir: name '/a:b': error 5: Missing equal sign\n"},
        {{"--module", "/nonexistent.so", "list", "/"}, 1, "drvdir: cannot load module"},
        {{"frobnicate", "/"}, 2, "drvdir: unknown command 'frobnicate'"},
        {{"attrs"}, 2, "usage: drvdir"},
    };
    for (const Case& c : cases) {
        Outcome r = drvdir(c.args);
        EXPECT_EQ(c.status, r.status) << c.args[0] << " " << r.err;
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_EQ("", r.out);
    }
}

}  // namespace
