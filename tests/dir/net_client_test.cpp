// The remote provider and the login against a scripted peer on loopback TLS:
// directory calls through the peer (partial searches with their
// acknowledgements, execute progress and errors, listener updates), calls
// whose replies never come or come late, the certificate check against the
// key on file, a refused connect and a peer that goes away and comes back,
// unique id batches, every way a login ends, and a login or enrolment whose
// peer hangs up right after its answer.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/asset_cache.h"
#include "dir/domain.h"
#include "dir/exec_dir_thread.h"
#include "dir/login.h"
#include "io/input.h"
#include "tests/dir/client_session_fixture.h"
#include "tests/support/log_capture.h"

using dirpeer::KeyPair;
using dirpeer::LoginSteps;
using dirpeer::NameWatcher;
using dirpeer::Peer;
using dirpeer::ProgressCounter;
using dirpeer::waitFor;

namespace {

// The peer answers an "echo" with two progress updates and then its
// argument: the updates reach the listener, the argument the result.
void expectEchoWithProgress(Directory* d, const DirName* name) {
    ProgressCounter progress;
    Any hello("hello");
    Any* args[] = {&hello, nullptr};
    FutureResult* fr = d->execute(name, &progress, "echo", args);
    ASSERT_TRUE(fr->waitComplete(10000));
    EXPECT_FALSE(fr->failed) << fr->error;
    ASSERT_NE(fr->result, nullptr);
    EXPECT_STREQ(fr->result->getString(), "hello");
    EXPECT_EQ(progress.updates.load(), 2);
    FutureResult::destroy(fr);
}

class NetClientTest : public ClientSessionTest {
protected:
    void SetUp() override {
        ClientSessionTest::SetUp();
        Login::_timeout = 20000;
    }
};

TEST_F(NetClientTest, CallsReachThePeerAndRepliesComeBack) {
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    Directory* d = session(peer.port());
    ASSERT_NE(d, nullptr);

    std::string object;
    EXPECT_EQ(attrs(d, "/iface:name=eth0", &object), 0);
    EXPECT_EQ(object, "iface");  // the peer saw the resolved object as current
    EXPECT_EQ(attrs(d, "/missing:name=x"), 15);
    EXPECT_EQ(peer.types().front(), 448);

    // A search in three parts: one enumeration, two acknowledgements.
    DirName* n = name("/iface:name=*");
    int err = -1;
    DirectoryEnumeration* found = d->search(n, nullptr, &err);
    ASSERT_EQ(err, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->size(), 6);
    std::vector<std::string> names;
    while (found->next()) names.push_back(found->getName()->getStringAttributeValue("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"e0", "e1", "e2", "e3", "e4", "e5"}));
    EXPECT_EQ(peer.acks.load(), 2);
    delete found;

    // Execute: progress updates reach the listener before the result.
    DirName* eth0 = name("/iface:name=eth0");
    expectEchoWithProgress(d, eth0);
    FutureResult* fr = d->execute(eth0, nullptr, "fail", nullptr);
    ASSERT_TRUE(fr->waitComplete(10000));
    EXPECT_TRUE(fr->failed);
    EXPECT_EQ(fr->error, 23);
    FutureResult::destroy(fr);

    // A listener: the peer speaks version 1, so the second form is used,
    // and a batched update delivers both entries.
    NameWatcher watcher;
    ASSERT_EQ(d->addListener(n, &watcher, &err), 0);
    EXPECT_TRUE(waitFor([&] { return watcher.count() == 2; }));
    EXPECT_GT(watcher.connects.load(), 0);
    EXPECT_EQ(peer.listenerCode.load(), 224);
    d->removeListener(&watcher);
    delete n;
    delete eth0;
}

TEST_F(NetClientTest, OneSessionsLogoutLeavesTheOthersExecuting) {
    // The execution thread serves every client session; the last logout
    // stops it, not the first.
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    Directory* staying = session(peer.port());
    ASSERT_NE(staying, nullptr);
    int err = 0;
    Directory* leaving = dirpeer::startClientSession(peer.port(), "testdom", &err);
    ASSERT_NE(leaving, nullptr);
    DirName* eth0 = name("/iface:name=eth0");
    Any hello("hello");
    Any* args[] = {&hello, nullptr};
    auto echo = [&](Directory* d) {
        FutureResult* fr = d->execute(eth0, nullptr, "echo", args);
        bool done = fr->waitComplete(10000);
        int code = !done ? -1 : fr->failed ? fr->error : 0;
        FutureResult::destroy(fr);
        return code;
    };
    EXPECT_EQ(echo(leaving), 0);
    delete leaving;
    EXPECT_NE(ExecDirThread::instance(), nullptr);
    EXPECT_EQ(echo(staying), 0);
    delete eth0;

    sessions.clear();
    delete staying;
    EXPECT_EQ(ExecDirThread::instance(), nullptr);
}

TEST_F(NetClientTest, AnAgentThatMovedIsAskedForAgainAndReachedAtItsNewAddress) {
    // The cached record of an agent names a port where nothing listens any
    // more. The failed connect asks the domain server for the record again,
    // and the provider's next attempt reaches the agent where it is now.
    KeyPair server("server");
    KeyPair agentKey("agent");
    Peer domainServer(server);
    Peer agent(agentKey);
    std::string oldPort;
    {
        Peer moved(agentKey);
        oldPort = moved.port();
    }
    Asset now;
    now.id = strdup("a7");
    now.host = strdup("127.0.0.1");
    now.port = atoi(agent.port());
    now.ftport = 14123;
    domainServer.assetAnswer = &now;
    Directory* d = session(domainServer.port());
    ASSERT_NE(d, nullptr);
    Asset before;
    before.id = strdup("a7");
    before.host = strdup("127.0.0.1");
    before.port = atoi(oldPort.c_str());
    AssetCache::addAssetCache(&before);

    DirName* eth0 = name("//host:id=a7/iface:name=eth0");
    Any hello("hello");
    Any* args[] = {&hello, nullptr};
    FutureResult* fr = d->execute(eth0, nullptr, "echo", args);
    ASSERT_TRUE(fr->waitComplete(30000));
    EXPECT_FALSE(fr->failed) << fr->error;
    ASSERT_NE(fr->result, nullptr);
    EXPECT_STREQ(fr->result->getString(), "hello");
    FutureResult::destroy(fr);
    EXPECT_GE(domainServer.assetAsks.load(), 1);
    EXPECT_GE(agent.received.load(), 2);  // the resolve and the execute
    delete eth0;
}

TEST_F(NetClientTest, AnAssetReachedThroughTheServerIsAskedForUnderItsIdAndAnsweredPlainly) {
    // The agent is reached through the domain server: every request names
    // the asset first and travels with the masquerade code, while the
    // server's answers come back with the plain codes.
    KeyPair server("server");
    Peer peer(server);
    Directory* d = session(peer.port());
    ASSERT_NE(d, nullptr);
    Asset behind;
    behind.id = strdup("m9");
    behind.host = strdup("127.0.0.1");
    behind.port = 1;  // never dialled: the server relays
    behind.masq = true;
    AssetCache::addAssetCache(&behind);

    DirName* eth0 = name("//host:id=m9/iface:name=eth0");
    expectEchoWithProgress(d, eth0);
    std::vector<std::string> masq = peer.masqueraded();
    EXPECT_NE(std::find(masq.begin(), masq.end(), "10006 m9"), masq.end());
    delete eth0;
}

TEST_F(NetClientTest, ARemoteFileArrivesThroughTheInputItsReplyOpened) {
    KeyPair server("server");
    Peer peer(server);
    NetClientSPI spi(nullptr, "files", "127.0.0.1", peer.port(), nullptr, "Dfiles", nullptr);
    auto arrive = [&](Message* built) {
        Message* m = dirpeer::received(built);
        if (spi.onReceive(nullptr, m) == 0) delete m;
    };
    // The reply opens an input of the announced size for the waiting call;
    // the file's data messages under the same id fill it.
    DelayedEvent opened;
    spi.expectReply(opened.getId(), DirProtocol::M_READ_REMOTE_FILE_REPLY);
    arrive(DirProtocol::readRemoteFileReply(opened.getId(), 10));
    ASSERT_TRUE(opened.isDone());
    ASSERT_FALSE(opened.isError());
    Input* in = static_cast<Input*>(opened.getValue());
    ASSERT_NE(in, nullptr);
    arrive(DirProtocol::readRemoteFileData(opened.getId(), 10, "hello", 5));
    arrive(DirProtocol::readRemoteFileData(opened.getId() + 1, 10, "xxxxx", 5));
    arrive(DirProtocol::readRemoteFileData(opened.getId(), 10, "world", 5));
    unsigned char buffer[32];
    ASSERT_EQ(in->read(buffer, sizeof buffer), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "helloworld");
    EXPECT_EQ(in->read(buffer, sizeof buffer), -1);
    // A destroyed input is fed no more.
    delete in;
    arrive(DirProtocol::readRemoteFileData(opened.getId(), 10, "late", 4));
    // A reply nothing waits for opens nothing.
    DelayedEvent unasked;
    arrive(DirProtocol::readRemoteFileReply(unasked.getId(), 3));
    EXPECT_FALSE(unasked.isDone());
}

// Opening a remote file for writing asks the peer and ends with its answer,
// not with the time-out.
TEST_F(NetClientTest, AnOpenForWriteEndsWithThePeersAnswer) {
    KeyPair server("server");
    Peer peer(server);
    NetClientSPI spi(nullptr, "writes", "127.0.0.1", peer.port(), nullptr, "Dwrites", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    NetClientSPI::_netclient_timeout = 10000;
    DirectoryObject file("file", new Any("notes.txt"));
    Output* out = nullptr;
    EXPECT_EQ(spi.openForWrite(nullptr, &file, &out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(peer.count(DirProtocol::M_WRITE_REMOTE_FILE), 1);
}

TEST_F(NetClientTest, UnansweredCallsTimeOutAndLateRepliesAreDropped) {
    KeyPair server("server");
    Peer peer(server);
    Directory* d = session(peer.port());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(attrs(d, "/iface:name=eth0"), 0);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(attrs(d, "/never:name=1"), DirError::E_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::milliseconds(6000));

    // A reply after its caller gave up goes nowhere; the session goes on.
    EXPECT_EQ(attrs(d, "/late:name=1"), DirError::E_TIMEOUT);
    ASSERT_NE(peer.lateId.load(), 0);
    DirectoryObject o("late", new Any("x"));
    peer.sendAll(DirProtocol::resolveReply(peer.lateId.load(), &o));
    EXPECT_EQ(attrs(d, "/iface:name=eth1"), 0);

    // Answers of other kinds under a resolve's id are dropped, not handed to
    // the waiting resolve as its object: it times out and the session goes on.
    {
        LogCapture logs;
        EXPECT_EQ(attrs(d, "/confused:name=1"), DirError::E_TIMEOUT);
        EXPECT_TRUE(logs.contains("M_GET_ATTRIBUTES_REPLY for id"));
        EXPECT_TRUE(logs.contains("which waits for M_RESOLVE_REPLY, dropped"));
        EXPECT_EQ(attrs(d, "/iface:name=eth2"), 0);
    }

    // A peer whose domain attributes do not decode still serves the rest.
    Peer garbled(server);
    garbled.garbleDomainAttributes = true;
    EXPECT_EQ(attrs(session(garbled.port(), "garbleddom"), "/iface:name=eth0"), 0);

}

TEST_F(NetClientTest, PeerKeyIsCheckedAgainstTheKeyOnFile) {
    KeyPair server("server");
    KeyPair other("impostor");
    Peer peer(server);
    LogCapture logs;
    {
        NetClientSPI wrong(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", other.key);
        EXPECT_TRUE(waitFor([&] { return wrong.getLastError() == DirError::E_SECURITY_VIOLATION; }));
        EXPECT_FALSE(wrong.isConnected());
        EXPECT_TRUE(logs.contains("Possible \"man in the middle\" attack"));
    }
    {
        // An asset reached through the domain server meets the server's
        // certificate, not its own: its key on file is not held against it.
        NetClientSPI through(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", server.key);
        Asset a;
        a.id = strdup("A10");
        a.host = strdup("127.0.0.1");
        a.port = 1;
        a.publicKey = Login::publicKeyPem(other.key);
        NetClientSPI behind(nullptr, &through, "keyed", &a, "HA10", nullptr);
        EXPECT_TRUE(waitFor([&] { return behind.isConnected(); }));
        EXPECT_EQ(behind.getLastError(), 0);
    }
    {
        NetClientSPI right(nullptr, "keyed", "127.0.0.1", peer.port(), nullptr, "Dkeyed", server.key);
        EXPECT_TRUE(waitFor([&] { return right.isConnected(); }));
        EXPECT_EQ(right.getLastError(), 0);
        char* text = right.toString();
        std::string t = text;
        free(text);
        EXPECT_NE(t.find("\"connected\" : true"), std::string::npos) << t;
        EXPECT_NE(t.find("\"port\" : \"" + std::string(peer.port()) + "\""), std::string::npos) << t;
        EXPECT_NE(t.find("\"assetId\" : \"NULL\""), std::string::npos) << t;
    }
    {
        // An asset whose key on file cannot be read is refused, not reached
        // without a check.
        Asset a;
        a.id = strdup("A9");
        a.host = strdup("127.0.0.1");
        a.port = atoi(peer.port());
        a.publicKey = strdup("-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n");
        NetClientSPI unreadable(nullptr, nullptr, "keyed", &a, "HA9", nullptr);
        EXPECT_TRUE(waitFor([&] { return unreadable.getLastError() == DirError::E_SECURITY_VIOLATION; }));
        EXPECT_FALSE(unreadable.isConnected());
        EXPECT_TRUE(logs.contains("A certificate is required but no certificate is on file"));
    }
    {
        // A connect that fails at once (no address) still ends the attempt a
        // reset waits for.
        NetClientSPI::_netclient_timeout = 20000;
        NetClientSPI nowhere(nullptr, "nowhere", nullptr, nullptr, nullptr, "Dnowhere", nullptr);
        EXPECT_TRUE(waitFor([&] { return nowhere.getLastError() != 0; }));
        auto t0 = std::chrono::steady_clock::now();
        nowhere.forceReset2();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5000));
        NetClientSPI::_netclient_timeout = 2000;
    }
}

TEST_F(NetClientTest, RefusedConnectIsMappedAndThePeerIsFoundAgainWhenItReturns) {
    KeyPair server("server");
    Peer peer(server);
    std::string port = peer.port();
    Directory* d = session(port.c_str());
    ASSERT_EQ(attrs(d, "/iface:name=eth0"), 0);
    DirectorySPI* spi = d->spi;
    NetClientSPI* client = dynamic_cast<NetClientSPI*>(spi);
    ASSERT_NE(client, nullptr);
    // The provider's own connection object: its counters only while connected.
    auto connectionAttrs = [&] {
        DirName* n = name("/connection:");
        int err = -1;
        Attributes* a = d->getAttributes(n, &err);
        delete n;
        EXPECT_EQ(err, 0);
        return std::unique_ptr<Attributes>(a);
    };
    std::unique_ptr<Attributes> up = connectionAttrs();
    ASSERT_NE(up, nullptr);
    ASSERT_NE(up->getAttribute("connected"), nullptr);
    EXPECT_TRUE(up->getAttribute("connected")->getBool());
    EXPECT_NE(up->getAttribute("bytesSent"), nullptr);
    EXPECT_NE(up->getAttribute("bytesReceived"), nullptr);
    EXPECT_STREQ(up->getStringAttribute("ipaddr"), "127.0.0.1");
    EXPECT_STREQ(up->getStringAttribute("port"), port.c_str());

    // The server goes away: an execute still waiting fails at once with
    // "Not connected" (not at its time-out), and refused connects map to 40.
    DirName* eth0 = name("/iface:name=eth0");
    FutureResult* pending = d->execute(eth0, nullptr, "never", nullptr);
    delete eth0;
    EXPECT_TRUE(waitFor([&] { return peer.lastCode() == DirProtocol::M_EXECUTE; }));
    peer.stop();
    ASSERT_TRUE(pending->waitComplete(8000));
    EXPECT_TRUE(pending->failed);
    EXPECT_EQ(pending->error, DirError::E_NOT_CONNECTED);
    FutureResult::destroy(pending);
    EXPECT_TRUE(waitFor([&] { return !client->isConnected(); }));
    EXPECT_TRUE(waitFor([&] { return client->getLastError() == DirError::E_CONNECTION_REFUSED; }, 15000));
    EXPECT_EQ(attrs(d, "/iface:name=eth0"), DirError::E_CONNECTION_REFUSED);
    std::unique_ptr<Attributes> down = connectionAttrs();
    ASSERT_NE(down, nullptr);
    ASSERT_NE(down->getAttribute("connected"), nullptr);
    EXPECT_FALSE(down->getAttribute("connected")->getBool());
    EXPECT_EQ(down->getAttribute("bytesSent"), nullptr);
    EXPECT_EQ(down->getAttribute("bytesReceived"), nullptr);
    EXPECT_NE(down->getAttribute("lastConnected"), nullptr);

    // It comes back on the same port; the provider reconnects by itself.
    peer.start(port.c_str());
    ASSERT_EQ(peer.bindResult, 0);
    EXPECT_TRUE(waitFor([&] { return client->isConnected(); }, 25000));
    EXPECT_EQ(attrs(d, "/iface:name=eth2"), 0);

    EXPECT_EQ(client->mapErrorCode(-23, nullptr), 60);
    EXPECT_EQ(client->mapErrorCode(-21, nullptr), 42);
    EXPECT_EQ(client->mapErrorCode(-99, nullptr), 28);
}

// A refused connect is left alone for the timer run that follows it and two
// skipped runs, is dropped on the third and tried again on the fourth:
// 6000 + 3000 + 3000 + 3000 ms after the failed attempt.
TEST_F(NetClientTest, ARefusedConnectSkipsTwoTimerRunsBeforeItIsTriedAgain) {
    std::string gone;
    {
        KeyPair server("server");
        Peer closed(server);
        gone = closed.port();
    }
    LogCapture logs;
    NetClientSPI spi(nullptr, "refused", "127.0.0.1", gone.c_str(), nullptr, "Drefused", nullptr);
    const std::string attempt = "NetClientSPI [refused:127.0.0.1:" + gone + "]: Directory service: Connecting to";
    ASSERT_TRUE(waitFor([&] { return logs.count(attempt) == 1; }));
    auto first = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitFor([&] { return spi.getLastError() == DirError::E_CONNECTION_REFUSED; }));
    ASSERT_TRUE(waitFor([&] { return logs.count(attempt) == 2; }, 25000));
    long long gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - first).count();
    EXPECT_GE(gap, 14000);
    EXPECT_LT(gap, 19000);
}

TEST_F(NetClientTest, UniqueIdsComeInBatchesAskedForBeforeTheyRunOut) {
    KeyPair server("server");
    Peer peer(server);
    NetClientSPI spi(nullptr, "ids", "127.0.0.1", peer.port(), nullptr, "Dids", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    // Asking for the instance waits for a batch but spends no id of it.
    EXPECT_EQ(spi.localInstanceId(), 7001);
    EXPECT_EQ(peer.idBatches.load(), 1);
    long long id = 0;
    for (int i = 0; i < 16; i++) {
        ASSERT_EQ(spi.localUniqueId(&id), 0);
        EXPECT_EQ(id, 100 + i);
    }
    EXPECT_EQ(peer.idBatches.load(), 1);
    // The 17th take asks for the next batch, which replaces this one when it comes.
    peer.holdIds = true;
    ASSERT_EQ(spi.localUniqueId(&id), 0);
    EXPECT_EQ(id, 116);
    EXPECT_TRUE(waitFor([&] { return peer.idBatches.load() == 2; }));
    for (int i = 17; i < 20; i++) ASSERT_EQ(spi.localUniqueId(&id), 0);
    EXPECT_EQ(id, 119);
    // The 21st waits for a batch that does not come: a time-out, not a stale id.
    NetClientSPI::_netclient_timeout = 300;
    EXPECT_EQ(spi.localUniqueId(&id), DirError::E_TIMEOUT);
    char guid[16];
    EXPECT_EQ(spi.localMiniGuid(guid, sizeof(guid)), 0);
    EXPECT_STREQ(guid, "g100");  // mini GUIDs are taken apart from the ids
}

TEST_F(NetClientTest, AShortOrEmptyBatchHandsOutOnlyTheIdsItHolds) {
    KeyPair server("server");
    {
        // A peer that sends fewer ids than asked for: only those are handed
        // out, then the next batch is asked for.
        Peer peer(server);
        peer.idsPerBatch = 3;
        NetClientSPI spi(nullptr, "shortids", "127.0.0.1", peer.port(), nullptr, "Dshortids", nullptr);
        ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
        std::vector<long long> got;
        for (int i = 0; i < 7; i++) {
            long long id = 0;
            ASSERT_EQ(spi.localUniqueId(&id), 0);
            got.push_back(id);
        }
        EXPECT_EQ(got, (std::vector<long long>{100, 101, 102, 200, 201, 202, 300}));
        char guid[16] = "";
        ASSERT_EQ(spi.localMiniGuid(guid, sizeof(guid)), 0);
        EXPECT_STREQ(guid, "g300");  // the batch the ids are taken from
    }
    {
        // An empty batch hands out nothing: the caller gets an error, not an id.
        Peer peer(server);
        peer.idsPerBatch = 0;
        NetClientSPI spi(nullptr, "noids", "127.0.0.1", peer.port(), nullptr, "Dnoids", nullptr);
        ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
        long long id = -1;
        EXPECT_EQ(spi.localUniqueId(&id), DirError::E_PROTOCOL);
        EXPECT_EQ(id, -1);
        char guid[16] = "untouched";
        EXPECT_EQ(spi.localMiniGuid(guid, sizeof(guid)), DirError::E_PROTOCOL);
        EXPECT_STREQ(guid, "untouched");
    }
}

TEST_F(NetClientTest, AnIdBatchAskedForOnAConnectionThatWentIsAskedForAgainOnTheNext) {
    KeyPair server("server");
    Peer peer(server);
    peer.holdIds = true;
    NetClientSPI spi(nullptr, "lostids", "127.0.0.1", peer.port(), nullptr, "Dlostids", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    // Long enough that a taker left waiting would be told by its time-out
    // (13), not served from the next connection.
    NetClientSPI::_netclient_timeout = 30000;
    int rv = -1;
    long long id = 0;
    std::thread taker([&] { rv = spi.localUniqueId(&id); });
    ASSERT_TRUE(waitFor([&] { return peer.idBatches.load() == 1; }));
    // The connection the batch was asked for on goes; its answer never can come.
    peer.holdIds = false;
    auto dropped = std::chrono::steady_clock::now();
    spi.forceReset3();
    taker.join();
    long long waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - dropped).count();
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(id, 200);  // from the batch asked for on the next connection
    EXPECT_LT(waited, 25000);
}

TEST_F(NetClientTest, LoginReportsEachStepAndEachFailure) {
    KeyPair ca("testdom");
    Peer peer(ca);

    LoginSteps ok;
    int err = -1;
    Directory* d = Directory::authenticate("testdom", "127.0.0.1", peer.port(), "alice", "secret", &ok, &err);
    ASSERT_NE(d, nullptr) << err;
    sessions.push_back(d);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ok.texts, (std::vector<std::string>{"Generating keys", "Connecting", "Authenticating",
                                                  "Starting directory service", "Login successful"}));
    EXPECT_EQ(ok.finals, 1);
    EXPECT_FALSE(ok.lastIsError);
    ASSERT_NE(d->principal, nullptr);
    char user[64] = "";
    d->principal->getLoginUser(user, sizeof(user));
    EXPECT_STREQ(user, "alice");
    EXPECT_STREQ(d->principal->domain, "testdom");
    // The session works over the issued certificate, and the peer sees
    // the principal of the login in every request.
    std::string object;
    EXPECT_EQ(attrs(d, "/iface:name=eth0", &object), 0);

    // Each failure ends in one final step, an error.
    auto fails = [&](const char* port, const char* password, int code, const char* text) {
        LoginSteps steps;
        EXPECT_EQ(Directory::authenticate("testdom", "127.0.0.1", port, "alice", password, &steps, &err), nullptr);
        EXPECT_EQ(err, code) << text;
        ASSERT_FALSE(steps.texts.empty());
        EXPECT_EQ(steps.texts.back(), text);
        EXPECT_TRUE(steps.lastIsError) << text;
        EXPECT_EQ(steps.finals, 1) << text;
    };
    fails(peer.port(), "wrong", 20, "Authentication failure");
    // What the server answers is its verdict, whatever the code: a refusal
    // that happens to carry 11 (say the server's own back end is down) is
    // still an authentication failure, while a server that hangs up without
    // answering is one the client could not talk to.
    peer.loginRefusal = DirError::E_NOT_CONNECTED;
    fails(peer.port(), "wrong", DirError::E_NOT_CONNECTED, "Authentication failure");
    peer.loginHangUp = true;
    fails(peer.port(), "secret", DirError::E_NOT_CONNECTED, "Unable to connect");
    std::string gone;
    {
        Peer closed(ca);
        gone = closed.port();
    }
    fails(gone.c_str(), "secret", DirError::E_NOT_CONNECTED, "Unable to connect");

    peer.loginSilent = true;
    Login::_timeout = 1000;
    auto t0 = std::chrono::steady_clock::now();
    fails(peer.port(), "secret", DirError::E_LOGIN_TIMEOUT, "Connection timeout");
    // The set time-out, not the default 20 s, ended the wait; wide, for the
    // key generation before the connect on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(15000));
}

// The certificate and the server's close arrive together: the close that
// follows must not undo the login.
TEST_F(NetClientTest, LoginSucceedsWhenThePeerHangsUpRightAfterItsReply) {
    KeyPair ca("testdom");
    Peer peer(ca);
    peer.closeAfterReply = true;
    for (int round = 0; round < 3; round++) {
        LoginSteps steps;
        int err = -1;
        Directory* d = Directory::authenticate("testdom", "127.0.0.1", peer.port(), "alice", "secret", &steps, &err);
        ASSERT_NE(d, nullptr) << "round " << round << ": error " << err;
        sessions.push_back(d);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(steps.texts.back(), "Login successful");
        EXPECT_FALSE(steps.lastIsError);
    }
}

int _pushed = 0;
int acceptPush(X509* cert) {
    _pushed += cert != nullptr ? 1 : 0;
    return 0;
}

// From the second round on, the answer and the server's close arrive
// together: the close that follows must not turn the answer into a failure.
TEST_F(NetClientTest, EnrolmentExchangesAlsoWhenThePeerHangsUpRightAfterTheAnswer) {
    KeyPair server("server");
    Peer peer(server);
    KeyPair agent("agent");
    Domain::_domAuthCertUpdater = acceptPush;
    for (int round = 0; round < 10; round++) {
        peer.closeAfterReply = round > 0;
        char result[Domain::kResultSize] = "";
        char text[Domain::kErrorTextSize] = "";
        // A pushed certificate first, then the real answer on the same connection.
        EXPECT_EQ(Domain::add(agent.cert, agent.key, "127.0.0.1", peer.port(), "alice", "pw", result, text), 0)
            << "round " << round << ": " << text;
        EXPECT_STREQ(result, "enrolled:alice") << "round " << round;
        EXPECT_EQ(_pushed, round + 1);
        // A refusal is an answer too.
        EXPECT_EQ(Domain::remove(agent.cert, agent.key, "127.0.0.1", peer.port(), "alice", "pw", text),
                  DirError::E_PROTOCOL)
            << "round " << round;
        EXPECT_STREQ(text, "not enrolled") << "round " << round;
    }
    peer.closeAfterReply = false;

    // Nobody answers identify: a time-out, and no connection stays behind.
    Domain::_stepWait = 600;
    long before = Connection::liveConnections();
    EXPECT_EQ(Domain::identify(agent.cert, agent.key, agent.cert, "testdom", "127.0.0.1", peer.port(), 1, "A1", "a",
                               "b", "c", "d", "agent-1"),
              DirError::E_LOGIN_TIMEOUT);
    Domain::_stepWait = 20000;
    EXPECT_TRUE(waitFor([&] { return Connection::liveConnections() <= before; }));
    // Nor add: it waits once, for the whole time-out, and says so.
    peer.enrolSilent = true;
    Domain::_addWait = 400;
    {
        char result[Domain::kResultSize] = "";
        char text[Domain::kErrorTextSize] = "";
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Domain::add(agent.cert, agent.key, "127.0.0.1", peer.port(), "alice", "pw", result, text),
                  DirError::E_LOGIN_TIMEOUT);
        auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(waited, std::chrono::milliseconds(400));
        EXPECT_LT(waited, std::chrono::milliseconds(5000));
        EXPECT_STREQ(text, "Unable to perform domain operation: timeout");
        EXPECT_STREQ(result, "");
    }
    Domain::_addWait = 10000;
    peer.enrolSilent = false;
    EXPECT_TRUE(waitFor([&] { return Connection::liveConnections() <= before; }));

    std::string gone;
    {
        Peer closed(server);
        gone = closed.port();
    }
    char result[Domain::kResultSize];
    char text[Domain::kErrorTextSize];
    EXPECT_EQ(Domain::add(agent.cert, agent.key, "127.0.0.1", gone.c_str(), "alice", "pw", result, text),
              DirError::E_NOT_CONNECTED);
    EXPECT_NE(strstr(text, "unable to connect to 127.0.0.1:"), nullptr) << text;
    Domain::_domAuthCertUpdater = nullptr;
}

}  // namespace
