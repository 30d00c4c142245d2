// The receiving service's hold on its root: removing deep trees within the
// descriptors a session is counted, and the names of its state folder.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tools/ftd/ftd_tree.h"

namespace {

void put(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
}

// A limit of open descriptors a few dozen above those open now (new ones
// take the lowest free numbers), for as long as it lives.
class TightDescriptors {
public:
    TightDescriptors() {
        int limit = 0;
        for (int free = 0; free < 40; limit++)
            if (fcntl(limit, F_GETFD) < 0) free++;
        ok = getrlimit(RLIMIT_NOFILE, &_saved) == 0;
        struct rlimit tight = _saved;
        tight.rlim_cur = static_cast<rlim_t>(limit);
        ok = ok && setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~TightDescriptors() {
        if (ok) setrlimit(RLIMIT_NOFILE, &_saved);
    }
    bool ok = false;

private:
    struct rlimit _saved;
};

}  // namespace

TEST(FtdTree, RemovingADeepTreeHoldsFewDescriptors) {
    // A sender can make a tree two thousand folders deep with one name and
    // then ask for its removal; a removal holding a descriptor per level
    // would fail, and while it ran every other session (and the listener)
    // could open nothing.
    TempDir scratch;
    const std::string root = scratch.file("root");
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    const int kDepth = 300;
    std::string rel = "top";
    ASSERT_EQ(0, mkdir((root + "/" + rel).c_str(), 0755));
    for (int i = 0; i < kDepth; i++) {
        rel += "/d";
        ASSERT_EQ(0, mkdir((root + "/" + rel).c_str(), 0755));
        // Entries beside the folder at every level, before and after it in
        // the folder's order.
        put(root + "/" + rel.substr(0, rel.size() - 2) + "/a", "a");
        put(root + "/" + rel.substr(0, rel.size() - 2) + "/z", "z");
    }
    put(root + "/" + rel + "/bottom", "b");
    put(root + "/keep", "k");
    FtdTree tree(root.c_str());
    ASSERT_TRUE(tree.ok());
    int rc = -1;
    int err = 0;
    {
        TightDescriptors tight;
        ASSERT_TRUE(tight.ok);
        rc = tree.remove("top");
        err = errno;
    }
    EXPECT_EQ(0, rc) << strerror(err);
    struct stat st;
    EXPECT_NE(0, lstat((root + "/top").c_str(), &st));
    EXPECT_EQ(0, lstat((root + "/keep").c_str(), &st));
}

TEST(FtdTree, TheStateFolderCannotBeNamedInAnotherCase) {
    // On a root whose folders ignore case (a casefolded file system), any
    // spelling of the state folder reaches it: its index, its staging and
    // fallback folders.
    for (const char* peer : {".DRVFTD/index", ".DrvFtd/tmp/f-1", "./.drvFTD", ".Drvftd"}) {
        std::string rel;
        std::string reason;
        EXPECT_FALSE(FtdTree::confine(peer, &rel, &reason)) << peer;
        EXPECT_EQ("path names the service's state folder", reason) << peer;
    }
    std::string rel;
    std::string reason;
    EXPECT_TRUE(FtdTree::confine("x/.DRVFTD", &rel, &reason));
    EXPECT_EQ("x/.DRVFTD", rel);
    EXPECT_TRUE(FtdTree::confine(".drvftd2", &rel, &reason));
}
