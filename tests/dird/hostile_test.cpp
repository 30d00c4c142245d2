// The directory server against peers that mean harm or have broken down:
// agents answering for one another, and (below) clients that fall silent,
// stop reading, or send frames that lie. Each must be refused or dropped,
// and the server must keep serving everyone else.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "dir/dir_protocol.h"
#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"
#include "hostrt/host_directory.h"
#include "tests/dird/raw_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/domain_ca.h"

namespace {

using dirdtest::RawClient;
using dirdtest::RawTls;
using dirdtest::waitFor;
using P = DirProtocol;

const char kSecurity[] = "1`alice,-`alice,-,Users@hostile.example";

// A key and the certificate the domain issued for it.
struct Issued {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    Issued(DirServer* server, const char* cn, const char* security) {
        key = DomainCA::generateKey(2048);
        cert = server->state()->ca()->issue(cn, key, security, 0, 3600);
    }
    ~Issued() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

class DirdHostileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        tmp = new TempDir();
        DirServerOptions o;
        o.stateDir = tmp->file("state");
        o.domain = "hostile.example";
        o.port = "0";
        o.relayTimeoutMs = 5000;
        // Low enough that a client leaving its answers unread passes it in a moment.
        o.maxUnreadBytes = 1u << 20;
        o.exchangeSessionMs = 2000;
        // Small, so that a client passes them in a few requests.
        o.maxRelaysPerSession = 4;
        o.maxListenersPerSession = 4;
        server = new DirServer(o);
        std::string error;
        ASSERT_TRUE(server->start(&hostRoot, &error)) << error;
        alice = new Issued(server, "alice", kSecurity);
    }
    static void TearDownTestSuite() {
        server->stop();
        delete server;
        delete alice;
        delete tmp;
    }
    // An agent of asset id calling in, served by hand.
    static void callIn(RawClient* agent, Issued* cert, const char* id) {
        ASSERT_EQ(0, agent->connect(server->port(), cert->cert, cert->key, 550));
        ASSERT_TRUE(waitFor([&] { return server->agentSession(id) != nullptr; }));
    }

    static TempDir* tmp;
    static HostDirectorySPI hostRoot;
    static DirServer* server;
    static Issued* alice;
    Principal principal{kSecurity, "hostile.example", nullptr, 1};
};

TempDir* DirdHostileTest::tmp = nullptr;
HostDirectorySPI DirdHostileTest::hostRoot;
DirServer* DirdHostileTest::server = nullptr;
Issued* DirdHostileTest::alice = nullptr;

// Relayed requests and listeners are answered by the agent they went to:
// another agent of the domain cannot slip its own answers or updates in
// under their numbers, which the server hands out one after another.
TEST_F(DirdHostileTest, AnAgentCannotAnswerForAnother) {
    Issued web1(server, "web1", nullptr);
    Issued web2(server, "web2", nullptr);
    RawClient agent1, agent2, client;
    callIn(&agent1, &web1, "web1");
    callIn(&agent2, &web2, "web2");
    ASSERT_EQ(0, client.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    int err = 0;
    std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("mount:path=\"/\"", &err));
    DirectoryObject top("Dhostile.example", nullptr);

    client.send(P::resolveRequest("web1", 71, &principal, &top, entry.get(), nullptr));
    std::unique_ptr<Message> relayed = agent1.next(P::M_RESOLVE);
    ASSERT_TRUE(relayed);
    int64_t relayId = 0;
    ASSERT_EQ(0, relayed->readInt64(&relayId));
    DirectoryObject forged("Gforged", nullptr);
    agent2.send(P::resolveReply(relayId, &forged));
    agent2.send(P::errorReply(relayId, 15));
    EXPECT_FALSE(client.next(0, 1000)) << "another agent's answer reached the client";
    DirectoryObject real("Greal", nullptr);
    agent1.send(P::resolveReply(relayId, &real));
    std::unique_ptr<Message> answer = client.next(0, 10000);
    ASSERT_TRUE(answer);
    P::Reply r;
    ASSERT_EQ(0, P::readReply(answer.get(), &r));
    EXPECT_EQ(P::M_RESOLVE_REPLY, r.code);
    EXPECT_EQ(71, r.id);
    ASSERT_NE(nullptr, r.object);
    EXPECT_STREQ("Greal", static_cast<DirectoryObject*>(r.object)->className);

    std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
    client.send(P::openListenerRequest("web1", 72, &principal, &top, filter.get(), true));
    std::unique_ptr<Message> open = agent1.next(P::M_OPEN_LISTENER2);
    ASSERT_TRUE(open);
    int64_t listenerId = 0;
    ASSERT_EQ(0, open->readInt64(&listenerId));
    Attributes a;
    a.setAttribute("path", "/forged");
    agent2.send(P::openListenerReply(static_cast<int>(listenerId)));
    agent2.send(P::listenerUpdate(static_cast<int>(listenerId), P::KIND_ADD, entry.get(), &a, nullptr));
    EXPECT_FALSE(client.next(0, 1000)) << "another agent's listener answer reached the client";
    agent1.send(P::openListenerReply(static_cast<int>(listenerId)));
    std::unique_ptr<Message> opened = client.next(0, 10000);
    ASSERT_TRUE(opened);
    P::Reply o;
    ASSERT_EQ(0, P::readReply(opened.get(), &o));
    EXPECT_EQ(P::M_OPEN_LISTENER_REPLY, o.code);
    EXPECT_EQ(72, o.id);
}

// A client opens an unanswered listener again at its next idle sweep, and a
// hostile one may do so without end. The agent keeps one listener per id
// of a connection: the retry must reach it under the same id, or each one
// adds a listener there (and a record here) whose updates all come back to
// the client, once per retry.
TEST_F(DirdHostileTest, AListenerOpenedAgainIsRelayedUnderTheSameId) {
    Issued web4(server, "web4", nullptr);
    RawClient agent, client;
    callIn(&agent, &web4, "web4");
    ASSERT_EQ(0, client.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    int err = 0;
    std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
    DirectoryObject top("Dhostile.example", nullptr);
    int64_t ids[3] = {0, 0, 0};
    for (int64_t& id : ids) {
        client.send(P::openListenerRequest("web4", 91, &principal, &top, filter.get(), true));
        std::unique_ptr<Message> open = agent.next(P::M_OPEN_LISTENER2);
        ASSERT_TRUE(open);
        ASSERT_EQ(0, open->readInt64(&id));
    }
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_EQ(ids[0], ids[2]);
    // Another listener of the same client is one of its own.
    client.send(P::openListenerRequest("web4", 92, &principal, &top, filter.get(), true));
    std::unique_ptr<Message> other = agent.next(P::M_OPEN_LISTENER2);
    ASSERT_TRUE(other);
    int64_t otherId = 0;
    ASSERT_EQ(0, other->readInt64(&otherId));
    EXPECT_NE(ids[0], otherId);
    // Its confirmation and updates still reach the client under its own id.
    std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("mount:path=\"/\"", &err));
    Attributes a;
    a.setAttribute("path", "/");
    agent.send(P::listenerUpdate(static_cast<int>(ids[2]), P::KIND_ADD, entry.get(), &a, nullptr));
    std::unique_ptr<Message> update = client.next(P::M_LISTENER_UPDATE, 10000);
    ASSERT_TRUE(update);
    int64_t zero = -1;
    int32_t listener = 0;
    ASSERT_EQ(0, update->readInt64(&zero));
    ASSERT_EQ(0, update->readInt32(&listener));
    EXPECT_EQ(91, listener);
}

// An agent that goes away with requests of a client in hand will never
// answer them: the client hears "Not connected" for each, not a time-out
// once the relay's whole wait has passed.
TEST_F(DirdHostileTest, RequestsInHandWhenTheAgentGoesFailAsNotConnected) {
    Issued web3(server, "web3", nullptr);
    std::unique_ptr<RawClient> agent(new RawClient());
    callIn(agent.get(), &web3, "web3");
    RawClient client;
    ASSERT_EQ(0, client.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    int err = 0;
    std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("mount:path=\"/\"", &err));
    DirectoryObject top("Dhostile.example", nullptr);
    Any* noArgs[] = {nullptr};
    client.send(P::resolveRequest("web3", 81, &principal, &top, entry.get(), nullptr));
    client.send(P::executeRequest("web3", 82, &principal, &top, "stat", noArgs));
    ASSERT_TRUE(agent->next(P::M_RESOLVE));
    ASSERT_TRUE(agent->next(P::M_EXECUTE));
    agent.reset();
    std::unique_ptr<Message> first = client.next(P::M_ERROR_REPLY, 20000);
    std::unique_ptr<Message> second = client.next(P::M_EXEC_ERROR_REPLY, 20000);
    ASSERT_TRUE(first && second);
    P::Reply resolved, executed;
    ASSERT_EQ(0, P::readReply(first.get(), &resolved));
    ASSERT_EQ(0, P::readReply(second.get(), &executed));
    EXPECT_EQ(81, resolved.id);
    EXPECT_EQ(11, resolved.error);
    EXPECT_EQ(82, executed.id);
    EXPECT_EQ(11, executed.error);
}

// A client may keep only so many relayed requests and listeners in hand:
// those past the cap are refused at once (a request with 39 in its own
// reply form, a listener open left unanswered) and nothing is kept for
// them. The client's other requests, and other clients, are still served,
// and what it held goes when it leaves.
TEST_F(DirdHostileTest, AClientPastItsRelayCapsIsRefusedTheRestAndLetGoWhenItLeaves) {
    LogCapture logs;
    Issued web5(server, "web5", nullptr);
    RawClient agent, other;
    std::unique_ptr<RawClient> client(new RawClient());
    callIn(&agent, &web5, "web5");
    ASSERT_TRUE(waitFor([&] { return server->relayRecords() == 0; }));
    ASSERT_EQ(0, client->connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    ASSERT_EQ(0, other.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    int err = 0;
    std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("mount:path=\"/\"", &err));
    std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
    DirectoryObject top("Dhostile.example", nullptr);
    Any* noArgs[] = {nullptr};
    std::vector<int64_t> relayIds;
    for (int i = 0; i < 4; i++) {
        // The last a search, acknowledged below.
        client->send(i < 3 ? P::resolveRequest("web5", 100 + i, &principal, &top, entry.get(), nullptr)
                           : P::searchRequest("web5", 103, &principal, &top, filter.get(), nullptr, nullptr, false));
        std::unique_ptr<Message> relayed = agent.next(i < 3 ? P::M_RESOLVE : P::M_SEARCH);
        ASSERT_TRUE(relayed);
        int64_t id = 0;
        ASSERT_EQ(0, relayed->readInt64(&id));
        relayIds.push_back(id);
    }
    // A part's acknowledgement reaches the agent under the search's relay
    // id; another client's under the same number does not.
    other.send(P::searchPartialOk("web5", 103));
    client->send(P::searchPartialOk("web5", 103));
    std::unique_ptr<Message> ack = agent.next(P::M_SEARCH_PARTIAL_REPLY_OK);
    ASSERT_TRUE(ack);
    int64_t acked = 0;
    ASSERT_EQ(0, ack->readInt64(&acked));
    EXPECT_EQ(relayIds[3], acked);
    for (int i = 0; i < 4; i++) {
        client->send(P::openListenerRequest("web5", 200 + i, &principal, &top, filter.get(), true));
        ASSERT_TRUE(agent.next(P::M_OPEN_LISTENER2));
    }
    // Past both caps: each request hears 39 in its own form, the listener
    // open nothing, and the agent none of them.
    client->send(P::resolveRequest("web5", 110, &principal, &top, entry.get(), nullptr));
    client->send(P::executeRequest("web5", 111, &principal, &top, "stat", noArgs));
    client->send(P::openListenerRequest("web5", 210, &principal, &top, filter.get(), true));
    std::unique_ptr<Message> refused = client->next(P::M_ERROR_REPLY);
    std::unique_ptr<Message> refusedExec = client->next(P::M_EXEC_ERROR_REPLY);
    ASSERT_TRUE(refused && refusedExec);
    P::Reply r, x;
    ASSERT_EQ(0, P::readReply(refused.get(), &r));
    ASSERT_EQ(0, P::readReply(refusedExec.get(), &x));
    EXPECT_EQ(110, r.id);
    EXPECT_EQ(39, r.error);
    EXPECT_EQ(111, x.id);
    EXPECT_EQ(39, x.error);
    // A listener already held, opened again, is no new one: it still goes.
    client->send(P::openListenerRequest("web5", 201, &principal, &top, filter.get(), true));
    ASSERT_TRUE(agent.next(P::M_OPEN_LISTENER2));
    // Logged once per cap and session, however many are refused.
    client->send(P::resolveRequest("web5", 112, &principal, &top, entry.get(), nullptr));
    client->send(P::openListenerRequest("web5", 211, &principal, &top, filter.get(), true));
    ASSERT_TRUE(client->next(P::M_ERROR_REPLY));
    EXPECT_FALSE(agent.next(0, 1000)) << "a request past the cap reached the agent";
    EXPECT_EQ(8u, server->relayRecords());
    EXPECT_EQ(1, logs.count("relayed requests in hand"));
    EXPECT_EQ(1, logs.count("relayed listeners held"));

    // Another client has caps of its own.
    other.send(P::resolveRequest("web5", 300, &principal, &top, entry.get(), nullptr));
    std::unique_ptr<Message> others = agent.next(P::M_RESOLVE);
    ASSERT_TRUE(others);
    int64_t othersId = 0;
    ASSERT_EQ(0, others->readInt64(&othersId));
    agent.send(P::resolveReply(othersId, &top));
    EXPECT_TRUE(other.next(P::M_RESOLVE_REPLY));
    // An answered request frees its place.
    DirectoryObject found("Gfound", nullptr);
    agent.send(P::resolveReply(relayIds[0], &found));
    P::Reply answered;
    std::unique_ptr<Message> m = client->next(P::M_RESOLVE_REPLY);
    ASSERT_TRUE(m);
    ASSERT_EQ(0, P::readReply(m.get(), &answered));
    EXPECT_EQ(100, answered.id);
    client->send(P::resolveRequest("web5", 120, &principal, &top, entry.get(), nullptr));
    EXPECT_TRUE(agent.next(P::M_RESOLVE));

    // What the client held goes with it.
    client.reset();
    EXPECT_TRUE(waitFor([&] { return server->relayRecords() == 0; })) << server->relayRecords();
}

// Login and enrolment connections are open to anyone: a peer that keeps
// one open without finishing its exchange (heartbeats keep it alive) would
// hold a descriptor for ever. Past the time of an exchange it is closed,
// the one that asked in time is answered.
TEST_F(DirdHostileTest, LoginAndEnrolmentConnectionsLastOneExchange) {
    RawClient login, enrol, asking;
    ASSERT_EQ(0, login.connect(server->port(), nullptr, nullptr, P::kLoginConnectionType));
    ASSERT_EQ(0, enrol.connect(server->port(), nullptr, nullptr, 336));
    ASSERT_EQ(0, asking.connect(server->port(), nullptr, nullptr, P::kLoginConnectionType));
    SecurityObject credential("password", "nobody", "wrong");
    asking.send(P::loginCredential("nobody", "not a key", &credential));
    EXPECT_EQ(20, asking.result(P::LOGIN_CREDENTIAL));
    EXPECT_TRUE(login.endedWithin(20000));
    EXPECT_TRUE(enrol.endedWithin(20000));
    EXPECT_TRUE(asking.endedWithin(20000));
}

// A client that keeps asking and never reads the answers: they would pile
// up in the server without bound. Past a limit the client is dropped, and
// everyone else is still served.
TEST_F(DirdHostileTest, AClientThatLeavesItsAnswersUnreadIsDropped) {
    LogCapture logs;
    RawTls c;
    ASSERT_TRUE(c.connect(server->port(), alice->cert, alice->key));
    ASSERT_TRUE(c.announce(P::kProviderConnectionType));
    std::string batch;
    for (int i = 0; i < 1000; i++) batch += RawTls::frame(P::getUniqueIds(20));
    // Paced by what the server answered, so that its requests never wait
    // long for a worker: only the unread answers grow. About a kilobyte
    // each, the limit is passed once the socket buffers are full, well
    // before the last batch.
    // Once the server has given up on the client it answers nothing more,
    // and the batch in flight is not waited for.
    const char* givenUp = "too many answers left unread; the session is closed";
    long long start = server->requestsServed.load();
    bool dropped = false;
    for (int i = 0; i < 150 && !dropped && !logs.contains(givenUp); i++) {
        waitFor([&] { return server->requestsServed.load() - start >= 1000LL * i || logs.contains(givenUp); }, 10000);
        dropped = !c.write(batch) || c.endedWithin(0);
    }
    EXPECT_TRUE(dropped || c.endedWithin(20000)) << "still connected after "
                                                  << server->requestsServed.load() - start << " answers";
    EXPECT_TRUE(logs.contains(givenUp));
    RawClient other;
    ASSERT_EQ(0, other.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    other.send(P::getUniqueIds(20));
    std::unique_ptr<Message> m = other.next(P::M_UNIQUEIDS);
    ASSERT_TRUE(m);
}

// A client that sends requests far faster than they can be handled: they
// would wait in the server without bound. Past a limit it is dropped.
TEST_F(DirdHostileTest, AClientThatFloodsRequestsIsDropped) {
    LogCapture logs;
    RawClient c;
    ASSERT_EQ(0, c.connect(server->port(), alice->cert, alice->key, P::kProviderConnectionType));
    std::string flood;
    for (int i = 0; i < 100000; i++) flood += RawTls::frame(P::getUniqueIds(20));
    RawTls raw;
    ASSERT_TRUE(raw.connect(server->port(), alice->cert, alice->key));
    ASSERT_TRUE(raw.announce(P::kProviderConnectionType));
    // One write: the requests arrive together, far more than the workers
    // take in the time.
    EXPECT_TRUE(raw.write(flood) ? raw.endedWithin(20000) : true);
    EXPECT_TRUE(logs.contains("too many requests waiting; the session is closed"));
    // The well-behaved client is still served.
    c.send(P::getUniqueIds(20));
    EXPECT_TRUE(c.next(P::M_UNIQUEIDS));
}

}  // namespace
