// The host's performance data block and the runtime's child pid table in it.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/perf_data.h"
#include "host/perf_block.h"
#include "tests/support/log_capture.h"

namespace {

// A fresh block attached to this program's runtime for the test's length.
class PerfBlock : public ::testing::Test {
protected:
    void SetUp() override {
        block = createPerfDataBlock();
        ASSERT_NE(nullptr, block);
        attachPerfDataBlock(nullptr, block);
    }
    void TearDown() override {
        attachPerfDataBlock(nullptr, nullptr);
        destroyPerfDataBlock(block);
    }

    PerfData* block = nullptr;
};

// A child that waits to be killed.
pid_t sleepingChild() {
    pid_t pid = fork();
    while (pid == 0) pause();
    EXPECT_GT(pid, 0);
    return pid;
}

void reap(pid_t child) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(PerfBlock, StartsOwnedEmptyAndShared) {
    EXPECT_EQ(getpid(), block->ownerPid);
    for (pid_t pid : block->childPids) EXPECT_EQ(-1, pid);
    EXPECT_EQ(block, perfData);
    // Shared memory: what a child writes, the parent sees.
    pid_t child = fork();
    if (child == 0) {
        block->counters[0].value = 42;
        _exit(0);
    }
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(42, block->counters[0].value);
}

TEST_F(PerfBlock, ChildTableKeepsFreeSlotsAndEndsAtMinusOne) {
    addPerfPid(100);
    addPerfPid(200);
    addPerfPid(300);
    removePerfPid(200);
    EXPECT_EQ(100, block->childPids[0]);
    EXPECT_EQ(0, block->childPids[1]) << "a removed child leaves a free slot";
    EXPECT_EQ(300, block->childPids[2]);
    EXPECT_EQ(-1, block->childPids[3]);
    addPerfPid(400);
    EXPECT_EQ(400, block->childPids[1]) << "the first free slot is reused";
    removePerfPid(999);
    addPerfPid(-1);
    addPerfPid(0);
    EXPECT_EQ(-1, block->childPids[3]) << "failed forks are not recorded";

    // Nothing is looked at past the first -1.
    block->childPids[5] = 500;
    removePerfPid(500);
    EXPECT_EQ(500, block->childPids[5]);

    zeroPerfPids();
    for (pid_t pid : block->childPids) EXPECT_EQ(-1, pid);
    for (int i = 1; i <= kPerfMaxChildPids + 1; i++) addPerfPid(1000 + i);
    EXPECT_EQ(1000 + kPerfMaxChildPids, block->childPids[kPerfMaxChildPids - 1]) << "the 51st is dropped";
    removePerfPid(1000 + kPerfMaxChildPids);
    EXPECT_EQ(0, block->childPids[kPerfMaxChildPids - 1]);
}

TEST_F(PerfBlock, KillReachesEveryRecordedChildAndOnlyWithABlock) {
    LogCapture log;
    pid_t first = sleepingChild(), second = sleepingChild(), spared = sleepingChild();
    // Without a block every call does nothing.
    attachPerfDataBlock(nullptr, nullptr);
    addPerfPid(first);
    lockPerfPid();
    unlockPerfPid();
    killPerfPids();
    attachPerfDataBlock(nullptr, block);
    EXPECT_EQ(-1, block->childPids[0]);
    usleep(50000);
    EXPECT_EQ(0, waitpid(first, nullptr, WNOHANG)) << "no table, so nobody was killed";

    addPerfPid(first);
    addPerfPid(spared);
    addPerfPid(second);
    removePerfPid(spared);
    killPerfPids();
    for (pid_t child : {first, second}) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_TRUE(log.contains("Killing child process " + std::to_string(child)));
    }
    EXPECT_EQ(0, waitpid(spared, nullptr, WNOHANG));
    EXPECT_FALSE(log.contains("Killing child process " + std::to_string(spared)));
    reap(spared);
}

// The pattern of a lookup that forks: the table stays locked from before
// the fork until the child is recorded, so that no other thread can kill
// the children in between and miss the new one.
TEST_F(PerfBlock, LockIsHeldAcrossAForkUntilTheChildIsRecorded) {
    LogCapture log;
    lockPerfPid();
    pid_t child = sleepingChild();
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        killPerfPids();
        killed = true;
    });
    usleep(100000);
    EXPECT_FALSE(killed) << "the killer waits for the lock";
    addPerfPid(child);  // the lock is recursive for its holder
    unlockPerfPid();
    killer.join();
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the killer found the child recorded";
}

// Every forked process shares the block, but the table is its owner's: a
// child neither records nor forgets nor kills anything in it, nor waits for
// its lock.
TEST_F(PerfBlock, OnlyTheOwnerUsesTheChildTable) {
    LogCapture log;
    pid_t recorded = sleepingChild();
    addPerfPid(recorded);
    addPerfPid(4242);
    lockPerfPid();
    pid_t child = fork();
    if (child == 0) {
        lockPerfPid();
        addPerfPid(getpid());
        removePerfPid(4242);
        killPerfPids();
        unlockPerfPid();
        zeroPerfPids();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    pid_t ended = 0;
    for (int i = 0; i < 200 && ended == 0; i++) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) usleep(10000);
    }
    EXPECT_EQ(child, ended) << "the child waited for the owner's lock";
    unlockPerfPid();
    if (ended == 0) waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(recorded, block->childPids[0]);
    EXPECT_EQ(4242, block->childPids[1]);
    EXPECT_EQ(-1, block->childPids[2]);
    EXPECT_EQ(0, waitpid(recorded, nullptr, WNOHANG)) << "the child killed the owner's child";
    reap(recorded);
}

TEST_F(PerfBlock, AttachesToTheModulesRuntimeToo) {
    void* module = dlopen(DRV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << dlerror();
    PerfData** moduleCopy = static_cast<PerfData**>(dlsym(module, "perfData"));
    ASSERT_NE(nullptr, moduleCopy);
    EXPECT_NE(&perfData, moduleCopy) << "two copies of the runtime";
    EXPECT_EQ(0, attachPerfDataBlock(module, block));
    EXPECT_EQ(block, *moduleCopy);
    EXPECT_EQ(block, perfData);
    EXPECT_EQ(0, attachPerfDataBlock(module, nullptr));
    EXPECT_EQ(nullptr, *moduleCopy);

    void* other = dlopen(FAILING_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, other) << dlerror();
    EXPECT_EQ(-1, attachPerfDataBlock(other, block)) << "a module without the variable";
    EXPECT_EQ(block, perfData) << "the host's own copy is attached all the same";
    dlclose(other);
}

}  // namespace
