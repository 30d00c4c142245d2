// The credential cache, the lock table, the clock and the counters.
#include "creds/creds_cache.h"

#include <signal.h>
#include <string.h>
#include <time.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "common/log.h"
#include "creds/creds_protocol.h"

namespace {

std::atomic<long long (*)()> _clock{nullptr};

// The kind of entry that answers an operation.
int kindOf(int operation) {
    switch (operation) {
    case CREDS_OP_GROUP_BY_ID:
    case CREDS_OP_GROUP_BY_NAME:
    case CREDS_OP_ALL_GROUPS:
        return CREDS_KIND_GROUP;
    case CREDS_OP_HOST_BY_NAME:
        return CREDS_KIND_HOST;
    default:
        return CREDS_KIND_USER;
    }
}

// Set on an entry that must never be found again; it goes once unused.
const long long kExpired = -(1LL << 40);

// A time this far ahead of the clock means the clock was set back since it
// was taken (a second or so is only two threads reading the clock in turn).
const int kClockStepBack = 2;

// Whether an entry created at `created` is past its lifetime at `now`. One
// from the clock's future has an unknown age: it is stale too, or a clock
// set back by an hour would keep every answer for an hour more.
bool isStale(long long now, long long created) {
    return now - created > kCredsCacheLifetime || created - now > kClockStepBack;
}

}  // namespace

long long credsNow() {
    long long (*now)() = _clock.load(std::memory_order_acquire);
    return now != nullptr ? now() : static_cast<long long>(time(nullptr));
}

void credsSetClock(long long (*now)()) { _clock.store(now, std::memory_order_release); }

CredsCounters _credsCounters;
CredsCache _credsCache;
CredsLockTable _credsLocks;

// ---------------------------------------------------------------------------
// Cache

bool CredsCache::matches(const CredsCacheEntry* e, const char* name, long id, int operation) {
    if (e->kind != kindOf(operation)) return false;
    switch (operation) {
    case CREDS_OP_USER_BY_NAME:
    case CREDS_OP_HOST_BY_NAME:
        return name != nullptr && e->userName == name;
    case CREDS_OP_USER_BY_ID:
        return e->uid == static_cast<uid_t>(id);
    case CREDS_OP_GROUP_BY_NAME:
        return name != nullptr && e->groupName == name;
    case CREDS_OP_GROUP_BY_ID:
        return e->gid == static_cast<gid_t>(id);
    default:
        return false;  // logins and enumerations are never answered from here
    }
}

CredsCacheEntry* CredsCache::find(long long now, const char* name, long id, int operation) {
    CriticalSection hold(_lock);
    CredsCacheEntry** link = &_head;
    while (*link != nullptr) {
        CredsCacheEntry* e = *link;
        if (purgeIfStale(link, now)) continue;
        if (!isStale(now, e->created) && matches(e, name, id, operation)) {
            e->useCount++;
            _credsCounters.cacheHits++;
            log(_debug_creds, LOG_TRACE, 0, 0, "Creds: cache hit");
            return e;
        }
        link = &e->next;
    }
    return nullptr;
}

bool CredsCache::purgeIfStale(CredsCacheEntry** link, long long now) {
    CredsCacheEntry* e = *link;
    if (e->useCount != 0 || !isStale(now, e->created)) return false;
    log(_debug_creds, LOG_TRACE, 0, 0, "Creds: purging cache row, t = %d", static_cast<int>(e->created));
    *link = e->next;
    delete e;
    return true;
}

namespace {

// The keys an entry is found by. Entries from a failed lookup know only the
// key they were asked for: the other is empty (names) or kCredsUnknownId
// (ids), which stands for no key at all.
const std::string& nameOf(const CredsCacheEntry* e) {
    return e->kind == CREDS_KIND_GROUP ? e->groupName : e->userName;
}
bool hasName(const CredsCacheEntry* e) { return !nameOf(e).empty(); }
unsigned idOf(const CredsCacheEntry* e) {
    return e->kind == CREDS_KIND_GROUP ? static_cast<unsigned>(e->gid) : static_cast<unsigned>(e->uid);
}
// A host's uid field is its address, not a key.
bool hasId(const CredsCacheEntry* e) { return e->kind != CREDS_KIND_HOST && idOf(e) != kCredsUnknownId; }

void logAdd(const CredsCacheEntry* entry) {
    if (entry->kind == CREDS_KIND_USER)
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: addCache(USER, t = %d, user = %s, uid = %d, gid = %d)",
            static_cast<int>(entry->created), entry->userName.c_str(), static_cast<int>(entry->uid),
            static_cast<int>(entry->gid));
    else if (entry->kind == CREDS_KIND_GROUP)
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: addCache(GROUP, t = %d, group = %s, gid = %d)",
            static_cast<int>(entry->created), entry->groupName.c_str(), static_cast<int>(entry->gid));
    else
        log(_debug_creds, LOG_DEBUG, 0, 0, "Creds: addCache(HOST, t = %d, host = %s, uid = %x)",
            static_cast<int>(entry->created), entry->userName.c_str(), static_cast<unsigned>(entry->uid));
}

}  // namespace

CredsCacheEntry* CredsCache::add(CredsCacheEntry* entry) {
    logAdd(entry);
    CriticalSection hold(_lock);
    // An older answer for the same key must not be found again; it goes as
    // soon as nobody uses it, as does anything else past its lifetime.
    CredsCacheEntry** link = &_head;
    while (*link != nullptr) {
        CredsCacheEntry* e = *link;
        if (e->kind == entry->kind) {
            bool sameName = hasName(entry) && nameOf(e) == nameOf(entry);
            bool sameId = hasId(entry) && idOf(e) == idOf(entry);
            if (sameName || sameId) e->created = kExpired;
        }
        if (!purgeIfStale(link, entry->created)) link = &e->next;
    }
    entry->useCount = 1;
    entry->next = _head;
    _head = entry;
    return entry;
}

void CredsCache::addAll(std::vector<CredsCacheEntry*>& entries) {
    if (entries.empty()) return;
    const int kind = entries.front()->kind;
    const long long now = entries.front()->created;
    // The keys of the new entries, gathered from the last one back: an
    // entry whose key a later one has is replaced at once.
    std::unordered_set<std::string> names;
    std::unordered_set<unsigned> ids;
    std::vector<CredsCacheEntry*> kept;
    kept.reserve(entries.size());
    for (const CredsCacheEntry* entry : entries) logAdd(entry);
    for (size_t i = entries.size(); i-- > 0;) {
        CredsCacheEntry* entry = entries[i];
        bool replaced =
            (hasName(entry) && names.count(nameOf(entry)) != 0) || (hasId(entry) && ids.count(idOf(entry)) != 0);
        if (hasName(entry)) names.insert(nameOf(entry));
        if (hasId(entry)) ids.insert(idOf(entry));
        if (replaced) {
            delete entry;
        } else {
            kept.push_back(entry);
        }
    }
    entries.clear();
    CriticalSection hold(_lock);
    CredsCacheEntry** link = &_head;
    while (*link != nullptr) {
        CredsCacheEntry* e = *link;
        if (e->kind == kind && ((hasName(e) && names.count(nameOf(e)) != 0) || (hasId(e) && ids.count(idOf(e)) != 0)))
            e->created = kExpired;
        if (!purgeIfStale(link, now)) link = &e->next;
    }
    // kept runs from the last entry back, so the last ends up at the head.
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        CredsCacheEntry* entry = *it;
        entry->useCount = 0;
        entry->next = _head;
        _head = entry;
    }
}

void CredsCache::release(CredsCacheEntry* entry) {
    if (entry == nullptr) return;
    CriticalSection hold(_lock);
    entry->useCount--;
}

void CredsCache::timeoutAll() {
    CriticalSection hold(_lock);
    for (CredsCacheEntry* e = _head; e != nullptr; e = e->next) e->created -= kCredsCacheAgeing;
}

void CredsCache::flush() {
    {
        CriticalSection hold(_lock);
        CredsCacheEntry** link = &_head;
        while (*link != nullptr) {
            CredsCacheEntry* e = *link;
            if (e->useCount == 0) {
                *link = e->next;
                delete e;
            } else {
                link = &e->next;
            }
        }
    }
    log(_debug_creds, LOG_INFO, 0, 0, "Creds: cache flushed");
}

int CredsCache::size() {
    CriticalSection hold(_lock);
    int n = 0;
    for (CredsCacheEntry* e = _head; e != nullptr; e = e->next) n++;
    return n;
}

// ---------------------------------------------------------------------------
// Lock table

int CredsLockTable::lockOrWait(const char* name, long id, int operation) {
    if (name == nullptr) name = "";
    log(_debug_creds, LOG_TRACE, 0, 0, "Creds: lockOrWait: name = %s, id = %d, operation = %d", name,
        static_cast<int>(id), operation);
    CondSection hold(_block);
    for (;;) {
        bool taken = false;
        int free = -1;
        for (int i = 0; i < kSlots; i++) {
            Slot& s = _slots[i];
            if (s.operation == 0) {
                if (free < 0) free = i;
            } else if (s.operation == operation && s.id == id && strncmp(s.name, name, kNameBytes) == 0) {
                taken = true;
                break;
            }
        }
        if (taken) {
            log(_debug_creds, LOG_TRACE, 0, 0, "Creds: lockOrWait: Thread waiting");
            _credsCounters.blocked++;
            _block.wait();
            continue;
        }
        if (free < 0) {
            log(_debug_creds, LOG_WARNING, 0, 0, "Creds: Warning: cred lock table too small");
            return -1;
        }
        Slot& s = _slots[free];
        s.operation = operation;
        s.id = id;
        strncpy(s.name, name, kNameBytes);  // compared on at most kNameBytes, so no terminator needed
        s.pid = 0;
        s.started = 0;
        log(_debug_creds, LOG_TRACE, 0, 0, "Creds: lockOrWait: locking slot %d", free);
        return free;
    }
}

void CredsLockTable::unlock(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    CondSection hold(_block);
    _slots[slot] = Slot();
    _block.broadcast();
}

void CredsLockTable::setChild(int slot, pid_t pid, long long started) {
    if (slot >= kSlots || pid <= 0) return;
    CondSection hold(_block);
    if (slot < 0) {
        _unslotted.push_back({pid, started});
        return;
    }
    _slots[slot].pid = pid;
    _slots[slot].started = started;
}

void CredsLockTable::clearChild(int slot, pid_t pid) {
    if (slot >= kSlots) return;
    CondSection hold(_block);
    if (slot >= 0) {
        _slots[slot].pid = 0;
        _slots[slot].started = 0;
        return;
    }
    for (size_t i = 0; i < _unslotted.size(); i++) {
        if (_unslotted[i].pid != pid) continue;
        _unslotted[i] = _unslotted.back();
        _unslotted.pop_back();
        return;
    }
}

namespace {

// The lookup that owns a recorded child reaps it only after clearing its
// record, so a recorded pid cannot belong to anyone else yet.
void killHung(pid_t pid) {
    log(_debug_creds, LOG_WARNING, 0, 0, "Creds: credSafetyTimer will kill sub-process %d. it's seems to have hung",
        static_cast<int>(pid));
    kill(pid, SIGKILL);
}

}  // namespace

int CredsLockTable::killHungChildren(long long now, int limitSeconds) {
    int killed = 0;
    CondSection hold(_block);
    // A start well in the clock's future means the clock was set back: the
    // child is timed from now on, so that it is not spared for as long as
    // the step.
    for (Slot& s : _slots) {
        if (s.started - now > kClockStepBack) s.started = now;
        if (s.operation == 0 || s.pid <= 0 || now - s.started <= limitSeconds) continue;
        killHung(s.pid);
        s.pid = 0;
        s.started = 0;
        killed++;
    }
    for (size_t i = 0; i < _unslotted.size();) {
        if (_unslotted[i].started - now > kClockStepBack) _unslotted[i].started = now;
        if (now - _unslotted[i].started <= limitSeconds) {
            i++;
            continue;
        }
        killHung(_unslotted[i].pid);
        _unslotted[i] = _unslotted.back();
        _unslotted.pop_back();
        killed++;
    }
    return killed;
}

int CredsLockTable::slotsInUse() {
    CondSection hold(_block);
    int n = 0;
    for (const Slot& s : _slots)
        if (s.operation != 0) n++;
    return n;
}
