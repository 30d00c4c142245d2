// The shared error table and the translations from errno and libcurl numbers.
#include <errno.h>
#include <string.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "dir/dir_error.h"

namespace {

TEST(DirError, TextsOfTheCodes) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {1, "Unmatched quote"},
        {2, "Deliminer not found"},
        {8, "Unmatched '<'"},
        {11, "Not connected"},
        {15, "Object Not Found"},
        {23, "Permission Denied"},
        {34, "System Failed"},
        {37, "Security Violation (key on connect != expected key)"},
        {43, "Must Restart"},
        {56, "Array index out of bounds"},
        {58, "Not Manual Trigger"},
        {70, "Unable to confirm.  Try again later"},
        {71, "Busy.  Operation is still executing"},
        {86, "Error but Not Defined"},
        {96, "No Login; Logout was called"},
        {106, "Unmatched ?> in string expand"},
        {119, "Login provider failure (AD cannot be contacted, network failure or other infrastructure problem)"},
        {123, "Cannot read property of undefined or null object"},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.text, DirError::getErrorDescription(c.code)) << c.code;

    for (int outside : {0, -5, -1, 124, 1000, -2147483647 - 1, 2147483647})
        EXPECT_STREQ("Unknown", DirError::getErrorDescription(outside)) << outside;
    EXPECT_STREQ("Unknown", DirError::getErrorDescription(57)) << "the one number without a text";

    // Every other code has a text of its own.
    std::set<std::string> texts;
    for (int code = 1; code <= 123; code++) {
        if (code == 57) continue;
        const char* text = DirError::getErrorDescription(code);
        ASSERT_NE(nullptr, text);
        EXPECT_STRNE("Unknown", text) << code;
        EXPECT_TRUE(texts.insert(text).second) << "repeated text for " << code;
    }
}

TEST(DirError, PosixNumbers) {
    const int table[][2] = {
        {EPERM, 23},  {EACCES, 23},     {ENOENT, 15},      {ECHILD, 15},  {EIO, 28},          {EBUSY, 28},
        {EPIPE, 28},  {ESTALE, 28},     {ENOMEM, 39},      {EMFILE, 39},  {ENOLCK, 39},       {EUSERS, 39},
        {EEXIST, 33}, {EXDEV, 82},      {EMLINK, 82},      {ENOTDIR, 84}, {EISDIR, 79},       {EINVAL, 24},
        {ERANGE, 24}, {EFBIG, 78},      {ENOSPC, 83},      {EROFS, 85},   {ENAMETOOLONG, 81}, {ENOTEMPTY, 35},
        {ELOOP, 80},  {EOPNOTSUPP, 21}, {EINPROGRESS, 71}, {EDQUOT, 77},
    };
    std::set<int> listed;
    for (const auto& row : table) {
        EXPECT_EQ(row[1], DirError::fromPosix(row[0])) << strerror(row[0]);
        listed.insert(row[0]);
    }
    // Everything else is "Error but Not Defined", EAGAIN included.
    for (int err = -1; err <= 200; err++) EXPECT_TRUE(listed.count(err) == 1 || DirError::fromPosix(err) == 86) << err;
}

TEST(DirError, CurlNumbers) {
    const int table[][2] = {
        {1, 24},  {3, 24},  {5, 38},  {6, 38},  {7, 40},  {8, 28},  {11, 28}, {13, 28}, {15, 28}, {17, 28},
        {21, 28}, {22, 28}, {23, 28}, {25, 28}, {26, 28}, {30, 28}, {31, 28}, {34, 28}, {36, 28}, {52, 28},
        {55, 28}, {56, 28}, {71, 28}, {72, 28}, {84, 28}, {19, 23}, {69, 23}, {27, 39}, {28, 13}, {35, 37},
        {47, 87}, {51, 94}, {58, 88}, {77, 88}, {59, 89}, {60, 90}, {61, 91}, {63, 95}, {64, 69}, {67, 42},
        {79, 42}, {68, 15}, {70, 83}, {73, 33}, {82, 92}, {83, 93},
    };
    std::set<int> listed;
    for (const auto& row : table) {
        EXPECT_EQ(row[1], DirError::fromCurl(row[0])) << "libcurl result " << row[0];
        EXPECT_TRUE(listed.insert(row[0]).second) << "listed twice: " << row[0];
    }
    for (int err = -5; err <= 120; err++) EXPECT_TRUE(listed.count(err) == 1 || DirError::fromCurl(err) == 86) << err;
}

}  // namespace
