// What the sender removes: destination entries the source no longer has
// (--delete), and source files after a move. Entries the source still has
// are never removed, even when they could not be read.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "dirbase/sfs_unix.h"
#include "ft/ft.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "tests/ft/ft_engine_support.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/temp_dir.h"

namespace {

// The native file system refusing chosen paths with EACCES, as it would for
// an unprivileged user (these tests may run as root, who reads everything).
class RefusingSfs : public UnixSfs {
public:
    RefusingSfs() : UnixSfs(nullptr) {}
    std::set<std::string> noLstat, noOpendir, noOpen, noUnlink;

    int lstat(const char* path, struct stat64* st, bool adjust) override {
        return noLstat.count(path) != 0 ? setError(EACCES, -1) : UnixSfs::lstat(path, st, adjust);
    }
    int opendir(const char* path, SfsDirectory** dir, bool adjust) override {
        return noOpendir.count(path) != 0 ? setError(EACCES, -1) : UnixSfs::opendir(path, dir, adjust);
    }
    int open(const char* path, SfsFile** file, int flags, int mode, bool adjust) override {
        return noOpen.count(path) != 0 ? setError(EACCES, -1) : UnixSfs::open(path, file, flags, mode, adjust);
    }
    int unlink(const char* path, bool adjust) override {
        return noUnlink.count(path) != 0 ? setError(EACCES, -1) : UnixSfs::unlink(path, adjust);
    }
};

std::string realDir(const TempDir& dir) {
    char real[PATH_MAX];
    return realpath(dir.path().c_str(), real) != nullptr ? real : dir.path();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void destHas(TestPeer* peer, const std::vector<std::string>& names, const std::set<std::string>& dirs) {
    for (const std::string& n : names) {
        PeerNode node;
        if (dirs.count(n) != 0) node.type = FT_TYPE_DIRECTORY;
        peer->files[n] = node;
    }
}

}  // namespace

TEST(FtRemoval, WhatExistsOnTheSourceStaysEvenWhenItCannotBeRead) {
    TempDir dir;
    const std::string src = realDir(dir) + "/src";
    mkdir(src.c_str(), 0755);
    for (const char* d : {"/locked", "/hidden", "/flat"}) mkdir((src + d).c_str(), 0755);
    for (const char* f : {"/plain", "/secret", "/locked/inner", "/hidden/deep", "/flat/below"}) writeFile(src + f, f);
    const std::vector<std::string> dest = {"plain",  "secret",      "locked", "locked/inner", "locked/old",
                                           "hidden", "hidden/deep", "flat",   "flat/below",   "gone"};
    const std::set<std::string> dirs = {"locked", "hidden", "flat"};

    // One run with removals against a destination holding dest, through a
    // file system that refuses what sfs names.
    auto run = [&](RefusingSfs* sfs, TestPeer* peer, Ft* ft) {
        destHas(peer, dest, dirs);
        ft->setFileSystem(sfs);
        FtTransaction* t = transaction(src, "/dest");
        t->removeMissing = true;
        ASSERT_EQ(0, runOne(peer, t, ft));
    };

    // A file that cannot be opened, a folder that cannot be listed, an entry
    // that cannot be stat-ed: all of them and what lies below them stay.
    {
        TestPeer peer;
        Ft ft;
        RefusingSfs* sfs = new RefusingSfs;
        sfs->noOpen = {src + "/secret"};
        sfs->noOpendir = {src + "/locked"};
        sfs->noLstat = {src + "/hidden"};
        run(sfs, &peer, &ft);
        EXPECT_EQ(std::vector<std::string>{"/dest/gone"}, peer.removed);
        EXPECT_EQ("/plain", peer.files["plain"].content);
        EXPECT_EQ(3, ft.stats().filesFailed);
    }
    // The source folder itself cannot be listed: nothing is removed.
    {
        TestPeer peer;
        Ft ft;
        RefusingSfs* sfs = new RefusingSfs;
        sfs->noOpendir = {src};
        run(sfs, &peer, &ft);
        EXPECT_TRUE(peer.removed.empty()) << peer.removed[0];
    }
}

// Each transaction moves only if it asks to; the folders it emptied go too,
// deepest first, but not one still holding something it did not send, nor
// the top folder that FT_RECV_START2 sent as itself.
TEST(FtRemoval, MoveRemovesOnlyItsOwnTransactionsFilesAndTheFoldersItEmptied) {
    TempDir dir;
    const std::string root = realDir(dir);
    for (const char* d : {"/moved", "/moved/sub", "/moved/sub/deeper", "/kept", "/whole", "/whole/sub", "/whole/busy"})
        mkdir((root + d).c_str(), 0755);
    for (const char* f : {"/moved/a", "/moved/sub/b", "/moved/sub/deeper/c", "/kept/x", "/whole/y", "/whole/sub/z"})
        writeFile(root + f, f);
    // Too fresh to be sent: its folder stays.
    writeFile(root + "/whole/busy/fresh.log", "busy");

    TestPeer peer;
    Ft ft;
    FtTransaction* moved = transaction(root + "/moved/", "/d1");
    moved->move = true;
    ft.addTransaction(moved);
    ft.addTransaction(transaction(root + "/kept", "/d2"));
    FtTransaction* whole = transaction(root + "/whole", "/d3");
    whole->move = true;
    whole->useRecvStart2 = true;
    whole->setStableTime(".log/600");
    ft.addTransaction(whole);
    Recorder rec;
    ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec)) << ft.errorText();
    EXPECT_EQ("/moved/sub/deeper/c", peer.files["sub/deeper/c"].content);

    EXPECT_FALSE(exists(root + "/moved")) << "emptied by the move, top folder included";
    EXPECT_EQ("/kept/x", readFile(root + "/kept/x")) << "this transaction did not ask for a move";
    EXPECT_FALSE(exists(root + "/whole/y"));
    EXPECT_FALSE(exists(root + "/whole/sub"));
    EXPECT_EQ("busy", readFile(root + "/whole/busy/fresh.log"));
    EXPECT_TRUE(exists(root + "/whole")) << "FT_RECV_START2 sent the folder itself";
    EXPECT_EQ(0, ft.stats().unableToRemove);
}

// A quit acknowledgement nobody asked for confirms nothing: the session
// fails, and the move leaves every source file where it was.
TEST(FtRemoval, AnEarlyQuitAcknowledgementFailsTheSessionAndKeepsTheSources) {
    TempDir dir;
    const std::string src = realDir(dir) + "/src";
    mkdir(src.c_str(), 0755);
    for (const char* f : {"/a", "/b"}) writeFile(src + f, f);
    TestPeer peer;
    peer.quitAckFirst = true;
    Ft ft;
    FtTransaction* t = transaction(src + "/", "/d");
    t->move = true;
    ft.addTransaction(t);
    Recorder rec;
    EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec));
    EXPECT_EQ("Unexpected protocol error reading from stream", ft.errorText());
    ASSERT_EQ(1u, rec.failures.size());
    EXPECT_EQ(0, rec.completed);
    EXPECT_EQ("/a", readFile(src + "/a"));
    EXPECT_EQ("/b", readFile(src + "/b"));
}

namespace {

// Writes to a source file once its transaction is complete: after the
// sender read and sent it, before a move removes the sources.
struct WriterAfterSend : Recorder {
    std::string path;
    void transactionComplete(FtTransaction* t) override {
        Recorder::transactionComplete(t);
        FILE* f = fopen(path.c_str(), "a");
        if (f == nullptr) return;
        fputs(" and more", f);
        fclose(f);
        // A time of its own, whatever the clock's resolution.
        struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
};

}  // namespace

// A source file a move could not remove, or one written to after it was sent
// (it holds what the destination does not), stays where it is; each counts
// once in the summary and is named in the report, and the rest goes.
TEST(FtRemoval, MoveKeepsWhatItCouldNotRemoveOrWhatChangedAfterItWasSent) {
    TempDir dir;
    const std::string src = realDir(dir) + "/src";
    mkdir(src.c_str(), 0755);
    for (const char* f : {"/a", "/b", "/c", "/d"}) writeFile(src + f, f);
    TestPeer peer;
    Ft ft;
    RefusingSfs* sfs = new RefusingSfs;
    sfs->noUnlink = {src + "/c"};
    ft.setFileSystem(sfs);
    FtTransaction* t = transaction(src + "/", "/d");
    t->move = true;
    ft.addTransaction(t);
    WriterAfterSend rec;
    rec.path = src + "/a";
    FILE* report = fopen(dir.file("report").c_str(), "w");
    EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec, report));
    fclose(report);
    EXPECT_EQ("/a", peer.files["a"].content);
    EXPECT_EQ("/a and more", readFile(src + "/a"));
    EXPECT_FALSE(exists(src + "/b"));
    EXPECT_TRUE(exists(src + "/c"));
    EXPECT_FALSE(exists(src + "/d"));
    EXPECT_EQ("One or more files could not be removed on the source after they were copied", ft.errorText());
    EXPECT_EQ(2, ft.stats().unableToRemove);
    std::string text = readFile(dir.file("report"));
    EXPECT_NE(std::string::npos, text.find("        Unable to Remove: 2\n")) << text;
    for (const char* f : {"/a", "/c"})
        EXPECT_NE(std::string::npos, text.find("Error: Unable to remove: " + src + f + "\n")) << text;
}
