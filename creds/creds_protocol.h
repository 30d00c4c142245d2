// The credential child protocol: the operation codes, the request each one
// writes to the child's standard input, and the answer the child writes back
// on its standard output. Words are 4-byte integers in the machine's own byte
// order: parent and child are the same program on the same machine. Texts
// travel as a length word and that many bytes, without a terminator.
//
// Both halves live here so that they cannot drift apart. The parent encodes
// requests and decodes answers; the decoder trusts nothing the child sends (a
// child may be killed half-way, or be the wrong program), so every length and
// count is bounded and a short or malformed answer is an error, never a crash.
// The child decodes requests and encodes answers.
//
// Thread-safety: plain functions over caller-owned values; a source or sink
// object is used by one thread at a time.
#ifndef DRV_CREDS_CREDS_PROTOCOL_H
#define DRV_CREDS_CREDS_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

// X(code, name): the operation codes, which are also the lock table's key.
#define DRV_CREDS_OPERATIONS(X) \
    X(1, CREDS_OP_LOGIN)        \
    X(2, CREDS_OP_USER_BY_ID)   \
    X(3, CREDS_OP_USER_BY_NAME) \
    X(4, CREDS_OP_GROUP_BY_ID)  \
    X(5, CREDS_OP_GROUP_BY_NAME) \
    X(6, CREDS_OP_ALL_GROUPS)   \
    X(7, CREDS_OP_ALL_USERS)    \
    X(8, CREDS_OP_HOST_BY_NAME)

enum CredsOperation {
#define DRV_CREDS_OP_ENUM(code, name) name = code,
    DRV_CREDS_OPERATIONS(DRV_CREDS_OP_ENUM)
#undef DRV_CREDS_OP_ENUM
};

// True for the codes above.
bool credsIsOperation(int operation);

// The answer's first word (for the enumerations, which have none, the
// decoder reports CREDS_STATUS_OK).
enum CredsStatus {
    CREDS_STATUS_OK = 0,
    CREDS_STATUS_NO_ENTRY = 1,
    CREDS_STATUS_LOGIN_REFUSED = 2,
    CREDS_STATUS_PAM_START_FAILED = 99,
};

// Bounds the decoders enforce. A name, home directory, password or service
// longer than kCredsMaxText is refused; a user record carries at most
// kCredsMaxGroups group ids (the child asks for no more); an enumeration
// holds at most kCredsMaxItems entries in at most kCredsMaxEnumerationBytes
// of answer (so that a lying child cannot make the parent hold the item
// count times the longest name).
const uint32_t kCredsMaxText = 4096;
const uint32_t kCredsMaxGroups = 100;
const size_t kCredsMaxItems = 1 << 20;
const size_t kCredsMaxEnumerationBytes = 32 << 20;

struct CredsRequest {
    int operation = 0;
    std::string name;      // user, group or host name (operations 1, 3, 5, 8)
    std::string password;  // operation 1 only
    std::string service;   // operation 1 only: the PAM service
    int32_t id = 0;        // operations 2 and 4
    bool accessOnly = false;  // operation 1 only: account check without authentication
};

struct CredsUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;  // empty in the all-users enumeration
    std::vector<gid_t> groups;
};

struct CredsGroup {
    gid_t gid = 0;
    std::string name;
};

// A decoded answer. Which fields mean something depends on the operation
// and the status: user for 1 to 3, group for 4 and 5, address (network
// order) for 8, groups or users for the enumerations 6 and 7.
struct CredsAnswer {
    int32_t status = CREDS_STATUS_OK;
    CredsUser user;
    CredsGroup group;
    uint32_t address = 0;
    std::vector<CredsGroup> groups;
    std::vector<CredsUser> users;
};

// Where decoders read from: exactly n bytes, or false.
class CredsSource {
public:
    virtual bool read(void* out, size_t n) = 0;

protected:
    ~CredsSource() = default;
};

// Reads a descriptor, going on after EINTR; false at end of file or on error.
// With writerEnd (a pidfd of the process that writes), also false once that
// process has ended and nothing more is in the descriptor: the end of a pipe
// alone is not enough when the writer's own children (a helper a
// name-service or PAM module forked) hold its end open for any time.
class CredsFdSource final : public CredsSource {
public:
    explicit CredsFdSource(int fd, int writerEnd = -1) : _fd(fd), _writerEnd(writerEnd) {}
    bool read(void* out, size_t n) override;

private:
    // Whether a read will not wait: data is there or the descriptor has
    // ended; false when the writer has ended with nothing more to read.
    bool readable();

    int _fd;
    int _writerEnd;
};

// Reads a caller's buffer.
class CredsMemorySource final : public CredsSource {
public:
    CredsMemorySource(const void* data, size_t length)
        : _data(static_cast<const unsigned char*>(data)), _left(length) {}
    bool read(void* out, size_t n) override;
    size_t left() const { return _left; }

private:
    const unsigned char* _data;
    size_t _left;
};

// Writes all of buffer to fd (EINTR retried); false when the reader has gone
// or the write fails. A reader that has gone raises no SIGPIPE.
bool credsWriteAll(int fd, const void* buffer, size_t length);

// ---- Parent side ----

// Appends the request's bytes to out. False for an unknown operation or a
// text longer than kCredsMaxText (nothing is appended then).
bool encodeCredsRequest(const CredsRequest& request, std::string& out);

// Reads the answer to an operation. 0 on success; otherwise the number of
// the step that failed (for the log), with answer partly filled:
//   1 the status word, 2 a user record's fixed words, 3 a name or home
//   directory, 4 the group ids, 5 a group's fields, 6 an enumeration's item
//   marker, 7 an item's fields, 8 the host address, 9 an unknown operation
//   or a status the operation cannot give, 10 a bound exceeded.
int decodeCredsAnswer(int operation, CredsSource& in, CredsAnswer& answer);

// ---- Child side ----

// Reads a request; false on a short read or a text beyond kCredsMaxText.
bool readCredsRequest(CredsSource& in, CredsRequest& request);

// Answer builders, each appending to out.
void encodeCredsStatus(int32_t status, std::string& out);
// Status 0 and the record; the group list is sent as given (the child caps it).
void encodeCredsUserRecord(const CredsUser& user, std::string& out);
// Status 0, the group id and the name.
void encodeCredsGroupAnswer(const CredsGroup& group, std::string& out);
// One item of an enumeration, and the end byte.
void encodeCredsGroupItem(const CredsGroup& group, std::string& out);
void encodeCredsUserItem(const CredsUser& user, std::string& out);
void encodeCredsEnd(std::string& out);
// Status 0 and the address (network order), or status 1 alone.
void encodeCredsHostAnswer(bool found, uint32_t address, std::string& out);

// The whole answer for a decoded value, as a well-behaved child would send
// it: used by the tests and the fuzz target to check the decoder against
// the encoders.
void encodeCredsAnswer(int operation, const CredsAnswer& answer, std::string& out);

#endif
