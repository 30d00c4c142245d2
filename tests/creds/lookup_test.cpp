// User, group and host lookups through the child, checked against the
// system's own answers; the lock table, the cache and the safety thread.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/properties.h"
#include "tests/creds/creds_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait_for.h"

using credstest::childrenFor;
using credstest::CredsTest;

namespace {

// A few users and groups every Linux machine has; only those this one has
// are used.
std::vector<std::string> systemUsers() {
    std::vector<std::string> found;
    for (const char* name : {"root", "daemon", "bin", "nobody"})
        if (getpwnam(name) != nullptr) found.push_back(name);
    return found;
}

// An id nobody on this machine has.
uid_t unusedUid() {
    uid_t id = 3999999;
    while (getpwuid(id) != nullptr || getgrgid(id) != nullptr) id--;
    return id;
}

std::set<gid_t> systemGroupIds(const char* user, gid_t gid) {
    gid_t groups[256];
    int n = 256;
    getgrouplist(user, gid, groups, &n);
    return std::set<gid_t>(groups, groups + n);
}

// Reaps every child of the process the moment it ends, for as long as it
// lives.
class ChildReaper {
public:
    ChildReaper() : _thread([this] {
        while (!_stop) {
            siginfo_t info;
            if (waitid(P_ALL, 0, &info, WEXITED) != 0 && errno == ECHILD) usleep(1000);
        }
    }) {}
    ~ChildReaper() {
        _stop = true;
        _thread.join();
    }

private:
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

}  // namespace

using LookupTest = CredsTest;

TEST_F(LookupTest, UsersAndGroupsMatchTheSystem) {
    char buf[4096];
    for (const std::string& name : systemUsers()) {
        SCOPED_TRACE(name);
        struct passwd* sys = getpwnam(name.c_str());
        ASSERT_NE(nullptr, sys);
        std::string sysDir = sys->pw_dir;
        uid_t sysUid = sys->pw_uid;
        gid_t sysGid = sys->pw_gid;

        struct passwd ours, *result = nullptr;
        ASSERT_EQ(0, s_getpwnam_r(name.c_str(), &ours, buf, sizeof(buf), &result));
        ASSERT_EQ(&ours, result);
        EXPECT_EQ(name, ours.pw_name);
        EXPECT_EQ(sysUid, ours.pw_uid);
        EXPECT_EQ(sysGid, ours.pw_gid);
        EXPECT_EQ(sysDir, ours.pw_dir);

        ASSERT_EQ(0, s_getpwuid_r(sysUid, &ours, buf, sizeof(buf), &result));
        ASSERT_EQ(&ours, result);
        EXPECT_EQ(name, ours.pw_name);
        EXPECT_EQ(sysUid, static_cast<uid_t>(s_get_uid(name.c_str())));

        gid_t groups[200];
        int n = 200;
        ASSERT_GT(s_getgroups(name.c_str(), sysGid, groups, &n), 0);
        EXPECT_EQ(systemGroupIds(name.c_str(), sysGid), std::set<gid_t>(groups, groups + n));
        std::set<std::string> sysNames, ourNames;
        for (gid_t g : systemGroupIds(name.c_str(), sysGid)) {
            struct group* gr = getgrgid(g);
            sysNames.insert(gr != nullptr ? gr->gr_name : std::to_string(g));
        }
        char** list = s_getgrouplist(name.c_str());
        ASSERT_NE(nullptr, list);
        for (char** p = list; *p != nullptr; p++) ourNames.insert(*p);
        s_free_grouplist(list);
        EXPECT_EQ(sysNames, ourNames);
    }

    char* rootName = s_getusername(0);
    ASSERT_NE(nullptr, rootName);
    EXPECT_STREQ(getpwuid(0)->pw_name, rootName);
    free(rootName);

    struct group* sysRoot = getgrgid(0);
    ASSERT_NE(nullptr, sysRoot);
    std::string rootGroup = sysRoot->gr_name;
    struct group gr, *gresult = nullptr;
    ASSERT_EQ(0, s_getgrgid_r(0, &gr, buf, sizeof(buf), &gresult));
    ASSERT_EQ(&gr, gresult);
    EXPECT_EQ(rootGroup, gr.gr_name);
    EXPECT_EQ(nullptr, gr.gr_mem[0]);
    ASSERT_EQ(0, s_getgrnam_r(rootGroup.c_str(), &gr, buf, sizeof(buf), &gresult));
    ASSERT_EQ(&gr, gresult);
    EXPECT_EQ(0u, gr.gr_gid);
    EXPECT_EQ(0, s_get_gid(rootGroup.c_str()));
    char* groupName = s_getgroupname(0);
    ASSERT_NE(nullptr, groupName);
    EXPECT_EQ(rootGroup, groupName);
    free(groupName);

    // Too small a buffer is the caller's problem, as with the C library.
    struct passwd small, *smallResult = &small;
    EXPECT_EQ(ERANGE, s_getpwnam_r("root", &small, buf, 4, &smallResult));
    EXPECT_EQ(nullptr, smallResult);
    EXPECT_EQ(ERANGE, s_getgrgid_r(0, &gr, buf, 3, &gresult));
}

TEST_F(LookupTest, MissingEntriesAreNotFoundAndCachedAsSuch) {
    char buf[1024];
    const char* missing = "drv-no-such-entry";
    uid_t unused = unusedUid();
    struct passwd pw, *result = &pw;
    struct group gr, *gresult = &gr;
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(0, s_getpwnam_r(missing, &pw, buf, sizeof(buf), &result));
        EXPECT_EQ(nullptr, result);
        EXPECT_EQ(0, s_getpwuid_r(unused, &pw, buf, sizeof(buf), &result));
        EXPECT_EQ(nullptr, result);
        EXPECT_EQ(0, s_getgrnam_r(missing, &gr, buf, sizeof(buf), &gresult));
        EXPECT_EQ(nullptr, gresult);
        EXPECT_EQ(0, s_getgrgid_r(unused, &gr, buf, sizeof(buf), &gresult));
        EXPECT_EQ(nullptr, gresult);
        EXPECT_EQ(-1, s_get_uid(missing));
        EXPECT_EQ(-1, s_get_gid(missing));
        EXPECT_EQ(nullptr, s_getusername(unused));
        EXPECT_EQ(nullptr, s_getgrouplist(missing));
        int n = 10;
        gid_t groups[10];
        EXPECT_EQ(-1, s_getgroups(missing, 0, groups, &n));
    }
    // The second round came from the cache: one child per key.
    EXPECT_EQ(1, childrenFor(CREDS_OP_USER_BY_NAME, missing));
    EXPECT_EQ(1, childrenFor(CREDS_OP_USER_BY_ID, ""));
    EXPECT_EQ(1, childrenFor(CREDS_OP_GROUP_BY_NAME, missing));
    EXPECT_EQ(1, childrenFor(CREDS_OP_GROUP_BY_ID, ""));
}

TEST_F(LookupTest, HostsResolveLikeTheSystem) {
    struct addrinfo hints = {}, *list = nullptr;
    hints.ai_family = AF_INET;
    ASSERT_EQ(0, getaddrinfo("localhost", nullptr, &hints, &list));
    uint32_t expected = reinterpret_cast<struct sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);

    int error = -1;
    EXPECT_EQ(expected, s_gethostbyname("localhost", &error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(0u, s_gethostbyname("drv-no-such-host.invalid", &error));
    EXPECT_EQ(HOST_NOT_FOUND, error);
    EXPECT_EQ(expected, s_gethostbyname("localhost", &error));
    EXPECT_EQ(1, childrenFor(CREDS_OP_HOST_BY_NAME, "localhost"));
}

TEST_F(LookupTest, EnumerationsListWhatTheSystemLists) {
    std::set<std::string> sysUsers, sysGroups, ourUsers, ourGroups;
    setpwent();
    for (struct passwd* p = getpwent(); p != nullptr; p = getpwent()) sysUsers.insert(p->pw_name);
    endpwent();
    setgrent();
    for (struct group* g = getgrent(); g != nullptr; g = getgrent()) sysGroups.insert(g->gr_name);
    endgrent();

    char buf[1024];
    struct passwd pw, *result;
    s_setpwent();
    int rc;
    while ((rc = s_getpwent_r(&pw, buf, sizeof(buf), &result)) == 0) ourUsers.insert(pw.pw_name);
    EXPECT_EQ(ENOENT, rc);
    s_endpwent();
    struct group gr, *gresult;
    s_setgrent();
    // An entry that does not fit is handed out again with a bigger buffer.
    ASSERT_EQ(ERANGE, s_getgrent_r(&gr, buf, 2, &gresult));
    while ((rc = s_getgrent_r(&gr, buf, sizeof(buf), &gresult)) == 0) ourGroups.insert(gr.gr_name);
    EXPECT_EQ(ENOENT, rc);
    s_endgrent();
    EXPECT_EQ(sysUsers, ourUsers);
    EXPECT_EQ(sysGroups, ourGroups);

    // Every group came into the cache with the enumeration.
    credstest::unmark("children");
    EXPECT_EQ(0, s_getgrgid_r(0, &gr, buf, sizeof(buf), &gresult));
    EXPECT_EQ(&gr, gresult);
    EXPECT_TRUE(credstest::children().empty());

    // Each enumeration caches every group again; the answers it replaces
    // are of no more use and must not stay behind, even when nothing is
    // looked up in between.
    int once = _credsCache.size();
    for (int i = 0; i < 3; i++) {
        s_setgrent();
        s_endgrent();
    }
    EXPECT_EQ(once, _credsCache.size());
}

// A directory with many groups: caching the enumeration's groups must not
// compare every group with every other (hours at this size), nor hold the
// cache that long. The bound is only there to fail rather than hang.
TEST_F(LookupTest, ALargeGroupEnumerationIsCachedInOnePass) {
    const int kGroups = 100000;
    writeFile(credstest::path("many-groups"), std::to_string(kGroups));
    auto start = std::chrono::steady_clock::now();
    s_setgrent();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    char buf[256];
    struct group gr, *result;
    int listed = 0;
    while (s_getgrent_r(&gr, buf, sizeof(buf), &result) == 0) listed++;
    s_endgrent();
    EXPECT_EQ(kGroups, listed);
    EXPECT_LT(seconds.count(), 60);
    EXPECT_EQ(kGroups, _credsCache.size());
    // Every group is found under its id and its name without a child.
    credstest::unmark("children");
    ASSERT_EQ(0, s_getgrgid_r(credstest::kManyGroupsFirstId + 12345, &gr, buf, sizeof(buf), &result));
    ASSERT_EQ(&gr, result);
    EXPECT_STREQ("drv-many-12345", gr.gr_name);
    EXPECT_EQ(static_cast<long>(credstest::kManyGroupsFirstId), s_get_gid("drv-many-0"));
    EXPECT_TRUE(credstest::children().empty());
}

TEST_F(LookupTest, ConcurrentLookupsOfOneKeyRunOneChild) {
    credstest::mark("slow");
    const int kThreads = 8;
    std::vector<std::thread> threads;
    std::vector<std::string> names(kThreads), others(kThreads);
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([i, &names, &others] {
            char buf[1024];
            struct passwd pw, *result = nullptr;
            if (s_getpwnam_r("root", &pw, buf, sizeof(buf), &result) == 0 && result != nullptr) names[i] = pw.pw_name;
            // A different key runs beside it.
            if (i == 0 && s_getpwuid_r(0, &pw, buf, sizeof(buf), &result) == 0 && result != nullptr)
                others[i] = pw.pw_name;
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& n : names) EXPECT_EQ("root", n);
    EXPECT_EQ("root", others[0]);
    EXPECT_EQ(1, childrenFor(CREDS_OP_USER_BY_NAME, "root"));
    EXPECT_GE(_credsCounters.blocked.load(), 1);
    EXPECT_EQ(0, _credsLocks.slotsInUse());
}

TEST_F(LookupTest, CacheLifetimeFollowsTheClockEvenWhenItIsSetBack) {
    LogCapture captured;
    char buf[1024];
    struct passwd pw, *result;
    auto lookUp = [&] {
        EXPECT_EQ(0, s_getpwnam_r("root", &pw, buf, sizeof(buf), &result));
        EXPECT_EQ(&pw, result);
        return childrenFor(CREDS_OP_USER_BY_NAME, "root");
    };
    EXPECT_EQ(1, lookUp());
    credstest::clockOffset() = 299;
    EXPECT_EQ(1, lookUp());
    credstest::clockOffset() = 301;
    EXPECT_EQ(2, lookUp());  // the old answer expired; the new one is fresh
    EXPECT_EQ(2, lookUp());
    timeoutCredsCache();
    EXPECT_EQ(3, lookUp());
    flushCredsCache();
    EXPECT_EQ(0, _credsCache.size());
    EXPECT_EQ(4, lookUp());
    EXPECT_EQ(1, _credsCache.size());  // expired entries go once nobody uses them
    EXPECT_TRUE(captured.contains("Creds: cache flushed"));

    // An entry in use survives a flush and its own expiry.
    CredsCacheEntry* held = _credsCache.find(credsNow(), "root", 0, CREDS_OP_USER_BY_NAME);
    ASSERT_NE(nullptr, held);
    flushCredsCache();
    timeoutCredsCache();
    EXPECT_EQ(nullptr, _credsCache.find(credsNow(), "root", 0, CREDS_OP_USER_BY_NAME));
    EXPECT_EQ(1, _credsCache.size());
    EXPECT_EQ("root", held->userName);
    _credsCache.release(held);
    flushCredsCache();
    EXPECT_EQ(0, _credsCache.size());

    // A system clock set back (by hand, or by a time service at start-up)
    // must not make the answers taken before it look fresh for as long as
    // the step: their age is unknown, so they are looked up again.
    EXPECT_EQ(5, lookUp());
    credstest::clockOffset() -= 1;  // a second's wobble is no step
    EXPECT_EQ(5, lookUp());
    credstest::clockOffset() -= 3600;
    EXPECT_EQ(6, lookUp());
    EXPECT_EQ(6, lookUp());  // the new answer is fresh by the new clock
    EXPECT_EQ(1, _credsCache.size());
}

TEST(CredsLockTable, SameKeyWaitsAndAFullTableOnlyLosesCoalescing) {
    LogCapture captured;
    CredsLockTable table;
    std::vector<int> slots;
    for (int i = 0; i < CredsLockTable::kSlots; i++)
        slots.push_back(table.lockOrWait(("user" + std::to_string(i)).c_str(), 0, CREDS_OP_USER_BY_NAME));
    EXPECT_EQ(CredsLockTable::kSlots - 1, slots.back());
    EXPECT_EQ(-1, table.lockOrWait("one-more", 0, CREDS_OP_USER_BY_NAME));
    EXPECT_TRUE(captured.contains("Creds: Warning: cred lock table too small"));
    // Another operation or id is another key.
    table.unlock(slots[1]);
    table.unlock(slots[2]);
    int other = table.lockOrWait("user0", 7, CREDS_OP_USER_BY_ID);
    EXPECT_EQ(slots[1], other);
    table.unlock(other);

    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        int slot = table.lockOrWait("user0", 0, CREDS_OP_USER_BY_NAME);
        entered = true;
        table.unlock(slot);
    });
    usleep(100 * 1000);
    EXPECT_FALSE(entered.load());
    table.unlock(slots[0]);
    waiter.join();
    EXPECT_TRUE(entered.load());
    for (size_t i = 3; i < slots.size(); i++) table.unlock(slots[i]);
    EXPECT_EQ(0, table.slotsInUse());
}

// A lookup of "daemon" on a thread of its own whose first child hangs: the
// child's process id once it has started (empty when it never did; the
// lookup is then let go and joined).
struct HungLookup {
    std::string name;
    std::atomic<bool> done{false};
    std::thread thread;
    std::string pid;

    HungLookup() {
        credstest::mark("hang");
        thread = std::thread([this] {
            char buf[1024];
            struct passwd pw, *result = nullptr;
            if (s_getpwnam_r("daemon", &pw, buf, sizeof(buf), &result) == 0 && result != nullptr)
                name = pw.pw_name;
            done = true;
        });
        for (int i = 0; i < 1000 && pid.empty(); i++) {
            usleep(10000);
            pid = readFile(credstest::path("hung.pid"));
        }
        if (pid.empty()) {
            credstest::clockOffset() += 16;
            thread.join();
        }
    }
    // Waits up to 10 s for the lookup to end; false when it did not (its
    // child is then killed, so that it ends and the test can report).
    bool endsInTime() {
        for (int i = 0; i < 1000 && !done; i++) usleep(10000);
        bool ended = done;
        if (!ended) kill(std::stoi(pid), SIGKILL);
        thread.join();
        return ended;
    }
};

// A lookup whose first child hangs: the child must be left alone while
// young, killed once older than 15 seconds, and the lookup retried.
void expectHungChildKilledAndTheLookupRetried() {
    LogCapture captured;
    credsSetSafetyPeriodForTests(20);
    HungLookup lookup;
    const std::string& pid = lookup.pid;
    if (pid.empty()) FAIL() << "the child never started";
    // Not killed while young ...
    usleep(100 * 1000);
    EXPECT_EQ(0, kill(std::stoi(pid), 0));
    // ... but once older than 15 seconds.
    credstest::clockOffset() += 16;
    if (!lookup.endsInTime()) FAIL() << "the hung child was never killed";
    EXPECT_EQ("daemon", lookup.name);
    EXPECT_EQ(2, childrenFor(CREDS_OP_USER_BY_NAME, "daemon"));
    EXPECT_TRUE(captured.contains("Creds: credSafetyTimer will kill sub-process " + std::to_string(std::stoi(pid)) +
                                  ". it's seems to have hung"));
    EXPECT_TRUE(captured.contains("Creds: unable to read error reply from child process"));
    // Killed and reaped.
    EXPECT_EQ(-1, kill(std::stoi(pid), 0));
}

// Without a free slot the lookup runs all the same, and its child is
// watched all the same.
TEST_F(LookupTest, HungChildIsKilledAndTheLookupRetriedWithOrWithoutALockSlot) {
    expectHungChildKilledAndTheLookupRetried();
    flushCredsCache();
    for (const char* m : {"children", "hung", "hung.pid"}) credstest::unmark(m);
    std::vector<int> slots;
    for (int i = 0; i < CredsLockTable::kSlots; i++)
        slots.push_back(_credsLocks.lockOrWait(("filler" + std::to_string(i)).c_str(), 0, CREDS_OP_USER_BY_NAME));
    expectHungChildKilledAndTheLookupRetried();
    for (int slot : slots) _credsLocks.unlock(slot);
    EXPECT_EQ(0, _credsLocks.slotsInUse());
}

// A clock set back while a child hangs must not spare the child for as long
// as the step: it is killed 15 seconds after the clock was seen going back.
std::atomic<long> _clockReads{0};
long long countedClock() {
    long long now = credstest::testClock();
    _clockReads++;
    return now;
}

TEST_F(LookupTest, HungChildIsKilledAfterTheClockIsSetBack) {
    credsSetSafetyPeriodForTests(20);
    credsSetClock(countedClock);
    HungLookup lookup;
    if (lookup.pid.empty()) FAIL() << "the child never started";
    credstest::clockOffset() = -3600;
    // The safety thread must see the clock set back before it moves on,
    // however late a loaded machine lets it run. While the lookup hangs it
    // alone reads the clock, once a pass: a read under way now may still
    // get the old time, the next gets the new one, and the one after comes
    // once the pass that read it is over.
    long seen = _clockReads.load();
    EXPECT_TRUE(waitFor([&] { return _clockReads.load() >= seen + 3; }, 30000)) << "the safety thread never looked";
    EXPECT_EQ(0, kill(std::stoi(lookup.pid), 0));
    credstest::clockOffset() = -3600 + 16;
    EXPECT_TRUE(lookup.endsInTime()) << "the hung child was spared";
    EXPECT_EQ(2, childrenFor(CREDS_OP_USER_BY_NAME, "daemon"));
}

TEST_F(LookupTest, ChildrenThatFailAreRetriedThenReported) {
    LogCapture captured;
    char buf[1024];
    struct passwd pw, *result = nullptr;
    credstest::mark("die");
    EXPECT_EQ(0, s_getpwnam_r("root", &pw, buf, sizeof(buf), &result));
    EXPECT_EQ(&pw, result);
    EXPECT_EQ(2, childrenFor(CREDS_OP_USER_BY_NAME, "root"));
    EXPECT_TRUE(captured.contains("Creds: unable to read error reply from child process (step 1)"));

    // A program that cannot run: three tries, then the call fails, and
    // nothing is cached for it. The failure is told even when another
    // thread reaps every child as soon as it ends, as the agent's signal
    // thread does.
    std::string saved = commandPath;
    ASSERT_TRUE(s_setCredsCommandPath("/nonexistent/drv-program"));
    int before = _credsCounters.lookups.load();
    {
        ChildReaper reaper;
        EXPECT_EQ(EIO, s_getpwnam_r("bin", &pw, buf, sizeof(buf), &result));
    }
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(3, _credsCounters.lookups.load() - before);
    EXPECT_EQ(3, captured.count("lookup: unable to execute -testcred command"));
    ASSERT_TRUE(s_setCredsCommandPath(saved.c_str()));
    EXPECT_EQ(0, s_getpwnam_r("bin", &pw, buf, sizeof(buf), &result));
    EXPECT_EQ(&pw, result);
    EXPECT_FALSE(s_setCredsCommandPath(std::string(kCredsCommandPathLength, 'x').c_str()));
}

// A child that ends unanswered while a helper it forked still holds the
// answer pipe: the lookup must see the child gone rather than wait for the
// helper, and try again.
TEST_F(LookupTest, AChildThatEndsIsGoneEvenWhileItsHelperHoldsThePipe) {
    LogCapture captured;
    credstest::mark("linger");
    std::atomic<bool> done{false};
    std::string name;
    std::thread lookup([&] {
        char buf[1024];
        struct passwd pw, *result = nullptr;
        if (s_getpwnam_r("daemon", &pw, buf, sizeof(buf), &result) == 0 && result != nullptr) name = pw.pw_name;
        done = true;
    });
    // Wide: the helper lives for a minute, and a lookup that waits for it
    // takes that long.
    for (int i = 0; i < 1500 && !done; i++) usleep(10000);
    bool ended = done;
    std::string helper = readFile(credstest::path("linger.pid"));
    if (!helper.empty()) kill(std::stoi(helper), SIGKILL);
    lookup.join();
    ASSERT_FALSE(helper.empty()) << "the helper never started";
    EXPECT_TRUE(ended) << "the lookup waited for the helper";
    EXPECT_EQ("daemon", name);
    EXPECT_EQ(2, childrenFor(CREDS_OP_USER_BY_NAME, "daemon"));
    EXPECT_TRUE(captured.contains("Creds: unable to read error reply from child process (step 1)"));
}

// libnss-sss can fill in the group asked for and still report ERANGE, and
// the C library then gives no result pointer; the workaround takes the
// group when it is the one asked for.
TEST_F(LookupTest, NssWorkaroundTakesAFilledInGroupReportedTooLarge) {
    char buf[1024];
    gid_t unused = unusedUid();
    struct group gr, *gresult = &gr;
    struct WorkaroundOff {
        ~WorkaroundOff() { _nss_creds_workaround = false; }
    } off;
    credstest::mark("sss");
    EXPECT_EQ(0, s_getgrgid_r(unused, &gr, buf, sizeof(buf), &gresult));
    EXPECT_EQ(nullptr, gresult) << "without the workaround ERANGE is a failure";
    flushCredsCache();

    _nss_creds_workaround = true;
    gresult = nullptr;
    EXPECT_EQ(0, s_getgrgid_r(unused, &gr, buf, sizeof(buf), &gresult));
    ASSERT_EQ(&gr, gresult);
    EXPECT_EQ(unused, gr.gr_gid);
    EXPECT_STREQ("drv-sss-group", gr.gr_name);
    flushCredsCache();

    // A group other than the one asked for is not taken.
    credstest::unmark("sss");
    credstest::mark("sss-other");
    gresult = &gr;
    EXPECT_EQ(0, s_getgrgid_r(unused, &gr, buf, sizeof(buf), &gresult));
    EXPECT_EQ(nullptr, gresult);
    EXPECT_EQ(3, childrenFor(CREDS_OP_GROUP_BY_ID, ""));
}

TEST_F(LookupTest, ChildSwitchesFollowTheSettings) {
    LogCapture captured;
    char buf[1024];
    struct passwd pw, *result = &pw;
    // A configured buffer is used as it is: too small, and the child finds nothing.
    _creds_buffer_size = 8;
    EXPECT_EQ(0, s_getpwnam_r("root", &pw, buf, sizeof(buf), &result));
    EXPECT_EQ(nullptr, result);
    _creds_buffer_size = 0;
    flushCredsCache();

    // The TRACE level of the credentials log makes the child trace what it does.
    const std::string trace = "/tmp/dravika-testcred.out";
    bool existed = access(trace.c_str(), F_OK) == 0;
    size_t before = readFile(trace).size();
    _debug_creds = LOG_TRACE;
    EXPECT_EQ(0, s_getpwnam_r("root", &pw, buf, sizeof(buf), &result));
    _debug_creds = LOG_INFO;
    EXPECT_EQ(&pw, result);
    std::string added = readFile(trace).substr(before);
    if (!existed) unlink(trace.c_str());
    EXPECT_NE(std::string::npos, added.find("----\nSession started\nOperation: 3\nName: root\n")) << added;
    EXPECT_TRUE(captured.contains("Creds: addCache(USER, t = "));
    EXPECT_TRUE(captured.contains("Creds: lockOrWait: name = root, id = 0, operation = 3"));
}

// The trace file has a fixed name in a folder everyone may write to: the
// child, often running as root, appends only to a plain file of its own
// there, never through a link or into a FIFO that someone put in its place.
TEST_F(LookupTest, TheTraceGoesOnlyToAPlainFileOfItsOwn) {
    const std::string trace = "/tmp/dravika-testcred.out";
    const std::string aside = credstest::path("trace-aside");
    bool existed = rename(trace.c_str(), aside.c_str()) == 0;
    const std::string target = credstest::path("trace-target");
    writeFile(target, "");
    struct Restore {
        std::string trace, aside;
        bool existed;
        ~Restore() {
            _debug_creds = LOG_INFO;
            unlink(trace.c_str());
            if (existed) rename(aside.c_str(), trace.c_str());
        }
    } restore{trace, aside, existed};

    auto lookUp = [](const char* name) {
        flushCredsCache();
        char buf[1024];
        struct passwd pw, *result = nullptr;
        _debug_creds = LOG_TRACE;
        EXPECT_EQ(0, s_getpwnam_r(name, &pw, buf, sizeof(buf), &result));
        _debug_creds = LOG_INFO;
        EXPECT_EQ(&pw, result) << "the lookup itself goes on";
    };
    // A symbolic link, then a hard link to a file elsewhere.
    for (auto makeLink : {symlink, link}) {
        ASSERT_EQ(0, makeLink(target.c_str(), trace.c_str()));
        lookUp("root");
        EXPECT_EQ("", readFile(target)) << "written through a link";
        unlink(trace.c_str());
    }

    ASSERT_EQ(0, mkfifo(trace.c_str(), 0600));
    std::atomic<bool> done{false};
    std::thread fifoLookup([&] {
        lookUp("root");
        done = true;
    });
    for (int i = 0; i < 1000 && !done; i++) usleep(10000);
    bool ended = done;
    if (!ended) {
        // Opening the FIFO for reading lets a child that waits for a reader go on.
        int fd = open(trace.c_str(), O_RDONLY | O_NONBLOCK);
        fifoLookup.join();
        if (fd >= 0) close(fd);
    } else {
        fifoLookup.join();
    }
    EXPECT_TRUE(ended) << "the child waited for a reader of a FIFO";
    unlink(trace.c_str());

    // A plain file of its own is still traced to.
    lookUp("daemon");
    EXPECT_NE(std::string::npos, readFile(trace).find("Name: daemon\n"));
}
