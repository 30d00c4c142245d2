// drvmem against reports that the hooked test program writes (a file and a
// socket), and against damaged ones.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/pattern.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// The planted leak: three blocks of 48 bytes from leakyModuleFunction, which
// leak() called; a block from allocateHere that was freed; a guarded block
// overrun by one byte and freed in releaseHere.
void expectPlantedLeak(const std::string& out) {
    EXPECT_NE(std::string::npos, out.find("outstanding: 3 blocks, 144 bytes, from 1 stacks; guard violations: 1\n"))
        << out;
    ASSERT_TRUE(containsMatch(out, "\n144 bytes in 3 blocks outstanding, allocated at:\n"
                                   "    #0 0x[0-9a-f]+ \\(anonymous namespace\\)::leakyModuleFunction\\("
                                   "unsigned long\\)\\+0x[0-9a-f]+ \\([^)]*/mem_hooks_child\\)\n"
                                   "    #1 0x[0-9a-f]+ \\(anonymous namespace\\)::leak\\("))
        << out;
    EXPECT_TRUE(containsMatch(out, "\nguard violation: POSTGUARD was destroyed. Detected in free\\(\\)\n"
                                   "    #0 0x[0-9a-f]+ \\(anonymous namespace\\)::releaseHere\\("))
        << out;
    EXPECT_EQ(std::string::npos, out.find("allocateHere")) << out;  // freed, so not listed
}

TEST(Drvmem, FindsAPlantedLeakWithItsStackInAReportFileAndFromTheSocket) {
    TempDir dir;
    std::string report = dir.file("report");
    ASSERT_EQ(0, runToEnd(MEM_HOOKS_CHILD, {"leak", report}).status);
    Outcome o = runToEnd(DRVMEM_PATH, {report});
    EXPECT_EQ(0, o.status) << o.err;
    expectPlantedLeak(o.out);

    std::string socket = dir.file("analyser.sock");
    Process analyser(DRVMEM_PATH, {"--listen", socket});
    for (int i = 0; i < 1000 && analyser.err().find("listening") == std::string::npos; i++) usleep(10000);
    ASSERT_EQ(0, runToEnd(MEM_HOOKS_CHILD, {"leak-socket", socket}).status);
    EXPECT_EQ(0, analyser.wait()) << analyser.err();
    expectPlantedLeak(analyser.out());
    struct stat st;
    EXPECT_NE(0, lstat(socket.c_str(), &st));  // the socket is removed
}

// A program that was not linked with the hooks gets them from the preloaded
// library, and a module it loads with dlopen after reporting began is
// named in the stacks all the same.
TEST(Drvmem, NamesTheFramesOfAModuleLoadedAfterReportingBeganInAPreloadedProgram) {
    TempDir dir;
    std::string report = dir.file("report");
    setenv("DRV_MEM_REPORT", report.c_str(), 1);
    setenv("DRV_MEM_GUARDS", "1", 1);
    setenv("LD_PRELOAD", MEM_HOOKS_PRELOAD, 1);
    Process host(MEM_MODULE_HOST, {MEM_MODULE});
    unsetenv("LD_PRELOAD");
    unsetenv("DRV_MEM_GUARDS");
    unsetenv("DRV_MEM_REPORT");
    ASSERT_EQ(0, host.wait()) << host.err();
    EXPECT_EQ("done\n", host.out());

    Outcome o = runToEnd(DRVMEM_PATH, {report});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_TRUE(containsMatch(o.out, "\n40 bytes in 1 blocks outstanding, allocated at:\n"
                                     "    #0 0x[0-9a-f]+ \\(anonymous namespace\\)::keepSample\\("
                                     "unsigned long\\)\\+0x[0-9a-f]+ \\([^)]*mem_module[^)]*\\)\n"
                                     "    #1 0x[0-9a-f]+ moduleCollect\\+0x[0-9a-f]+ "))
        << o.out;
}

TEST(Drvmem, ADamagedReportKeepsWhatCameBeforeAndSaysWhereItBroke) {
    TempDir dir;
    std::string report = dir.file("report");
    ASSERT_EQ(0, runToEnd(MEM_HOOKS_CHILD, {"leak", report}).status);
    std::string bytes = readFile(report);

    // Cut inside the last record: everything before it is still counted.
    writeFile(report, bytes.substr(0, bytes.size() - 3));
    Outcome cut = runToEnd(DRVMEM_PATH, {"--no-symbols", report});
    EXPECT_EQ(1, cut.status);
    EXPECT_NE(std::string::npos, cut.err.find("drvmem: malformed report: record cut short")) << cut.err;
    EXPECT_NE(std::string::npos, cut.out.find("144 bytes in 3 blocks outstanding")) << cut.out;
    // Without symbols a frame is its file and offset.
    EXPECT_TRUE(containsMatch(cut.out, "    #0 0x[0-9a-f]+ [^ ]*/mem_hooks_child\\+0x[0-9a-f]+\n"))
        << cut.out;

    // An unknown record type, with its offset.
    writeFile(report, bytes + std::string("\x09\x00\x00\x00\x00", 5));
    Outcome bad = runToEnd(DRVMEM_PATH, {report});
    EXPECT_EQ(1, bad.status);
    EXPECT_NE(std::string::npos,
              bad.err.find("unknown record type 9 at offset " + std::to_string(bytes.size())))
        << bad.err;
    // A frame count no stack has.
    writeFile(report, std::string("\x01\xff\xff\x00\x00", 5) + std::string(64, '\0'));
    Outcome frames = runToEnd(DRVMEM_PATH, {report});
    EXPECT_EQ(1, frames.status);
    EXPECT_NE(std::string::npos, frames.err.find("frame count 65535 at offset 0")) << frames.err;

    EXPECT_EQ(2, runToEnd(DRVMEM_PATH, {dir.file("missing")}).status);
    // A read that fails is not the end of the report.
    Outcome folder = runToEnd(DRVMEM_PATH, {dir.path()});
    EXPECT_EQ(2, folder.status) << folder.out;
    EXPECT_EQ("drvmem: cannot read " + dir.path() + ": Is a directory\n", folder.err);
}

TEST(Drvmem, HelpSucceedsAndUsageErrorsExitWith64) {
    for (const char* flag : {"--help", "-h"}) {
        Outcome help = runToEnd(DRVMEM_PATH, {flag});
        EXPECT_EQ(0, help.status) << flag << ": " << help.err;
        EXPECT_EQ(0u, help.out.find("Usage: drvmem")) << flag << ": " << help.out;
        EXPECT_EQ("", help.err);
    }
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"--bogus"}, "drvmem: unknown option --bogus\n"},
        {{"--listen"}, "drvmem: --listen needs a socket path\n"},
        {{"a", "b"}, "drvmem: more than one report\n"},
        {{}, "drvmem: give a report file or --listen SOCKET\n"},
    };
    for (const Case& c : cases) {
        Outcome r = runToEnd(DRVMEM_PATH, c.args);
        EXPECT_EQ(64, r.status) << c.err;
        EXPECT_EQ(std::string(c.err) + "Try 'drvmem --help'.\n", r.err);
        EXPECT_EQ("", r.out);
    }
}

}  // namespace
