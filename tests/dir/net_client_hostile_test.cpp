// The remote provider against a peer that does not play by the rules: a
// search whose parts never end, replies that come after their caller gave
// up, a server that never finishes the connect, and a login certificate that
// arrives just as the login gives up. The client must end every call with a
// clear error, keep nothing of what came too late, and never hang.
#include <climits>
#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "common/delayed_event.h"
#include "common/error_codes.h"
#include "tests/dir/client_session_fixture.h"
#include "tests/support/log_capture.h"

using dirpeer::KeyPair;
using dirpeer::Peer;
using dirpeer::waitFor;

namespace {

class NetClientHostileTest : public ClientSessionTest {
protected:
    void TearDown() override {
        NetClientSPI::_maxSearchEntries = 100000;
        NetClientSPI::_gaveUpHook = nullptr;
        Login::_timeout = 20000;
        Login::_gaveUpHook = nullptr;
        ClientSessionTest::TearDown();
    }

    // Searches d on another thread; a search still running after a wide
    // margin fails the test, and the peer is stopped so that it ends.
    static int searchOrStop(Directory* d, Peer& peer, int* entries) {
        auto run = std::async(std::launch::async, [d, entries] {
            DirName* n = name("/iface:name=*");
            int err = -1;
            DirectoryEnumeration* found = d->search(n, nullptr, &err);
            *entries = found != nullptr ? found->size() : -1;
            delete found;
            delete n;
            return err;
        });
        if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the search did not end";
            peer.stop();
        }
        return run.get();
    }
};

TEST_F(NetClientHostileTest, ASearchWhosePartsNeverEndFailsWithATimeout) {
    // Empty parts, each asking for the next: nothing piles up, but without
    // a bound the caller would wait for ever.
    KeyPair server("server");
    Peer peer(server);
    peer.searchParts = INT_MAX;
    peer.entriesPerPart = 0;
    NetClientSPI::_netclient_timeout = 200;
    Directory* d = session(peer.port(), "endlessdom");
    ASSERT_NE(d, nullptr);
    int entries = 0;
    EXPECT_EQ(searchOrStop(d, peer, &entries), DirError::E_TIMEOUT);
    EXPECT_GT(peer.acks.load(), 0);
    // The session goes on; the stray parts still on the way are dropped.
    NetClientSPI::_netclient_timeout = 2000;
    EXPECT_EQ(attrs(d, "/iface:name=eth0"), 0);
}

TEST_F(NetClientHostileTest, ASearchThatGathersTooManyEntriesFailsAndFreesThem) {
    KeyPair server("server");
    Peer peer(server);
    peer.searchParts = INT_MAX;
    peer.entriesPerPart = 4;
    NetClientSPI::_maxSearchEntries = 50;
    Directory* d = session(peer.port(), "floodeddom");
    ASSERT_NE(d, nullptr);
    int entries = 0;
    EXPECT_EQ(searchOrStop(d, peer, &entries), DirError::E_NO_RESOURCE);
    EXPECT_EQ(entries, -1);
    // No acknowledgement past the bound: the peer stops sending.
    EXPECT_LE(peer.partsSent.load(), 50 / 4 + 2);
    EXPECT_EQ(attrs(d, "/iface:name=eth0"), 0);

    // Within the bound, a search in parts still gathers everything.
    NetClientSPI::_maxSearchEntries = 100;
    peer.partsSent = 0;
    peer.searchParts = 5;
    EXPECT_EQ(searchOrStop(d, peer, &entries), 0);
    EXPECT_EQ(entries, 20);
}

// A failure that names no error would read as success to a caller that
// looks at the code alone; it fails as the peer's protocol error.
TEST_F(NetClientHostileTest, AnExecuteFailureWithoutACodeIsAProtocolError) {
    KeyPair server("server");
    Peer peer(server);
    Directory* d = session(peer.port(), "codelessdom");
    ASSERT_NE(d, nullptr);
    DirName* eth0 = name("/iface:name=eth0");
    for (const char* op : {"failWithoutCode", "failedResultWithoutCode"}) {
        FutureResult* fr = d->execute(eth0, nullptr, op, nullptr);
        ASSERT_TRUE(fr->waitComplete(10000)) << op;
        EXPECT_TRUE(fr->failed) << op;
        EXPECT_EQ(fr->error, DirError::E_PROTOCOL) << op;
        FutureResult::destroy(fr);
    }
    delete eth0;
}

// Domain attributes are taken only as the answer to the provider's own
// question: sent unasked, they would move its file transfers elsewhere.
TEST_F(NetClientHostileTest, DomainAttributesSentUnaskedAreNotTaken) {
    KeyPair server("server");
    Peer peer(server);
    NetClientSPI spi(nullptr, "unasked", "127.0.0.1", peer.port(), nullptr, "Dunasked", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    auto thisAttributes = [&] {
        DirectoryObject self("this", new Any("____this"));
        Attributes* got = nullptr;
        std::string text;
        if (spi.getAttributes(nullptr, &self, got) == 0 && got != nullptr) {
            char* t = got->toString(nullptr);
            text = t != nullptr ? t : "";
            free(t);
        }
        delete got;
        return text;
    };
    std::string before = thisAttributes();
    Attributes pushed;
    pushed.setAttribute("ftPort", "1");
    Message* m = dirpeer::received(DirProtocol::domainAttributes(&pushed));
    if (spi.onReceive(nullptr, m) == 0) delete m;
    EXPECT_EQ(thisAttributes(), before);
    EXPECT_EQ(before.find("\"1\""), std::string::npos) << before;
}

std::atomic<bool> _filledAfterGivingUp{false};

void lateResolveReply(NetClientSPI* spi, DelayedEvent* event) {
    spi->expectReply(event->getId(), DirProtocol::M_RESOLVE_REPLY);
    // As if read off the connection just before the caller gave up, and
    // handed on just after.
    DirectoryObject o("late", new Any("x"));
    Message* m = dirpeer::received(DirProtocol::resolveReply(event->getId(), &o));
    if (spi->onReceive(nullptr, m) == 0) delete m;
    spi->forgetReply(event->getId());
    _filledAfterGivingUp = event->isDone();
}

TEST_F(NetClientHostileTest, AReplyAfterTheCallerGaveUpIsNotKept) {
    KeyPair server("server");
    Peer peer(server);
    NetClientSPI spi(nullptr, "lateness", "127.0.0.1", peer.port(), nullptr, "Dlateness", nullptr);
    ASSERT_TRUE(waitFor([&] { return spi.isConnected(); }));
    NetClientSPI::_netclient_timeout = 300;
    NetClientSPI::_gaveUpHook = lateResolveReply;
    _filledAfterGivingUp = false;
    DirNameEntry never("never", "name", "1");
    DirectoryObject* out = nullptr;
    EXPECT_EQ(spi.resolve(nullptr, nullptr, nullptr, &never, out), DirError::E_TIMEOUT);
    EXPECT_EQ(out, nullptr);
    // The object decoded from the late reply went nowhere: had the call's
    // event still taken it, nobody would ever free it.
    EXPECT_FALSE(_filledAfterGivingUp.load());

    // A part of a search nothing waits for is dropped with a warning.
    LogCapture logged;
    DirectoryEnumeration nothing;
    Message* part = dirpeer::received(DirProtocol::searchPartialReply(987654321, &nothing, 0, 0, false));
    if (spi.onReceive(nullptr, part) == 0) delete part;
    EXPECT_TRUE(logged.contains("no prior search context. Search fails"));
}

TEST_F(NetClientHostileTest, AServerThatNeverFinishesTheConnectIsGivenUpOnAndTriedAgain) {
    // The domain attributes that complete the connect never come: the
    // attempt ends with "Connect timeout" after the request time-out, and the
    // provider connects again instead of waiting on that connection for ever.
    KeyPair server("server");
    Peer mute(server);
    mute.answerDomainAttributes = false;
    NetClientSPI::_netclient_timeout = 500;
    NetClientSPI spi(nullptr, "mutedom", "127.0.0.1", mute.port(), nullptr, "Dmutedom", nullptr);
    auto asked = [&] { return mute.count(DirProtocol::M_DOMAIN_ATTRIBUTES); };
    ASSERT_TRUE(waitFor([&] { return asked() == 1; }));
    DirNameEntry entry("iface", "name", "eth0");
    DirectoryObject* out = nullptr;
    EXPECT_EQ(spi.resolve(nullptr, nullptr, nullptr, &entry, out), DirError::E_CONNECT_TIMEOUT);
    EXPECT_EQ(spi.getLastError(), DirError::E_CONNECT_TIMEOUT);
    EXPECT_FALSE(spi.isConnected());
    EXPECT_TRUE(waitFor([&] { return mute.types().size() >= 2 && asked() >= 2; }, 30000));

    // Once the peer answers, a later attempt completes.
    mute.answerDomainAttributes = true;
    EXPECT_TRUE(waitFor([&] { return spi.isConnected(); }, 30000));
}

// ---- login -------------------------------------------------------------------

Peer* _heldPeer = nullptr;

// Lets the held certificate go just after the login decided it had waited
// long enough, and waits until the login's connection has taken it.
void releaseHeldLogin(DelayedEvent* event) {
    if (_heldPeer == nullptr) return;
    // The request may still be on its way to the peer.
    if (waitFor([] { return _heldPeer->releaseLogin(); }, 20000)) event->waitResult(20000);
}

TEST_F(NetClientHostileTest, ALoginCertificateThatRacesTheTimeOutIsTaken) {
    KeyPair ca("testdom");
    Peer peer(ca);
    peer.loginHeld = true;
    _heldPeer = &peer;
    Login::_timeout = 300;
    Login::_gaveUpHook = releaseHeldLogin;
    int err = -1;
    Directory* d = Directory::authenticate("testdom", "127.0.0.1", peer.port(), "alice", "secret", nullptr, &err);
    _heldPeer = nullptr;
    // The server's answer came before the connection was closed: the login
    // stands (and the certificate is the session's, not left behind).
    ASSERT_NE(d, nullptr) << err;
    sessions.push_back(d);
    EXPECT_EQ(err, 0);
    ASSERT_NE(d->principal, nullptr);
    char user[64] = "";
    d->principal->getLoginUser(user, sizeof(user));
    EXPECT_STREQ(user, "alice");
}

}  // namespace
