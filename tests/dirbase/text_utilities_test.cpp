// The text utilities that the record code builds on: the tokenizer that
// keeps empty tokens, StringBuilder, and buildJSON's member letters.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dirbase/acl.h"
#include "dirbase/build_json.h"
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

}  // namespace
