// One file transfer session on the initiating side: the messages it writes
// and reads, the negotiated protocol, the state the read thread hands to the
// sender, and the listener and report output it informs.
//
// Threads: the sender (the caller of Ft::copyTo) is the only writer of the
// outgoing message, except for the FT_QUIT_ACK answer, which the read
// thread writes only after the sender has sent FT_QUIT and stopped writing.
// FtSessionReadThread runs runReadThread(), the only reader of the incoming
// message. They meet under two condition blocks: _cond for the flags below
// and the error, _syncCond for the replies of a partial update. Every wait
// is a bounded wait that re-checks its flag, and every wait also ends on an
// error or when the read thread has stopped (those on _cond also on the
// caller's cancel).
//
// Ownership: the session owns its buffered writer and the index it reads;
// it refers to (does not own) the two messages, the listener, the report
// stream and the transaction being served.
#ifndef DRV_FT_FT_SESSION_H
#define DRV_FT_FT_SESSION_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/daemon_thread.h"
#include "common/os.h"
#include "common/sem.h"
#include "common/thread_annotations.h"
#include "dirbase/message.h"
#include "ft/ft_sync.h"

class FtTransaction;
class StreamMessage;
class StreamConnection;

// What the sender reports. Every operation has an empty default.
class FtListener {
public:
    virtual ~FtListener() {}
    // Progress: from the peer (FT_UPDATE: its three strings and counts) or
    // from the sender per file (name, local path, what happened, size,
    // bytes transmitted so far, files sent so far).
    virtual void progress(const char* /*a*/, const char* /*b*/, const char* /*c*/, long long /*n1*/,
                          long long /*n2*/, long long /*n3*/, FtTransaction* /*t*/) {}
    virtual void transactionComplete(FtTransaction* /*t*/) {}
    virtual void failed(const char* /*text*/) {}
};

// One destination entry as the index reports it.
struct _IndexEntry {
    long long hash = 0;
    std::string name;
    long long size = 0;
    long long mtimeMs = 0;
    int type = 0;  // 1 directory, 2 file, 3 other, 5 link
    bool seen = false;
    std::string digest;
    std::string target;
};


// Collects bytes and hands them to the real outgoing message in large
// pieces, so that many small values do not become many small writes.
class FtBufferedOut : public MessageBase {
public:
    static const size_t kFlushAt = 65536;
    explicit FtBufferedOut(MessageBase* sink) : MessageBase(MODE_WRITE), _sink(sink) {}
    int appendBytes(const void* data, size_t n) override;
    // Hands everything collected to the sink; the sticky error.
    int flush();
    MessageBase* sink() { return _sink; }
    // Bytes handed on so far.
    long long bytesWritten() const { return _written; }
    // Bytes taken so far: those handed on and those still collected.
    long long bytesQueued() const { return _written + static_cast<long long>(_pending.size()); }

private:
    MessageBase* _sink;
    std::vector<unsigned char> _pending;
    long long _written = 0;
};

class FtSession {
public:
    // out and in stay the caller's; stream (may be null) is the outgoing
    // stream message, for the flow limit.
    FtSession(MessageBase* out, MessageBase* in, int protocol, FtListener* listener, FILE* report);
    ~FtSession();
    FtSession(const FtSession&) = delete;
    FtSession& operator=(const FtSession&) = delete;

    int protocol() const { return _protocol; }
    // The buffered outgoing message the sender writes to.
    MessageBase* out() { return &_out; }
    long long bytesWritten() const { return _out.bytesWritten(); }
    // What the sender has written, flushed or not: a file's share of the
    // session, whatever of it still waits in the buffer.
    long long bytesQueued() const { return _out.bytesQueued(); }
    int flush() { return _out.flush(); }
    void setStream(StreamMessage* stream) { _stream = stream; }
    // The connection under the messages, so that a read thread stuck on a
    // silent peer can be woken (may stay null).
    void setConnection(StreamConnection* connection) { _connection = connection; }
    // The caller's cancel flag (may stay null): the waits for the index,
    // acknowledgements, transaction syncs and checksums also end once it
    // is set, so that a peer that stopped answering but keeps the
    // connection open cannot hold a cancelled transfer.
    void setCancelFlag(const std::atomic<bool>* flag) { _cancel = flag; }
    bool canceled() const { return _cancel != nullptr && _cancel->load(); }
    // Waits up to ms for the read thread to stop; wakes it by shutting the
    // connection down when it has not. True when it stopped by itself.
    bool awaitReaderEnd(int ms);
    // kbit/s, 0 for none (only with a stream).
    void setFlowLimit(double kbps);
    FtListener* listener() { return _listener; }
    FILE* report() { return _report; }
    // Writes to the report output, if any.
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Starts FtSessionReadThread; joinReadThread waits for it to end.
    void startReadThread();
    void joinReadThread();
    // The read loop (also callable on the current thread, as the fuzz
    // target does).
    void runReadThread();

    // The error (first one wins).
    void setError(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool hasError();
    std::string errorText();
    // The longest error text kept (a peer's reason is cut to it).
    static const size_t kMaxErrorText = 4095;
    // The peer's second text of the FT_ERROR that set the error, and the
    // two names it said failed (empty when the error came otherwise).
    std::string errorDetail();
    std::pair<std::string, std::string> failedNames();

    // Before FT_INDEX_START: forget the previous index.
    void resetIndex();
    // Waits (1 s steps) for the index; true when it arrived complete.
    bool waitIndex();
    // Hands the index read over to the sender (after waitIndex returned
    // true), leaving none behind. Under the lock: a peer may send another,
    // unasked, at any time.
    void takeIndex(std::vector<_IndexEntry>* into);
    // Before FT_MARK_COMPLETE / FT_TRANSACTION_SYNC. The waits give true
    // when the answer arrived; a wait that ends without it (the read thread
    // stopped, or the peer quit) sets the session error.
    void resetAck();
    bool waitAck();
    void resetSync();
    bool waitTransactionSync();
    // Before a checksum request: from now on the first checksum list that
    // arrives is its answer; any other list is dropped unread by the
    // sender, so a peer cannot change digests while the sender uses them.
    void expectChecksums();
    // Waits for that answer and hands it over (name -> digest); no list is
    // taken after it until the next expectChecksums. False on an error, a
    // quit or the end of the read thread.
    bool waitChecksums(std::map<std::string, std::string>* digests);
    // The transaction being served (FT_UPDATE goes to it).
    void setTransaction(FtTransaction* t);

    // Partial updates. resetSyncReply before sending the request; the
    // waits use ms-long steps, logging after each time-out, and return
    // false on an error, a quit, the end of the read thread or a cancel.
    void resetSyncReply();
    bool waitFindMd5Reply(int* status, std::string* digest, int stepMs = 90000);
    bool waitSignatures(long long* size, int* count, int* strongLen, std::vector<FtBlockSignature>* sigs,
                        int stepMs = 90000);

    // Before FT_QUIT is written: from now on FT_QUIT_ACK is an answer (one
    // that arrives earlier is a protocol error).
    void quitting();
    // Marks FT_QUIT as sent: from now on the read thread may answer
    // FT_QUIT_ACK.
    void quitSent();
    bool quitAcknowledged();
    bool readerDone();

    // Largest number of block signatures accepted in one reply.
    static const int kMaxSignatures = 1 << 22;

private:
    bool waitFlag(bool* flag, int stepMs, const char* timeoutLog) REQUIRES(_cond);
    // Sets the error when a confirmation did not arrive; gives arrived.
    bool confirmed(bool arrived) REQUIRES(_cond);
    bool readIndex(bool withDigest);
    void readError();
    void endRead(const char* why);
    void wake() REQUIRES(_cond) { _cond.broadcast(); }
    // After an error or the end of the read thread: a sender waiting for a
    // partial update's reply stops waiting at once.
    void stopSyncWaits();
    // True once a partial update's reply is in; false when the session
    // ended, failed or was cancelled first.
    bool waitSyncReply(int stepMs, const char* timeoutLog);
    // How soon a wait that nothing else wakes sees a cancel.
    static constexpr int kCancelPollMs = 1000;

    FtBufferedOut _out;
    MessageBase* _sink;
    MessageBase* _in;
    StreamMessage* _stream;
    StreamConnection* _connection;
    const std::atomic<bool>* _cancel = nullptr;
    int _protocol;
    FtListener* _listener;
    FILE* _report;
    DaemonThread* _thread;

    CondBlock _cond;
    bool _error GUARDED_BY(_cond);
    std::string _errorText GUARDED_BY(_cond);
    std::string _errorDetail GUARDED_BY(_cond);
    std::pair<std::string, std::string> _failedNames GUARDED_BY(_cond);
    bool _indexComplete GUARDED_BY(_cond);
    bool _ack GUARDED_BY(_cond);
    bool _synced GUARDED_BY(_cond);
    bool _quitAck GUARDED_BY(_cond);
    bool _quitting GUARDED_BY(_cond);
    bool _quitSent GUARDED_BY(_cond);
    // A checksum request is outstanding; its answer has arrived; the answer.
    bool _checksumsWanted GUARDED_BY(_cond);
    bool _checksums GUARDED_BY(_cond);
    std::map<std::string, std::string> _checksumList GUARDED_BY(_cond);
    bool _readerDone GUARDED_BY(_cond);
    FtTransaction* _transaction GUARDED_BY(_cond);
    // Written by the read thread, taken by the sender with takeIndex.
    std::vector<_IndexEntry> _index GUARDED_BY(_cond);
    // Only the read thread: a plain FT_INDEX_MARK was seen.
    bool _plainIndexSeen;

    CondBlock _syncCond;
    bool _syncReply GUARDED_BY(_syncCond);
    // Set with the error or the read thread's end (which _cond guards), so
    // that a sync wait sees it under its own lock and no wake-up is lost.
    bool _syncStop GUARDED_BY(_syncCond);
    // The code of the reply that set _syncReply: each wait takes only its
    // own kind, and one of the other kind counts as a failed reply.
    int32_t _syncKind GUARDED_BY(_syncCond);
    int _syncStatus GUARDED_BY(_syncCond);
    std::string _syncDigest GUARDED_BY(_syncCond);
    long long _sigSize GUARDED_BY(_syncCond);
    int _sigCount GUARDED_BY(_syncCond);
    int _sigStrong GUARDED_BY(_syncCond);
    std::vector<FtBlockSignature> _sigs GUARDED_BY(_syncCond);
};

class FtSessionReadThread : public DaemonThread {
public:
    explicit FtSessionReadThread(FtSession* session) : _session(session) { setName("ft-read"); }
    void run() override {
        setInitialized();
        _session->runReadThread();
    }

private:
    FtSession* _session;
};

#endif
