// The client side of the directory across machines, end to end against the
// real directory server (drv_dird, in process) over TLS on loopback: login and
// its failures, the directory calls through the remote provider (a search
// large enough to come in several parts, execute with its result, attributes,
// list), the server restarted under a live session, the server's certificate
// against a key on file, enrolment, a relay through the server to a second
// agent, and a file of that agent read block by block through the server.
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/domain.h"
#include "dir/file_system_spi.h"
#include "host/demo_provider.h"
#include "io/input.h"
#include "hostrt/host_directory.h"
#include "tests/dir/dir_peer.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/domain_ca.h"
#include "tools/dird/user_table.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kAssets = 150;
const char kDomain[] = "test.example";
const char kSecurity[] = "1`alice,-,ops`alice,-,Users@test.example";

using dirpeer::LoginSteps;
using dirpeer::waitFor;

class RemoteEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dravika_init();
        Directory::init();
        NetClientSPI::install();
        tmp = new TempDir();
        std::string table = tmp->file("mounts");
        writeFile(table, "/dev/x " + tmp->path() + " tmpfs rw 0 0\n/dev/y /usr ext4 ro 0 0\n");
        mounts = new MountProvider(table.c_str());
        ASSERT_EQ(0, mounts->start());
        std::string assets = "{ \"assets\": [";
        for (int i = 0; i < kAssets; i++)
            assets += std::string(i ? ", " : "") + "{ \"id\": \"a" + std::to_string(i) + "\", \"host\": \"10.0.0." +
                      std::to_string(i) + "\", \"port\": 14000 }";
        assets += "] }";
        mkdir(tmp->file("state").c_str(), 0700);
        writeFile(tmp->file("state/assets.json"), assets);
        startServer("0");
        std::string error;
        ASSERT_TRUE(server->state()->users()->setUser("alice", "s3cret", kSecurity, &error)) << error;
        port = std::to_string(server->port());
    }
    static void startServer(const std::string& onPort) {
        DirServerOptions o;
        o.stateDir = tmp->file("state");
        o.domain = kDomain;
        o.port = onPort;
        o.partialEntries = 64;
        o.relayTimeoutMs = 5000;
        server = new DirServer(o);
        std::string error;
        ASSERT_TRUE(server->start(&hostRoot, &error)) << error;
    }
    static void TearDownTestSuite() {
        server->stop();
        delete server;
        mounts->stop();
        delete mounts;
        delete tmp;
    }
    void SetUp() override { NetClientSPI::_netclient_timeout = 10000; }
    void TearDown() override {
        for (Directory* d : sessions) delete d;
        sessions.clear();
        {
            CriticalSection hold(Directory::_providerCb);
            for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
                if (dynamic_cast<NetClientSPI*>(e->spi) != nullptr) e->spi->closeDirectory();
        }
        Directory::testIdleProviders();
        NetClientSPI::stopThread();
    }
    Directory* login(LoginSteps* steps = nullptr, int* errOut = nullptr, const char* password = "s3cret") {
        int err = -1;
        Directory* d = Directory::authenticate(kDomain, "127.0.0.1", port.c_str(), "alice", password, steps, &err);
        if (errOut != nullptr) *errOut = err;
        if (d != nullptr) sessions.push_back(d);
        return d;
    }
    static DirName* name(const char* text) {
        int err = 0;
        DirName* n = DirName::createFromString(text, &err);
        EXPECT_NE(n, nullptr) << text << " " << err;
        return n;
    }
    static std::string attr(Directory* d, const char* text, const char* key, int* errOut = nullptr) {
        DirName* n = name(text);
        int err = 0;
        Attributes* a = d->getAttributes(n, &err);
        delete n;
        if (errOut != nullptr) *errOut = err;
        std::string v = a != nullptr && a->getStringAttribute(key) != nullptr ? a->getStringAttribute(key) : "";
        delete a;
        return v;
    }

    std::vector<Directory*> sessions;
    static TempDir* tmp;
    static std::string port;
    static MountProvider* mounts;
    static HostDirectorySPI hostRoot;
    static DirServer* server;
};

TempDir* RemoteEndToEnd::tmp = nullptr;
std::string RemoteEndToEnd::port;
MountProvider* RemoteEndToEnd::mounts = nullptr;
HostDirectorySPI RemoteEndToEnd::hostRoot;
DirServer* RemoteEndToEnd::server = nullptr;

TEST_F(RemoteEndToEnd, LoginThenEveryKindOfCallThroughTheServer) {
    LoginSteps steps;
    int err = -1;
    Directory* d = login(&steps, &err);
    ASSERT_NE(d, nullptr) << err;
    EXPECT_EQ(steps.texts, (std::vector<std::string>{"Generating keys", "Connecting", "Authenticating",
                                                     "Starting directory service", "Login successful"}));
    char user[64] = "";
    d->principal->getLoginUser(user, sizeof(user));
    EXPECT_STREQ(user, "alice");

    EXPECT_EQ(attr(d, "/asset:id=\"a7\"", "host"), "10.0.0.7");
    attr(d, "/asset:id=\"nope\"", "host", &err);
    EXPECT_EQ(err, DirError::E_OBJECT_NOT_FOUND);

    DirName* root = name("/");
    ClassEnumeration* classes = d->list(root, &err);
    ASSERT_EQ(err, 0);
    std::set<std::string> seen;
    while (classes->next()) seen.insert(classes->getClass());
    delete classes;
    EXPECT_EQ(seen.count("asset"), 1u);
    EXPECT_EQ(seen.count("mount"), 1u);
    delete root;

    // 150 assets: three partial replies, each acknowledged, one enumeration.
    DirName* all = name("/asset:");
    DirectoryEnumeration* found = d->search(all, "id,host", &err);
    ASSERT_EQ(err, 0);
    std::set<std::string> ids;
    while (found->next()) ids.insert(found->getAttributes()->getStringAttribute("id"));
    EXPECT_EQ(ids.size(), static_cast<size_t>(kAssets));
    delete found;
    delete all;

    // getAsset, the call a client's asset lookup makes, returns the record.
    DirName* a7 = name("/asset:id=\"a7\"");
    FutureResult* fr = d->execute(a7, nullptr, "getAsset", nullptr);
    ASSERT_TRUE(fr->waitComplete(20000));
    ASSERT_FALSE(fr->failed) << fr->error;
    Translatable* record = nullptr;
    ASSERT_TRUE(fr->result != nullptr && fr->result->getObject(&record));
    ASSERT_EQ(record->getObjectID(), OBJ_ASSET_ID);
    EXPECT_STREQ(static_cast<Asset*>(record)->host, "10.0.0.7");
    FutureResult::destroy(fr);
    fr = d->execute(a7, nullptr, "noSuchOperation", nullptr);
    ASSERT_TRUE(fr->waitComplete(20000));
    EXPECT_TRUE(fr->failed);
    EXPECT_EQ(fr->error, DirError::E_NOT_IMPLEMENTED);
    FutureResult::destroy(fr);
    delete a7;

    // The principal the server sees is the certificate's: relogin returns it.
    d->relogin(&err);
    EXPECT_EQ(err, 0);
    EXPECT_STREQ(d->principal->security, kSecurity);

    LoginSteps bad;
    EXPECT_EQ(login(&bad, &err, "wrong"), nullptr);
    EXPECT_EQ(err, DirError::E_LOGIN_FAILURE);
    EXPECT_EQ(bad.texts.back(), "Authentication failure");
    EXPECT_TRUE(bad.lastIsError);
}

TEST_F(RemoteEndToEnd, ServerKeyOnFileIsCheckedAndARestartedServerIsFoundAgain) {
    Directory* d = login();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(attr(d, "/asset:id=\"a1\"", "host"), "10.0.0.1");

    // The server shows the key of its state: a provider with that key on
    // file connects.
    {
        NetClientSPI right(d, "keyed", "127.0.0.1", port.c_str(), nullptr, "Dkeyed1", server->state()->serverKey());
        EXPECT_TRUE(waitFor([&] { return right.isConnected(); }, 10000));
    }

    // The server stops and starts again on the same port: the session's
    // provider reconnects by itself.
    NetClientSPI* provider = dynamic_cast<NetClientSPI*>(d->spi);
    ASSERT_NE(provider, nullptr);
    server->stop();
    delete server;
    server = nullptr;
    EXPECT_TRUE(waitFor([&] { return !provider->isConnected(); }, 10000));
    int err = 0;
    attr(d, "/asset:id=\"a1\"", "host", &err);
    EXPECT_NE(err, 0);
    startServer(port);
    EXPECT_TRUE(waitFor([&] { return provider->isConnected(); }, 30000));
    EXPECT_EQ(attr(d, "/asset:id=\"a2\"", "host"), "10.0.0.2");
}

TEST_F(RemoteEndToEnd, EnrolmentAddRemoveIdentifyUpgrade) {
    EVP_PKEY* agentKey = DomainCA::generateKey(2048);
    X509* agentCert = server->state()->ca()->issue("agent7", agentKey, nullptr, 0, 3600);
    char result[Domain::kResultSize] = "";
    char text[Domain::kErrorTextSize] = "";
    EXPECT_EQ(Domain::add(agentCert, agentKey, "127.0.0.1", port.c_str(), "alice", "s3cret", result, text), 0) << text;
    X509* issued = certificateFromPem(result, strlen(result));
    ASSERT_NE(issued, nullptr) << result;
    EXPECT_TRUE(server->state()->ca()->issuedByUs(issued));
    EXPECT_EQ(Domain::add(agentCert, agentKey, "127.0.0.1", port.c_str(), "alice", "bad", result, text),
              DirError::E_PROTOCOL);
    EXPECT_NE(text[0], '\0');

    EXPECT_EQ(Domain::identify(agentCert, agentKey, issued, kDomain, "127.0.0.1", port.c_str(), 1, "agent7", "a", "b",
                               "c", "d", "agent-7"),
              0);

    // Upgrade: the old certificate (ours) is re-issued for the new one's key.
    EVP_PKEY* newKey = DomainCA::generateKey(2048);
    X509* newCert = server->state()->ca()->issue("agent7", newKey, nullptr, 0, 3600);
    Domain::setOldCertAndKey(issued, agentKey);
    Domain::setNewCert(newCert);
    EXPECT_TRUE(Domain::recentCertUpgrade());
    EXPECT_EQ(Domain::upgradeCert("127.0.0.1", port.c_str()), 0);

    text[0] = '\0';
    EXPECT_EQ(Domain::remove(issued, agentKey, "127.0.0.1", port.c_str(), "alice", "s3cret", text), 0) << text;
    Domain::setOldCertAndKey(nullptr, nullptr);
    Domain::setNewCert(nullptr);
    X509_free(newCert);
    EVP_PKEY_free(newKey);
    X509_free(issued);
    X509_free(agentCert);
    EVP_PKEY_free(agentKey);
}

// An agent that calls in through the server and serves root: its asset
// record says it is reached through the server, with no address of its own
// (the server records the one it calls in from).
struct Agent {
    Agent(DirServer* server, const char* id, const std::string& port, DirectorySPI* root) {
        Asset a;
        a.id = strdup(id);
        a.name = strdup(id);
        a.port = 14000;
        a.masq = true;
        a.agentId = strdup(id);
        bool added = false;
        std::string error;
        EXPECT_TRUE(server->state()->assets()->putAsset(a, &added, &error)) << error;
        key = DomainCA::generateKey(2048);
        cert = server->state()->ca()->issue(id, key, nullptr, 0, 3600);
        DirServerOptions o;
        o.stateDir = state.file("s");
        o.domain = id;
        o.listen = false;
        dir.reset(new DirServer(o));
        EXPECT_TRUE(dir->start(root, &error)) << error;
        EXPECT_TRUE(dir->connectUpstream("127.0.0.1", port.c_str(), cert, key));
        std::string idText = id;
        ready = waitFor([&] { return dir->upstreamConnected() && server->agentSession(idText) != nullptr; }, 20000);
    }
    ~Agent() {
        dir->stop();
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    long long served() const { return dir->requestsServed.load(); }
    TempDir state;
    std::unique_ptr<DirServer> dir;
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    bool ready = false;
};

TEST_F(RemoteEndToEnd, NamesPassThroughTheServerToASecondAgent) {
    HostDirectorySPI agentRoot;
    Agent web1(server, "web1", port, &agentRoot);
    ASSERT_TRUE(web1.ready);
    Directory* d = login();
    ASSERT_NE(d, nullptr);
    long long before = web1.served();
    int err = -1;
    EXPECT_EQ(attr(d, "//host:id=web1/mount:path=\"/usr\"", "path", &err), "/usr") << err;
    EXPECT_GT(web1.served(), before);
}

// An agent that serves a folder as its "filesystem:" object.
struct FileAgent {
    FileAgent(DirServer* server, const char* id, const std::string& port, const std::string& folder)
        : files(folder.c_str()), agent(server, id, port, &files) {}
    FileSystemSPI files;
    Agent agent;
};

// Reads the input to its end: the bytes, and the last read's answer.
std::string drain(Input* in, int* last, size_t stopAfter = std::string::npos) {
    std::string got;
    unsigned char buf[7000];  // not a divisor of the block size
    for (;;) {
        *last = in->read(buf, sizeof buf);
        if (*last <= 0) break;
        got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(*last));
        if (got.size() >= stopAfter) break;
    }
    return got;
}

int lockCountOf(const char* key) {
    CriticalSection hold(Directory::_providerCb);
    for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
        if (strcmp(e->key, key) == 0) return e->spi->lockCount();
    return -1;
}

TEST_F(RemoteEndToEnd, AFileOfAnAgentIsReadThroughTheServerBlockByBlock) {
    TempDir folder;
    // Five blocks and a piece of a sixth, each byte depending on its place.
    std::string content(5 * FileSystemSPI::kBlockSize + 1234, '\0');
    for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    mkdir(folder.file("logs").c_str(), 0700);
    writeFile(folder.file("logs/app.log"), content);
    writeFile(folder.file("empty"), "");
    writeFile(tmp->file("outside"), "not to be read");
    ASSERT_EQ(0, symlink(tmp->file("outside").c_str(), folder.file("link").c_str()));
    FileAgent web2(server, "web2", port, folder.path());
    ASSERT_TRUE(web2.agent.ready);

    Directory* d = login();
    ASSERT_NE(d, nullptr);
    DirName* fs = name("//host:id=web2/filesystem:");
    int err = -1;
    long long before = web2.agent.served();
    Input* in = d->openForRead(fs, "/logs/app.log", &err);
    ASSERT_EQ(err, 0);
    ASSERT_NE(in, nullptr);
    int last = 0;
    std::string got = drain(in, &last);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(got.size(), content.size());
    EXPECT_TRUE(got == content) << "content differs";
    // Every block went to the agent: a resolve and a read each.
    EXPECT_GE(web2.agent.served() - before, 6);
    delete in;
    EXPECT_TRUE(waitFor([] { return lockCountOf("Hweb2") == 0; }, 5000)) << lockCountOf("Hweb2");

    in = d->openForRead(fs, "empty", &err);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(drain(in, &last), "");
    EXPECT_EQ(last, -1);
    delete in;

    // What cannot be served ends the input with the agent's reason.
    struct Refused {
        const char* path;
        int code;
        const char* text;
    } refused[] = {
        {"logs/missing.log", DirError::fromPosix(ENOENT), "No such file"},
        {"../outside", DirError::E_PERMISSION_DENIED, "may not leave"},
        {"link", DirError::fromPosix(ELOOP), "symbolic links"},
        {"logs", DirError::E_IS_DIRECTORY, "folder"},
    };
    for (const Refused& r : refused) {
        in = d->openForRead(fs, r.path, &err);
        ASSERT_NE(in, nullptr) << r.path;
        EXPECT_EQ(drain(in, &last), "") << r.path;
        EXPECT_EQ(last, -2) << r.path;
        EXPECT_EQ(in->errorCode(), r.code) << r.path;
        char text[256];
        in->errorText(text, sizeof text);
        EXPECT_NE(strstr(text, r.text), nullptr) << r.path << ": " << text;
        delete in;
    }
    delete fs;
}

TEST_F(RemoteEndToEnd, AFileReadThroughTheServerStopsWhenCancelled) {
    TempDir folder;
    const int blocks = 64;
    writeFile(folder.file("big"), std::string(blocks * FileSystemSPI::kBlockSize, 'b'));
    FileAgent web3(server, "web3", port, folder.path());
    ASSERT_TRUE(web3.agent.ready);
    Directory* d = login();
    ASSERT_NE(d, nullptr);
    DirName* fs = name("//host:id=web3/filesystem:");
    int err = -1;
    long long before = web3.agent.served();
    Input* in = d->openForRead(fs, "big", &err);
    ASSERT_NE(in, nullptr);
    int last = 0;
    std::string head = drain(in, &last, 2 * FileSystemSPI::kBlockSize);
    ASSERT_GE(head.size(), static_cast<size_t>(2 * FileSystemSPI::kBlockSize));
    EXPECT_EQ(head.find_first_not_of('b'), std::string::npos);
    in->close();
    // The reader stops: the agent hears no more, far short of the whole file.
    long long served = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            long long now = web3.agent.served();
            bool still = now == served;
            served = now;
            if (still) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return still && web3.agent.served() == now;
        },
        10000));
    EXPECT_LT(served - before, 2 * blocks);
    // The file is incomplete: reads fail with the cancellation rather than
    // end as if it were whole.
    Clock::time_point closed = Clock::now();
    std::string rest = drain(in, &last);
    EXPECT_LT(head.size() + rest.size(), static_cast<size_t>(blocks * FileSystemSPI::kBlockSize));
    EXPECT_EQ(last, -2);
    // Readers are not left waiting for data that will not come.
    EXPECT_LT(Clock::now() - closed, std::chrono::seconds(5));
    char why[128];
    in->errorText(why, sizeof why);
    EXPECT_STREQ(why, "read cancelled");
    delete in;
    EXPECT_TRUE(waitFor([] { return lockCountOf("Hweb3") == 0; }, 5000));
    delete fs;
}

}  // namespace
