// The credential lookups' shared state: the clock they age by, the cache of
// answers (300 seconds), the lock table that lets only one lookup per key
// run at a time, and the counters of the statistics line.
//
// Ownership: the cache owns its entries. find and add hand out an entry with
// its use count raised; the caller gives it back with release, and an entry
// in use is never freed (an expired one waits until its last user is done).
//
// Thread-safety: CredsCache is guarded by its own CriticalBlock, the lock
// table by its CondBlock; neither is held while the other is taken, and only
// the log writers' lock is taken under either. The counters and the clock
// are atomics.
#ifndef DRV_CREDS_CREDS_CACHE_H
#define DRV_CREDS_CREDS_CACHE_H

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/sem.h"

// ---- Clock ----

// Seconds since the epoch as the lookups see them: the system's, unless a
// test has put its own clock in.
long long credsNow();
// For tests: now() replaces the system clock; null restores it.
void credsSetClock(long long (*now)());

// ---- Counters ----

struct CredsCounters {
    std::atomic<int> lookups{0};    // children started
    std::atomic<int> cacheHits{0};  // answers taken from the cache
    std::atomic<int> blocked{0};    // waits on the lock table
};
extern CredsCounters _credsCounters;

// ---- Cache ----

// What an entry describes.
enum CredsKind { CREDS_KIND_USER = 1, CREDS_KIND_GROUP = 2, CREDS_KIND_HOST = 3 };

// The id an entry of a failed lookup by name carries: it matches no real
// user or group.
const unsigned kCredsUnknownId = static_cast<unsigned>(-1);

// An answer is fresh for this many seconds.
const int kCredsCacheLifetime = 300;
// timeoutCredsCache ages every entry by this much.
const int kCredsCacheAgeing = 10000;

struct CredsCacheEntry {
    long long created = 0;  // seconds (credsNow)
    int kind = CREDS_KIND_USER;
    bool noExist = false;  // the child found no such entry
    bool error = false;    // the child failed
    int useCount = 0;
    // A user's fields; a host keeps its name in userName and its IPv4
    // address (network order) in uid.
    std::string userName;
    uid_t uid = 0;
    std::string home;
    gid_t gid = 0;
    std::string groupName;
    std::vector<gid_t> groups;
    CredsCacheEntry* next = nullptr;
};

class CredsCache {
public:
    // Lives as long as the process (threads may look things up while it
    // exits), so entries are never torn down.
    CredsCache() = default;
    CredsCache(const CredsCache&) = delete;
    CredsCache& operator=(const CredsCache&) = delete;

    // The freshest matching entry for the operation's key, its use count
    // raised, or null. Entries older than kCredsCacheLifetime, or from the
    // clock's future (it was set back since), are removed on the way when
    // unused and skipped otherwise.
    CredsCacheEntry* find(long long now, const char* name, long id, int operation);
    // Takes ownership of a new entry: marks older entries with the same kind
    // and name or id as expired, puts it at the head with a use count of 1.
    // Unused entries past their lifetime are removed on the way.
    CredsCacheEntry* add(CredsCacheEntry* entry);
    // The same for many new entries of one kind in one pass over the cache
    // (an enumeration's groups), as if added in order and released at once:
    // a later entry replaces an earlier one with the same name or id.
    void addAll(std::vector<CredsCacheEntry*>& entries);
    // Lowers the use count of an entry from find or add.
    void release(CredsCacheEntry* entry);
    // Ages every entry by kCredsCacheAgeing seconds.
    void timeoutAll();
    // Removes every entry not in use.
    void flush();
    // For tests and statistics.
    int size();

private:
    static bool matches(const CredsCacheEntry* e, const char* name, long id, int operation);
    // Unlinks and frees *link when it is unused and stale at now; true if so.
    bool purgeIfStale(CredsCacheEntry** link, long long now) REQUIRES(_lock);

    CriticalBlock _lock{LOCK_RANK_NONE, kProcessLifetime};
    CredsCacheEntry* _head GUARDED_BY(_lock) = nullptr;
};

// The process's cache.
extern CredsCache _credsCache;

// ---- Lock table ----

class CredsLockTable {
public:
    static const int kSlots = 60;
    static const int kNameBytes = 20;

    CredsLockTable() = default;
    CredsLockTable(const CredsLockTable&) = delete;
    CredsLockTable& operator=(const CredsLockTable&) = delete;

    // Waits while another thread holds the key (counted as blocked), then
    // takes the first free slot and returns its index. With every slot
    // taken, warns and returns -1: the caller goes on without one.
    int lockOrWait(const char* name, long id, int operation);
    // Frees a slot from lockOrWait (-1 is ignored) and wakes every waiter.
    void unlock(int slot);
    // Records the child a lookup runs, and its start time, so that a hung
    // one is killed. A lookup without a slot (-1) is recorded apart: a full
    // table loses only the coalescing of lookups, not the watchdog.
    void setChild(int slot, pid_t pid, long long started);
    // Forgets the child; call it before the child is reaped, so that its
    // pid is never killed once another process may have it.
    void clearChild(int slot, pid_t pid);
    // SIGKILLs every recorded child started more than limitSeconds before
    // now and forgets it; returns how many. A start after now (the clock was
    // set back) is moved to now.
    int killHungChildren(long long now, int limitSeconds);
    // Slots taken.
    int slotsInUse();

private:
    struct Slot {
        int operation = 0;  // 0: free
        long id = 0;
        char name[kNameBytes] = {};
        pid_t pid = 0;
        long long started = 0;
    };

    struct Child {
        pid_t pid;
        long long started;
    };

    CondBlock _block{kProcessLifetime};
    Slot _slots[kSlots] GUARDED_BY(_block);
    std::vector<Child> _unslotted GUARDED_BY(_block);
};

extern CredsLockTable _credsLocks;

#endif
