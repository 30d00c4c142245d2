// MountProvider: the host stand-in's own directory provider, serving the
// machine's mounted file systems as objects of class "mount" (named by
// their mount point: mount:path="/"), so that every path of the directory
// can be exercised against real data:
//   resolve        mount:path=... to an object (15 when nothing is mounted there)
//   search         every mount passing the SearchHelper's class and attribute
//                  filters, with the attributes the caller asked for
//   getAttributes  path, device, type, options, readOnly, and the sizes
//                  that statvfs reports (size, free, available, files, filesFree)
//   getAcl         the mount point's owner, group and mode
//   list           the class it serves
//   execute        "stat" (at once: the sizes) and "scan" (walks the file
//                  system for up to N seconds, default 3, reporting progress,
//                  and answers files, bytes, directories and whether it got
//                  through the whole tree; each on a thread of its own, at
//                  most kMaxScans at once, others refused with 39)
//   listeners      a watcher re-reads the mount table every second and
//                  reports mounts added, removed or changed
// The table is read from /proc/self/mounts, or from another file in the
// same format (tests).
//
// Thread-safety: the slots may be called from any thread at once; the last
// table seen is guarded by the provider's table lock. The watcher and the
// scan threads own nothing but their own records.
#ifndef DRV_HOST_DEMO_PROVIDER_H
#define DRV_HOST_DEMO_PROVIDER_H

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/sem.h"
#include "dir/directory_spi.h"

class MountWatcher;

class MountProvider : public DirectorySPI {
public:
    static const char* const kClass;  // "mount"
    static const int kDefaultScanSeconds = 3;
    // Scans running at once: each holds a thread for up to an hour, and
    // remote clients may ask for as many as they like.
    static const int kMaxScans = 8;

    struct Mount {
        std::string device;
        std::string path;
        std::string type;
        std::string options;
    };

    explicit MountProvider(const char* table = "/proc/self/mounts");
    ~MountProvider() override;

    // Federates the provider under "mount" and starts the watcher; the
    // host's federation result.
    int start();
    // Stops the watcher (the provider stays federated and answers on).
    void stop();
    // Re-reads the table and reports what changed since the last reading.
    void checkForChanges();
    // The table as it is now (unreadable: empty).
    std::vector<Mount> readTable() const;
    // Another cap on the scans running at once (tests).
    void setMaxScans(int n) { _maxScans = n; }

    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result) override;
    char* toString() const override;

private:
    // The mount of an object this provider resolved, or false.
    bool findMount(const DirectoryObject* object, Mount* out) const;
    bool findMount(const std::string& path, Mount* out) const;

    std::string _table;
    CriticalBlock _lastLock;
    std::map<std::string, Mount> _last GUARDED_BY(_lastLock);
    MountWatcher* _watcher;
    // Scans running: shared with their threads, which may outlive the provider.
    std::shared_ptr<std::atomic<int>> _scans = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> _maxScans{kMaxScans};
};

// The entry and attribute set describing one mount, as search and change
// notification report it.
DirNameEntry* mountEntry(const MountProvider::Mount& m);
Attributes* mountAttributes(const MountProvider::Mount& m);

#endif
