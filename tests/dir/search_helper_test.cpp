// SearchHelper: exact and pattern classes, attribute filters (alternatives
// within a name, all names required), the tag condition, the wanted
// attribute list, and bad expressions.
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/search_helper.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/support/log_capture.h"

namespace {

std::unique_ptr<DirNameEntry> entry(const char* text) {
    int error = 0;
    DirNameEntry* e = DirNameEntry::createFromString(text, &error);
    EXPECT_NE(nullptr, e) << text << " error " << error;
    return std::unique_ptr<DirNameEntry>(e);
}

TEST(SearchHelper, ClassNames) {
    SearchHelper h;
    ASSERT_EQ(0, h.set(entry("host:").get(), nullptr));
    EXPECT_TRUE(h.classMatches("host"));
    EXPECT_FALSE(h.classMatches("Host"));
    EXPECT_FALSE(h.classMatches("hosts"));
    EXPECT_FALSE(h.classMatches(nullptr));

    ASSERT_EQ(0, h.set(entry("<.*>:").get(), nullptr));
    EXPECT_TRUE(h.classMatches("host"));
    EXPECT_TRUE(h.classMatches("networkAdapter"));
    ASSERT_EQ(0, h.set(entry("<net.*|disk>:").get(), nullptr));
    EXPECT_TRUE(h.classMatches("networkAdapter"));
    EXPECT_TRUE(h.classMatches("disk"));
    EXPECT_FALSE(h.classMatches("disks"));  // the whole name must match

    ASSERT_EQ(0, h.set(nullptr, nullptr));
    EXPECT_TRUE(h.classMatches("anything"));
    EXPECT_TRUE(h.attributesMatch(nullptr, nullptr));

    EXPECT_EQ(DirError::E_BAD_REGEX, h.set(entry("<(host>:").get(), nullptr));
    EXPECT_FALSE(h.classMatches("(host"));
    // An entry without a class matches no class.
    DirNameEntry noClass(nullptr);
    ASSERT_EQ(0, h.set(&noClass, nullptr));
    EXPECT_FALSE(h.classMatches("host"));
}

TEST(SearchHelper, FiltersAreAlternativesWithinANameOnly) {
    SearchHelper h;
    ASSERT_EQ(0, h.set(entry("host:os=linux,os=aix,name=<web[0-9]+>").get(), nullptr));
    Attributes a;
    a.setAttribute("os", "aix", 0);
    a.setAttribute("name", "web12", 0);
    EXPECT_TRUE(h.attributesMatch(nullptr, &a));
    a.addOrSetAttribute("os", new Any("hpux"), 0);
    EXPECT_FALSE(h.attributesMatch(nullptr, &a));
    a.addOrSetAttribute("os", new Any("linux"), 0);
    a.addOrSetAttribute("name", new Any("db1"), 0);
    EXPECT_FALSE(h.attributesMatch(nullptr, &a));
    // A filtered attribute found in neither place fails; the entry's own
    // attributes stand in for absent ones.
    Attributes osOnly;
    osOnly.setAttribute("os", "linux", 0);
    EXPECT_FALSE(h.attributesMatch(nullptr, &osOnly));
    EXPECT_TRUE(h.attributesMatch(entry("host:name=web7").get(), &osOnly));
    EXPECT_TRUE(h.attributesMatch(entry("host:name=web7,os=aix").get(), nullptr));
    // Names no filter mentions pass.
    EXPECT_TRUE(h.attributeMatches("ip", Any("10.0.0.1")));
    EXPECT_TRUE(h.attributeMatches("ip", "10.0.0.1"));
    EXPECT_TRUE(h.attributeMatches("os", "aix"));
    EXPECT_FALSE(h.attributeMatches("os", "AIX"));
    EXPECT_FALSE(h.attributeMatches("name", "web"));
    EXPECT_FALSE(h.attributeMatches("name", static_cast<const char*>(nullptr)));
    // A pattern never matches a value that is not a string.
    EXPECT_FALSE(h.attributeMatches("name", Any(12)));
}

TEST(SearchHelper, ExactFiltersCompareTextForms) {
    SearchHelper h;
    ASSERT_EQ(0, h.set(entry("disk:size=5").get(), nullptr));
    EXPECT_TRUE(h.attributeMatches("size", Any(5)));
    EXPECT_TRUE(h.attributeMatches("size", Any(5LL)));
    EXPECT_FALSE(h.attributeMatches("size", Any(50)));
    // A non-string exact filter matches only equal values, never strings.
    DirNameEntry e("disk");
    e.setAttribute("count", 3);
    ASSERT_EQ(0, h.set(&e, nullptr));
    EXPECT_TRUE(h.attributeMatches("count", Any(3)));
    EXPECT_FALSE(h.attributeMatches("count", Any(4)));
    EXPECT_FALSE(h.attributeMatches("count", "3"));
}

// A name may come from a peer, with an object of any encodable class as an
// attribute's value: the filter keeps it as given, and the debug line shows
// it (a block of file data among them).
TEST(SearchHelper, AnObjectValueMakesAnExactFilter) {
    Directory::init();
    LogCapture logs;
    int before = _log_level;
    _log_level = LOG_DEBUG;
    const unsigned char bytes[] = {'a', 'b', 'c'};
    DirNameEntry e("file");
    Any* block = new Any();
    block->setObject(new FileIo(7, 100, 3, bytes), OBJ_FILEIO_ID);
    e.addAttribute("block", block, false);
    SearchHelper h;
    EXPECT_EQ(0, h.set(&e, nullptr));
    _log_level = before;
    EXPECT_TRUE(logs.contains("SearchHelper: added filter for block, regex match to "
                              "{ \"error\" : 0, \"text\" : null, \"offset\" : 7, \"size\" : 100, \"length\" : 3 }"))
        << logs.messages();
    EXPECT_FALSE(h.attributeMatches("block", Any(7)));
    // Nothing that is looked up is nameless, so no filter speaks against it.
    EXPECT_TRUE(h.attributeMatches(nullptr, Any(7)));
    EXPECT_TRUE(h.attributeMatches(nullptr, "7"));
}

TEST(SearchHelper, Tags) {
    SearchHelper h;
    ASSERT_EQ(0, h.set(entry("host:tagKey=tier,tagValue=web").get(), nullptr));
    Attributes a;
    a.setAttribute("tags", "env`prod`tier`web", 0);
    EXPECT_TRUE(h.attributesMatch(nullptr, &a));
    Attributes noTags;
    EXPECT_FALSE(h.attributesMatch(nullptr, &noTags));
    // "prod" is a value, not a key.
    ASSERT_EQ(0, h.set(entry("host:tagKey=prod,tagValue=tier").get(), nullptr));
    EXPECT_FALSE(h.attributesMatch(nullptr, &a));
    ASSERT_EQ(0, h.set(entry("host:tagKey=env,tagValue=pro").get(), nullptr));
    EXPECT_FALSE(h.attributesMatch(nullptr, &a));
    // A last key without a value has the empty value.
    Attributes odd;
    odd.setAttribute("tags", "env`prod`solo", 0);
    DirNameEntry e("host");
    e.setAttribute("tagKey", "solo");
    e.setAttribute("tagValue", "");
    ASSERT_EQ(0, h.set(&e, nullptr));
    EXPECT_TRUE(h.attributesMatch(nullptr, &odd));
    // Only a key, no value: no tag condition at all.
    ASSERT_EQ(0, h.set(entry("host:tagKey=tier").get(), nullptr));
    EXPECT_TRUE(h.attributesMatch(nullptr, &noTags));
}

TEST(SearchHelper, BadExpressionsKeepTheRest) {
    SearchHelper h;
    DirNameEntry e("host");
    e.setAttributeExpression("name", "web(");
    e.addAttribute("size", new Any(7), true);  // an expression that is no string
    e.setAttribute("os", "linux");
    EXPECT_EQ(DirError::E_BAD_REGEX, h.set(&e, nullptr));
    // The good filter after the bad ones was still taken in.
    EXPECT_FALSE(h.attributeMatches("os", "aix"));
    EXPECT_TRUE(h.attributeMatches("os", "linux"));
    EXPECT_TRUE(h.attributeMatches("name", "web("));
    h.clear();
    EXPECT_EQ(nullptr, h.filters);
    EXPECT_TRUE(h.shouldAddAttribute("x"));
}

// A peer's search entry may carry any number of conditions, most of them on
// one name: an object is tested against each name's alternatives once, not
// once per condition (that cost the square of the count for every object).
TEST(SearchHelper, ManyConditionsOnOneNameCostLinearTime) {
    const int kConditions = 60000;
    DirNameEntry e("host");
    for (int i = 0; i < kConditions; i++) e.setAttribute("name", ("web" + std::to_string(i)).c_str());
    e.setAttribute("os", "linux");
    SearchHelper h;
    ASSERT_EQ(0, h.set(&e, nullptr));
    Attributes last, none, otherOs;
    last.setAttribute("name", "web0", 0);  // the first written, the last tried
    last.setAttribute("os", "linux", 0);
    none.setAttribute("name", "db1", 0);
    none.setAttribute("os", "linux", 0);
    otherOs.setAttribute("name", "web7", 0);
    otherOs.setAttribute("os", "aix", 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(h.attributesMatch(nullptr, &last));
    EXPECT_FALSE(h.attributesMatch(nullptr, &none));
    EXPECT_FALSE(h.attributesMatch(nullptr, &otherOs));
    EXPECT_TRUE(h.attributesMatch(entry("host:os=linux").get(), &last));
    // Wide: the square of the count takes minutes even without a sanitizer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// The same against one long value: its text form, which string filters
// compare with, is made once for the value and not once per alternative.
TEST(SearchHelper, ManyStringConditionsAgainstALongValueCostLinearTime) {
    const int kConditions = 20000;
    DirNameEntry e("host");
    for (int i = 0; i < kConditions; i++) e.setAttribute("name", ("web" + std::to_string(i)).c_str());
    SearchHelper h;
    ASSERT_EQ(0, h.set(&e, nullptr));
    std::string big(100000, 'w');
    Attributes longName, lastOne;
    longName.setAttribute("name", big.c_str(), 0);
    // The first condition written is the last one tried.
    lastOne.setAttribute("name", "web0", 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(h.attributesMatch(nullptr, &longName));
    EXPECT_TRUE(h.attributesMatch(nullptr, &lastOne));
    EXPECT_FALSE(h.attributeMatches("name", Any(big.c_str())));
    // Wide: forming the text per condition took minutes here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // The text form still decides for a value that is not a string.
    DirNameEntry n("host");
    n.setAttribute("size", "6");
    n.setAttribute("size", "5");
    ASSERT_EQ(0, h.set(&n, nullptr));
    Any five(5);
    EXPECT_TRUE(h.attributeMatches("size", five));
    EXPECT_FALSE(h.attributeMatches("size", Any(7)));
}

// The wanted attribute list. A provider asks about every attribute of every
// object it returns; a long list of wanted names is split once, not scanned
// on every question.
TEST(SearchHelper, WantedAttributesAndALongListCostsLinearTime) {
    std::string list = " ,";
    for (int i = 0; i < 100000; i++) list += "a" + std::to_string(i) + ", ";
    list += "name";
    SearchHelper h;
    ASSERT_EQ(0, h.set(entry("host:").get(), list.c_str()));
    auto start = std::chrono::steady_clock::now();
    int wanted = 0;
    for (int i = 0; i < 20000; i++) {
        wanted += h.shouldAddAttribute("name") ? 1 : 0;
        wanted += h.shouldAddAttribute("a1") ? 1 : 0;
        wanted += h.shouldAddAttribute("a") ? 1 : 0;  // a prefix is not a name
    }
    EXPECT_EQ(40000, wanted);
    EXPECT_TRUE(h.shouldAddAttribute("a99999"));
    EXPECT_FALSE(h.shouldAddAttribute("a100000"));
    EXPECT_FALSE(h.shouldAddAttribute(nullptr));
    // Wide: scanning the list for every question took minutes here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // Set again, the helper answers from the new list only; no list, or one
    // of separators only, wants everything.
    ASSERT_EQ(0, h.set(entry("host:").get(), "ip, os"));
    EXPECT_FALSE(h.shouldAddAttribute("name"));
    EXPECT_TRUE(h.shouldAddAttribute("ip"));
    EXPECT_TRUE(h.shouldAddAttribute("os"));
    EXPECT_FALSE(h.shouldAddAttribute("o"));
    for (const char* everything : {static_cast<const char*>(nullptr), " ,, "}) {
        ASSERT_EQ(0, h.set(entry("host:").get(), everything));
        EXPECT_TRUE(h.shouldAddAttribute("name"));
    }
}

}  // namespace
