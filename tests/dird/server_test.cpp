// The directory server over TLS on loopback, spoken to by a raw client that
// builds its requests with the protocol's builders: the login exchange, the
// requests of a client session (resolve, execute with progress, attributes,
// list, searches in acknowledged parts, listeners, listener opens it cannot
// serve), hostile frames, the certificate rule, and the relay to an agent
// that called in.
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "coms/connection.h"
#include "coms/tls.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/exec_dir_thread.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "host/demo_provider.h"
#include "hostrt/host_directory.h"
#include "tests/dird/raw_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"

namespace {

using dirdtest::RawClient;
using dirdtest::waitFor;
using P = DirProtocol;

const int kAssets = 150;
const char kSecurity[] = "1`alice,-,ops`alice,-,Users@test.example";

class DirServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        tmp = new TempDir();
        // Mounts: the scratch folder and /usr, served by the host's provider.
        table = tmp->file("mounts");
        writeTable(false);
        mounts = new MountProvider(table.c_str());
        ASSERT_EQ(0, mounts->start());
        std::string assets = "{ \"assets\": [";
        for (int i = 0; i < kAssets; i++)
            assets += std::string(i ? ", " : "") + "{ \"id\": \"a" + std::to_string(i) + "\", \"host\": \"10.0.0." +
                      std::to_string(i) + "\", \"port\": 14000 }";
        assets += "], \"endpoints\": [ { \"id\": \"ep1\", \"asset\": \"a1\", \"type\": 5 } ] }";
        mkdir(tmp->file("state").c_str(), 0700);
        writeFile(tmp->file("state/assets.json"), assets);
        DirServerOptions o;
        o.stateDir = tmp->file("state");
        o.domain = "test.example";
        o.port = "0";
        o.partialEntries = 64;
        o.relayTimeoutMs = 3000;
        o.maxListenersPerSession = 4;
        server = new DirServer(o);
        std::string error;
        ASSERT_TRUE(server->start(&hostRoot, &error)) << error;
        ASSERT_TRUE(server->state()->users()->setUser("alice", "s3cret", kSecurity, &error)) << error;
        key = DomainCA::generateKey(2048);
        std::string pem;
        ASSERT_EQ(0, loginOnce("alice", "s3cret", &pem));
        cert = certificateFromPem(pem.data(), pem.size());
        ASSERT_NE(nullptr, cert);
    }
    static void TearDownTestSuite() {
        server->stop();
        delete server;
        mounts->stop();
        X509_free(cert);
        EVP_PKEY_free(key);
        delete tmp;
    }
    static void writeTable(bool withExtra) {
        std::string text = "/dev/x " + tmp->path() + " tmpfs rw 0 0\n/dev/y /usr ext4 ro 0 0\n";
        if (withExtra) text += "/dev/w /mnt/extra xfs rw 0 0\n";
        writeFile(table + ".new", text);
        rename((table + ".new").c_str(), table.c_str());
    }
    // One login exchange: the result code, the certificate in *pem.
    static int loginOnce(const char* user, const char* password, std::string* pem) {
        RawClient login;
        if (login.connect(server->port(), nullptr, nullptr, P::kLoginConnectionType) != 0) return -1;
        SecurityObject credential("password", user, password);
        login.send(P::loginCredential(user, pemOfPublicKey(key).c_str(), &credential));
        std::unique_ptr<Message> reply = login.next(P::LOGIN_CREDENTIAL, 20000);
        if (!reply) return -2;
        int32_t result = -3;
        reply->readInt32(&result);
        if (result == 0) {
            unsigned char* bytes = nullptr;
            uint32_t n = 0;
            if (reply->readBytes(&bytes, &n) != 0) return -4;
            pem->assign(reinterpret_cast<char*>(bytes), n);
            free(bytes);
        }
        return result;
    }
    void openClient(RawClient* c) { ASSERT_EQ(0, c->connect(server->port(), cert, key, P::kProviderConnectionType)); }
    static DirectoryObject* domainRoot() { return new DirectoryObject("Dtest.example", nullptr); }
    // Sends a request and reads its answer of code.
    static void ask(RawClient* c, Message* request, int code, P::Reply* out) {
        c->send(request);
        std::unique_ptr<Message> m = c->next(code);
        ASSERT_TRUE(m) << "no answer of code " << code;
        ASSERT_EQ(0, P::readReply(m.get(), out));
    }
    DirectoryObject* resolveIn(RawClient* c, const DirectoryObject* current, const char* entryText) {
        int err = 0;
        std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString(entryText, &err));
        P::Reply r;
        ask(c, P::resolveRequest(nullptr, 11, &principal, current, entry.get(), nullptr), P::M_RESOLVE_REPLY, &r);
        EXPECT_EQ(11, r.id);
        DirectoryObject* o = static_cast<DirectoryObject*>(r.object);
        r.object = nullptr;
        return o;
    }

    static TempDir* tmp;
    static std::string table;
    static MountProvider* mounts;
    static HostDirectorySPI hostRoot;
    static DirServer* server;
    static EVP_PKEY* key;
    static X509* cert;
    // What the client claims; the server uses its certificate's instead.
    Principal principal{"1`mallory,-`mallory,-,Admins@x", "test.example", nullptr, 1};
};

TempDir* DirServerTest::tmp = nullptr;
std::string DirServerTest::table;
MountProvider* DirServerTest::mounts = nullptr;
HostDirectorySPI DirServerTest::hostRoot;
DirServer* DirServerTest::server = nullptr;
EVP_PKEY* DirServerTest::key = nullptr;
X509* DirServerTest::cert = nullptr;

TEST_F(DirServerTest, LoginIssuesTheSessionCertificateOrRefuses) {
    std::unique_ptr<Principal> p(Principal::createFromCertificate(cert));
    ASSERT_TRUE(p);
    EXPECT_STREQ(kSecurity, p->security);
    EXPECT_STREQ("test.example", p->domain);
    EXPECT_TRUE(samePublicKey(key, X509_get0_pubkey(cert)));

    // A wrong password: RepeatedWrongPasswordsShutTheGuesserOut.
    std::string pem;
    EXPECT_EQ(20, loginOnce("bob", "s3cret", &pem));
    EXPECT_TRUE(pem.empty());

    // Key-chain login: the session certificate vouches for its own user only.
    RawClient chain;
    ASSERT_EQ(0, chain.connect(server->port(), cert, key, P::kLoginConnectionType));
    EVP_PKEY* fresh = DomainCA::generateKey(2048);
    chain.send(P::loginPassword("alice", pemOfPublicKey(fresh).c_str()));
    EXPECT_EQ(0, chain.result(P::LOGIN_PASSWORD));
    RawClient anonymous;
    ASSERT_EQ(0, anonymous.connect(server->port(), nullptr, nullptr, P::kLoginConnectionType));
    anonymous.send(P::loginPassword("alice", pemOfPublicKey(fresh).c_str()));
    EXPECT_EQ(20, anonymous.result(P::LOGIN_PASSWORD));
    EVP_PKEY_free(fresh);
}

// Guessing a password over the wire: the first few wrong answers cost the
// guesser only the hashing; past them the user's password, the right one
// included, is not even checked from that peer for a while. Other users
// still log in.
TEST_F(DirServerTest, RepeatedWrongPasswordsShutTheGuesserOut) {
    std::string error;
    ASSERT_TRUE(server->state()->users()->setUser("carol", "right", kSecurity, &error)) << error;
    std::string pem;
    for (int i = 0; i < LoginThrottle::kFreeFailures; i++) EXPECT_EQ(20, loginOnce("carol", "wrong", &pem));
    EXPECT_EQ(0, loginOnce("carol", "right", &pem)) << "the free failures shut nobody out";
    for (int i = 0; i <= LoginThrottle::kFreeFailures; i++) EXPECT_EQ(20, loginOnce("carol", "wrong", &pem));
    EXPECT_GT(server->logins()->waitMs("carol", "127.0.0.1", LoginThrottle::monotonicMs()), 0);
    // Made to last, so that a slow build cannot outrun it.
    for (int i = 0; i < 10; i++) server->logins()->failed("carol", "127.0.0.1", LoginThrottle::monotonicMs());
    pem.clear();
    EXPECT_EQ(20, loginOnce("carol", "right", &pem));
    EXPECT_TRUE(pem.empty());
    EXPECT_EQ(0, loginOnce("alice", "s3cret", &pem));
    server->logins()->succeeded("carol", "127.0.0.1");
    EXPECT_EQ(0, loginOnce("carol", "right", &pem));
}
TEST_F(DirServerTest, ClientsWithoutACertificateOfTheDomainAreRefused) {
    X509* self = nullptr;
    EVP_PKEY* selfKey = nullptr;
    ASSERT_EQ(0, makeSelfSignedCertificate("test", "/CN=alice", 2048, 3600, &self, &selfKey));
    RawClient c;
    EXPECT_EQ(-21, c.connect(server->port(), self, selfKey, P::kProviderConnectionType));
    RawClient anonymous;
    EXPECT_EQ(-21, anonymous.connect(server->port(), nullptr, nullptr, P::kProviderConnectionType));
    X509_free(self);
    EVP_PKEY_free(selfKey);
}

TEST_F(DirServerTest, ResolveExecuteAttributesAndListAnswerFromTheDomain) {
    RawClient c;
    openClient(&c);
    P::Reply attrs;
    ask(&c, P::domainAttributesRequest(), P::M_DOMAIN_ATTRIBUTES, &attrs);
    ASSERT_NE(nullptr, attrs.object);
    EXPECT_STREQ("test.example", static_cast<Attributes*>(attrs.object)->getStringAttribute("domain"));

    std::unique_ptr<DirectoryObject> top(domainRoot());
    std::unique_ptr<DirectoryObject> asset(resolveIn(&c, top.get(), "asset:id=\"a7\""));
    ASSERT_TRUE(asset);
    P::Reply missing;
    int err = 0;
    std::unique_ptr<DirNameEntry> none(DirNameEntry::createFromString("asset:id=\"zz\"", &err));
    ask(&c, P::resolveRequest(nullptr, 12, &principal, top.get(), none.get(), nullptr), P::M_ERROR_REPLY, &missing);
    EXPECT_EQ(12, missing.id);
    EXPECT_EQ(15, missing.error);

    // getAsset, as a client's openProvider runs it: the record of the table.
    Any* noArgs[] = {nullptr};
    P::Reply exec;
    ask(&c, P::executeRequest(nullptr, 500, &principal, asset.get(), "getAsset", noArgs), P::M_EXECUTE_REPLY, &exec);
    EXPECT_EQ(500, exec.id);
    FutureResult* fr = static_cast<FutureResult*>(exec.object);
    ASSERT_NE(nullptr, fr);
    ASSERT_FALSE(fr->failed);
    Translatable* record = nullptr;
    ASSERT_TRUE(fr->result != nullptr && fr->result->getObject(&record));
    ASSERT_EQ(OBJ_ASSET_ID, record->getObjectID());
    EXPECT_STREQ("10.0.0.7", static_cast<Asset*>(record)->host);

    P::Reply failed;
    ask(&c, P::executeRequest(nullptr, 501, &principal, asset.get(), "noSuchOperation", noArgs),
        P::M_EXEC_ERROR_REPLY, &failed);
    EXPECT_EQ(501, failed.id);
    EXPECT_EQ(21, failed.error);

    P::Reply a;
    ask(&c, P::headerOnlyRequest(P::M_GET_ATTRIBUTES, nullptr, 13, &principal, asset.get()),
        P::M_GET_ATTRIBUTES_REPLY, &a);
    EXPECT_STREQ("10.0.0.7", static_cast<Attributes*>(a.object)->getStringAttribute("host"));

    P::Reply classes;
    ask(&c, P::headerOnlyRequest(P::M_LIST, nullptr, 14, &principal, top.get()), P::M_LIST_REPLY, &classes);
    std::set<std::string> names;
    ClassEnumeration* e = static_cast<ClassEnumeration*>(classes.object);
    while (e->next()) names.insert(e->getClass());
    EXPECT_EQ(1u, names.count("asset"));
    EXPECT_EQ(1u, names.count("mount"));

    // The relogin runs as the certificate's user, not the one the request claims.
    std::unique_ptr<DirectoryObject> auth(resolveIn(&c, top.get(), "auth:"));
    P::Reply relogin;
    ask(&c, P::executeRequest(nullptr, 502, &principal, auth.get(), "relogin", noArgs), P::M_EXECUTE_REPLY, &relogin);
    Translatable* who = nullptr;
    FutureResult* rfr = static_cast<FutureResult*>(relogin.object);
    ASSERT_TRUE(rfr != nullptr && rfr->result != nullptr && rfr->result->getObject(&who));
    EXPECT_STREQ(kSecurity, static_cast<Principal*>(who)->security);
}

TEST_F(DirServerTest, ALargeSearchArrivesInPartsEachAfterItsAcknowledgement) {
    RawClient c;
    openClient(&c);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    int err = 0;
    std::unique_ptr<DirNameEntry> pattern(DirNameEntry::createFromString("asset:", &err));
    c.send(P::searchRequest(nullptr, 900, &principal, top.get(), pattern.get(), "id,host", nullptr, false));
    std::set<std::string> ids;
    int parts = 0;
    for (bool last = false; !last;) {
        std::unique_ptr<Message> m = c.next(P::M_SEARCH_PARTIAL_REPLY);
        ASSERT_TRUE(m) << "part " << parts;
        P::Reply r;
        ASSERT_EQ(0, P::readReply(m.get(), &r));
        EXPECT_EQ(900, r.id);
        parts++;
        while (r.entries->next()) ids.insert(r.entries->getAttributes()->getStringAttribute("id"));
        last = r.last;
        if (!last) {
            // Nothing more comes before the acknowledgement.
            EXPECT_FALSE(c.next(0, 300));
            c.send(P::searchPartialOk(nullptr, 900));
        }
    }
    EXPECT_EQ(3, parts);  // 64 + 64 + 22
    EXPECT_EQ(static_cast<size_t>(kAssets), ids.size());

    P::Reply whole;
    ask(&c, P::searchRequest(nullptr, 901, &principal, top.get(), pattern.get(), nullptr, nullptr, true),
        P::M_SEARCH_REPLY, &whole);
    EXPECT_EQ(kAssets, whole.entries->size());
}

TEST_F(DirServerTest, RemoteExecuteReportsProgressThenTheResult) {
    RawClient c;
    openClient(&c);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    std::unique_ptr<DirectoryObject> usr(resolveIn(&c, top.get(), "mount:path=\"/usr\""));
    ASSERT_TRUE(usr);
    Any seconds(1.2);
    Any* args[] = {&seconds, nullptr};
    c.send(P::executeRequest(nullptr, 77, &principal, usr.get(), "scan", args));
    std::unique_ptr<Message> done = c.next(P::M_EXECUTE_REPLY, 30000);
    ASSERT_TRUE(done);
    P::Reply r;
    ASSERT_EQ(0, P::readReply(done.get(), &r));
    EXPECT_EQ(77, r.id);
    FutureResult* fr = static_cast<FutureResult*>(r.object);
    Translatable* counts = nullptr;
    ASSERT_TRUE(fr->result != nullptr && fr->result->getObject(&counts));
    Attributes* a = static_cast<Attributes*>(counts);
    EXPECT_GT(a->getAttribute("files")->getInt64(), 0);
    // A walk cut short by its time limit reported progress on the way.
    if (!a->getAttribute("complete")->getBool()) {
        std::unique_ptr<Message> update = c.next(P::M_EXECUTE_UPDATE, 0);
        ASSERT_TRUE(update);
        P::Reply u;
        ASSERT_EQ(0, P::readReply(update.get(), &u));
        EXPECT_EQ(77, u.id);
    }
}

TEST_F(DirServerTest, ListenerUpdatesArriveWhenTheServersObjectsChange) {
    RawClient c;
    openClient(&c);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    int err = 0;
    std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
    // The record is kept on the execution thread, and the open is confirmed
    // only once it is: a change right after the reply is not missed. While
    // that thread is held, no reply comes.
    std::promise<void> running, release;
    std::future<void> started = running.get_future();
    std::shared_future<void> go = release.get_future().share();
    struct Hold {
        std::promise<void>* running;
        std::shared_future<void> go;
    } hold{&running, go};
    ExecDirThread::postDeleteLater(&hold, [](void* p) {
        Hold* h = static_cast<Hold*>(p);
        std::shared_future<void> go = h->go;  // the holder may be gone once released
        h->running->set_value();
        go.wait_for(std::chrono::seconds(10));
    });
    ASSERT_EQ(std::future_status::ready, started.wait_for(std::chrono::seconds(10)));
    c.send(P::openListenerRequest(nullptr, 41, &principal, top.get(), filter.get(), true));
    std::unique_ptr<Message> early = c.next(0, 300);
    release.set_value();
    EXPECT_FALSE(early) << "confirmed before it was recorded";
    std::unique_ptr<Message> reply = early ? std::move(early) : c.next(0, 10000);
    ASSERT_TRUE(reply);
    P::Reply opened;
    ASSERT_EQ(0, P::readReply(reply.get(), &opened));
    EXPECT_EQ(P::M_OPEN_LISTENER_REPLY, opened.code);
    EXPECT_EQ(41, opened.id);
    writeTable(true);
    mounts->checkForChanges();
    std::unique_ptr<Message> m = c.next(0, 10000);
    ASSERT_TRUE(m);
    P::Reply u;
    ASSERT_EQ(0, P::readReply(m.get(), &u));
    ASSERT_TRUE(u.code == P::M_LISTENER_UPDATE || u.code == P::M_LISTENER_UPDATE2) << u.code;
    EXPECT_EQ(41, u.listenerId);
    EXPECT_EQ(P::KIND_ADD, u.kind);
    // The provider reports one mount at a time: one update of either form.
    ASSERT_TRUE(u.code == P::M_LISTENER_UPDATE || u.count == 1);
    ASSERT_NE(nullptr, u.updateEntries);
    EXPECT_STREQ("/mnt/extra", u.updateEntries[0]->getStringAttributeValue("path"));
    writeTable(false);
    mounts->checkForChanges();
}

// A listener open has no failure answer: one the server cannot serve is
// left unanswered (the client retries it later). An error under its id
// would reach whatever synchronous call of the client has the same number.
TEST_F(DirServerTest, AListenerOpenThatCannotBeServedIsLeftUnanswered) {
    RawClient c;
    openClient(&c);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    int err = 0;
    std::unique_ptr<DirNameEntry> nobodys(DirNameEntry::createFromString("nosuchclass:", &err));
    std::unique_ptr<DirNameEntry> mounts(DirNameEntry::createFromString("mount:", &err));
    long long errorsBefore = server->errorsAnswered.load();
    // No provider owns the name.
    c.send(P::openListenerRequest(nullptr, 11, &principal, top.get(), nobodys.get(), true));
    c.send(P::openListenerRequest(nullptr, 12, &principal, top.get(), nobodys.get(), false));
    // No agent of the asset is connected.
    c.send(P::openListenerRequest("web9", 13, &principal, top.get(), mounts.get(), true));
    // One whose number reads but whose body does not.
    Message* broken = new Message(P::M_OPEN_LISTENER);
    broken->writeInt64(14);
    broken->writeString("not a principal");
    c.send(broken);
    // Synchronous calls under the same numbers get their own answers.
    std::unique_ptr<DirectoryObject> asset(resolveIn(&c, top.get(), "asset:id=\"a5\""));
    EXPECT_TRUE(asset);
    for (long long id : {12, 13, 14}) {
        std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("asset:id=\"a6\"", &err));
        P::Reply r;
        ask(&c, P::resolveRequest(nullptr, id, &principal, top.get(), entry.get(), nullptr), P::M_RESOLVE_REPLY, &r);
        EXPECT_EQ(id, r.id);
        delete static_cast<DirectoryObject*>(r.object);
        r.object = nullptr;
    }
    // And nothing else comes, neither an error nor an open.
    std::unique_ptr<Message> extra = c.next(0, 1000);
    EXPECT_FALSE(extra) << "unexpected message " << (extra ? static_cast<int>(extra->getType()) : 0);
    EXPECT_EQ(errorsBefore, server->errorsAnswered.load());
}

// A session holds only so many listeners on the server's providers: an
// open past the cap is left unanswered and nothing is recorded for it. One
// already held may be opened again, and other sessions have caps of their own.
TEST_F(DirServerTest, ListenerOpensPastTheSessionsCapAreLeftUnanswered) {
    LogCapture logs;
    RawClient c, other;
    openClient(&c);
    openClient(&other);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    int err = 0;
    std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
    P::Reply r;
    for (int id = 51; id <= 54; id++) {
        ask(&c, P::openListenerRequest(nullptr, id, &principal, top.get(), filter.get(), true), P::M_OPEN_LISTENER_REPLY,
            &r);
        EXPECT_EQ(id, r.id);
    }
    c.send(P::openListenerRequest(nullptr, 55, &principal, top.get(), filter.get(), true));
    c.send(P::openListenerRequest(nullptr, 56, &principal, top.get(), filter.get(), false));
    ask(&c, P::openListenerRequest(nullptr, 52, &principal, top.get(), filter.get(), true), P::M_OPEN_LISTENER_REPLY, &r);
    EXPECT_EQ(52, r.id);
    std::unique_ptr<Message> extra = c.next(0, 1000);
    EXPECT_FALSE(extra) << "unexpected message " << (extra ? static_cast<int>(extra->getType()) : 0);
    EXPECT_EQ(1, logs.count("listeners held on this server"));
    ask(&other, P::openListenerRequest(nullptr, 55, &principal, top.get(), filter.get(), true),
        P::M_OPEN_LISTENER_REPLY, &r);
    EXPECT_EQ(55, r.id);
}

TEST_F(DirServerTest, HostileFramesAreAnsweredAndTheServerKeepsServing) {
    RawClient c;
    openClient(&c);
    long long before = server->malformedMessages.load();
    // A resolve whose id reads but whose body is garbage.
    Message* m = new Message(P::M_RESOLVE);
    m->writeInt64(4242);
    m->writeString("not a principal");
    c.send(m);
    P::Reply r;
    std::unique_ptr<Message> got = c.next(P::M_ERROR_REPLY);
    ASSERT_TRUE(got);
    ASSERT_EQ(0, P::readReply(got.get(), &r));
    EXPECT_EQ(4242, r.id);
    EXPECT_EQ(14, r.error);
    // An execute that claims a million arguments.
    std::unique_ptr<DirectoryObject> top(domainRoot());
    Message* e = new Message(P::M_EXECUTE);
    P::writeHeader(e, 4343, &principal, top.get());
    e->writeString("getAsset");
    e->writeInt32(1000000);
    c.send(e);
    got = c.next(P::M_EXEC_ERROR_REPLY);
    ASSERT_TRUE(got);
    P::Reply x;
    ASSERT_EQ(0, P::readReply(got.get(), &x));
    EXPECT_EQ(4343, x.id);
    EXPECT_EQ(14, x.error);
    // Raw bytes under codes the server does not know or cannot read.
    for (int code : {1, 2, 6, 24, 44, 226, 999, 10001, 10006}) {
        Message* junk = new Message(code);
        const unsigned char bytes[] = {0x03, 0x00, 0x09, 0xFF, 0x0B, 0x06, 0x7F, 0xFF, 0xFF, 0xFF, 0x01};
        junk->appendBytes(bytes, sizeof bytes);
        c.send(junk);
    }
    // Still serving, on the same connection.
    std::unique_ptr<DirectoryObject> asset(resolveIn(&c, top.get(), "asset:id=\"a3\""));
    EXPECT_TRUE(asset);
    EXPECT_GT(server->malformedMessages.load(), before + 5);

    // A login connection with a broken request gets 14 and a good one works after.
    RawClient login;
    ASSERT_EQ(0, login.connect(server->port(), nullptr, nullptr, P::kLoginConnectionType));
    Message* bad = new Message(P::LOGIN_CREDENTIAL);
    bad->writeString("alice");
    login.send(bad);
    EXPECT_EQ(14, login.result(P::LOGIN_CREDENTIAL));
}

// An agent of an asset that calls the fixture's server: a second server,
// serving this machine's providers (the mount table among them) over the
// connection it makes.
class CallingAgent {
public:
    CallingAgent(DirServer* server, const char* asset) : _server(server), _asset(asset) {
        _key = DomainCA::generateKey(2048);
        _cert = server->state()->ca()->issue(asset, _key, nullptr, 0, 3600);
        DirServerOptions o;
        o.stateDir = _state.file("s");
        o.domain = asset;
        o.listen = false;
        _agent.reset(new DirServer(o));
    }
    ~CallingAgent() {
        _agent->stop();
        waitFor([&] { return !_server->agentSession(_asset); });
        _agent.reset();
        X509_free(_cert);
        EVP_PKEY_free(_key);
    }
    bool start() {
        std::string error;
        return _agent->start(&_root, &error);
    }
    // Calls the server (again) and waits until the server has a session of
    // the asset other than `before`.
    bool callIn(const std::shared_ptr<DirSession>& before = nullptr) {
        if (!_agent->connectUpstream("127.0.0.1", std::to_string(_server->port()).c_str(), _cert, _key)) return false;
        return waitFor([&] {
            std::shared_ptr<DirSession> now = _server->agentSession(_asset);
            return _agent->upstreamConnected() && now && now != before;
        });
    }
    DirServer* agent() { return _agent.get(); }

private:
    DirServer* _server;
    std::string _asset;
    EVP_PKEY* _key = nullptr;
    X509* _cert = nullptr;
    TempDir _state;
    HostDirectorySPI _root;
    std::unique_ptr<DirServer> _agent;
};

TEST_F(DirServerTest, RequestsForAnAssetAreRelayedToItsAgent) {
    RawClient c;
    openClient(&c);
    std::unique_ptr<DirectoryObject> top(domainRoot());
    int err = 0;
    std::unique_ptr<DirNameEntry> entry(DirNameEntry::createFromString("mount:path=\"/usr\"", &err));
    // No agent of that asset yet.
    P::Reply none;
    ask(&c, P::resolveRequest("web1", 61, &principal, top.get(), entry.get(), nullptr), P::M_ERROR_REPLY, &none);
    EXPECT_EQ(61, none.id);
    EXPECT_EQ(11, none.error);

    // An agent of asset web1 calls in.
    std::unique_ptr<CallingAgent> calling(new CallingAgent(server, "web1"));
    ASSERT_TRUE(calling->start());
    ASSERT_TRUE(calling->callIn());
    DirServer& agent = *calling->agent();

    // A relayed listener open that does not read is dropped without a word:
    // the next answer under its number is the resolve's own.
    long long malformedBefore = server->malformedMessages.load();
    Message* broken = new Message(P::M_OPEN_LISTENER2 + P::kMasqOffset);
    broken->writeString("web1");
    broken->writeInt64(62);
    broken->writeString("not a principal");
    c.send(broken);
    P::Reply resolved;
    ask(&c, P::resolveRequest("web1", 62, &principal, top.get(), entry.get(), nullptr), P::M_RESOLVE_REPLY, &resolved);
    EXPECT_EQ(62, resolved.id);
    // Workers take messages in any order: the broken one may come second.
    EXPECT_TRUE(waitFor([&] { return server->malformedMessages.load() > malformedBefore; }, 10000));
    EXPECT_FALSE(c.next(P::M_ERROR_REPLY, 500));
    DirectoryObject* usr = static_cast<DirectoryObject*>(resolved.object);
    ASSERT_NE(nullptr, usr);
    Any* noArgs[] = {nullptr};
    P::Reply stat;
    ask(&c, P::executeRequest("web1", 63, &principal, usr, "stat", noArgs), P::M_EXECUTE_REPLY, &stat);
    EXPECT_EQ(63, stat.id);
    FutureResult* fr = static_cast<FutureResult*>(stat.object);
    Translatable* values = nullptr;
    ASSERT_TRUE(fr->result != nullptr && fr->result->getObject(&values));
    EXPECT_STREQ("/usr", static_cast<Attributes*>(values)->getStringAttribute("path"));
    long long served = agent.requestsServed.load();
    EXPECT_GE(served, 2);

    // The agent runs relayed requests as the principal the server vouches
    // for (the client's certificate's), not the one the request claims.
    std::string error;
    ASSERT_TRUE(agent.state()->users()->setUser("alice", "x", "1`alice,-`alice,-,AtAgent", &error));
    ASSERT_TRUE(agent.state()->users()->setUser("mallory", "x", "1`mallory,-`mallory,-,AtAgent", &error));
    std::unique_ptr<DirNameEntry> authEntry(DirNameEntry::createFromString("auth:", &err));
    P::Reply auth;
    ask(&c, P::resolveRequest("web1", 65, &principal, top.get(), authEntry.get(), nullptr), P::M_RESOLVE_REPLY, &auth);
    P::Reply relogin;
    ask(&c, P::executeRequest("web1", 66, &principal, static_cast<DirectoryObject*>(auth.object), "relogin", noArgs),
        P::M_EXECUTE_REPLY, &relogin);
    FutureResult* rfr = static_cast<FutureResult*>(relogin.object);
    Translatable* who = nullptr;
    ASSERT_TRUE(rfr != nullptr && rfr->result != nullptr && rfr->result->getObject(&who));
    EXPECT_STREQ("1`alice,-`alice,-,AtAgent", static_cast<Principal*>(who)->security);

    calling.reset();  // stops the agent and waits until the server has let its session go
    P::Reply gone;
    ask(&c, P::resolveRequest("web1", 64, &principal, top.get(), entry.get(), nullptr), P::M_ERROR_REPLY, &gone);
    EXPECT_EQ(11, gone.error);
}

// The next message of a listener (its open confirmed, or an update), read
// as a reply; false when none comes within ms.
bool nextOfListener(RawClient* c, P::Reply* r, int ms = 10000) {
    std::unique_ptr<Message> m = c->next(0, ms);
    return m && P::readReply(m.get(), r) == 0;
}

class RelayedListenerTest : public DirServerTest {
protected:
    // Opens listener 71 on the asset's mount table through the server and
    // waits for the agent's confirmation.
    void openListener(RawClient* c, const char* asset) {
        std::unique_ptr<DirectoryObject> top(domainRoot());
        int err = 0;
        std::unique_ptr<DirNameEntry> filter(DirNameEntry::createFromString("mount:", &err));
        c->send(P::openListenerRequest(asset, 71, &principal, top.get(), filter.get(), true));
        P::Reply opened;
        ASSERT_TRUE(nextOfListener(c, &opened));
        EXPECT_EQ(P::M_OPEN_LISTENER_REPLY, opened.code);
        EXPECT_EQ(71, opened.id);
    }
    // The extra mount is added to the table (or taken away), and listener 71
    // hears exactly that, once.
    void expectChangeHeard(RawClient* c, bool added) {
        writeTable(added);
        mounts->checkForChanges();
        P::Reply u;
        ASSERT_TRUE(nextOfListener(c, &u)) << "the listener heard nothing of the change";
        ASSERT_TRUE(u.code == P::M_LISTENER_UPDATE || u.code == P::M_LISTENER_UPDATE2) << u.code;
        EXPECT_EQ(71, u.listenerId);
        EXPECT_EQ(added ? P::KIND_ADD : P::KIND_DELETE, u.kind);
        ASSERT_NE(nullptr, u.updateEntries);
        EXPECT_STREQ("/mnt/extra", u.updateEntries[0]->getStringAttributeValue("path"));
        std::unique_ptr<Message> extra = c->next(0, 500);
        EXPECT_FALSE(extra) << "unexpected message " << (extra ? static_cast<int>(extra->getType()) : 0);
    }
    // The listener was opened again on the agent's new session: the agent
    // confirms it again (and only then does a change reach it).
    void expectReopened(RawClient* c) {
        std::unique_ptr<Message> again = c->next(P::M_OPEN_LISTENER_REPLY, 10000);
        EXPECT_TRUE(again) << "the listener was not opened again";
        P::Reply r;
        if (again && P::readReply(again.get(), &r) == 0) {
            EXPECT_EQ(71, r.id);
        }
    }
    // The client c watches the mount table of asset's agent, which has
    // called in, through the server.
    void watchThroughTheServer(const char* asset) {
        openClient(&c);
        agent.reset(new CallingAgent(server, asset));
        ASSERT_TRUE(agent->start());
        ASSERT_TRUE(agent->callIn());
        openListener(&c, asset);
    }
    void TearDown() override {
        agent.reset();
        writeTable(false);
        mounts->checkForChanges();
    }
    RawClient c;
    std::unique_ptr<CallingAgent> agent;
};

// The agent's connection is dropped and the agent calls in again, after the
// server has swept the relays of the session that went: the client, whose own
// connection never dropped, still hears the agent's changes.
TEST_F(RelayedListenerTest, AListenerHearsTheAgentAgainOnceItCallsInAfterItsSessionWent) {
    ASSERT_NO_FATAL_FAILURE(watchThroughTheServer("web2"));
    expectChangeHeard(&c, true);

    std::weak_ptr<DirSession> old = server->agentSession("web2");
    old.lock()->close();
    ASSERT_TRUE(waitFor([&] { return !agent->agent()->upstreamAlive() && old.expired(); }));
    // The sweeper (once a second) passes over the relays of the session gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(agent->callIn());
    expectReopened(&c);
    expectChangeHeard(&c, false);
}

// The agent calls in again while its earlier session is still up (that
// connection's loss not noticed yet): the listener follows the new session,
// and what still comes over the old one is not passed on twice.
TEST_F(RelayedListenerTest, AListenerFollowsTheAgentsNewSessionWhileTheOldOneIsStillUp) {
    ASSERT_NO_FATAL_FAILURE(watchThroughTheServer("web3"));
    std::shared_ptr<DirSession> old = server->agentSession("web3");
    ASSERT_TRUE(agent->callIn(old));
    EXPECT_FALSE(old->isClosed());
    old.reset();
    expectReopened(&c);
    expectChangeHeard(&c, true);
    // The new session's updates, not the old one's.
    std::shared_ptr<DirSession> now = server->agentSession("web3");
    ASSERT_TRUE(now);
    now->close();
    now.reset();
    writeTable(false);
    mounts->checkForChanges();
    std::unique_ptr<Message> stale = c.next(0, 1500);
    EXPECT_FALSE(stale) << "an update over the replaced session was passed on";
}

}  // namespace
