// Fallbacks kept by the receiving service when a sender asks for them and
// an entry gives way to one of another kind: a folder or a link taking a
// file's place, a link taking a folder's.
#include <string>

#include "tests/ftd/ftd_peer.h"

using namespace ftdtest;

TEST(FtdFallbacks, EntriesThatGiveWayToAnotherKindAreKept) {
    Service s;
    Sender p(s.port());
    ASSERT_TRUE(p.opening());
    p.start("d");
    p.file("f", "file that becomes a folder");
    p.file("g", "file that becomes a link");
    p.file("sub/x", "in a folder that becomes a link");
    p.file("h/y", "in a folder that becomes a file");
    ASSERT_TRUE(p.endFiles());

    p.keepFallbacks(2);
    p.start("d");
    p.header("f", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0755);
    p.link("g", "f");
    p.link("sub", "f");
    p.file("h", "file that stands where a folder was");
    ASSERT_TRUE(p.endFiles());
    EXPECT_TRUE(p.errors.empty());
    struct stat st;
    EXPECT_TRUE(lstat(s.path("d/f").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_EQ("f", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(s.path("d/sub")));
    EXPECT_EQ("file that becomes a folder", readFile(s.fallback("d/f.1")));
    EXPECT_EQ("file that becomes a link", readFile(s.fallback("d/g.1")));
    EXPECT_EQ("in a folder that becomes a link", readFile(s.fallback("d/sub.1/x")));
    EXPECT_EQ("in a folder that becomes a file", readFile(s.fallback("d/h.1/y")));
    // What the replaced folder held, still in the sender's index, is gone
    // with it: removing it is no failure, whether a link or a file now
    // stands where the folder was.
    p.keepFallbacks(2);
    p.start("d");
    p.plain(FT_END_OF_FILES);
    for (const char* gone : {"d/sub/x", "d/h/y"}) p.remove(gone);
    ASSERT_TRUE(p.sync());
    for (const Reply& e : p.errors) ADD_FAILURE() << e.texts[0] << ": " << e.texts[3];
    EXPECT_EQ("f", linkTarget(s.path("d/sub")));
    EXPECT_EQ("file that stands where a folder was", readFile(s.path("d/h")));

    // A link replaced by another keeps the old one; without fallbacks
    // asked for, nothing more is kept.
    p.keepFallbacks(2);
    p.start("d");
    p.link("g", "sub");
    ASSERT_TRUE(p.endFiles());
    EXPECT_EQ("sub", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(s.fallback("d/g.1")));
    EXPECT_EQ("file that becomes a link", readFile(s.fallback("d/g.2")));
    p.start("d");
    p.link("g", "f");
    ASSERT_TRUE(p.endFiles());
    EXPECT_EQ("f", linkTarget(s.path("d/g")));
    EXPECT_EQ("f", linkTarget(s.fallback("d/g.1")));
    EXPECT_FALSE(exists(s.fallback("d/g.3")));
    EXPECT_TRUE(p.errors.empty());
    ASSERT_TRUE(p.quit());
}

TEST(FtdFallbacks, AFolderNamedLikeAFallbackKeepsItsOwn) {
    // "a" and a folder "a.1" beside it: the previous versions of a and
    // those of what is inside a.1 are different things; so are those of
    // what is inside folders "b~" and "b".
    Service s;
    Sender p(s.port());
    ASSERT_TRUE(p.opening());
    for (int round = 1; round <= 3; round++) {
        p.keepFallbacks(2);
        p.start("d");
        p.file("a.1/x", "x" + std::to_string(round));
        p.file("a", "a" + std::to_string(round));
        p.file("b~/y", "y" + std::to_string(round));
        p.file("b/y", "z" + std::to_string(round));
        ASSERT_TRUE(p.endFiles());
    }
    EXPECT_TRUE(p.errors.empty());
    EXPECT_EQ("a3", readFile(s.path("d/a")));
    EXPECT_EQ("x3", readFile(s.path("d/a.1/x")));
    EXPECT_EQ("a2", readFile(s.fallback("d/a.1")));
    EXPECT_EQ("a1", readFile(s.fallback("d/a.2")));
    // The folder's own are set apart by a mark on its name.
    EXPECT_EQ("x2", readFile(s.fallback("d/a.1~/x.1")));
    EXPECT_EQ("x1", readFile(s.fallback("d/a.1~/x.2")));
    EXPECT_EQ("y2", readFile(s.fallback("d/b~~/y.1")));
    EXPECT_EQ("z2", readFile(s.fallback("d/b/y.1")));
    ASSERT_TRUE(p.quit());
}

TEST(FtdFallbacks, AFallbackReadLateLeavesNoGapBehindTheCount) {
    // Reading a fallback moves its access time, which records when it was
    // superseded; one read after the others aged out must not survive
    // them out of sequence and outlast a lower count.
    Service s;
    auto send = [&](Sender& p, int count, const std::string& content) {
        p.keepFallbacks(count);
        p.start("d");
        p.file("f", content);
        EXPECT_TRUE(p.endFiles());
    };
    const time_t monthLater = time(nullptr) + 31 * 86400;
    {
        Sender p(s.port());
        p.opening();
        for (int n = 1; n <= 4; n++) send(p, 4, "v" + std::to_string(n));
        ASSERT_EQ("v1", readFile(s.fallback("d/f.3")));
        ASSERT_TRUE(p.quit());
    }
    // A month later f.2 is read.
    struct timespec times[2] = {{monthLater, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, s.fallback("d/f.2").c_str(), times, AT_SYMLINK_NOFOLLOW));
    s.server->fallbacks().now = [] { return time(nullptr) + 31 * 86400; };
    Sender p(s.port());
    p.opening();
    send(p, 4, "v5");
    EXPECT_EQ("v4", readFile(s.fallback("d/f.1")));
    send(p, 2, "v6");
    EXPECT_EQ("v5", readFile(s.fallback("d/f.1")));
    EXPECT_EQ("v4", readFile(s.fallback("d/f.2")));
    EXPECT_FALSE(exists(s.fallback("d/f.3"))) << "two are kept";
    EXPECT_FALSE(exists(s.fallback("d/f.4")));
    EXPECT_TRUE(p.errors.empty());
    ASSERT_TRUE(p.quit());
}

// A file replaced while fallbacks are asked for, whose previous version
// cannot be kept (here its name is too long to take a number), is refused
// and stays as it was, as a folder or link in the same case is: the sender
// hears of it instead of the old version vanishing.
TEST(FtdFallbacks, AFileWhosePreviousVersionCannotBeKeptIsRefused) {
    Service s;
    Sender p(s.port());
    ASSERT_TRUE(p.opening());
    const std::string name(254, 'n');
    p.start("d");
    p.file(name, "first");
    ASSERT_TRUE(p.endFiles());
    p.keepFallbacks(2);
    p.start("d");
    p.file(name, "second");
    ASSERT_TRUE(p.endFiles());
    ASSERT_EQ(1u, p.errors.size());
    EXPECT_EQ(name, p.errors[0].texts[0]);
    EXPECT_EQ("first", readFile(s.path("d/" + name)));
    ASSERT_TRUE(p.quit());
}
