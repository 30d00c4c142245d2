// What a remote provider and the enrolment and login exchanges must not take
// from a peer, or lose to a race: a key on file that is not an RSA key admits
// no peer certificate at all; a completed connect the provider no longer
// holds leaves it alone; an old connection's loss reported after the agent
// called in again leaves the new connection up; one provider's peer cannot
// complete or advance an execute, or confirm or feed a listener, that was
// sent to another peer; a forced reset that drops a connection fails the
// calls still waiting on it at once; and an enrolment or login reply after
// the first neither replaces nor loses the answer already taken.
#include <openssl/ec.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "dir/domain.h"
#include "dir/net_client_internal.h"
#include "tests/dir/client_session_fixture.h"
#include "tests/support/log_capture.h"

using dirpeer::KeyPair;
using dirpeer::NameWatcher;
using dirpeer::Peer;
using dirpeer::ProgressCounter;
using dirpeer::waitFor;

namespace {

class NetClientTrustTest : public ClientSessionTest {
protected:
    // A session whose root provider talks to the peer `asked`, beside a
    // second provider connected to another peer, `other`, which must not be
    // able to act on the session's requests.
    struct TwoPeers {
        KeyPair server{"server"};
        Peer asked{server};
        Peer other{server};
        Directory* session = nullptr;
        std::unique_ptr<NetClientSPI> stranger;
    };
    bool startTwoPeers(TwoPeers* p) {
        if (p->asked.bindResult != 0 || p->other.bindResult != 0) return false;
        p->session = session(p->asked.port(), "askeddom");
        if (p->session == nullptr) return false;
        p->stranger.reset(new NetClientSPI(nullptr, "otherdom", "127.0.0.1", p->other.port(), nullptr, "Dotherdom",
                                           nullptr));
        return waitFor([&] { return p->stranger->isConnected(); });
    }
};

// An EC key and its public half in PEM form.
struct EcKey {
    EcKey() {
        key = EVP_EC_gen("P-256");
        BIO* bio = BIO_new(BIO_s_mem());
        if (key != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
            char* data = nullptr;
            long n = BIO_get_mem_data(bio, &data);
            pem.assign(data, static_cast<size_t>(n));
        }
        BIO_free(bio);
    }
    ~EcKey() { EVP_PKEY_free(key); }
    EVP_PKEY* key = nullptr;
    std::string pem;
};

// The provider's first attempt has ended one way or the other.
bool settled(NetClientSPI& spi) {
    return waitFor([&] { return spi.isConnected() || spi.getLastError() != 0; }, 15000);
}

TEST_F(NetClientTrustTest, AKeyOnFileThatIsNotAnRsaKeyAdmitsNoPeer) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    EcKey ec;
    ASSERT_NE(ec.key, nullptr);
    ASSERT_FALSE(ec.pem.empty());
    LogCapture logs;
    {
        // An agent whose record holds an EC key: whatever certificate the
        // peer shows, it cannot be checked against that key.
        Asset a;
        a.id = strdup("A-ec");
        a.host = strdup("127.0.0.1");
        a.port = atoi(peer.port());
        a.publicKey = strdup(ec.pem.c_str());
        NetClientSPI agent(nullptr, nullptr, "keyed", &a, "HA-ec", nullptr);
        ASSERT_TRUE(settled(agent));
        EXPECT_FALSE(agent.isConnected());
        EXPECT_EQ(agent.getLastError(), DirError::E_SECURITY_VIOLATION);
        EXPECT_TRUE(logs.contains("the RSA key is in dommgr.xml is invalid"));
    }
    {
        // The same for a domain server's key on file.
        NetClientSPI domain(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", ec.key);
        ASSERT_TRUE(settled(domain));
        EXPECT_FALSE(domain.isConnected());
        EXPECT_EQ(domain.getLastError(), DirError::E_SECURITY_VIOLATION);
    }
    {
        // The peer's own RSA key on file still lets it in.
        NetClientSPI right(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", server.key);
        ASSERT_TRUE(settled(right));
        EXPECT_TRUE(right.isConnected());
    }
}

TEST_F(NetClientTrustTest, AConnectionTheProviderNoLongerHoldsDoesNotConnectIt) {
    // Nothing listens where the agent is said to be: the provider never
    // holds a connection that completes.
    std::string gone;
    {
        KeyPair server("server");
        Peer closed(server);
        gone = closed.port();
    }
    Asset a;
    a.id = strdup("A-gone");
    a.host = strdup("127.0.0.1");
    a.port = atoi(gone.c_str());
    NetClientSPI agent(nullptr, nullptr, "keyed", &a, "HA-gone", nullptr);
    ASSERT_TRUE(settled(agent));
    ASSERT_FALSE(agent.isConnected());

    // A completion that reaches it for a connection it does not hold (one
    // closeDirectory took while its callback was under way) changes nothing
    // and leaves that connection to whoever holds it.
    Connection* foreign = Connection::create("127.0.0.1", gone.c_str(), nullptr, nullptr, NetClientSPI::kConnectionType);
    ASSERT_NE(foreign, nullptr);
    long live = Connection::liveConnections();
    agent.onConnectComplete(foreign);
    EXPECT_FALSE(agent.isConnected());
    EXPECT_EQ(Connection::liveConnections(), live);
    Connection::destroy(foreign);
}

TEST_F(NetClientTrustTest, AnAgentsOldConnectionLostAfterItCalledInAgainLeavesTheNewOneUp) {
    // A server process: the agent calls in, and its provider adopts each
    // connection it is given.
    NetClientSPI::setMode(1);
    Asset a;
    a.id = strdup("A-calls");
    a.agentId = strdup("agent-calls");
    a.host = strdup("127.0.0.1");
    a.port = 1;
    a.masq = true;
    {
        NetClientSPI agent(nullptr, nullptr, "calls", &a, "HA-calls", nullptr);
        ASSERT_TRUE(agent.isReversed());
        // Connections of the agent's; these never dial, and none needs to.
        Connection* first = Connection::create("127.0.0.1", "1", nullptr, nullptr, 550);
        Connection* second = Connection::create("127.0.0.1", "1", nullptr, nullptr, 550);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        agent.attachCallHome(first);
        ASSERT_TRUE(waitFor([&] { return agent.isConnected(); }));

        // The agent calls in again while the dir-client thread is busy, and
        // the old connection's loss is reported before the new one is adopted.
        std::atomic<bool> hold{true};
        std::atomic<bool> held{false};
        netclient::runOnClientThread([&] {
            held = true;
            while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        ASSERT_TRUE(waitFor([&] { return held.load(); }));
        agent.attachCallHome(second);
        agent.onLost(first);
        std::atomic<bool> after{false};
        netclient::runOnClientThread([&] { after = true; });
        hold = false;
        ASSERT_TRUE(waitFor([&] { return after.load(); }));
        EXPECT_TRUE(agent.isConnected());
        char* text = agent.toString();
        std::string t = text;
        free(text);
        EXPECT_NE(t.find("\"connectBad\" : false"), std::string::npos) << t;
    }
    NetClientSPI::setMode(0);
}

TEST_F(NetClientTrustTest, OnlyThePeerAnExecuteWentToCanAdvanceOrCompleteIt) {
    TwoPeers peers;
    ASSERT_TRUE(startTwoPeers(&peers));
    Peer& asked = peers.asked;
    Peer& other = peers.other;

    DirName* eth0 = name("/iface:name=eth0");
    ProgressCounter progress;
    FutureResult* fr = peers.session->execute(eth0, &progress, "never", nullptr);
    delete eth0;
    ASSERT_TRUE(waitFor([&] { return asked.lastCode() == DirProtocol::M_EXECUTE; }));

    // The other provider's peer answers under the execute's id.
    ExecuteUpdate step(1, 50.0, "forged");
    other.sendAll(DirProtocol::executeUpdate(fr->id, &step));
    FutureResult forged;
    forged.setResult(new Any("forged"));
    other.sendAll(DirProtocol::executeReply(fr->id, &forged));
    ASSERT_TRUE(roundTrip(peers.stranger.get()));

    // The peer it went to answers.
    FutureResult genuine;
    genuine.setResult(new Any("genuine"));
    asked.sendAll(DirProtocol::executeReply(fr->id, &genuine));
    ASSERT_TRUE(fr->waitComplete(10000));
    EXPECT_FALSE(fr->failed) << fr->error;
    ASSERT_NE(fr->result, nullptr);
    EXPECT_STREQ(fr->result->getString(), "genuine");
    EXPECT_EQ(progress.updates.load(), 0);
    FutureResult::destroy(fr);
}

TEST_F(NetClientTrustTest, OnlyThePeerAListenerWasOpenedWithCanConfirmOrFeedIt) {
    TwoPeers peers;
    ASSERT_TRUE(startTwoPeers(&peers));
    Peer& asked = peers.asked;
    Peer& other = peers.other;

    NameWatcher watcher;
    ASSERT_TRUE(watchAllInterfaces(peers.session, &watcher));
    int id = asked.listenerId.load();
    ASSERT_NE(id, 0);
    // An idle sweep may open the listener again before the first reply is
    // in, and each open is confirmed: the peer's confirmations are the
    // listener's connects.
    EXPECT_TRUE(waitFor([&] { return watcher.connects.load() == asked.opens(); }));

    // The other provider's peer speaks for the same listener id, in both forms.
    other.sendAll(DirProtocol::openListenerReply(id));
    DirNameEntry forged("iface", "name", "forged");
    Attributes none;
    other.sendAll(DirProtocol::listenerUpdate(id, DirProtocol::KIND_ADD, &forged, &none, nullptr));
    DirNameEntry forged2("iface", "name", "forged2");
    DirNameEntry* es[] = {&forged2};
    Attributes* as[] = {&none};
    other.sendAll(DirProtocol::listenerUpdate2(id, DirProtocol::KIND_ADD, 1, es, as, nullptr));
    ASSERT_TRUE(roundTrip(peers.stranger.get()));

    // The peer it was opened with goes on feeding it.
    DirNameEntry genuine("iface", "name", "genuine");
    asked.sendAll(DirProtocol::listenerUpdate(id, DirProtocol::KIND_ADD, &genuine, &none, nullptr));
    ASSERT_TRUE(waitFor([&] { return watcher.has("genuine"); }));
    EXPECT_FALSE(watcher.has("forged"));
    EXPECT_FALSE(watcher.has("forged2"));
    EXPECT_TRUE(waitFor([&] { return watcher.connects.load() == asked.opens(); }))
        << watcher.connects.load() << " connects for " << asked.opens() << " opens";
    peers.session->removeListener(&watcher);
}

TEST_F(NetClientTrustTest, AForcedResetFailsTheCallsWaitingOnTheConnectionItDrops) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    NetClientSPI spi(nullptr, "resetdom", "127.0.0.1", peer.port(), nullptr, "Dresetdom", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    // Long enough that a call left waiting would be told by its time-out
    // (13), not by the drop (11).
    NetClientSPI::_netclient_timeout = 30000;

    int rv = -1;
    std::thread caller([&] {
        DirNameEntry never("never", "name", "1");
        DirectoryObject* out = nullptr;
        rv = spi.resolve(nullptr, nullptr, nullptr, &never, out);
        delete out;
    });
    ASSERT_TRUE(waitFor([&] { return peer.lastCode() == DirProtocol::M_RESOLVE; }));
    spi.forceReset3();
    caller.join();
    EXPECT_EQ(rv, DirError::E_NOT_CONNECTED);

    // The provider connects again and serves.
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }, 20000));
    DirNameEntry eth1("iface", "name", "eth1");
    DirectoryObject* out = nullptr;
    EXPECT_EQ(spi.resolve(nullptr, nullptr, nullptr, &eth1, out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out->className, "iface");
    delete out;
}

// Hands the listener each reply in turn, as its connection would.
void feed(ConnectionListener* listener, std::initializer_list<Message*> replies) {
    for (Message* built : replies) {
        std::unique_ptr<Message> m(dirpeer::received(built));
        listener->onReceive(nullptr, m.get());
    }
}

TEST_F(NetClientTrustTest, AnEnrolmentAnswerStandsAgainstLaterReplies) {
    const int add = DirProtocol::DOMAIN_ADD;
    // A failure after the answer, or a second answer: the first stands, and
    // the second is not kept.
    for (int second : {5, 0}) {
        DelayedEvent event;
        DomAuthListener listener(&event, nullptr, "127.0.0.1", "1");
        feed(&listener, {DirProtocol::domainReply(add, 0, "first"), DirProtocol::domainReply(add, second, "second")});
        ASSERT_TRUE(event.isDone());
        EXPECT_FALSE(event.isError()) << second;
        char* value = static_cast<char*>(event.getValue());
        EXPECT_STREQ(value, "first");
        free(value);
    }
    // An unreadable reply after a failure leaves the failure's text.
    DelayedEvent event;
    DomAuthListener listener(&event, nullptr, "127.0.0.1", "1");
    Message* junk = new Message(DirProtocol::DOMAIN_REMOVE);
    junk->writeBool(true);
    feed(&listener, {DirProtocol::domainReply(DirProtocol::DOMAIN_REMOVE, 5, "refused"), junk});
    EXPECT_TRUE(event.isError());
    EXPECT_EQ(event.getErrorCode(), DirError::E_PROTOCOL);
    EXPECT_STREQ(event.getErrorText(), "refused");
}

TEST_F(NetClientTrustTest, ALoginAnswerStandsAgainstLaterReplies) {
    KeyPair first("first");
    KeyPair second("second");
    const int code = DirProtocol::LOGIN_CREDENTIAL;
    // A refusal after the certificate, or a second certificate: the first
    // stands, and the second is not kept.
    for (bool refusal : {true, false}) {
        DelayedEvent event;
        LoginListener listener(&event, nullptr);
        feed(&listener, {DirProtocol::loginReply(code, 0, dirpeer::pemOf(first.cert).c_str()),
                         refusal ? DirProtocol::loginReply(code, 20, nullptr)
                                 : DirProtocol::loginReply(code, 0, dirpeer::pemOf(second.cert).c_str())});
        ASSERT_TRUE(event.isDone());
        EXPECT_FALSE(event.isError()) << refusal;
        X509* got = static_cast<X509*>(event.getValue());
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(X509_cmp(got, first.cert), 0);
        X509_free(got);
    }
}

}  // namespace
