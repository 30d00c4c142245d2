// drvhost's statistics files: one per period and day, and samples kept and
// written later when their file could not be written.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/stats.h"
#include "host/stats_recorder.h"
#include "records/stats_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

// Local noon of 2026-12-05, plus seconds.
long at(long seconds) {
    struct tm tm = {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 5;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return static_cast<long>(mktime(&tm)) + seconds;
}

StatEntry* sample(long time) {
    StatEntry* e = new StatEntry(time);
    e->addRow(new StatRow(30, 0, "eth0", StatData::createSeriesArray(1, StatData::makeInt64(time))));
    return e;
}

int entriesIn(const std::string& path) {
    std::unique_ptr<StatsFile> f(StatsFile::readFromFile(path.c_str()));
    return f != nullptr ? f->count : -1;
}

TEST(StatsRecorder, OneFilePerPeriodAndDayAndNothingLostWhenWritesFail) {
    TempDir dir;
    {
        StatsRecorder r(dir.path().c_str(), 10, 60);
        for (long t = 0; t <= 70; t += 10) r.add(sample(at(t)));
        // 0..60 went out when the period was over; 70 waits for the stop.
        EXPECT_EQ(7, entriesIn(dir.file("20261205-120000.stats")));
        EXPECT_TRUE(r.flush());
        EXPECT_EQ(1, entriesIn(dir.file("20261205-120110.stats")));
        // A new day starts a new file even inside a period.
        r.add(sample(at(12 * 3600 - 5)));
        r.add(sample(at(12 * 3600 + 5)));
        EXPECT_TRUE(r.flush());
        EXPECT_EQ(1, entriesIn(dir.file("20261205-235955.stats")));
        EXPECT_EQ(1, entriesIn(dir.file("20261206-000005.stats")));
    }

    // Files already there, from an earlier run in the same second, are not
    // overwritten; nor is a day's consolidated file by a run starting at
    // midnight.
    {
        StatsRecorder r(dir.path().c_str(), 10, 60);
        r.add(sample(at(0)));
        r.add(sample(at(10)));
        EXPECT_TRUE(r.flush());
        r.add(sample(at(12 * 3600)));
        EXPECT_TRUE(r.flush());
        EXPECT_EQ(7, entriesIn(dir.file("20261205-120000.stats")));
        EXPECT_EQ(2, entriesIn(dir.file("20261205-120000-1.stats")));
        EXPECT_EQ(1, entriesIn(dir.file("20261206-000000-1.stats")));
        EXPECT_EQ(-1, entriesIn(dir.file("20261206-000000.stats")));
    }

    // The directory is not there (as good as a full disk): every write
    // fails and says so, and the samples wait, each day in its own file.
    std::string later = dir.file("later");
    LogCapture log;
    StatsRecorder r(later.c_str(), 10, 60);
    for (long t = 0; t <= 60; t += 10) r.add(sample(at(t)));
    r.add(sample(at(12 * 3600 + 1)));
    EXPECT_EQ(2, r.failures());
    EXPECT_TRUE(log.contains("Error: unable to write to file '" + later + "/20261205-120000.stats'")) << log.text();
    ASSERT_EQ(0, mkdir(later.c_str(), 0755));
    EXPECT_TRUE(r.flush());
    EXPECT_EQ(7, entriesIn(later + "/20261205-120000.stats"));
    EXPECT_EQ(1, entriesIn(later + "/20261206-000001.stats"));
}

// A file name is free only when looking it up says it does not exist; any
// other failure (the directory became a file, lost its search permission,
// or the path grew too long) is for the write to report, and must not keep
// the sampling thread looking for a free name forever.
TEST(StatsRecorder, ADirectoryThatCannotBeLookedIntoIsAWriteFailureNotAHang) {
    TempDir dir;
    std::string stats = dir.file("stats");
    ASSERT_EQ(0, mkdir(stats.c_str(), 0755));
    StatsRecorder r(stats.c_str(), 10, 60);
    ASSERT_EQ(0, rmdir(stats.c_str()));
    writeFile(stats, "");

    LogCapture log;
    alarm(30);  // the run ends here rather than spin if the name search never stops
    r.add(sample(at(0)));
    EXPECT_FALSE(r.flush());
    alarm(0);
    EXPECT_EQ(1, r.failures());
    EXPECT_TRUE(log.contains("Error: unable to write to file '" + stats + "/20261205-120000.stats'")) << log.text();

    // Once the directory is back, the kept sample goes out under that name.
    ASSERT_EQ(0, unlink(stats.c_str()));
    ASSERT_EQ(0, mkdir(stats.c_str(), 0755));
    EXPECT_TRUE(r.flush());
    EXPECT_EQ(1, entriesIn(stats + "/20261205-120000.stats"));
}

}  // namespace
