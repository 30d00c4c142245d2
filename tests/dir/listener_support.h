// What the directory listener tests share: a listener that notes each call
// as a line, and reads of the listener tables (taken under their locks).
#ifndef DRV_TESTS_DIR_LISTENER_SUPPORT_H
#define DRV_TESTS_DIR_LISTENER_SUPPORT_H

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_dir_thread.h"
#include "dir/listener.h"
#include "dirbase/dir_name.h"

// Notes each call as "add NAME", "mod NAME" or "del NAME" ("?" for an entry
// without a name, "-" for a call without an entry, which a listener could
// not tell anything about).
struct ChangeLines : DirectoryListener {
    void directoryAdd(const DirNameEntry* e, const Attributes*, const Acl*) override { note("add", e); }
    void directoryDelete(const DirNameEntry* e, const Attributes*) override { note("del", e); }
    void directoryModified(const DirNameEntry* e, const Attributes*, const Acl*) override { note("mod", e); }
    void listenerDisconnected() override { connected = false; }
    void listenerConnected() override { connected = true; }

    void note(const char* what, const DirNameEntry* e) {
        const char* n = e != nullptr ? e->getStringAttributeValue("name") : "-";
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::string(what) + " " + (n != nullptr ? n : "?"));
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<std::string> out;
        out.swap(seen);
        return out;
    }
    bool waitConnected() {
        for (int i = 0; i < 2000 && !connected; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return connected;
    }

    std::mutex lock;
    std::vector<std::string> seen;
    std::atomic<bool> connected{false};
};

// The provider records of a listener of this process with that id.
inline int localRecords(int listenerId) {
    CriticalSection hold(DirectorySPI::_dCb);
    int n = 0;
    for (DirectorySPI::DirListenerEntry* e = DirectorySPI::_dirListeners; e != nullptr; e = e->next)
        if (e->connection == nullptr && e->listenerId == listenerId) n++;
    return n;
}

// The provider records held for a client's connection.
inline int recordsOf(Connection* connection) {
    CriticalSection hold(DirectorySPI::_dCb);
    int n = 0;
    for (DirectorySPI::DirListenerEntry* e = DirectorySPI::_dirListeners; e != nullptr; e = e->next)
        if (e->connection == connection) n++;
    return n;
}

// Waits until every attach posted so far has been recorded or dropped (at
// once when no execution thread runs).
inline bool waitForAttaches() {
    std::promise<void> done;
    ExecDirThread::postBehindAttaches([&done] { done.set_value(); });
    return done.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

// The id of the listener added last.
inline int newestListenerId() {
    CriticalSection hold(Directory::_listenerCb);
    return Directory::_listeners != nullptr ? Directory::_listeners->listenerId : 0;
}

#endif
