// The settings seen as an attribute set, as scripts and directory replies get them.
#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/properties.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(PropertiesAttributes, EveryEntryAsAStringWithTheLaterLineWinning) {
    TempDir dir;
    std::string path = dir.file("dravika.properties");

    // Nothing loaded yet: an empty set, not a null one.
    std::unique_ptr<Attributes> none(s_getAllProperties());
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(0, none->size());

    writeFile(path, "k: 1\n# a comment\nk: 2\n  indented: x y \nempty:\n");
    s_setDravikaPropertiesPath(path.c_str());
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    std::unique_ptr<Attributes> all(s_getAllProperties());
    ASSERT_NE(nullptr, all);
    // In the order of the properties themselves, the last line first.
    char* text = all->toString(nullptr);
    EXPECT_STREQ("{ \"empty\" : \"\", \"  indented\" : \"x y \", \"k\" : \"2\", \"k\" : \"1\" }", text);
    free(text);
    EXPECT_EQ(HINT_STRING, all->getAttribute("k")->getHint());
    s_setDravikaPropertiesPath(nullptr);
}

}  // namespace
