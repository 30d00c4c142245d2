// LoginThrottle: slows down password guessing against the directory server.
//
// Failed password checks are counted per user name and peer address. The
// first kFreeFailures in a row cost nothing more than the hashing; after
// them each failure shuts that pair out for a delay that doubles with every
// further failure, from kFirstDelayMs up to kMaxDelayMs. An attempt made
// while shut out is refused as a failed login without its password being
// looked at (which also spares the server the hashing). A success clears
// the count.
//
// Keyed by address as well as name so that someone guessing from elsewhere
// cannot shut a user out everywhere. A pair with no failure for kForgetMs
// is forgotten; the table holds at most kMaxEntries pairs, the forgotten
// ones going first when it is full.
//
// Thread-safety: every operation takes the throttle's lock, taken alone.
#ifndef DRV_TOOLS_DIRD_LOGIN_THROTTLE_H
#define DRV_TOOLS_DIRD_LOGIN_THROTTLE_H

#include <map>
#include <string>
#include <utility>

#include "common/sem.h"
#include "common/thread_annotations.h"

class LoginThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr long long kFirstDelayMs = 1000;
    static constexpr long long kMaxDelayMs = 5 * 60 * 1000;
    static constexpr long long kForgetMs = 30 * 60 * 1000;
    static constexpr size_t kMaxEntries = 100000;

    // Times are in ms of a clock that only moves forward (monotonicMs()).
    // 0 when an attempt of user from peer may be checked now, else how long
    // until it may.
    long long waitMs(const std::string& user, const std::string& peer, long long nowMs) EXCLUDES(_lock);
    // A wrong password (or unknown user) from peer.
    void failed(const std::string& user, const std::string& peer, long long nowMs) EXCLUDES(_lock);
    void succeeded(const std::string& user, const std::string& peer) EXCLUDES(_lock);
    size_t size() EXCLUDES(_lock);

    static long long monotonicMs();

private:
    struct Failures {
        int count = 0;
        long long lastMs = 0;      // the last failure
        long long blockedUntilMs = 0;
    };
    using Key = std::pair<std::string, std::string>;

    // Makes room for one more pair.
    void makeRoomLocked(long long nowMs) REQUIRES(_lock);

    CriticalBlock _lock;
    std::map<Key, Failures> _failures GUARDED_BY(_lock);
};

#endif
