// The receiving service's index on its own: what forgetting an entry
// drops and what that costs.
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tools/ftd/ftd_index.h"
#include "tools/ftd/ftd_tree.h"

namespace {

void put(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
}

}  // namespace

TEST(FtdIndex, ForgettingDropsTheEntryAndWhatIsBelowItOnly) {
    TempDir scratch;
    const std::string root = scratch.file("root");
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    for (const char* d : {"p", "p/a", "p/a/y"}) ASSERT_EQ(0, mkdir((root + "/" + d).c_str(), 0755));
    const std::vector<std::string> files = {"p/a/x", "p/a/y/z", "p/a-b", "p/ab", "p/a.c", "p/a0"};
    for (const std::string& f : files) put(root + "/" + f, f);
    FtdTree tree(root.c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    std::string digest;
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    ASSERT_EQ(static_cast<long long>(files.size()), index.digestsComputed());
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    ASSERT_EQ(static_cast<long long>(files.size()), index.digestsComputed()) << "known digests are reused";
    index.forget("p/a");
    // Only what was below p/a is read again; names that merely begin the
    // same way are other entries.
    for (const std::string& f : files) ASSERT_TRUE(index.digest(f, &digest)) << f;
    EXPECT_EQ(static_cast<long long>(files.size()) + 2, index.digestsComputed());
    index.forget("p/a-b");
    ASSERT_TRUE(index.digest("p/a-b", &digest));
    ASSERT_TRUE(index.digest("p/ab", &digest));
    EXPECT_EQ(static_cast<long long>(files.size()) + 3, index.digestsComputed());
}

TEST(FtdIndex, ForgettingCostsNoWalkOfTheWholeIndex) {
    // Every link and every removal a sender asks for forgets its name; with
    // a large index each of them must not look at every entry.
    TempDir scratch;
    FtdTree tree(scratch.path().c_str());
    ASSERT_TRUE(tree.ok());
    FtdIndexStore index(tree);
    struct stat st;
    memset(&st, 0, sizeof(st));
    for (int i = 0; i < 100000; i++) index.noteWritten("d" + std::to_string(i % 100) + "/f" + std::to_string(i), st, "x");
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; i++) index.forget("gone/l" + std::to_string(i));
    for (int i = 0; i < 100; i++) index.forget("d" + std::to_string(i) + "/f" + std::to_string(i));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Quadratic, this took minutes.
    EXPECT_LT(seconds, 30.0);
}
