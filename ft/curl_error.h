// The start of the file transfer library: transfers made with libcurl report
// its result numbers, and callers above see shared error codes
// (common/error_codes.h). The translation is by number, so nothing here
// needs libcurl itself. Pure function, safe from any thread.
#ifndef DRV_FT_CURL_ERROR_H
#define DRV_FT_CURL_ERROR_H

#include "common/error_codes.h"

// A libcurl result number as a shared code; every number without a closer
// meaning (0 included) is E_ERROR_NOT_DEFINED.
DirError::Code curlResultToError(int result);

#endif
