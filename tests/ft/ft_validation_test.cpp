// How the sender checks what arrived: digests in the destination's index,
// validation of files that changed while read and their re-sends, and the
// checksum lists the peer answers with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ft/ft.h"
#include "ft/ft_protocol.h"
#include "tests/ft/ft_engine_support.h"
#include "tests/ft/ft_test_peer.h"
#include "tests/support/temp_dir.h"

namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : _name(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* _name;
};

}  // namespace

// A destination copy with the size and time of the source but other bytes
// is found by its digest when index checksums are on, whether the
// transaction asks for them or INDEX_MD5 forces them for every transaction.
TEST(FtValidation, IndexChecksumsFromTheFieldOrTheEnvironmentCompareDigests) {
    enum { NONE, FIELD, ENVIRONMENT };
    for (int how : {NONE, FIELD, ENVIRONMENT}) {
        TempDir dir;
        const std::string src = makeSrc(dir);
        writeFile(src + "/f", "new content");
        setMtime(src + "/f", 1600000000);
        TestPeer peer;
        peer.has("f", "old content", 1600000000000LL);
        Ft ft;
        FtTransaction* t = transaction(src, "/d");
        t->modifiedOnly = true;
        t->indexMd5 = how == FIELD;
        ft.addTransaction(t);
        Recorder rec;
        {
            std::unique_ptr<ScopedEnv> env(how == ENVIRONMENT ? new ScopedEnv("INDEX_MD5", "1") : nullptr);
            ASSERT_EQ(0, runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec)) << how;
        }
        EXPECT_EQ(how != NONE, peer.count(FT_INDEX_START_MD5) > 0) << how;
        // Without digests size and time decide, and they say unchanged.
        EXPECT_EQ(how != NONE ? "new content" : "old content", peer.files["f"].content) << how;
        EXPECT_EQ(how != NONE ? 1 : 0, ft.stats().filesCopied) << how;
    }
}

namespace {

// Rewrites a file each time it has been sent, as a file that keeps
// changing would; stops after `times` rewrites.
struct Rewriter : Recorder {
    std::string path;
    int times = 0;
    int done = 0;
    void progress(const char*, const char*, const char* what, long long, long long, long long, FtTransaction*) override {
        if (what != nullptr && strcmp(what, "sent") == 0 && done < times) {
            done++;
            writeFile(path, "version " + std::to_string(done) + std::string(static_cast<size_t>(done), '!'));
        }
    }
};

}  // namespace

TEST(FtValidation, FilesChangedWhileSentAreValidatedAndResentUpToFivePasses) {
    for (int times : {1, 100}) {
        TempDir dir;
        writeFile(dir.file("f"), "original");
        TestPeer peer;
        Ft ft;
        ft.setValidationDelay(0);
        ft.addTransaction(transaction(dir.file("f"), "/d"));
        Rewriter rec;
        rec.path = dir.file("f");
        rec.times = times;
        int rc = runAgainst(&peer, &ft, FT_PROTOCOL_2, &rec);
        int requests = static_cast<int>(peer.count(FT_CHECKSUM_REQUEST));
        int lists = static_cast<int>(peer.count(FT_RECV_START));
        if (times == 1) {
            // Sent, changed, found invalid, sent again, found valid.
            EXPECT_EQ(0, rc) << ft.errorText();
            EXPECT_EQ(2, requests);
            EXPECT_EQ(2, lists);
            EXPECT_EQ(readFile(dir.file("f")), peer.files["f"].content);
        } else {
            // Five passes, each finding the file changed and sending it
            // again: the first list and five retries.
            EXPECT_NE(0, rc);
            EXPECT_EQ("One or more files were changed after 5 retries", ft.errorText());
            EXPECT_EQ(5, requests);
            EXPECT_EQ(6, lists);
        }
    }
}

namespace {

// Sends the file f of dir (moves it when move), which changes once while it
// is read, so that validation finds it changed once and sends it again.
void sendChangedOnce(const TempDir& dir, TestPeer* peer, Ft* ft, bool move = false) {
    writeFile(dir.file("f"), "original");
    ft->setValidationDelay(0);
    FtTransaction* t = transaction(dir.file("f"), "/d");
    t->move = move;
    ft->addTransaction(t);
    Rewriter rec;
    rec.path = dir.file("f");
    rec.times = 1;
    ASSERT_EQ(0, runAgainst(peer, ft, FT_PROTOCOL_2, &rec)) << ft->errorText();
}

}  // namespace

// A checksum list that follows the answer is dropped: the sender validates
// against the answer to its own request, and the read thread never touches
// digests the sender is reading. The first pass finds the file changed; the
// second one's answer is followed by wrong digests, which must not count.
// The peer applies a fallback policy to the one file list that follows it,
// so the re-send asks for fallbacks again.
TEST(FtValidation, OnlyTheAnswerToAChecksumRequestCountsAndReSentFilesKeepFallbacks) {
    for (int round = 0; round < 20; round++) {
        TempDir dir;
        TestPeer peer;
        peer.bogusChecksumListsFrom = 2;
        Ft ft;
        ft.keepFallbacks = true;
        sendChangedOnce(dir, &peer, &ft);
        EXPECT_EQ(2, peer.count(FT_CHECKSUM_REQUEST));
        EXPECT_EQ(readFile(dir.file("f")), peer.files["f"].content);
        ASSERT_EQ(2, peer.count(FT_RECV_START));
        for (size_t i = 0; i < peer.commands.size(); i++)
            EXPECT_TRUE(peer.commands[i] != FT_RECV_START || (i > 0 && peer.commands[i - 1] == FT_KEEP_FALLBACKS)) << i;
    }
}

// A file that changed while it was sent, and was sent again until the
// destination's copy proved equal, is what the destination holds: a move
// removes it like any other sent file.
TEST(FtValidation, MoveRemovesAFileOnceValidationFoundItsCopyEqual) {
    TempDir dir;
    TestPeer peer;
    Ft ft;
    sendChangedOnce(dir, &peer, &ft, true);
    EXPECT_EQ("version 1!", peer.files["f"].content);
    struct stat st;
    EXPECT_NE(0, stat(dir.file("f").c_str(), &st));
    EXPECT_EQ(0, ft.stats().unableToRemove);
}
