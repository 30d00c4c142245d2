// Fallbacks kept by the receiving service when a sender asks for them and
// an entry gives way to one of another kind: a folder or a link taking a
// file's place, a link taking a folder's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/ftd/ftd_peer.h"

using namespace ftdtest;

namespace {

bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void keepFallbacks(Sender& p, int count) {
    p.cmd(FT_KEEP_FALLBACKS);
    p.out->writeString("nightly job");
    p.out->writeString("keep");
    p.out->writeInt32(count);
    p.out->writeInt32(30);
}

void link(Sender& p, const std::string& name, const std::string& target) {
    p.header(name, FT_TYPE_LINK, FT_BODY_NONE, static_cast<long long>(target.size()));
    p.out->writeBool(true);
    p.out->writeString(target.c_str());
}

}  // namespace

TEST(FtdFallbacks, EntriesThatGiveWayToAnotherKindAreKept) {
    Service s;
    auto fallback = [&](const std::string& rel) { return s.path(std::string(FtdFallbacks::folder()) + "/" + rel); };
    Sender p(s.port());
    ASSERT_TRUE(p.connected);
    p.opening();
    p.start("d");
    p.file("f", "file that becomes a folder");
    p.file("g", "file that becomes a link");
    p.file("sub/x", "in a folder that becomes a link");
    p.file("h/y", "in a folder that becomes a file");
    p.plain(FT_END_OF_FILES);
    ASSERT_TRUE(p.sync());

    keepFallbacks(p, 2);
    p.start("d");
    p.header("f", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755);
    link(p, "g", "f");
    link(p, "sub", "f");
    p.file("h", "file that stands where a folder was");
    p.plain(FT_END_OF_FILES);
    ASSERT_TRUE(p.sync());
    EXPECT_TRUE(p.errors.empty());
    struct stat st;
    ASSERT_EQ(0, lstat(s.path("d/f").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ("f", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(s.path("d/sub")));
    EXPECT_EQ("file that becomes a folder", readFile(fallback("d/f.1")));
    EXPECT_EQ("file that becomes a link", readFile(fallback("d/g.1")));
    EXPECT_EQ("in a folder that becomes a link", readFile(fallback("d/sub.1/x")));
    EXPECT_EQ("in a folder that becomes a file", readFile(fallback("d/h.1/y")));
    // What the replaced folder held, still in the sender's index, is gone
    // with it: removing it is no failure, whether a link or a file now
    // stands where the folder was.
    keepFallbacks(p, 2);
    p.start("d");
    p.plain(FT_END_OF_FILES);
    for (const char* gone : {"d/sub/x", "d/h/y"}) {
        p.cmd(FT_REMOVE);
        p.out->writeString(gone);
    }
    ASSERT_TRUE(p.sync());
    for (const Reply& e : p.errors) ADD_FAILURE() << e.texts[0] << ": " << e.texts[3];
    EXPECT_EQ("f", linkTarget(s.path("d/sub")));
    EXPECT_EQ("file that stands where a folder was", readFile(s.path("d/h")));

    // A link replaced by another keeps the old one; without fallbacks
    // asked for, nothing more is kept.
    keepFallbacks(p, 2);
    p.start("d");
    link(p, "g", "sub");
    p.plain(FT_END_OF_FILES);
    ASSERT_TRUE(p.sync());
    EXPECT_EQ("sub", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(fallback("d/g.1")));
    EXPECT_EQ("file that becomes a link", readFile(fallback("d/g.2")));
    p.start("d");
    link(p, "g", "f");
    p.plain(FT_END_OF_FILES);
    ASSERT_TRUE(p.sync());
    EXPECT_EQ("f", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(fallback("d/g.1")));
    EXPECT_FALSE(present(fallback("d/g.3")));
    EXPECT_TRUE(p.errors.empty());
    ASSERT_TRUE(p.quit());
}

TEST(FtdFallbacks, AFolderNamedLikeAFallbackKeepsItsOwn) {
    // "a" and a folder "a.1" beside it: the previous versions of a and
    // those of what is inside a.1 are different things; so are those of
    // what is inside folders "b~" and "b".
    Service s;
    auto fallback = [&](const std::string& rel) { return s.path(std::string(FtdFallbacks::folder()) + "/" + rel); };
    Sender p(s.port());
    ASSERT_TRUE(p.connected);
    p.opening();
    for (int round = 1; round <= 3; round++) {
        keepFallbacks(p, 2);
        p.start("d");
        p.file("a.1/x", "x" + std::to_string(round));
        p.file("a", "a" + std::to_string(round));
        p.file("b~/y", "y" + std::to_string(round));
        p.file("b/y", "z" + std::to_string(round));
        p.plain(FT_END_OF_FILES);
        ASSERT_TRUE(p.sync());
    }
    EXPECT_TRUE(p.errors.empty());
    EXPECT_EQ("a3", readFile(s.path("d/a")));
    EXPECT_EQ("x3", readFile(s.path("d/a.1/x")));
    EXPECT_EQ("a2", readFile(fallback("d/a.1")));
    EXPECT_EQ("a1", readFile(fallback("d/a.2")));
    // The folder's own are set apart by a mark on its name.
    EXPECT_EQ("x2", readFile(fallback("d/a.1~/x.1")));
    EXPECT_EQ("x1", readFile(fallback("d/a.1~/x.2")));
    EXPECT_EQ("y2", readFile(fallback("d/b~~/y.1")));
    EXPECT_EQ("z2", readFile(fallback("d/b/y.1")));
    ASSERT_TRUE(p.quit());
}

TEST(FtdFallbacks, AFallbackReadLateLeavesNoGapBehindTheCount) {
    // Reading a fallback moves its access time, which records when it was
    // superseded; one read after the others aged out must not survive
    // them out of sequence and outlast a lower count.
    Service s;
    auto fallback = [&](const std::string& rel) { return s.path(std::string(FtdFallbacks::folder()) + "/" + rel); };
    auto send = [&](Sender& p, int count, const std::string& content) {
        keepFallbacks(p, count);
        p.start("d");
        p.file("f", content);
        p.plain(FT_END_OF_FILES);
        EXPECT_TRUE(p.sync());
    };
    const time_t monthLater = time(nullptr) + 31 * 86400;
    {
        Sender p(s.port());
        p.opening();
        for (int n = 1; n <= 4; n++) send(p, 4, "v" + std::to_string(n));
        ASSERT_EQ("v1", readFile(fallback("d/f.3")));
        ASSERT_TRUE(p.quit());
    }
    // A month later f.2 is read.
    struct timespec times[2] = {{monthLater, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, fallback("d/f.2").c_str(), times, AT_SYMLINK_NOFOLLOW));
    s.server->fallbacks().now = [] { return time(nullptr) + 31 * 86400; };
    Sender p(s.port());
    p.opening();
    send(p, 4, "v5");
    EXPECT_EQ("v4", readFile(fallback("d/f.1")));
    send(p, 2, "v6");
    EXPECT_EQ("v5", readFile(fallback("d/f.1")));
    EXPECT_EQ("v4", readFile(fallback("d/f.2")));
    EXPECT_FALSE(present(fallback("d/f.3"))) << "two are kept";
    EXPECT_FALSE(present(fallback("d/f.4")));
    EXPECT_TRUE(p.errors.empty());
    ASSERT_TRUE(p.quit());
}
