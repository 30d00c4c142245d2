// What the credential tests share. Each test program is its own lookup child:
// its main (creds_test_main.cpp) installs the child hooks below and answers
// "-testcred" before any test runs. The hooks talk to the parent through a
// scratch folder named in the environment (DRV_CREDS_TEST_DIR), which the
// children inherit:
//
//   children   every child appends "operation name" (counts the children)
//   slow       while present, each child waits 300 ms before answering
//   hang       the first child to find it renames it to "hung", writes its
//              pid to "hung.pid" and waits until it is killed
//   die        the first child to find it renames it and exits unanswered
//   linger     the first child to find it renames it to "lingered", forks a
//              helper that keeps the child's descriptors for a minute (its
//              pid in "linger.pid") and exits unanswered
//   sss        while present, a group by id is reported as libnss-sss can:
//              filled in, but ERANGE and no result ("sss-other": filled in
//              with another id)
//   many-groups  holds a number N: the group enumeration lists N made-up
//              groups "drv-many-<i>" with ids kManyGroupsFirstId + i instead
//              of the system's
//   pam.d/     PAM's configuration folder for the children (pam_start_confdir)
#ifndef DRV_TESTS_CREDS_CREDS_TEST_SUPPORT_H
#define DRV_TESTS_CREDS_CREDS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "creds/creds.h"
#include "tests/support/temp_dir.h"

namespace credstest {

const gid_t kManyGroupsFirstId = 3000000;

inline std::string dir() {
    const char* d = getenv("DRV_CREDS_TEST_DIR");
    return d != nullptr ? d : "";
}

inline std::string path(const std::string& name) { return dir() + "/" + name; }

// The children started since the last reset, one "operation name" line each.
inline std::vector<std::string> children() { return splitLines(readFile(path("children"))); }

inline int childrenFor(int operation, const std::string& name) {
    int n = 0;
    for (const std::string& line : children())
        if (line == std::to_string(operation) + " " + name) n++;
    return n;
}

inline void mark(const std::string& name) { writeFile(path(name), ""); }
inline void unmark(const std::string& name) { unlink(path(name).c_str()); }

// The clock the lookups age by: the system's plus an offset a test moves.
inline std::atomic<long long>& clockOffset() {
    static std::atomic<long long> offset{0};
    return offset;
}
inline long long testClock() { return static_cast<long long>(time(nullptr)) + clockOffset().load(); }

// Every credential test starts with an empty cache, no children counted, the
// test clock at the real time and the default safety period; it ends with
// the safety thread stopped and the real clock back.
class CredsTest : public ::testing::Test {
protected:
    void SetUp() override {
        clockOffset() = 0;
        credsSetClock(testClock);
        credsSetSafetyPeriodForTests(0);
        flushCredsCache();
        for (const char* m : {"children", "slow", "hang", "hung", "hung.pid", "die", "died", "linger", "lingered",
                              "linger.pid", "sss", "sss-other", "many-groups"})
            unmark(m);
    }
    void TearDown() override {
        credCleanup();
        credsSetClock(nullptr);
        credsSetSafetyPeriodForTests(0);
        for (const char* m : {"slow", "hang", "die", "linger", "sss", "sss-other", "many-groups"}) unmark(m);
    }
};

}  // namespace credstest

#endif
