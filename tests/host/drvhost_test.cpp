// drvhost as a user runs it, and the table it prints.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stats.h"
#include "host/sample_table.h"
#include "hostrt/dravika.h"
#include "tests/support/process.h"

namespace {

bool startsALine(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0 || text.find("\n" + start) != std::string::npos;
}

TEST(SampleTable, ShowsSpeedsAndRatesInUnitsAPersonReads) {
    char text[32];
    struct Case {
        long long kbps;
        const char* speed;
        const char* rate;
    } cases[] = {
        {-1000, "down", "counter reset"},       {0, "unknown", "0 kbit/s"},
        {999, "999 kbit/s", "999 kbit/s"},      {1000, "1 Mbit/s", "1.00 Mbit/s"},
        {1234, "1.23 Mbit/s", "1.23 Mbit/s"},   {100000, "100 Mbit/s", "100.00 Mbit/s"},
        {1000000, "1 Gbit/s", "1.00 Gbit/s"},   {25000000, "25 Gbit/s", "25.00 Gbit/s"},
        {2500000, "2500 Mbit/s", "2.50 Gbit/s"}, {-7, "-7 kbit/s", "counter reset"},
    };
    for (const Case& c : cases) {
        formatLinkSpeed(text, sizeof(text), c.kbps);
        EXPECT_STREQ(c.speed, text) << c.kbps;
        formatRate(text, sizeof(text), c.kbps);
        EXPECT_STREQ(c.rate, text) << c.kbps;
    }
}

TEST(SampleTable, PrintsOneLinePerNetworkRow) {
    StatEntry entry(0);
    entry.addRow(new StatRow(30, 0, "eth0", StatData::createSeriesArray(3, StatData::makeInt64(1000000),
                                                                        StatData::makeInt64(1234),
                                                                        StatData::makeInt64(12))));
    // Rows of other classes are not the table's business.
    entry.addRow(new StatRow(31, 0, "disk0", StatData::createSeriesArray(1, StatData::makeInt64(5))));
    char* printed = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&printed, &len);
    printSampleTable(out, &entry, Dravika::instance());
    fclose(out);
    std::string text(printed, len);
    free(printed);
    EXPECT_NE(std::string::npos, text.find("eth0")) << text;
    EXPECT_NE(std::string::npos, text.find("1 Gbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("1.23 Mbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("12 kbit/s")) << text;
    EXPECT_EQ(std::string::npos, text.find("disk0")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

TEST(Drvhost, SamplesTheMachineAndStopsWhenAsked) {
    Outcome run = runToEnd(DRVHOST_PATH, {"--count", "3", "--interval", "0.05"});
    EXPECT_EQ(0, run.status) << run.err;
    // Log messages (the missing properties file, at least) may come first.
    EXPECT_TRUE(startsALine(run.out, "time      interface")) << run.out;
    // The first sample has no rates yet for any interface.
    EXPECT_NE(std::string::npos, run.out.find("interfaces without a rate yet")) << run.out;

    run = runToEnd(DRVHOST_PATH, {"--count", "2", "--interval", "0.05", "--raw"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(startsALine(run.out, "    ")) << run.out;
    // Without a log directory messages go to standard output; the last sample
    // ends the run through the same shutdown path as a signal.
    EXPECT_NE(std::string::npos, run.out.find(": Received request to shutdown...\n")) << run.out;
}

TEST(Drvhost, TermAndInterruptEndTheRunCleanly) {
    // Between samples, long before the next one; and while samples follow
    // each other closely, where the run still ends with whole lines.
    struct Case {
        std::vector<std::string> args;
        const char* waitFor;
    } cases[] = {{{"--interval", "30"}, "time      interface"}, {{"--interval", "0.01", "--raw"}, "cls: "}};
    for (int sig : {SIGTERM, SIGINT}) {
        for (const Case& c : cases) {
            Process run(DRVHOST_PATH, c.args);
            ASSERT_TRUE(run.waitForOutput(c.waitFor));
            run.signal(sig);
            EXPECT_EQ(0, run.wait()) << strsignal(sig) << run.err();
            EXPECT_NE(std::string::npos, run.out().find("Received request to shutdown...\n")) << strsignal(sig);
            EXPECT_EQ('\n', run.out().back());
            EXPECT_EQ("", run.err());
        }
    }
}

TEST(Drvhost, DumpsItsEventLoopsWhenAsked) {
    Outcome run = runToEnd(DRVHOST_PATH, {"--count", "1", "--dump-threads"});
    EXPECT_EQ(0, run.status) << run.err;
    // The main loop's sampling timer and stop request, before the first sample.
    size_t dump = run.out.find("== Thread Context 0x");
    EXPECT_NE(std::string::npos, dump) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("==     TimerEvent: 0x", dump)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("==     CountEvent: 0x", dump)) << run.out;

    // SIGQUIT asks for the same dump while the host runs; the host lives on.
    Process running(DRVHOST_PATH, {"--interval", "30"});
    ASSERT_TRUE(running.waitForOutput("time      interface"));
    running.signal(SIGQUIT);
    ASSERT_TRUE(running.waitForOutput("==     TimerEvent: 0x"));
    EXPECT_EQ(0, running.stop()) << running.err();
    EXPECT_NE(std::string::npos, running.out().find("Thread dump requested\n")) << running.out();
}

TEST(Drvhost, ExplainsWhatWentWrong) {
    Outcome run = runToEnd(DRVHOST_PATH, {"--module", "/nonexistent/module.so"});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("cannot load module")) << run.err;

    run = runToEnd(DRVHOST_PATH, {"--module", FAILING_MODULE_PATH});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("moduleMain failed with code 76: Module Failed or Failed to Load"))
        << run.err;

    // A log directory that cannot be written is refused up front.
    EXPECT_EQ(1, runToEnd(DRVHOST_PATH, {"--log-dir", "/nonexistent/logs", "--count", "1"}).status);

    for (const char* bad : {"--interval=0", "--interval=soon", "--count=-1", "--bogus", "extra"}) {
        run = runToEnd(DRVHOST_PATH, {bad});
        EXPECT_EQ(2, run.status) << bad;
        EXPECT_FALSE(run.err.empty()) << bad;
    }

    run = runToEnd(DRVHOST_PATH, {"--help"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("Usage: drvhost [options]\n")) << run.out;
}

}  // namespace
