// The address whitelist that servers apply to their clients.
#include <gtest/gtest.h>

#include "common/log.h"
#include "coms/connector.h"
#include "tests/support/log_capture.h"

namespace {

TEST(Whitelist, RulesWithAndWithoutPrefix) {
    const char* rules = "10.1.0.0/16, 192.168.5.7";
    EXPECT_TRUE(Connector::checkWhitelist(rules, "10.1.200.3"));
    EXPECT_FALSE(Connector::checkWhitelist(rules, "10.2.0.1"));
    EXPECT_TRUE(Connector::checkWhitelist(rules, "192.168.5.7"));
    EXPECT_FALSE(Connector::checkWhitelist(rules, "192.168.5.8"));
    EXPECT_TRUE(Connector::checkWhitelist(rules, "127.0.0.1"));
    EXPECT_TRUE(Connector::checkWhitelist(rules, nullptr));
    EXPECT_FALSE(Connector::checkWhitelist(rules, "not an address"));
    EXPECT_FALSE(Connector::checkWhitelist(rules, "127.0.0.2"));

    // Prefix 0 compares all 32 bits; 1 only the first.
    EXPECT_TRUE(Connector::checkWhitelist("10.0.0.5/0", "10.0.0.5"));
    EXPECT_FALSE(Connector::checkWhitelist("10.0.0.5/0", "10.0.0.6"));
    EXPECT_TRUE(Connector::checkWhitelist("128.0.0.0/1", "200.1.2.3"));
    EXPECT_FALSE(Connector::checkWhitelist("128.0.0.0/1", "100.1.2.3"));
    EXPECT_TRUE(Connector::checkWhitelist(" 10.9.8.7 / 32 ", "10.9.8.7")) << "blanks are dropped";
}

TEST(Whitelist, BadRulesAreReportedAndSkipped) {
    LogCapture logs;
    int saved = _debug_coms;
    _debug_coms = LOG_DEBUG;
    EXPECT_TRUE(Connector::checkWhitelist("10.1/16, 10.1.0.0/16, 192.168.5.7", "10.1.200.3"));
    EXPECT_EQ(
        "WhiteList: whitelist = 10.1/16, 10.1.0.0/16, 192.168.5.7, connection = 10.1.200.3\n"
        "Whitelist: Rule = 10.1/16\n"
        "Warning: bad cidr notation in UXWhitelist, 10.1/16\n"
        "Whitelist: Rule = 10.1.0.0/16\n"
        "Matches filter\n",
        logs.messages());

    logs.clear();
    EXPECT_FALSE(Connector::checkWhitelist("1.2.3.4/8/8,300.1.1.1/8,1.2.3.4/40,300.1.1.1,,9.9.9.9", "10.0.0.1"));
    EXPECT_EQ(
        "WhiteList: whitelist = 1.2.3.4/8/8,300.1.1.1/8,1.2.3.4/40,300.1.1.1,,9.9.9.9, connection = 10.0.0.1\n"
        "Whitelist: Rule = 1.2.3.4/8/8\n"
        "Warning: bad cidr notation in UXWhitelist, 1.2.3.4/8/8\n"
        "Whitelist: Rule = 300.1.1.1/8\n"
        "Warning: bad cidr notation in UXWhitelist, 300.1.1.1/8\n"
        "Whitelist: Rule = 1.2.3.4/40\n"
        "Warning: bad cidr notation in UXWhitelist, 1.2.3.4/40\n"
        "Whitelist: Rule = 300.1.1.1\n"
        "Warning: bad IP in UXWhitelist, 300.1.1.1\n"
        "Whitelist: Rule = 9.9.9.9\n"
        "Whitelist: No Matches\n",
        logs.messages());

    logs.clear();
    EXPECT_TRUE(Connector::checkWhitelist("10.0.0.1", "10.0.0.1"));
    EXPECT_NE(std::string::npos, logs.messages().find("Whitelist: Matches\n"));
    _debug_coms = saved;
}

TEST(Whitelist, TheWhitelistInForce) {
    EXPECT_FALSE(Connector::hasWhitelist());
    EXPECT_TRUE(Connector::passesWhitelist("10.2.0.1")) << "no whitelist, no check";
    Connector::setUXWhitelist("10.1.0.0/16");
    EXPECT_TRUE(Connector::hasWhitelist());
    EXPECT_FALSE(Connector::passesWhitelist("10.2.0.1"));
    EXPECT_TRUE(Connector::passesWhitelist("10.1.0.1"));
    Connector::setUXWhitelist(nullptr);
    EXPECT_TRUE(Connector::passesWhitelist("10.2.0.1"));
}

}  // namespace
