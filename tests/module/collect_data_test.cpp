// Sampling against a made-up kernel tree: the program enters a private mount
// namespace and mounts a tmpfs over /sys/class/net, so the module reads
// interfaces that the test controls, on the very paths it reads in real use.
// The module's clock is this program's gettimeofday, so elapsed times are exact.
#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stats.h"
#include "module/net_object.h"
#include "tests/support/module_loader.h"
#include "tests/support/temp_dir.h"

namespace {

std::string _namespaceProblem;
bool _fakeClock = false;
long long _fakeNowMs = 0;

const char* const kNetDir = "/sys/class/net";

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    if (_fakeClock) {
        tv->tv_sec = _fakeNowMs / 1000;
        tv->tv_usec = (_fakeNowMs % 1000) * 1000;
        return 0;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

namespace {

class CollectData : public ::testing::Test {
protected:
    void SetUp() override {
        if (!_namespaceProblem.empty()) GTEST_SKIP() << _namespaceProblem;
        ASSERT_EQ(0, mount("none", kNetDir, "tmpfs", 0, nullptr)) << strerror(errno);
        _fakeClock = true;
        _fakeNowMs = 1700000000000LL;
        manager = loadModule().freshManager();
    }

    void TearDown() override {
        _fakeClock = false;
        if (_namespaceProblem.empty()) umount2(kNetDir, MNT_DETACH);
        setRootPrefix(nullptr);
    }

    // An interface directory; null texts leave the file out.
    void addInterface(const std::string& name, const char* speed, const char* rx, const char* tx) {
        std::string dir = std::string(kNetDir) + "/" + name;
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        if (speed != nullptr) writeFile(dir + "/speed", speed);
        if (rx == nullptr && tx == nullptr) return;
        ASSERT_EQ(0, mkdir((dir + "/statistics").c_str(), 0755));
        setCounters(name, rx, tx);
    }

    void setCounters(const std::string& name, const char* rx, const char* tx) {
        std::string dir = std::string(kNetDir) + "/" + name + "/statistics";
        if (rx != nullptr) writeFile(dir + "/rx_bytes", rx);
        if (tx != nullptr) writeFile(dir + "/tx_bytes", tx);
    }

    void setRootPrefix(const char* prefix) {
        auto set = reinterpret_cast<void (*)(const char*)>(loadModule().symbol("_Z17s_set_chroot_pathPKc"));
        ASSERT_NE(nullptr, set);
        set(prefix);
    }

    // Runs one pass and returns its rows by label: speed, receive, transmit.
    std::map<std::string, std::vector<long long>> pass() {
        StatEntry entry(_fakeNowMs / 1000);
        EXPECT_EQ(0, manager->collectData(&entry));
        std::map<std::string, std::vector<long long>> rows;
        for (int i = 0; i < entry.count; i++) {
            const StatRow* row = entry.rows[i];
            EXPECT_EQ(30, row->cls);
            EXPECT_EQ(0, row->id);
            EXPECT_EQ(3, row->seriesCount());
            std::vector<long long>& values = rows[row->label];
            for (int v = 0; v < row->seriesCount(); v++) {
                EXPECT_EQ(StatData::KIND_INT64, row->series[v]->kind);
                values.push_back(row->series[v]->value.i);
            }
        }
        return rows;
    }

    // The manager's objects by name.
    std::map<std::string, NetObject*> objects() const {
        std::map<std::string, NetObject*> byName;
        for (ManagedObject* o = manager->getFirstObject(); o != nullptr; o = o->next)
            byName[static_cast<NetObject*>(o)->getName()] = static_cast<NetObject*>(o);
        return byName;
    }
    std::vector<std::string> objectNames() const {
        std::vector<std::string> names;
        for (const auto& o : objects()) names.push_back(o.first);
        return names;
    }

    ManagedObjectManager* manager = nullptr;
};

TEST_F(CollectData, RatesFromTwoSamplesWithTheKernelsQuirks) {
    addInterface("lo", nullptr, "5000", "5000");
    addInterface("eth0", "1000\n", "1000000\n", "2000000\n");
    addInterface("vmnet8", "1000", "1", "1");
    addInterface("vmx0", "10000", "10", "10");
    addInterface("down0", "-1\n", "100", "100");
    addInterface("bare0", "100", nullptr, nullptr);
    addInterface("quiet0", "100", "700", "0");
    addInterface("junk0", "fast", "abc", "300");

    // The first pass creates objects (not for vmnet*) and reports nothing.
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ((std::vector<std::string>{"bare0", "down0", "eth0", "junk0", "lo", "quiet0", "vmx0"}), objectNames());

    setCounters("eth0", "1125000", "2062500");
    setCounters("quiet0", "900", nullptr);
    _fakeNowMs += 1000;
    auto rows = pass();

    // eth0 received 125,000 bytes in 1000 ms: 1000 kbit/s; sent 62,500: 500 kbit/s.
    EXPECT_EQ((std::vector<long long>{1000000, 1000, 500}), rows["eth0"]);
    EXPECT_EQ((std::vector<long long>{0, 0, 0}), rows["lo"]);
    EXPECT_EQ((std::vector<long long>{10000000, 0, 0}), rows["vmx0"]);
    EXPECT_EQ((std::vector<long long>{-1000, 0, 0}), rows["down0"]);
    // Unreadable numbers count as 0.
    EXPECT_EQ((std::vector<long long>{0, 0, 0}), rows["junk0"]);
    // No transmit counter, or one that stayed at 0: no row.
    EXPECT_EQ(0u, rows.count("bare0"));
    EXPECT_EQ(0u, rows.count("quiet0"));
    EXPECT_EQ(0u, rows.count("vmnet8"));
    EXPECT_EQ(5u, rows.size());

    // Rates truncate towards zero, and a counter that went backwards is reported as it is.
    setCounters("eth0", "1124999", "2062501");
    _fakeNowMs += 3;
    rows = pass();
    EXPECT_EQ((std::vector<long long>{1000000, -2, 2}), rows["eth0"]);

    // Two passes in one millisecond have no rate.
    rows = pass();
    EXPECT_EQ(0u, rows.count("eth0"));

    // A jump too large for bytes times 8 in 64 bits (a driver printing all
    // ones saturates the read) is held at the largest rate, and the way back
    // at the smallest, instead of overflowing.
    setCounters("eth0", nullptr, "18446744073709551615");
    _fakeNowMs += 1;
    rows = pass();
    EXPECT_EQ(LLONG_MAX, rows["eth0"][2]);
    setCounters("eth0", nullptr, "1");
    _fakeNowMs += 1;
    rows = pass();
    EXPECT_EQ(LLONG_MIN, rows["eth0"][2]);
}

TEST_F(CollectData, PassWithoutEntryStillSamplesAndMarksObjectsPresent) {
    addInterface("eth0", "100", "0", "1000");
    EXPECT_EQ(0, manager->collectData(nullptr));
    NetObject* eth0 = objects()["eth0"];
    ASSERT_NE(nullptr, eth0);
    EXPECT_EQ(1000, eth0->lastTransmitBytes);
    EXPECT_EQ(_fakeNowMs, eth0->lastSampleTime);

    // The host's marking is refreshed on every pass that finds the interface.
    eth0->present = 0;
    eth0->absent = 1;
    setCounters("eth0", "2500", "1500");
    _fakeNowMs += 500;
    EXPECT_EQ(0, manager->collectData(nullptr));
    EXPECT_EQ(1, eth0->present);
    EXPECT_EQ(0, eth0->absent);

    // The next rate is measured from the pass without entry.
    setCounters("eth0", "5000", "2000");
    _fakeNowMs += 250;
    auto rows = pass();
    EXPECT_EQ((std::vector<long long>{100000, 80, 16}), rows["eth0"]);

    // A vanished interface keeps its object, which is no longer marked.
    eth0->present = 0;
    ASSERT_EQ(0, system("rm -r /sys/class/net/eth0"));
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(eth0, objects()["eth0"]);
    EXPECT_EQ(0, eth0->present);
}

TEST_F(CollectData, ReturningInterfaceAndClockGoingBack) {
    addInterface("eth0", "100", "1000", "1000");
    EXPECT_TRUE(pass().empty());
    NetObject* eth0 = objects()["eth0"];
    ASSERT_NE(nullptr, eth0);

    // Gone for a pass: no row, and its last sample stays as it was.
    ASSERT_EQ(0, system("rm -r /sys/class/net/eth0"));
    _fakeNowMs += 1000;
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(1000, eth0->lastTransmitBytes);
    EXPECT_EQ(_fakeNowMs - 1000, eth0->lastSampleTime);

    // Back again: the same object, and the rate spans both passes since the
    // last one that saw it (250,000 bytes in 2000 ms).
    addInterface("eth0", "100", "251000", "251000");
    _fakeNowMs += 1000;
    auto rows = pass();
    EXPECT_EQ(eth0, objects()["eth0"]);
    EXPECT_EQ((std::vector<long long>{100000, 1000, 1000}), rows["eth0"]);

    // A clock set back by 500 ms turns the elapsed time negative; the rate
    // is the plain quotient, with no correction.
    setCounters("eth0", "252000", "251000");
    _fakeNowMs -= 500;
    rows = pass();
    EXPECT_EQ((std::vector<long long>{100000, 1000 * 8 / -500, 0}), rows["eth0"]);
    EXPECT_EQ(_fakeNowMs, eth0->lastSampleTime);
}

TEST_F(CollectData, ListsThroughTheRootPrefixButReadsPlainPaths) {
    addInterface("eth0", "100", "10", "10");
    char prefix[] = "/tmp/drv-prefix-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(prefix));
    std::string fakeNet = std::string(prefix) + kNetDir;
    ASSERT_EQ(0, system(("mkdir -p " + fakeNet + "/ghost0 " + fakeNet + "/eth0").c_str()));

    // The listing comes from under the prefix...
    setRootPrefix(prefix);
    EXPECT_EQ(0, manager->collectData(nullptr));
    EXPECT_EQ((std::vector<std::string>{"eth0", "ghost0"}), objectNames());
    // ...while the counters come from the real tree (ghost0 has none there).
    EXPECT_EQ(10, objects()["eth0"]->lastTransmitBytes);
    EXPECT_EQ(0, objects()["ghost0"]->lastTransmitBytes);

    // A prefix without the directory makes the pass a no-op.
    ASSERT_EQ(0, system((std::string("rm -r ") + prefix).c_str()));
    objects()["eth0"]->lastTransmitBytes = 77;
    EXPECT_EQ(0, manager->collectData(nullptr));
    EXPECT_EQ(77, objects()["eth0"]->lastTransmitBytes);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // A private mount namespace, so the tmpfs over /sys/class/net is seen by
    // this process alone and vanishes with it.
    if (unshare(CLONE_NEWNS) != 0)
        _namespaceProblem = std::string("cannot make a private mount namespace (needs root): ") + strerror(errno);
    else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _namespaceProblem = std::string("cannot make mounts private: ") + strerror(errno);
    return RUN_ALL_TESTS();
}
