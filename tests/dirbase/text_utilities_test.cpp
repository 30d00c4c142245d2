// The text utilities that the record code builds on: the tokenizer that
// keeps empty tokens, StringBuilder, and buildJSON's member letters.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/json_reader.h"
#include "dirbase/string_builder.h"

namespace {

std::vector<std::string> tokens(const char* text, const char* delimiters) {
    std::string copy = text;
    std::vector<std::string> out;
    char* save = nullptr;
    for (char* t = ns_strtok_r(&copy[0], delimiters, &save); t != nullptr; t = ns_strtok_r(nullptr, delimiters, &save))
        out.push_back(t);
    return out;
}

TEST(Tokenizer, ConsecutiveDelimitersYieldEmptyTokens) {
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), tokens("a``b", "`"));
    EXPECT_EQ((std::vector<std::string>{"", "x"}), tokens("`x", "`"));
    EXPECT_TRUE(tokens("", "`").empty()) << "an empty remainder ends the walk";
}

TEST(StringBuilder, AppendsStripsLineBreaksAndHandsTheBufferOver) {
    StringBuilder sb;
    EXPECT_EQ(nullptr, sb.get());
    char* empty = sb.take();
    EXPECT_STREQ("", empty) << "an empty builder yields an empty string";
    free(empty);
    sb.append("abc", 2);
    sb.append("-");
    sb.appendNoNl("\nline\r\nend\n", StringBuilder::kToEnd);
    EXPECT_STREQ("ab-lineend", sb.get());
    sb.append(std::string(3000, 'q').c_str());  // past the first growth
    char* taken = sb.take();
    EXPECT_EQ(3010u, strlen(taken));
    free(taken);
    EXPECT_EQ(nullptr, sb.get()) << "take empties the builder";
}

TEST(BuildJson, EachLetterWritesItsMember) {
    long long big64 = 1LL << 40;
    Acl acl("text");
    Translatable* aclObj = &acl;
    Translatable* none = nullptr;
    // "z" is no letter: its member is ignored; an "a" without an object is left out.
    char* json = buildJSON("sisjbboaaz", "s", "v", "i", -3, "n", nullptr, "j", &big64, "b", 1, "f", 0, "o", &acl,
                           "a", &aclObj, "missing", &none);
    EXPECT_STREQ(
        "{ \"s\" : \"v\", \"i\" : -3, \"n\" : null, \"j\" : 1099511627776, \"b\" : true, \"f\" : false, "
        "\"o\" : text, \"a\" : text }",
        json);
    free(json);
    json = buildJSON("t", "when", 0);
    EXPECT_EQ(0, strncmp(json, "{ \"when\" : 0 /* ", 16)) << json;
    free(json);
    static const char* items[] = {"1", "2", nullptr};
    json = buildJSON("l", "list", static_cast<void*>(items), static_cast<JsonNextFn>([](void** cursor) -> char* {
                         const char** at = static_cast<const char**>(*cursor);
                         if (*at == nullptr) return nullptr;
                         *cursor = at + 1;
                         return strdup(*at);
                     }));
    EXPECT_STREQ("{ \"list\" : [1, 2] }", json);
    free(json);
}

// Characters outside the basic plane arrive as a pair of \u escapes (a high
// and a low surrogate), which stand for one character and its four UTF-8
// bytes; half a pair stands for no character at all.
TEST(JsonReader, SurrogatePairsReadAsOneCharacter) {
    std::string error;
    std::unique_ptr<Any> face(parseJsonValue("\"a\\ud83d\\ude00b\"", &error));
    ASSERT_NE(nullptr, face) << error;
    EXPECT_STREQ("a\xF0\x9F\x98\x80" "b", face->getString());
    std::unique_ptr<Any> upper(parseJsonValue("\"\\uD800\\uDC00\"", &error));
    ASSERT_NE(nullptr, upper) << error;
    EXPECT_STREQ("\xF0\x90\x80\x80", upper->getString());
    std::unique_ptr<Any> plain(parseJsonValue("\"\\u00e9\\uFFFF\"", &error));
    ASSERT_NE(nullptr, plain) << error;
    EXPECT_STREQ("\xC3\xA9\xEF\xBF\xBF", plain->getString());

    for (const char* half : {"\"\\ud83d\"", "\"\\ud83dx\"", "\"\\ud83d\\u0041\"", "\"\\ude00\"",
                             "[\"\\ud83d\\ud83d\"]", "{\"\\udfff\":1}"}) {
        error.clear();
        std::unique_ptr<Any> refused(parseJsonValue(half, &error));
        EXPECT_EQ(nullptr, refused) << half;
        EXPECT_FALSE(error.empty()) << half;
    }
}

}  // namespace

// Large documents read in time that grows with their size: neither a long
// array nor an object with many members may cost a pass over what was read
// so far for each element. The bound only catches that regression.
TEST(JsonReader, LongArraysAndLargeObjectsReadInLinearTime) {
    const int kElements = 100000, kMembers = 50000;
    std::string array = "[";
    for (int i = 0; i < kElements; i++) array += (i > 0 ? "," : "") + std::to_string(i);
    array += "]";
    std::string object = "{";
    for (int i = 0; i < kMembers; i++) object += (i > 0 ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    object += ",\"k7\":\"again\",\"z\\u0000tail\":1,\"z\":2}";

    auto started = std::chrono::steady_clock::now();
    std::string error;
    std::unique_ptr<Any> list(parseJsonValue(array.c_str(), &error));
    std::unique_ptr<Any> members(parseJsonValue(object.c_str(), &error));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 20.0);

    ASSERT_NE(nullptr, list);
    AnyArray* a = list->getArray();
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(kElements, a->size());
    EXPECT_EQ(0, a->get(0)->getInt32());
    EXPECT_EQ(kElements - 1, a->get(kElements - 1)->getInt32());

    ASSERT_NE(nullptr, members);
    Translatable* obj = nullptr;
    ASSERT_TRUE(members->getObject(&obj));
    Attributes* attrs = static_cast<Attributes*>(obj);
    // A repeated name keeps its place and takes the last value; a name cut
    // at a NUL is the same name as its part before it.
    EXPECT_EQ(kMembers + 1, attrs->size());
    EXPECT_STREQ("again", attrs->getStringAttribute("k7"));
    EXPECT_EQ(kMembers - 1, attrs->getAttribute(("k" + std::to_string(kMembers - 1)).c_str())->getInt32());
    EXPECT_EQ(2, attrs->getAttribute("z")->getInt32());
    char** keys = attrs->getKeys();
    EXPECT_STREQ("z", keys[0]);
    EXPECT_STREQ("k0", keys[kMembers]);
    Attributes::freeKeys(keys);
}
