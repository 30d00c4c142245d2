// The settings seen as an attribute set, as scripts and directory replies get them.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/properties.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> keysOf(const Attributes* attributes) {
    std::vector<std::string> keys;
    char** all = attributes->getKeys();
    for (char** k = all; *k != nullptr; k++) keys.push_back(*k);
    Attributes::freeKeys(all);
    return keys;
}

TEST(PropertiesAttributes, EveryEntryAsAStringWithTheLaterLineWinning) {
    LogCapture quiet;
    TempDir dir;
    std::string path = dir.file("dravika.properties");

    // Nothing loaded yet: an empty set, not a null one.
    Attributes* none = s_getAllProperties();
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(0, none->size());
    delete none;

    writeFile(path, "k: 1\n# a comment\nk: 2\n  indented: x y \nempty:\n");
    s_setDravikaPropertiesPath(path.c_str());
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));

    Attributes* all = s_getAllProperties();
    ASSERT_NE(nullptr, all);
    // Same order as the properties themselves: the last line first.
    EXPECT_EQ((std::vector<std::string>{"empty", "  indented", "k", "k"}), keysOf(all));
    EXPECT_STREQ("2", all->getStringAttribute("k"));
    EXPECT_STREQ("x y ", all->getStringAttribute("  indented"));
    EXPECT_STREQ("", all->getStringAttribute("empty"));
    const Any* k = all->getAttribute("k");
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(ANY_STRING, k->getType());
    EXPECT_EQ(HINT_STRING, k->getHint());
    delete all;
    s_setDravikaPropertiesPath(nullptr);
}

}  // namespace
