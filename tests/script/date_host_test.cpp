// What the host controls of Date: the conversion hooks replace the zone
// arithmetic (and receive the script's zone name), also for date texts read
// outside scripts; the debug time fixes every new date; and a text that
// does not parse leaves a debug line.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "dirbase/any.h"
#include "script/date.h"
#include "script/parser.h"
#include "script/registry.h"
#include "tests/script/script_run.h"

namespace {

std::string _zoneSeen;

// A zone fixed at UTC-02:30 called "HOOK", whatever the zone asked for.
int tmHook(bool utc, const char* zone, long long seconds, struct tm* out, char* abbr, int* offsetMinutes) {
    _zoneSeen = zone != nullptr ? zone : "";
    time_t t = static_cast<time_t>(seconds - (utc ? 0 : 150 * 60));
    gmtime_r(&t, out);
    strcpy(abbr, utc ? "UTC" : "HOOK");
    *offsetMinutes = utc ? 0 : -150;
    return 0;
}

int secondsHook(const char* zone, long long* out, struct tm* tm) {
    _zoneSeen = zone != nullptr ? zone : "";
    *out = static_cast<long long>(timegm(tm)) + 150 * 60;
    return 0;
}

class DateHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        script_installHooks();
        script_registerDate();
    }
    void TearDown() override {
        Date::_tmHook = nullptr;
        Date::_secondsHook = nullptr;
        Date::setDebugTime(-1, 0);
        ScriptRegistry::clear();
    }
};

TEST_F(DateHostTest, ConversionHooksReplaceTheZoneArithmetic) {
    Date::_tmHook = tmHook;
    Date::_secondsHook = secondsHook;
    std::string out = script_test::run("hooks.js",
                                       "var TZ = 'Somewhere/Else';\n"
                                       "var d = new Date(1709164800000L);\n"  // 2024-02-29T00:00Z
                                       "print(d);\n"
                                       "d.setDate(1);\n"
                                       "print(d.toJSON(), d.getDate());\n"
                                       "print(Date.parse('2024-02-29T12:00').toJSON());\n",
                                       false);
    EXPECT_EQ(
        "Wed Feb 28 2024 21:30:00 GMT-0230 (HOOK)\n"
        "2024-02-02T00:00:00.000Z 1\n"
        "2024-02-29T14:30:00.000Z\n",
        out);
    EXPECT_EQ("Somewhere/Else", _zoneSeen);
}

TEST_F(DateHostTest, ReadersOutsideScriptsParseDatesAsScriptsDo) {
    // 2024-02-29T12:34 as if UTC.
    const long long asUtc = 1709210040000LL;
    long long ms = 0;
    int offset = 0;
    size_t at = 999;
    // Without a hook: the named zone's offset now (Tokyo has no daylight
    // saving); a text with its own zone needs none.
    ASSERT_EQ(0, DatePrototype::parseText("20240229T1234", "Asia/Tokyo", &ms, &offset, &at));
    EXPECT_EQ(asUtc - 540 * 60000LL, ms);
    EXPECT_EQ(540, offset);
    ASSERT_EQ(0, DatePrototype::parseText("2024-02-29T12:34:56.789-01:30", "Asia/Tokyo", &ms, &offset, &at));
    EXPECT_EQ(1709215496789LL, ms);
    EXPECT_EQ(-90, offset);
    EXPECT_EQ(24, DatePrototype::parseText("2024-02-29 12:34", nullptr, &ms, &offset, &at));
    EXPECT_EQ(10u, at);

    // With the host's hook, the hook decides the offset of a text without
    // a zone, given the zone that was named, or the machine's.
    Date::_tmHook = tmHook;
    _zoneSeen.clear();
    ASSERT_EQ(0, DatePrototype::parseText("2024-02-29T12:34", "Somewhere/Else", &ms, &offset, nullptr));
    EXPECT_EQ(asUtc + 150 * 60000LL, ms);
    EXPECT_EQ(-150, offset);
    EXPECT_EQ("Somewhere/Else", _zoneSeen);
    ASSERT_EQ(0, DatePrototype::parseText("2024-02-29T12:34", nullptr, &ms, nullptr, nullptr));
    EXPECT_EQ(asUtc + 150 * 60000LL, ms);
    EXPECT_EQ(Date::getLocalTZ(), _zoneSeen);
    ASSERT_EQ(0, DatePrototype::parseText("2024-02-29T12:34Z", nullptr, &ms, &offset, nullptr));
    EXPECT_EQ(asUtc, ms);
    EXPECT_EQ(0, offset);

    // Date.parse reads the same instant from the same zone.
    std::string out = script_test::run("same.js",
                                       "var TZ = 'Somewhere/Else';\n"
                                       "print(Date.parse('2024-02-29T12:34').getTime());\n",
                                       false);
    EXPECT_EQ(std::to_string(asUtc + 150 * 60000LL) + "\n", out);
}

TEST_F(DateHostTest, TheDebugTimeFixesEveryNewDate) {
    Date::setDebugTime(1000, 5);
    std::string out = script_test::run("debug.js",
                                       "var TZ = 'UTC';\n"
                                       "print(new Date().getTime(), Date.now().getTime(), Date.today().getTime());\n"
                                       "print(Date.tomorrow().toJSON(), Date.yesterday().toJSON());\n",
                                       false);
    EXPECT_EQ("1000005 1000005 0\n1970-01-02T00:00:00.000Z 1969-12-31T00:00:00.000Z\n", out);
    Date::setDebugTime(-1, 0);
    Date now;
    EXPECT_GT(now.getTime(), 1700000000000LL);
}

TEST_F(DateHostTest, WithoutATZVariableDatesFollowTheProcessZone) {
    const char* old = getenv("TZ");
    std::string saved = old != nullptr ? old : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    const char* script =
        "print(new Date(0));\n"
        "print(new Date(0).format('%H:%M'));\n"
        "print(Date.parse('2024-01-01T00:00').toISOString());\n";
    std::string out = script_test::run("process.js", script, false);
    // The script's own TZ still comes first.
    std::string own = script_test::run("own.js", std::string("var TZ = 'UTC';\n") + script, false);
    if (old != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(
        "Thu Jan 01 1970 09:00:00 GMT+0900 (JST)\n"
        "09:00\n"
        "2023-12-31T15:00:00.000Z\n",
        out);
    EXPECT_EQ(
        "Thu Jan 01 1970 00:00:00 GMT+0000 (UTC)\n"
        "00:00\n"
        "2024-01-01T00:00:00.000Z\n",
        own);
}

TEST_F(DateHostTest, ATextThatDoesNotParseLeavesADebugLine) {
    std::string debug;
    script_test::CaptureOutput stream(&debug);
    Parser parser("p.js", "1;", nullptr, 1, 0, false);
    parser.setDebugStream(&stream);
    parser.setDebugLevel(5);
    Any* result = nullptr;
    EXPECT_EQ(24, DatePrototype::complexParse(&parser, "2024-02-29 12:34", &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ("Error parsing date at ' 12:34' in '2024-02-29 12:34'\n", debug);
    // Above the level nothing is written.
    debug.clear();
    parser.setDebugLevel(6);
    EXPECT_EQ(24, DatePrototype::complexParse(&parser, "2024-13", &result));
    EXPECT_EQ("", debug);
}

}  // namespace
