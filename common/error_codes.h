// Every error code of the runtime and its display text, written once as
// X-macro lists from which the named constants, the text tables and the
// lookups are generated. Three families share the int return values:
//
//   shared codes       1..123   everything above the connection layer; they
//                               travel in directory replies and future
//                               results, and logging takes them negated
//   connection codes  -1..-10,  connections, connectors and TLS
//                     -20..-24
//   encoding codes   -11..-19   the sticky errors of a MessageBase
//
// The connection and encoding numbers interleave. Callers of the connection
// layer meet both, so messageFromError answers -1..-24 from the two lists;
// the encoding's own encodingErrorText answers only its nine, and not -10,
// which a message also uses (a short file write) without a text of its own.
// Each caller picks the lists it answers from; the lists stay apart.
//
// They live in the lowest library because logging and the OS layer report
// shared codes as much as the directory does. Everything here is constant
// data and pure functions, safe from any thread.
#ifndef DRV_COMMON_ERROR_CODES_H
#define DRV_COMMON_ERROR_CODES_H

#include <stddef.h>

// XX(code, name, text). 57 was never given a meaning and stays unassigned.
#define DRV_SHARED_ERRORS(XX)                                                                          \
    XX(1, E_UNMATCHED_QUOTE, "Unmatched quote")                                                         \
    XX(2, E_NO_DELIMITER, "Deliminer not found")                                                        \
    XX(3, E_BUFFER_TOO_SMALL, "Missing or buffer too small")                                            \
    XX(4, E_MISSING_COLON, "Missing colon")                                                             \
    XX(5, E_MISSING_EQUALS, "Missing equal sign")                                                       \
    XX(6, E_MISSING_DOMAIN, "Missing domain name")                                                      \
    XX(7, E_MISSING_HOST, "Missing host name")                                                          \
    XX(8, E_UNMATCHED_ANGLE, "Unmatched '<'")                                                           \
    XX(9, E_NO_PROVIDER, "No Service Provider")                                                         \
    XX(10, E_BAD_REGEX, "Illegal regular expression")                                                   \
    XX(11, E_NOT_CONNECTED, "Not connected")                                                            \
    XX(12, E_BAD_ROOT_CLASS, "Illegal Root Classname")                                                  \
    XX(13, E_TIMEOUT, "Timeout")                                                                        \
    XX(14, E_PROTOCOL, "Protocol Error")                                                                \
    XX(15, E_OBJECT_NOT_FOUND, "Object Not Found")                                                      \
    XX(16, E_TYPE_MISMATCH, "Type Mismatch")                                                            \
    XX(17, E_NO_OBJECT_MAPPING, "No Java/Object Mapping")                                               \
    XX(18, E_MARSHALL, "Marshall Error")                                                                \
    XX(19, E_LOGIN_TIMEOUT, "Login Timeout")                                                            \
    XX(20, E_LOGIN_FAILURE, "Login failure")                                                            \
    XX(21, E_NOT_IMPLEMENTED, "Not Implemented")                                                        \
    XX(22, E_WRITE_FAILURE, "Write Failure")                                                            \
    XX(23, E_PERMISSION_DENIED, "Permission Denied")                                                    \
    XX(24, E_ILLEGAL_ARGUMENT, "Illegal Argument")                                                      \
    XX(25, E_JAVA_EXCEPTION, "Unexpected Java Exception")                                               \
    XX(26, E_NO_DEFAULT_CONSTRUCTOR, "Java Object: No default constructor")                             \
    XX(27, E_NO_LIST_TYPE, "No list type")                                                              \
    XX(28, E_IO, "Generic I/O Error")                                                                   \
    XX(29, E_NO_SUCH_ASSET, "No Such Asset")                                                            \
    XX(30, E_ASSET_LOOKUP, "Directory error looking up asset")                                          \
    XX(31, E_WAITING_FOR_RESULT, "Waiting for future result")                                           \
    XX(32, E_NOT_A_SERVER, "Not configured as a server")                                                \
    XX(33, E_ALREADY_EXISTS, "Already exists")                                                          \
    XX(34, E_SYSTEM_FAILED, "System Failed")                                                            \
    XX(35, E_DIRECTORY_NOT_EMPTY, "Directory not empty")                                                \
    XX(36, E_NOT_WINDOWS_PATH, "Path does not start with a windows filesystem")                         \
    XX(37, E_SECURITY_VIOLATION, "Security Violation (key on connect != expected key)")                 \
    XX(38, E_HOST_LOOKUP, "Host lookup failed")                                                         \
    XX(39, E_NO_RESOURCE, "System resource not available")                                              \
    XX(40, E_CONNECTION_REFUSED, "Connection refused")                                                  \
    XX(41, E_CONNECT_TIMEOUT, "Connect timeout")                                                        \
    XX(42, E_AUTHENTICATION, "Authentication Failure")                                                  \
    XX(43, MUST_RESTART, "Must Restart")                                                                \
    XX(44, E_INVALID_OBJECT, "Invalid Object")                                                          \
    XX(45, E_ILLEGAL_MEMBER, "Unexpected or illegal member")                                            \
    XX(46, E_UNDEFINED_VARIABLE, "Variable not defined")                                                \
    XX(47, E_ILLEGAL_ARRAY_OP, "Illegal Array Operation")                                               \
    XX(48, E_MISSING_ARGUMENTS, "Missing Arguments")                                                    \
    XX(49, E_NOT_CONVERTIBLE, "Object cannot be converted to a useful type")                            \
    XX(50, E_NO_SUCH_PROPERTY, "No such property")                                                      \
    XX(51, E_CLASS_NOT_FOUND, "Class not found")                                                        \
    XX(52, E_NO_CONSTRUCTOR, "No matching constructor")                                                 \
    XX(53, E_NO_MEMBER_FUNCTION, "No matching member function")                                         \
    XX(54, E_UNEXPECTED_EXCEPTION, "Unexpected exception")                                              \
    XX(55, E_UNSUPPORTED_ARRAY_OP, "Unsupported array operation")                                       \
    XX(56, E_INDEX_OUT_OF_BOUNDS, "Array index out of bounds")                                          \
    XX(58, E_NOT_MANUAL_TRIGGER, "Not Manual Trigger")                                                  \
    XX(59, E_OBJECT_DISABLED, "Object Is Disabled")                                                     \
    XX(60, E_HOST_UNREACHABLE, "Host is down or unreachable")                                           \
    XX(61, E_NETWORK_UNREACHABLE, "Network is down or unreachable")                                     \
    XX(62, E_WAITING_ON_ASSET, "Waiting on asset data")                                                 \
    XX(63, E_NO_LOCK, "No lock")                                                                        \
    XX(64, E_LOCK_TIMEOUT, "Lock timeout")                                                              \
    XX(65, E_NO_CONTROL_INFO, "Missing control info")                                                   \
    XX(66, E_NO_SSH_HOST_KEY, "No SSH Host Key")                                                        \
    XX(67, E_NO_PASSWORD_ENTRY, "Unable to find password entry for user")                               \
    XX(68, E_BAD_RSA_KEY, "Bad or missing RSA key")                                                     \
    XX(69, E_AUTH_METHOD_UNAVAILABLE, "Authentication method not available")                            \
    XX(70, E_UNCONFIRMED, "Unable to confirm.  Try again later")                                        \
    XX(71, E_BUSY, "Busy.  Operation is still executing")                                               \
    XX(72, E_DATA_INTEGRITY, "Data Integrity Violation")                                                \
    XX(73, E_NO_SUCH_ENDPOINT, "No such endpoint")                                                      \
    XX(74, E_DECRYPT_FAILURE, "Security Object Decrypt Failure")                                        \
    XX(75, E_NO_ENDPOINT_MODULE, "No Module Implementing Endpoint")                                     \
    XX(76, E_MODULE_FAILED, "Module Failed or Failed to Load")                                          \
    XX(77, E_QUOTA_EXCEEDED, "File System Quota Exceeded")                                              \
    XX(78, E_FILE_TOO_BIG, "File Too Big for File System")                                              \
    XX(79, E_IS_DIRECTORY, "Is a Directory")                                                            \
    XX(80, E_LINK_LOOP, "Links Create a Loop")                                                          \
    XX(81, E_NAME_TOO_LONG, "Name Too Large for File System")                                           \
    XX(82, E_BAD_LINK, "Bad Link")                                                                      \
    XX(83, E_OUT_OF_SPACE, "Out of Space")                                                              \
    XX(84, E_NOT_DIRECTORY, "A Component of the Specified Path was not a Directory")                    \
    XX(85, E_READ_ONLY_FS, "Read Only File System")                                                     \
    XX(86, E_ERROR_NOT_DEFINED, "Error but Not Defined")                                                \
    XX(87, E_TOO_MANY_REDIRECTS, "Too many redirects")                                                  \
    XX(88, E_BAD_CERTIFICATE, "Bad Certificate")                                                        \
    XX(89, E_CIPHER, "Cannot Agree Or Request for Unsupported Cipher")                                  \
    XX(90, E_BAD_CA, "Bad CA")                                                                          \
    XX(91, E_BAD_CONTENT_ENCODING, "Bad Content Encoding")                                              \
    XX(92, E_BAD_CRL, "Bad CRL")                                                                        \
    XX(93, E_ISSUER_UNVERIFIED, "Unable to Verify Certificate Issuer")                                  \
    XX(94, E_PEER_UNVERIFIED, "Unable to Verify Peer")                                                  \
    XX(95, E_MAX_FILE_SIZE, "Maximum File Size Exceeded")                                               \
    XX(96, E_LOGGED_OUT, "No Login; Logout was called")                                                 \
    XX(97, E_EXPECTED_BOOLEAN, "Expected boolean value")                                                \
    XX(98, E_EXPECTED_ASSIGNABLE, "Expected assignable value")                                          \
    XX(99, E_ILLEGAL_MATH_OPERAND, "Operand illegal for math operation")                                \
    XX(100, E_NOT_DEREFERENCEABLE, "Value cannot be dereferenced")                                      \
    XX(101, E_ILLEGAL_BINARY_OPERAND, "Operand illegal for binary operation")                           \
    XX(102, E_WORKFLOW_EXCEPTION, "Workflow Exception")                                                 \
    XX(103, E_ENDPOINT_EXCEPTION, "Endpoint Exception")                                                 \
    XX(104, E_NOT_FOR_PROXY, "Not valid for proxy")                                                     \
    XX(105, E_SYNTAX, "Syntax Error")                                                                   \
    XX(106, E_UNMATCHED_EXPAND, "Unmatched ?> in string expand")                                        \
    XX(107, E_CALL_ON_NULL, "Function call on null object")                                             \
    XX(108, E_FUNCTION_CALL_FAILED, "Function call failed")                                             \
    XX(109, E_PROTOTYPE_EXPECTED, "Prototype name was expected")                                        \
    XX(110, E_NULL_DEREFERENCE, "Attempt to dereferenced null pointer")                                 \
    XX(111, E_NO_SUCH_FUNCTION, "No such function")                                                     \
    XX(112, E_GROUP_EXCEPTION, "Group Exception")                                                       \
    XX(113, E_NO_STACK_FRAME, "No proper stack frame")                                                  \
    XX(114, E_NO_NATIVE_IDENTITY, "Unable to find native identity to login")                            \
    XX(115, E_PASSWORD_CHECKOUT, "Unable to check out password to perform native login")                \
    XX(116, E_PASSWORD_DECRYPT, "Unable to decrypt password from secure container")                     \
    XX(117, E_INCOMPATIBLE_VERSIONS, "Incompatible product versions detected")                          \
    XX(118, E_ACCOUNT_DISABLED, "User account is disabled or in an invalid state")                      \
    XX(119, E_LOGIN_PROVIDER,                                                                           \
       "Login provider failure (AD cannot be contacted, network failure or other infrastructure problem)") \
    XX(120, E_CMDB_EXCEPTION, "CMDB Exception")                                                         \
    XX(121, E_PERSISTENCE_EXCEPTION, "Persistence Exception")                                           \
    XX(122, E_DEPRECATED, "Deprecated Exception")                                                       \
    XX(123, E_UNDEFINED_PROPERTY, "Cannot read property of undefined or null object")

// XX(code, name, text). -11..-19 belong to the encoding list below.
#define DRV_CONNECTION_ERRORS(XX)                                                      \
    XX(-1, COMS_E_REFUSED_BY_SERVER, "Connection refused by server")                    \
    XX(-2, COMS_E_SOCKET, "Unable to allocate a socket")                                \
    XX(-3, COMS_E_NO_HOST, "No such host")                                              \
    XX(-4, COMS_E_NO_SERVICE, "No such service")                                        \
    XX(-5, COMS_E_CERTIFICATE, "Certificate problem")                                   \
    XX(-6, COMS_E_KEY, "Public/Private Key problem")                                    \
    XX(-7, COMS_E_CONNECT, "Unable to connect")                                         \
    XX(-8, COMS_E_REFUSED, "Connection refused")                                        \
    XX(-9, COMS_E_RESET, "Connection reset by peer")                                    \
    XX(-10, COMS_E_NOT_CONNECTED, "Not Connected (lost or closed)")                     \
    XX(-20, COMS_E_HANDSHAKE_TIMEOUT, "Server did not complete handshake in a timely fashion") \
    XX(-21, COMS_E_AUTH, "Authentication failure")                                      \
    XX(-22, COMS_E_NO_NETWORK_ROUTE, "No route to network")                             \
    XX(-23, COMS_E_NO_HOST_ROUTE, "No route to host")                                   \
    XX(-24, COMS_E_WHITELIST, "Connection disabled via whitelist")

// XX(code, name, text). The constants themselves are MessageError's
// (dirbase/message.h), which the connection layer checks against this list
// at compile time.
#define DRV_ENCODING_ERRORS(XX)                                     \
    XX(-11, MSG_E_EOF, "Unexpected end of file")                     \
    XX(-12, MSG_E_INCOMPLETE, "Incomplete message")                  \
    XX(-13, MSG_E_MISSING_TYPE, "Missing type in message")           \
    XX(-14, MSG_E_BAD_TYPE, "Invalid or unexpected type")            \
    XX(-15, MSG_E_MISSING_FIELD, "Missing field in object")          \
    XX(-16, MSG_E_NO_FIELD_CODE, "Missing field code")               \
    XX(-17, MSG_E_BAD_FIELD_CODE, "Unexpected field code")           \
    XX(-18, MSG_E_NO_TRANSLATOR, "No translator for this object")    \
    XX(-19, MSG_E_NULL_OBJECT, "Unexpected NULL object")

#define DRV_ERROR_ENUMERATOR(code, name, text) name = (code),

enum ErrorTable { ERRORS_SHARED, ERRORS_CONNECTION, ERRORS_ENCODING };

struct ErrorEntry {
    int code;
    const char* name;
    const char* text;
};

// The entries of one table in list order; *count receives their number.
const ErrorEntry* errorEntries(ErrorTable table, size_t* count);

// The one lookup: the static text of code in table, or fallback when the
// table has no such code.
const char* errorText(ErrorTable table, int code, const char* fallback);

// The shared codes, named after the directory that carries them between
// agents and servers.
class DirError {
public:
    enum Code { E_OK = 0, DRV_SHARED_ERRORS(DRV_ERROR_ENUMERATOR) };

    // The static text of a code; "Unknown" for a number without one (below 1,
    // above 123, and 57). Never freed by the caller.
    static const char* getErrorDescription(int code) { return errorText(ERRORS_SHARED, code, "Unknown"); }

    // A POSIX errno value (Linux numbering) as a shared code; every number
    // without a closer meaning is E_ERROR_NOT_DEFINED.
    static Code fromPosix(int err);
    // A libcurl result number as a shared code (the translation is by
    // number: nothing here needs libcurl); every number without a closer
    // meaning, 0 (libcurl's success) included, is E_ERROR_NOT_DEFINED.
    static Code fromCurl(int err);
};

enum ComsError { DRV_CONNECTION_ERRORS(DRV_ERROR_ENUMERATOR) };

#endif
