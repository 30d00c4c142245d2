// Helpers for the receiving service's tests of deep trees: small files,
// a tree many folders deep, and a tight limit of open descriptors (a walk
// or removal that held one per level would run out under it).
#ifndef DRV_TESTS_FTD_DEEP_TREE_H
#define DRV_TESTS_FTD_DEEP_TREE_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

inline void put(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
}

// A new folder "root" in scratch.
inline std::string makeRoot(const TempDir& scratch) {
    const std::string root = scratch.file("root");
    EXPECT_EQ(0, mkdir(root.c_str(), 0755));
    return root;
}

// Makes root/top/d/d/... depth folders below "top", with a file of each
// name in beside next to the folder at every level (holding its name), and
// returns the deepest folder's path relative to root.
inline std::string makeDeepTree(const std::string& root, int depth, std::initializer_list<const char*> beside) {
    std::string rel = "top";
    EXPECT_EQ(0, mkdir((root + "/" + rel).c_str(), 0755));
    for (int i = 0; i < depth; i++) {
        for (const char* name : beside) put(root + "/" + rel + "/" + name, name);
        rel += "/d";
        EXPECT_EQ(0, mkdir((root + "/" + rel).c_str(), 0755));
    }
    return rel;
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
    TightDescriptors(const TightDescriptors&) = delete;
    TightDescriptors& operator=(const TightDescriptors&) = delete;
    bool ok = false;

private:
    struct rlimit _saved;
};

#endif
