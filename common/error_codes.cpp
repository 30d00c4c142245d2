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

#define DRV_MAPPED_CASE(err, name) \
    case err:                     \
        return DirError::name;

// XX(libcurl result, shared code), with libcurl's name for each number.
#define DRV_CURL_ERRORS(XX)                                        \
    XX(1, E_ILLEGAL_ARGUMENT)       /* UNSUPPORTED_PROTOCOL */      \
    XX(3, E_ILLEGAL_ARGUMENT)       /* URL_MALFORMAT */             \
    XX(5, E_HOST_LOOKUP)            /* COULDNT_RESOLVE_PROXY */     \
    XX(6, E_HOST_LOOKUP)            /* COULDNT_RESOLVE_HOST */      \
    XX(7, E_CONNECTION_REFUSED)     /* COULDNT_CONNECT */           \
    XX(8, E_IO)                     /* WEIRD_SERVER_REPLY */        \
    XX(11, E_IO)                    /* FTP_WEIRD_PASS_REPLY */      \
    XX(13, E_IO)                    /* FTP_WEIRD_PASV_REPLY */      \
    XX(15, E_IO)                    /* FTP_CANT_GET_HOST */         \
    XX(17, E_IO)                    /* FTP_COULDNT_SET_TYPE */      \
    XX(19, E_PERMISSION_DENIED)     /* FTP_COULDNT_RETR_FILE */     \
    XX(21, E_IO)                    /* QUOTE_ERROR */               \
    XX(22, E_IO)                    /* HTTP_RETURNED_ERROR */       \
    XX(23, E_IO)                    /* WRITE_ERROR */               \
    XX(25, E_IO)                    /* UPLOAD_FAILED */             \
    XX(26, E_IO)                    /* READ_ERROR */                \
    XX(27, E_NO_RESOURCE)           /* OUT_OF_MEMORY */             \
    XX(28, E_TIMEOUT)               /* OPERATION_TIMEDOUT */        \
    XX(30, E_IO)                    /* FTP_PORT_FAILED */           \
    XX(31, E_IO)                    /* FTP_COULDNT_USE_REST */      \
    XX(34, E_IO)                    /* HTTP_POST_ERROR */           \
    XX(35, E_SECURITY_VIOLATION)    /* SSL_CONNECT_ERROR */         \
    XX(36, E_IO)                    /* BAD_DOWNLOAD_RESUME */       \
    XX(47, E_TOO_MANY_REDIRECTS)    /* TOO_MANY_REDIRECTS */        \
    XX(51, E_PEER_UNVERIFIED)       /* PEER_FAILED_VERIFICATION */  \
    XX(52, E_IO)                    /* GOT_NOTHING */               \
    XX(55, E_IO)                    /* SEND_ERROR */                \
    XX(56, E_IO)                    /* RECV_ERROR */                \
    XX(58, E_BAD_CERTIFICATE)       /* SSL_CERTPROBLEM */           \
    XX(59, E_CIPHER)                /* SSL_CIPHER */                \
    XX(60, E_BAD_CA)                /* SSL_CACERT */                \
    XX(61, E_BAD_CONTENT_ENCODING)  /* BAD_CONTENT_ENCODING */      \
    XX(63, E_MAX_FILE_SIZE)         /* FILESIZE_EXCEEDED */         \
    XX(64, E_AUTH_METHOD_UNAVAILABLE) /* USE_SSL_FAILED */          \
    XX(67, E_AUTHENTICATION)        /* LOGIN_DENIED */              \
    XX(68, E_OBJECT_NOT_FOUND)      /* TFTP_NOTFOUND */             \
    XX(69, E_PERMISSION_DENIED)     /* TFTP_PERM */                 \
    XX(70, E_OUT_OF_SPACE)          /* REMOTE_DISK_FULL */          \
    XX(71, E_IO)                    /* TFTP_ILLEGAL */              \
    XX(72, E_IO)                    /* TFTP_UNKNOWNID */            \
    XX(73, E_ALREADY_EXISTS)        /* REMOTE_FILE_EXISTS */        \
    XX(77, E_BAD_CERTIFICATE)       /* SSL_CACERT_BADFILE */        \
    XX(79, E_AUTHENTICATION)        /* SSH */                       \
    XX(82, E_BAD_CRL)               /* SSL_CRL_BADFILE */           \
    XX(83, E_ISSUER_UNVERIFIED)     /* SSL_ISSUER_ERROR */          \
    XX(84, E_IO)                    /* FTP_PRET_FAILED */

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
        DRV_POSIX_ERRORS(DRV_MAPPED_CASE)
    default:
        return E_ERROR_NOT_DEFINED;
    }
}

DirError::Code DirError::fromCurl(int err) {
    switch (err) {
        DRV_CURL_ERRORS(DRV_MAPPED_CASE)
    default:
        return E_ERROR_NOT_DEFINED;
    }
}
