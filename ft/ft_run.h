// FtRun: the state of one Ft run over one session, shared by the files of
// the engine (ft_copy.cpp: the session and transaction loop; ft_walk.cpp:
// walking and per-entry decisions; ft_send.cpp: whole files and partial
// updates; ft_index.cpp: the destination's index, the local index file,
// removals and validation). Internal to the ft library.
//
// Thread-safety: used only by the thread that runs Ft::copyTo.
#ifndef DRV_FT_FT_RUN_H
#define DRV_FT_FT_RUN_H

#include <sys/stat.h>
#include <zlib.h>

#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ft/ft.h"
#include "ft/ft_entry.h"

class FtRun {
public:
    FtRun(Ft* ft, FtSession* session, const char* hostName);
    ~FtRun();
    FtRun(const FtRun&) = delete;
    FtRun& operator=(const FtRun&) = delete;
    // A deflate stream at the level, reset for a new file (kept between
    // files: setting one up costs more than a small file's data). Null when
    // zlib cannot set one up.
    z_stream* deflater(int level);

    // One transaction, in the order the protocol fixes. 0 or -1 (the
    // session error is set).
    int runTransaction(FtTransaction* t);
    // After the session, for a transaction that moves: removes the source
    // files it sent, then its source folders left empty, deepest first (the
    // top one stays when FT_RECV_START2 sent the folder itself). False when
    // a file could not be removed (reported).
    bool removeMovedSources(FtTransaction* t);
    // Whether the transaction removes what it sent from the source.
    static bool moves(const FtTransaction* t) { return t->move && !t->modifiedOnly; }

    // ---- ft_walk.cpp
    // Walks the source and sends the file list (without its end).
    int sendEntries();
    int walkDirectory(const std::string& local, const std::string& rel, int depth);
    int visit(const std::string& local, const std::string& rel, const struct stat64& st);
    int visitLink(const std::string& local, const std::string& rel, const struct stat64& st);
    int visitFile(const std::string& local, const std::string& rel, const struct stat64& st, bool fromLink);
    void fillHeader(FtEntryHeader* h, const std::string& rel, const struct stat64& st);

    // ---- ft_send.cpp
    // The body of a regular file: whole, or a partial update against the
    // index entry (null: whole). inIndex: the destination's index lists the
    // file (a partial update implies it), which the entry's code tells the
    // peer. 0 sent, 1 skipped or failed (reported).
    int sendFile(const std::string& local, const std::string& rel, const struct stat64& st, const _IndexEntry* known,
                 bool inIndex = false);
    // DATA: deflated blocks, empty block, status. Returns the status sent.
    int sendData(SfsFile* file, long long size, int level, const std::string& local, long long* bytesRead);
    // The same at level 0: stored blocks, written without zlib.
    int sendStored(SfsFile* file, long long size, const std::string& local, long long* bytesRead);
    // How reading a file's body ended.
    struct ReadOutcome {
        long long total = 0;
        bool grew = false, canceled = false, readError = false;
    };
    // Reads the body in chunks of at most `chunk` bytes into _inBuf and hands
    // each to take (false from take is a read error). Stops at the end, on
    // cancel or failure, or once one byte past `size` shows the file grew.
    ReadOutcome readBody(SfsFile* file, long long size, size_t chunk,
                         const std::function<bool(const unsigned char*, int)>& take);
    // After a file's data: the empty block, the status, and the problem
    // reported. Returns the status.
    int endData(const ReadOutcome& read, long long size, const std::string& local, long long* bytesRead);
    // FT_SYNC_WRITE of `length` bytes at `offset` from buf.
    void sendLiteral(long long offset, const unsigned char* buf, long long length, int level);
    // The destination's copy is newer by more than a second, or longer than
    // ours: it is sent whole (logged here).
    bool grossChange(const struct stat64& st, const _IndexEntry& known);
    // The wait for the destination's answer to a partial update ended
    // without one. After a cancel the session still stands, so the exchange
    // is closed and the destination keeps its copy. Returns the status.
    int syncUnanswered(const std::string& local);
    // Report line and session error for a file a cancel left behind.
    void notCopiedForCancel(const std::string& local);
    int syncAppend(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known, int level,
                   long long* bytesRead);
    // ---- ft_send_rolling.cpp
    int syncRolling(SfsFile* file, const std::string& local, const struct stat64& st, const _IndexEntry& known,
                    int level, long long* bytesRead);

    // ---- ft_index.cpp
    int prepareIndex();
    bool readLocalIndex(const std::string& path);
    // Takes the entries (emptied) as the index, one per name.
    void adoptIndex(std::vector<_IndexEntry>* entries);
    // The seen entries as the local index file holds them; written at once
    // after a transaction the peer confirmed, or held until the session
    // ended without error where nothing confirms one.
    void keepLocalIndex();
    // The held index files, once the session ended without error.
    void writeHeldIndexes();
    int writeLocalIndex(const std::string& path, const std::string& bytes);
    std::string localIndexPath() const;
    // The transaction keeps an index file between runs (modified files only,
    // with an index name).
    bool keepsLocalIndex() const { return _t->modifiedOnly && _t->indexName != nullptr; }
    _IndexEntry* findIndex(const std::string& name);
    void markSeen(const std::string& name, const struct stat64* st, int type, const char* digest);
    // The MD5 of the first size bytes of local as 32 hex digits; empty when
    // it cannot be read.
    std::string localDigest(const std::string& local, long long size);
    // Marks rel and every index entry below it seen ("" marks them all):
    // for a part of the source that exists but could not be walked.
    void keepSubtree(const std::string& rel);
    int validate();
    int removeMissing();

    // FT_KEEP_FALLBACKS when the Ft keeps fallbacks, then FT_RECV_START or
    // FT_RECV_START2 for the current transaction.
    void startFileList();

    // Commands outside the file list.
    void command(int32_t code) { ftWriteCommand(_out, _s->protocol(), code); }
    // The session failed: an error, or a stream that no longer takes bytes.
    bool failed() {
        if (_out->getError() != 0 && !_s->hasError()) _s->setError("Unable to write to the stream");
        return _s->hasError();
    }
    // A per-file problem: report line, listener, and the session error
    // when sessionError.
    void fileProblem(bool sessionError, const char* errorFmt, const std::string& name, const char* reportFmt, ...);

    Ft* _ft;
    FtSession* _s;
    MessageBase* _out;
    Sfs* _sfs;
    std::string _host;
    FtTransaction* _t = nullptr;
    std::string _srcRoot;   // real path of the source
    std::string _srcBase;   // its base name
    std::string _destRoot;  // where names are relative to on the destination
    bool _srcIsDir = false;
    std::vector<std::pair<std::string, std::string>> _heldIndexes;  // path, bytes
    dev_t _srcDev = 0;
    // Index checksums for this transaction: its field, or forced on for
    // every transaction by the environment variable INDEX_MD5. Both the
    // index request and the comparison go by it.
    bool _indexMd5 = false;
    bool _haveIndex = false;
    bool _indexFromFile = false;
    std::vector<_IndexEntry> _index;
    std::unordered_map<std::string, size_t> _byName;
    // The positions in _index of the entries taken from the destination,
    // in name order (keepSubtree finds a folder's entries by it).
    std::vector<size_t> _sortedIndex;
    // A source file a moving transaction sent, as it was when the
    // destination got it: one that is no longer that file (written to or
    // replaced since) holds what the destination lacks, and stays.
    struct SentFile {
        std::string path;
        dev_t dev = 0;
        ino_t ino = 0;
        long long size = 0;
        long long mtimeMs = 0;
    };
    // What each moving transaction sent from its source: the files, and
    // the folders walked (the top one too when it is to go).
    struct SentSource {
        // Set once the peer echoed the transaction's FT_TRANSACTION_SYNC:
        // only then did it take everything listed here.
        bool confirmed = false;
        std::vector<SentFile> files;
        // Where each path sits in files.
        std::unordered_map<std::string, size_t> fileAt;
        std::vector<std::string> dirs;
    };
    // Notes (or, for a file sent again, renews) a moving transaction's
    // sent file as st describes it.
    void noteSent(const std::string& local, const struct stat64& st);
    std::map<const FtTransaction*, SentSource> _sent;
    std::unordered_map<unsigned, std::string> _userNames;
    std::unordered_map<unsigned, std::string> _groupNames;
    long long _now = 0;
    z_stream* _deflaters[10] = {};
    // Read and deflate buffers, shared by every file of the run.
    std::vector<unsigned char> _inBuf;
    std::vector<unsigned char> _zBuf;
};


#endif
