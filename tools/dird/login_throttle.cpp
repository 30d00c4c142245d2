#include "tools/dird/login_throttle.h"

#include <algorithm>

#include "common/os.h"

long long LoginThrottle::monotonicMs() {
    return ::monotonicMs();
}

long long LoginThrottle::waitMs(const std::string& user, const std::string& peer, long long nowMs) {
    CriticalSection hold(_lock);
    auto it = _failures.find(Key(user, peer));
    if (it == _failures.end()) return 0;
    return std::max(0LL, it->second.blockedUntilMs - nowMs);
}

void LoginThrottle::failed(const std::string& user, const std::string& peer, long long nowMs) {
    CriticalSection hold(_lock);
    Key key(user, peer);
    auto it = _failures.find(key);
    if (it == _failures.end()) {
        if (_failures.size() >= kMaxEntries) makeRoomLocked(nowMs);
        it = _failures.emplace(key, Failures()).first;
    } else if (nowMs - it->second.lastMs >= kForgetMs) {
        it->second = Failures();
    }
    Failures& f = it->second;
    f.count++;
    f.lastMs = nowMs;
    if (f.count > kFreeFailures) {
        int doublings = std::min(f.count - kFreeFailures - 1, 20);
        f.blockedUntilMs = nowMs + std::min(kMaxDelayMs, kFirstDelayMs << doublings);
    }
}

void LoginThrottle::succeeded(const std::string& user, const std::string& peer) {
    CriticalSection hold(_lock);
    _failures.erase(Key(user, peer));
}

size_t LoginThrottle::size() {
    CriticalSection hold(_lock);
    return _failures.size();
}

void LoginThrottle::makeRoomLocked(long long nowMs) {
    for (auto it = _failures.begin(); it != _failures.end();) {
        if (nowMs - it->second.lastMs >= kForgetMs && it->second.blockedUntilMs <= nowMs)
            it = _failures.erase(it);
        else
            ++it;
    }
    // Still full: the pair whose last failure is oldest goes.
    if (_failures.size() >= kMaxEntries) {
        auto oldest = std::min_element(_failures.begin(), _failures.end(), [](const auto& a, const auto& b) {
            return a.second.lastMs < b.second.lastMs;
        });
        _failures.erase(oldest);
    }
}
