// drvcsv's command line: help, options it does not know or that lack their
// value, bad values, the exit statuses its usage names, and the columns it
// reads when given no --map, also from a named pipe.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

class DrvcsvTest : public ::testing::Test {
protected:
    void SetUp() override { writeFile(csv(), "a,b\n1,2\n"); }
    std::string csv() const { return _dir.file("in.csv"); }
    Outcome drvcsv(const std::vector<std::string>& args) { return runToEnd(DRVCSV_PATH, args); }

    TempDir _dir;
};

TEST_F(DrvcsvTest, HelpGoesToStandardOutputAndSucceeds) {
    for (const char* flag : {"--help", "-h"}) {
        Outcome r = drvcsv({flag});
        EXPECT_EQ(0, r.status) << flag;
        EXPECT_EQ(0u, r.out.find("usage: drvcsv")) << flag << ": " << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Exit status")) << r.out;
        EXPECT_EQ("", r.err) << flag;
    }
}

TEST_F(DrvcsvTest, UsageErrorsSayWhatIsWrongAndExitWith64) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{csv(), "--bogus"}, "drvcsv: unknown option --bogus\n"},
        {{"-x", csv()}, "drvcsv: unknown option -x\n"},
        {{csv(), "--map"}, "drvcsv: --map needs a value\n"},
        {{csv(), "--separator"}, "drvcsv: --separator needs a value\n"},
        {{csv(), "--map", "1:2"}, "drvcsv: bad --map 1:2 (want IN=OUT:TYPE)\n"},
        {{csv(), "--transform", "x"}, "drvcsv: bad --transform x (want COL=EXPR)\n"},
        {{csv(), "--header", "one"}, "drvcsv: bad --header one (want a count of lines)\n"},
        {{csv(), "--header", "-1"}, "drvcsv: bad --header -1 (want a count of lines)\n"},
        {{csv(), csv()}, "drvcsv: one file at a time (also got " + csv() + ")\n"},
        {{"--json"}, "drvcsv: no FILE given\n"},
        {{}, "drvcsv: no FILE given\n"},
    };
    for (const Case& c : cases) {
        Outcome r = drvcsv(c.args);
        EXPECT_EQ(64, r.status) << c.err << r.err;
        EXPECT_EQ(c.err + "Try 'drvcsv --help'.\n", r.err);
        EXPECT_EQ("", r.out);
    }
}

// Status 0 and its table are the README's example.
TEST_F(DrvcsvTest, ExitStatusesAreTheOnesItsUsageNames) {
    writeFile(csv(), "x,2024-01-02\ny,never\n");
    Outcome r = drvcsv({csv(), "--map", "2=1:date"});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("row 2: Unable to convert 'never' to date")) << r.err;

    r = drvcsv({_dir.file("missing.csv")});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("drvcsv: cannot read " + _dir.file("missing.csv"))) << r.err;
    r = drvcsv({_dir.path()});
    EXPECT_EQ(2, r.status) << r.out;
    EXPECT_EQ("drvcsv: cannot read " + _dir.path() + ": Is a directory\n", r.err);
    EXPECT_EQ("", r.out);
}

TEST_F(DrvcsvTest, WithoutMapEveryColumnOfTheFirstLineGoesThrough) {
    // Blank lines (an empty quoted field among them) come before the first
    // line, and a lone carriage return ends a line as the reader has it.
    writeFile(csv(), "\n\r\n\"\"\na,b\rc,d\r");
    Outcome r = drvcsv({csv()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("a | b\nc | d\nrows: 2, warnings: 0, errors: 0\n", r.out);

    // A quoted field of the first line may hold a separator and line ends.
    writeFile(csv(), "\"x,\r\ny\",z\n1,2\n");
    r = drvcsv({csv(), "--json"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("[\"x,\\r\\ny\",\"z\"]\n[\"1\",\"2\"]\nrows: 2, warnings: 0, errors: 0\n", r.out);

    // A file of one line without a line end.
    writeFile(csv(), "p;q;r");
    r = drvcsv({csv(), "--separator", ";"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("p | q | r\nrows: 1, warnings: 0, errors: 0\n", r.out);

    // A first line far longer than one read: its fields after the long one
    // are columns too, and so are those of a quoted field that spans reads.
    const std::string longText(300000, 'x');
    writeFile(csv(), longText + ",b,c\n1,2,3\n");
    r = drvcsv({csv()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(longText + " | b | c\n1 | 2 | 3\nrows: 2, warnings: 0, errors: 0\n", r.out);
    writeFile(csv(), "\"" + longText + "\n,y\",b\n1,2\n");
    r = drvcsv({csv(), "--json"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("[\"" + longText + "\\n,y\",\"b\"]\n[\"1\",\"2\"]\nrows: 2, warnings: 0, errors: 0\n", r.out);
}

TEST_F(DrvcsvTest, ANamedPipeThatNobodyWritesReadsAsEmpty) {
    // As the reader has it: the columns of the first line are looked for
    // without waiting for a writer that may never come.
    const std::string fifo = _dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    Process p(DRVCSV_PATH, {fifo});
    const bool done = p.waitForOutput("rows: 0, warnings: 0, errors: 0\n");
    EXPECT_TRUE(done) << p.err();
    EXPECT_EQ(0, done ? p.wait() : p.stop(SIGKILL));
}

}  // namespace
