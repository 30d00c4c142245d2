// drvscript's command line: help, options it does not know, options that
// lack their value, and the exit statuses its usage names.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

Outcome drvscript(const std::vector<std::string>& args) {
    return runToEnd(DRVSCRIPT_PATH, args);
}

TEST(Drvscript, HelpGoesToStandardOutputAndSucceeds) {
    for (const char* flag : {"--help", "-h"}) {
        Outcome r = drvscript({flag});
        EXPECT_EQ(0, r.status) << flag;
        EXPECT_EQ(0u, r.out.find("usage: drvscript")) << flag << ": " << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Exit status")) << r.out;
        EXPECT_EQ("", r.err) << flag;
    }
    // After the options that shape the run, and without starting the
    // directory that --directory asks for.
    Outcome r = drvscript({"--tz", "UTC", "--directory", "--module", "/nonexistent.so", "--help"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("usage: drvscript")) << r.out;
    EXPECT_EQ("", r.err);
}

TEST(Drvscript, AnUnknownOptionIsAUsageErrorNotAFileName) {
    for (const char* option : {"--unknown", "-x"}) {
        Outcome r = drvscript({option});
        EXPECT_EQ(64, r.status) << option << ": " << r.err;
        EXPECT_EQ("drvscript: unknown option " + std::string(option) + "\nTry 'drvscript --help'.\n", r.err);
        EXPECT_EQ("", r.out);
    }
    // Before the file too.
    Outcome r = drvscript({"--tz", "UTC", "--bogus", "file.js"});
    EXPECT_EQ(64, r.status) << r.err;
    EXPECT_EQ(0u, r.err.find("drvscript: unknown option --bogus\n")) << r.err;
}

TEST(Drvscript, AMissingValueSaysWhichOptionWantsIt) {
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"-e"}, "drvscript: -e needs the source text\n"},
        {{"--template"}, "drvscript: --template needs a file\n"},
        {{"--tz"}, "drvscript: --tz needs a zone\n"},
        {{"--directory", "--module"}, "drvscript: --module needs a path\n"},
    };
    for (const Case& c : cases) {
        Outcome r = drvscript(c.args);
        EXPECT_EQ(64, r.status) << c.err << r.err;
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_EQ("", r.out);
    }
}

TEST(Drvscript, ArgumentsAfterTheScriptBelongToIt) {
    Outcome r = drvscript({"-e", "print(args.length, args[0], args[1]);", "--unknown", "-h"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("2 --unknown -h\n", r.out);

    TempDir dir;
    writeFile(dir.file("s.js"), "print(args[0]);");
    r = drvscript({dir.file("s.js"), "--help"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("--help\n", r.out);

    // "--" ends the options: a script whose name starts with a dash.
    writeFile(dir.file("-dash.js"), "print('dash');");
    r = drvscript({"--", dir.file("-dash.js")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("dash\n", r.out);
}

// Status 0 is the README's examples.
TEST(Drvscript, ExitStatusesAreTheOnesItsUsageNames) {
    Outcome r = drvscript({"-e", "print(notDeclared);"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("ReferenceError 46: Variable not defined")) << r.err;
    TempDir dir;
    r = drvscript({dir.file("missing.js")});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("drvscript: cannot open " + dir.file("missing.js"))) << r.err;
}

}  // namespace
