// A connection's lifecycle state: the moves the table refuses, and the
// states a real client and server pass through, including a refusal.
#include <gtest/gtest.h>

#include "tests/coms/coms_support.h"

using namespace comstest;

namespace {

const Connection::State kAll[] = {Connection::ST_NEW,      Connection::ST_TLS,       Connection::ST_NEGOTIATING,
                                  Connection::ST_COMPLETE, Connection::ST_REFUSING, Connection::ST_CLOSED};

TEST(ConnectionState, IllegalMovesAreRefused) {
    for (Connection::State s : kAll) {
        // Closing is always possible and always final.
        EXPECT_EQ(s != Connection::ST_CLOSED, Connection::canMove(s, Connection::ST_CLOSED)) << Connection::stateName(s);
        if (s == Connection::ST_CLOSED) {
            for (Connection::State t : kAll) EXPECT_FALSE(Connection::canMove(s, t)) << Connection::stateName(t);
        }
        // Nothing goes back to the start, and TLS starts only from it.
        EXPECT_FALSE(Connection::canMove(s, Connection::ST_NEW)) << Connection::stateName(s);
        EXPECT_EQ(s == Connection::ST_NEW, Connection::canMove(s, Connection::ST_TLS)) << Connection::stateName(s);
    }
    // Messages flow only after the item handshake: no skipping it.
    EXPECT_FALSE(Connection::canMove(Connection::ST_NEW, Connection::ST_COMPLETE));
    EXPECT_FALSE(Connection::canMove(Connection::ST_TLS, Connection::ST_COMPLETE));
    EXPECT_TRUE(Connection::canMove(Connection::ST_NEGOTIATING, Connection::ST_COMPLETE));
    // A refusal answers a type item, and a refused connection never completes.
    EXPECT_FALSE(Connection::canMove(Connection::ST_TLS, Connection::ST_REFUSING));
    EXPECT_FALSE(Connection::canMove(Connection::ST_REFUSING, Connection::ST_COMPLETE));
    EXPECT_STREQ("unknown", Connection::stateName(99));
}

TEST(ConnectionState, ClientAndServerPassThroughTheirStates) {
    TestServer server;
    Client client("127.0.0.1", server.port);
    EXPECT_EQ(Connection::ST_NEW, client.c->getState());
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(Connection::ST_COMPLETE, client.c->getState());
    ASSERT_TRUE(waitFor([&] { return server.lastAccepted() != nullptr; }));
    Connection* s = server.lastAccepted();
    s->addLock();
    EXPECT_TRUE(waitFor([&] { return s->getState() == Connection::ST_COMPLETE; }));
    // The client's close ends both: each side ends up closed, never complete.
    client.c->close();
    EXPECT_TRUE(waitFor([&] { return s->getState() == Connection::ST_CLOSED; }));
    EXPECT_TRUE(waitFor([&] { return client.c->getState() == Connection::ST_CLOSED; }));
    EXPECT_FALSE(client.c->isComplete());
    s->removeLock();

    // A refused client ends closed without ever completing.
    server.accept = false;
    Client refused("127.0.0.1", server.port);
    refused.c->connect();
    ASSERT_TRUE(refused.recorder.waitNoConnect(5000));
    EXPECT_EQ(0, refused.recorder.completes);
    EXPECT_TRUE(waitFor([&] { return refused.c->getState() == Connection::ST_CLOSED; }));
}

}  // namespace
