// A service that does not run as root keeps the read-only folders it
// received updatable: files are replaced and removed inside them, and whole
// read-only trees are removed, while each folder keeps the mode the sender
// gave it. Run as root, the case drops to an unprivileged user in a child
// process, since root writes into read-only folders anyway.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/ftd/ftd_peer.h"

using namespace ftdtest;

namespace {

const uid_t kNobody = 65534;

int modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// The case itself; false, with what went wrong on standard error, on the
// first difference.
bool updatesInsideReadOnlyFolders() {
    Service s;
    Sender p(s.port());
    if (!p.opening()) return false;
    auto check = [&](bool ok, const char* what) {
        if (!ok) fprintf(stderr, "failed: %s\n", what);
        for (const Reply& e : p.errors) fprintf(stderr, "error from the service: %s: %s\n", e.texts[0].c_str(), e.texts[3].c_str());
        return ok && p.errors.empty();
    };
    p.start("d");
    p.header("a", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0555);
    p.file("a/f", "one");
    p.header("a/b", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0555);
    p.file("a/b/g", "deep");
    if (!check(p.endFiles() && modeOf(s.path("d/a")) == 0555 && modeOf(s.path("d/a/b")) == 0555, "first list"))
        return false;
    // A file sent again on its own, as a validation pass does, with no
    // entry for its folder before it.
    p.start("d");
    p.file("a/f", "two");
    p.link("a/l", "f");
    if (!check(p.endFiles() && readFile(s.path("d/a/f")) == "two", "replacing a file")) return false;
    p.remove("d/a/f");
    if (!check(p.sync() && !exists(s.path("d/a/f")), "removing a file")) return false;
    if (!check(modeOf(s.path("d/a")) == 0555, "the folder keeps its mode")) return false;
    p.remove("d/a");
    if (!check(p.sync() && !exists(s.path("d/a")), "removing the tree")) return false;
    return p.quit();
}

}  // namespace

TEST(FtdReadOnlyFolders, AServiceWithoutRootUpdatesAndRemovesInsideThem) {
    if (geteuid() != 0) {
        EXPECT_TRUE(updatesInsideReadOnlyFolders());
        return;
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0) {
                perror("dropping root");
                _exit(2);
            }
            _exit(updatesInsideReadOnlyFolders() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
