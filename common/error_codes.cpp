#include "common/error_codes.h"

#include <errno.h>

namespace {

#define DRV_ERROR_ENTRY(code, name, text) {code, #name, text},
#define DRV_ERROR_CASE(code, name, text) \
    case code:                           \
        return text;

const ErrorEntry kShared[] = {DRV_SHARED_ERRORS(DRV_ERROR_ENTRY)};
const ErrorEntry kConnection[] = {DRV_CONNECTION_ERRORS(DRV_ERROR_ENTRY)};
const ErrorEntry kEncoding[] = {DRV_ENCODING_ERRORS(DRV_ERROR_ENTRY)};

// Switches rather than scans: each range is dense, so they compile to jump
// tables, and a repeated code in a list fails the build.
const char* sharedText(int code) {
    switch (code) {
        DRV_SHARED_ERRORS(DRV_ERROR_CASE)
    default:
        return nullptr;
    }
}

const char* connectionText(int code) {
    switch (code) {
        DRV_CONNECTION_ERRORS(DRV_ERROR_CASE)
    default:
        return nullptr;
    }
}

const char* encodingText(int code) {
    switch (code) {
        DRV_ENCODING_ERRORS(DRV_ERROR_CASE)
    default:
        return nullptr;
    }
}

// XX(errno value, shared code). What a file-system call's failure means to
// the caller; anything not listed is E_ERROR_NOT_DEFINED. EAGAIN is not
// listed on purpose: a call to retry is not a resource shortage.
#define DRV_POSIX_ERRORS(XX)                  \
    XX(EPERM, E_PERMISSION_DENIED)            \
    XX(EACCES, E_PERMISSION_DENIED)           \
    XX(ENOENT, E_OBJECT_NOT_FOUND)            \
    XX(ECHILD, E_OBJECT_NOT_FOUND)            \
    XX(EIO, E_IO)                             \
    XX(EBUSY, E_IO)                           \
    XX(EPIPE, E_IO)                           \
    XX(ESTALE, E_IO)                          \
    XX(ENOMEM, E_NO_RESOURCE)                 \
    XX(EMFILE, E_NO_RESOURCE)                 \
    XX(ENOLCK, E_NO_RESOURCE)                 \
    XX(EUSERS, E_NO_RESOURCE)                 \
    XX(EEXIST, E_ALREADY_EXISTS)              \
    XX(EXDEV, E_BAD_LINK)                     \
    XX(EMLINK, E_BAD_LINK)                    \
    XX(ENOTDIR, E_NOT_DIRECTORY)              \
    XX(EISDIR, E_IS_DIRECTORY)                \
    XX(EINVAL, E_ILLEGAL_ARGUMENT)            \
    XX(ERANGE, E_ILLEGAL_ARGUMENT)            \
    XX(EFBIG, E_FILE_TOO_BIG)                 \
    XX(ENOSPC, E_OUT_OF_SPACE)                \
    XX(EROFS, E_READ_ONLY_FS)                 \
    XX(ENAMETOOLONG, E_NAME_TOO_LONG)         \
    XX(ENOTEMPTY, E_DIRECTORY_NOT_EMPTY)      \
    XX(ELOOP, E_LINK_LOOP)                    \
    XX(EOPNOTSUPP, E_NOT_IMPLEMENTED)         \
    XX(EINPROGRESS, E_BUSY)                   \
    XX(EDQUOT, E_QUOTA_EXCEEDED)

#define DRV_POSIX_CASE(err, name) \
    case err:                     \
        return DirError::name;

}  // namespace

const ErrorEntry* errorEntries(ErrorTable table, size_t* count) {
    switch (table) {
    case ERRORS_SHARED:
        *count = sizeof(kShared) / sizeof(kShared[0]);
        return kShared;
    case ERRORS_CONNECTION:
        *count = sizeof(kConnection) / sizeof(kConnection[0]);
        return kConnection;
    case ERRORS_ENCODING:
        *count = sizeof(kEncoding) / sizeof(kEncoding[0]);
        return kEncoding;
    }
    *count = 0;
    return nullptr;
}

const char* errorText(ErrorTable table, int code, const char* fallback) {
    const char* text = nullptr;
    switch (table) {
    case ERRORS_SHARED:
        text = sharedText(code);
        break;
    case ERRORS_CONNECTION:
        text = connectionText(code);
        break;
    case ERRORS_ENCODING:
        text = encodingText(code);
        break;
    }
    return text != nullptr ? text : fallback;
}

DirError::Code DirError::fromPosix(int err) {
    switch (err) {
        DRV_POSIX_ERRORS(DRV_POSIX_CASE)
    default:
        return E_ERROR_NOT_DEFINED;
    }
}
