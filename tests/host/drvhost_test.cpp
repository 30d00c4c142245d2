// drvhost as a user runs it, and the table it prints.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stats.h"
#include "host/dravika.h"
#include "host/sample_table.h"

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(FILE* f) {
    std::string text;
    char buf[4096];
    size_t n;
    rewind(f);
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

// A signal to send once a text has appeared on drvhost's standard output.
struct Step {
    const char* waitFor;
    int signal;
};

std::string currentOutput(FILE* out) {
    fflush(out);
    FILE* peek = fopen(("/proc/self/fd/" + std::to_string(fileno(out))).c_str(), "r");
    return peek != nullptr ? slurp(peek) : std::string();
}

// Runs drvhost with the arguments, taking the steps in order.
RunResult runDrvhost(std::vector<std::string> args, const std::vector<Step>& steps = {}) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        std::vector<char*> argv{const_cast<char*>(DRVHOST_PATH)};
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(DRVHOST_PATH, argv.data());
        _exit(127);
    }
    for (const Step& step : steps) {
        for (int i = 0; i < 500 && currentOutput(out).find(step.waitFor) == std::string::npos; i++) usleep(10000);
        kill(pid, step.signal);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return RunResult{status, slurp(out), slurp(err)};
}

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
    FILE* out = tmpfile();
    printSampleTable(out, &entry, Dravika::instance());
    std::string text = slurp(out);
    EXPECT_NE(std::string::npos, text.find("eth0")) << text;
    EXPECT_NE(std::string::npos, text.find("1 Gbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("1.23 Mbit/s")) << text;
    EXPECT_NE(std::string::npos, text.find("12 kbit/s")) << text;
    EXPECT_EQ(std::string::npos, text.find("disk0")) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << text;
}

TEST(Drvhost, SamplesTheMachineAndStopsWhenAsked) {
    RunResult run = runDrvhost({"--count", "3", "--interval", "0.05"});
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(0, WEXITSTATUS(run.status)) << run.err;
    // Log messages (the missing properties file, at least) may come first.
    EXPECT_TRUE(startsALine(run.out, "time      interface")) << run.out;
    // The first sample has no rates yet for any interface.
    EXPECT_NE(std::string::npos, run.out.find("interfaces without a rate yet")) << run.out;

    run = runDrvhost({"--count", "2", "--interval", "0.05", "--raw"});
    EXPECT_EQ(0, WEXITSTATUS(run.status)) << run.err;
    EXPECT_TRUE(startsALine(run.out, "    ")) << run.out;

    // The last sample ends the run through the same shutdown path as a signal.
    EXPECT_NE(std::string::npos, run.out.find(": Received request to shutdown...\n")) << run.out;
}

TEST(Drvhost, TermAndInterruptEndTheRunCleanly) {
    for (int sig : {SIGTERM, SIGINT}) {
        // Between samples, long before the next one.
        RunResult run = runDrvhost({"--interval", "30"}, {{"time      interface", sig}});
        ASSERT_TRUE(WIFEXITED(run.status)) << strsignal(sig) << ": killed by signal " << WTERMSIG(run.status);
        EXPECT_EQ(0, WEXITSTATUS(run.status)) << strsignal(sig) << run.err;
        EXPECT_NE(std::string::npos, run.out.find("Received request to shutdown...")) << strsignal(sig);

        // While samples follow each other closely: the run still ends with whole lines.
        run = runDrvhost({"--interval", "0.01", "--raw"}, {{"cls: ", sig}});
        ASSERT_TRUE(WIFEXITED(run.status)) << strsignal(sig) << ": killed by signal " << WTERMSIG(run.status);
        EXPECT_EQ(0, WEXITSTATUS(run.status)) << strsignal(sig) << run.err;
        EXPECT_EQ('\n', run.out.back()) << run.out;
        EXPECT_EQ("", run.err);
    }
}

TEST(Drvhost, DumpsItsEventLoopsWhenAsked) {
    RunResult run = runDrvhost({"--count", "1", "--dump-threads"});
    EXPECT_EQ(0, WEXITSTATUS(run.status)) << run.err;
    // The main loop's sampling timer and stop request, before the first sample.
    size_t dump = run.out.find("== Thread Context 0x");
    EXPECT_NE(std::string::npos, dump) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("==     TimerEvent: 0x", dump)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("==     CountEvent: 0x", dump)) << run.out;

    // SIGQUIT asks for the same dump while the host runs; the host lives on.
    run = runDrvhost({"--interval", "30"}, {{"time      interface", SIGQUIT}, {"== Thread Context", SIGTERM}});
    ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
    EXPECT_EQ(0, WEXITSTATUS(run.status)) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("Thread dump requested\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("==     TimerEvent: 0x")) << run.out;
}

TEST(Drvhost, ExplainsWhatWentWrong) {
    RunResult run = runDrvhost({"--module", "/nonexistent/module.so"});
    EXPECT_EQ(1, WEXITSTATUS(run.status));
    EXPECT_NE(std::string::npos, run.err.find("cannot load module")) << run.err;

    run = runDrvhost({"--module", FAILING_MODULE_PATH});
    EXPECT_EQ(1, WEXITSTATUS(run.status));
    EXPECT_NE(std::string::npos, run.err.find("moduleMain failed with code 76: Module Failed or Failed to Load"))
        << run.err;

    for (const char* bad : {"--interval=0", "--interval=soon", "--count=-1", "--bogus", "extra"}) {
        run = runDrvhost({bad});
        EXPECT_EQ(2, WEXITSTATUS(run.status)) << bad;
        EXPECT_FALSE(run.err.empty()) << bad;
    }

    run = runDrvhost({"--help"});
    EXPECT_EQ(0, WEXITSTATUS(run.status));
    for (const char* option : {"--module", "--interval", "--count", "--raw", "--dump-threads", "--help"})
        EXPECT_NE(std::string::npos, run.out.find(option)) << option;
}

}  // namespace
