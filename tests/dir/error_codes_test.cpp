// The error code lists and the callers that turn codes into text: every code
// of a range has its own text, no name or code is given twice, each caller
// answers its own ranges and its fallback elsewhere, and what file-system
// calls fail with always becomes a shared code with a meaning.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "coms/coms_error.h"
#include "dirbase/message.h"
#include "tests/support/temp_dir.h"

namespace {

bool isConnectionCode(int code) {
    return (code <= -1 && code >= -10) || (code <= -20 && code >= -24);
}

bool isEncodingCode(int code) {
    return code <= -11 && code >= -19;
}

TEST(ErrorCodes, EveryCodeOfEachRangeHasItsOwnText) {
    std::set<std::string> shared;
    for (int code = 1; code <= 123; code++) {
        const char* text = DirError::getErrorDescription(code);
        ASSERT_NE(nullptr, text);
        if (code == 57) {
            EXPECT_STREQ("Unknown", text) << "57 has never had a meaning";
            continue;
        }
        EXPECT_STRNE("Unknown", text) << code;
        EXPECT_STRNE("", text) << code;
        EXPECT_TRUE(shared.insert(text).second) << "text of " << code << " repeated: " << text;
    }

    // The connection texts include the encoding's, and the encoding's own
    // caller gives the very same ones.
    std::set<std::string> connection;
    for (int code = -1; code >= -24; code--) {
        const char* text = messageFromError(code);
        ASSERT_NE(nullptr, text);
        EXPECT_STRNE("", text) << code;
        EXPECT_TRUE(connection.insert(text).second) << "text of " << code << " repeated: " << text;
        if (isEncodingCode(code)) {
            EXPECT_STREQ(text, encodingErrorText(code)) << code;
        }
    }
}

TEST(ErrorCodes, TheListsKeepTheirRangesAndNamesApart) {
    struct List {
        ErrorTable table;
        const char* prefix;
        bool (*inRange)(int);
    } lists[] = {
        {ERRORS_SHARED, "", [](int code) { return code >= 1 && code <= 123; }},
        {ERRORS_CONNECTION, "COMS_E_", isConnectionCode},
        {ERRORS_ENCODING, "MSG_E_", isEncodingCode},
    };
    std::set<std::string> names;
    for (const List& list : lists) {
        size_t count = 0;
        const ErrorEntry* entries = errorEntries(list.table, &count);
        ASSERT_NE(nullptr, entries);
        ASSERT_GT(count, 0u);
        std::set<int> codes;
        for (size_t i = 0; i < count; i++) {
            const ErrorEntry& e = entries[i];
            SCOPED_TRACE(e.name);
            EXPECT_TRUE(list.inRange(e.code)) << e.code;
            EXPECT_TRUE(codes.insert(e.code).second) << "code listed twice: " << e.code;
            EXPECT_TRUE(names.insert(e.name).second) << "name used twice";
            EXPECT_EQ(0, strncmp(e.name, list.prefix, strlen(list.prefix))) << "in the wrong list";
            EXPECT_STREQ(e.text, errorText(list.table, e.code, nullptr));
        }
    }

    // A code of one list is not found in the other: the overlap of the
    // connection and encoding ranges is resolved by the callers, not the table.
    for (int code = -11; code >= -19; code--) EXPECT_EQ(nullptr, errorText(ERRORS_CONNECTION, code, nullptr)) << code;
    for (int code : {-1, -10, -20, -24}) EXPECT_EQ(nullptr, errorText(ERRORS_ENCODING, code, nullptr)) << code;
}

TEST(ErrorCodes, EachCallerAnswersItsFallbackOutsideItsRanges) {
    for (int code : {0, -1, -5, 57, 124, 1000, INT_MIN, INT_MAX})
        EXPECT_STREQ("Unknown", DirError::getErrorDescription(code)) << code;
    for (int code : {0, 1, 11, -25, -100, INT_MIN, INT_MAX}) EXPECT_STREQ("", messageFromError(code)) << code;
    // -10 is a message's own code (a short file write) without a text of the encoding's.
    for (int code : {0, -1, -10, -20, 11, INT_MIN}) EXPECT_STREQ("", encodingErrorText(code)) << code;
}

// Every errno value, including those that opening, reading, writing,
// creating, renaming and removing files report.
TEST(ErrorCodes, EveryErrnoBecomesASharedCodeWithAText) {
    for (int err = -1; err <= 200; err++)
        EXPECT_STRNE("Unknown", DirError::getErrorDescription(DirError::fromPosix(err))) << err;

    // A number that is no failure, and one to be retried, have no closer meaning.
    EXPECT_EQ(DirError::E_ERROR_NOT_DEFINED, DirError::fromPosix(0));
    EXPECT_EQ(DirError::E_ERROR_NOT_DEFINED, DirError::fromPosix(EAGAIN));
    EXPECT_EQ(DirError::E_ERROR_NOT_DEFINED, DirError::fromPosix(123));
}

// Real failures of file-system calls, each of which the shared list has a
// code for by name.
TEST(ErrorCodes, FileSystemFailuresKeepTheirMeaning) {
    TempDir dir;
    std::string file = dir.file("file");
    std::string sub = dir.file("sub");
    writeFile(file, "x");
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    writeFile(sub + "/inside", "y");
    ASSERT_EQ(0, symlink(dir.file("loop").c_str(), dir.file("loop").c_str()));

    struct Call {
        const char* what;
        int (*call)(const std::string& dir);
        DirError::Code code;
    } calls[] = {
        {"open of a missing file", [](const std::string& d) { return open((d + "/missing").c_str(), O_RDONLY); },
         DirError::E_OBJECT_NOT_FOUND},
        {"mkdir of an existing name", [](const std::string& d) { return mkdir((d + "/file").c_str(), 0700); },
         DirError::E_ALREADY_EXISTS},
        {"open through a file", [](const std::string& d) { return open((d + "/file/x").c_str(), O_RDONLY); },
         DirError::E_NOT_DIRECTORY},
        {"open of a directory for writing", [](const std::string& d) { return open((d + "/sub").c_str(), O_WRONLY); },
         DirError::E_IS_DIRECTORY},
        {"rmdir of a full directory", [](const std::string& d) { return rmdir((d + "/sub").c_str()); },
         DirError::E_DIRECTORY_NOT_EMPTY},
        {"open of a symlink loop", [](const std::string& d) { return open((d + "/loop").c_str(), O_RDONLY); },
         DirError::E_LINK_LOOP},
        {"open of an overlong name",
         [](const std::string& d) { return open((d + "/" + std::string(NAME_MAX + 1, 'n')).c_str(), O_RDONLY); },
         DirError::E_NAME_TOO_LONG},
    };
    for (const Call& c : calls) {
        errno = 0;
        int result = c.call(dir.path());
        int err = errno;
        if (result >= 0) close(result);
        ASSERT_EQ(-1, result) << c.what << " succeeded";
        EXPECT_EQ(c.code, DirError::fromPosix(err)) << c.what << ": " << strerror(err);
    }
}

}  // namespace
