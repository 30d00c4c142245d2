// The root prefix, the path wrappers, chroot.conf, the permission test and
// the tree walks, all on real files under a scratch directory.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/os.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

// Every test starts and ends without a prefix.
class OsPath : public ::testing::Test {
protected:
    void SetUp() override { s_set_chroot_path(nullptr); }
    void TearDown() override { s_set_chroot_path(nullptr); }

    TempDir tmp;
};

struct stat64 statOf(const std::string& path) {
    struct stat64 st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(0, lstat64(path.c_str(), &st)) << path;
    return st;
}

bool exists(const std::string& path) {
    struct stat64 st;
    return lstat64(path.c_str(), &st) == 0;
}

// Runs the file-system calls of this thread as an unprivileged user, which
// drops root's capabilities for them, until the end of the scope.
class Unprivileged {
public:
    Unprivileged() {
        setfsuid(65534);
        setfsgid(65534);
    }
    ~Unprivileged() {
        setfsuid(0);
        setfsgid(0);
    }
};

TEST_F(OsPath, PrefixGoesInFrontOfAbsolutePathsOnly) {
    const std::string jail = tmp.file("jail");
    ASSERT_EQ(0, mkdir(jail.c_str(), 0755));
    EXPECT_EQ(nullptr, s_get_chroot_path());
    char buf[8192];
    const char* relative = "etc/x";
    EXPECT_EQ(relative, s_adjust_path(buf, sizeof(buf), relative));
    const char* absolute = "/etc/x";
    EXPECT_EQ(absolute, s_adjust_path(buf, sizeof(buf), absolute)) << "no prefix set";

    s_set_chroot_path(jail.c_str());
    EXPECT_EQ(jail, s_get_chroot_path());
    EXPECT_EQ(jail + "/etc/x", s_adjust_path(buf, sizeof(buf), "/etc/x"));
    EXPECT_EQ(jail + "/etc/x", s_adjust_path(buf, sizeof(buf), "//etc/x"));
    EXPECT_EQ(relative, s_adjust_path(buf, sizeof(buf), relative));
    // At most len bytes are written.
    char small[8];
    EXPECT_EQ(small, s_adjust_path(small, sizeof(small), "/etc/x"));
    EXPECT_EQ(jail.substr(0, 7), small);

    // The wrappers act on the files inside the prefix.
    ASSERT_EQ(0, s_mkdir("/etc", 0755));
    FILE* f = s_fopen("//etc/x", "w");
    ASSERT_NE(nullptr, f);
    fputs("inside", f);
    fclose(f);
    EXPECT_EQ("inside", readFile(jail + "/etc/x"));
    struct stat64 st;
    EXPECT_EQ(0, s_stat("/etc/x", &st, true));
    EXPECT_EQ(6, st.st_size);
    EXPECT_EQ(0, s_lstat("/etc/x", &st, true));
    // Without the flag the path is taken as it is, and the real /etc has no such file.
    EXPECT_EQ(-1, s_stat("/etc/x", &st, false));

    int fd = s_open("/etc/y", O_CREAT | O_WRONLY, 0600, true);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(0, s_access("/etc/y", R_OK));
    EXPECT_EQ(0, s_chmod("/etc/y", 0640));
    EXPECT_EQ(0, s_chown("/etc/y", 4242, 4343));
    EXPECT_EQ(0, s_rename("/etc/y", "/etc/z"));
    st = statOf(jail + "/etc/z");
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(4242u, st.st_uid);

    DIR* dir = s_opendir("/etc", true);
    ASSERT_NE(nullptr, dir);
    int names = 0;
    struct dirent entry;
    struct dirent* result;
    while (s_readdir_r(dir, &entry, &result) == 0 && result != nullptr) names++;
    closedir(dir);
    EXPECT_EQ(4, names);  // ".", "..", x, z

    // A prefixed path that does not fit is refused, not cut short.
    std::string huge = "/" + std::string(8000, 'a');
    EXPECT_EQ(-1, s_access(huge.c_str(), F_OK));
    EXPECT_EQ(ENAMETOOLONG, errno);

    s_set_chroot_path("");
    EXPECT_EQ(nullptr, s_get_chroot_path());
}

TEST_F(OsPath, LinksCheckTheirTargetInsideThePrefix) {
    const std::string jail = tmp.file("jail");
    ASSERT_EQ(0, mkdir(jail.c_str(), 0755));
    ASSERT_EQ(0, mkdir((jail + "/data").c_str(), 0755));
    writeFile(jail + "/data/file", "content");
    s_set_chroot_path(jail.c_str());
    LogCapture log;

    EXPECT_EQ(0, s_symlink("/data/file", "/data/sym"));
    char target[256] = {};
    ASSERT_GT(readlink((jail + "/data/sym").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ("/data/file", target) << "a symbolic link keeps its text, resolved inside the prefix";

    EXPECT_EQ(0, s_link("/data/file", "/data/hard"));
    EXPECT_EQ(statOf(jail + "/data/file").st_ino, statOf(jail + "/data/hard").st_ino);

    EXPECT_EQ(-1, s_symlink("/data/missing", "/data/sym2"));
    EXPECT_TRUE(log.contains("Unable to stat(/data/missing) target for link"));
    EXPECT_FALSE(exists(jail + "/data/sym2"));
    EXPECT_EQ(-1, s_link("/data/missing", "/data/hard2"));

    EXPECT_EQ(-1, s_symlink("/data/file", "/data/sym"));
    EXPECT_TRUE(log.contains("Unable to create link target: /data/file link: /data/sym"));
}

TEST_F(OsPath, ModificationTimeAndTemporaryFiles) {
    const std::string file = tmp.file("f");
    writeFile(file, "x");
    struct timeval times[2] = {{1600000000, 250000}, {1600000000, 0}};
    ASSERT_EQ(0, utimes(file.c_str(), times));

    EXPECT_EQ(0, s_setTLM(file.c_str(), 1700000000123LL));
    struct stat64 st = statOf(file);
    EXPECT_EQ(1700000000, st.st_mtim.tv_sec);
    // The millisecond remainder sits in the microseconds field as it is.
    EXPECT_EQ(123 * 1000, st.st_mtim.tv_nsec);
    EXPECT_EQ(1600000000, st.st_atim.tv_sec) << "the access time is kept";
    EXPECT_EQ(250000 * 1000, st.st_atim.tv_nsec);
    EXPECT_EQ(-1, s_setTLM((tmp.file("missing")).c_str(), 0));

    // Through the prefix.
    s_set_chroot_path(tmp.path().c_str());
    EXPECT_EQ(0, s_setTLM("/f", 5000));
    EXPECT_EQ(5, statOf(file).st_mtim.tv_sec);

    char name[kTempPathLength];
    int fd = s_mkstemp(name);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, strncmp(name, "/tmp/dravika.", 13)) << name;
    EXPECT_EQ(21u, strlen(name));
    EXPECT_TRUE(exists(name)) << "no prefix for temporary files";
    close(fd);
    unlink(name);
}

TEST_F(OsPath, ChrootConfigurationLookup) {
    ASSERT_EQ(0, mkdir((tmp.file("security")).c_str(), 0755));
    // Under a line-by-line read in 1024-byte pieces, the comment's tail
    // would become a line of its own naming "late".
    std::string longComment = "#" + std::string(1022, 'x') + "late:/phantom\n";
    std::string longPath = "long:/" + std::string(1500, 'p') + "\n";
    std::string longName = std::string(80, 'n') + ":/too-long-name\n";
    writeFile(tmp.file("security/chroot.conf"),
              "# jail:/commented\n"
              "\n"
              "    \n"
              "/jail:/slashed\n" +
                  longComment + longPath + longName +
                  "   indented:   /srv/indented\n"
                  "nocolon /srv/x\n"
                  "jail: /srv/jail\n"
                  "jail:/srv/second\n"
                  "empty:\n"
                  "last:/srv/last");
    const char* dir = tmp.path().c_str();
    struct Case {
        std::string name, path;  // path "-": not found
    } cases[] = {
        {"jail", "/srv/jail"},  // the first matching line, blanks after the colon dropped
        {"indented", "/srv/indented"},
        {"empty", ""},
        {"last", "/srv/last"},
        {"long", "/" + std::string(1017, 'p')},  // a long line keeps what fits of it
        {"late", "-"},
        {std::string(80, 'n'), "-"},
        {"/jail", "-"},
        {"nocolon /srv/x", "-"},
        {"absent", "-"},
    };
    for (const Case& c : cases) {
        char out[4096] = "-";
        EXPECT_EQ(c.path == "-" ? -1 : 0, s_getchroot(out, sizeof(out), dir, c.name.c_str())) << c.name;
        EXPECT_EQ(c.path, out) << c.name;
    }
    // The output is cut to its length less one.
    char small[8];
    ASSERT_EQ(0, s_getchroot(small, sizeof(small), dir, "jail"));
    EXPECT_STREQ("/srv/ja", small);
    EXPECT_EQ(-1, s_getchroot(small, sizeof(small), tmp.file("nowhere").c_str(), "jail"));
}

TEST_F(OsPath, PermissionTestByOwnerGroupAndOther) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to made-up users";
    const uid_t owner = 4100;
    const gid_t group = 4200;
    auto makeFile = [&](const char* name, mode_t mode) {
        std::string path = tmp.file(name);
        writeFile(path, "");
        EXPECT_EQ(0, chown(path.c_str(), owner, group));
        EXPECT_EQ(0, chmod(path.c_str(), mode));
        return path;
    };
    const gid_t none[] = {0};
    const gid_t member[] = {17, group, 0};
    const gid_t afterEnd[] = {17, 0, group};

    std::string f = makeFile("f640", 0640);
    EXPECT_TRUE(s_access(f.c_str(), 4, owner, 1, none));
    EXPECT_TRUE(s_access(f.c_str(), 6, owner, 1, none));
    EXPECT_FALSE(s_access(f.c_str(), 1, owner, 1, none));
    EXPECT_TRUE(s_access(f.c_str(), 4, 5000, group, none)) << "primary group";
    EXPECT_FALSE(s_access(f.c_str(), 2, 5000, group, none));
    EXPECT_TRUE(s_access(f.c_str(), 4, 5000, 1, member)) << "supplementary group";
    EXPECT_FALSE(s_access(f.c_str(), 4, 5000, 1, afterEnd)) << "the list ends at its first 0";
    EXPECT_FALSE(s_access(f.c_str(), 4, 5000, 1, nullptr));
    // Root may execute anything; for everything else only the bits count.
    EXPECT_TRUE(s_access(f.c_str(), 1, 0, 0, none));
    EXPECT_FALSE(s_access(f.c_str(), 4, 0, 0, none));

    // Other bits are tried first and count for the owner too; a class must
    // grant every bit asked for on its own.
    f = makeFile("f402", 0402);
    EXPECT_TRUE(s_access(f.c_str(), 2, owner, 1, none));
    EXPECT_TRUE(s_access(f.c_str(), 4, owner, 1, none));
    EXPECT_FALSE(s_access(f.c_str(), 6, owner, 1, none));
    EXPECT_TRUE(s_access(f.c_str(), 2, 5000, 1, none));
    EXPECT_FALSE(s_access(f.c_str(), 4, 5000, group, none));

    f = makeFile("f075", 0075);
    EXPECT_FALSE(s_access(f.c_str(), 2, owner, 1, none)) << "the owner class has nothing";
    EXPECT_TRUE(s_access(f.c_str(), 7, 5000, group, none));
    EXPECT_TRUE(s_access(f.c_str(), 5, 5000, 1, none));

    EXPECT_FALSE(s_access((tmp.file("missing")).c_str(), 4, owner, group, none));
    // Through the prefix.
    s_set_chroot_path(tmp.path().c_str());
    EXPECT_TRUE(s_access("/f640", 4, owner, 1, none));
    EXPECT_FALSE(s_access("/f641", 4, owner, 1, none));
}

TEST_F(OsPath, TreesAreReownedAndRemovedChildrenFirstWithoutFollowingLinks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to made-up users";
    const std::string outside = tmp.file("outside");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    writeFile(outside + "/keep", "keep");
    const std::string tree = tmp.file("tree");
    for (const char* d : {"", "/a", "/a/b", "/e"}) ASSERT_EQ(0, mkdir((tree + d).c_str(), 0755));
    writeFile(tree + "/a/b/c.txt", "c");
    writeFile(tree + "/a/d.txt", "d");
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/a/b/to-outside").c_str()));
    ASSERT_EQ(0, symlink((outside + "/keep").c_str(), (tree + "/keep-link").c_str()));

    EXPECT_EQ(0, s_chown_recursively(tree.c_str(), 4321, 8765));
    for (const char* p : {"", "/a", "/a/b", "/e", "/a/b/c.txt", "/a/d.txt", "/a/b/to-outside", "/keep-link"}) {
        struct stat64 st = statOf(tree + p);
        EXPECT_EQ(4321u, st.st_uid) << p;
        EXPECT_EQ(8765u, st.st_gid) << p;
    }
    EXPECT_EQ(0u, statOf(outside).st_uid) << "a link's target is not re-owned";
    EXPECT_EQ(0u, statOf(outside + "/keep").st_uid);

    EXPECT_EQ(0, s_remove_path(tree.c_str()));
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ("keep", readFile(outside + "/keep")) << "removal does not follow links";

    // Through the prefix, applied once at the top; a plain file works too.
    ASSERT_EQ(0, mkdir((tmp.file("t2")).c_str(), 0755));
    writeFile(tmp.file("t2/f"), "f");
    writeFile(tmp.file("single"), "s");
    s_set_chroot_path(tmp.path().c_str());
    EXPECT_EQ(0, s_chown_recursively("/t2", 77, 88));
    EXPECT_EQ(77u, statOf(tmp.file("t2/f")).st_uid);
    EXPECT_EQ(0, s_remove_path("/t2"));
    EXPECT_FALSE(exists(tmp.file("t2")));
    EXPECT_EQ(0, s_remove_path("/single"));
    EXPECT_FALSE(exists(tmp.file("single")));
}

TEST_F(OsPath, TreeWalkFailuresAreLoggedAndMapped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop and regain privileges";
    LogCapture log;
    const std::string missing = tmp.file("missing");
    EXPECT_EQ(15, s_remove_path(missing.c_str()));
    EXPECT_TRUE(log.contains("Unable to unlink (remove) file: " + missing));
    EXPECT_EQ(15, s_chown_recursively(missing.c_str(), 1, 1));
    EXPECT_TRUE(log.contains("Unable to chown file: " + missing));
    writeFile(tmp.file("plain"), "");
    EXPECT_EQ(34, s_remove_path((tmp.file("plain/below")).c_str())) << "ENOTDIR";

    // Root-owned entries, walked by an unprivileged user.
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    const std::string tree = tmp.file("tree");
    for (const char* d : {"", "/empty", "/closed", "/sticky"}) ASSERT_EQ(0, mkdir((tree + d).c_str(), 0755));
    ASSERT_EQ(0, chmod((tree + "/closed").c_str(), 0700));
    ASSERT_EQ(0, chmod((tree + "/sticky").c_str(), 01777));
    writeFile(tree + "/sticky/f", "");
    writeFile(tree + "/f", "");
    {
        Unprivileged nobody;
        EXPECT_EQ(23, s_chown_recursively((tree + "/f").c_str(), 1, 1)) << "EPERM";
        EXPECT_EQ(23, s_chown_recursively((tree + "/empty").c_str(), 1, 1));
        EXPECT_EQ(34, s_chown_recursively((tree + "/closed").c_str(), 1, 1)) << "EACCES";
        EXPECT_EQ(23, s_remove_path((tree + "/sticky").c_str())) << "EPERM under the sticky bit";
        EXPECT_EQ(34, s_remove_path((tree + "/f").c_str())) << "EACCES";
        EXPECT_EQ(34, s_remove_path((tree + "/empty").c_str()));
    }
    EXPECT_TRUE(log.contains("Unable to chown file: " + tree + "/f"));
    EXPECT_TRUE(log.contains("Unable to chown directory: " + tree + "/empty"));
    EXPECT_TRUE(log.contains("Unable to open directory " + tree + "/closed"));
    EXPECT_TRUE(log.contains("Unable to unlink (remove) file: " + tree + "/sticky/f"));
    EXPECT_TRUE(log.contains("Unable to rmdir (remove) directory: " + tree + "/empty"));
    // The errno text follows on the next line.
    EXPECT_TRUE(log.contains("Permission denied"));
    EXPECT_TRUE(exists(tree + "/sticky/f")) << "the walk stops at the first failure";
}

// A walk must not hold a directory open for every level it descends: a tree
// deeper than the descriptors the process has left is still a tree.
TEST_F(OsPath, DeepTreesAreWalkedWithFewDescriptors) {
    const int kDepth = 200;
    const std::string tree = tmp.file("deep");
    std::string dir = tree;
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (int i = 0; i < kDepth; i++) {
        dir += "/d";
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        writeFile(dir + "/f", "f");
    }
    // Room for the walk and a few spare, far fewer than the levels.
    int highest = open("/dev/null", O_RDONLY);
    ASSERT_GE(highest, 0);
    close(highest);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highest + 16);
    ASSERT_LT(low.rlim_cur, static_cast<rlim_t>(kDepth));
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    int chowned = s_chown_recursively(tree.c_str(), static_cast<int>(geteuid()), static_cast<int>(getegid()));
    int removed = s_remove_path(tree.c_str());
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, chowned);
    EXPECT_EQ(0, removed);
    EXPECT_FALSE(exists(tree));
}

}  // namespace
