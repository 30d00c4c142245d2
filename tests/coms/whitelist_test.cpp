// The address whitelist that servers apply to their clients.
#include <gtest/gtest.h>

#include "common/log.h"
#include "coms/connector.h"
#include "tests/support/log_capture.h"

namespace {

TEST(Whitelist, RulesWithAndWithoutPrefix) {
    const char* rules = "10.1.0.0/16, 192.168.5.7";
    // A prefix of 0 compares all 32 bits, 1 only the first; blanks are dropped.
    struct Case {
        const char* rules;
        const char* address;
        bool passes;
    } cases[] = {
        {rules, "10.1.200.3", true},           {rules, "10.2.0.1", false},         {rules, "192.168.5.7", true},
        {rules, "192.168.5.8", false},         {rules, "127.0.0.1", true},         {rules, nullptr, true},
        {rules, "not an address", false},      {rules, "127.0.0.2", false},        {"10.0.0.5/0", "10.0.0.5", true},
        {"10.0.0.5/0", "10.0.0.6", false},     {"128.0.0.0/1", "200.1.2.3", true}, {"128.0.0.0/1", "100.1.2.3", false},
        {" 10.9.8.7 / 32 ", "10.9.8.7", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.passes, Connector::checkWhitelist(c.rules, c.address)) << c.rules << " " << c.address;

    // Without a whitelist in force there is no check.
    EXPECT_TRUE(Connector::passesWhitelist("10.2.0.1"));
    Connector::setUXWhitelist(rules);
    EXPECT_FALSE(Connector::passesWhitelist("10.2.0.1"));
    Connector::setUXWhitelist(nullptr);
}

// A bad rule is warned about and skipped, not the end of the list. (At the
// debug level, so that the trace of each rule runs too.)
TEST(Whitelist, BadRulesAreReportedAndSkipped) {
    LogCapture logs;
    int saved = _debug_coms;
    _debug_coms = LOG_DEBUG;
    EXPECT_TRUE(Connector::checkWhitelist("10.1/16, 10.1.0.0/16, 192.168.5.7", "10.1.200.3"));
    EXPECT_TRUE(logs.contains("Warning: bad cidr notation in UXWhitelist, 10.1/16\n")) << logs.messages();
    EXPECT_FALSE(Connector::checkWhitelist("300.1.1.1,,9.9.9.9", "10.0.0.1"));
    EXPECT_TRUE(logs.contains("Warning: bad IP in UXWhitelist, 300.1.1.1\n")) << logs.messages();
    EXPECT_TRUE(logs.contains("Whitelist: No Matches\n"));
    _debug_coms = saved;
}

// The rules the check would skip are the ones a program taking rules from
// its users refuses, each with its reason; usable rules pass unnoticed.
TEST(Whitelist, BadRulesAreFoundBeforeUse) {
    std::string rule, reason;
    EXPECT_FALSE(Connector::findBadWhitelistRule("10.1.0.0/16, 192.168.5.7,10.0.0.0/0, 10.9.9.9/32", &rule, &reason));
    EXPECT_EQ("", rule);
    struct Case {
        const char* whitelist;
        const char* rule;
        const char* reason;
    } cases[] = {
        {"garbage", "garbage", "three dots"},
        {"10.1.0.0/16, 300.1.1.1/99", "300.1.1.1/99", "network is not an IPv4 address"},
        {"10.1.0.0/33", "10.1.0.0/33", "from 0 to 32"},
        {"10.1.0.0/x", "10.1.0.0/x", "from 0 to 32"},
        {"1.2.3.4, 10.1.2.x", "10.1.2.x", "not an IPv4 address"},
        {"1.2.3.4/8/8", "1.2.3.4/8/8", "at most one slash"},
        {"1.2.3.4,  ,5.6.7.8", "", "three dots"},
        // Every comma ends a rule, so an empty one is there to report too.
        {"1.2.3.4,,5.6.7.8", "", "three dots"},
        {"1.2.3.4,", "", "three dots"},
        {",1.2.3.4", "", "three dots"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Connector::findBadWhitelistRule(c.whitelist, &rule, &reason)) << c.whitelist;
        EXPECT_EQ(c.rule, rule) << c.whitelist;
        EXPECT_NE(std::string::npos, reason.find(c.reason)) << c.whitelist << ": " << reason;
        // The same rule is one the check warns about and skips.
        LogCapture logs;
        int saved = _debug_coms;
        _debug_coms = LOG_WARNING;
        Connector::checkWhitelist(c.whitelist, "10.200.0.1");
        _debug_coms = saved;
        EXPECT_TRUE(logs.contains("in UXWhitelist, " + std::string(c.rule) + "\n")) << logs.messages();
    }
}

}  // namespace
