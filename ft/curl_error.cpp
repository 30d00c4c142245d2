#include "ft/curl_error.h"

namespace {

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

#define DRV_CURL_CASE(result, name) \
    case result:                    \
        return DirError::name;

}  // namespace

DirError::Code curlResultToError(int result) {
    switch (result) {
        DRV_CURL_ERRORS(DRV_CURL_CASE)
    default:
        return DirError::E_ERROR_NOT_DEFINED;
    }
}
