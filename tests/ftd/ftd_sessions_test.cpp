// The receiving service's state shared by its sessions: when the saved
// index is written.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <utility>

#include "tests/ftd/ftd_peer.h"

using namespace ftdtest;

namespace {

bool waitFor(const std::function<bool()>& pred) {
    for (int i = 0; i < 2000; i++) {
        if (pred()) return true;
        usleep(10 * 1000);
    }
    return pred();
}

}  // namespace

TEST(FtdSessions, TheSavedIndexIsNotRewrittenAfterEverySession) {
    // The saved index holds an entry per file of the tree: written whole
    // after every session that changed it, a large tree paid that much for
    // each short session, with every session's index work waiting for it.
    Service s;
    const std::string saved = s.path(".drvftd/index");
    std::set<std::pair<long long, long long>> versions;
    const int kSessions = 8;
    for (int i = 0; i < kSessions; i++) {
        {
            Sender p(s.port());
            ASSERT_TRUE(p.connected);
            p.opening();
            p.start("d");
            p.file("f" + std::to_string(i), "content " + std::to_string(i));
            p.plain(FT_END_OF_FILES);
            // Digests taken change the index.
            ASSERT_EQ(static_cast<size_t>(i + 1), p.index("d", true).size());
            ASSERT_TRUE(p.quit());
        }
        ASSERT_TRUE(waitFor([&] { return s.server->liveSessions() == 0; }));
        struct stat st;
        if (stat(saved.c_str(), &st) == 0)
            versions.insert({static_cast<long long>(st.st_ino),
                             static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec});
    }
    EXPECT_LT(versions.size(), static_cast<size_t>(kSessions / 2));
    // Stopping saves it: after a restart no digest is taken again.
    s.restart();
    Sender p(s.port());
    p.opening();
    std::vector<FtIndexRecord> index = p.index("d", true);
    ASSERT_EQ(static_cast<size_t>(kSessions), index.size());
    for (int i = 0; i < kSessions; i++) EXPECT_EQ(md5Hex("content " + std::to_string(i)), index[i].digest);
    EXPECT_EQ(0, s.server->index().digestsComputed());
    EXPECT_TRUE(p.quit());
}
