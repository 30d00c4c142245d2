// drvft copy against the receiving service on loopback: real trees with
// their attributes, a second run that sends nothing, a 1% change sent as a
// partial update, the index across a restart, --delete with protected
// paths and after folders became files or links, a move, a file growing
// while it is read, and a service killed mid-file.
#include <atomic>
#include <thread>

#include "tests/ftd/ftd_peer.h"
#include "tests/support/process.h"

using namespace ftdtest;

namespace {

void setTimes(const std::string& path, long long ms) {
    struct timespec t[2];
    // Floored, so that times before 1970 keep their nanoseconds in range.
    long long secs = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
    t[0].tv_sec = t[1].tv_sec = secs;
    t[0].tv_nsec = t[1].tv_nsec = (ms - secs * 1000) * 1000000;
    EXPECT_EQ(0, utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW)) << path;
}

Outcome drvft(const std::vector<std::string>& args) {
    return runToEnd(DRVFT_PATH, args);
}

// The bytes the service received in sessions that have ended.
long long received(Service& s, long long before) {
    EXPECT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
    return s.server->bytesReceived() - before;
}

}  // namespace

TEST(DrvftToDrvftd, TreesArriveWithAttributesAndOnlyChangesTravelAgain) {
    Service s;
    TempDir local;
    const std::string src = local.file("src");
    const std::string odd = "with space, new\nline and é名";
    mkdir(src.c_str(), 0755);
    mkdir((src + "/empty").c_str(), 0700);
    mkdir((src + "/sub").c_str(), 0755);
    // Crosses every buffer size on the way (100 MB is too slow under the
    // sanitizers; the boundaries are the same).
    std::string big = randomBytes(3 * 1024 * 1024 + 5, 21);
    writeFile(src + "/sub/big", big);
    writeFile(src + "/zero", "");
    writeFile(src + "/sub/" + odd, "odd");
    chmod((src + "/sub/big").c_str(), 0750);
    chmod((src + "/zero").c_str(), 0600);
    symlink("sub/big", (src + "/inside").c_str());
    symlink("/etc/passwd", (src + "/escaping").c_str());
    const long long t0 = 1500000000250LL;
    setTimes(src + "/sub/big", t0);
    setTimes(src + "/zero", t0 + 1000);
    setTimes(src + "/empty", t0 + 2000);
    // Times before 1970 arrive as they are too, so the next run finds
    // nothing to send.
    mkdir((src + "/old").c_str(), 0755);
    writeFile(src + "/old/file", randomBytes(64 * 1024, 31));
    setTimes(src + "/old/file", -86400123LL);
    setTimes(src + "/old", -1000500LL);

    const std::string to = "127.0.0.1:" + s.port() + ":backup";
    Outcome first = drvft({"copy", src + "/", to});
    ASSERT_EQ(0, first.status) << first.err << first.out;
    const std::string d = s.path("backup/");
    EXPECT_TRUE(big == readFile(d + "sub/big"));
    EXPECT_EQ("", readFile(d + "zero"));
    EXPECT_TRUE(exists(d + "zero"));
    EXPECT_EQ("odd", readFile(d + "sub/" + odd));
    EXPECT_EQ(0750, modeOf(d + "sub/big"));
    EXPECT_EQ(0600, modeOf(d + "zero"));
    EXPECT_EQ(0700, modeOf(d + "empty"));
    EXPECT_EQ(t0, mtimeMs(d + "sub/big"));
    EXPECT_EQ(t0 + 1000, mtimeMs(d + "zero"));
    EXPECT_EQ(t0 + 2000, mtimeMs(d + "empty"));
    EXPECT_EQ(-86400123LL, mtimeMs(d + "old/file"));
    EXPECT_EQ(-1000500LL, mtimeMs(d + "old"));
    EXPECT_EQ("sub/big", linkTarget(d + "inside"));
    EXPECT_FALSE(exists(d + "escaping")) << "a link leaving the tree is not copied";
    long long firstBytes = received(s, 0);
    EXPECT_GT(firstBytes, static_cast<long long>(big.size()) / 2);

    // Nothing changed: the index says so and no file travels.
    Outcome second = drvft({"copy", src + "/", to});
    ASSERT_EQ(0, second.status) << second.err;
    long long secondBytes = received(s, firstBytes);
    EXPECT_LT(secondBytes, 4096) << "a second run sends headers only";

    // 1% of the large file changed in place: sent as a partial update.
    std::string patch = randomBytes(big.size() / 100, 22);
    big.replace(big.size() / 2, patch.size(), patch);
    writeFile(src + "/sub/big", big);
    Outcome third = drvft({"copy", src + "/", to});
    ASSERT_EQ(0, third.status) << third.err;
    long long thirdBytes = received(s, firstBytes + secondBytes);
    EXPECT_TRUE(big == readFile(d + "sub/big"));
    EXPECT_LT(thirdBytes, static_cast<long long>(big.size()) / 10)
        << "the changed 1% and the block exchange, not the whole file";
    EXPECT_GT(thirdBytes, static_cast<long long>(patch.size()));

    // After a restart the service answers from its saved index.
    s.restart();
    Outcome fourth = drvft({"copy", src + "/", "127.0.0.1:" + s.port() + ":backup"});
    ASSERT_EQ(0, fourth.status) << fourth.err;
    EXPECT_LT(received(s, 0), 4096);
    EXPECT_EQ(0, s.server->index().digestsComputed());
}

// --delete removes what vanished from the source except protected paths and
// lost+found. Folders the source now has as a file and as a link: each
// takes its folder's place, and what the folders held, still listed in the
// index, is gone with them; removing it fails nothing.
TEST(DrvftToDrvftd, DeleteRemovesVanishedEntriesAndFoldersThatBecameAFileOrALink) {
    Service s;
    TempDir local;
    const std::string src = local.file("src");
    for (const char* dir : {"", "/keep", "/old", "/a", "/a/sub", "/l"}) mkdir((src + dir).c_str(), 0755);
    for (const char* f : {"/stays", "/gone", "/keep/precious", "/old/a", "/a/b", "/a/sub/c", "/l/z"})
        writeFile(src + f, f);
    const std::string to = "127.0.0.1:" + s.port() + ":d";
    ASSERT_EQ(0, drvft({"copy", src + "/", to}).status);
    ASSERT_EQ("/l/z", readFile(s.path("d/l/z")));
    mkdir(s.path("d/lost+found").c_str(), 0755);
    for (const char* f : {"/gone", "/keep/precious", "/old/a", "/a/sub/c", "/a/b", "/l/z"}) unlink((src + f).c_str());
    for (const char* dir : {"/old", "/a/sub", "/a", "/l"}) rmdir((src + dir).c_str());
    writeFile(src + "/a", "now a file");
    symlink("a", (src + "/l").c_str());

    Outcome o = drvft({"copy", src + "/", to, "--delete", "--filter", "P /keep/***"});
    ASSERT_EQ(0, o.status) << o.err << o.out;
    EXPECT_EQ("/stays", readFile(s.path("d/stays")));
    EXPECT_FALSE(exists(s.path("d/gone")));
    EXPECT_FALSE(exists(s.path("d/old")));
    EXPECT_EQ("/keep/precious", readFile(s.path("d/keep/precious")));
    EXPECT_TRUE(exists(s.path("d/lost+found")));
    EXPECT_EQ("now a file", readFile(s.path("d/a")));
    EXPECT_EQ("a", linkTarget(s.path("d/l")));
}

// A move takes every source file that arrived, including those the
// destination already had unchanged, and the folders that leaves empty.
TEST(DrvftToDrvftd, MoveEmptiesTheSourceEvenOfUnchangedFiles) {
    Service s;
    TempDir local;
    const std::string src = local.file("src");
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0755);
    writeFile(src + "/old", "already there");
    const std::string to = "127.0.0.1:" + s.port() + ":m";
    ASSERT_EQ(0, drvft({"copy", src + "/", to}).status);
    writeFile(src + "/sub/new", "new");

    Outcome o = drvft({"copy", src + "/", to, "--move"});
    ASSERT_EQ(0, o.status) << o.err << o.out;
    EXPECT_EQ("already there", readFile(s.path("m/old")));
    EXPECT_EQ("new", readFile(s.path("m/sub/new")));
    EXPECT_FALSE(exists(src + "/old"));
    EXPECT_FALSE(exists(src + "/sub"));
    EXPECT_FALSE(exists(src)) << "a source ending in / is its contents: the emptied folder goes too";
}

TEST(DrvftToDrvftd, AFileGrowingWhileReadNeverArrivesTorn) {
    Service s;
    TempDir local;
    const std::string src = local.file("src");
    mkdir(src.c_str(), 0755);
    const std::string start = randomBytes(4 * 1024 * 1024, 23);
    writeFile(src + "/growing", start);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        int fd = open((src + "/growing").c_str(), O_WRONLY | O_APPEND);
        std::string more = randomBytes(4096, 24);
        for (int i = 0; i < 300 && !stop; i++) {
            if (write(fd, more.data(), more.size()) < 0) break;
            usleep(2000);
        }
        close(fd);
    });
    Outcome o = drvft({"copy", src + "/", "127.0.0.1:" + s.port() + ":g"});
    stop = true;
    writer.join();
    std::string final = readFile(src + "/growing");
    std::string got = readFile(s.path("g/growing"));
    // What arrived is a whole state of the file, never a mix: the file is
    // either refused (the sender could not read it whole) or a prefix of
    // the final content at least as long as the start.
    if (!got.empty()) {
        EXPECT_GE(got.size(), start.size());
        EXPECT_TRUE(final.compare(0, got.size(), got) == 0);
    }
    EXPECT_TRUE(noTemporaryFiles(s.root));
    if (o.status == 0) {
        EXPECT_TRUE(final == got) << "an accepted copy is validated against the file as it ended";
    } else {
        EXPECT_NE(std::string::npos, (o.err + o.out).find("growing")) << o.err << o.out;
        EXPECT_TRUE(got.empty()) << "a file that failed is not installed";
    }
}

TEST(DrvftToDrvftd, AServiceKilledMidFileFailsTheSenderAndKeepsThePreviousFile) {
    TempDir root;
    TempDir local;
    mkdir(root.file("dest").c_str(), 0755);
    writeFile(root.file("dest/big"), "previous complete version");
    const std::string src = local.file("src");
    mkdir(src.c_str(), 0755);
    writeFile(src + "/big", randomBytes(48 * 1024 * 1024, 25));
    Process service(DRVFTD_PATH, {"--root", root.path(), "--port", "0", "--log", "/dev/null"});
    ASSERT_TRUE(service.waitForOutput("listening on port"));
    std::string out = service.out();
    std::string port = out.substr(out.find("port ") + 5);
    port = port.substr(0, port.find('\n'));
    Process sender(DRVFT_PATH, {"copy", src + "/", "127.0.0.1:" + port + ":dest"});
    // Once the new version is arriving, the service dies.
    auto arriving = [&] { return !noTemporaryFiles(root.path()); };
    ASSERT_TRUE(waitFor(arriving, 60000));
    service.stop(SIGKILL);
    int status = sender.wait();
    EXPECT_NE(0, status) << sender.out();
    EXPECT_FALSE(sender.err().empty());
    EXPECT_EQ("previous complete version", readFile(root.file("dest/big")));

    // The half-written temporary is still in the staging folder until a
    // service starts on the root again; then it goes, and files in the tree
    // that merely look like one stay, whatever their mode.
    EXPECT_FALSE(noTemporaryFiles(root.path()));
    mkdir(root.file("dest/sub").c_str(), 0755);
    writeFile(root.file("dest/sub/.x.ftd-00beef"), "a user's own file");
    chmod(root.file("dest/sub/.x.ftd-00beef").c_str(), 0600);
    FtdServer again(root.path().c_str(), nullptr, nullptr);
    ASSERT_EQ(0, again.start("0", "127.0.0.1"));
    EXPECT_EQ("a user's own file", readFile(root.file("dest/sub/.x.ftd-00beef")));
    unlink(root.file("dest/sub/.x.ftd-00beef").c_str());
    EXPECT_TRUE(noTemporaryFiles(root.path()));
    EXPECT_EQ("previous complete version", readFile(root.file("dest/big")));
}
