// drvhost --info and the sections it prints.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/machine_info.h"

namespace {

std::string printed(void (*print)(FILE*, const DrvFsEntry*), const DrvFsEntry* list) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    print(out, list);
    fclose(out);
    std::string result(text, len);
    free(text);
    return result;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

DrvFsEntry entry(const char* device, const char* mount, const char* type, long long total, long long freeKb,
                 long long avail) {
    DrvFsEntry e;
    memset(&e, 0, sizeof(e));
    e.device = const_cast<char*>(device);
    e.mountPoint = const_cast<char*>(mount);
    e.type = const_cast<char*>(type);
    e.totalKb = total;
    e.freeKb = freeKb;
    e.availKb = avail;
    return e;
}

TEST(MachineInfo, FileSystemTableLikeDf) {
    DrvFsEntry root = entry("/dev/sda1", "/", "ext4", 1000, 400, 300);
    DrvFsEntry shm = entry("tmpfs", "/dev/shm", "tmpfs", 1048576, 1048576, 1048576);
    DrvFsEntry proc = entry("proc", "/proc", "proc", 0, 0, 0);
    DrvFsEntry home = entry("server:/export/home", "/home", "nfs", 123456789, 23456789, 23456789);
    DrvFsEntry full = entry("/dev/sdb1", "/full", "xfs", 10, 0, 0);
    root.next = &shm;
    shm.next = &proc;
    proc.next = &home;
    home.next = &full;

    std::vector<std::string> lines = linesOf(printed(printFileSystems, &root));
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(0u, lines[0].find("File systems"));
    const std::string& header = lines[1];
    size_t mountColumn = header.find("Mounted on");
    ASSERT_NE(std::string::npos, mountColumn);
    // Watched types carry the mark; every mount point starts under its header.
    EXPECT_EQ(0u, lines[2].find("* /dev/sda1 "));
    EXPECT_EQ(0u, lines[3].find("  tmpfs "));
    EXPECT_EQ(0u, lines[4].find("* server:/export/home "));
    EXPECT_EQ(0u, lines[5].find("  /dev/sdb1 "));
    EXPECT_EQ(mountColumn, lines[2].find(" /", 2) + 1);
    EXPECT_EQ(mountColumn, lines[3].find("/dev/shm"));
    EXPECT_EQ(mountColumn, lines[4].rfind("/home"));
    // Used is total less free; the share is of what a user can have, rounded up.
    EXPECT_NE(std::string::npos, lines[2].find(" 1,000  "));
    EXPECT_NE(std::string::npos, lines[2].find(" 600  "));
    EXPECT_NE(std::string::npos, lines[2].find(" 67% "));
    EXPECT_NE(std::string::npos, lines[3].find("1,048,576"));
    EXPECT_NE(std::string::npos, lines[3].find(" 0% "));
    EXPECT_NE(std::string::npos, lines[4].find("123,456,789  100,000,000  23,456,789   82% "));
    EXPECT_NE(std::string::npos, lines[5].find(" 100% "));
    EXPECT_EQ("  (1 more without space not shown: proc)", lines[6]);

    EXPECT_EQ(2u, linesOf(printed(printFileSystems, nullptr)).size()) << "title and header only";
}

TEST(MachineInfo, MachineFactsSection) {
    MachineFacts facts;
    memset(&facts, 0, sizeof(facts));
    strcpy(facts.sysname, "Linux");
    strcpy(facts.release, "6.1.0-18-amd64");
    strcpy(facts.version, "#1 SMP Debian");
    strcpy(facts.machine, "x86_64");
    strcpy(facts.hostName, "agent7");
    facts.memory = 8589934592LL;
    facts.cpus = 4;
    facts.bootTime = 1700000000;
    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();

    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    printMachineFacts(out, facts);
    fclose(out);
    std::string shown(text, len);
    free(text);
    if (oldTz != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    EXPECT_EQ(0u, shown.find("Machine\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("system        Linux 6.1.0-18-amd64 (x86_64)\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("host name     agent7\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("processors    4\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("memory        8,589,934,592 bytes\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("booted        2023-11-14 22:13:20 UTC\n")) << shown;
    // Missing facts say why they are missing.
    EXPECT_NE(std::string::npos, shown.find("distribution  (neither /etc/redhat-release nor /etc/lsb-release"));
    EXPECT_NE(std::string::npos, shown.find("first MAC     (none: no interface with a routable IPv4 address)"));
}

TEST(MachineInfo, DrvhostInfoPrintsBothSectionsAndExits) {
    FILE* run = popen(DRVHOST_PATH " --info 2>&1", "r");
    ASSERT_NE(nullptr, run);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), run)) > 0) out.append(buf, n);
    int status = pclose(run);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << out;
    EXPECT_EQ(0u, out.find("Machine\n")) << out;
    for (const char* part : {"  system        Linux ", "  host name     ", "  first MAC     ", "  processors    ",
                             "  memory        ", "\nFile systems (sizes in kB; * = watched by the agent)\n",
                             "Mounted on\n"})
        EXPECT_NE(std::string::npos, out.find(part)) << part << "\n" << out;
    EXPECT_EQ(std::string::npos, out.find("interface")) << "no module loaded, nothing sampled";

    run = popen(DRVHOST_PATH " --help", "r");
    ASSERT_NE(nullptr, run);
    out.clear();
    while ((n = fread(buf, 1, sizeof(buf), run)) > 0) out.append(buf, n);
    pclose(run);
    EXPECT_NE(std::string::npos, out.find("--info")) << out;
}

}  // namespace
