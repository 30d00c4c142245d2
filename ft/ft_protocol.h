// The file transfer protocol's command codes, written once as an X-macro
// table, and the helpers both ends use to put commands and values on a
// stream message.
//
// Everything on the stream is a sequence of typed values of the object
// encoding (dirbase/message.h). A command is a 32-bit code. The sender
// writes commands outside a file list with writeCmd (tag 16) under protocol
// 2 and as plain int32 (tag 2) under protocol 1; inside a file list every
// code (entries, their sync exchange, the end of the list) is a plain int32.
// Replies from the receiver are always plain int32 codes followed by their
// payload. A receiver should accept either form for a command
// (ftReadCommand does).
//
// The same number can mean different things inside a transaction's file
// list and outside it (3 is a file entry inside, FT_QUIT outside), so the
// table holds one row per meaning and the receiver picks by the state of
// the exchange.
//
// Payloads of the rows marked "ours" are this system's own design; the
// layouts of file entries, index records and the block exchange are
// written out in ft/ft_entry.h.
#ifndef DRV_FT_FT_PROTOCOL_H
#define DRV_FT_FT_PROTOCOL_H

#include <stdint.h>

class MessageBase;

// X(name, code, direction) - direction S sender, R receiver, SR both.
#define DRV_FT_COMMANDS(X)                                                                            \
    X(FT_SYNC_END, 0, S)              /* ends a sync exchange */                                      \
    X(FT_RECV_START, 1, S)            /* dest, recursive, source base name, option text */             \
    X(FT_INSTALL_FILE, 2, S)          /* none */                                                      \
    X(FT_RECV_PART2, 3, S)            /* file list: a file entry */                                   \
    X(FT_QUIT, 3, S)                  /* outside a file list: end of the session */                   \
    X(FT_END_OF_FILES, 4, S)          /* file list: its end */                                        \
    X(FT_MARK_COMPLETE, 5, S)         /* none; answered by FT_ACK_COMPLETE */                         \
    X(FT_ACK_COMPLETE, 6, R)          /* int64 byte count */                                          \
    X(FT_ERROR, 7, R)                 /* 4 strings (4th the reason), int32 errno, string */           \
    X(FT_UPDATE, 8, R)                /* 3 strings, 3 int64 */                                        \
    X(FT_GET_FILE, 9, S)              /* remote path */                                               \
    X(FT_WRITE_FILE, 10, S)           /* remote path, int32 mode */                                   \
    X(FT_INDEX_START, 20, S)          /* dest path */                                                 \
    X(FT_INDEX_MARK, 21, R)           /* index records follow */                                      \
    X(FT_RECV_PART2_KNOWN, 22, S)     /* file list: entry of a file known from the index */           \
    X(FT_REMOVE, 23, S)               /* "%s/%s" dest path, relative name */                          \
    X(FT_RECV_START2, 24, S)          /* as FT_RECV_START, for a directory source */                  \
    X(FT_CREATE_DEST, 25, S)          /* dest path */                                                 \
    X(FT_INSTALL_IN_PLACE, 26, S)     /* none */                                                      \
    X(FT_SET_BANDWIDTH, 27, S)        /* double kbit/s */                                             \
    X(FT_KEEP_FALLBACKS, 28, S)       /* 2 strings, 2 int32 */                                        \
    X(FT_CANCEL, 29, S)               /* none */                                                      \
    X(FT_OUTPUT, 30, R)               /* text for the report */                                       \
    X(FT_NO_KEEP_BACKUPS, 31, S)      /* none, protocol 2 */                                          \
    X(FT_RECV_PART3, 34, S)           /* file list: int32; an unchanged file */                       \
    X(FT_QUIT_ACK, 55, SR)            /* none */                                                      \
    X(FT_TRANSACTION_SYNC, 58, SR)    /* none; echoed */                                              \
    X(FT_KEEP_BACKUPS, 61, S)         /* none, protocol 2 */                                          \
    X(FT_END_OF_LIST, 99, SR)         /* ends index lists and index files */                          \
    X(FT_INDEX_START_MD5, 101, S)     /* dest path; index with checksums */                           \
    X(FT_INDEX_MARK_MD5, 102, R)      /* index records with digests follow */                         \
    X(FT_CHECKSUM_REQUEST, 110, S)    /* (name, local path)... "" */                                  \
    X(FT_CHECKSUM_LIST, 111, R)       /* (name, digest)... "" */                                      \
    X(FT_FAIL, 666, R)                /* reason */                                                    \
    X(FT_SYNC_WRITE, 1000, S)         /* int64 offset, int64 length, deflated blocks, empty block */  \
    X(FT_SYNC_FIND_MD5, 1001, S)      /* int64 offset, int32 length */                                \
    X(FT_SYNC_FIND_MD5_REPLY, 1002, R) /* int32 status, string digest */                              \
    X(FT_SYNC_ROLLING_START, 1003, S) /* int64 0, int64 -1, int32 block size, int32 seed */           \
    X(FT_SYNC_SIGNATURES, 1004, R)    /* ours: int64 size, int32 count (-1), int32 L, blocks of (weak, L bytes of MD5) */ \
    X(FT_SYNC_COPY_BLOCKS, 1005, S)   /* ours: int32 first block, int32 block count */                \
    X(FT_SYNC_NEW_DIGEST, 1006, S)    /* ours: SHA-1 (20 bytes) of the whole new file */

enum FtCommand : int32_t {
#define DRV_FT_COMMAND_ENUM(name, code, dir) name = (code),
    DRV_FT_COMMANDS(DRV_FT_COMMAND_ENUM)
#undef DRV_FT_COMMAND_ENUM
};

// The name of a code as the sender sees it outside a file list (3 is
// "FT_QUIT"); inFileList picks the file-list meanings (3 is "FT_RECV_PART2",
// 0 "FT_SYNC_END"). "unknown" for a number not in the table.
const char* ftCommandName(int32_t code, bool inFileList);

// Protocol versions.
const int FT_PROTOCOL_1 = 1;
const int FT_PROTOCOL_2 = 2;

// The connect value of a file transfer stream connection.
const int FT_CONNECT_VALUE = 100;

// The default port of the receiving service.
#define FT_DEFAULT_PORT "14001"

// Writes a command outside a file list: tag 16 under protocol 2, a plain
// int32 under protocol 1. The message's sticky code (0 when written).
int ftWriteCommand(MessageBase* out, int protocol, int32_t code);
// A plain int32 code (file-list codes, replies, protocol 1).
int ftWritePlain(MessageBase* out, int32_t code);
// Reads a command written either way (tag 16 or tag 2). 0, or the sticky
// error (the message's error is left set).
int ftReadCommand(MessageBase* in, int32_t* code);
// Reads a reply code: a plain int32.
int ftReadReply(MessageBase* in, int32_t* code);

#endif
