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

}  // namespace
