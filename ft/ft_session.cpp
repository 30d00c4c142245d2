#include "ft/ft_session.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/log.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "ft/ft_checksum.h"
#include "ft/ft_entry.h"
#include "ft/ft_protocol.h"
#include "ft/ft_transaction.h"

int FtBufferedOut::appendBytes(const void* data, size_t n) {
    if (_error != 0) return _error;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (n >= kFlushAt / 4) {
        // Bulk data goes straight through, after what is already waiting.
        if (flush() != 0) return _error;
        int rc = _sink->appendBytes(p, n);
        _written += static_cast<long long>(n);
        if (rc != 0 || _sink->getError() != 0) return setError(rc != 0 ? rc : _sink->getError());
        return 0;
    }
    _pending.insert(_pending.end(), p, p + n);
    if (_pending.size() >= kFlushAt) return flush();
    return 0;
}

int FtBufferedOut::flush() {
    if (_error != 0) return _error;
    if (_pending.empty()) return 0;
    int rc = _sink->appendBytes(_pending.data(), _pending.size());
    _written += static_cast<long long>(_pending.size());
    _pending.clear();
    if (rc != 0 || _sink->getError() != 0) return setError(rc != 0 ? rc : _sink->getError());
    return 0;
}

namespace {

int readStr(MessageBase* in, std::string* s) {
    char* v = nullptr;
    int rc = in->readString(&v);
    if (rc != 0) return rc;
    s->assign(v != nullptr ? v : "");
    free(v);
    return 0;
}

}  // namespace

FtSession::FtSession(MessageBase* out, MessageBase* in, int protocol, FtListener* listener, FILE* report)
    : _out(out), _sink(out), _in(in), _stream(nullptr), _connection(nullptr), _protocol(protocol), _listener(listener), _report(report),
      _thread(nullptr), _error(false), _indexComplete(false), _ack(false), _synced(false), _quitAck(false),
      _quitting(false), _quitSent(false), _checksumsWanted(false), _checksums(false), _readerDone(false), _transaction(nullptr), _plainIndexSeen(false),
      _syncReply(false), _syncStop(false), _syncKind(0), _syncStatus(0), _sigSize(0), _sigCount(0), _sigStrong(0) {}

FtSession::~FtSession() {
    joinReadThread();
}

void FtSession::setFlowLimit(double kbps) {
    flush();
    if (_stream != nullptr) _stream->setFlowLimit(kbps);
}

void FtSession::print(const char* fmt, ...) {
    if (_report == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(_report, fmt, ap);
    va_end(ap);
    fflush(_report);
}

void FtSession::startReadThread() {
    if (_thread != nullptr) return;
    FtSessionReadThread* t = new FtSessionReadThread(this);
    t->setDeleteOnExit(false);
    _thread = t;
    t->start();
}

void FtSession::joinReadThread() {
    if (_thread == nullptr) return;
    if (_thread->isStarted()) _thread->join();
    delete _thread;
    _thread = nullptr;
}

void FtSession::setError(const char* fmt, ...) {
    char text[kMaxErrorText + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    {
        CondSection hold(_cond);
        if (_error) return;
        _error = true;
        _errorText = text;
        wake();
    }
    stopSyncWaits();
}

void FtSession::stopSyncWaits() {
    CondSection hold(_syncCond);
    _syncStop = true;
    _syncCond.broadcast();
}

bool FtSession::hasError() {
    CondSection hold(_cond);
    return _error;
}

std::string FtSession::errorText() {
    CondSection hold(_cond);
    return _errorText;
}

std::string FtSession::errorDetail() {
    CondSection hold(_cond);
    return _errorDetail;
}

std::pair<std::string, std::string> FtSession::failedNames() {
    CondSection hold(_cond);
    return _failedNames;
}

bool FtSession::waitFlag(bool* flag, int stepMs, const char* timeoutLog) {
    while (!*flag && !_error && !_quitAck && !_readerDone && !canceled()) {
        if (!_cond.wait(stepMs) && timeoutLog != nullptr) log(_debug_ft, LOG_DEBUG, 0, 0, "%s", timeoutLog);
    }
    return *flag && !_error;
}

void FtSession::resetIndex() {
    CondSection hold(_cond);
    _indexComplete = false;
    _index.clear();
}

void FtSession::takeIndex(std::vector<_IndexEntry>* into) {
    CondSection hold(_cond);
    into->clear();
    into->swap(_index);
}

bool FtSession::waitIndex() {
    flush();
    CondSection hold(_cond);
    return waitFlag(&_indexComplete, 1000, nullptr);
}

void FtSession::resetAck() {
    CondSection hold(_cond);
    _ack = false;
}

bool FtSession::waitAck() {
    flush();
    CondSection hold(_cond);
    return confirmed(waitFlag(&_ack, 2000, nullptr));
}

void FtSession::resetSync() {
    CondSection hold(_cond);
    _synced = false;
}

bool FtSession::waitTransactionSync() {
    flush();
    CondSection hold(_cond);
    return confirmed(waitFlag(&_synced, 2000, nullptr));
}

bool FtSession::confirmed(bool arrived) {
    // A confirmation wait that ended without its answer (the read thread
    // stopped, or the peer quit) leaves the transfer unconfirmed: that is a
    // failure, or a move would remove sources the peer never vouched for.
    // A cancel ends the wait without calling the peer at fault.
    if (!arrived && !_error && !canceled()) {
        _error = true;
        _errorText = "Unexpected protocol error reading from stream";
        wake();
    }
    return arrived;
}

void FtSession::expectChecksums() {
    CondSection hold(_cond);
    _checksumList.clear();
    _checksums = false;
    _checksumsWanted = true;
}

bool FtSession::waitChecksums(std::map<std::string, std::string>* digests) {
    flush();
    CondSection hold(_cond);
    bool ok = waitFlag(&_checksums, 2000, nullptr);
    _checksumsWanted = false;
    digests->clear();
    digests->swap(_checksumList);
    return ok;
}

void FtSession::setTransaction(FtTransaction* t) {
    CondSection hold(_cond);
    _transaction = t;
}

void FtSession::resetSyncReply() {
    CondSection hold(_syncCond);
    _syncReply = false;
    _syncKind = 0;
    _syncStatus = 0;
    _syncDigest.clear();
    _sigs.clear();
    _sigCount = 0;
    _sigSize = 0;
}

bool FtSession::waitSyncReply(int stepMs, const char* timeoutLog) {
    flush();
    // A cancel only sets its flag: the waits are cut into short slices to
    // see it, and the time-out is logged once per step as before.
    const int slice = std::min(stepMs, kCancelPollMs);
    int waited = 0;
    for (;;) {
        {
            CondSection hold(_syncCond);
            if (_syncReply) return true;
            if (!_syncStop && !_syncCond.wait(slice) && (waited += slice) >= stepMs) {
                log(_debug_ft, LOG_DEBUG, 0, 0, "%s", timeoutLog);
                waited = 0;
            }
            if (_syncReply) return true;
        }
        if (canceled()) return false;
        CondSection hold(_cond);
        if (_error || _quitAck || _readerDone) return false;
    }
}

bool FtSession::waitFindMd5Reply(int* status, std::string* digest, int stepMs) {
    if (!waitSyncReply(stepMs, "FT: -waiting for FT_SYNC_FIND_MD5_COMPLETE")) return false;
    CondSection hold(_syncCond);
    // Block signatures in place of the digest are no digest.
    *status = _syncKind == FT_SYNC_FIND_MD5_REPLY ? _syncStatus : 1;
    *digest = _syncKind == FT_SYNC_FIND_MD5_REPLY ? _syncDigest : std::string();
    return true;
}

bool FtSession::waitSignatures(long long* size, int* count, int* strongLen, std::vector<FtBlockSignature>* sigs,
                               int stepMs) {
    if (!waitSyncReply(stepMs, "FT: -waiting for sync signatures")) return false;
    CondSection hold(_syncCond);
    // A digest reply in place of the signatures: none to match.
    if (_syncKind != FT_SYNC_SIGNATURES) {
        *size = 0;
        *count = -1;
        *strongLen = 0;
        sigs->clear();
        return true;
    }
    *size = _sigSize;
    *count = _sigCount;
    *strongLen = _sigStrong;
    sigs->swap(_sigs);
    return true;
}

void FtSession::quitting() {
    CondSection hold(_cond);
    _quitting = true;
}

void FtSession::quitSent() {
    flush();
    CondSection hold(_cond);
    _quitSent = true;
    wake();
}

bool FtSession::quitAcknowledged() {
    CondSection hold(_cond);
    return _quitAck;
}

bool FtSession::awaitReaderEnd(int ms) {
    {
        CondSection hold(_cond);
        for (int waited = 0; !_readerDone && waited < ms; waited += 500) _cond.wait(500);
        if (_readerDone) return true;
    }
    log(_debug_ft, LOG_WARNING, 0, 0, "FT: the peer did not close the session; closing it");
    if (_connection != nullptr) _connection->shutdown();
    return false;
}

bool FtSession::readerDone() {
    CondSection hold(_cond);
    return _readerDone;
}

void FtSession::endRead(const char* why) {
    log(_debug_ft, LOG_DEBUG, 0, 0, "FT: recv read thread ends: %s", why);
    {
        CondSection hold(_cond);
        _readerDone = true;
        wake();
    }
    // Wake a sender waiting for a sync reply too: its wait re-checks _cond.
    stopSyncWaits();
}

bool FtSession::readIndex(bool withDigest) {
    std::vector<_IndexEntry> entries;
    for (;;) {
        FtIndexRecord r;
        bool end = false;
        if (r.read(_in, withDigest, &end) != 0) {
            setError("Protocol error receiving index");
            return false;
        }
        if (end) break;
        if (r.type == FT_TYPE_ERROR) {
            setError("Error indexing file: %s, %s", r.name.c_str(), r.reason.c_str());
            continue;
        }
        _IndexEntry e;
        e.name = r.name;
        e.hash = makeHash(r.name.c_str());
        e.size = r.size;
        e.mtimeMs = r.mtimeMs;
        e.type = r.type == FT_TYPE_OTHER ? FT_TYPE_ERROR : r.type;
        e.digest = r.digest;
        e.target = r.target;
        entries.push_back(std::move(e));
    }
    CondSection hold(_cond);
    _index.swap(entries);
    _indexComplete = true;
    wake();
    return true;
}

void FtSession::readError() {
    std::string s[4], last;
    int32_t err = 0;
    for (std::string& x : s)
        if (readStr(_in, &x) != 0) return;
    if (_in->readInt32(&err) != 0 || readStr(_in, &last) != 0) return;
    log(_debug_ft, LOG_INFO, 0, 0, "FT: recv reason was: %s", s[3].c_str());
    {
        CondSection hold(_cond);
        if (!_error) {
            _error = true;
            _errorText = s[3].substr(0, kMaxErrorText);
            _errorDetail = last;
            _failedNames = std::make_pair(s[0], s[1]);
        }
        wake();
    }
    stopSyncWaits();
}

void FtSession::runReadThread() {
    for (;;) {
        int32_t code = 0;
        if (ftReadReply(_in, &code) != 0) {
            log(_debug_ft, LOG_DEBUG, 0, 0, "FT: recv read thread reads EOF");
            if (_protocol >= FT_PROTOCOL_2) {
                bool quit;
                {
                    CondSection hold(_cond);
                    quit = _quitAck;
                }
                if (!quit) setError("Unexpected protocol error reading from stream");
            }
            endRead("end of stream");
            return;
        }
        switch (code) {
            case FT_QUIT_ACK: {
                bool answer;
                bool asked;
                {
                    CondSection hold(_cond);
                    asked = _quitting;
                }
                if (!asked) {
                    // An answer to a quit nobody asked for: the peer is not
                    // following the exchange, and whatever it left
                    // unconfirmed must not count as done.
                    log(_debug_ft, LOG_WARNING, 0, 0, "FT: recv FT_QUIT_ACK before FT_QUIT was sent");
                    setError("Unexpected protocol error reading from stream");
                    endRead("quit acknowledged before it was asked for");
                    return;
                }
                {
                    CondSection hold(_cond);
                    _quitAck = true;
                    wake();
                    // The peer may answer while the sender is still handing
                    // FT_QUIT over; it marks the quit as sent once done.
                    if (!_quitSent) _cond.wait(2000);
                    answer = _quitSent;
                }
                if (answer) {
                    ftWriteCommand(_sink, _protocol, FT_QUIT_ACK);
                }
                log(_debug_ft, LOG_DEBUG, 0, 0, "FT: recv thread exits");
                endRead("quit acknowledged");
                return;
            }
            case FT_UPDATE: {
                std::string a, b, c;
                int64_t n1 = 0, n2 = 0, n3 = 0;
                if (readStr(_in, &a) != 0 || readStr(_in, &b) != 0 || readStr(_in, &c) != 0 || _in->readInt64(&n1) != 0 ||
                    _in->readInt64(&n2) != 0 || _in->readInt64(&n3) != 0)
                    break;
                FtTransaction* t;
                {
                    CondSection hold(_cond);
                    t = _transaction;
                }
                if (_listener != nullptr) _listener->progress(a.c_str(), b.c_str(), c.c_str(), n1, n2, n3, t);
                continue;
            }
            case FT_ACK_COMPLETE: {
                int64_t count = 0;
                if (_in->readInt64(&count) != 0) break;
                CondSection hold(_cond);
                _ack = true;
                wake();
                continue;
            }
            case FT_ERROR:
                readError();
                if (_in->getError() != 0) break;
                continue;
            case FT_OUTPUT: {
                std::string text;
                if (readStr(_in, &text) != 0) break;
                print("%s", text.c_str());
                continue;
            }
            case FT_INDEX_MARK:
                _plainIndexSeen = true;
                if (!readIndex(false)) break;
                continue;
            case FT_INDEX_MARK_MD5:
                if (!_plainIndexSeen) print("Destination replied: FT_INDEX_MARK_MD5\n");
                if (!readIndex(!_plainIndexSeen)) break;
                continue;
            case FT_CHECKSUM_LIST: {
                std::map<std::string, std::string> got;
                bool ok = true;
                for (;;) {
                    std::string name, digest;
                    if (readStr(_in, &name) != 0) {
                        ok = false;
                        break;
                    }
                    if (name.empty()) break;
                    if (readStr(_in, &digest) != 0) {
                        ok = false;
                        break;
                    }
                    got[name] = digest;
                }
                if (!ok) break;
                CondSection hold(_cond);
                if (!_checksumsWanted || _checksums) {
                    log(_debug_ft, LOG_DEBUG, 0, 0, "FT: recv drops a checksum list nobody asked for");
                    continue;
                }
                _checksumList.swap(got);
                _checksums = true;
                wake();
                continue;
            }
            case FT_FAIL: {
                std::string reason;
                if (readStr(_in, &reason) != 0) break;
                log(_debug_ft, LOG_INFO, 0, 0, "FT: recv FT_FAIL: %s", reason.c_str());
                setError("%s", reason.c_str());
                continue;
            }
            case FT_SYNC_FIND_MD5_REPLY: {
                int32_t status = 0;
                std::string digest;
                if (_in->readInt32(&status) != 0 || readStr(_in, &digest) != 0) status = 1;
                CondSection hold(_syncCond);
                _syncReply = true;
                _syncKind = FT_SYNC_FIND_MD5_REPLY;
                _syncStatus = status;
                _syncDigest = digest;
                _syncCond.broadcast();
                if (_in->getError() != 0) break;
                continue;
            }
            case FT_SYNC_SIGNATURES: {
                long long size = 0;
                int count = 0;
                int strongLen = 0;
                std::vector<FtBlockSignature> sigs;
                if (ft_readSignatures(_in, kMaxSignatures, &size, &count, &strongLen, &sigs) != 0) {
                    setError("Protocol error receiving block signatures");
                    break;
                }
                CondSection hold(_syncCond);
                _syncReply = true;
                _syncKind = FT_SYNC_SIGNATURES;
                _sigSize = size;
                _sigCount = count;
                _sigStrong = strongLen;
                _sigs.swap(sigs);
                _syncCond.broadcast();
                continue;
            }
            case FT_TRANSACTION_SYNC: {
                CondSection hold(_cond);
                _synced = true;
                wake();
                continue;
            }
            default:
                log(_debug_ft, LOG_DEBUG, 0, 0, "FT: recv ignores code %d", code);
                continue;
        }
        // A reply whose payload could not be read: the stream is no longer
        // in step with the peer.
        setError("Unexpected protocol error reading from stream");
        endRead("bad reply");
        return;
    }
}
