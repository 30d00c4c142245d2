// The records inside a transaction's file list and inside index lists, with
// their writers and readers, shared by the sender and the receiving service.
//
// File list (every code a plain int32):
//   FT_RECV_PART2 (3):       name, mode, size, ENTRY-REST
//   FT_RECV_PART2_KNOWN (22): size, name, mode, ENTRY-REST   (a file the index knows)
//   FT_RECV_PART3 (34):      int32 1                        (an unchanged file)
//   FT_END_OF_FILES (4)
// where name is the path relative to the transaction's destination ("/"
// separated, never empty, no "." or ".." components), mode the permission
// bits (int32), size int64, and
//   ENTRY-REST := owner (string), group (string), modification time (int64,
//                 ms since the epoch), type (int32: 1 directory, 2 regular
//                 file, 5 symbolic link), body form (int32), then by form:
//     0 NONE   nothing; for a link follows one pair (bool keep, string
//              target as it should be written into the link)
//     1 WHOLE  DATA
//     2 SYNC   a sync exchange (ft/ft_sync.h), ending in
//              FT_SYNC_END (0), bool wholeFollows, then DATA if true, else
//              int32 status
//   DATA := byte blocks of one zlib (deflate) stream, an empty byte block,
//           int32 status
//   status 0: install what arrived; anything else: discard it (the sender
//   failed to read the file whole: it grew, could not be read, or the
//   transfer was cancelled) and keep the previous file.
//
// Index lists (after FT_INDEX_MARK / FT_INDEX_MARK_MD5, and in local index
// files): records, ended by int32 FT_END_OF_LIST (99):
//   type (int32), then
//     1 directory, 2 file, 4 other: name, size (int64), mtime (int64 ms),
//       and for type 2 with checksums the digest (string, 32 hex digits)
//     5 link: name, size, mtime, target (string)
//     3 error: name, reason (string)
//
// Thread-safety: plain functions over one message, which belongs to the
// calling thread.
#ifndef DRV_FT_FT_ENTRY_H
#define DRV_FT_FT_ENTRY_H

#include <stdint.h>

#include <string>

class MessageBase;

enum FtEntryType : int32_t {
    FT_TYPE_DIRECTORY = 1,
    FT_TYPE_FILE = 2,
    FT_TYPE_ERROR = 3,
    FT_TYPE_OTHER = 4,
    FT_TYPE_LINK = 5,
};

enum FtBodyForm : int32_t {
    FT_BODY_NONE = 0,
    FT_BODY_WHOLE = 1,
    FT_BODY_SYNC = 2,
};

// Status after a file's data.
const int32_t FT_DATA_OK = 0;
const int32_t FT_DATA_DISCARD = 1;

struct FtEntryHeader {
    int32_t code = 3;  // FT_RECV_PART2 or FT_RECV_PART2_KNOWN
    std::string name;
    int32_t mode = 0;
    int64_t size = 0;
    std::string owner;
    std::string group;
    int64_t mtimeMs = 0;
    int32_t type = FT_TYPE_FILE;
    int32_t body = FT_BODY_NONE;

    // Writes the code and the header through the body form.
    int write(MessageBase* out) const;
    // Reads the header after its code (already read, given here). 0, or the
    // message's error (or -1 for a value out of range: an unknown type or
    // form, a negative size).
    int readAfterCode(MessageBase* in, int32_t code);
};

struct FtIndexRecord {
    int32_t type = FT_TYPE_FILE;
    std::string name;
    int64_t size = 0;
    int64_t mtimeMs = 0;
    std::string digest;  // type 2 with checksums
    std::string target;  // type 5
    std::string reason;  // type 3

    int write(MessageBase* out, bool withDigest) const;
    // Reads one record; *end is set (and nothing else) at FT_END_OF_LIST.
    // 0, the message's error, or -1 for an unknown type.
    int read(MessageBase* in, bool withDigest, bool* end);

    // The sender's local index file holds the types as the sender keeps
    // them: there is no error record, 3 is an entry that is neither a
    // folder, a file nor a link (4 on the wire), and every record has its
    // size and time. Digests are always there for files.
    int writeStored(MessageBase* out) const;
    // As read, but for that layout; type 4 is refused (-1).
    int readStored(MessageBase* in, bool* end);

private:
    int writeAs(MessageBase* out, bool withDigest, bool error) const;
    int readAs(MessageBase* in, bool withDigest, bool wire, bool* end);
};

#endif
