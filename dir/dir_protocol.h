// The directory wire protocol: the M_* message codes that a remote provider
// (NetClientSPI) and its peer (a directory server or an agent) exchange, and
// one builder and one reader for every message body, so that the value order
// of each body is written down exactly once and both ends share it.
//
// Every message is one connection message (coms/frame.h) whose type is the
// M_* code and whose body is a sequence of MessageBase values; encoded
// objects always carry their object id. A request from a provider that
// reaches its asset through another provider (a masquerading asset) travels
// as code + 10000 with the asset id as a leading string (see beginRequest).
//
// Also here: the login exchange (codes 3, 5, 6 on a connection of type 333)
// and the enrolment exchange (codes 1, 2, 4, 30 on a connection of type 336),
// which are separate conversations on their own short-lived connections.
//
// Ownership: builders return a new Message (the caller sends or deletes it)
// and never take the objects they encode. Readers hand back new objects and
// strings that the caller owns (the Reply/Request structs free theirs in
// their destructors). Thread-safety: stateless; any thread.
#ifndef DRV_DIR_DIR_PROTOCOL_H
#define DRV_DIR_DIR_PROTOCOL_H

#include <stdint.h>

class Acl;
class Any;
class Attributes;
class ClassEnumeration;
class DirNameEntry;
class DirectoryEnumeration;
class DirectoryObject;
class Endpoint;
class ExecuteUpdate;
class FutureResult;
class Message;
class MessageBase;
class Principal;
class Translatable;

// Message codes and their names: X(code, NAME). 63 and 83 share a name.
#define DRV_DIR_MESSAGE_CODES(X)            \
    X(1, M_RESOLVE)                         \
    X(2, M_SEARCH)                          \
    X(3, M_SEARCH_REPLY)                    \
    X(4, M_RESOLVE_REPLY)                   \
    X(5, M_ERROR_REPLY)                     \
    X(6, M_EXECUTE)                         \
    X(7, M_EXECUTE_REPLY)                   \
    X(8, M_GET_ATTRIBUTES)                  \
    X(9, M_GET_ATTRIBUTES_REPLY)            \
    X(10, M_READ_REMOTE_FILE)               \
    X(11, M_READ_REMOTE_FILE_REPLY)         \
    X(12, M_READ_REMOTE_FILE_DATA)          \
    X(20, M_WRITE_REMOTE_FILE)              \
    X(21, M_WRITE_REMOTE_FILE_REPLY)        \
    X(22, M_WRITE_REMOTE_FILE_DATA)         \
    X(23, M_GET_ACL)                        \
    X(24, M_OPEN_LISTENER)                  \
    X(25, M_LISTENER_UPDATE)                \
    X(26, M_OPEN_LISTENER_REPLY)            \
    X(27, M_LIST)                           \
    X(28, M_LIST_REPLY)                     \
    X(29, M_EXEC_ERROR_REPLY)               \
    X(30, M_PROXY_REGISTER)                 \
    X(31, M_INITIATE_ALERT_SERVER_SYNC)     \
    X(32, M_INITIATE_ALERT_VIEWER_SYNC)     \
    X(33, M_MARK_START_ALERT_SYNC)          \
    X(34, M_MARK_END_ALERT_SYNC)            \
    X(35, M_ALERT_UPDATE)                   \
    X(36, M_ALERT_CLEAR)                    \
    X(37, M_DEVICE_LOGIN_OK)                \
    X(38, M_ALERT_UPDATE2)                  \
    X(40, M_DOMAIN_ATTRIBUTES)              \
    X(41, M_UPDATE_RULESETS)                \
    X(42, M_REMOVE_RULESET)                 \
    X(43, M_SEARCH_PARTIAL_REPLY)           \
    X(44, M_SEARCH_PARTIAL_REPLY_OK)        \
    X(45, M_EVENT_DISPATCH)                 \
    X(46, M_NOTIFY_UNMANAGED)               \
    X(47, M_EXECUTE_UPDATE)                 \
    X(48, M_STATS_UPLOAD)                   \
    X(49, M_EVENT_ACK)                      \
    X(50, M_CI_UPDATE)                      \
    X(51, M_CI_ACK)                         \
    X(52, M_SET_SECDATA)                    \
    X(53, M_SET_AGENT_ATTRIBUTES)           \
    X(54, M_EXECUTE_FAST)                   \
    X(60, M_GET_SECURITYOBJECT)             \
    X(61, M_GET_SECURITYOBJECT_REPLY)       \
    X(62, M_VERIFY_CERT)                    \
    X(63, M_VERIFY_CERT_REPLY)              \
    X(80, M_RESOLVE_ENDPOINT)               \
    X(81, M_SEARCH_ENDPOINT)                \
    X(82, M_SEARCH_NO_PARTIAL)              \
    X(100, M_OVERLAY_PAYLOAD)               \
    X(224, M_OPEN_LISTENER2)                \
    X(225, M_LISTENER_UPDATE2)              \
    X(226, M_GETUNIQUEIDS)                  \
    X(227, M_UNIQUEIDS)                     \
    X(300, M_MQ_SEND)

class DirProtocol {
public:
    enum Code {
#define DRV_DIR_CODE_ENUM(code, NAME) NAME = code,
        DRV_DIR_MESSAGE_CODES(DRV_DIR_CODE_ENUM)
#undef DRV_DIR_CODE_ENUM
        M_VERIFY_CERT_REPLY_ALT = 83,
    };

    // Requests of a masquerading provider carry code + kMasqOffset and the
    // asset id as their first value.
    static const int kMasqOffset = 10000;
    // The protocol version offered in M_DOMAIN_ATTRIBUTES ("2.1.3").
    static const int kVersion = 20103;
    // Ids asked for in one M_GETUNIQUEIDS.
    static const int kUniqueIdBatch = 20;
    // Connection types: the login exchange, enrolment, directory providers.
    static const int kLoginConnectionType = 333;
    static const int kDomainConnectionType = 336;
    static const int kProviderConnectionType = 448;
    // Listener update kinds.
    enum UpdateKind { KIND_ADD = 0, KIND_MODIFY = 1, KIND_DELETE = 2 };

    // The printable name of a code; any other code logs "Bad message id: %d"
    // and gives "BAD-MESSAGE-ID".
    static const char* name(int code);
    // Whether a received message of this code starts with an int64 id.
    static bool hasRequestId(int code);
    // Folds a dotted version text: each digit extends the current number,
    // each dot moves it into the result (x100); "2.1.3" gives 20103.
    static int foldVersion(const char* text);

    // ==== Requests (provider -> peer) =====================================
    // A message of code (code + kMasqOffset with the asset id first when
    // masqAsset is set).
    static Message* beginRequest(int code, const char* masqAsset);
    // The header of every request that expects an answer: int64 id, the
    // principal (object 7), the current object (object 1013).
    static int writeHeader(Message* m, long long id, const Principal* principal, const DirectoryObject* current);
    // 1 / 80: header, entry (1004) [, target endpoint (4001)]. 80 when target is set.
    static Message* resolveRequest(const char* masqAsset, long long id, const Principal* principal,
                                   const DirectoryObject* current, const DirNameEntry* entry, const Endpoint* target);
    // 2 / 81 / 82: header, entry, wanted-attribute list [, target]. 81 when
    // target is set; 82 when noPartial (masquerading providers).
    static Message* searchRequest(const char* masqAsset, long long id, const Principal* principal,
                                  const DirectoryObject* current, const DirNameEntry* entry, const char* filter,
                                  const Endpoint* target, bool noPartial);
    // 6 / 54: header, operation, int32 n, n values (1000). 54 for the
    // operations "eventGetStatus" and "eventRemove". args is null-terminated.
    static Message* executeRequest(const char* masqAsset, long long id, const Principal* principal,
                                   const DirectoryObject* current, const char* operation, Any** args);
    static bool isFastOperation(const char* operation);
    // 8, 23, 27, 20 (and any other header-only request).
    static Message* headerOnlyRequest(int code, const char* masqAsset, long long id, const Principal* principal,
                                      const DirectoryObject* current);
    // 10: header, the path string (the rest of this body is ours to fix).
    static Message* readRemoteFileRequest(const char* masqAsset, long long id, const Principal* principal,
                                          const DirectoryObject* current, const char* path);
    // 24 / 224: header with the listener id as request id, int32 listener
    // id, filter entry (1004). 224 when the peer's server version is >= 1.
    static Message* openListenerRequest(const char* masqAsset, int listenerId, const Principal* principal,
                                        const DirectoryObject* current, const DirNameEntry* filter, bool version2);
    // Requests without a header.
    static Message* initiateAlertViewerSync(const Principal* viewer);                       // 32
    static Message* initiateAlertServerSync(const char* domain, const char* assetId);       // 31
    static Message* domainAttributesRequest();                                              // 40, int32 20103
    // 41: domain, asset id, int32 n, n rule sets (2605).
    static Message* updateRuleSets(const char* domain, const char* assetId, int count, Translatable** ruleSets);
    static Message* notifyUnmanaged(const char* domain, const char* assetId);               // 46
    static Message* searchPartialOk(const char* masqAsset, long long searchId);             // 44
    static Message* getUniqueIds(int count);                                                // 226
    static Message* mqSend(long long a, long long b, const void* data, uint32_t length);    // 300
    static Message* eventAck(const char* a, const char* b, const char* c);                  // 49
    static Message* ciAck(const char* a, const char* b, const char* c);                     // 51
    // 61: id of the 60, int32 result, and when result is 0 the security object (99).
    static Message* securityObjectReply(long long id, int result, const Translatable* securityObject);
    // 63: id of the 62, int32 1 when the key is known, else 0.
    static Message* verifyCertReply(long long id, bool known);

    // ==== Replies and unsolicited messages (peer -> provider) =============
    static Message* resolveReply(long long id, const DirectoryObject* object);             // 4
    static Message* errorReply(long long id, int error);                                   // 5
    static Message* attributesReply(long long id, const Attributes* attributes);           // 9
    static Message* aclReply(long long id, const Acl* acl);                                // 23
    static Message* listReply(long long id, const ClassEnumeration* classes);              // 28
    // 3: id, bool any; per entry: entry (1004), attributes (1001), ACL
    // (1014), bool more; the whole enumeration in one message.
    static Message* searchReply(long long id, const DirectoryEnumeration* result);
    // 43: id, bool any, bool last; per entry: entry, attributes, ACL, bool
    // more, bool last. The part holds up to count entries from the first'th.
    static Message* searchPartialReply(long long id, const DirectoryEnumeration* result, int first, int count,
                                       bool last);
    static Message* executeReply(long long id, const FutureResult* result);               // 7
    static Message* execErrorReply(long long id, int error);                              // 29
    static Message* executeUpdate(long long id, const ExecuteUpdate* update);             // 47
    static Message* openListenerReply(int listenerId);                                    // 26
    // 25: id 0, int32 listener id, int32 kind, entry, attributes, ACL.
    static Message* listenerUpdate(int listenerId, int kind, const DirNameEntry* entry, const Attributes* attributes,
                                   const Acl* acl);
    // 225: id 0, listener id, kind, int32 n, n triples (acls may be null).
    static Message* listenerUpdate2(int listenerId, int kind, int count, DirNameEntry* const* entries,
                                    Attributes* const* attributes, Acl* const* acls);
    static Message* readRemoteFileReply(long long id, long long size);                    // 11
    // 12: id, the sender's total size (below 1: the end of the file), the bytes.
    static Message* readRemoteFileData(long long id, long long total, const void* data, uint32_t length);
    static Message* domainAttributes(const Attributes* attributes);                       // 40
    static Message* setAgentAttributes(const Attributes* attributes);                     // 53
    // 33 / 34 carry no payload; a frame cannot be empty, so they hold one
    // int32 0 that readers skip.
    static Message* markAlertSync(bool start);
    static Message* alertUpdate(const Translatable* alert);                               // 35
    // 38: per alert a command word (cmd) and the alert (4980).
    static Message* alertUpdate2(int count, Translatable* const* alerts);
    static Message* alertClear(const char* alertId);                                      // 36
    static Message* eventDispatch(const Translatable* event);                             // 45
    static Message* statsUpload(const char* a, const char* b, const Translatable* statsFile);  // 48
    static Message* ciUpdate(const Translatable* update);                                 // 50
    static Message* getSecurityObject(long long id, int kind, const char* a, const char* b);  // 60
    static Message* verifyCert(long long id, const char* pem);                            // 62
    // 227: int64 instance id, int32 n, n int64 ids, n strings.
    static Message* uniqueIds(long long instanceId, int count, const long long* ids, const char* const* miniGuids);

    // ==== Reading ==========================================================
    // A request as the serving side reads it: the masquerade prefix, the
    // header and the payload of its code. Every pointer is owned.
    struct Request {
        Request();
        ~Request();
        Request(const Request&) = delete;
        Request& operator=(const Request&) = delete;

        int code;            // without the masquerade offset
        char* masqAsset;     // set when the code arrived + 10000
        long long id;        // request id (search id for 44; listener id for 24/224)
        Principal* principal;
        DirectoryObject* current;
        DirNameEntry* entry;     // 1, 80, 2, 81, 82; the filter of 24/224
        Endpoint* target;        // 80, 81
        char* filter;            // 2, 81, 82
        char* operation;         // 6, 54
        Any** args;              // 6, 54: null-terminated
        int argCount;
        int listenerId;          // 24, 224
        char* path;              // 10
        int number;              // 40 version, 226 count
        char* strings[3];        // 31, 46: domain, asset id; 49, 51: three
        Translatable* object;    // 32 principal of the viewer
        int ruleSetCount;        // 41
        Translatable** ruleSets;
        long long mq[2];         // 300
        unsigned char* bytes;    // 300
        uint32_t byteCount;
        int result;              // 61, 63
    };
    // Reads any request of the table; 0, or the message's error code (or
    // -14 for a code that is not a request). The message is left after
    // what was read.
    static int readRequest(Message* m, Request* out);
    // The first step of readRequest on its own: the masquerade prefix.
    // *code receives the plain code, *masqAsset the asset id (or null).
    static int readMasq(Message* m, int* code, char** masqAsset);

    // A reply or unsolicited message as a provider reads it.
    struct Reply {
        Reply();
        ~Reply();
        Reply(const Reply&) = delete;
        Reply& operator=(const Reply&) = delete;

        int code;
        long long id;             // every code with an id (0 for 25, 225)
        int error;                // 5, 29 error; 61 result; 63 known
        Translatable* object;     // 4 object, 9/40/53 attributes, 23 acl,
                                  // 28 classes, 7 result, 47 update,
                                  // 35/45/50 record, 48 stats file, 61 security object
        DirectoryEnumeration* entries;  // 3, 43: the entries of this message
        bool any;                 // 3, 43
        bool last;                // 43 (3: true)
        int listenerId;           // 25, 225
        int kind;                 // 25, 225
        int count;                // 225 triples read; 38 alerts read; 227 ids
        int failedTriples;        // 225 triples that did not decode
        DirNameEntry** updateEntries;   // 25 (one), 225
        Attributes** updateAttributes;
        Acl** updateAcls;
        Translatable** alerts;    // 38
        long long size;           // 11 size, 12 total size, 227 instance id
        unsigned char* bytes;     // 12, 300, 62 (PEM text)
        uint32_t byteCount;
        char* strings[2];         // 36 alert id; 48 two strings; 60 two strings
        int number;               // 60 int32
        // 227: the first kUniqueIdBatch ids and their strings. Apart, so
        // that the many replies without them do not clear and free them.
        struct UniqueIds {
            UniqueIds() = default;
            ~UniqueIds();
            UniqueIds(const UniqueIds&) = delete;
            UniqueIds& operator=(const UniqueIds&) = delete;
            long long ids[kUniqueIdBatch] = {};
            char* miniGuids[kUniqueIdBatch] = {};
        };
        UniqueIds* uniqueIds;     // 227
        long long mq[2];          // 300
    };
    // Reads any message a provider receives. 0, or the error that stopped
    // the read (the fields read so far stay set). For 225 a triple that does
    // not decode is counted in failedTriples and skipped; for 38 reading
    // stops, successfully, at the first command that cannot be read.
    static int readReply(Message* m, Reply* out);
    // The same after the caller has read the id itself (out->code and
    // out->id set): the receive path looks at the id before the body.
    static int readReplyBody(Message* m, Reply* out);

    // ==== Login exchange (connection type 333) =============================
    enum LoginCode { LOGIN_SSH = 3, LOGIN_CREDENTIAL = 5, LOGIN_PASSWORD = 6 };
    // The compatible version sent with a credential login.
    static const int kCompatibleVersion = 1;
    // 5: user, new public key (PEM), the credential (object 99), int32 version.
    static Message* loginCredential(const char* user, const char* publicKeyPem, const Translatable* credential);
    // 6: user, password (two plain strings). The reply comes back on the
    // same connection as code 6 and is read the same way.
    static Message* loginPassword(const char* user, const char* secret);
    // 3: int32 1, user, a 32768-byte block, local host name, the host key line.
    static const uint32_t kSshBlockSize = 32768;
    static Message* loginSsh(const char* user, const unsigned char* block, const char* hostName,
                             const char* hostKeyLine);
    // The reply to any login request (sent with the request's code): int32
    // result; when 0 a byte block holding the session certificate (PEM).
    static Message* loginReply(int code, int result, const char* certificatePem);
    // A request as the login service reads it.
    struct LoginRequest {
        LoginRequest();
        ~LoginRequest();
        LoginRequest(const LoginRequest&) = delete;
        LoginRequest& operator=(const LoginRequest&) = delete;
        int code;
        char* user;
        char* secret;         // 6: the second string; 5: the public key PEM
        Translatable* credential;  // 5
        int version;          // 5
        unsigned char* block;  // 3
        uint32_t blockLength;
        char* hostName;       // 3
        char* hostKey;        // 3
    };
    static int readLoginRequest(Message* m, LoginRequest* out);

    // ==== Enrolment exchange (connection type 336) =========================
    enum DomainCode { DOMAIN_ADD = 1, DOMAIN_REMOVE = 2, DOMAIN_UPGRADE = 4, DOMAIN_IDENTIFY = 30 };
    // The reply code that pushes a new certificate before the real answer.
    static const int kDomainCertPush = 999;
    static Message* domainAdd(const char* login, const char* second);                 // 1
    static Message* domainRemove(const char* a, const char* b);                       // 2
    static Message* domainUpgrade(const char* oldPem, const char* newPem);            // 4
    // 30: int32 kind; strings domain, asset, four more, groups, agent id; the
    // agent's certificate (PEM) as a byte block.
    static Message* domainIdentify(int kind, const char* domain, const char* asset, const char* const more[4],
                                   const char* groups, const char* agentId, const char* certPem);
    // Reply: int32 result; 0: a string (the returned data); 999: a byte block
    // (a PEM certificate); anything else: a string (the failure text).
    static Message* domainReply(int code, int result, const char* text);
    static Message* domainCertPush(int code, const char* certPem);
    struct DomainRequest {
        DomainRequest();
        ~DomainRequest();
        DomainRequest(const DomainRequest&) = delete;
        DomainRequest& operator=(const DomainRequest&) = delete;
        int code;
        int kind;              // 30
        char* strings[8];      // 1, 2, 4: two; 30: domain, asset, four more, groups, agent id
        unsigned char* cert;   // 30
        uint32_t certLength;
    };
    static int readDomainRequest(Message* m, DomainRequest* out);
};

#endif
