// The receiving service against senders that mean harm or have broken down:
// attributes aimed through links, peers that fall silent, and many peers at
// once. Each must lose nothing outside the root, and the service must keep
// serving the others.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/ftd/ftd_peer.h"

using namespace ftdtest;

namespace {

int modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

void link(Sender* p, const char* name, const std::string& target) {
    p->header(name, FT_TYPE_LINK, FT_BODY_NONE, static_cast<long long>(target.size()));
    p->out->writeBool(true);
    p->out->writeString(target.c_str());
}

}  // namespace

// A folder's mode and time are set when its transaction ends. A sender that
// puts a link in the folder's place before then, aimed through a link that
// someone made inside the root, must not have them set on what the links
// lead to outside.
TEST(FtdHostile, AFoldersAttributesNeverReachThroughALinkInItsPlace) {
    Service s;
    writeFile(s.outside + "/victim", "keep me private");
    ASSERT_EQ(0, chmod((s.outside + "/victim").c_str(), 0600));
    ASSERT_EQ(0, chmod(s.outside.c_str(), 0700));
    ASSERT_EQ(0, symlink(s.outside.c_str(), s.path("out").c_str()));
    Sender p(s.port(), FT_PROTOCOL_2);
    ASSERT_TRUE(p.connected);
    p.opening();
    p.start("");
    p.header("d", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0777);
    link(&p, "d", "out/victim");
    p.header("e", FT_TYPE_DIRECTORY, FT_BODY_NONE, 0, 0777);
    link(&p, "e", "out");
    p.plain(FT_END_OF_FILES);
    ASSERT_TRUE(p.sync());
    EXPECT_EQ(0600, modeOf(s.outside + "/victim"));
    EXPECT_EQ(0700, modeOf(s.outside));
    EXPECT_EQ("keep me private", readFile(s.outside + "/victim"));
    EXPECT_TRUE(p.quit());
}
