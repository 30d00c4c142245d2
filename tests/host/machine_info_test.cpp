// drvhost --info and the sections it prints.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "host/machine_info.h"
#include "tests/support/pattern.h"
#include "tests/support/printed.h"
#include "tests/support/process.h"

namespace {

DrvFsEntry entry(const char* device, const char* mount, const char* type, long long total, long long freeKb,
                 long long avail, DrvFsEntry* next) {
    DrvFsEntry e;
    memset(&e, 0, sizeof(e));
    e.device = const_cast<char*>(device);
    e.mountPoint = const_cast<char*>(mount);
    e.type = const_cast<char*>(type);
    e.totalKb = total;
    e.freeKb = freeKb;
    e.availKb = avail;
    e.next = next;
    return e;
}

TEST(MachineInfo, FileSystemTableLikeDf) {
    DrvFsEntry full = entry("/dev/sdb1", "/full", "xfs", 10, 0, 0, nullptr);
    DrvFsEntry proc = entry("proc", "/proc", "proc", 0, 0, 0, &full);
    DrvFsEntry home = entry("server:/export/home", "/home", "nfs", 123456789, 23456789, 23456789, &proc);
    DrvFsEntry root = entry("/dev/sda1", "/", "ext4", 1000, 400, 300, &home);

    std::vector<std::string> lines = splitLines(printed([&](FILE* out) { printFileSystems(out, &root); }));
    ASSERT_EQ(6u, lines.size());
    // Watched types carry the mark; used is total less free; the share is of
    // what a user can have, rounded up.
    EXPECT_EQ(0u, lines[2].find("* /dev/sda1 ")) << lines[2];
    EXPECT_TRUE(containsMatch(lines[2], " 1,000 +600 +300 +67% ")) << lines[2];
    EXPECT_TRUE(containsMatch(lines[3], " 123,456,789 +100,000,000 +23,456,789 +82% ")) << lines[3];
    EXPECT_EQ(0u, lines[4].find("  /dev/sdb1 ")) << lines[4];
    EXPECT_NE(std::string::npos, lines[4].find(" 100% ")) << lines[4];
    EXPECT_EQ("  (1 more without space not shown: proc)", lines[5]);
    // Every mount point starts under its header.
    EXPECT_EQ(lines[1].find("Mounted on"), lines[3].rfind("/home"));
}

// What statfs reports is whatever the file system says (a FUSE file system
// may claim anything): sizes near the top of the range still give the used
// space and share, without overflowing on the way.
TEST(MachineInfo, FileSystemSizesNearTheLimit) {
    DrvFsEntry full = entry("fuse2", "/max", "fuse", LLONG_MAX, 0, LLONG_MAX, nullptr);
    DrvFsEntry huge = entry("fuse1", "/huge", "fuse", 400000000000000000LL, 100000000000000000LL,
                            100000000000000000LL, &full);
    std::vector<std::string> lines = splitLines(printed([&](FILE* out) { printFileSystems(out, &huge); }));
    ASSERT_EQ(4u, lines.size());
    EXPECT_TRUE(containsMatch(lines[2], " 300,000,000,000,000,000 +100,000,000,000,000,000 +75% ")) << lines[2];
    // Half of what a user could have is used: the used and available
    // amounts together pass the largest number.
    EXPECT_TRUE(containsMatch(lines[3], " 9,223,372,036,854,775,807 +9,223,372,036,854,775,807 +50% ")) << lines[3];
}

TEST(MachineInfo, MachineFactsSection) {
    MachineFacts facts;
    memset(&facts, 0, sizeof(facts));
    strcpy(facts.sysname, "Linux");
    strcpy(facts.release, "6.1.0-18-amd64");
    strcpy(facts.machine, "x86_64");
    strcpy(facts.hostName, "agent7");
    facts.memory = 8589934592LL;
    facts.cpus = 4;
    facts.bootTime = 1700000000;
    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    std::string shown = printed([&](FILE* out) { printMachineFacts(out, facts); });
    if (oldTz != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    for (const char* line :
         {"Machine\n", "system        Linux 6.1.0-18-amd64 (x86_64)\n", "host name     agent7\n", "processors    4\n",
          "memory        8,589,934,592 bytes\n", "booted        2023-11-14 22:13:20 UTC\n",
          // Missing facts say why they are missing.
          "distribution  (neither /etc/redhat-release nor /etc/lsb-release",
          "first MAC     (none: no interface with a routable IPv4 address)"})
        EXPECT_NE(std::string::npos, shown.find(line)) << line << shown;
}

TEST(MachineInfo, DrvhostInfoPrintsBothSectionsAndExits) {
    Outcome run = runToEnd(DRVHOST_PATH, {"--info"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(0u, run.out.find("Machine\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\nFile systems (sizes in kB; * = watched by the agent)\n")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("interface")) << "no module loaded, nothing sampled";
}

}  // namespace
