// drvdir end to end: the program loads the network module, runs a server
// directory over the host's providers and answers one operation per run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

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
        {{"search", "/<[>:"}, 1, "drvdir: search: error 10: Illegal regular expression\n"},
        {{"list", "/a:b"}, 1, "drvdir: name '/a:b': error 5: Missing equal sign\n"},
        {{"--module", "/nonexistent.so", "list", "/"}, 1, "drvdir: cannot load module"},
        {{"frobnicate", "/"}, 64, "drvdir: unknown command 'frobnicate'"},
        {{"attrs"}, 64, "usage: drvdir attrs NAME"},
        {{"exec", "/"}, 64, "usage: drvdir exec NAME OPERATION"},
    };
    for (const Case& c : cases) {
        Outcome r = drvdir(c.args);
        EXPECT_EQ(c.status, r.status) << c.args[0] << " " << r.err;
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_EQ("", r.out);
    }
}

TEST(Drvdir, HelpGoesToStandardOutputAndSucceeds) {
    for (const char* flag : {"--help", "-h"}) {
        Outcome r = drvdir({flag});
        EXPECT_EQ(0, r.status) << flag;
        EXPECT_EQ(0u, r.out.find("usage: drvdir")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Exit status")) << r.out;
        EXPECT_EQ("", r.err);
    }
}

// A bad command line says what is wrong, before or after the command, and
// exits with 64 without running anything.
TEST(Drvdir, UsageErrorsSayWhatIsWrongAndExitWith64) {
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"--bogus", "list", "/"}, "drvdir: unknown option '--bogus'\n"},
        {{"-x", "list", "/"}, "drvdir: unknown option '-x'\n"},
        {{"list", "/", "--bogus"}, "drvdir: unknown option '--bogus'\n"},
        {{"--module"}, "drvdir: --module needs a value\n"},
        {{"search", "/", "--attrs"}, "drvdir: --attrs needs a value\n"},
        {{"--count", "many", "list", "/"}, "drvdir: --count wants a whole number of changes from 1, not 'many'\n"},
        {{"--timeout", "0", "list", "/"}, "drvdir: --timeout wants whole seconds from 1 to 86400, not '0'\n"},
    };
    for (const Case& c : cases) {
        Outcome r = drvdir(c.args);
        EXPECT_EQ(64, r.status) << c.err << r.err;
        EXPECT_EQ(std::string(c.err) + "Try 'drvdir --help'.\n", r.err);
        EXPECT_EQ("", r.out);
    }
}

// The commands that talk to a domain server name what they lack.
TEST(Drvdir, ServerCommandsSayWhichSettingIsMissing) {
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"enrol", "--user", "u", "--cert", "c.pem", "--key", "k.pem"}, "drvdir: enrol needs --server HOST:PORT\n"},
        {{"leave", "--server", "127.0.0.1", "--user", "u"},
         "drvdir: leave needs --server HOST:PORT, not '127.0.0.1'\n"},
        {{"enrol", "--server", "127.0.0.1:1", "--user", "u", "--cert", "c.pem"}, "drvdir: enrol needs --key PEM\n"},
        {{"--server", "127.0.0.1:1", "--user", "u", "list", "/"}, "drvdir: list needs --domain NAME\n"},
        // A domain without its server is not quietly this host's directory.
        {{"--domain", "corp", "--user", "u", "list", "/"}, "drvdir: list needs --server HOST:PORT\n"},
        {{"--domain", "corp", "--server", "127.0.0.1:1", "list", "/"}, "drvdir: list needs --user USER\n"},
    };
    for (const Case& c : cases) {
        Outcome r = drvdir(c.args);
        EXPECT_EQ(64, r.status) << c.err << r.err;
        EXPECT_EQ(0u, r.err.find(std::string(c.err) + "usage: drvdir ")) << r.err;
        EXPECT_EQ("", r.out);
    }
}

// Every option may also follow the command and its name.
TEST(Drvdir, OptionsAfterTheCommandCountAsOptions) {
    TempDir dir;
    writeFile(dir.file("mounts"), "/dev/fake / faketype rw 0 0\n");
    Outcome r = drvdir({"attrs", "/mount:path=\"/\"", "--mounts", dir.file("mounts")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"type\" : \"faketype\"")) << r.out;

    r = drvdir({"list", "/", "--timeout=5", "--module", "/nonexistent.so"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("drvdir: cannot load module")) << r.err;

    r = drvdir({"list", "/", "--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("usage: drvdir")) << r.out;
}

}  // namespace
