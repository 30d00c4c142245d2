// Login verification through PAM in the child, against services of the
// test's own (a private configuration folder read with pam_start_confdir):
// no system account or password is touched.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <set>
#include <string>

#include "common/properties.h"
#include "tests/creds/creds_test_support.h"
#include "tests/support/log_capture.h"

using credstest::childrenFor;
using credstest::CredsTest;

namespace {

std::set<std::string> names(char** list) {
    std::set<std::string> out;
    for (char** p = list; p != nullptr && *p != nullptr; p++) out.insert(*p);
    return out;
}

// Loads a properties file with the given text; each load gets its own
// modification time so that the reload sees a change.
void loadProperties(const std::string& text) {
    static long long stamp = 1000000;
    std::string file = credstest::path("dravika.properties");
    writeFile(file, text);
    struct timeval times[2] = {{stamp, 0}, {stamp, 0}};
    stamp += 10;
    utimes(file.c_str(), times);
    s_setDravikaPropertiesPath(file.c_str());
    ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
}

class LoginTest : public CredsTest {
protected:
    void SetUp() override {
        CredsTest::SetUp();
        service("drv-permit", "pam_permit.so", "pam_permit.so");
        service("drv-deny", "pam_deny.so", "pam_permit.so");
        service("drv-noaccount", "pam_permit.so", "pam_deny.so");
        // pam_exec hands the password it got through the conversation to a
        // script that accepts one word only.
        std::string check = credstest::path("check-password");
        writeFile(check, "#!/bin/sh\n[ \"$(tr -d '\\000')\" = \"s3cret word\" ]\n");
        chmod(check.c_str(), 0755);
        service("drv-password", "pam_exec.so expose_authtok quiet " + check, "pam_permit.so");
        loadProperties("");
        root = getpwuid(0)->pw_name;
        rootGroups.clear();
        gid_t groups[256];
        int n = 256;
        getgrouplist(root.c_str(), getpwuid(0)->pw_gid, groups, &n);
        for (int i = 0; i < n; i++) rootGroups.insert(getgrgid(groups[i])->gr_name);
    }
    void TearDown() override {
        s_setDravikaPropertiesPath(nullptr);
        CredsTest::TearDown();
    }

    static void service(const std::string& name, const std::string& auth, const std::string& account) {
        writeFile(credstest::path("pam.d/" + name), "auth required " + auth + "\naccount required " + account + "\n");
    }

    // The groups of an accepted login, or "refused".
    std::set<std::string> login(const char* service, const char* password, bool accessOnly = false,
                                const char* user = nullptr) {
        char** groups = s_verify_login(service, user != nullptr ? user : root.c_str(), "LOCAL", password, accessOnly);
        if (groups == nullptr) return {"refused"};
        std::set<std::string> out = names(groups);
        s_free_grouplist(groups);
        return out;
    }

    std::string root;
    std::set<std::string> rootGroups;
};

const std::set<std::string> kRefused = {"refused"};

}  // namespace

TEST_F(LoginTest, PamDecidesAndAcceptedLoginsGetTheUsersGroups) {
    LogCapture captured;
    EXPECT_EQ(rootGroups, login("drv-permit", "anything"));
    EXPECT_EQ(kRefused, login("drv-deny", "anything"));
    EXPECT_TRUE(captured.contains("Creds: s_verify_login, fails"));
    EXPECT_EQ(kRefused, login("drv-noaccount", "anything"));
    EXPECT_EQ(kRefused, login("drv-no-such-service", "anything"));
    // Access only: the account check without authentication.
    EXPECT_EQ(rootGroups, login("drv-deny", "", true));
    EXPECT_EQ(kRefused, login("drv-noaccount", "", true));
    // The password reaches PAM through the conversation.
    EXPECT_EQ(rootGroups, login("drv-password", "s3cret word"));
    EXPECT_EQ(kRefused, login("drv-password", "s3cret"));
    // A login PAM accepts for a user the system does not know is refused.
    EXPECT_EQ(kRefused, login("drv-permit", "x", false, "drv-no-such-user"));
    // Logins are never cached: each one of root's asked a child, the
    // repeated ones too.
    EXPECT_EQ(rootGroups, login("drv-permit", "anything"));
    EXPECT_EQ(kRefused, login("drv-deny", "anything"));
    EXPECT_EQ(10, childrenFor(CREDS_OP_LOGIN, root));
}

TEST_F(LoginTest, GroupLockAcceptsMembersOfAnyListedGroup) {
    LogCapture captured;
    std::string group = *rootGroups.begin();
    loadProperties("auth_group_lock: drv-no-such-group, " + group + "\n");
    EXPECT_EQ(rootGroups, login("drv-permit", "x"));
    EXPECT_TRUE(captured.contains("Creds: s_verify_login, auth_group_lock in place"));
    EXPECT_TRUE(captured.contains("Creds: s_verify_login, group found"));

    loadProperties("auth_group_lock: drv-no-such-group drv-other-group\n");
    EXPECT_EQ(kRefused, login("drv-permit", "x"));
    EXPECT_TRUE(captured.contains("Creds: s_verify_login, user is not a member of the required group(s) (see "
                                  "auth_group_lock in dravika.properties)"));
    // Only the lock refused: PAM itself was not asked to.
    EXPECT_EQ(2, childrenFor(CREDS_OP_LOGIN, root));
}

// The group lock judges the groups the login itself found, not an answer
// cached before it: a user just added to (or taken out of) the required
// group is judged by that at once, not up to five minutes later.
TEST_F(LoginTest, GroupLockJudgesTheGroupsTheLoginFound) {
    std::string group = *rootGroups.begin();
    struct group* gr = getgrnam(group.c_str());
    ASSERT_NE(nullptr, gr);
    gid_t required = gr->gr_gid;
    // An earlier answer for the user, from before it was in the group.
    CredsCacheEntry* earlier = new CredsCacheEntry();
    earlier->created = credsNow();
    earlier->kind = CREDS_KIND_USER;
    earlier->userName = root;
    earlier->uid = 0;
    earlier->gid = required + 1;
    earlier->groups = {required + 1};
    _credsCache.release(_credsCache.add(earlier));
    loadProperties("auth_group_lock: " + group + "\n");
    EXPECT_EQ(rootGroups, login("drv-permit", "x"));
    // And the lookups that follow get the login's answer too.
    char buf[1024];
    struct passwd pw, *result;
    ASSERT_EQ(0, s_getpwnam_r(root.c_str(), &pw, buf, sizeof(buf), &result));
    EXPECT_EQ(getpwuid(0)->pw_gid, pw.pw_gid);
    EXPECT_EQ(0, childrenFor(CREDS_OP_USER_BY_NAME, root));
}

TEST_F(LoginTest, OnlyRootIsAdministratorOfARootProcess) {
    ASSERT_EQ(0u, geteuid()) << "the administrator rules differ for a process not run as root";
    LogCapture captured;
    EXPECT_TRUE(s_verify_admin_user("drv-permit", "root", "x"));
    EXPECT_FALSE(s_verify_admin_user("drv-deny", "root", "x"));
    EXPECT_TRUE(captured.contains("Sorry, root is not admin user"));
    const char* other = getpwnam("daemon") != nullptr ? "daemon" : "nobody";
    EXPECT_FALSE(s_verify_admin_user("drv-permit", other, "x"));
    EXPECT_TRUE(captured.contains("Creds: s_verify_admin_user, fails.  User authenticated but is not root"));
    EXPECT_TRUE(captured.contains(std::string("Sorry, ") + other + " is not admin user"));
}
