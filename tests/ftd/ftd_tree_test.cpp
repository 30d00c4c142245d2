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

#include "tests/ftd/deep_tree.h"
#include "tests/support/temp_dir.h"
#include "tools/ftd/ftd_tree.h"

TEST(FtdTree, RemovingADeepTreeHoldsFewDescriptors) {
    // A sender can make a tree two thousand folders deep with one name and
    // then ask for its removal; a removal holding a descriptor per level
    // would fail, and while it ran every other session (and the listener)
    // could open nothing.
    TempDir scratch;
    const std::string root = makeRoot(scratch);
    // Entries beside the folder at every level, before and after it in the
    // folder's order.
    const std::string rel = makeDeepTree(root, 300, {"a", "z"});
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
