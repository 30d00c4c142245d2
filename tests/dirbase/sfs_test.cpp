// The native file system layer: the root prefix, error recording, files,
// link resolution and tree removal.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/error_codes.h"
#include "dirbase/acl.h"
#include "dirbase/sfs.h"
#include "dirbase/sfs_unix.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

TEST(Sfs, RootPrefixAppliesToAbsolutePathsOnlyWhenAsked) {
    TempDir jail;
    mkdir(jail.file("etc").c_str(), 0755);
    writeFile(jail.file("etc/passwd"), "jailed");
    Sfs* sfs = newUnixFileSystem(jail.path().c_str());
    struct stat64 st;
    ASSERT_EQ(0, sfs->stat("/etc/passwd", &st, true));
    EXPECT_EQ(6, st.st_size);
    // "//" counts as one slash.
    ASSERT_EQ(0, sfs->stat("//etc/passwd", &st, true));
    EXPECT_EQ(6, st.st_size);
    // Without adjustment the real /etc/passwd is seen.
    ASSERT_EQ(0, sfs->stat("/etc/passwd", &st, false));
    EXPECT_NE(6, st.st_size);
    // A relative path is left alone (relative to the working directory).
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(jail.path().c_str()));
    EXPECT_EQ(0, sfs->stat("etc/passwd", &st, true));
    ASSERT_EQ(0, chdir(cwd));
    char out[64];
    EXPECT_EQ(-1, sfs->adjustForChroot(out, sizeof out, std::string(100, '/').c_str()));
    Sfs::dispose(sfs);
}

TEST(Sfs, FailuresRecordErrnoSharedCodeAndText) {
    Sfs* sfs = getNativeFileSystem();
    struct stat64 st;
    EXPECT_EQ(-1, sfs->stat("/no/such/path/here", &st, true));
    EXPECT_EQ(ENOENT, sfs->getLastError());
    EXPECT_EQ(DirError::fromPosix(ENOENT), sfs->getDravikaError());
    EXPECT_STREQ(strerror(ENOENT), sfs->getErrorString());
    static_cast<UnixSfs*>(sfs)->setError(0, DirError::E_TIMEOUT);
    EXPECT_STREQ("Timeout", sfs->getErrorString());
    // The native instance is shared and counted.
    Sfs* again = getNativeFileSystem();
    EXPECT_EQ(sfs, again);
    Sfs::dispose(again);
    Sfs::dispose(sfs);
}

TEST(Sfs, FilesReadWriteDigestAndRefuseMisuse) {
    TempDir dir;
    Sfs* sfs = getNativeFileSystem();
    SfsFile* f = nullptr;
    {
        LogCapture log;
        EXPECT_EQ(-1, sfs->open(dir.file("x").c_str(), &f, O_WRONLY | O_CREAT, 0, true));
        EXPECT_TRUE(log.contains("Logic error: cannot open file with O_CREAT and no perms"));
    }
    ASSERT_EQ(0, sfs->open(dir.file("x").c_str(), &f, O_WRONLY | O_CREAT | O_TRUNC, 0640, true));
    char text[] = "hello world";
    EXPECT_EQ(11, f->write(text, 11));
    EXPECT_EQ(0, f->close());
    EXPECT_EQ(0, f->close());
    Sfs::dispose(f);

    ASSERT_EQ(0, sfs->open(dir.file("x").c_str(), &f, O_RDONLY, 0, true));
    char digest[33];
    ASSERT_EQ(0, f->md5sum(0, digest));
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", digest);
    f->seek(6);
    ASSERT_EQ(0, f->md5sum(5, digest));
    EXPECT_STREQ("7d793037a0760186574b0282f2f435e7", digest);  // md5("world")
    char small[4];
    EXPECT_EQ(-1, f->read(small, -1));
    EXPECT_EQ(EINVAL, sfs->getLastError());
    {
        LogCapture log;
        EXPECT_EQ(-1, f->write(text, 3));
        EXPECT_TRUE(log.contains("Logic error: writing to a file not open for write"));
        EXPECT_EQ(EBADF, sfs->getLastError());
    }
    Sfs::dispose(f);

    MemoryFile mem("abcdef", 6);
    char buf[8];
    EXPECT_EQ(4, mem.read(buf, 4));
    EXPECT_EQ(2, mem.read(buf, 4));
    EXPECT_EQ(0, mem.read(buf, 4));
    mem.seek(2);
    EXPECT_EQ(3, mem.write(text, 3));
    EXPECT_EQ("abhelf", mem.data());
    mem.failReadsFrom(3);
    mem.seek(0);
    EXPECT_EQ(3, mem.read(buf, 8));
    EXPECT_EQ(-1, mem.read(buf, 8));
    Sfs::dispose(sfs);
}

TEST(Sfs, RealPathFollowsLinksAndStopsLoops) {
    TempDir dir;
    std::string base = dir.path();
    char real[4096];
    ASSERT_NE(nullptr, realpath(base.c_str(), real));
    base = real;
    Sfs* sfs = getNativeFileSystem();
    mkdir((base + "/a").c_str(), 0755);
    writeFile(base + "/a/f", "x");
    symlink("a", (base + "/to_a").c_str());
    symlink("../a/f", (base + "/a/up").c_str());
    char out[4096];
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, (base + "/to_a/./up").c_str(), nullptr, true));
    EXPECT_EQ(base + "/a/f", out);
    // A relative link is taken from the directory of base.
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, (base + "/a/up").c_str(), "../to_a/f", true));
    EXPECT_EQ(base + "/a/f", out);
    EXPECT_EQ(-1, sfs->realPath(out, sizeof out, "/", "../../..", true));
    EXPECT_EQ(ENOENT, sfs->getLastError());
    // A chain of 31 links is one more than allowed.
    for (int i = 0; i < 31; i++)
        symlink(("l" + std::to_string(i + 1)).c_str(), (base + "/l" + std::to_string(i)).c_str());
    writeFile(base + "/l31", "end");
    EXPECT_EQ(-1, sfs->realPath(out, sizeof out, (base + "/l0").c_str(), nullptr, true));
    EXPECT_EQ(ELOOP, sfs->getLastError());
    EXPECT_STREQ("Links Create a Loop", sfs->getErrorString());
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, (base + "/l2").c_str(), nullptr, true));
    EXPECT_EQ(base + "/l31", out);
    Sfs::dispose(sfs);
}

TEST(Sfs, DirectoriesTimesRemovalAndAccessList) {
    TempDir dir;
    Sfs* sfs = getNativeFileSystem();
    std::string deep = dir.file("p/q/r");
    ASSERT_EQ(0, sfs->mkdirPath(deep.c_str(), 0755, true));
    EXPECT_EQ(0, sfs->mkdirPath(deep.c_str(), 0755, true));
    EXPECT_EQ(-1, sfs->mkdir(deep.c_str(), 0755, true, false));
    EXPECT_EQ(0, sfs->mkdir(deep.c_str(), 0755, true, true));
    writeFile(deep + "/f", "1");
    ASSERT_EQ(0, sfs->setTLM((deep + "/f").c_str(), 1234567890123LL, true));
    struct stat64 st;
    ASSERT_EQ(0, sfs->stat((deep + "/f").c_str(), &st, true));
    EXPECT_EQ(1234567890, st.st_mtim.tv_sec);
    EXPECT_EQ(123000000, st.st_mtim.tv_nsec);
    EXPECT_EQ(1234567890, st.st_atim.tv_sec);
    EXPECT_EQ(-1, sfs->setTLM(dir.file("missing").c_str(), 0, true));
    // Through a link the time is the target's; a dangling link is missing.
    ASSERT_EQ(0, symlink((deep + "/f").c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, sfs->setTLM(dir.file("link").c_str(), 2000000000000LL, true));
    ASSERT_EQ(0, sfs->stat((deep + "/f").c_str(), &st, true));
    EXPECT_EQ(2000000000, st.st_mtim.tv_sec);
    ASSERT_EQ(0, symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()));
    EXPECT_EQ(-1, sfs->setTLM(dir.file("dangling").c_str(), 0, true));
    EXPECT_EQ(ENOENT, sfs->getLastError());
    EXPECT_EQ(1, sfs->isSameFileSystem(dir.path().c_str(), deep.c_str(), true));
    EXPECT_EQ(-1, sfs->isSameFileSystem(dir.path().c_str(), dir.file("missing").c_str(), true));
    SfsDirectory* d = nullptr;
    ASSERT_EQ(0, sfs->opendir(deep.c_str(), &d, true));
    std::set<std::string> names;
    while (const char* n = d->readNext()) names.insert(n);
    delete d;
    EXPECT_EQ((std::set<std::string>{".", "..", "f"}), names);
    // The access list names the special bits, and grants each of owner,
    // group and others what its bits allow.
    ASSERT_EQ(0, chmod((deep + "/f").c_str(), 04750));
    Acl* acl = sfs->getAcl((deep + "/f").c_str(), nullptr, true);
    ASSERT_NE(nullptr, acl);
    struct passwd* pw = getpwuid(geteuid());
    struct group* gr = getgrgid(getegid());
    ASSERT_TRUE(pw != nullptr && gr != nullptr);
    EXPECT_EQ(std::string("U`") + pw->pw_name + "`" + gr->gr_name +
                  "`SUID``A,owner@builtin/u,Read,Write,Execute`A,groupowner@builtin/g,Read,Execute",
              acl->getText());
    delete acl;
    ASSERT_EQ(0, sfs->removePath(dir.file("p").c_str(), true));
    EXPECT_EQ(-1, sfs->stat(dir.file("p").c_str(), &st, true));
    char home[4096];
    ASSERT_EQ(0, sfs->expandSpecialDirectory("${HOME}/x", home, sizeof home));
    EXPECT_EQ('/', home[0]);
    EXPECT_NE(nullptr, strstr(home, "/x"));
    EXPECT_EQ(-1, sfs->expandSpecialDirectory(nullptr, home, sizeof home));
    EXPECT_EQ(EINVAL, sfs->getLastError());
    Sfs::dispose(sfs);
}
