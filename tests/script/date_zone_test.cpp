// The Date's own zone arithmetic checked against the C library's tz code
// (switching this single-threaded test's TZ is safe), the POSIX rule path
// against the zone files it summarises, and the date-text reader's
// rejections with the position where each text stops fitting.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "script/date_parse.h"
#include "script/date_zone.h"

namespace {

class LibcZone {
public:
    explicit LibcZone(const char* zone) {
        const char* old = getenv("TZ");
        _had = old != nullptr;
        if (_had) _old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LibcZone() {
        if (_had)
            setenv("TZ", _old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool _had;
    std::string _old;
};

const char* const kZones[] = {"America/New_York", "Europe/Berlin", "Australia/Sydney", "Asia/Kolkata",
                              "America/Sao_Paulo", "Pacific/Chatham", "Africa/Casablanca"};

TEST(DateZone, LocalTimeAgreesWithTheCLibraryFrom1900To2100) {
    for (const char* zone : kZones) {
        LibcZone libc(zone);
        // An odd step visits every hour of the day and every weekday.
        for (long long t = -2208988800LL; t < 4102444800LL; t += 7 * 86400 + 3 * 3600 + 17 * 60 + 11) {
            time_t tt = static_cast<time_t>(t);
            struct tm want, got;
            ASSERT_NE(nullptr, localtime_r(&tt, &want));
            DateZone::Local local;
            DateZone::localTime(zone, t, &got, &local);
            ASSERT_EQ(want.tm_gmtoff, local.offsetSeconds) << zone << " at " << t;
            ASSERT_STREQ(want.tm_zone, local.abbr) << zone << " at " << t;
            ASSERT_EQ(want.tm_isdst > 0, local.isDst) << zone << " at " << t;
            ASSERT_EQ(want.tm_year, got.tm_year);
            ASSERT_EQ(want.tm_mon, got.tm_mon);
            ASSERT_EQ(want.tm_mday, got.tm_mday) << zone << " at " << t;
            ASSERT_EQ(want.tm_hour, got.tm_hour);
            ASSERT_EQ(want.tm_min, got.tm_min);
            ASSERT_EQ(want.tm_sec, got.tm_sec);
            ASSERT_EQ(want.tm_wday, got.tm_wday);
            ASSERT_EQ(want.tm_yday, got.tm_yday);
            // Back from the wall clock with its daylight flag: the same instant.
            EXPECT_EQ(t, DateZone::fromLocal(zone, &want)) << zone << " at " << t;
        }
    }
}

TEST(DateZone, EveryBrokenDownTimeConvertsBackToItsInstant) {
    // Every quarter hour of 2024, the repeated hours of autumn included.
    for (const char* zone : kZones) {
        for (long long t = 1704067200LL; t < 1735689600LL; t += 900) {
            struct tm tm;
            DateZone::Local local;
            DateZone::localTime(zone, t, &tm, &local);
            ASSERT_EQ(t, DateZone::fromLocal(zone, &tm)) << zone << " at " << t;
        }
    }
}

TEST(DateZone, TheProcessZoneIsTheOneTZNames) {
    DateZone::Local l;
    struct tm tm = {};
    tm.tm_year = 124, tm.tm_mon = 0, tm.tm_mday = 1, tm.tm_isdst = -1;  // 2024-01-01 00:00
    struct {
        const char* tz;
        int offset;
        const char* abbr;
    } cases[] = {{"Asia/Tokyo", 9 * 3600, "JST"},
                 {":America/New_York", -5 * 3600, "EST"},
                 {"/usr/share/zoneinfo/Asia/Kolkata", 19800, "IST"},
                 {"JST-9", 9 * 3600, "JST"},
                 {"", 0, "UTC"}};
    for (const auto& c : cases) {
        // No cache to clear in between: a change of TZ is seen as it is.
        LibcZone libc(c.tz);
        for (const char* name : {static_cast<const char*>(nullptr), ""}) {
            DateZone::lookup(name, 0, &l);
            EXPECT_EQ(c.offset, l.offsetSeconds) << c.tz;
            EXPECT_STREQ(c.abbr, l.abbr) << c.tz;
            EXPECT_EQ(1704067200LL - c.offset, DateZone::fromLocal(name, &tm)) << c.tz;
        }
    }
    // A form only the C library reads (trailing fields it ignores) is left to it.
    const char* odd = "XYZ-3:30:00:99";
    EXPECT_FALSE(DateZone::parsePosix(odd, strlen(odd)));
    LibcZone libc(odd);
    time_t at = 1700000000;
    struct tm want;
    ASSERT_NE(nullptr, localtime_r(&at, &want));
    DateZone::lookup(nullptr, at, &l);
    EXPECT_EQ(want.tm_gmtoff, l.offsetSeconds);
    EXPECT_STREQ(want.tm_zone, l.abbr);
    struct tm copy = want;
    EXPECT_EQ(static_cast<long long>(mktime(&copy)), DateZone::fromLocal(nullptr, &want));
}

TEST(DateZone, PosixRulesAgreeWithTheZoneFilesTheySummarise) {
    struct {
        const char* file;
        const char* rule;
    } pairs[] = {{"America/New_York", "EST5EDT,M3.2.0,M11.1.0"},
                 {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"},
                 {"Australia/Sydney", "AEST-10AEDT,M10.1.0,M4.1.0/3"},
                 {"Asia/Kolkata", "IST-5:30"},
                 {"Pacific/Chatham", "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45"}};
    // 2010-2036: both the files' tables and the rules describe these years.
    for (const auto& p : pairs) {
        for (long long t = 1262304000LL; t < 2082758400LL; t += 3 * 86400 + 3600 + 1) {
            DateZone::Local a, b;
            DateZone::lookup(p.file, t, &a);
            DateZone::lookup(p.rule, t, &b);
            ASSERT_EQ(a.offsetSeconds, b.offsetSeconds) << p.rule << " at " << t;
            ASSERT_STREQ(a.abbr, b.abbr) << p.rule << " at " << t;
        }
        // Exactly at a change and one second before.
        EXPECT_TRUE(DateZone::parsePosix(p.rule, strlen(p.rule)));
    }
    DateZone::Local l;
    DateZone::lookup("EST5EDT,M3.2.0,M11.1.0", 1710054000LL - 1, &l);  // 2024-03-10T06:59:59Z
    EXPECT_EQ(-5 * 3600, l.offsetSeconds);
    DateZone::lookup("EST5EDT,M3.2.0,M11.1.0", 1710054000LL, &l);
    EXPECT_EQ(-4 * 3600, l.offsetSeconds);
    EXPECT_STREQ("EDT", l.abbr);
}

TEST(DateZone, WallClockTimesThatAChangeSkipsOrRepeats) {
    LibcZone libc("America/New_York");
    struct tm tm = {};
    // 2024-11-03 01:30 happens at 05:30Z (EDT) and at 06:30Z (EST): the
    // daylight flag picks one reading, as the C library's does.
    tm.tm_year = 124, tm.tm_mon = 10, tm.tm_mday = 3, tm.tm_hour = 1, tm.tm_min = 30;
    for (int isdst : {1, 0}) {
        tm.tm_isdst = isdst;
        struct tm copy = tm;
        long long want = static_cast<long long>(mktime(&copy));
        EXPECT_EQ(isdst ? 1730611800LL : 1730615400LL, want);
        EXPECT_EQ(want, DateZone::fromLocal("America/New_York", &tm)) << isdst;
    }
    // No flag: the earlier reading.
    tm.tm_isdst = -1;
    EXPECT_EQ(1730611800LL, DateZone::fromLocal("America/New_York", &tm));
    // A time that happens once keeps its reading whatever the flag says.
    tm.tm_hour = 3;
    tm.tm_isdst = 1;
    EXPECT_EQ(1730622600LL, DateZone::fromLocal("America/New_York", &tm));  // 08:30Z, 03:30 EST
    // 2024-03-10 02:30 does not exist: read with EST, shown as 03:30 EDT.
    tm.tm_isdst = -1;
    tm.tm_mon = 2, tm.tm_mday = 10, tm.tm_hour = 2;
    EXPECT_EQ(1710055800LL, DateZone::fromLocal("America/New_York", &tm));  // 07:30Z
    // Out-of-range fields roll over: 2023-02-29 is March 1, month 12 is January.
    tm = {};
    tm.tm_year = 123, tm.tm_mon = 1, tm.tm_mday = 29;
    EXPECT_EQ(1677628800LL, DateZone::fromLocal("UTC", &tm));
    tm.tm_mon = 12, tm.tm_mday = 1;
    EXPECT_EQ(1704067200LL, DateZone::fromLocal("UTC", &tm));
}

TEST(DateZone, UnknownNamesAndHostileFilesAreUtcOrRefused) {
    DateZone::Local l;
    for (const char* name : {"No/Such_Zone", "../../../etc/passwd", "/etc/passwd", "Europe/..", "A", "<+05"}) {
        DateZone::lookup(name, 1700000000LL, &l);
        EXPECT_EQ(0, l.offsetSeconds) << name;
        EXPECT_STREQ("UTC", l.abbr) << name;
    }
    // A leading ':' is the file form.
    DateZone::lookup(":Asia/Tokyo", 0, &l);
    EXPECT_EQ(9 * 3600, l.offsetSeconds);
    const unsigned char truncated[] = "TZif2\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1\0\0\0\1";
    EXPECT_FALSE(DateZone::parseTzif(truncated, sizeof(truncated)));
    for (const char* bad : {"EST", "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M3.2.0", "EST5EDT,J0,J100", "EST999"})
        EXPECT_FALSE(DateZone::parsePosix(bad, strlen(bad))) << bad;
}

TEST(DateZone, ThreadsShareTheZoneCacheWhileItFillsAndEmpties) {
    // 100 different zones overflow the cache (it empties itself when full)
    // while four threads read them at once.
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int n = 0; n < 4; n++) {
        threads.emplace_back([n, &wrong] {
            for (int round = 0; round < 5; round++) {
                for (int i = 0; i < 100; i++) {
                    int z = (i * 7 + n * 13) % 100;
                    int hours = z / 10, minutes = z % 60;
                    char name[32];
                    snprintf(name, sizeof name, "ZZZ-%d:%02d", hours, minutes);
                    DateZone::Local l;
                    DateZone::lookup(name, 1700000000LL + i, &l);
                    if (l.offsetSeconds != hours * 3600 + minutes * 60 || strcmp(l.abbr, "ZZZ") != 0) wrong[n]++;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int n = 0; n < 4; n++) EXPECT_EQ(0, wrong[n]) << "thread " << n;
    DateZone::clearCache();
}

TEST(DateZone, NamesOfAnyLengthAreReadButOnlyShortOnesAreKept) {
    // A script may name its zone with a text of megabytes; the cache lives
    // on after the run, so it must not keep such names.
    DateZone::clearCache();
    for (int i = 0; i < 20; i++) {
        std::string name = "<" + std::string(1 << 20, 'A') + ">-" + std::to_string(i % 10);
        name[1 + static_cast<size_t>(i)] = 'B';  // every name different
        DateZone::Local l;
        DateZone::lookup(name.c_str(), 1700000000LL, &l);
        EXPECT_EQ((i % 10) * 3600, l.offsetSeconds) << i;
    }
    // Short names are kept as before.
    DateZone::Local l;
    DateZone::lookup("ZZZ-3", 0, &l);
    EXPECT_EQ(3 * 3600, l.offsetSeconds);
    EXPECT_GT(DateZone::cachedNameBytes(), 0u);
    EXPECT_LT(DateZone::cachedNameBytes(), 4096u);
    DateZone::clearCache();
}

TEST(DateText, RejectionsStopWhereTheTextStopsFitting) {
    struct {
        const char* text;
        size_t at;
    } cases[] = {
        {"", 0},
        {"2024", 4},                        // the month is required
        {"24-02-29", 0},                    // the year has four digits
        {"2024-2-29", 5},                   // months have two digits
        {"2024-02-29 12:34", 10},           // a space is not 'T'
        {"2024-02-29T1234:5", 16},          // seconds have two digits
        {"2024-02-29T12:34:56.78Z", 20},    // milliseconds have exactly three
        {"2024-02-29T12:34:56.7891Z", 23},  // ... and no more
        {"2024-02-29T12:34+1", 17},         // zone hours have two digits
        {"2024-02-29T12:34+01:", 20},       // a ':' wants the minutes
        {"2024-02-29T12:34Zjunk", 17},      // nothing may follow
        {"2024-02-29T", 11},
        {"2024-02-29t12:34", 10},
    };
    for (const auto& c : cases) {
        DateText t;
        size_t at = 999;
        EXPECT_EQ(24, date_scanText(c.text, &t, &at)) << c.text;
        EXPECT_EQ(c.at, at) << c.text;
    }
    DateText t;
    size_t at = 999;
    ASSERT_EQ(0, date_scanText("2024-02-29T12:34:56.789-01:30", &t, &at));
    EXPECT_EQ(999u, at) << "untouched when the text fits";
    EXPECT_TRUE(t.hasZone);
    EXPECT_EQ(-90, t.offsetMinutes);
    EXPECT_EQ(1709215496789LL, date_textMillis(t));
    // Without a zone the offset is the caller's to add.
    ASSERT_EQ(0, date_scanText("20240229T1234", &t, &at));
    EXPECT_FALSE(t.hasZone);
    EXPECT_EQ(1709210040000LL, date_textMillis(t));
}

}  // namespace
