// The coms thread pool: its size from "coms_threads", the thread names and
// the placement of new connections on the least loaded thread.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/coms/coms_support.h"
#include "tests/support/log_capture.h"

using namespace comstest;

namespace {

int comsThreadsRunning() {
    std::vector<std::string> names = threadNames();
    return static_cast<int>(
        std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.compare(0, 5, "coms-") == 0; }));
}

TEST(ComsPool, SizeIsClampedAndThreadsAreNamed) {
    LogCapture logs;
    _debug_coms = LOG_INFO;
    restartPool(0);
    EXPECT_EQ(1, Connection::comsThreadCount());
    EXPECT_EQ(1, comsThreadsRunning());
    EXPECT_TRUE(logs.contains("Will start 1 coms threads"));

    restartPool(100);
    EXPECT_EQ(32, Connection::comsThreadCount());
    std::vector<std::string> names = threadNames();
    for (int i = 1; i <= 32; i++)
        EXPECT_EQ(1, std::count(names.begin(), names.end(), "coms-" + std::to_string(i))) << i;
    EXPECT_TRUE(logs.contains("Will start 32 coms threads"));

    restartPool(-3);
    EXPECT_EQ(1, Connection::comsThreadCount());

    Connection::comsStop();
    EXPECT_EQ(0, Connection::comsThreadCount());
    EXPECT_EQ(0, comsThreadsRunning());
}

TEST(ComsPool, ConnectionsGoToTheLeastLoadedThread) {
    restartPool(2);
    Connection* a = Connection::create("127.0.0.1", "1", nullptr, nullptr, 1);
    Connection* b = Connection::create("127.0.0.1", "1", nullptr, nullptr, 1);
    Connection* c = Connection::create("127.0.0.1", "1", nullptr, nullptr, 1);
    EXPECT_EQ(0, a->getContext()->getIndex());
    EXPECT_EQ(1, b->getContext()->getIndex());
    EXPECT_EQ(0, c->getContext()->getIndex());
    EXPECT_EQ(2, Connection::getComsContext(0)->getConnectionCount());
    EXPECT_EQ(1, Connection::getComsContext(1)->getConnectionCount());

    // A freed place is taken again first.
    Connection::destroy(b);
    ASSERT_TRUE(waitFor([] { return Connection::getComsContext(1)->getConnectionCount() == 0; }));
    Connection* d = Connection::create("127.0.0.1", "1", nullptr, nullptr, 1);
    EXPECT_EQ(1, d->getContext()->getIndex());
    for (Connection* x : {a, c, d}) Connection::destroy(x);
    EXPECT_TRUE(waitFor([] { return Connection::liveConnections() == 0; }));
    EXPECT_EQ(0, Connection::getComsContext(0)->getConnectionCount());
    Connection::comsStop();
}

}  // namespace
