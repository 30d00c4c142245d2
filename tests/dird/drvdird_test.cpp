// drvdird as a program: the state folder made on first use, users added
// from standard input, serving until SIGTERM and then leaving cleanly.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

Outcome addUser(const std::string& state, const std::string& extra, const std::string& name,
                const std::string& password) {
    std::string cmd = "printf '%s\\n' '" + password + "' | " DRVDIRD_PATH " --state " + state + " " + extra +
                      " --add-user " + name;
    return runToEnd("/bin/sh", {"-c", cmd});
}

TEST(Drvdird, AddUserMakesTheStateFolderAndRefusesBadInput) {
    TempDir tmp;
    std::string state = tmp.file("state");
    // The first user's line is the README's example; a users file that does
    // not read, the user table's test.
    ASSERT_EQ(0, addUser(state, "--domain lab.example", "alice", "pw one").status);
    Outcome otherDomain = addUser(state, "--domain elsewhere", "bob", "x");
    EXPECT_EQ(1, otherDomain.status);
    EXPECT_NE(std::string::npos, otherDomain.err.find("belongs to domain 'lab.example'")) << otherDomain.err;
    Outcome noPassword = runToEnd("/bin/sh", {"-c", DRVDIRD_PATH " --state " + state + " --add-user bob < /dev/null"});
    EXPECT_EQ(1, noPassword.status);
    EXPECT_NE(std::string::npos, noPassword.err.find("no password"));
    Outcome badName = addUser(state, "", "bad:name", "x");
    EXPECT_EQ(1, badName.status);
    EXPECT_EQ(std::string::npos, readFile(state + "/users").find("bob"));
    Outcome usage = runToEnd(DRVDIRD_PATH, {"--port", "1"});
    EXPECT_EQ(64, usage.status);
    // Files are served only from a folder that exists.
    Outcome noFolder = runToEnd(DRVDIRD_PATH, {"--state", state, "--files", tmp.file("absent")});
    EXPECT_EQ(64, noFolder.status);
    EXPECT_NE(std::string::npos, noFolder.err.find("--files wants a folder")) << noFolder.err;
}

TEST(Drvdird, ServesUntilSigtermThenStopsCleanly) {
    TempDir tmp;
    Process p(DRVDIRD_PATH, {"--state", tmp.file("state"), "--domain", "lab.example", "--port", "0", "--log",
                             tmp.file("log")});
    ASSERT_TRUE(p.waitForOutput("serving on port")) << p.err();
    EXPECT_NE(std::string::npos, p.out().find("drvdird: domain lab.example serving on port "));
    for (const char* f : {"ca.pem", "ca.key", "server.pem", "server.key", "assets.json"})
        EXPECT_FALSE(readFile(tmp.file("state/") + f).empty()) << f;
    EXPECT_EQ(0, p.stop(SIGTERM)) << p.err();
    EXPECT_NE(std::string::npos, p.out().find("drvdird: stopping"));
    EXPECT_NE(std::string::npos, readFile(tmp.file("log")).find("dird: stopped ("));
}

}  // namespace
