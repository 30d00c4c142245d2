// The programs around statistics files: drvhost keeping its samples in
// them (and sampling on when it cannot), drvdump listing one, consolidating
// a day, and decoding the automation records.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/message.h"
#include "records/rule.h"
#include "records/stats_file.h"
#include "tests/support/bytes.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d != nullptr ? readdir(d) : nullptr)
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    if (d != nullptr) closedir(d);
    return names;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

class StatsToolsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
    }
    TempDir dir;
};

TEST_F(StatsToolsTest, DrvhostKeepsItsSamplesWhereDrvdumpListsThem) {
    Outcome host = runToEnd(DRVHOST_PATH, {"--count", "3", "--interval", "0.05", "--stats-dir", dir.path()});
    ASSERT_EQ(0, host.status) << host.err;
    std::vector<std::string> files = filesIn(dir.path());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(21u, files[0].size()) << files[0];  // YYYYMMDD-HHMMSS.stats
    EXPECT_EQ(".stats", files[0].substr(15));
    std::string path = dir.file(files[0]);
    std::string bytes = readFile(path);
    EXPECT_EQ("?dravika-perfdata\n", bytes.substr(0, 18));
    EXPECT_EQ("1F 8B", Bytes::hex(bytes.data() + 18, 2));

    std::unique_ptr<StatsFile> f(StatsFile::readFromFile(path.c_str()));
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(3, f->count);
    int rows = 0;
    for (int i = 0; i < f->count; i++) rows += f->entries[i]->count;
    ASSERT_GT(rows, 0);

    Outcome listing = runToEnd(DRVDUMP_PATH, {"--stats", path});
    ASSERT_EQ(0, listing.status) << listing.err;
    EXPECT_NE(std::string::npos, listing.out.find(" (3)\n")) << listing.out;
    EXPECT_EQ(3u, countOf(listing.out, "\n    ") - static_cast<size_t>(rows)) << listing.out;
    EXPECT_EQ(static_cast<size_t>(rows), countOf(listing.out, "        cls: 30, id: "));
    EXPECT_NE(std::string::npos, listing.out.find(", label: lo, (1) ")) << listing.out;

    // A file that is not one is refused with the reason.
    writeFile(dir.file("bad.stats"), bytes.substr(0, bytes.size() / 2));
    Outcome bad = runToEnd(DRVDUMP_PATH, {"--stats", dir.file("bad.stats")});
    EXPECT_EQ(1, bad.status);
    EXPECT_NE(std::string::npos, bad.err.find("bad.stats is damaged: unexpected end of file")) << bad.err;
}

TEST_F(StatsToolsTest, DrvhostSamplesOnWhenItsStatisticsCannotBeWritten) {
    // /proc takes no new files, whoever asks.
    Outcome host = runToEnd(DRVHOST_PATH, {"--count", "6", "--interval", "0.3", "--stats-dir", "/proc",
                                           "--stats-period", "1", "--json"});
    EXPECT_EQ(0, host.status) << host.err;
    EXPECT_GE(countOf(host.out, "Error: unable to write to file '/proc/"), 2u) << host.out;
    // Every sample was still taken and printed: the loopback's sixth line.
    EXPECT_EQ(6u, countOf(host.out, "\"lo\"")) << host.out;

    Outcome missing = runToEnd(DRVHOST_PATH, {"--count", "1", "--stats-dir", dir.file("none")});
    EXPECT_EQ(1, missing.status);
    EXPECT_NE(std::string::npos, missing.err.find("cannot use " + dir.file("none") + " for statistics files"));
    Outcome period = runToEnd(DRVHOST_PATH, {"--stats-period", "0"});
    EXPECT_EQ(64, period.status);
}

TEST_F(StatsToolsTest, DrvdumpConsolidatesADay) {
    for (int hour : {9, 8}) {
        StatsFile f;
        StatEntry* e = new StatEntry(1000 + hour);
        e->addRow(new StatRow(30, 0, "eth0", StatData::createSeriesArray(1, StatData::makeInt64(hour))));
        f.add(e);
        char name[32];
        snprintf(name, sizeof(name), "20261205-%02d0000.stats", hour);
        ASSERT_GT(f.writeToFile(dir.file(name).c_str()), 0);
    }
    Outcome run = runToEnd(DRVDUMP_PATH, {"--consolidate", dir.path(), "2026-12-05"});
    ASSERT_EQ(0, run.status) << run.err;
    std::string target = dir.file("20261205-000000.stats");
    EXPECT_EQ("Will consolidate: " + dir.file("20261205-080000.stats") + "\nWill consolidate: " +
                  dir.file("20261205-090000.stats") + "\nwrite returns ",
              run.out.substr(0, run.out.find("write returns ") + 14));
    EXPECT_NE(std::string::npos, run.out.find("\nData consolidated in: " + target + "\n")) << run.out;
    EXPECT_EQ(std::vector<std::string>{"20261205-000000.stats"}, filesIn(dir.path()));
    std::unique_ptr<StatsFile> merged(StatsFile::readFromFile(target.c_str()));
    ASSERT_NE(nullptr, merged);
    ASSERT_EQ(2, merged->count);
    EXPECT_EQ(1008, merged->entries[0]->time);

    EXPECT_EQ(0, runToEnd(DRVDUMP_PATH, {"--consolidate", dir.path(), "20261204"}).status);
    EXPECT_EQ(64, runToEnd(DRVDUMP_PATH, {"--consolidate", dir.path()}).status);
}

TEST_F(StatsToolsTest, DrvdumpDecodesTheRecords) {
    RuleSet set("Group", "g1", 1, 99);
    set.addRule(new Rule("r", "n", "c", "d", false, nullptr));
    set.addAsset("H1");
    Message m(0);
    ASSERT_EQ(0, m.writeObject(OBJ_RULESET_ID, &set));
    size_t n;
    unsigned char* bytes = m.copyBytes(&n);
    writeFile(dir.file("set"), std::string(reinterpret_cast<char*>(bytes) + 9, n - 9));
    free(bytes);
    Outcome text = runToEnd(DRVDUMP_PATH, {"--object", "2605", dir.file("set")});
    ASSERT_EQ(0, text.status) << text.err;
    EXPECT_EQ(0u, text.out.find("{ \"groupCls\" : \"Group\", \"groupId\" : \"g1\", \"level\" : 1, \"lastUpdate\" : 99, "
                                "\"rules\" : [{ \"id\" : \"r\", "))
        << text.out;
    EXPECT_NE(std::string::npos, text.out.find("\"assetList\" : [\"H1\"] }")) << text.out;
    Outcome tree = runToEnd(DRVDUMP_PATH, {dir.file("set")});
    EXPECT_NE(std::string::npos, tree.out.find("object 2605 (RuleSet) {")) << tree.out;
}

}  // namespace
