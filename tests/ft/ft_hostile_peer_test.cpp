// The sender against a receiver that answers oddly: errors where a reply
// was due, out-of-range sizes and times, an index that lists a name twice
// or lists a great many entries. Each case must end with a clear result,
// lose nothing on the destination that the source still has, and never
// crash or stall.
#include <gtest/gtest.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>

#include "dirbase/sfs_unix.h"
#include "ft/ft.h"
#include "ft/ft_entry.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "tests/ft/ft_engine_support.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

namespace {

// Seconds since it was made.
struct Stopwatch {
    struct timespec start;
    Stopwatch() { clock_gettime(CLOCK_MONOTONIC, &start); }
    double seconds() const {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
    }
};

FtIndexRecord record(int type, const std::string& name, long long size, long long mtimeMs) {
    FtIndexRecord r;
    r.type = type;
    r.name = name;
    r.size = size;
    r.mtimeMs = mtimeMs;
    return r;
}

}  // namespace

// Index times at the ends of the 64-bit range are compared and logged
// without overflow, and the file is sent.
TEST(FtHostilePeer, ExtremeIndexTimesAreComparedWithoutOverflow) {
    for (long long mtime : {std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max()}) {
        TempDir dir;
        const std::string src = makeSrc(dir);
        writeFile(src + "/f", "12345");
        TestPeer peer;
        peer.extraIndex.push_back(record(FT_TYPE_FILE, "f", 5, mtime));
        EXPECT_EQ(0, runOne(&peer, updateOf(src, 0))) << mtime;
        EXPECT_EQ("12345", peer.files["f"].content) << mtime;
    }
}

// A peer that reports an error where the append check's digest was due:
// the sender stops at once with the peer's reason instead of sitting out
// the long wait meant for a slow digest.
TEST(FtHostilePeer, ErrorInsteadOfTheDigestReplyEndsTheWaitAtOnce) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/f", std::string(6000, 'a'));
    setMtime(src + "/f", 1600000000);
    TestPeer peer;
    peer.errorOnFindMd5 = true;
    peer.has("f", std::string(5000, 'a'), 1600000000000LL);
    Ft ft;
    Stopwatch watch;
    EXPECT_NE(0, runOne(&peer, updateOf(src, 1), &ft));
    // The digest wait steps are 90 seconds long; the peer's error must not
    // have to wait for one to end.
    EXPECT_LT(watch.seconds(), 45.0);
    EXPECT_EQ("Cannot read old copy", ft.errorText());
    EXPECT_EQ(5000u, peer.files["f"].content.size());
}

// An index that lists a name twice still describes one destination entry:
// once the source's file has been sent, it is not removed as missing.
TEST(FtHostilePeer, NameListedTwiceInTheIndexIsNotRemovedAfterItWasSent) {
    for (int type : {FT_TYPE_FILE, FT_TYPE_DIRECTORY}) {
        TempDir dir;
        const std::string src = makeSrc(dir);
        writeFile(src + "/a", "fresh");
        TestPeer peer;
        PeerNode old;
        old.content = "stale";
        peer.files["a"] = old;
        peer.files["gone"] = old;
        peer.extraIndex.push_back(record(type, "a", 5, 0));
        FtTransaction* t = updateOf(src, 0);
        t->removeMissing = true;
        EXPECT_EQ(0, runOne(&peer, t)) << type;
        EXPECT_EQ("fresh", peer.files["a"].content) << type;
        EXPECT_EQ(std::vector<std::string>{"/d/gone"}, peer.removed) << type;
    }
}

// Removing many destination folders the source no longer has takes time in
// proportion to their number, not to its square.
TEST(FtHostilePeer, ManyMissingFoldersAreRemovedInLinearTime) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/keep", "k");
    TestPeer peer;
    const int kFolders = 40000;
    // Long shared beginnings make every comparison of one name with another
    // cost its full length.
    const std::string stem(600, 'x');
    for (int i = 0; i < kFolders; i++)
        peer.extraIndex.push_back(record(FT_TYPE_DIRECTORY, stem + std::to_string(i) + std::string(i % 7, 'y'), 0, 0));
    // Inside a removed folder: skipped, not removed on its own.
    peer.extraIndex.push_back(record(FT_TYPE_FILE, stem + "14/inner", 1, 0));
    FtTransaction* t = transaction(src, "/d");
    t->removeMissing = true;
    Stopwatch watch;
    EXPECT_EQ(0, runOne(&peer, t));
    EXPECT_LT(watch.seconds(), 60.0);
    EXPECT_EQ(static_cast<size_t>(kFolders), peer.removed.size());
    EXPECT_EQ(peer.removed.end(), std::find(peer.removed.begin(), peer.removed.end(), "/d/" + stem + "14/inner"));
}

// An index size below zero describes no file the destination could have:
// the file goes whole instead of as an update against it, under either
// partial-update algorithm, empty or not.
TEST(FtHostilePeer, NegativeIndexSizeSendsTheFileWhole) {
    for (int algorithm : {1, 2}) {
        for (const std::string& content : {std::string(), std::string("tail")}) {
            SCOPED_TRACE(std::to_string(algorithm) + " " + content);
            TempDir dir;
            const std::string src = makeSrc(dir);
            writeFile(src + "/f", content);
            setMtime(src + "/f", 1600000000);
            TestPeer peer;
            peer.extraIndex.push_back(record(FT_TYPE_FILE, "f", -5, 1600000000000LL));
            Ft ft;
            EXPECT_EQ(0, runOne(&peer, updateOf(src, algorithm), &ft));
            EXPECT_EQ(1u, peer.files.count("f"));
            EXPECT_EQ(content, peer.files["f"].content);
            EXPECT_EQ(1, ft.stats().filesCopied);
            EXPECT_TRUE(peer.problems.empty());
        }
    }
}

// Block signatures that claim a destination size near the 64-bit limit do
// not fit their count: the file goes whole, without overflow.
TEST(FtHostilePeer, SignaturesClaimingAHugeSizeSendTheFileWhole) {
    for (long long size : {std::numeric_limits<long long>::max(), std::numeric_limits<long long>::max() - 100}) {
        TempDir dir;
        const std::string src = makeSrc(dir);
        const std::string content = randomBytes(5000, 3);
        writeFile(src + "/f", content);
        setMtime(src + "/f", 1600000000);
        TestPeer peer;
        peer.signatureSize = size;
        peer.has("f", randomBytes(4000, 4), 1600000000000LL);
        EXPECT_EQ(0, runOne(&peer, updateOf(src, 2))) << size;
        EXPECT_EQ(content, peer.files["f"].content) << size;
        EXPECT_EQ(static_cast<long long>(content.size()), peer.wholeBytes) << size;
    }
}

// A folder the walk does not enter keeps what the destination holds below
// it; finding that takes time in proportion to the index, not to the
// index times the number of such folders.
TEST(FtHostilePeer, ManyFoldersNotEnteredKeepTheirEntriesInLinearTime) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    const int kFolders = 10000;
    const int kPerFolder = 10;
    for (int i = 0; i < kFolders; i++) mkdir((src + "/d" + std::to_string(i)).c_str(), 0755);
    TestPeer peer;
    for (int i = 0; i < kFolders; i++) {
        peer.extraIndex.push_back(record(FT_TYPE_DIRECTORY, "d" + std::to_string(i), 0, 0));
        for (int j = 0; j < kPerFolder; j++)
            peer.extraIndex.push_back(record(FT_TYPE_FILE, "d" + std::to_string(i) + "/f" + std::to_string(j), 1, 0));
    }
    peer.extraIndex.push_back(record(FT_TYPE_FILE, "gone", 1, 0));
    FtTransaction* t = transaction(src, "/d");
    t->removeMissing = true;
    t->recursive = false;
    Stopwatch watch;
    EXPECT_EQ(0, runOne(&peer, t));
    EXPECT_LT(watch.seconds(), 45.0);
    EXPECT_EQ(std::vector<std::string>{"/d/gone"}, peer.removed);
}

// The append check takes only a digest reply as its answer: block
// signatures in its place (or what an earlier file's reply left behind)
// are no digest, and the file goes whole.
TEST(FtHostilePeer, WrongKindOfReplyToTheDigestRequestSendsTheFileWhole) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    const std::string prefix = randomBytes(5000, 5);
    writeFile(src + "/a", prefix + "new tail of a");
    writeFile(src + "/b", prefix + "new tail of b");
    setMtime(src + "/a", 1600000000);
    setMtime(src + "/b", 1600000000);
    TestPeer peer;
    peer.wrongReplyFor = "b";
    peer.has("a", prefix, 1600000000000LL);
    peer.has("b", randomBytes(5000, 6), 1600000000000LL);
    EXPECT_EQ(0, runOne(&peer, updateOf(src, 1)));
    EXPECT_TRUE(peer.files["a"].content == prefix + "new tail of a");
    EXPECT_TRUE(peer.files["b"].content == prefix + "new tail of b");
    EXPECT_TRUE(peer.problems.empty());
}

// A local index file cut short or with any one byte changed is either read
// as some index or refused as damaged (and the destination's fetched):
// either way the run ends well and the destination ends up with the
// source's files.
TEST(FtHostilePeer, DamagedLocalIndexFilesAreRefusedOrReadNeverTrusted) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    mkdir((src + "/d").c_str(), 0755);
    writeFile(src + "/d/c", "gamma");
    symlink("a", (src + "/l").c_str());
    std::map<std::string, PeerNode> dest;
    auto run = [&](TestPeer* peer, Ft* ft) {
        peer->files = dest;
        ft->setIndexDirectory(dir.path().c_str());
        FtTransaction* t = transaction(src, "/dest");
        t->modifiedOnly = true;
        t->linkKeepInTree = true;
        t->setIndexName("idx");
        return runOne(peer, t, ft);
    };
    {
        TestPeer peer;
        Ft ft;
        ASSERT_EQ(0, run(&peer, &ft));
        dest = peer.files;
    }
    const std::string indexPath = dir.file("idx-peerhost");
    const std::string good = readFile(indexPath);
    ASSERT_GT(good.size(), 20u);
    std::vector<std::string> damaged;
    for (size_t len = 0; len < good.size(); len++) damaged.push_back(good.substr(0, len));
    for (size_t i = 0; i < good.size(); i++)
        for (unsigned char x : {0x01, 0x80, 0xff}) {
            std::string d = good;
            d[i] = static_cast<char>(d[i] ^ x);
            damaged.push_back(d);
        }
    for (size_t k = 0; k < damaged.size(); k++) {
        writeFile(indexPath, damaged[k]);
        TestPeer peer;
        Ft ft;
        EXPECT_EQ(0, run(&peer, &ft)) << k;
        EXPECT_EQ("alpha", peer.files["a"].content) << k;
        EXPECT_EQ("gamma", peer.files["d/c"].content) << k;
        EXPECT_TRUE(peer.problems.empty()) << k;
    }
}

namespace {

// The native file system, cutting one file short (or, with cutTo past its
// end, making it longer) just before it is opened for reading: a file that
// changes size between the walk's look at it and the read.
class ShrinkingSfs : public UnixSfs {
public:
    ShrinkingSfs() : UnixSfs(nullptr) {}
    std::string path;
    off_t cutTo = 0;
    int open(const char* p, SfsFile** file, int flags, int mode, bool adjust) override {
        if (path == p) {
            if (truncate(p, cutTo) != 0) return setError(errno, -1);
            path.clear();
        }
        return UnixSfs::open(p, file, flags, mode, adjust);
    }
};

struct ProblemRecorder : Recorder {
    std::vector<std::string> problems;
    void progress(const char*, const char*, const char* what, long long, long long, long long, FtTransaction*) override {
        if (strstr(what, "during copy") != nullptr) problems.push_back(what);
    }
};

}  // namespace

// A file that shrinks before its new tail is read is reported, whichever
// way it was being sent, not dropped without a word.
TEST(FtHostilePeer, FileShrinkingBeforeItsUpdateIsReported) {
    for (int algorithm : {0, 1, 2}) {
        SCOPED_TRACE(algorithm);
        TempDir dir;
        const std::string src = makeSrc(dir);
        const std::string content = randomBytes(10000, 9);
        writeFile(src + "/f", content);
        setMtime(src + "/f", 1600000000);
        TestPeer peer;
        peer.has("f", content.substr(0, 6000), 1600000000000LL);
        Ft ft;
        ShrinkingSfs* sfs = new ShrinkingSfs;
        sfs->path = src + "/f";
        sfs->cutTo = 8000;
        ft.setFileSystem(sfs);
        ft.setValidationDelay(0);
        ft.addTransaction(updateOf(src, algorithm));
        ProblemRecorder rec;
        runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec);
        ASSERT_FALSE(rec.problems.empty());
        EXPECT_EQ("File shrank during copy: " + src + "/f", rec.problems.front());
        EXPECT_TRUE(peer.problems.empty());
    }
}

// A file that grew between the walk's look at it and the read is an error
// at every deflate level (level 0 has a writer of its own): the receiver
// is told to drop it, and the report says by how much it grew.
TEST(FtHostilePeer, FileGrowingBeforeItIsReadIsAnErrorAtEveryLevel) {
    for (const char* name : {"f.txt", "f.jpg"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string src = makeSrc(dir);
        writeFile(src + "/" + name, randomBytes(10000, 9));
        TestPeer peer;
        Ft ft;
        const std::string path = src + "/" + name;
        ShrinkingSfs* sfs = new ShrinkingSfs;
        sfs->path = path;
        sfs->cutTo = 70000;
        ft.setFileSystem(sfs);
        ft.addTransaction(transaction(src, "/d"));
        ProblemRecorder rec;
        FILE* report = fopen(dir.file("report").c_str(), "w");
        EXPECT_NE(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec, report));
        fclose(report);
        EXPECT_EQ("File grew during copy: " + path, ft.errorText());
        ASSERT_FALSE(rec.problems.empty());
        EXPECT_EQ(ft.errorText(), rec.problems.front());
        EXPECT_EQ(0u, peer.files.count(name));
        EXPECT_TRUE(peer.problems.empty());
        EXPECT_NE(std::string::npos, readFile(dir.file("report")).find("Error: " + path +
                                                                      "\n    File grew while being transferred.\n"
                                                                      "    File size at copy start = 10,000, bytes read "
                                                                      "during copy = 10,001\n"));
    }
}

// Index names are paths below the destination. One that climbs out of it,
// starts at the top, or is spelled with "." or empty components is no name
// the sender can check against its source or its filters: the peer is not
// asked to remove it, and a protected entry stays protected however the
// peer spells it.
TEST(FtHostilePeer, IndexNamesThatAreNotPlainRelativePathsAreNeverRemoved) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    TestPeer peer;
    for (const char* name : {"../outside", "sub/../../outside", "/etc/passwd", "./keep/x", "keep/./y", "keep//z", "",
                             ".", "..", "sub/."})
        peer.extraIndex.push_back(record(FT_TYPE_FILE, name, 1, 0));
    peer.extraIndex.push_back(record(FT_TYPE_FILE, "gone", 1, 0));
    peer.extraIndex.push_back(record(FT_TYPE_FILE, "keep/w", 1, 0));
    FtTransaction* t = transaction(src, "/d");
    t->removeMissing = true;
    t->addFilter(PAT_PROTECT, "/keep/***");
    EXPECT_EQ(0, runOne(&peer, t));
    EXPECT_EQ(std::vector<std::string>{"/d/gone"}, peer.removed);
    EXPECT_EQ("alpha", peer.files["a"].content);
}

namespace {

// A report output that holds the sender up for a while once it reports
// the index received: the moment between the index's arrival and the
// sender taking it is then long enough for the peer's next, unasked copy
// to land in it.
ssize_t slowAfterIndexWrite(void*, const char* buf, size_t n) {
    if (std::string(buf, n).find("Index received OK.") != std::string::npos) usleep(100000);
    return static_cast<ssize_t>(n);
}

}  // namespace

// A peer that sends its index again, unasked, while the sender takes the
// one it asked for: the sender's copy is taken whole, under the session's
// lock, and the run ends with the destination updated.
TEST(FtHostilePeer, IndexSentAgainUnaskedWhileTheSenderTakesIt) {
    TempDir dir;
    const std::string src = makeSrc(dir);
    writeFile(src + "/a", "alpha");
    TestPeer peer;
    peer.repeatIndex = 20;
    for (int i = 0; i < 200; i++) peer.extraIndex.push_back(record(FT_TYPE_FILE, "old" + std::to_string(i), 1, 0));
    cookie_io_functions_t io = {nullptr, slowAfterIndexWrite, nullptr, nullptr};
    FILE* report = fopencookie(nullptr, "w", io);
    ASSERT_NE(nullptr, report);
    Ft ft;
    FtTransaction* t = updateOf(src, 0);
    t->removeMissing = true;
    ft.addTransaction(t);
    Recorder rec;
    EXPECT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec, report));
    fclose(report);
    EXPECT_EQ("alpha", peer.files["a"].content);
    EXPECT_EQ(200u, peer.removed.size());
    EXPECT_TRUE(peer.problems.empty());
}
