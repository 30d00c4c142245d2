// The shared error codes (1..123) of everything above the connection layer,
// their fixed texts, and the translations from errno and libcurl numbers.
// Header-only: the table is plain data that the lowest layers (logging, the
// OS layer) need as much as the directory does.
#ifndef DRV_DIR_DIR_ERROR_H
#define DRV_DIR_DIR_ERROR_H

#include <errno.h>

class DirError {
public:
    // Codes that the system's own log texts refer to by name, plus the ones
    // that code in several places returns.
    enum Code {
        E_OK = 0,
        E_NOT_CONNECTED = 11,
        E_TIMEOUT = 13,
        E_OBJECT_NOT_FOUND = 15,
        E_TYPE_MISMATCH = 16,
        E_NOT_IMPLEMENTED = 21,
        E_PERMISSION_DENIED = 23,
        E_ILLEGAL_ARGUMENT = 24,
        E_SYSTEM_FAILED = 34,
        MUST_RESTART = 43,
        E_NO_SUCH_PROPERTY = 50,
        E_ERROR_NOT_DEFINED = 86,
        E_FUNCTION_CALL_FAILED = 108,
        E_NO_SUCH_FUNCTION = 111,
        E_UNDEFINED_PROPERTY = 123,
    };

    static const int kMaxCode = 123;

    // The static text of a code; "Unknown" outside 1..123 (and for the one
    // unassigned number, 57). Never freed by the caller.
    static const char* getErrorDescription(int code) {
        if (code < 1 || code > kMaxCode || kTexts[code] == nullptr) return "Unknown";
        return kTexts[code];
    }

    // POSIX errno (Linux numbering) to a shared code.
    static int fromPosix(int err) {
        switch (err) {
        case EPERM: case EACCES: return 23;
        case ENOENT: case ECHILD: return 15;
        case EIO: case EBUSY: case EPIPE: case ESTALE: return 28;
        case ENOMEM: case EMFILE: case ENOLCK: case EUSERS: return 39;
        case EEXIST: return 33;
        case EXDEV: case EMLINK: return 82;
        case ENOTDIR: return 84;
        case EISDIR: return 79;
        case EINVAL: case ERANGE: return 24;
        case EFBIG: return 78;
        case ENOSPC: return 83;
        case EROFS: return 85;
        case ENAMETOOLONG: return 81;
        case ENOTEMPTY: return 35;
        case ELOOP: return 80;
        case EOPNOTSUPP: return 21;
        case EINPROGRESS: return 71;
        case EDQUOT: return 77;
        default: return E_ERROR_NOT_DEFINED;
        }
    }

    // libcurl result number to a shared code; by number only, no libcurl needed.
    static int fromCurl(int err) {
        switch (err) {
        case 1: case 3: return 24;
        case 5: case 6: return 38;
        case 7: return 40;
        case 8: case 11: case 13: case 15: case 17: case 21: case 22: case 23: case 25: case 26:
        case 30: case 31: case 34: case 36: case 52: case 55: case 56: case 71: case 72: case 84:
            return 28;
        case 19: case 69: return 23;
        case 27: return 39;
        case 28: return 13;
        case 35: return 37;
        case 47: return 87;
        case 51: return 94;
        case 58: case 77: return 88;
        case 59: return 89;
        case 60: return 90;
        case 61: return 91;
        case 63: return 95;
        case 64: return 69;
        case 67: case 79: return 42;
        case 68: return 15;
        case 70: return 83;
        case 73: return 33;
        case 82: return 92;
        case 83: return 93;
        default: return E_ERROR_NOT_DEFINED;
        }
    }

private:
    static constexpr const char* kTexts[kMaxCode + 1] = {
        /*   0 */ nullptr,
        /*   1 */ "Unmatched quote",
        /*   2 */ "Deliminer not found",
        /*   3 */ "Missing or buffer too small",
        /*   4 */ "Missing colon",
        /*   5 */ "Missing equal sign",
        /*   6 */ "Missing domain name",
        /*   7 */ "Missing host name",
        /*   8 */ "Unmatched '<'",
        /*   9 */ "No Service Provider",
        /*  10 */ "Illegal regular expression",
        /*  11 */ "Not connected",
        /*  12 */ "Illegal Root Classname",
        /*  13 */ "Timeout",
        /*  14 */ "Protocol Error",
        /*  15 */ "Object Not Found",
        /*  16 */ "Type Mismatch",
        /*  17 */ "No Java/Object Mapping",
        /*  18 */ "Marshall Error",
        /*  19 */ "Login Timeout",
        /*  20 */ "Login failure",
        /*  21 */ "Not Implemented",
        /*  22 */ "Write Failure",
        /*  23 */ "Permission Denied",
        /*  24 */ "Illegal Argument",
        /*  25 */ "Unexpected Java Exception",
        /*  26 */ "Java Object: No default constructor",
        /*  27 */ "No list type",
        /*  28 */ "Generic I/O Error",
        /*  29 */ "No Such Asset",
        /*  30 */ "Directory error looking up asset",
        /*  31 */ "Waiting for future result",
        /*  32 */ "Not configured as a server",
        /*  33 */ "Already exists",
        /*  34 */ "System Failed",
        /*  35 */ "Directory not empty",
        /*  36 */ "Path does not start with a windows filesystem",
        /*  37 */ "Security Violation (key on connect != expected key)",
        /*  38 */ "Host lookup failed",
        /*  39 */ "System resource not available",
        /*  40 */ "Connection refused",
        /*  41 */ "Connect timeout",
        /*  42 */ "Authentication Failure",
        /*  43 */ "Must Restart",
        /*  44 */ "Invalid Object",
        /*  45 */ "Unexpected or illegal member",
        /*  46 */ "Variable not defined",
        /*  47 */ "Illegal Array Operation",
        /*  48 */ "Missing Arguments",
        /*  49 */ "Object cannot be converted to a useful type",
        /*  50 */ "No such property",
        /*  51 */ "Class not found",
        /*  52 */ "No matching constructor",
        /*  53 */ "No matching member function",
        /*  54 */ "Unexpected exception",
        /*  55 */ "Unsupported array operation",
        /*  56 */ "Array index out of bounds",
        /*  57 */ nullptr,
        /*  58 */ "Not Manual Trigger",
        /*  59 */ "Object Is Disabled",
        /*  60 */ "Host is down or unreachable",
        /*  61 */ "Network is down or unreachable",
        /*  62 */ "Waiting on asset data",
        /*  63 */ "No lock",
        /*  64 */ "Lock timeout",
        /*  65 */ "Missing control info",
        /*  66 */ "No SSH Host Key",
        /*  67 */ "Unable to find password entry for user",
        /*  68 */ "Bad or missing RSA key",
        /*  69 */ "Authentication method not available",
        /*  70 */ "Unable to confirm.  Try again later",
        /*  71 */ "Busy.  Operation is still executing",
        /*  72 */ "Data Integrity Violation",
        /*  73 */ "No such endpoint",
        /*  74 */ "Security Object Decrypt Failure",
        /*  75 */ "No Module Implementing Endpoint",
        /*  76 */ "Module Failed or Failed to Load",
        /*  77 */ "File System Quota Exceeded",
        /*  78 */ "File Too Big for File System",
        /*  79 */ "Is a Directory",
        /*  80 */ "Links Create a Loop",
        /*  81 */ "Name Too Large for File System",
        /*  82 */ "Bad Link",
        /*  83 */ "Out of Space",
        /*  84 */ "A Component of the Specified Path was not a Directory",
        /*  85 */ "Read Only File System",
        /*  86 */ "Error but Not Defined",
        /*  87 */ "Too many redirects",
        /*  88 */ "Bad Certificate",
        /*  89 */ "Cannot Agree Or Request for Unsupported Cipher",
        /*  90 */ "Bad CA",
        /*  91 */ "Bad Content Encoding",
        /*  92 */ "Bad CRL",
        /*  93 */ "Unable to Verify Certificate Issuer",
        /*  94 */ "Unable to Verify Peer",
        /*  95 */ "Maximum File Size Exceeded",
        /*  96 */ "No Login; Logout was called",
        /*  97 */ "Expected boolean value",
        /*  98 */ "Expected assignable value",
        /*  99 */ "Operand illegal for math operation",
        /* 100 */ "Value cannot be dereferenced",
        /* 101 */ "Operand illegal for binary operation",
        /* 102 */ "Workflow Exception",
        /* 103 */ "Endpoint Exception",
        /* 104 */ "Not valid for proxy",
        /* 105 */ "Syntax Error",
        /* 106 */ "Unmatched ?> in string expand",
        /* 107 */ "Function call on null object",
        /* 108 */ "Function call failed",
        /* 109 */ "Prototype name was expected",
        /* 110 */ "Attempt to dereferenced null pointer",
        /* 111 */ "No such function",
        /* 112 */ "Group Exception",
        /* 113 */ "No proper stack frame",
        /* 114 */ "Unable to find native identity to login",
        /* 115 */ "Unable to check out password to perform native login",
        /* 116 */ "Unable to decrypt password from secure container",
        /* 117 */ "Incompatible product versions detected",
        /* 118 */ "User account is disabled or in an invalid state",
        /* 119 */ "Login provider failure (AD cannot be contacted, network failure or other infrastructure problem)",
        /* 120 */ "CMDB Exception",
        /* 121 */ "Persistence Exception",
        /* 122 */ "Deprecated Exception",
        /* 123 */ "Cannot read property of undefined or null object",
    };
};

#endif
