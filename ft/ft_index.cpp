// The destination's index: fetched from the peer or read from the local
// index file of a prior run, kept up to date while sending, written back
// afterwards; validation of files that changed while read; removal of
// destination entries the source no longer has.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "common/log.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "ft/ft_run.h"

namespace {

// Collects the encoding in memory (no frame header).
class ByteSink : public MessageBase {
public:
    ByteSink() : MessageBase(MODE_WRITE) {}
    int appendBytes(const void* data, size_t n) override {
        bytes.append(static_cast<const char*>(data), n);
        return 0;
    }
    std::string bytes;
};

const uint64_t kFnvBasis = 14695981039346656037ULL;

uint64_t fnvStep(uint64_t h, char c) { return (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL; }

// A name as the walk makes them: components joined by single "/", none of
// them empty, "." or "..". Anything else in an index could name the
// destination itself or a place outside it once joined to its path, and
// matches neither a source entry nor the filters as the peer reads it.
bool plainRelative(const std::string& name) {
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        size_t end = slash == std::string::npos ? name.size() : slash;
        size_t len = end - start;
        if (len == 0) return false;
        if (name[start] == '.' && (len == 1 || (len == 2 && name[start + 1] == '.'))) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

}  // namespace

std::string FtRun::localIndexPath() const {
    std::string name = std::string(_t->indexName) + "-" + _host;
    if (_ft->_indexDir.empty()) return name;
    return _ft->_indexDir + "/" + name;
}

_IndexEntry* FtRun::findIndex(const std::string& name) {
    auto it = _byName.find(name);
    return it == _byName.end() ? nullptr : &_index[it->second];
}

void FtRun::markSeen(const std::string& name, const struct stat64* st, int type, const char* digest) {
    _IndexEntry* e = findIndex(name);
    if (st == nullptr) {
        if (e != nullptr) e->seen = true;
        return;
    }
    if (e == nullptr) {
        _byName[name] = _index.size();
        _index.emplace_back();
        e = &_index.back();
        e->name = name;
        e->hash = makeHash(name.c_str());
    }
    e->seen = true;
    e->type = type;
    e->size = type == FT_TYPE_FILE ? st->st_size : 0;
    e->mtimeMs = static_cast<long long>(st->st_mtim.tv_sec) * 1000 + st->st_mtim.tv_nsec / 1000000;
    e->digest = digest != nullptr ? digest : "";
}

std::string FtRun::localDigest(const std::string& local, long long size) {
    char digest[33] = "";
    SfsFile* f = nullptr;
    if (_sfs->open(local.c_str(), &f, O_RDONLY, 0, true) == 0) {
        if (md5_file(f, size, digest) != 0) digest[0] = '\0';
        Sfs::dispose(f);
    }
    return digest;
}

void FtRun::keepSubtree(const std::string& rel) {
    if (rel.empty()) {
        for (_IndexEntry& e : _index) e.seen = true;
        return;
    }
    if (_IndexEntry* e = findIndex(rel)) e->seen = true;
    // The names below rel sit together in name order, from rel + "/" on.
    // Entries added after the index was taken are seen already.
    const std::string prefix = rel + "/";
    auto it = std::lower_bound(_sortedIndex.begin(), _sortedIndex.end(), prefix,
                               [this](size_t i, const std::string& p) { return _index[i].name < p; });
    for (; it != _sortedIndex.end() && _index[*it].name.compare(0, prefix.size(), prefix) == 0; ++it)
        _index[*it].seen = true;
}

bool FtRun::readLocalIndex(const std::string& path) {
    SfsFile* f = nullptr;
    if (_sfs->open(path.c_str(), &f, O_RDONLY, 0, true) != 0) {
        log(_debug_ft, LOG_INFO, 0, 0, "Unable to open index file.  Will re-index");
        return false;
    }
    std::string bytes;
    char buf[65536];
    int got;
    while ((got = f->read(buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(got));
    Sfs::dispose(f);
    Message m(bytes.data(), bytes.size());
    std::vector<_IndexEntry> entries;
    for (;;) {
        FtIndexRecord r;
        bool end = false;
        if (r.readStored(&m, &end) != 0) {
            log(_debug_ft, LOG_WARNING, 0, 0, "index file: %s bad or corrupted", path.c_str());
            return false;
        }
        if (end) break;
        _IndexEntry e;
        e.name = r.name;
        e.hash = makeHash(r.name.c_str());
        e.size = r.size;
        e.mtimeMs = r.mtimeMs;
        e.type = r.type;
        e.digest = r.digest;
        e.target = r.target;
        entries.push_back(std::move(e));
    }
    adoptIndex(&entries);
    return true;
}

void FtRun::adoptIndex(std::vector<_IndexEntry>* entries) {
    // One entry per destination path: a name listed again is dropped, or
    // the copy left unseen would be removed as missing from the source.
    // Names that are no plain path below the destination are dropped too:
    // removing one could take the destination itself or what lies beside
    // it, or a protected entry spelled differently.
    _index.clear();
    _byName.clear();
    for (_IndexEntry& e : *entries) {
        if (!plainRelative(e.name)) {
            log(_debug_ft, LOG_WARNING, 0, 0, "FT: index lists '%s', which is no name below the destination; ignored",
                e.name.c_str());
            continue;
        }
        if (_byName.count(e.name) != 0) {
            log(_debug_ft, LOG_DEBUG, 0, 0, "FT: index lists %s again; the first listing counts", e.name.c_str());
            continue;
        }
        _byName[e.name] = _index.size();
        _index.push_back(std::move(e));
    }
    entries->clear();
    _sortedIndex.resize(_index.size());
    for (size_t i = 0; i < _index.size(); i++) _sortedIndex[i] = i;
    std::sort(_sortedIndex.begin(), _sortedIndex.end(),
              [this](size_t a, size_t b) { return _index[a].name < _index[b].name; });
}

void FtRun::keepLocalIndex() {
    ByteSink sink;
    for (const _IndexEntry& e : _index) {
        if (!e.seen) continue;
        FtIndexRecord r;
        r.type = e.type;
        r.name = e.name;
        r.size = e.size;
        r.mtimeMs = e.mtimeMs;
        r.digest = e.digest;
        r.target = e.target;
        r.writeStored(&sink);
    }
    sink.writeInt32(FT_END_OF_LIST);
    // Without the transaction's echo (protocol 1) a peer's refusal of a
    // file may still be on its way: an index written now would list the
    // file as delivered, and the next run would skip it for good.
    if (_s->protocol() >= FT_PROTOCOL_2)
        writeLocalIndex(localIndexPath(), sink.bytes);
    else
        _heldIndexes.emplace_back(localIndexPath(), std::move(sink.bytes));
}

void FtRun::writeHeldIndexes() {
    for (const auto& held : _heldIndexes) writeLocalIndex(held.first, held.second);
    _heldIndexes.clear();
}

int FtRun::writeLocalIndex(const std::string& path, const std::string& bytes) {
    SfsFile* f = nullptr;
    if (_sfs->open(path.c_str(), &f, O_WRONLY | O_CREAT | O_TRUNC, 0644, true) != 0 ||
        f->write(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
        _s->print("\nError: Unable to write index, %s\n    (%d) %s\n", path.c_str(), _sfs->getLastError(), _sfs->getErrorString());
        if (f != nullptr) Sfs::dispose(f);
        return -1;
    }
    Sfs::dispose(f);
    return 0;
}

int FtRun::prepareIndex() {
    if (!_t->modifiedOnly && !(_t->removeMissing && _srcIsDir)) return 0;
    if (keepsLocalIndex()) {
        std::string path = localIndexPath();
        log(_debug_ft, LOG_INFO, 0, 0, "Will use index: %s", path.c_str());
        _s->print("\nWill use index from prior run: %s\n", path.c_str());
        if (readLocalIndex(path)) {
            _haveIndex = true;
            _indexFromFile = true;
            command(FT_INSTALL_IN_PLACE);
            return 0;
        }
    }
    _s->print("\nRetrieving index from destination.\n");
    bool md5 = _s->protocol() >= FT_PROTOCOL_2 && _indexMd5;
    _s->resetIndex();
    command(md5 ? FT_INDEX_START_MD5 : FT_INDEX_START);
    _out->writeString(_destRoot.c_str());
    if (!_s->waitIndex()) {
        _s->print("Index operation failed\n");
        if (!failed() && !_ft->isCanceled()) _s->setError("Protocol error receiving index");
        return -1;
    }
    _s->print("Index received OK.\n");
    std::vector<_IndexEntry> received;
    _s->takeIndex(&received);
    adoptIndex(&received);
    _haveIndex = true;
    return 0;
}

int FtRun::validate() {
    std::vector<std::pair<std::string, std::string>> list;
    list.swap(_t->retryList);
    int pass = 0;
    while (!list.empty() && pass < 5 && !failed()) {
        pass++;
        _s->print("\nWaiting 10 seconds before validation...\n");
        _s->flush();
        for (int i = 0; i < _ft->_validationDelay * 10 && !_ft->isCanceled(); i++) usleep(100000);
        if (_ft->isCanceled()) return -1;
        _s->print("Requesting MD5 sums from remote...\n");
        _s->expectChecksums();
        command(FT_CHECKSUM_REQUEST);
        for (const auto& f : list) {
            _out->writeString(f.first.c_str());
            _out->writeString(f.second.c_str());
        }
        _out->writeString("");
        if (!_s->waitChecksums(&_t->checksums)) return -1;
        _s->print("Validating files list...\n");
        std::vector<std::pair<std::string, std::string>> invalid;
        for (const auto& f : list) {
            struct stat64 st;
            std::string mine = _sfs->stat(f.second.c_str(), &st, true) == 0 ? localDigest(f.second, st.st_size) : "";
            auto it = _t->checksums.find(f.first);
            std::string theirs = it != _t->checksums.end() ? it->second : "";
            if (!mine.empty() && theirs == mine) {
                _s->print("src: %s dst: %s %s (OK)\n", mine.c_str(), theirs.c_str(), f.first.c_str());
                // The destination holds the file as it is now, not as the
                // walk found it.
                noteSent(f.second, st);
            } else {
                _s->print("src: %s dst: %s %s (invalid MD5)\n", mine.c_str(), theirs.c_str(), f.first.c_str());
                invalid.push_back(f);
            }
        }
        list.swap(invalid);
        if (list.empty()) break;
        // Send the invalid ones again, in a file list of their own; the
        // fifth pass too, so that five retries went out before giving up.
        startFileList();
        for (const auto& f : list) {
            struct stat64 st;
            if (_sfs->lstat(f.second.c_str(), &st, true) == 0 && S_ISREG(st.st_mode)) sendFile(f.second, f.first, st, nullptr);
        }
        _t->retryList.clear();
        ftWritePlain(_out, FT_END_OF_FILES);
    }
    if (!list.empty() && !failed()) {
        _s->setError("One or more files were changed after 5 retries");
        return -1;
    }
    return 0;
}

int FtRun::removeMissing() {
    if (!_haveIndex) return 0;
    _s->print("\nRemoving files not found on source...\n");
    // Directories holding a protected entry stay, so that the entry does.
    // Both sets go by the hashes of names and of their beginnings up to a
    // "/", taken in one pass over each name, so that the peer's index costs
    // time in proportion to its size however many folders it lists or how
    // deep they go. A collision in keep only keeps a folder.
    std::unordered_set<uint64_t> keep;
    for (const _IndexEntry& e : _index) {
        if (e.seen) continue;
        if (fmatch(e.name.c_str(), e.type == FT_TYPE_DIRECTORY, _t->filters) != PAT_PROTECT && e.name != "lost+found") continue;
        uint64_t h = kFnvBasis;
        for (char c : e.name) {
            if (c == '/') keep.insert(h);
            h = fnvStep(h, c);
        }
    }
    std::unordered_multimap<uint64_t, const std::string*> removedDirs;
    for (const _IndexEntry& e : _index) {
        if (e.seen || e.name == "lost+found") continue;
        const std::string* within = nullptr;
        uint64_t h = kFnvBasis;
        for (size_t i = 0; i < e.name.size() && within == nullptr; i++) {
            if (e.name[i] == '/') {
                auto range = removedDirs.equal_range(h);
                for (auto it = range.first; it != range.second; ++it)
                    if (it->second->size() == i && e.name.compare(0, i, *it->second) == 0) {
                        within = it->second;
                        break;
                    }
            }
            h = fnvStep(h, e.name[i]);
        }
        if (within != nullptr) {
            log(_debug_ft, LOG_DEBUG, 0, 0, "%s in %s -- skipped", e.name.c_str(), within->c_str());
            continue;
        }
        // Excluded names are not spared: only protection keeps an entry.
        if (fmatch(e.name.c_str(), e.type == FT_TYPE_DIRECTORY, _t->filters) == PAT_PROTECT) continue;
        if (e.type == FT_TYPE_DIRECTORY && keep.count(h) != 0) continue;
        std::string path = std::string(_t->destination) + "/" + (_destRoot == _t->destination ? e.name : _srcBase + "/" + e.name);
        command(FT_REMOVE);
        _out->writeString(path.c_str());
        _s->print("    %s\n", e.name.c_str());
        if (e.type == FT_TYPE_DIRECTORY) removedDirs.emplace(h, &e.name);
    }
    return 0;
}
