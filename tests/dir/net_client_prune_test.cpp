// What a remote provider keeps of the requests on its connection, over a
// long-lived session: requests that timed out or whose callers went away,
// and listeners that were removed, leave no record behind (nor a door for a
// late reply); and listeners outlive a connection the provider drops itself
// (a forced reset): they are opened again on the next one.
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/net_client_internal.h"
#include "tests/dir/client_session_fixture.h"
#include "tests/support/log_capture.h"

using dirpeer::KeyPair;
using dirpeer::NameWatcher;
using dirpeer::Peer;
using dirpeer::waitFor;

namespace {

class NetClientPruneTest : public ClientSessionTest {
protected:
    void TearDown() override {
        FutureResult::defaultTimeout = FutureResult::kDefaultTimeout;
        ClientSessionTest::TearDown();
    }
};

TEST_F(NetClientPruneTest, RequestsThatEndedUnansweredLeaveNoRecordOnTheConnection) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    Directory* d = session(peer.port(), "prunedom");
    ASSERT_NE(d, nullptr);
    NetClientSPI* client = dynamic_cast<NetClientSPI*>(d->spi);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(waitFor([&] { return client->isConnected(); }));

    // Requests that give up after a second: executes the peer never answers,
    // and requests whose remote resolve is never answered.
    FutureResult::defaultTimeout = 1;
    const int kEach = 12;
    std::vector<FutureResult*> pending;
    DirName* eth0 = name("/iface:name=eth0");
    for (int i = 0; i < kEach; i++) pending.push_back(d->execute(eth0, nullptr, "never", nullptr));
    delete eth0;
    for (int i = 0; i < kEach; i++) {
        std::string text = "/never:name=" + std::to_string(i);
        DirName* n = name(text.c_str());
        pending.push_back(d->execute(n, nullptr, "echo", nullptr));
        delete n;
    }
    for (FutureResult* fr : pending) {
        ASSERT_TRUE(fr->waitComplete(30000));
        EXPECT_TRUE(fr->failed);
        EXPECT_EQ(fr->error, DirError::E_TIMEOUT);
    }
    EXPECT_EQ(peer.count(DirProtocol::M_EXECUTE), kEach);
    // A removed listener is no longer the provider's to hear about.
    NameWatcher watcher;
    ASSERT_TRUE(watchAllInterfaces(d, &watcher));
    int listenerId = peer.listenerId.load();
    d->removeListener(&watcher);

    // The records go once the requests have ended (the connection stays).
    auto none = [&] {
        NetClientSPI::Outstanding o = client->outstanding();
        return o.calls == 0 && o.executes == 0 && o.listeners == 0;
    };
    EXPECT_TRUE(waitFor(none, 30000)) << client->outstanding().calls << " calls, " << client->outstanding().executes
                                      << " executes, " << client->outstanding().listeners << " listeners";
    EXPECT_TRUE(client->isConnected());

    // Late answers find nothing to complete or feed: the results keep
    // their time-out, the removed listener hears nothing (and its updates,
    // which the peer has no message to stop, are not taken for forgeries).
    LogCapture logs;
    FutureResult late;
    late.setResult(new Any("late"));
    for (FutureResult* fr : pending) peer.sendAll(DirProtocol::executeReply(fr->id, &late));
    DirNameEntry stray("iface", "name", "stray");
    Attributes nothing;
    peer.sendAll(DirProtocol::listenerUpdate(listenerId, DirProtocol::KIND_ADD, &stray, &nothing, nullptr));
    // Answered after those on the same connection: they were all taken in.
    ASSERT_TRUE(roundTrip(client));
    EXPECT_TRUE(none());
    for (FutureResult* fr : pending) {
        EXPECT_EQ(fr->error, DirError::E_TIMEOUT);
        FutureResult::destroy(fr);
    }
    EXPECT_FALSE(watcher.has("stray"));
    EXPECT_FALSE(logs.contains("not opened here")) << logs.text();
}

TEST_F(NetClientPruneTest, ListenersAreOpenedAgainOnTheNextConnectionAfterAResetOrALoss) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    std::string port = peer.port();
    Directory* d = session(port.c_str(), "relistendom");
    ASSERT_NE(d, nullptr);
    NetClientSPI* client = dynamic_cast<NetClientSPI*>(d->spi);
    ASSERT_NE(client, nullptr);

    NameWatcher watcher;
    ASSERT_TRUE(watchAllInterfaces(d, &watcher));
    int id = peer.listenerId.load();
    ASSERT_NE(id, 0);
    Attributes none;
    // The peer feeds the listener on the connection it holds now, once the
    // listener is open there; true when the entry arrives.
    auto fedAfterReopen = [&](const char* entryName, int opensBefore) {
        if (!waitFor([&] { return client->isConnected() && peer.opens() > opensBefore; }, 30000)) return false;
        DirNameEntry e("iface", "name", entryName);
        return waitFor([&] {
            peer.sendAll(DirProtocol::listenerUpdate(id, DirProtocol::KIND_ADD, &e, &none, nullptr));
            return watcher.has(entryName);
        }, 10000);
    };

    // A forced reset drops the connection the listener was opened on.
    int before = peer.opens();
    size_t connections = peer.types().size();
    client->forceReset3();
    ASSERT_TRUE(waitFor([&] { return peer.types().size() > connections; }, 30000));
    EXPECT_TRUE(fedAfterReopen("afterReset", before)) << peer.opens() << " opens";

    // The connection is lost (the server goes and comes back).
    before = peer.opens();
    peer.stop();
    EXPECT_TRUE(waitFor([&] { return !client->isConnected(); }));
    peer.start(port.c_str());
    ASSERT_EQ(peer.bindResult, 0);
    EXPECT_TRUE(fedAfterReopen("afterLoss", before)) << peer.opens() << " opens";
    d->removeListener(&watcher);
}

// An agent that calls in and never answers, keeping what it receives.
class SilentAgent : public ConnectionListener {
public:
    int onReceive(Connection*, Message* m) override {
        std::lock_guard<std::mutex> hold(mutex);
        codes.push_back(static_cast<int>(m->getType()));
        return 0;
    }
    void onNoConnect(Connection*, int) override {}
    void onLost(Connection*) override { lost = true; }
    void onClosed(Connection*) override { closed = true; }
    void onConnectComplete(Connection*) override {}
    bool got(int code) {
        std::lock_guard<std::mutex> hold(mutex);
        for (int c : codes)
            if (c == code) return true;
        return false;
    }
    std::mutex mutex;
    std::vector<int> codes;
    std::atomic<bool> lost{false};
    std::atomic<bool> closed{false};
};

// Keeps the connections that call in, for the test to hand on.
class Keep : public ConnectorListener {
public:
    bool newConnection(Connection* c, int) override {
        kept = c;
        return true;
    }
    std::atomic<Connection*> kept{nullptr};
};

// The record of an agent that calls in (masq), with its id.
void callingInAgent(Asset* asset, const char* id) {
    asset->id = strdup(id);
    asset->agentId = strdup(id);
    asset->host = strdup("127.0.0.1");
    asset->port = 1;  // never dialled
    asset->masq = true;
}

// Hands every connection that calls in to one provider.
class CallIn : public ConnectorListener {
public:
    explicit CallIn(NetClientSPI* spi) : spi(spi) {}
    bool newConnection(Connection* c, int) override {
        spi->attachCallHome(c);
        return true;
    }
    NetClientSPI* spi;
};

// A reversed provider for the agent `id`, whose connections call in to a
// connector of the test's, and a caller's list waiting on it.
struct CalledIn {
    explicit CalledIn(const char* id) : agentId(id) {
        NetClientSPI::setMode(1);
        callingInAgent(&asset, id);
        spi = new NetClientSPI(nullptr, nullptr, "calldom", &asset, (std::string("H") + id).c_str(), nullptr);
        callIn = new CallIn(spi);
        connector = Connector::create(callIn, serverId.cert, serverId.key, 0);
        bound = connector->bind("0") == 0;
        port = std::to_string(connector->getPort());
    }
    ~CalledIn() {
        spi->closeDirectory();
        if (caller.joinable()) caller.join();
        for (Connection* c : calls) Connection::destroy(c);
        Connector::destroy(connector);
        delete callIn;
        delete spi;
        NetClientSPI::setMode(0);
    }
    // The agent calls in; its connection goes with this object.
    bool call(SilentAgent* agent) {
        Connection* c = Connection::create("127.0.0.1", port.c_str(), agentId.cert, agentId.key, 550);
        calls.push_back(c);
        c->setListener(agent);
        return c->connect() == 0;
    }
    // A list sent to the agent, whose answer never comes: long enough a
    // time-out that a call left waiting would be told by it (13), not by
    // the end of its connection (11).
    void listInBackground() {
        NetClientSPI::_netclient_timeout = 30000;
        caller = std::thread([this] {
            DirectoryObject object("iface", new Any("eth0"));
            ClassEnumeration classes;
            listResult = spi->list(nullptr, &object, &classes);
        });
    }
    Asset asset;
    NetClientSPI* spi;
    KeyPair serverId{"server"};
    KeyPair agentId;
    CallIn* callIn;
    Connector* connector;
    bool bound;
    std::string port;
    std::vector<Connection*> calls;
    std::thread caller;
    int listResult = -1;
};

TEST_F(NetClientPruneTest, AForcedResetOfAnAgentThatCalledInFailsTheCallsWaitingOnItsConnection) {
    // Declared first: the agent outlives the connections that tell it.
    SilentAgent agent;
    CalledIn in("agent9");
    ASSERT_TRUE(in.spi->isReversed());
    ASSERT_TRUE(in.bound);
    ASSERT_TRUE(in.call(&agent));
    ASSERT_TRUE(waitFor([&] { return in.spi->isConnected(); }));

    in.listInBackground();
    EXPECT_TRUE(waitFor([&] { return agent.got(DirProtocol::M_LIST); }));
    in.spi->forceReset3();
    in.caller.join();
    EXPECT_EQ(in.listResult, DirError::E_NOT_CONNECTED);
    EXPECT_EQ(in.spi->outstanding().calls, 0u);
}

TEST_F(NetClientPruneTest, AnAgentThatCallsInAgainFailsTheCallsWaitingOnItsOldConnection) {
    SilentAgent first;
    SilentAgent second;
    CalledIn in("agent7");
    ASSERT_TRUE(in.bound);
    ASSERT_TRUE(in.call(&first));
    ASSERT_TRUE(waitFor([&] { return in.spi->isConnected(); }));

    in.listInBackground();
    EXPECT_TRUE(waitFor([&] { return first.got(DirProtocol::M_LIST); }));
    // The agent calls in again (its first connection went silent): the
    // server drops the old connection, and nothing can answer there now.
    ASSERT_TRUE(in.call(&second));
    in.caller.join();
    EXPECT_EQ(in.listResult, DirError::E_NOT_CONNECTED);
    EXPECT_EQ(in.spi->outstanding().calls, 0u);
    EXPECT_TRUE(waitFor([&] { return in.spi->isConnected(); }));
}

TEST_F(NetClientPruneTest, AnAgentCallingInToAProviderThatWentMeanwhileIsHungUpOn) {
    NetClientSPI::setMode(1);
    Asset asset;
    callingInAgent(&asset, "agent8");
    NetClientSPI* spi = new NetClientSPI(nullptr, nullptr, "calldom", &asset, "Hagent8", nullptr);
    KeyPair serverId("server");
    KeyPair agentId("agent8");
    Keep keep;
    Connector* connector = Connector::create(&keep, serverId.cert, serverId.key, 0);
    ASSERT_EQ(connector->bind("0"), 0);
    std::string port = std::to_string(connector->getPort());
    SilentAgent agent;
    Connection* toServer = Connection::create("127.0.0.1", port.c_str(), agentId.cert, agentId.key, 550);
    toServer->setListener(&agent);
    ASSERT_EQ(toServer->connect(), 0);
    ASSERT_TRUE(waitFor([&] { return keep.kept.load() != nullptr; }));

    // The call-in is handed over while the provider's thread is busy, and
    // the provider goes before that thread comes to it.
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    netclient::runOnClientThread([released] { released.wait(); });
    spi->attachCallHome(keep.kept.load());
    delete spi;
    go.set_value();
    // Hung up on, not left to fall silent until the agent's lost timer
    // (20 s): the agent hears the close, or, when the connection is torn
    // down before the close item leaves, the end of the stream.
    EXPECT_TRUE(waitFor([&] { return agent.closed.load() || agent.lost.load(); }, 10000));

    Connection::destroy(toServer);
    Connector::destroy(connector);
    NetClientSPI::setMode(0);
}

}  // namespace
