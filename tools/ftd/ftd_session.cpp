// The receiving service's conversation: opening, commands outside a file
// list, index replies, removal, checksums, and the single-file clients.
// The file list itself is in ftd_receive.cpp.
#include "tools/ftd/ftd_session.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "ft/ft_entry.h"
#include "ft/ft_protocol.h"
#include "tools/ftd/ftd_server.h"
#include "tools/ftd/ftd_writer.h"

namespace {

const int kGetChunk = 1 << 20;
// The gathered part of a long reply (an index, checksums) that goes to the
// wire at once.
const size_t kReplyPiece = 256 << 10;
// A single-file write may leave holes of at most this much in all: a peer
// may not make us hold (and digest) a vast sparse file. Counted over the
// whole file, since each write moves the end that the next hole starts from.
const long long kMaxWriteGap = 64LL << 20;

}  // namespace

FtdSession::FtdSession(FtdServer* server, MessageBase* in, MessageBase* out, const char* peer)
    : _server(server), _in(in), _out(new Message(0)), _wire(out), _peer(peer != nullptr ? peer : "") {}

FtdSession::~FtdSession() {
    delete _out;
}

int FtdSession::flush() {
    size_t skip = 9;  // the frame header of an in-memory message
    bool any = false;
    for (const MessageBase::_Buffer* b = _out->firstBuffer(); b != nullptr; b = b->next) {
        size_t from = skip < b->used ? skip : b->used;
        skip -= from;
        if (b->used > from) {
            _wire->appendBytes(b->data + from, b->used - from);
            any = true;
        }
    }
    if (any) {
        delete _out;
        _out = new Message(0);
    }
    return _wire->getError();
}

bool FtdSession::readText(std::string* out) {
    char* s = nullptr;
    if (_in->readString(&s) != 0) return false;
    out->assign(s != nullptr ? s : "");
    free(s);
    return true;
}

void FtdSession::sendError(const std::string& name, const std::string& what, const std::string& reason, int err) {
    ftWritePlain(_out, FT_ERROR);
    _out->writeString(name.c_str());
    _out->writeString(_dest.c_str());
    _out->writeString(what.c_str());
    _out->writeString(reason.c_str());
    _out->writeInt32(err);
    _out->writeString(err != 0 ? strerror(err) : "");
}

bool FtdSession::peerLine() {
    return ++_peerLines <= kPeerLines;
}

int FtdSession::refuse(const std::string& name, const std::string& reason, int err) {
    _refused++;
    if (peerLine())
        log(LOG_WARNING, err, 0, "drvftd: %s: refused '%s': %s", _peer.c_str(), name.c_str(), reason.c_str());
    sendError(name, "refused", reason, err);
    return 0;
}

bool FtdSession::confine(const std::string& peerPath, std::string* rel) {
    std::string reason;
    if (FtdTree::confine(peerPath, rel, &reason)) return true;
    refuse(peerPath, reason);
    return false;
}

void FtdSession::progress(const std::string& name, long long size, bool force) {
    long long now = monotonicMs();
    if (!force && now - _lastProgressMs < 250) return;
    _lastProgressMs = now;
    ftWritePlain(_out, FT_UPDATE);
    _out->writeString(name.c_str());
    _out->writeString(_dest.c_str());
    _out->writeString("received");
    _out->writeInt64(size);
    _out->writeInt64(_sessionBytes);
    _out->writeInt64(_files);
}

int FtdSession::opening() {
    int32_t version = 0;
    if (_in->readInt32(&version) != 0) return -1;
    if (version == FT_PROTOCOL_1) {
        std::string login;
        std::string user;
        if (!readText(&login) || !readText(&user)) return -1;
        _user = !user.empty() ? user : !login.empty() ? login : "(anonymous)";
    } else if (version == FT_PROTOCOL_2) {
        unsigned int id = 0;
        unsigned char* bytes = nullptr;
        size_t length = 0;
        int32_t one = 0;
        int rc = _in->readOpaqueObject(&id, &bytes, &length);
        free(bytes);
        if (rc != 0 || _in->readInt32(&one) != 0) return -1;
        rc = _in->readOpaqueObject(&id, &bytes, &length);
        free(bytes);
        if (rc != 0) return -1;
        _user = "(principal)";
    } else {
        log(LOG_WARNING, 0, 0, "drvftd: %s: refused: unknown protocol version %d", _peer.c_str(), version);
        return -1;
    }
    _protocol = version;
    log(LOG_INFO, 0, 0, "drvftd: %s: session opened, protocol %d, user %s", _peer.c_str(), _protocol, _user.c_str());
    return 0;
}

void FtdSession::run() {
    if (opening() != 0) {
        log(LOG_WARNING, 0, 0, "drvftd: %s: bad opening; closing", _peer.c_str());
        return;
    }
    bool done = false;
    while (!done) {
        int32_t code = 0;
        if (flush() != 0) {
            log(LOG_WARNING, 0, 0, "drvftd: %s: cannot write to the peer; closing", _peer.c_str());
            break;
        }
        if (ftReadCommand(_in, &code) != 0) {
            log(LOG_INFO, 0, 0, "drvftd: %s: stream ended", _peer.c_str());
            break;
        }
        if (command(code, &done) != 0) {
            log(LOG_WARNING, 0, 0, "drvftd: %s: protocol error after command %d (%s); closing", _peer.c_str(), code,
                ftCommandName(code, false));
            break;
        }
    }
    flush();
    if (_peerLines > kPeerLines)
        log(LOG_WARNING, 0, 0, "drvftd: %s: %lld more line(s) about the peer's requests not logged", _peer.c_str(),
            _peerLines - kPeerLines);
    if (_transactions > 0)
        log(LOG_INFO, 0, 0, "drvftd: %s: session closed: %d transactions, %lld files, %lld bytes, %lld refused",
            _peer.c_str(), _transactions, _files, _sessionBytes, _refused);
}

int FtdSession::command(int32_t code, bool* done) {
    std::string text;
    switch (code) {
    case FT_RECV_START:
    case FT_RECV_START2:
        return receiveList(code == FT_RECV_START2);
    case FT_INDEX_START:
    case FT_INDEX_START_MD5:
        return indexRequest(code == FT_INDEX_START_MD5);
    case FT_REMOVE:
        return removeRequest();
    case FT_CREATE_DEST: {
        std::string rel;
        if (!readText(&text)) return -1;
        if (!confine(text, &rel)) return 0;
        int fd = _server->tree().openDir(rel, true);
        if (fd < 0) {
            int err = errno;
            if (peerLine())
                log(LOG_ERROR, err, 0, "drvftd: %s: unable to create destination %s", _peer.c_str(), text.c_str());
            sendError(text, "create destination", "unable to create the destination", err);
        } else {
            ::close(fd);
        }
        return 0;
    }
    case FT_SET_BANDWIDTH: {
        double kbps = 0;
        if (_in->readDouble(&kbps) != 0) return -1;
        // Our own writes (FT_GET_FILE) keep to the same limit. Nothing, a
        // negative rate, and one beyond any link (which the pacer takes as
        // none) leave them unlimited.
        if (!(kbps > 0)) kbps = 0;
        if (StreamMessage* stream = dynamic_cast<StreamMessage*>(_wire)) stream->setFlowLimit(kbps);
        if (peerLine()) {
            if (FlowPacer::limitsAt(kbps))
                log(LOG_INFO, 0, 0, "drvftd: %s: bandwidth limited to %.1f kbit/s", _peer.c_str(), kbps);
            else
                log(LOG_INFO, 0, 0, "drvftd: %s: bandwidth not limited", _peer.c_str());
        }
        return 0;
    }
    case FT_KEEP_FALLBACKS: {
        std::string a;
        std::string b;
        int32_t count = 0;
        int32_t age = 0;
        if (!readText(&a) || !readText(&b) || _in->readInt32(&count) != 0 || _in->readInt32(&age) != 0) return -1;
        _fallbackNext.keep = true;
        _fallbackNext.count = count < 0 ? 0 : count > FtdFallbackPolicy::kMaxCount ? FtdFallbackPolicy::kMaxCount : count;
        _fallbackNext.ageDays = age;
        _fallbackNext.text = a;
        _fallbackNext.fallbackText = b;
        if (peerLine())
            log(LOG_INFO, 0, 0,
                "drvftd: %s: the next transaction keeps %d previous version(s) of what it replaces or removes, for "
                "%d days (%s, %s)",
                _peer.c_str(), _fallbackNext.count, age, a.c_str(), b.c_str());
        return 0;
    }
    case FT_INSTALL_FILE:
    case FT_INSTALL_IN_PLACE:
    case FT_NO_KEEP_BACKUPS:
    case FT_KEEP_BACKUPS:
        // Every file is installed by rename as soon as it is complete.
        return 0;
    case FT_CANCEL:
        if (peerLine()) log(LOG_INFO, 0, 0, "drvftd: %s: transfer cancelled by the sender", _peer.c_str());
        return 0;
    case FT_TRANSACTION_SYNC:
        return ftWritePlain(_out, FT_TRANSACTION_SYNC);
    case FT_MARK_COMPLETE:
        ftWritePlain(_out, FT_ACK_COMPLETE);
        return _out->writeInt64(_sessionBytes);
    case FT_CHECKSUM_REQUEST:
        return checksumRequest();
    case FT_GET_FILE:
        return getFile();
    case FT_WRITE_FILE:
        return writeFile();
    case FT_QUIT:
        *done = true;
        return quit();
    case FT_QUIT_ACK:
        *done = true;
        return 0;
    default:
        refuse(ftCommandName(code, false), "unknown command " + std::to_string(code));
        return -1;
    }
}

int FtdSession::quit() {
    ftWritePlain(_out, FT_QUIT_ACK);
    // The sender echoes the acknowledgement and closes.
    if (flush() != 0) return 0;
    int32_t code = 0;
    for (int i = 0; i < 16 && ftReadCommand(_in, &code) == 0; i++)
        if (code == FT_QUIT_ACK) break;
    return 0;
}

int FtdSession::indexRequest(bool checksums) {
    std::string dest;
    std::string rel;
    if (!readText(&dest)) return -1;
    bool ok = confine(dest, &rel);
    bool withDigest = checksums;
    ftWritePlain(_out, withDigest ? FT_INDEX_MARK_MD5 : FT_INDEX_MARK);
    // Each entry goes out as the walk finds it, a piece at a time: a tree of
    // millions of files is never held whole, in entries or in the reply.
    size_t entries = 0;
    bool broken = false;
    auto send = [&](const FtdIndexEntry& e) {
        if (broken) return;
        FtIndexRecord r;
        r.type = e.type;
        r.name = e.name;
        r.size = e.size;
        r.mtimeMs = e.mtimeMs;
        r.digest = e.digest;
        r.target = e.link;
        r.reason = e.reason;
        r.write(_out, withDigest);
        entries++;
        if (!broken && _out->totalBytes() >= kReplyPiece) broken = flush() != 0;
    };
    if (ok) _server->index().build(rel, withDigest, send);
    log(LOG_INFO, 0, 0, "drvftd: %s: index of %s: %zu entries%s", _peer.c_str(), dest.c_str(), entries,
        withDigest ? " with checksums" : "");
    if (broken) return -1;
    return ftWritePlain(_out, FT_END_OF_LIST);
}

int FtdSession::removeRequest() {
    std::string path;
    std::string rel;
    if (!readText(&path)) return -1;
    if (!confine(path, &rel)) return 0;
    if (rel.empty()) return refuse(path, "the root itself cannot be removed");
    _dirCache.clear();
    if (_fallback.keep && _fallback.count > 0) {
        if (_server->fallbacks().keepRemoved(rel, _fallback) != 0) {
            int err = errno;
            if (peerLine())
                log(LOG_ERROR, err, 0, "drvftd: %s: unable to keep %s as a fallback; not removed", _peer.c_str(),
                    rel.c_str());
            sendError(path, "remove", "unable to keep a fallback", err);
            return 0;
        }
    } else if (_server->tree().remove(rel) != 0) {
        int err = errno;
        if (peerLine()) log(LOG_ERROR, err, 0, "drvftd: %s: unable to remove %s", _peer.c_str(), rel.c_str());
        sendError(path, "remove", "unable to remove", err);
        return 0;
    }
    _server->index().forget(rel);
    _removed++;
    log(LOG_DEBUG, 0, 0, "drvftd: %s: removed %s", _peer.c_str(), rel.c_str());
    return 0;
}

int FtdSession::checksumRequest() {
    // Each answer goes out as its name is read, a piece at a time: a list
    // of millions of names is never held, as names or as the reply. The
    // sender reads replies on a thread of its own while it writes.
    ftWritePlain(_out, FT_CHECKSUM_LIST);
    bool broken = false;
    for (;;) {
        std::string name;
        if (!readText(&name)) return -1;
        if (name.empty()) break;
        std::string local;
        if (!readText(&local)) return -1;
        std::string rel;
        std::string reason;
        std::string digest;
        if (FtdTree::confine(FtdTree::join(_base, name), &rel, &reason) && !rel.empty())
            _server->index().digest(rel, &digest);
        else if (peerLine())
            log(LOG_WARNING, 0, 0, "drvftd: %s: refused checksum of '%s': %s", _peer.c_str(), name.c_str(),
                reason.c_str());
        if (broken) continue;
        _out->writeString(name.c_str());
        _out->writeString(digest.c_str());
        if (_out->totalBytes() >= kReplyPiece) broken = flush() != 0;
    }
    if (broken) return -1;
    return _out->writeString("");
}

int FtdSession::getFile() {
    std::string path;
    std::string rel;
    std::string reason;
    if (!readText(&path)) return -1;
    if (!FtdTree::confine(path, &rel, &reason) || rel.empty()) {
        if (reason.empty()) reason = "not a file";
        if (peerLine())
            log(LOG_WARNING, 0, 0, "drvftd: %s: refused get of '%s': %s", _peer.c_str(), path.c_str(), reason.c_str());
        ftWritePlain(_out, FT_FAIL);
        return _out->writeString(reason.c_str());
    }
    std::string leaf;
    int dir = _server->tree().openParent(rel, false, &leaf);
    // Without waiting: a named pipe planted here would hold the open until
    // someone writes to it. What is not a file is refused below.
    int fd = dir >= 0 ? ::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    int err = errno;
    if (dir >= 0) ::close(dir);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
        err = EISDIR;
    }
    if (fd < 0) {
        if (peerLine()) log(LOG_WARNING, err, 0, "drvftd: %s: unable to serve %s", _peer.c_str(), rel.c_str());
        ftWritePlain(_out, FT_FAIL);
        return _out->writeString(strerror(err));
    }
    log(LOG_INFO, 0, 0, "drvftd: %s: sending %s (%lld bytes)", _peer.c_str(), rel.c_str(),
        static_cast<long long>(st.st_size));
    std::vector<unsigned char> buf(kGetChunk);
    int status = 0;
    long long sent = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) status = errno;
        if (n <= 0) break;
        _out->writeInt64(n);
        _out->writeBytes(buf.data(), static_cast<uint32_t>(n));
        if (flush() != 0) break;
        sent += n;
    }
    ::close(fd);
    _out->writeInt64(-1);
    _out->writeInt32(status);
    _sessionBytes += sent;
    return _out->writeString(status != 0 ? strerror(status) : "");
}

int FtdSession::writeFile() {
    std::string path;
    int32_t mode = 0;
    if (!readText(&path) || _in->readInt32(&mode) != 0) return -1;
    std::string rel;
    std::string reason;
    FtdStagedFile staged;
    bool ok = FtdTree::confine(path, &rel, &reason) && !rel.empty();
    struct stat st;
    // A folder in the way is refused before the writer sends anything.
    if (ok && _server->tree().lstat(rel, &st) == 0 && S_ISDIR(st.st_mode)) {
        reason = strerror(EISDIR);
        ok = false;
    }
    if (ok && staged.open(_server->tree(), rel) != 0) {
        reason = strerror(errno);
        ok = false;
    }
    if (!ok) {
        if (reason.empty()) reason = "not a file";
        if (peerLine())
            log(LOG_WARNING, 0, 0, "drvftd: %s: refused write of '%s': %s", _peer.c_str(), path.c_str(),
                reason.c_str());
        _out->writeInt32(1);
        return _out->writeString(reason.c_str());
    }
    _out->writeInt32(0);
    if (flush() != 0) return -1;
    std::string problem;
    long long holes = 0;
    for (;;) {
        int64_t offset = 0;
        if (_in->readInt64(&offset) != 0) return -1;  // the temporary file goes with `staged`
        if (offset == -1) break;
        unsigned char* data = nullptr;
        uint32_t length = 0;
        if (_in->readBytes(&data, &length) != 0) return -1;
        if (problem.empty()) {
            if (offset > staged.written()) holes += offset - staged.written();
            if (offset < 0 || holes > kMaxWriteGap)
                problem = "offset out of range";
            else if (staged.writeAt(offset, data, length) != 0)
                problem = strerror(errno);
        }
        free(data);
    }
    std::string digest;
    if (problem.empty() && !ftdDigestFd(staged.fd(), &digest)) problem = ftdDigestFailure(errno);
    if (problem.empty() && staged.install(mode > 0 ? mode : 0644, kFtdKeepTime, &st) != 0) problem = strerror(errno);
    if (problem.empty()) _server->index().noteWritten(rel, st, digest);
    if (!problem.empty()) {
        log(LOG_WARNING, 0, 0, "drvftd: %s: write of %s failed: %s", _peer.c_str(), rel.c_str(), problem.c_str());
        _out->writeInt32(1);
        return _out->writeString(problem.c_str());
    }
    log(LOG_INFO, 0, 0, "drvftd: %s: wrote %s", _peer.c_str(), rel.c_str());
    return _out->writeInt32(0);
}
