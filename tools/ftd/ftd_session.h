// One conversation of the receiving service with a file transfer peer, on
// its own thread: the opening (protocol 1 or 2), then commands until the
// peer quits or the stream ends. It answers index requests from the
// service's index, receives transactions' file lists into the root (whole
// files, append checks and block exchanges), removes, checksums, and serves
// single-file reads (FT_GET_FILE) and writes (FT_WRITE_FILE).
//
// Anything the peer asks for outside the root, or that does not parse, is
// refused with FT_ERROR and a logged reason; a broken stream ends the
// session and leaves every file as it was (data goes to temporary files and
// only complete files are renamed into place).
//
// Thread-safety: a session belongs to its thread; it shares the service's
// tree (immutable), index (locked) and counters (atomic).
#ifndef DRV_TOOLS_FTD_FTD_SESSION_H
#define DRV_TOOLS_FTD_FTD_SESSION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/ftd/ftd_fallback.h"
#include "tools/ftd/ftd_tree.h"

class FtdServer;
class FtdFileWriter;
class Message;
class MessageBase;
struct FtEntryHeader;

class FtdSession {
public:
    // The messages are the caller's: the incoming and outgoing stream of a
    // connection that has completed its handshake (or any message to read
    // from and one to write to).
    FtdSession(FtdServer* server, MessageBase* in, MessageBase* out, const char* peer);
    ~FtdSession();
    FtdSession(const FtdSession&) = delete;
    FtdSession& operator=(const FtdSession&) = delete;

    // Runs the conversation to its end.
    void run();

    // Lines about the peer's requests (refusals, cancels, bandwidth) that a
    // session logs; the rest are counted in one line at its end, so that a
    // peer repeating a cheap request cannot fill the log.
    static const int kPeerLines = 100;

private:
    struct PendingDir {
        std::string rel;
        int mode;
        long long mtimeMs;
    };

    int opening();
    // One command outside a file list; *done ends the session.
    int command(int32_t code, bool* done);
    int indexRequest(bool checksums);
    int receiveList(bool second);
    // One entry of a file list.
    int entry(int32_t code);
    int fileBody(const FtEntryHeader& h, const std::string& rel, bool refused);
    int syncBody(const FtEntryHeader& h, const std::string& rel, bool refused);
    // DATA: deflated blocks, an empty block, a status. Inflates into w, at
    // most limit bytes (w null: read and dropped). *status receives the
    // sender's status. 0, or the stream's error.
    int data(FtdFileWriter* w, long long limit, int32_t* status);
    int finishFile(FtdFileWriter* w, const FtEntryHeader& h, const std::string& rel);
    // Whether a file of the declared size fits in the free space (asked
    // again only when it could use a good part of what was free, or after a
    // while); refuses the entry when it does not.
    bool roomFor(const FtEntryHeader& h);
    int makeLink(const FtEntryHeader& h, const std::string& rel, bool refused);
    int makeDir(const FtEntryHeader& h, const std::string& rel);
    // Sets the attributes of the folders the sender has left: those not
    // holding rel (all of them for null). The sender sends a folder before
    // its contents, so the folders pending are the path to the entry at
    // hand, however many folders the list holds.
    void leaveFolders(const std::string* rel);
    int removeRequest();
    int checksumRequest();
    int getFile();
    int writeFile();
    int quit();

    // Whether a line about something the peer asked for may be logged: the
    // first kPeerLines of them are, the rest counted for one line at the
    // end.
    bool peerLine();
    // Refuses something the peer asked for: logs the reason and answers
    // FT_ERROR. Returns 0 so that the session goes on.
    int refuse(const std::string& name, const std::string& reason, int err = 0);
    void sendError(const std::string& name, const std::string& what, const std::string& reason, int err);
    void progress(const std::string& name, long long size, bool force);
    // Checks a peer path; false after refusing it.
    bool confine(const std::string& peerPath, std::string* rel);
    bool readText(std::string* out);
    // Sends the gathered replies; 0 or the wire's error.
    int flush();
    void logTransactionEnd();

    FtdServer* _server;
    MessageBase* _in;
    // Replies are gathered here and go to the wire in one write each time
    // the session is about to wait for the peer: small values written one by
    // one would each become a record of their own on the connection.
    Message* _out;
    MessageBase* _wire;
    std::string _peer;
    std::string _user;
    int _protocol = 0;
    // The transaction being received and its tallies.
    std::string _dest;
    // Where the entries of the transaction land (the destination, or the
    // destination and the source's base name), relative to the root; unset
    // when the destination was refused, and every entry is then refused.
    std::string _base;
    bool _baseOk = false;
    int _transactions = 0;
    long long _files = 0;
    long long _bytes = 0;
    long long _unchanged = 0;
    long long _removed = 0;
    long long _refused = 0;
    long long _sessionBytes = 0;
    long long _peerLines = 0;
    long long _lastProgressMs = 0;
    // The folders of the transaction whose attributes wait for their
    // contents, each holding the next.
    std::vector<PendingDir> _dirs;
    // The folder of the last file placed (see FtdDirCache for when it is
    // cleared).
    FtdDirCache _dirCache;
    // The root's free space at the last look (less what was received
    // since), -1 before the first.
    long long _freeSpace = -1;
    long long _freeSpaceAtMs = 0;
    // Fallbacks asked for the next transaction, and those of the current
    // one (its file list and the removals after it).
    FtdFallbackPolicy _fallbackNext;
    FtdFallbackPolicy _fallback;
};

#endif
