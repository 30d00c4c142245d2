#include "host/demo_provider.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "common/daemon_thread.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/search_helper.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "hostrt/dravika.h"

const char* const MountProvider::kClass = "mount";

namespace {

// The table escapes blanks and backslashes in its fields as octal "\040".
std::string unescape(const char* field) {
    std::string out;
    for (const char* p = field; *p != '\0'; p++) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
            out += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 3;
        } else {
            out += *p;
        }
    }
    return out;
}

bool readOnly(const std::string& options) {
    return options == "ro" || options.compare(0, 3, "ro,") == 0;
}

bool now(struct timespec* t) {
    return clock_gettime(CLOCK_MONOTONIC, t) == 0;
}

double secondsSince(const struct timespec& start) {
    struct timespec t;
    now(&t);
    return static_cast<double>(t.tv_sec - start.tv_sec) + (t.tv_nsec - start.tv_nsec) / 1e9;
}

// Walks a file system for a limited time, without crossing into others.
struct Scan {
    dev_t device;
    double limit;
    struct timespec start;
    long long files = 0, directories = 0, bytes = 0;
    bool cutShort = false;
    long long requestId;
    double lastReport = 0;

    void walk(const std::string& dir, int depth) {
        if (cutShort) return;
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return;
        directories++;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            double spent = secondsSince(start);
            if (spent >= limit) {
                cutShort = true;
                break;
            }
            if (requestId != 0 && spent - lastReport >= 0.5) {
                lastReport = spent;
                char text[120];
                snprintf(text, sizeof text, "%lld files, %lld bytes", files, bytes);
                Directory::executeUpdated(requestId, new ExecuteUpdate(1, spent / limit, text));
            }
            std::string path = dir == "/" ? "/" + std::string(e->d_name) : dir + "/" + e->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0 || st.st_dev != device) continue;
            if (S_ISDIR(st.st_mode)) {
                if (depth < 64) walk(path, depth + 1);
            } else {
                files++;
                bytes += st.st_size;
            }
        }
        closedir(d);
    }

    Attributes* outcome() const {
        Attributes* a = new Attributes();
        a->setAttribute("files", files);
        a->setAttribute("directories", directories);
        a->setAttribute("bytes", bytes);
        a->setAttribute("complete", !cutShort);
        return a;
    }
};

// Runs one scan off the execution thread and completes the request by id;
// counted among the provider's running scans until it answers.
class ScanThread : public DaemonThread {
public:
    ScanThread(const std::string& path, double seconds, long long requestId,
               std::shared_ptr<std::atomic<int>> running)
        : _path(path), _running(std::move(running)) {
        _scan.limit = seconds;
        _scan.requestId = requestId;
        setName("mount-scan");
        // Ends on its own and deletes itself; nobody joins it.
        setDetached();
    }
    void run() override {
        setInitialized();
        FutureResult* done = new FutureResult(nullptr);
        struct stat st;
        if (stat(_path.c_str(), &st) != 0) {
            done->error = DirError::E_OBJECT_NOT_FOUND;
            done->failed = true;
        } else {
            _scan.device = st.st_dev;
            now(&_scan.start);
            _scan.walk(_path, 0);
            Any* value = new Any();
            value->setObject(_scan.outcome());
            done->result = value;
        }
        done->complete = true;
        // Before the answer, so that whoever takes it may scan again at once.
        (*_running)--;
        Directory::executeComplete(_scan.requestId, done);
    }

private:
    std::string _path;
    Scan _scan;
    std::shared_ptr<std::atomic<int>> _running;
};

double argSeconds(Any** args) {
    double seconds = MountProvider::kDefaultScanSeconds;
    if (args != nullptr && args[0] != nullptr) {
        double v;
        if (args[0]->convertToDouble(v) && v >= 0 && v <= 3600) seconds = v;
    }
    return seconds;
}

void addStatvfs(Attributes* a, const std::string& path) {
    struct statvfs s;
    if (statvfs(path.c_str(), &s) != 0) return;
    long long unit = static_cast<long long>(s.f_frsize);
    a->setAttribute("size", static_cast<long long>(s.f_blocks) * unit);
    a->setAttribute("free", static_cast<long long>(s.f_bfree) * unit);
    a->setAttribute("available", static_cast<long long>(s.f_bavail) * unit);
    a->setAttribute("files", static_cast<long long>(s.f_files));
    a->setAttribute("filesFree", static_cast<long long>(s.f_ffree));
}

}  // namespace

DirNameEntry* mountEntry(const MountProvider::Mount& m) {
    return new DirNameEntry(MountProvider::kClass, "path", m.path.c_str());
}

Attributes* mountAttributes(const MountProvider::Mount& m) {
    Attributes* a = new Attributes();
    a->setAttribute("path", m.path.c_str());
    a->setAttribute("device", m.device.c_str());
    a->setAttribute("type", m.type.c_str());
    a->setAttribute("options", m.options.c_str());
    a->setAttribute("readOnly", readOnly(m.options));
    return a;
}

// Re-reads the table every second until told to stop.
class MountWatcher : public DaemonThread {
public:
    explicit MountWatcher(MountProvider* provider) : _provider(provider), _stop(false) {
        setName("mount-watch");
        setDeleteOnExit(false);
    }
    void run() override {
        setInitialized();
        CondSection hold(_wake);
        while (!_stop) {
            _wake.wait(1000);
            if (_stop) break;
            _wake.unlock();
            _provider->checkForChanges();
            _wake.lock();
        }
    }
    void stop() {
        {
            CondSection hold(_wake);
            _stop = true;
            _wake.signal();
        }
        join();
    }

private:
    MountProvider* _provider;
    CondBlock _wake;
    bool _stop GUARDED_BY(_wake);
};

MountProvider::MountProvider(const char* table) : _table(table != nullptr ? table : ""), _watcher(nullptr) {
    CriticalSection hold(_lastLock);
    for (const Mount& m : readTable()) _last[m.path] = m;
}

MountProvider::~MountProvider() {
    stop();
}

void MountProvider::stop() {
    if (_watcher == nullptr) return;
    _watcher->stop();
    delete _watcher;
    _watcher = nullptr;
}

int MountProvider::start() {
    int rv = HostSPI::federate(kClass, false, this);
    if (_watcher == nullptr) {
        _watcher = new MountWatcher(this);
        _watcher->start();
    }
    return rv;
}

std::vector<MountProvider::Mount> MountProvider::readTable() const {
    std::vector<Mount> out;
    FILE* f = fopen(_table.c_str(), "r");
    if (f == nullptr) return out;
    // Lines have no length limit: an overlay mount with many layers carries
    // kilobytes of options, and a cut line would read as further mounts.
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, f) != -1) {
        char* save = nullptr;
        char* device = strtok_r(line, " \t\n", &save);
        char* path = strtok_r(nullptr, " \t\n", &save);
        char* type = strtok_r(nullptr, " \t\n", &save);
        char* options = strtok_r(nullptr, " \t\n", &save);
        if (device == nullptr || path == nullptr || type == nullptr) continue;
        Mount m{unescape(device), unescape(path), type, options != nullptr ? options : ""};
        // A later mount on the same point hides the earlier one.
        bool replaced = false;
        for (Mount& o : out)
            if (o.path == m.path) {
                o = m;
                replaced = true;
            }
        if (!replaced) out.push_back(m);
    }
    free(line);
    fclose(f);
    return out;
}

void MountProvider::checkForChanges() {
    std::map<std::string, Mount> now;
    for (const Mount& m : readTable()) now[m.path] = m;
    std::vector<Mount> added, removed, changed;
    {
        CriticalSection hold(_lastLock);
        for (const auto& [path, m] : now) {
            auto it = _last.find(path);
            if (it == _last.end())
                added.push_back(m);
            else if (it->second.device != m.device || it->second.type != m.type || it->second.options != m.options)
                changed.push_back(m);
        }
        for (const auto& [path, m] : _last)
            if (now.find(path) == now.end()) removed.push_back(m);
        _last.swap(now);
    }
    // Told outside the table lock: listeners run under the listener locks.
    auto tell = [this](const std::vector<Mount>& mounts, int kind) {
        for (const Mount& m : mounts) {
            DirNameEntry* e = mountEntry(m);
            Attributes* a = mountAttributes(m);
            if (kind == 0) {
                notifyDirectoryAdd(e, a, nullptr);
            } else if (kind == 1) {
                notifyDirectoryModified(e, a, nullptr);
            } else {
                notifyDirectoryDelete(e, a);
            }
            delete e;
            delete a;
        }
    };
    tell(added, 0);
    tell(changed, 1);
    tell(removed, 2);
}

bool MountProvider::findMount(const std::string& path, Mount* out) const {
    for (const Mount& m : readTable())
        if (m.path == path) {
            *out = m;
            return true;
        }
    return false;
}

bool MountProvider::findMount(const DirectoryObject* object, Mount* out) const {
    if (object == nullptr || object->value == nullptr || object->value->getString() == nullptr) return false;
    return findMount(std::string(object->value->getString()), out);
}

int MountProvider::resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                           DirectoryObject*& out) {
    out = nullptr;
    const char* className = entry != nullptr ? entry->getClassName() : nullptr;
    if (className == nullptr || strcmp(className, kClass) != 0) return 0;
    const char* path = entry->getStringAttributeValue("path");
    Mount m;
    if (path == nullptr || !findMount(std::string(path), &m)) return 0;
    out = new DirectoryObject(getDomainGuid(), new Any(m.path.c_str()));
    return 0;
}

int MountProvider::search(const Endpoint*, const Principal*, SearchHelper* helper, DirectoryObject*,
                          const DirNameEntry*, char*, DirectoryEnumeration* result) {
    if (helper == nullptr || result == nullptr || !helper->classMatches(kClass)) return 0;
    for (const Mount& m : readTable()) {
        DirNameEntry* e = mountEntry(m);
        Attributes* all = mountAttributes(m);
        addStatvfs(all, m.path);
        if (!helper->attributesMatch(e, all)) {
            delete e;
            delete all;
            continue;
        }
        Attributes* wanted = new Attributes();
        // The set is newest first: walk it oldest first to keep its order.
        std::vector<Attributes::AttrList*> entries;
        for (Attributes::AttrList* a = all->head; a != nullptr; a = a->next) entries.push_back(a);
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
            if (helper->shouldAddAttribute((*it)->name)) wanted->addAttribute((*it)->name, new Any(*(*it)->getValue()));
        delete all;
        result->append(e, wanted, nullptr);
    }
    return 0;
}

int MountProvider::execute(const Principal*, DirectoryObject* object, const char* operation, Any** args,
                           FutureResult* result) {
    Mount m;
    if (!findMount(object, &m)) return DirError::E_OBJECT_NOT_FOUND;
    if (operation != nullptr && strcmp(operation, "stat") == 0) {
        Attributes* a = mountAttributes(m);
        addStatvfs(a, m.path);
        Any* value = new Any();
        value->setObject(a);
        result->setResult(value);
        return 0;
    }
    if (operation != nullptr && strcmp(operation, "scan") == 0) {
        double seconds = argSeconds(args);
        long long requestId = ExecHelper::runningRequestId();
        if (requestId == 0) {
            // Not run by the execution thread: nobody could take progress
            // or a late answer, so scan here and answer at once.
            Scan scan;
            struct stat st;
            if (stat(m.path.c_str(), &st) != 0) return DirError::E_OBJECT_NOT_FOUND;
            scan.device = st.st_dev;
            scan.limit = seconds;
            scan.requestId = 0;
            now(&scan.start);
            scan.walk(m.path, 0);
            Any* value = new Any();
            value->setObject(scan.outcome());
            result->setResult(value);
            return 0;
        }
        if (++*_scans > _maxScans) {
            (*_scans)--;
            return DirError::E_NO_RESOURCE;
        }
        // The answer comes later, by request id, from the scanning thread;
        // this result stays incomplete.
        ScanThread* t = new ScanThread(m.path, seconds, requestId, _scans);
        if (t->start() != 0) {
            delete t;
            (*_scans)--;
            return DirError::E_NO_RESOURCE;
        }
        return 0;
    }
    return DirError::E_NOT_IMPLEMENTED;
}

int MountProvider::getAttributes(const Principal*, DirectoryObject* object, Attributes*& out) {
    out = nullptr;
    Mount m;
    if (!findMount(object, &m)) return DirError::E_OBJECT_NOT_FOUND;
    out = mountAttributes(m);
    addStatvfs(out, m.path);
    return 0;
}

int MountProvider::getAcl(const Principal*, DirectoryObject* object, Acl*& out) {
    out = nullptr;
    Mount m;
    if (!findMount(object, &m)) return DirError::E_OBJECT_NOT_FOUND;
    struct stat st;
    if (stat(m.path.c_str(), &st) != 0) return DirError::E_IO;
    char owner[64], group[64];
    struct passwd* pw = getpwuid(st.st_uid);
    struct group* gr = getgrgid(st.st_gid);
    snprintf(owner, sizeof owner, "%s", pw != nullptr ? pw->pw_name : std::to_string(st.st_uid).c_str());
    snprintf(group, sizeof group, "%s", gr != nullptr ? gr->gr_name : std::to_string(st.st_gid).c_str());
    // Kind, owners, group owners, the mode, then one entry for the owner.
    char text[400];
    snprintf(text, sizeof text, "U`%s`%s`%o``A,%s@local/u,read%s", owner, group,
             static_cast<unsigned>(st.st_mode & 07777), owner, readOnly(m.options) ? "" : ",write");
    out = new Acl(text);
    return 0;
}

int MountProvider::list(const Principal*, DirectoryObject*, ClassEnumeration* result) {
    if (result != nullptr) result->append(kClass);
    return 0;
}

char* MountProvider::toString() const {
    return strdup("mount provider");
}
