// The descriptor side of the event loop: the descriptor list, one watch per
// descriptor number kept registered in the context's epoll set between
// passes, and the ready set that a pass dispatches.
//
// Several events may share a descriptor (a connection reads and writes one
// socket); epoll takes a descriptor once, so its watch registers the union
// of what the enabled events want and each report is shared out among them
// as poll would have reported it to each. Changes (new events, enabling,
// disabling) are applied just before the next wait, so that an event
// toggled within a pass costs nothing; removing a descriptor's last event
// deletes its registration at once, because the caller may close it next.
//
// Every registration's reports carry its descriptor and a generation. A
// report whose generation is not the watch's current one comes from a
// registration that outlived its descriptor (closed while still registered,
// its file kept open elsewhere), which no epoll_ctl can reach any more: the
// set is then built anew.
//
// Only the owning thread runs this code; no lock.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "common/log.h"
#include "common/thread_context.h"

namespace {

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR && EPOLLHUP == POLLHUP,
              "epoll reports are read as poll's revents");

// The nudge pipe's reports carry generation 0, which no watch uses.
uint64_t reportTag(int fd, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

// epoll_pwait2 (microsecond time-outs) is missing on kernels before 5.11.
std::atomic<bool> _pwait2Missing{false};

bool readsKind(int kind) {
    return (kind & (FdEvent::KIND_READ | FdEvent::KIND_READ_LIKE)) != 0;
}

bool writesKind(int kind) {
    return (kind & FdEvent::KIND_WRITE) != 0;
}

}  // namespace

void ThreadContext::grow(size_t fd) {
    if (_watchSize >= fd + 5) return;
    size_t size = fd + 100;
    auto* grown = static_cast<Watch*>(realloc(_watches, size * sizeof(Watch)));
    if (grown == nullptr) return;  // keeps the old table; the caller's descriptor goes unwatched
    memset(grown + _watchSize, 0, (size - _watchSize) * sizeof(Watch));
    _watches = grown;
    _watchSize = size;
}

void ThreadContext::appendFd(FdEvent* e) {
    e->_prev = _fdTail;
    if (_fdTail != nullptr)
        _fdTail->_next = e;
    else
        _fdHead = e;
    _fdTail = e;
    e->_listOrder = ++_nextListOrder;
    if (e->_fd < 0 || static_cast<size_t>(e->_fd) >= _watchSize) return;
    Watch& w = _watches[e->_fd];
    e->_sameFdNext = w.events;
    if (w.events != nullptr) w.events->_sameFdPrev = e;
    w.events = e;
    // The descriptor number may have been closed and reused since the
    // registration was made (or since epoll refused it); the next sync checks
    // with the kernel.
    if (w.state != UNWATCHED) w.verify = true;
    markChanged(e->_fd);
}

void ThreadContext::detachFd(FdEvent* e) {
    if (e->_prev != nullptr)
        e->_prev->_next = e->_next;
    else
        _fdHead = e->_next;
    if (e->_next != nullptr)
        e->_next->_prev = e->_prev;
    else
        _fdTail = e->_prev;
    e->_next = nullptr;
    e->_prev = nullptr;
}

void ThreadContext::unlinkFd(FdEvent* e) {
    detachFd(e);
    _fdListChanged = true;
    if (e->_readyIndex >= 0) {
        _ready[e->_readyIndex] = nullptr;
        e->_readyIndex = -1;
    }
    int fd = e->_fd;
    if (fd < 0 || static_cast<size_t>(fd) >= _watchSize) return;
    Watch& w = _watches[fd];
    if (w.events != e && e->_sameFdPrev == nullptr) return;  // never watched: the table was full
    if (e->_sameFdPrev != nullptr)
        e->_sameFdPrev->_sameFdNext = e->_sameFdNext;
    else
        w.events = e->_sameFdNext;
    if (e->_sameFdNext != nullptr) e->_sameFdNext->_sameFdPrev = e->_sameFdPrev;
    e->_sameFdNext = nullptr;
    e->_sameFdPrev = nullptr;
    if (w.events != nullptr) {
        markChanged(fd);
        return;
    }
    if (w.state == IN_EPOLL) {
        // Fails harmlessly when the descriptor is already closed.
        epollControl(EPOLL_CTL_DEL, fd, 0, 0);
        _inEpoll--;
    } else if (w.state == ALWAYS_READY) {
        _alwaysReadyFds.erase(std::find(_alwaysReadyFds.begin(), _alwaysReadyFds.end(), fd));
    }
    w.state = UNWATCHED;
    w.registered = 0;
    w.verify = false;
}

void FdEvent::settleBeforeClose() {
    if (_fd < 0 || static_cast<size_t>(_fd) >= _tc->_watchSize || !_tc->_watches[_fd].changed) return;
    // Stays in the changed list; the next pass finds nothing left to do.
    _tc->syncWatch(_fd);
}

void ThreadContext::markChanged(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= _watchSize) return;
    Watch& w = _watches[fd];
    if (w.changed) return;
    w.changed = true;
    _changedFds.push_back(fd);
}

uint32_t ThreadContext::wantedEvents(const Watch& w) const {
    uint32_t wanted = 0;
    for (FdEvent* e = w.events; e != nullptr; e = e->_sameFdNext) {
        if (!e->_enabled) continue;
        if (readsKind(e->_kind)) wanted |= EPOLLIN;
        if (writesKind(e->_kind)) wanted |= EPOLLOUT;
    }
    return wanted;
}

int ThreadContext::epollControl(int op, int fd, uint32_t events, uint32_t generation) {
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = events;
    ev.data.u64 = reportTag(fd, generation);
    return epoll_ctl(_epollFd, op, fd, &ev);
}

void ThreadContext::syncWatches() {
    size_t kept = 0;
    for (int fd : _changedFds) {
        if (syncWatch(fd))
            _watches[fd].changed = false;
        else
            _changedFds[kept++] = fd;
    }
    _changedFds.resize(kept);
}

bool ThreadContext::syncWatch(int fd) {
    Watch& w = _watches[fd];
    uint32_t wanted = wantedEvents(w);
    if (w.state == ALWAYS_READY) {
        // Its readiness is worked out every pass, as long as an enabled event
        // wants it and the number still names the file epoll refused. Once
        // nothing wants it, it may be closed and its number reused for a file
        // epoll takes; after an event was added, it may have been already.
        if (wanted != 0 && !w.verify) return true;
        _alwaysReadyFds.erase(std::find(_alwaysReadyFds.begin(), _alwaysReadyFds.end(), fd));
        w.state = UNWATCHED;
    }
    if (w.state == IN_EPOLL) {
        if (wanted == 0) {
            epollControl(EPOLL_CTL_DEL, fd, 0, 0);
            _inEpoll--;
            w.state = UNWATCHED;
            w.registered = 0;
            w.verify = false;
            return true;
        }
        if (wanted == w.registered && !w.verify) return true;
        w.verify = false;
        if (epollControl(EPOLL_CTL_MOD, fd, wanted, w.generation) == 0) {
            w.registered = wanted;
            return true;
        }
        // ENOENT: the number now names a file that was never registered;
        // otherwise the descriptor is gone. Either way, start over.
        _inEpoll--;
        w.state = UNWATCHED;
        w.registered = 0;
        if (errno != ENOENT) return true;
    }
    if (wanted == 0) return true;
    w.verify = false;
    if (++_nextGeneration == 0) _nextGeneration = 1;
    uint32_t generation = _nextGeneration;
    if (epollControl(EPOLL_CTL_ADD, fd, wanted, generation) == 0 ||
        (errno == EEXIST && epollControl(EPOLL_CTL_MOD, fd, wanted, generation) == 0)) {
        w.state = IN_EPOLL;
        w.registered = wanted;
        w.generation = generation;
        _inEpoll++;
        return true;
    }
    if (errno == EPERM) {
        // Regular files and the like: poll calls them always ready.
        w.state = ALWAYS_READY;
        _alwaysReadyFds.push_back(fd);
        return true;
    }
    // Short of memory or over the watch limit: try again before the next
    // wait. A bad descriptor is left alone until its events change, as poll
    // would never have reported it ready either.
    return errno != ENOMEM && errno != ENOSPC;
}

void ThreadContext::rebuildEpoll() {
    int fresh = epoll_create1(EPOLL_CLOEXEC);
    if (fresh < 0 && _epollFd < 0) {
        log(errno, "Unable to create the epoll set of ThreadContext.  Cannot Continue");
        exit(1);
    }
    if (fresh < 0) return;  // keeps the old set, stale registration and all
    if (_epollFd >= 0) close(_epollFd);
    _epollFd = fresh;
    if (epollControl(EPOLL_CTL_ADD, _nudgeRead, EPOLLIN | EPOLLET, 0) != 0) {
        log(errno, "Unable to create the epoll set of ThreadContext.  Cannot Continue");
        exit(1);
    }
    _inEpoll = 0;
    for (FdEvent* e = _fdHead; e != nullptr; e = e->_next) {
        if (e->_fd < 0 || static_cast<size_t>(e->_fd) >= _watchSize) continue;
        Watch& w = _watches[e->_fd];
        if (w.state == IN_EPOLL) {
            w.state = UNWATCHED;
            w.registered = 0;
        }
        markChanged(e->_fd);
    }
}

int ThreadContext::waitForEvents(long long waitMicros) {
    for (int fd : _alwaysReadyFds) {
        if (wantedEvents(_watches[fd]) != 0) {
            waitMicros = 0;
            break;
        }
    }
    // Room for every registration and the pipe: one wait sees all that is
    // ready, as one poll did.
    if (_reports.size() < _inEpoll + 1) _reports.resize(_inEpoll + 1);
    int room = static_cast<int>(std::min<size_t>(_reports.size(), INT_MAX / sizeof(struct epoll_event)));
    // epoll_wait for waits in whole milliseconds (no wait at all, above all,
    // which a busy loop does every pass): it is the cheaper call.
    if (waitMicros > 0 && waitMicros % 1000 != 0 && !_pwait2Missing.load(std::memory_order_relaxed)) {
        struct timespec wait;
        wait.tv_sec = static_cast<time_t>(waitMicros / 1000000);
        wait.tv_nsec = static_cast<long>(waitMicros % 1000000) * 1000;
        int n = epoll_pwait2(_epollFd, _reports.data(), room, &wait, nullptr);
        if (n >= 0 || errno != ENOSYS) return n;
        _pwait2Missing = true;
    }
    // Milliseconds, rounded up so that a timer is never woken for early.
    int ms = waitMicros < 0 ? -1 : static_cast<int>(std::min<long long>((waitMicros + 999) / 1000, INT_MAX));
    return epoll_wait(_epollFd, _reports.data(), room, ms);
}

int ThreadContext::collectReady(int reports, bool* pipeReady) {
    int ready = 0;
    bool stale = false;
    for (int i = 0; i < reports; i++) {
        uint64_t tag = _reports[i].data.u64;
        uint32_t generation = static_cast<uint32_t>(tag >> 32);
        int fd = static_cast<int>(static_cast<uint32_t>(tag));
        if (generation == 0) {
            *pipeReady = true;
            continue;
        }
        Watch* w = fd >= 0 && static_cast<size_t>(fd) < _watchSize ? &_watches[fd] : nullptr;
        if (w == nullptr || w->state != IN_EPOLL || w->generation != generation) {
            stale = true;
            continue;
        }
        ready += collectWatch(w, _reports[i].events);
    }
    for (int fd : _alwaysReadyFds) ready += collectWatch(&_watches[fd], POLLIN | POLLOUT);
    if (stale) rebuildEpoll();
    if (_ready.size() > 1) {
        std::sort(_ready.begin(), _ready.end(),
                  [](const FdEvent* a, const FdEvent* b) { return a->_listOrder < b->_listOrder; });
        for (size_t i = 0; i < _ready.size(); i++) _ready[i]->_readyIndex = static_cast<int>(i);
    }
    return ready;
}

int ThreadContext::collectWatch(Watch* w, uint32_t revents) {
    int ready = 0;
    for (FdEvent* e = w->events; e != nullptr; e = e->_sameFdNext) {
        if (!e->_enabled) continue;
        // What poll would have asked for this event, and reported to it.
        uint32_t asked = 0;
        if (readsKind(e->_kind)) asked |= POLLIN | POLLERR | POLLHUP;
        if (writesKind(e->_kind)) asked |= POLLOUT;
        if (asked == 0) continue;
        uint32_t got = revents & (asked | POLLERR | POLLHUP);
        if (got == 0) continue;
        ready++;
        // Only the plain kinds fire; a combined kind is watched, never fired.
        bool fires = false;
        if (e->_kind == FdEvent::KIND_READ || e->_kind == FdEvent::KIND_READ_LIKE)
            fires = (got & (POLLIN | POLLERR | POLLHUP)) != 0;
        else if (e->_kind == FdEvent::KIND_WRITE)
            fires = (got & POLLOUT) != 0;
        if (fires) {
            e->_readyIndex = static_cast<int>(_ready.size());
            _ready.push_back(e);
        }
    }
    return ready;
}

void ThreadContext::dispatchReady(int ready) {
    // Walks the ready events in list order, as a walk of the whole list
    // would meet them: a fired event moves to the tail, but only behind
    // events that have fired too or were not ready; a walk stops when a
    // handler removes an event, and the next starts again from the front.
    bool firedAny = true;
    while (firedAny && ready > 0) {
        firedAny = false;
        _fdListChanged = false;
        for (size_t i = 0; i < _ready.size() && !_fdListChanged; i++) {
            FdEvent* e = _ready[i];
            if (e == nullptr || !e->_enabled) continue;
            e->fired();
            firedAny = true;
            ready--;
        }
    }
    for (FdEvent* e : _ready) {
        if (e != nullptr) e->_readyIndex = -1;
    }
    _ready.clear();
}
