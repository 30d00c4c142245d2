// libcurl result numbers as shared codes: whatever number a transfer reports
// becomes a code with a text, and success is not mistaken for one.
#include <limits.h>

#include <gtest/gtest.h>

#include "common/error_codes.h"

namespace {

TEST(CurlError, EveryResultBecomesASharedCodeWithAText) {
    // libcurl's numbers run from 0 to below 100; the rest guard against garbage.
    for (int result = -5; result <= 120; result++) {
        int code = DirError::fromCurl(result);
        EXPECT_STRNE("Unknown", DirError::getErrorDescription(code)) << "libcurl result " << result << " -> " << code;
    }
    for (int result : {INT_MIN, INT_MAX})
        EXPECT_EQ(DirError::E_ERROR_NOT_DEFINED, DirError::fromCurl(result)) << result;
    // 0 is libcurl's success, which has no error meaning of its own.
    EXPECT_EQ(DirError::E_ERROR_NOT_DEFINED, DirError::fromCurl(0));
}

TEST(CurlError, ConditionsTheSharedListNamesKeepTheirName) {
    // libcurl results whose condition the shared list has by name.
    struct Case {
        int result;
        const char* curlName;
        DirError::Code code;
    } cases[] = {
        {28, "OPERATION_TIMEDOUT", DirError::E_TIMEOUT},
        {47, "TOO_MANY_REDIRECTS", DirError::E_TOO_MANY_REDIRECTS},
        {61, "BAD_CONTENT_ENCODING", DirError::E_BAD_CONTENT_ENCODING},
        {63, "FILESIZE_EXCEEDED", DirError::E_MAX_FILE_SIZE},
        {70, "REMOTE_DISK_FULL", DirError::E_OUT_OF_SPACE},
        {73, "REMOTE_FILE_EXISTS", DirError::E_ALREADY_EXISTS},
        {82, "SSL_CRL_BADFILE", DirError::E_BAD_CRL},
    };
    for (const Case& c : cases) EXPECT_EQ(c.code, DirError::fromCurl(c.result)) << c.curlName;
}

}  // namespace
