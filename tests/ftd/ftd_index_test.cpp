// The receiving service's index: what forgetting an entry drops and what
// that costs, the descriptors a walk of a deep tree holds, and long replies
// (an index, checksums) going out while they are made.
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "dirbase/message.h"
#include "tests/ftd/deep_tree.h"
#include "tests/ftd/ftd_peer.h"
#include "tests/support/log_capture.h"
#include "tools/ftd/ftd_activity.h"
#include "tools/ftd/ftd_session.h"

using namespace ftdtest;

namespace {

// The service's side of a connection, in memory: notes how far the walk of
// the session's thread had gone, and how much of the request it had read,
// when the first bytes reached it.
class WatchedWire : public Message {
public:
    WatchedWire(const std::atomic<long long>* walked, const MessageBase* request)
        : Message(0), _walked(walked), _request(request) {}
    int appendBytes(const void* data, size_t n) override {
        if (firstAt < 0) {
            firstAt = _walked->load();
            requestReadAt = static_cast<long long>(_request->readOffset());
        }
        return Message::appendBytes(data, n);
    }
    long long firstAt = -1;
    long long requestReadAt = -1;

private:
    const std::atomic<long long>* _walked;
    const MessageBase* _request;
};

}  // namespace

TEST(FtdIndex, ForgettingDropsTheEntryAndWhatIsBelowItOnly) {
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    for (const char* d : {"p", "p/a", "p/a/y"}) ASSERT_EQ(0, mkdir((root + "/" + d).c_str(), 0755));
    const std::vector<std::string> files = {"p/a/x", "p/a/y/z", "p/a-b", "p/ab", "p/a.c", "p/a0"};
    for (const std::string& f : files) put(root + "/" + f, f);
    FtdTree tree(root.c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    std::string digest;
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    ASSERT_EQ(static_cast<long long>(files.size()), index.digestsComputed());
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    ASSERT_EQ(static_cast<long long>(files.size()), index.digestsComputed()) << "known digests are reused";
    index.forget("p/a");
    // Only what was below p/a is read again; names that merely begin the
    // same way are other entries.
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    EXPECT_EQ(static_cast<long long>(files.size()) + 2, index.digestsComputed());
    index.forget("p/a-b");
    ASSERT_TRUE(index.digest("p/a-b", &digest));
    ASSERT_TRUE(index.digest("p/ab", &digest));
    EXPECT_EQ(static_cast<long long>(files.size()) + 3, index.digestsComputed());
}

TEST(FtdIndex, ForgettingCostsNoWalkOfTheWholeIndex) {
    // Every link and every removal a sender asks for forgets its name; with
    // a large index each of them must not look at every entry.
    TempDir scratch;
    FtdTree tree(scratch.path().c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    struct stat st;
    memset(&st, 0, sizeof(st));
    for (int i = 0; i < 100000; i++) index.noteWritten("d" + std::to_string(i % 100) + "/f" + std::to_string(i), st, "x");
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; i++) index.forget("gone/l" + std::to_string(i));
    for (int i = 0; i < 100; i++) index.forget("d" + std::to_string(i) + "/f" + std::to_string(i));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Quadratic, this took minutes.
    EXPECT_LT(seconds, 30.0);
}

TEST(FtdIndex, AWalkHoldsFewDescriptorsHoweverDeepTheTree) {
    // A sender may make a tree hundreds of folders deep and ask for its
    // index from many sessions at once; the service's descriptors are
    // counted per session, so a walk may not hold one per level.
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    const int kDepth = 200;
    // A file after the folder at every level: it is listed once the walk is
    // back from below.
    const std::string rel = makeDeepTree(root, kDepth, {"e"});
    put(root + "/" + rel + "/bottom", "b");
    FtdTree tree(root.c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    std::vector<FtdIndexEntry> entries;
    {
        TightDescriptors tight;
        ASSERT_TRUE(tight.ok);
        index.build("top", true, &entries);
    }
    // Every folder, the file beside it and the one at the bottom, in order.
    ASSERT_EQ(static_cast<size_t>(2 * kDepth + 1), entries.size());
    std::string name;
    for (int i = 0; i < kDepth; i++) {
        name += i == 0 ? "d" : "/d";
        EXPECT_EQ(name, entries[i].name);
        EXPECT_EQ(FTD_DIR, entries[i].type);
    }
    EXPECT_EQ(name + "/bottom", entries[kDepth].name);
    EXPECT_EQ(FTD_FILE, entries[kDepth].type);
    for (int i = 0; i < kDepth; i++) {
        std::string e = name.substr(0, name.size() - 2 * i - 1) + "e";
        EXPECT_EQ(e, entries[kDepth + 1 + i].name);
        EXPECT_EQ(FTD_FILE, entries[kDepth + 1 + i].type) << entries[kDepth + 1 + i].reason;
    }
}

TEST(FtdIndex, FoldersTooDeepToEnterAreListedAndLogged) {
    // A walk enters at most 256 levels; what lies below is missing from
    // the reply, so the sender sends it again each time, and that must not
    // go unsaid.
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    const int kDepth = 260;
    const std::string rel = makeDeepTree(root, kDepth, {});
    put(root + "/" + rel + "/bottom", "b");
    FtdTree tree(root.c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    LogCapture captured;
    std::vector<FtdIndexEntry> entries;
    index.build("top", false, &entries);
    // The folders down to the first one not entered, each listed.
    ASSERT_EQ(257u, entries.size());
    for (const FtdIndexEntry& e : entries) EXPECT_EQ(FTD_DIR, e.type) << e.name;
    EXPECT_TRUE(captured.contains("drvftd: index of top: 1 folder(s) more than 256 levels deep listed without their "
                                  "contents"))
        << captured.text();
    // A shallow tree says nothing of the kind.
    captured.clear();
    index.build("top/d/d/d/d/d/d/d/d/d/d", false, &entries);
    EXPECT_EQ(static_cast<size_t>(kDepth - 10 + 1), entries.size());
    EXPECT_FALSE(captured.contains("levels deep")) << captured.text();
}

TEST(FtdIndex, AnIndexReplyGoesOutWhileTheTreeIsWalked) {
    // A reply held whole until the walk ends costs memory in proportion to
    // the tree, in every session that asks at once.
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    ASSERT_EQ(0, mkdir((root + "/big").c_str(), 0755));
    const int kFiles = 20000;
    const std::string longName(60, 'n');
    for (int i = 0; i < kFiles; i++) put(root + "/big/" + longName + std::to_string(i), "");
    FtdServer server(root.c_str(), nullptr, nullptr);
    ASSERT_TRUE(server.ok());
    Message in(0);
    writeOpening(&in);
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_INDEX_START);
    in.writeString("big");
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_QUIT);
    in.switchToRead();
    std::atomic<long long> walked{0};
    WatchedWire wire(&walked, &in);
    ftdSetThreadActivity(&walked);
    FtdSession(&server, &in, &wire, "tester").run();
    ftdSetThreadActivity(nullptr);
    ASSERT_GE(walked.load(), kFiles);
    EXPECT_GE(wire.firstAt, 0);
    EXPECT_LT(wire.firstAt, kFiles / 2) << "the reply waited for the whole walk";
    // And the reply is whole, in order.
    wire.switchToRead();
    int32_t code = 0;
    ASSERT_EQ(0, ftReadReply(&wire, &code));
    ASSERT_EQ(FT_INDEX_MARK, code);
    int count = 0;
    for (;;) {
        FtIndexRecord r;
        bool end = false;
        ASSERT_EQ(0, r.read(&wire, false, &end));
        if (end) break;
        ASSERT_EQ(0, r.name.compare(0, longName.size(), longName));
        count++;
    }
    EXPECT_EQ(kFiles, count);
    ASSERT_EQ(0, ftReadReply(&wire, &code));
    EXPECT_EQ(FT_QUIT_ACK, code);
}

TEST(FtdIndex, ChecksumAnswersGoOutWhileTheNamesArrive) {
    // Answers gathered until the last name is read cost many times the
    // bytes of the request, in every session sending one.
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    put(root + "/there", "here");
    FtdServer server(root.c_str(), nullptr, nullptr);
    ASSERT_TRUE(server.ok());
    const int kNames = 50000;
    Message in(0);
    writeOpening(&in);
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_CHECKSUM_REQUEST);
    for (int i = 0; i < kNames; i++) {
        in.writeString(i % 2 == 0 ? "there" : ("missing" + std::to_string(i)).c_str());
        in.writeString("local");
    }
    in.writeString("");
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_QUIT);
    const long long requestSize = static_cast<long long>(in.totalBytes());
    in.switchToRead();
    std::atomic<long long> walked{0};
    WatchedWire wire(&walked, &in);
    FtdSession(&server, &in, &wire, "tester").run();
    EXPECT_GE(wire.requestReadAt, 0);
    EXPECT_LT(wire.requestReadAt, requestSize / 2) << "the answers waited for the last name";
    wire.switchToRead();
    int32_t code = 0;
    ASSERT_EQ(0, ftReadReply(&wire, &code));
    ASSERT_EQ(FT_CHECKSUM_LIST, code);
    const std::string here = md5Hex("here");
    int count = 0;
    for (;;) {
        char* name = nullptr;
        ASSERT_EQ(0, wire.readString(&name));
        std::string n = name != nullptr ? name : "";
        free(name);
        if (n.empty()) break;
        char* digest = nullptr;
        ASSERT_EQ(0, wire.readString(&digest));
        std::string d = digest != nullptr ? digest : "";
        free(digest);
        EXPECT_EQ(count % 2 == 0 ? "there" : "missing" + std::to_string(count), n);
        EXPECT_EQ(count % 2 == 0 ? here : "", d);
        count++;
    }
    EXPECT_EQ(kNames, count);
    ASSERT_EQ(0, ftReadReply(&wire, &code));
    EXPECT_EQ(FT_QUIT_ACK, code);
}

// An entry removed while the destination is walked was simply not there: a
// sender takes an error entry for a failed transfer, and destinations where
// files come and go (rotated logs) would never be indexed.
TEST(FtdIndex, EntriesRemovedDuringTheWalkAreLeftOutNotReportedAsErrors) {
    for (bool checksums : {false, true}) {
        TempDir scratch;
        const std::string root = makeRoot(scratch);
        ASSERT_EQ(0, mkdir((root + "/d").c_str(), 0755));
        for (const char* f : {"d/a", "d/b", "d/c"}) put(root + "/" + f, f);
        FtdTree tree(root.c_str());
        ASSERT_TRUE(tree.ok());
        FtdIndexStore index(tree);
        std::vector<FtdIndexEntry> seen;
        // The names are read first: b goes once a has been listed.
        index.build("d", checksums, [&](const FtdIndexEntry& e) {
            seen.push_back(e);
            if (e.name == "a") ::unlink((root + "/d/b").c_str());
        });
        std::vector<std::string> names;
        for (const FtdIndexEntry& e : seen) {
            EXPECT_NE(FTD_ERROR, e.type) << e.name << ": " << e.reason;
            names.push_back(e.name);
        }
        EXPECT_EQ((std::vector<std::string>{"a", "c"}), names) << checksums;
    }
}
