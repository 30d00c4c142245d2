// Ft: the records' life, preCopy, the two copyTo forms, the session around
// the transactions (opening, per-transaction order, closing), the move and
// the summary.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "dir/asset.h"
#include "dir/principal.h"
#include "dirbase/build_json.h"
#include "dirbase/sfs.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "ft/ft_run.h"

Ft::Ft()
    : _transactions(nullptr), _canceled(false), _preCopied(false), _preCopyFailed(false), _sfs(getNativeFileSystem()),
      _validationDelay(10) {}

Ft::~Ft() {
    delete _transactions;
    free(fallbackText);
    Sfs::dispose(_sfs);
}

char* Ft::toString(Parser*) {
    return buildJSON("bsii", "keepFallbacks", keepFallbacks ? 1 : 0, "fallbackText", fallbackText, "fallbackCount",
                     fallbackCount, "fallbackAge", fallbackAge);
}

void Ft::addTransaction(FtTransaction* t) {
    FtTransaction** at = &_transactions;
    while (*at != nullptr) at = &(*at)->next;
    *at = t;
}

void Ft::setFileSystem(Sfs* sfs) {
    sfs->addLock();
    Sfs::dispose(_sfs);
    _sfs = sfs;
}

int Ft::preCopy(FtListener* listener) {
    _preCopied = true;
    _preCopyFailed = false;
    const char* why = nullptr;
    char text[4200];
    if (_transactions == nullptr) why = "No transactions";
    for (FtTransaction* t = _transactions; why == nullptr && t != nullptr; t = t->next) {
        struct stat64 st;
        if (t->source == nullptr || t->destination == nullptr) {
            why = "A transaction needs a source and a destination";
        } else if (_sfs->stat(t->source, &st, true) != 0) {
            snprintf(text, sizeof text, "Unable to stat: %s [2]", t->source);
            why = text;
        }
    }
    if (why == nullptr) return 0;
    _preCopyFailed = true;
    _error = why;
    log(_debug_ft, LOG_WARNING, 0, 0, "FT: preCopy failed: %s", why);
    if (listener != nullptr) listener->failed(why);
    return -1;
}

int Ft::copyTo(const Principal* principal, const char* host, const char* port, X509* cert, EVP_PKEY* key,
               FtListener* listener, const char* reportPath) {
    return _copyTo(principal, host, port, nullptr, nullptr, cert, key, nullptr, listener, reportPath);
}

int Ft::copyTo(const Principal* principal, const Asset* asset, const Endpoint* endpoint, X509* cert, EVP_PKEY* key,
               const char* text, FtListener* listener, const char* reportPath) {
    const char* host = asset != nullptr && asset->host != nullptr ? asset->host : "127.0.0.1";
    char port[16];
    snprintf(port, sizeof port, "%d", asset != nullptr && asset->ftport > 0 ? asset->ftport : 14001);
    return _copyTo(principal, host, port, asset, endpoint, cert, key, text, listener, reportPath);
}

int Ft::_copyTo(const Principal* principal, const char* host, const char* port, const Asset* asset,
                const Endpoint* endpoint, X509* cert, EVP_PKEY* key, const char* text, FtListener* listener,
                const char* reportPath) {
    if (!_preCopied || _preCopyFailed) {
        const char* why = !_preCopied ? "preCopy must be called first" : "preCopy failed";
        _error = why;
        if (listener != nullptr) listener->failed(why);
        return -1;
    }
    _keepText = text != nullptr ? text : "";
    FILE* report = nullptr;
    if (reportPath != nullptr) {
        report = fopen(reportPath, "w");
        if (report == nullptr) log(_debug_ft, LOG_WARNING, errno, 0, "FT: unable to open report file %s", reportPath);
    }
    char user[256] = "";
    char login[256] = "";
    if (principal != nullptr) {
        principal->getDravikaUser(user, sizeof user);
        principal->getLoginUser(login, sizeof login);
    }
    log(_debug_ft, LOG_INFO, 0, 0, "Starting file transfer to host: %s, as dravika user: %s", host, user);
    if (report != nullptr) {
        if (asset != nullptr)
            fprintf(report, "Starting file transfer.\nConnecting to %s (%s.%s)\n", asset->name != nullptr ? asset->name : host,
                    host, port);
        else
            fprintf(report, "Starting file transfer.\nConnecting to %s.%s\n", host, port);
    }
    StreamConnection conn(host, port, cert, key, FT_CONNECT_VALUE);
    int rc = conn.connect();
    if (rc != 0) {
        const char* why = messageFromError(rc);
        if (report != nullptr) {
            fprintf(report, "\nError: Unable to connect: %s\n", why);
            fclose(report);
        }
        _error = std::string("Unable to connect: ") + why;
        if (listener != nullptr) listener->failed(_error.c_str());
        return -1;
    }
    if (report != nullptr) fprintf(report, "Connected OK\n");
    int protocol = asset != nullptr && asset->getDravikaVersion() > 10700 ? FT_PROTOCOL_2 : FT_PROTOCOL_1;
    FtSession session(conn.getOutMessage(), conn.getInMessage(), protocol, listener, report);
    session.setStream(conn.getOutMessage());
    session.setConnection(&conn);
    MessageBase* out = session.out();
    if (protocol == FT_PROTOCOL_2) {
        out->writeInt32(2);
        out->writeObject(OBJ_PRINCIPAL_FT_ID, principal);
        out->writeInt32(1);
        out->writeObject(OBJ_ENDPOINT_ID, endpoint);
    } else {
        out->writeInt32(1);
        out->writeString(login);
        out->writeString(user);
    }
    if (report != nullptr) fprintf(report, "Negotiated protocol: %d\n", protocol);
    rc = runSession(&session, host);
    conn.close();
    if (report != nullptr) fclose(report);
    return rc;
}

namespace {

// A file's modification time in milliseconds.
long long msOfStat(const struct stat64& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// A source named relative to the current directory, made absolute: real
// paths are resolved from the root.
std::string absoluteSource(const char* source) {
    std::string path = source;
    if (path.empty() || path[0] != '/') {
        char cwd[SFS_PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
    }
    return path;
}

}  // namespace

std::string ft_withCommas(long long n) {
    char digits[32];
    snprintf(digits, sizeof digits, "%lld", n < 0 ? -n : n);
    std::string out;
    int len = static_cast<int>(strlen(digits));
    for (int i = 0; i < len; i++) {
        if (i > 0 && (len - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

int Ft::runSession(FtSession* session, const char* hostName) {
    long long started = monotonicMs();
    _stats = FtStats();
    _error.clear();
    FtRun run(this, session, hostName);
    session->setCancelFlag(&_canceled);
    session->startReadThread();
    int canceledFlag = 0;
    for (FtTransaction* t = _transactions; t != nullptr; t = t->next) {
        if (session->hasError() || isCanceled()) break;
        _stats.transactions++;
        if (run.runTransaction(t) != 0) break;
        if (session->listener() != nullptr && !session->hasError()) session->listener()->transactionComplete(t);
    }
    canceledFlag = isCanceled() ? 1 : 0;
    log(_debug_ft, LOG_INFO, 0, 0, "FT: send Transaction loop complete.  canceled = %d, error = %d", canceledFlag,
        session->hasError() ? 1 : 0);
    MessageBase* out = session->out();
    int protocol = session->protocol();
    if (canceledFlag) {
        session->print("File transfer operation canceled.\n");
        log(_debug_ft, LOG_INFO, 0, 0, "File transfer canceled");
        ftWritePlain(out, FT_CANCEL);
    } else {
        session->resetAck();
        ftWriteCommand(out, protocol, FT_MARK_COMPLETE);
        session->waitAck();
        ftWriteCommand(out, protocol, FT_INSTALL_FILE);
        session->resetAck();
        ftWriteCommand(out, protocol, FT_MARK_COMPLETE);
        if (protocol >= FT_PROTOCOL_2) session->waitAck();
    }
    session->print("\nFile transfer complete.\n");
    log(_debug_ft, LOG_INFO, 0, 0, "FT: send Send complete.  Negotiating close.");
    session->quitting();
    ftWriteCommand(out, protocol, FT_QUIT);
    session->quitSent();
    log(_debug_ft, LOG_INFO, 0, 0, "Waiting for read thread to exit");
    session->awaitReaderEnd(30000);
    session->joinReadThread();
    _stats.bytesTransmitted = session->bytesWritten();

    bool ok = !session->hasError() && !canceledFlag;
    if (ok) run.writeHeldIndexes();
    if (ok && protocol >= FT_PROTOCOL_2) {
        bool anyMove = false;
        for (FtTransaction* t = _transactions; t != nullptr; t = t->next) anyMove = anyMove || FtRun::moves(t);
        if (anyMove) {
            session->print("\nMove selected.  Removing source files.\n");
            bool failedRemove = false;
            for (FtTransaction* t = _transactions; t != nullptr; t = t->next)
                if (FtRun::moves(t) && !run.removeMovedSources(t)) failedRemove = true;
            if (failedRemove) session->setError("One or more files could not be removed on the source after they were copied");
        }
    }
    if (session->hasError()) _error = session->errorText();
    else if (canceledFlag) _error = "File transfer canceled";

    long long secs = (monotonicMs() - started) / 1000;
    char line[256];
    std::string sum;
    snprintf(line, sizeof line, "            Elapsed Time: %d:%02d:%02d (seconds)\n", static_cast<int>(secs / 3600),
             static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
    sum += line;
    snprintf(line, sizeof line, "            Transactions: %d\n", _stats.transactions);
    sum += line;
    snprintf(line, sizeof line, "      Total Files Copied: %s\n", ft_withCommas(_stats.filesCopied).c_str());
    sum += line;
    if (_stats.unableToRemove > 0) {
        snprintf(line, sizeof line, "        Unable to Remove: %s\n", ft_withCommas(_stats.unableToRemove).c_str());
        sum += line;
    }
    if (_stats.filesSkipped > 0) {
        double pct = 100.0 * static_cast<double>(_stats.filesSkipped) /
                     static_cast<double>(_stats.filesSkipped + _stats.filesCopied);
        snprintf(line, sizeof line, "     Total Files Skipped: %s (%3.2f%%)\n", ft_withCommas(_stats.filesSkipped).c_str(), pct);
        sum += line;
    }
    snprintf(line, sizeof line, "        Total Bytes Read: %s\n", ft_withCommas(_stats.bytesRead).c_str());
    sum += line;
    snprintf(line, sizeof line, " Total Bytes Transmitted: %s\n", ft_withCommas(_stats.bytesTransmitted).c_str());
    sum += line;
    double saved = static_cast<double>(_stats.bytesRead - _stats.bytesTransmitted);
    if (saved < 0) saved = 0;
    snprintf(line, sizeof line, "             Compression: %3.2f%%\n",
             saved / (static_cast<double>(_stats.bytesRead) + 0.0001) * 100.0);
    sum += line;
    _summary = sum;
    session->print("\n-----\n%s", sum.c_str());
    if (!_error.empty() && session->listener() != nullptr) session->listener()->failed(_error.c_str());
    return _error.empty() ? 0 : -1;
}

FtRun::FtRun(Ft* ft, FtSession* session, const char* hostName)
    : _ft(ft), _s(session), _out(session->out()), _sfs(ft->_sfs), _host(hostName != nullptr ? hostName : "") {}

bool FtRun::removeMovedSources(FtTransaction* t) {
    auto it = _sent.find(t);
    if (it == _sent.end()) return true;
    // Sources of a transaction the peer never confirmed stay where they are.
    if (!it->second.confirmed) return true;
    bool failedRemove = false;
    for (const SentFile& sent : it->second.files) {
        const char* path = sent.path.c_str();
        struct stat64 st;
        bool removed = false;
        if (_sfs->lstat(path, &st, true) != 0) {
            _s->print("Error: unable to remove %s.  Unable to stat file.\n", path);
        } else if (st.st_dev != sent.dev || st.st_ino != sent.ino || st.st_size != sent.size ||
                   msOfStat(st) != sent.mtimeMs) {
            log(_debug_ft, LOG_WARNING, 0, 0, "FT: %s changed after it was sent; not removed", path);
            _s->print("Error: Unable to remove: %s\n", path);
        } else if (_sfs->unlink(path, true) != 0) {
            _s->print("Error: Unable to remove: %s\n", path);
        } else {
            removed = true;
        }
        if (!removed) {
            failedRemove = true;
            _ft->_stats.unableToRemove++;
        }
    }
    // Deepest first, so that a folder emptied by its children's removal
    // goes too. The file system layer has no call that removes only an
    // empty folder (removePath would take unsent entries with it), so the
    // system's rmdir does it: a folder still holding anything stays.
    std::vector<std::string> dirs = it->second.dirs;
    std::stable_sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& dir : dirs) {
        char path[SFS_PATH_MAX];
        if (_sfs->adjustForChroot(path, sizeof path, dir.c_str()) == 0 && ::rmdir(path) != 0)
            log(_debug_ft, LOG_DEBUG, errno, 0, "FT: source folder %s stays", dir.c_str());
    }
    return !failedRemove;
}

void FtRun::noteSent(const std::string& local, const struct stat64& st) {
    if (!moves(_t)) return;
    SentSource& sent = _sent[_t];
    auto at = sent.fileAt.find(local);
    if (at == sent.fileAt.end()) {
        at = sent.fileAt.emplace(local, sent.files.size()).first;
        sent.files.emplace_back();
        sent.files.back().path = local;
    }
    SentFile& f = sent.files[at->second];
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.size = st.st_size;
    f.mtimeMs = msOfStat(st);
}

void FtRun::fileProblem(bool sessionError, const char* errorFmt, const std::string& name, const char* reportFmt, ...) {
    if (reportFmt != nullptr && _s->report() != nullptr) {
        va_list ap;
        va_start(ap, reportFmt);
        vfprintf(_s->report(), reportFmt, ap);
        va_end(ap);
        fflush(_s->report());
    }
    char text[4200];
    snprintf(text, sizeof text, errorFmt, name.c_str());
    log(_debug_ft, LOG_WARNING, 0, 0, "FT: %s", text);
    if (_s->listener() != nullptr) _s->listener()->progress(name.c_str(), "", text, 0, 0, 0, _t);
    if (sessionError) _s->setError("%s", text);
    else _ft->_stats.filesFailed++;
}

int FtRun::runTransaction(FtTransaction* t) {
    _t = t;
    _s->setTransaction(t);
    t->retryList.clear();
    t->checksums.clear();
    _indexMd5 = t->indexMd5 || getenv("INDEX_MD5") != nullptr;
    _haveIndex = false;
    _indexFromFile = false;
    _index.clear();
    _byName.clear();
    _sortedIndex.clear();
    int protocol = _s->protocol();

    char real[SFS_PATH_MAX];
    std::string source = absoluteSource(t->source);
    if (_sfs->realPath(real, sizeof real, source.c_str(), nullptr, true) != 0) {
        _s->setError("Unable to stat: %s [2]", t->source);
        return -1;
    }
    _srcRoot = real;
    struct stat64 st;
    if (_sfs->stat(_srcRoot.c_str(), &st, true) != 0) {
        _s->setError("Unable to stat: %s [2]", t->source);
        return -1;
    }
    _srcIsDir = S_ISDIR(st.st_mode);
    _srcDev = st.st_dev;
    std::string src = t->source;
    while (src.size() > 1 && src.back() == '/') src.pop_back();
    size_t cut = src.find_last_of('/');
    if (cut == std::string::npos) cut = src.find_last_of('\\');
    _srcBase = cut == std::string::npos ? src : src.substr(cut + 1);
    bool start2 = t->useRecvStart2 && _srcIsDir;
    _destRoot = t->destination;
    if (start2) _destRoot += "/" + _srcBase;
    // A move takes the top source folder too once it is empty, except when
    // FT_RECV_START2 sends the folder itself.
    if (moves(t) && _srcIsDir && !start2) _sent[t].dirs.push_back(_srcRoot);
    _now = static_cast<long long>(time(nullptr));

    // 1. Bandwidth.
    double kbps = t->bandwidthKbps();
    if (kbps > 0) {
        _s->flush();
        _s->setFlowLimit(kbps);
        command(FT_SET_BANDWIDTH);
        _out->writeDouble(kbps);
        _s->print("\nBandwidth will be limited to: %f kbps\n", kbps);
    } else {
        _s->setFlowLimit(0);
    }
    // 2. The destination's index.
    if (prepareIndex() != 0) return -1;
    // 3. Backups.
    if (protocol >= FT_PROTOCOL_2) {
        if (t->noKeepBackups) command(FT_NO_KEEP_BACKUPS);
        if (t->keepBackups) command(FT_KEEP_BACKUPS);
    }
    // 4. Create the destination.
    if (t->createDest) {
        _s->print("\nCreating destination, if it does not exist: %s\n", t->destination);
        command(FT_CREATE_DEST);
        _out->writeString(t->destination);
    }
    // 5. Fallbacks, 6. start, 7. the entries and their end.
    _s->print("\nStarting file transfer transaction: %s\n    -> %s\n", t->source, t->destination);
    startFileList();
    sendEntries();
    ftWritePlain(_out, FT_END_OF_FILES);
    if (!failed() && !_ft->isCanceled() && !t->retryList.empty()) validate();
    // 8. Removals.
    // Only a directory source says what the destination should hold; a
    // single file removes nothing beside it.
    if (t->removeMissing && _srcIsDir && !failed() && !_ft->isCanceled()) removeMissing();
    // 9. Synchronise.
    if (protocol >= FT_PROTOCOL_2) {
        _s->resetSync();
        command(FT_TRANSACTION_SYNC);
        if (_s->waitTransactionSync() && moves(t)) _sent[t].confirmed = true;
    } else {
        _s->flush();
    }
    if (keepsLocalIndex() && !failed() && !_ft->isCanceled()) keepLocalIndex();
    _s->setTransaction(nullptr);
    if (_out->getError() != 0) _s->setError("Unable to write to the stream");
    return failed() ? -1 : 0;
}

void FtRun::startFileList() {
    // The peer takes the fallback policy for the file list that follows
    // only, so it goes before every start, a re-send's too.
    if (_ft->keepFallbacks) {
        command(FT_KEEP_FALLBACKS);
        _out->writeString(_ft->_keepText.c_str());
        _out->writeString(_ft->fallbackText != nullptr ? _ft->fallbackText : "");
        _out->writeInt32(_ft->fallbackCount);
        _out->writeInt32(_ft->fallbackAge);
    }
    command(_t->useRecvStart2 && _srcIsDir ? FT_RECV_START2 : FT_RECV_START);
    _out->writeString(_t->destination);
    _out->writeBool(_t->recursive);
    _out->writeString(_srcBase.c_str());
    _out->writeString(_t->optionText != nullptr ? _t->optionText : "");
}

namespace {

void previewWalk(Sfs* sfs, FtTransaction* t, const std::string& local, const std::string& rel, int depth,
                 std::string* out) {
    if (depth > 512) return;
    SfsDirectory* dir = nullptr;
    if (sfs->opendir(local.c_str(), &dir, true) != 0) {
        log(_debug_ft, LOG_WARNING, 0, 0, "Unable to open directory: %s", local.c_str());
        return;
    }
    std::vector<std::string> names;
    while (const char* n = dir->readNext())
        if (strcmp(n, ".") != 0 && strcmp(n, "..") != 0) names.push_back(n);
    delete dir;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string childLocal = local + "/" + name;
        std::string childRel = rel.empty() ? name : rel + "/" + name;
        struct stat64 st;
        if (sfs->lstat(childLocal.c_str(), &st, true) != 0) continue;
        bool isDir = S_ISDIR(st.st_mode);
        if (fmatch(childRel.c_str(), isDir, t->filters) == PAT_EXCLUDE) {
            log(_debug_ft, LOG_INFO, 0, 0, "Excluded: %s", childRel.c_str());
            continue;
        }
        const char* kind = isDir ? "directory" : S_ISLNK(st.st_mode) ? "link" : S_ISREG(st.st_mode) ? "file" : "other";
        log(_debug_ft, LOG_INFO, 0, 0, "preview: %s, (%s)", childRel.c_str(), kind);
        *out += childRel + "\n";
        if (isDir && t->recursive) previewWalk(sfs, t, childLocal, childRel, depth + 1, out);
    }
}

}  // namespace

int Ft::preview(std::string* out) {
    out->clear();
    for (FtTransaction* t = _transactions; t != nullptr; t = t->next) {
        char real[SFS_PATH_MAX];
        struct stat64 st;
        if (t->source == nullptr ||
            _sfs->realPath(real, sizeof real, absoluteSource(t->source).c_str(), nullptr, true) != 0 ||
            _sfs->stat(real, &st, true) != 0) {
            log(_debug_ft, LOG_WARNING, 0, 0, "Unable to stat: %s [2]", t->source != nullptr ? t->source : "");
            return -1;
        }
        if (S_ISDIR(st.st_mode)) {
            previewWalk(_sfs, t, real, "", 0, out);
        } else {
            const char* base = strrchr(real, '/');
            *out += std::string(base != nullptr ? base + 1 : real) + "\n";
        }
    }
    return 0;
}
