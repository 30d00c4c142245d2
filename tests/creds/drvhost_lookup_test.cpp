// drvhost --lookup: the host stand-in answers "-testcred" itself, so its
// lookups run through its own program as the child.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

Outcome drvhost(const std::vector<std::string>& args) { return runToEnd(DRVHOST_PATH, args); }

}  // namespace

TEST(DrvhostLookup, PrintsWhatTheSystemKnows) {
    struct passwd* root = getpwuid(0);
    ASSERT_NE(nullptr, root);
    std::string user = std::string("user ") + root->pw_name + ": uid 0, gid " + std::to_string(root->pw_gid) +
                       ", home " + root->pw_dir + ", groups ";
    Outcome byName = drvhost({"--lookup", "user", root->pw_name});
    EXPECT_EQ(0, byName.status) << byName.err;
    EXPECT_EQ(0u, byName.out.find(user)) << byName.out;
    Outcome byId = drvhost({"--lookup", "uid", "0"});
    EXPECT_EQ(byName.out, byId.out);

    struct group* group = getgrgid(0);
    ASSERT_NE(nullptr, group);
    std::string groupLine = std::string("group ") + group->gr_name + ": gid 0\n";
    EXPECT_EQ(groupLine, drvhost({"--lookup", "gid", "0"}).out);
    EXPECT_EQ(groupLine, drvhost({"--lookup", "group", group->gr_name}).out);
    EXPECT_EQ("host localhost: 127.0.0.1\n", drvhost({"--lookup", "host", "localhost"}).out);
}

TEST(DrvhostLookup, MissingEntriesAndBadRequestsAreTold) {
    Outcome missing = drvhost({"--lookup", "user", "drv-no-such-user"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("", missing.out);
    EXPECT_NE(std::string::npos, missing.err.find("no such user: drv-no-such-user"));
    EXPECT_EQ(1, drvhost({"--lookup", "host", "drv-no-such-host.invalid"}).status);
    EXPECT_EQ(64, drvhost({"--lookup", "uid", "zero"}).status);
    EXPECT_EQ(64, drvhost({"--lookup", "shell", "root"}).status);
    EXPECT_EQ(64, drvhost({"--lookup", "user"}).status);
    EXPECT_EQ(64, drvhost({"--lookup", "user", "root", "--verify", "root"}).status);
}

// The parent never passes a buffer size the child refuses: a configured size
// beyond the limit is held to it, and lookups go on working.
TEST(DrvhostLookup, ABufferSizeBeyondTheLimitIsHeldToIt) {
    TempDir dir;
    std::string props = dir.file("dravika.properties");
    writeFile(props, "creds_buffer_size: 2000000\n");
    struct passwd* root = getpwuid(0);
    ASSERT_NE(nullptr, root);
    Outcome run = drvhost({"--properties", props, "--lookup", "user", root->pw_name});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(0u, run.out.find(std::string("user ") + root->pw_name + ": uid 0")) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("creds_buffer_size 2000000 is above the largest lookup buffer; "
                                              "1048576 is used"))
        << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("unable to read")) << run.err;
}

// A child's argument list that does not parse fails as a child: nothing
// answered, and the program itself never runs in the child's place.
TEST(DrvhostLookup, AChildListThatDoesNotParseFailsAsAChild) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"-bufsize", "2000000", "-testcred"}, {"--count", "1", "-testcred"}, {"-bufsize", "-testcred"}}) {
        Outcome run = drvhost(args);
        EXPECT_EQ(12, run.status) << args[0] << ": " << run.err;
        EXPECT_EQ("", run.out);
        EXPECT_EQ("", run.err);
    }
}
