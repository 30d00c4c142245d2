// Shared by the sender's tests against the scripted peer: running an Ft
// against a TestPeer, a listener that records what it is told, and a
// transaction with the settings most tests use.
#ifndef DRV_TESTS_FT_FT_ENGINE_SUPPORT_H
#define DRV_TESTS_FT_FT_ENGINE_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "ft/ft.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/temp_dir.h"

inline void setMtime(const std::string& path, time_t secs) {
    struct timeval tv[2] = {{secs, 0}, {secs, 0}};
    utimes(path.c_str(), tv);
}

// A new source folder "src" in dir.
inline std::string makeSrc(const TempDir& dir) {
    const std::string src = dir.file("src");
    EXPECT_EQ(0, mkdir(src.c_str(), 0755));
    return src;
}

struct Recorder : FtListener {
    std::vector<std::string> failures;
    int completed = 0;
    void transactionComplete(FtTransaction*) override { completed++; }
    void failed(const char* text) override { failures.push_back(text); }
};

// Runs one Ft against the peer; the peer's state stays for inspection.
inline int runAgainst(TestPeer* peer, Ft* ft, int protocol, Recorder* rec, FILE* report = nullptr) {
    EXPECT_EQ(0, ft->preCopy(rec));
    FtSession session(peer->senderOut, peer->senderIn, protocol, rec, report);
    peer->start();
    int rc = ft->runSession(&session, "peerhost");
    peer->join();
    return rc;
}

inline FtTransaction* transaction(const std::string& src, const std::string& dest) {
    FtTransaction* t = new FtTransaction;
    t->setSource(src.c_str());
    t->setDestination(dest.c_str());
    t->compression = 6;
    t->createDest = true;
    return t;
}

// An update of src to "/d": only what changed travels, changed files by
// the partial-update algorithm given (0: whole).
inline FtTransaction* updateOf(const std::string& src, int algorithm) {
    FtTransaction* t = transaction(src, "/d");
    t->modifiedOnly = true;
    t->algorithm = algorithm;
    return t;
}

// Runs one transaction alone against the peer, over the current protocol.
inline int runOne(TestPeer* peer, FtTransaction* t, Ft* ft) {
    ft->addTransaction(t);
    Recorder rec;
    return runAgainst(peer, ft, FT_PROTOCOL_2, &rec);
}

inline int runOne(TestPeer* peer, FtTransaction* t) {
    Ft ft;
    return runOne(peer, t, &ft);
}

#endif
