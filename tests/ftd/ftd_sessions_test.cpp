// The receiving service's state shared by its sessions: when the saved
// index is written, files arriving in a folder that another session moves
// away, and the log a session may fill.
#include <set>
#include <utility>

#include "dirbase/message.h"
#include "tests/ftd/ftd_peer.h"
#include "tests/support/log_capture.h"
#include "tools/ftd/ftd_session.h"

using namespace ftdtest;

namespace {

// Whether the staging folder holds a file being received.
bool arriving(const Service& s) {
    DIR* d = opendir(s.path(".drvftd/tmp").c_str());
    if (d == nullptr) return false;
    bool any = false;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') any = true;
    closedir(d);
    return any;
}

// Has another session remove folder, kept as a fallback when keep is set.
void removeElsewhere(const Service& s, const std::string& folder, bool keep) {
    Sender other(s.port(), FT_PROTOCOL_2);
    ASSERT_TRUE(other.opening());
    if (keep) other.keepFallbacks(2);
    other.start("d");
    other.plain(FT_END_OF_FILES);
    other.remove(folder);
    ASSERT_TRUE(other.sync());
    EXPECT_TRUE(other.errors.empty()) << other.errors[0].texts[3];
    EXPECT_TRUE(other.quit());
}

}  // namespace

TEST(FtdSessions, FilesGoWhereTheyAreNamedWhenAnotherSessionMovesTheirFolder) {
    // A session keeps the folder of its last file open for the next one;
    // another session removing that folder (or moving it into the
    // fallbacks) must not make later files land in the moved folder, or in
    // none, while the sender is told they arrived.
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "kept as a fallback" : "removed");
        Service s;
        Sender p(s.port(), FT_PROTOCOL_2);
        ASSERT_TRUE(p.opening());
        p.start("d");
        p.file("a/b/one", "one");
        ASSERT_TRUE(waitFor([&] { return exists(s.path("d/a/b/one")); }));
        removeElsewhere(s, "d/a", keep);
        ASSERT_FALSE(exists(s.path("d/a")));
        // Between two files.
        p.file("a/b/two", "two");
        EXPECT_TRUE(waitFor([&] { return exists(s.path("d/a/b/two")); }));
        EXPECT_EQ("two", readFile(s.path("d/a/b/two")));
        // And while a file arrives.
        const std::string three = randomBytes(200000, 3);
        p.header("a/b/three", FT_TYPE_FILE, FT_BODY_WHOLE, static_cast<long long>(three.size()));
        std::vector<std::string> blocks = deflateBlocks(three, 0, 20000);
        p.out->writeBytes(blocks[0].data(), blocks[0].size());
        ASSERT_TRUE(waitFor([&] { return arriving(s); }));
        removeElsewhere(s, "d/a", keep);
        for (size_t i = 1; i < blocks.size(); i++) p.out->writeBytes(blocks[i].data(), blocks[i].size());
        p.out->writeBytes("", 0);
        p.out->writeInt32(FT_DATA_OK);
        ASSERT_TRUE(p.endFiles());
        EXPECT_TRUE(p.errors.empty()) << p.errors[0].texts[3];
        EXPECT_EQ(md5Hex(three), md5Hex(readFile(s.path("d/a/b/three"))));
        EXPECT_TRUE(p.quit());
    }
}

TEST(FtdSessions, TheSavedIndexIsNotRewrittenAfterEverySession) {
    // The saved index holds an entry per file of the tree: written whole
    // after every session that changed it, a large tree paid that much for
    // each short session, with every session's index work waiting for it.
    Service s;
    const std::string saved = s.path(".drvftd/index");
    std::set<std::pair<long long, long long>> versions;
    const int kSessions = 8;
    for (int i = 0; i < kSessions; i++) {
        {
            Sender p(s.port());
            ASSERT_TRUE(p.opening());
            p.start("d");
            p.file("f" + std::to_string(i), "content " + std::to_string(i));
            p.plain(FT_END_OF_FILES);
            // Digests taken change the index.
            ASSERT_EQ(static_cast<size_t>(i + 1), p.index("d", true).size());
            ASSERT_TRUE(p.quit());
        }
        ASSERT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
        struct stat st;
        if (stat(saved.c_str(), &st) == 0)
            versions.insert({static_cast<long long>(st.st_ino),
                             static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec});
    }
    EXPECT_LT(versions.size(), static_cast<size_t>(kSessions / 2));
    // Stopping saves it: after a restart no digest is taken again.
    s.restart();
    Sender p(s.port());
    p.opening();
    std::vector<FtIndexRecord> index = p.index("d", true);
    ASSERT_EQ(static_cast<size_t>(kSessions), index.size());
    for (int i = 0; i < kSessions; i++) EXPECT_EQ(md5Hex("content " + std::to_string(i)), index[i].digest);
    EXPECT_EQ(0, s.server->index().digestsComputed());
    EXPECT_TRUE(p.quit());
}

TEST(FtdSessions, APeerRepeatingRefusedRequestsCannotFillTheLog) {
    // Each refused name, cancel or bandwidth change is a few bytes from the
    // peer; a line logged for every one let a peer fill the disk with log.
    LogCapture captured;
    TempDir scratch;
    FtdServer server(scratch.path().c_str(), nullptr, nullptr);
    ASSERT_TRUE(server.ok());
    const int kEach = 3000;
    Message in(0);
    writeOpening(&in);
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_CHECKSUM_REQUEST);
    for (int i = 0; i < kEach; i++) {
        in.writeString(("../escape" + std::to_string(i)).c_str());
        in.writeString("local");
    }
    in.writeString("");
    for (int i = 0; i < kEach; i++) {
        ftWriteCommand(&in, FT_PROTOCOL_1, FT_CANCEL);
        ftWriteCommand(&in, FT_PROTOCOL_1, FT_SET_BANDWIDTH);
        in.writeDouble(1000);
        ftWriteCommand(&in, FT_PROTOCOL_1, FT_REMOVE);
        in.writeString("/absolute");
    }
    ftWriteCommand(&in, FT_PROTOCOL_1, FT_QUIT);
    in.switchToRead();
    Message out(0);
    FtdSession(&server, &in, &out, "tester").run();
    const std::string log = captured.messages();
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_LT(lines, 1000u) << log.substr(0, 2000);
    // What was left out is counted, and the first ones are there.
    EXPECT_NE(std::string::npos, log.find("refused checksum of '../escape0'"));
    EXPECT_NE(std::string::npos, log.find(std::to_string(4 * kEach - FtdSession::kPeerLines) + " more line(s)"))
        << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    // Every refusal was still answered.
    out.switchToRead();
    int32_t code = 0;
    ASSERT_EQ(0, ftReadReply(&out, &code));
    EXPECT_EQ(FT_CHECKSUM_LIST, code);
}

TEST(FtdSessions, AFoldersAttributesAreSetOnceTheSenderHasLeftIt) {
    // Folders waiting for their attributes were kept until the end of the
    // list: a list naming one folder over and over (or a tree of millions)
    // held them all in memory. Only the path to the entry at hand waits now.
    Service s;
    Sender p(s.port(), FT_PROTOCOL_2);
    ASSERT_TRUE(p.opening());
    p.start("d");
    const long long kA = 1400000000000LL;
    const long long kB = 1410000000000LL;
    const long long kSub = 1420000000000LL;
    p.header("a", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0750, kA);
    p.file("a/f", "f");
    p.header("a/sub", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0700, kSub);
    p.file("a/sub/g", "g");
    // Back up into a, then on to b: sub is done, a is not yet.
    p.file("a/h", "h");
    p.header("b", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755, kB);
    p.file("b/i", "i");
    ASSERT_TRUE(waitFor([&] { return exists(s.path("d/b/i")); }));
    struct stat st;
    ASSERT_EQ(0, stat(s.path("d/a/sub").c_str(), &st));
    EXPECT_EQ(kSub / 1000, st.st_mtim.tv_sec);
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(s.path("d/a").c_str(), &st));
    EXPECT_EQ(kA / 1000, st.st_mtim.tv_sec);
    EXPECT_EQ(0750u, st.st_mode & 07777);
    // A folder named again and again still ends with its attributes.
    for (int i = 0; i < 5000; i++) p.header("b", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755, kB);
    ASSERT_TRUE(p.endFiles());
    EXPECT_TRUE(p.errors.empty());
    ASSERT_EQ(0, stat(s.path("d/b").c_str(), &st));
    EXPECT_EQ(kB / 1000, st.st_mtim.tv_sec);
    EXPECT_TRUE(p.quit());
}
