// The native file system under odd use: one instance shared by threads that
// fail at the same time, a tree deeper than the process may hold directories
// open, a memory file written far out, and the test jig's instance with and
// without its workspace.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "dirbase/sfs.h"
#include "dirbase/sfs_unix.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

TEST(SfsRobustness, ThreadsFailingTogetherOnOneInstanceKeepItsErrorTextIntact) {
    // The native instance is shared by every transfer; its last error is
    // per instance, so threads may read each other's, but recording one
    // must never free a text another thread is recording or reading.
    TempDir dir;
    Sfs* sfs = getNativeFileSystem();
    const std::string missing = dir.file("missing");
    const std::string notDir = dir.file("file/below");
    writeFile(dir.file("file"), "x");
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            struct stat64 st;
            const std::string& path = t % 2 == 0 ? missing : notDir;
            for (int i = 0; i < 20000; i++) {
                if (sfs->stat(path.c_str(), &st, false) != -1) bad[t]++;
                const char* text = sfs->getErrorString();
                // Whichever failure came last, its text is one of the two.
                if (strcmp(text, strerror(ENOENT)) != 0 && strcmp(text, strerror(ENOTDIR)) != 0) bad[t]++;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 4; t++) EXPECT_EQ(0, bad[t]) << "thread " << t;
    Sfs::dispose(sfs);
}

namespace {

int openDescriptors() {
    int n = 0;
    SfsDirectory* d = nullptr;
    Sfs* sfs = newUnixFileSystem(nullptr);
    if (sfs->opendir("/proc/self/fd", &d, false) == 0) {
        while (const char* name = d->readNext())
            if (name[0] != '.') n++;
        delete d;
    }
    Sfs::dispose(sfs);
    return n;
}

}  // namespace

TEST(SfsRobustness, RemovingATreeDeeperThanTheDescriptorLimitRemovesAllOfIt) {
    // A peer can send a tree far deeper than the descriptors the process
    // may hold open; removing it must not need one per level.
    TempDir dir;
    Sfs* sfs = newUnixFileSystem(nullptr);
    std::string top = dir.file("t");
    std::string path = top;
    const int depth = 300;
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(0, sfs->mkdir(path.c_str(), 0755, false, false)) << i;
        writeFile(path + "/f", "x");
        path += "/d";
    }
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(openDescriptors() + 100);
    ASSERT_LT(tight.rlim_cur, static_cast<rlim_t>(depth));
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    int rc = sfs->removePath(top.c_str(), false);
    int err = sfs->getLastError();
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, rc) << strerror(err);
    struct stat64 st;
    EXPECT_EQ(-1, sfs->lstat(top.c_str(), &st, false));
    Sfs::dispose(sfs);
}

TEST(SfsRobustness, MemoryFileRefusesAWriteFarPastWhatItCanHold) {
    // A position taken from elsewhere (a peer's offset, say) may lie far out;
    // writing there must fail, not try to grow the buffer to that size.
    MemoryFile file("abc", 3);
    char byte = 'x';
    ASSERT_EQ(0, file.seek(1LL << 50));
    EXPECT_EQ(-1, file.write(&byte, 1));
    EXPECT_EQ("abc", file.data());
    // Within reach, a write past the end fills the gap with zeros.
    ASSERT_EQ(0, file.seek(5));
    EXPECT_EQ(1, file.write(&byte, 1));
    EXPECT_EQ(std::string("abc\0\0x", 6), file.data());
}

TEST(SfsRobustness, TestJigFileSystemIsRootedUnderTheWorkspaceOrEndsTheProcess) {
    const char* saved = getenv("WORKSPACE_AND_BRANCH");
    std::string restore = saved != nullptr ? saved : "";
    {
        LogCapture log;
        setenv("WORKSPACE_AND_BRANCH", "/ws/branch", 1);
        Sfs* sfs = getTestJigFileSystem();
        ASSERT_NE(nullptr, sfs);
        EXPECT_STREQ("/ws/branch/projects/testharness/root-testharness-fs", sfs->getChroot());
        EXPECT_TRUE(log.contains("WARNING: chroot to /ws/branch/projects/testharness/root-testharness-fs"));
        // Its own instance, not the shared native one.
        Sfs* native = getNativeFileSystem();
        EXPECT_NE(native, sfs);
        EXPECT_EQ(nullptr, native->getChroot());
        Sfs::dispose(native);
        Sfs::dispose(sfs);
    }
    {
        LogCapture log;
        unsetenv("WORKSPACE_AND_BRANCH");
        EXPECT_EXIT(getTestJigFileSystem(), ::testing::ExitedWithCode(1), "");
        EXPECT_TRUE(log.contains("FATAL ERROR: WORKSPACE_AND_BRANCH variable not set"));
    }
    if (saved != nullptr) setenv("WORKSPACE_AND_BRANCH", restore.c_str(), 1);
}

TEST(SfsRobustness, ARelativeLinkBesideARelativeBaseIsNotTakenFromTheRoot) {
    // Only an empty base or "/" puts a relative link at the root; beside a
    // relative base it would be relative too, and such a result fails.
    Sfs* sfs = newUnixFileSystem(nullptr);
    char out[SFS_PATH_MAX];
    EXPECT_EQ(-1, sfs->realPath(out, sizeof out, "base", "etc", false));
    EXPECT_EQ(ENOENT, sfs->getLastError());
    EXPECT_EQ(-1, sfs->realPath(out, sizeof out, "dir/base", "etc", false));
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, "", "etc", false));
    EXPECT_STREQ("/etc", out);
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, "/", "etc", false));
    EXPECT_STREQ("/etc", out);
    ASSERT_EQ(0, sfs->realPath(out, sizeof out, "/base", "etc", false));
    EXPECT_STREQ("/etc", out);
    Sfs::dispose(sfs);
}
