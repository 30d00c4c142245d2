// drvhost as a user runs it, and the table it prints.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/os.h"
#include "common/stats.h"
#include "host/sample_table.h"
#include "tests/support/printed.h"
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
        {-1000, "unknown", "counter reset"},       {0, "unknown", "0.00 kbit/s"},
        {999, "999 kbit/s", "999.00 kbit/s"},      {1000, "1 Mbit/s", "1.00 Mbit/s"},
        {1234, "1.23 Mbit/s", "1.23 Mbit/s"},      {100000, "100 Mbit/s", "100.00 Mbit/s"},
        {1000000, "1 Gbit/s", "1.00 Gbit/s"},      {25000000, "25 Gbit/s", "25.00 Gbit/s"},
        {2500000, "2500 Mbit/s", "2.50 Gbit/s"},   {-7, "-7 kbit/s", "counter reset"},
    };
    for (const Case& c : cases) {
        formatLinkSpeed(text, sizeof(text), c.kbps, LinkState::kUp);
        EXPECT_STREQ(c.speed, text) << c.kbps;
        formatRate(text, sizeof(text), c.kbps);
        EXPECT_STREQ(c.rate, text) << c.kbps;
    }
    // A rate that rounds up to the next unit is shown in it.
    formatRate(text, sizeof(text), 999994);
    EXPECT_STREQ("999.99 Mbit/s", text);
    formatRate(text, sizeof(text), 999995);
    EXPECT_STREQ("1.00 Gbit/s", text);
    struct Count {
        double perSecond;
        const char* text;
    } counts[] = {{0, "0.00/s"},           {12.5, "12.50/s"},   {3200, "3.20k/s"},   {1050000, "1.05M/s"},
                  {-1, "counter reset"},   {999.996, "1.00k/s"}, {999995, "1.00M/s"}};
    for (const Count& c : counts) {
        formatPerSecond(text, sizeof(text), c.perSecond);
        EXPECT_STREQ(c.text, text) << c.perSecond;
    }
}

TEST(SampleTable, SaysDownOnlyForALinkThatIsDown) {
    // The kernel's -1 is "no speed known"; virtual cards report it while up.
    char text[32];
    formatLinkSpeed(text, sizeof(text), -1000, LinkState::kUnknown);
    EXPECT_STREQ("unknown", text);
    formatLinkSpeed(text, sizeof(text), -1000, LinkState::kDown);
    EXPECT_STREQ("down", text);
    formatLinkSpeed(text, sizeof(text), 0, LinkState::kDown);
    EXPECT_STREQ("down", text);
    EXPECT_EQ(LinkState::kUp, parseOperState("up"));
    for (const char* down : {"down", "lowerlayerdown", "notpresent"}) EXPECT_EQ(LinkState::kDown, parseOperState(down));
    for (const char* other : {"unknown", "dormant", "testing", ""})
        EXPECT_EQ(LinkState::kUnknown, parseOperState(other));
}

TEST(SampleTable, PrintsOneLinePerNetworkRow) {
    StatEntry entry(0);
    entry.addRow(new StatRow(30, 0, "eth0", StatData::createSeriesArray(3, StatData::makeInt64(1000000),
                                                                        StatData::makeInt64(1234),
                                                                        StatData::makeInt64(12))));
    // Rows of other classes are not the table's business.
    entry.addRow(new StatRow(31, 0, "disk0", StatData::createSeriesArray(1, StatData::makeInt64(5))));
    InterfaceStats none;
    std::string text = printed([&](FILE* out) { printSampleTable(out, &entry, none, InterfaceFilter()); });
    EXPECT_NE(std::string::npos, text.find("eth0")) << text;
    EXPECT_NE(std::string::npos, text.find("1 Gbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("1.23 Mbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("12.00 kbit/s")) << text;
    EXPECT_EQ(std::string::npos, text.find("disk0")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

// A made-up /sys/class/net under drvhost's root prefix.
class FakeInterfaces : public ::testing::Test {
protected:
    void SetUp() override { s_set_chroot_path(_root.path().c_str()); }
    void TearDown() override { s_set_chroot_path(nullptr); }

    void set(const std::string& name, const char* operstate, long long txBytes, long long rxPackets,
             long long txDropped) {
        std::string dir = _root.path() + "/sys/class/net/" + name;
        for (const std::string& d : {_root.path() + "/sys", _root.path() + "/sys/class", _root.path() + "/sys/class/net",
                                     dir, dir + "/statistics"})
            mkdir(d.c_str(), 0755);
        if (operstate != nullptr) writeFile(dir + "/operstate", std::string(operstate) + "\n");
        writeFile(dir + "/statistics/tx_bytes", std::to_string(txBytes) + "\n");
        writeFile(dir + "/statistics/rx_packets", std::to_string(rxPackets) + "\n");
        writeFile(dir + "/statistics/tx_dropped", std::to_string(txDropped) + "\n");
    }

    static void addRow(StatEntry& entry, const char* name, long long speed) {
        entry.addRow(new StatRow(30, 0, name, StatData::createSeriesArray(3, StatData::makeInt64(speed),
                                                                          StatData::makeInt64(8),
                                                                          StatData::makeInt64(16))));
    }

    TempDir _root;
};

TEST_F(FakeInterfaces, NamesTheInterfacesWithoutARateAndSaysWhy) {
    set("eth0", "up", 100, 10, 0);
    set("ens3", "down", 100, 0, 0);
    set("ifb0", "down", 0, 0, 0);
    set("vmnet8", "up", 100, 0, 0);  // never an interface of the table
    InterfaceStats stats;
    stats.scan(1000);
    StatEntry first(0);
    std::string text = printed([&](FILE* out) { printSampleTable(out, &first, stats, InterfaceFilter()); });
    EXPECT_NE(std::string::npos, text.find("(no rate yet: first sample for ")) << text;
    for (const char* name : {"eth0", "ens3", "ifb0"}) EXPECT_NE(std::string::npos, text.find(name)) << text;
    EXPECT_EQ(std::string::npos, text.find("vmnet8")) << text;

    // A second scan a second later: the module gave eth0 and ens3 a row, and
    // ifb0, which transmitted nothing before, none.
    set("eth0", "up", 200, 510, 3);
    set("ifb0", "down", 0, 0, 0);
    stats.scan(2000);
    StatEntry second(0);
    addRow(second, "eth0", -1000);
    addRow(second, "ens3", -1000);
    text = printed([&](FILE* out) { printSampleTable(out, &second, stats, InterfaceFilter()); });
    std::string eth0 = text.substr(text.find("eth0"));
    eth0 = eth0.substr(0, eth0.find('\n'));
    EXPECT_NE(std::string::npos, eth0.find(" unknown ")) << text;
    EXPECT_NE(std::string::npos, eth0.find("500.00/s")) << text;
    EXPECT_NE(std::string::npos, eth0.find("3.00/s")) << text;
    std::string ens3 = text.substr(text.find("ens3"));
    EXPECT_LT(ens3.find(" down "), ens3.find('\n')) << text;
    EXPECT_NE(std::string::npos, text.find("(no rate yet: no transmit traffic on ifb0)\n")) << text;

    // The same as JSON, one object per line.
    text = printed([&](FILE* out) { printSampleJson(out, &second, stats, InterfaceFilter()); });
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n')) << text;
    EXPECT_NE(std::string::npos,
              text.find("\"interface\":\"eth0\",\"link\":\"up\",\"speed_kbps\":null,\"receive_kbps\":8,"
                        "\"transmit_kbps\":16,\"rx_packets_per_s\":500.00"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\"tx_dropped_per_s\":3.00}")) << text;
    EXPECT_NE(std::string::npos, text.find("\"interface\":\"ifb0\",\"link\":\"down\",\"no_rate\":\"no transmit traffic\""))
        << text;

    // Filters pick from rows and from the interfaces without a rate alike.
    InterfaceFilter filter;
    filter.include = {"e*"};
    filter.exclude = {"ens?"};
    text = printed([&](FILE* out) { printSampleTable(out, &second, stats, filter); });
    EXPECT_NE(std::string::npos, text.find("eth0")) << text;
    EXPECT_EQ(std::string::npos, text.find("ens3")) << text;
    EXPECT_EQ(std::string::npos, text.find("ifb0")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

// Linux names interfaces with bytes, JSON is UTF-8: whatever a name holds,
// each line stays JSON, and names that differ stay apart.
TEST_F(FakeInterfaces, JsonNamesStayUtf8WhateverBytesTheyHold) {
    set("e\xffx", "up", 0, 0, 0);  // no row: printed with its reason
    InterfaceStats stats;
    stats.scan(1000);
    StatEntry entry(0);
    for (const char* name : {"\xc3\xa9th0", "\xe2\x82\xac\xf0\x9f\x8c\x90", "bad\xc0\xaf", "cut\xe2\x82",
                             "sur\xed\xa0\x80", "big\xf4\x90\x80\x80", "q\"b\\\x01"})
        addRow(entry, name, 1000);
    std::string text = printed([&](FILE* out) { printSampleJson(out, &entry, stats, InterfaceFilter()); });
    // Well-formed characters of two, three and four bytes go out as they
    // are; an overlong form, a sequence cut short, an encoded surrogate and
    // a value above U+10FFFF go out a byte at a time.
    for (const char* expected : {
             "\"interface\":\"\xc3\xa9th0\"",
             "\"interface\":\"\xe2\x82\xac\xf0\x9f\x8c\x90\"",
             "\"interface\":\"bad\\udcc0\\udcaf\"",
             "\"interface\":\"cut\\udce2\\udc82\"",
             "\"interface\":\"sur\\udced\\udca0\\udc80\"",
             "\"interface\":\"big\\udcf4\\udc90\\udc80\\udc80\"",
             "\"interface\":\"q\\\"b\\\\\\u0001\"",
             "\"interface\":\"e\\udcffx\",\"link\":\"up\",\"no_rate\":\"first sample\"",
         })
        EXPECT_NE(std::string::npos, text.find(expected)) << expected << "\n" << text;
    EXPECT_EQ(8, std::count(text.begin(), text.end(), '\n')) << text;
}

// The table goes to a terminal: a name cannot steer it with control
// characters, and no two names print the same.
TEST_F(FakeInterfaces, TableNamesCannotSteerTheTerminal) {
    set("q\x1b]0;x\x07", "up", 0, 0, 0);  // no row: printed with its reason
    InterfaceStats stats;
    stats.scan(1000);
    StatEntry entry(0);
    for (const char* name : {"esc\x1b[2J", "c1\xc2\x9b" "1m", "del\x7f", "a\\x01", "a\x01", "bad\xff", "\xc3\xa9th0"})
        addRow(entry, name, 1000);
    std::string text = printed([&](FILE* out) { printSampleTable(out, &entry, stats, InterfaceFilter()); });
    for (char c : text) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << text;
    EXPECT_EQ(std::string::npos, text.find("\x7f")) << text;
    EXPECT_EQ(std::string::npos, text.find("\xc2\x9b")) << text;
    for (const char* expected : {"esc\\x1b[2J", "c1\\xc2\\x9b1m", "del\\x7f", "a\\\\x01 ", "a\\x01 ", "bad\\xff",
                                 "\xc3\xa9th0", "q\\x1b]0;x\\x07"})
        EXPECT_NE(std::string::npos, text.find(expected)) << expected << "\n" << text;
}

TEST_F(FakeInterfaces, AnInterfaceThatComesBackStartsAgain) {
    set("eth0", nullptr, 100, 0, 0);  // no operstate file: nothing known
    InterfaceStats stats;
    stats.scan(1000);
    stats.scan(2000);
    ASSERT_NE(nullptr, stats.find("eth0"));
    EXPECT_EQ(LinkState::kUnknown, stats.find("eth0")->link);
    EXPECT_TRUE(stats.find("eth0")->hasRates);
    std::string gone = _root.path() + "/gone";
    ASSERT_EQ(0, rename((_root.path() + "/sys/class/net/eth0").c_str(), gone.c_str()));
    stats.scan(3000);
    EXPECT_EQ(nullptr, stats.find("eth0"));
    ASSERT_EQ(0, rename(gone.c_str(), (_root.path() + "/sys/class/net/eth0").c_str()));
    stats.scan(4000);
    ASSERT_NE(nullptr, stats.find("eth0"));
    EXPECT_EQ(1, stats.find("eth0")->scans);
    EXPECT_FALSE(stats.find("eth0")->hasRates);
}

// Counters that jump across the whole 64-bit range (a made-up file, or a
// driver that resets to a negative text) give a rate, not an overflow.
TEST_F(FakeInterfaces, CountersThatJumpAcrossTheWholeRangeStillGiveARate) {
    set("eth0", "up", 100, LLONG_MIN, LLONG_MAX);
    InterfaceStats stats;
    stats.scan(1000);
    set("eth0", "up", 200, LLONG_MAX, LLONG_MIN);
    stats.scan(2000);
    const InterfaceInfo* eth0 = stats.find("eth0");
    ASSERT_NE(nullptr, eth0);
    ASSERT_TRUE(eth0->hasRates);
    bool rising = false, falling = false;
    for (double rate : eth0->rates) {
        rising = rising || rate > 1e19;
        falling = falling || rate < -1e19;
    }
    EXPECT_TRUE(rising);
    EXPECT_TRUE(falling);
}

TEST(Drvhost, SamplesTheMachineAndStopsWhenAsked) {
    // The table's first sample is the README's example. As JSON, only the
    // interfaces asked for: lo always exists.
    Outcome run = runToEnd(DRVHOST_PATH, {"--count", "2", "--interval", "0.05", "--json", "--interfaces", "l?"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("{\"time\":")) << run.out;
    for (size_t at = run.out.find("{\"time\":"); at != std::string::npos; at = run.out.find("{\"time\":", at + 1)) {
        std::string line = run.out.substr(at, run.out.find('\n', at) - at);
        EXPECT_NE(std::string::npos, line.find(",\"interface\":\"lo\",")) << line;
        EXPECT_EQ('}', line.back()) << line;
    }

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

    // A shared object without an entry point, or no path at all (which the
    // loader would take for drvhost itself), is refused before the runtime
    // starts for it: nothing is logged and no signal thread is begun.
    run = runToEnd(DRVHOST_PATH, {"--module", NOT_A_MODULE_PATH});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(std::string("drvhost: ") + NOT_A_MODULE_PATH + " has no moduleMain\n", run.err);
    EXPECT_EQ("", run.out);
    run = runToEnd(DRVHOST_PATH, {"--module", ""});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("drvhost: cannot load module: no path given\n", run.err);
    EXPECT_EQ("", run.out);

    run = runToEnd(DRVHOST_PATH, {"--module", FAILING_MODULE_PATH});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("moduleMain failed with code 76: Module Failed or Failed to Load"))
        << run.err;
    // By then the signal thread runs, with handlers in main's frame. An
    // interrupt while the failed run ends must not be taken for a stop
    // request (status 0) or reach a handler that is gone; and what the run
    // logged before it failed is still written out.
    setenv("DRV_TEST_SIGNAL_AT_EXIT", std::to_string(SIGINT).c_str(), 1);
    run = runToEnd(DRVHOST_PATH, {"--module", FAILING_MODULE_PATH});
    unsetenv("DRV_TEST_SIGNAL_AT_EXIT");
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("moduleMain failed with code 76: Module Failed or Failed to Load"))
        << run.err;
    EXPECT_EQ(std::string::npos, run.out.find("Received request to shutdown")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(": The module does not export s_setDravikaPropertiesPath")) << run.out;

    // A log directory that cannot be written is refused up front.
    EXPECT_EQ(1, runToEnd(DRVHOST_PATH, {"--log-dir", "/nonexistent/logs", "--count", "1"}).status);

    // Usage problems, among them what cannot be a sampling interval.
    for (const char* bad : {"--interval=0", "--interval=soon", "--interval=inf", "--interval=nan", "--interval=1e300",
                            "--interval=1e-300", "--interval=0.001", "--interval=86401", "--interval=", "--count=-1",
                            "--bogus", "extra"}) {
        run = runToEnd(DRVHOST_PATH, {bad});
        EXPECT_EQ(64, run.status) << bad;
        EXPECT_FALSE(run.err.empty()) << bad;
        EXPECT_EQ("", run.out) << bad;
    }
    run = runToEnd(DRVHOST_PATH, {"--interval", "1e300"});
    EXPECT_NE(std::string::npos, run.err.find("--interval wants seconds from 0.01 to 86400 (one day), not '1e300'"))
        << run.err;
    // An id that is not a number is a usage problem too, not a failed lookup.
    for (const char* kind : {"uid", "gid"}) {
        for (const char* bad : {"abc", "4294967296", "", "12x"}) {
            run = runToEnd(DRVHOST_PATH, {"--lookup", kind, bad});
            EXPECT_EQ(64, run.status) << kind << " '" << bad << "'";
            EXPECT_NE(std::string::npos, run.err.find(std::string("--lookup ") + kind + " wants a number")) << run.err;
            EXPECT_EQ("", run.out) << kind << " '" << bad << "'";
        }
    }
    run = runToEnd(DRVHOST_PATH, {"--raw", "--json"});
    EXPECT_EQ(64, run.status);
    EXPECT_NE(std::string::npos, run.err.find("pick one")) << run.err;

    run = runToEnd(DRVHOST_PATH, {"--help"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("Usage: drvhost [options]\n")) << run.out;
}

}  // namespace
