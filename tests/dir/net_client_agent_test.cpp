// The remote provider as a server runs it towards its agents: a managed
// connection kept alive by heartbeats at the configured rate and dropped
// when they stop, and an agent that calls in (a reversed connection) whose
// connection the provider adopts and serves requests over, carrying the
// agent's alert sync, alerts, events and statistics to the server's
// listeners with their exact contents.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "common/properties.h"
#include "dir/asset_cache.h"
#include "io/input.h"
#include "records/alert.h"
#include "records/ci_update.h"
#include "records/records.h"
#include "records/rule.h"
#include "records/stats_file.h"
#include "common/stats.h"
#include "tests/dir/client_session_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

using dirpeer::KeyPair;
using dirpeer::Peer;
using dirpeer::bodyOf;
using dirpeer::pemOf;
using dirpeer::received;
using dirpeer::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A loopback TCP relay that can stop passing bytes, as a peer that hangs
// without closing its socket would.
class Relay {
public:
    explicit Relay(const char* targetPort) : _target(atoi(targetPort)) {
        _listen = listenOnLoopback(8, &_port);
        _thread = std::thread([this] { run(); });
    }
    ~Relay() {
        _stop = true;
        _thread.join();
        for (int fd : _fds) close(fd);
        close(_listen);
    }
    const char* port() const { return _port.c_str(); }
    void freeze() { _frozen = true; }
    int accepted() const { return _accepted.load(); }

private:
    void run() {
        while (!_stop) {
            std::vector<pollfd> p{{_listen, POLLIN, 0}};
            if (!_frozen)
                for (int fd : _fds) p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), 20) <= 0) continue;
            if (p[0].revents & POLLIN) accept1();
            for (size_t i = 1; i < p.size(); i++) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                size_t at = i - 1;
                int other = _fds[at ^ 1];
                char buf[16384];
                ssize_t r = read(p[i].fd, buf, sizeof buf);
                if (r <= 0) {
                    shutdown(other, SHUT_WR);
                    continue;
                }
                for (ssize_t done = 0; done < r;) {
                    ssize_t w = write(other, buf + done, static_cast<size_t>(r - done));
                    if (w <= 0) break;
                    done += w;
                }
            }
        }
    }
    void accept1() {
        int in = accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (in < 0) return;
        int out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(_target));
        if (connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(in);
            close(out);
            return;
        }
        _fds.push_back(in);
        _fds.push_back(out);
        _accepted++;
    }

    int _target;
    int _listen;
    std::string _port;
    std::vector<int> _fds;  // relay thread only, pairs: client, peer
    std::atomic<bool> _stop{false};
    std::atomic<bool> _frozen{false};
    std::atomic<int> _accepted{0};
    std::thread _thread;
};

// The server's listeners of one asset, in the order they were told.
class Recorder : public ManagedConnectionListener, public AlertListener {
public:
    void alertUpdated(const char* asset, Translatable* alert) override {
        add("managed alert " + text(asset) + " " + idOf(alert));
    }
    void alertCleared(const char* asset, const char* alertId) override {
        add("managed clear " + text(asset) + " " + text(alertId));
    }
    void syncStarted(const char* asset) override { add("managed sync " + text(asset)); }
    void agentConnected(const char*, const char* asset, const char* peer) override {
        if (peer == nullptr) withoutPeer++;
        add("managed connected " + text(asset));
    }
    void agentVerified(const char* asset) override { add("managed verified " + text(asset)); }
    void agentDisconnected(const char* asset) override { add("managed disconnected " + text(asset)); }
    void agentRemoved(const char* asset) override { add("managed removed " + text(asset)); }
    void agentError(const char* asset, const char* what) override { add("managed error " + text(asset) + " " + text(what)); }

    void alertUpdate(Translatable* alert) override {
        std::lock_guard<std::mutex> hold(_mutex);
        _events.push_back("viewer alert " + idOf(alert));
        _alerts.push_back(encode(OBJ_ALERT_ID, alert));
        delete alert;
    }
    void alertClear(const char* alertId) override { add("viewer clear " + text(alertId)); }
    void connected() override { add("viewer connected"); }
    void disconnected() override { add("viewer disconnected"); }
    void startSync() override { add("viewer sync"); }
    void endSync() override { add("viewer end"); }

    // Connects told without the agent's address.
    std::atomic<int> withoutPeer{0};

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> hold(_mutex);
        return _events;
    }
    std::vector<std::string> alerts() {
        std::lock_guard<std::mutex> hold(_mutex);
        return _alerts;
    }
    bool has(const std::string& e) { return count(e) > 0; }
    int count(const std::string& e) {
        std::lock_guard<std::mutex> hold(_mutex);
        int n = 0;
        for (const std::string& x : _events) n += x == e;
        return n;
    }
    static std::string encode(unsigned int id, const Translatable* object) {
        Message m(1);
        m.writeObject(id, object);
        size_t n = 0;
        unsigned char* b = m.copyBytes(&n);
        std::string s(reinterpret_cast<char*>(b), n);
        free(b);
        return s;
    }

private:
    static std::string text(const char* s) { return s != nullptr ? s : "-"; }
    static std::string idOf(Translatable* alert) { return text(static_cast<Alert*>(alert)->id); }
    void add(const std::string& e) {
        std::lock_guard<std::mutex> hold(_mutex);
        _events.push_back(e);
    }
    std::mutex _mutex;
    std::vector<std::string> _events;
    std::vector<std::string> _alerts;
};

// The agent's end of a call-in connection: answers resolves and attribute
// requests, and keeps every message it receives.
class AgentSide : public ConnectionListener {
public:
    int onReceive(Connection* c, Message* m) override {
        int code = static_cast<int>(m->getType());
        size_t n = 0;
        unsigned char* b = m->copyBytes(&n);
        {
            std::lock_guard<std::mutex> hold(_mutex);
            _received.emplace_back(code, std::string(reinterpret_cast<char*>(b), n));
        }
        free(b);
        DirProtocol::Request r;
        if (code != DirProtocol::M_RESOLVE && code != DirProtocol::M_GET_ATTRIBUTES && code != DirProtocol::M_EXECUTE)
            return 0;
        if (DirProtocol::readRequest(m, &r) != 0) return 0;
        if (code == DirProtocol::M_EXECUTE) {
            // "readBytes" of the one file this agent has, 1000 bytes a block.
            long long at = 0;
            if (strcmp(r.operation, "readBytes") != 0 || r.argCount != 2 || !r.args[1]->convertToInt64(at)) {
                c->send(DirProtocol::execErrorReply(r.id, 21));
                return 0;
            }
            FileIo* block;
            if (strcmp(r.args[0]->getString(), "notes.txt") != 0) {
                block = new FileIo(15, "no such file here");
            } else {
                long long n = std::max(0LL, std::min<long long>(1000, static_cast<long long>(file.size()) - at));
                block = new FileIo(at, static_cast<long long>(file.size()), static_cast<int>(n),
                                   reinterpret_cast<const unsigned char*>(file.data() + at));
            }
            FutureResult fr;
            Any* v = new Any();
            v->setObject(block);
            fr.setResult(v);
            c->send(DirProtocol::executeReply(r.id, &fr));
            return 0;
        }
        if (code == DirProtocol::M_RESOLVE) {
            DirectoryObject o(r.entry->getClassName(), new Any("agent-object"));
            c->send(DirProtocol::resolveReply(r.id, &o));
        } else {
            Attributes a;
            a.setAttribute("served-by", "agent7");
            a.setAttribute("object", r.current != nullptr ? r.current->className : "none");
            c->send(DirProtocol::attributesReply(r.id, &a));
        }
        return 0;
    }
    void onNoConnect(Connection*, int) override {}
    void onLost(Connection*) override {}
    void onClosed(Connection*) override {}
    void onConnectComplete(Connection*) override { connected = true; }

    // The body of the first message of that code ("" when none came), and
    // whether one came; every body of that code, in arrival order.
    std::string body(int code) {
        std::vector<std::string> all = bodies(code);
        return all.empty() ? "" : all.front();
    }
    bool has(int code) { return !bodies(code).empty(); }
    std::vector<std::string> bodies(int code) {
        std::lock_guard<std::mutex> hold(_mutex);
        std::vector<std::string> out;
        for (auto& r : _received)
            if (r.first == code) out.push_back(r.second);
        return out;
    }
    std::atomic<bool> connected{false};
    std::string file;

private:
    std::mutex _mutex;
    std::vector<std::pair<int, std::string>> _received;
};

// Accepts agents calling in and hands each connection to the provider of
// its asset.
class CallIn : public ConnectorListener {
public:
    bool newConnection(Connection* c, int type) override {
        if (type != 550) return false;
        return Directory::attachConnection(c, "agent7", nullptr);
    }
};

class NetClientAgentTest : public ClientSessionTest {
protected:
    static void SetUpTestSuite() {
        ClientSessionTest::SetUpTestSuite();
        NetClientSPI::install();
    }
    void SetUp() override { NetClientSPI::_netclient_timeout = 5000; }
    void TearDown() override {
        ClientSessionTest::TearDown();
        NetClientSPI::setMode(0);
        NetClientSPI::statDispatcher = nullptr;
        NetClientSPI::_ruleHelperFn = nullptr;
        // The properties this test wrote give way to none.
        if (!props.empty()) {
            unlink(props.c_str());
            s_testDravikaProperties(false, nullptr);
        }
    }
    void setProperties(const TempDir& dir, const std::string& text) {
        props = dir.file("dravika.properties");
        writeFile(props, text);
        s_setDravikaPropertiesPath(props.c_str());
        ASSERT_TRUE(s_testDravikaProperties(false, nullptr));
    }

    std::string props;
};

TEST_F(NetClientAgentTest, HeartbeatsKeepAManagedConnectionUpAndAMissedOneDropsIt) {
    TempDir tmp;
    const int lost = 1500;
    setProperties(tmp, "nc_managed_timeout: " + std::to_string(lost) + "\nnc_managed_hb_rate: 300\n");
    KeyPair server("server");
    Peer peer(server);
    ASSERT_EQ(peer.bindResult, 0);
    Relay relay(peer.port());
    Directory* d = session(relay.port());
    ASSERT_NE(d, nullptr);
    NetClientSPI* spi = dynamic_cast<NetClientSPI*>(d->spi);
    ASSERT_NE(spi, nullptr);
    ASSERT_TRUE(waitFor([&] { return spi->isConnected(); }));
    Recorder rec;
    spi->setManagedConnection(&rec);
    EXPECT_TRUE(rec.has("managed connected -"));

    // Idle for twice the lost time-out: heartbeats alone keep it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * lost + 500));
    EXPECT_TRUE(spi->isConnected());
    EXPECT_EQ(relay.accepted(), 1);
    EXPECT_FALSE(rec.has("managed disconnected -"));

    // The peer hangs: the connection goes within the lost time-out.
    relay.freeze();
    Clock::time_point frozen = Clock::now();
    ASSERT_TRUE(waitFor([&] { return !spi->isConnected(); }, 4 * lost));
    long long took = msSince(frozen);
    // Within the lost time-out, give or take a loaded machine's delays:
    // far from the 20-second time-out of an unmanaged connection.
    EXPECT_LE(took, 2 * lost);
    EXPECT_GE(took, lost / 3);
    // The server's listener hears of it at the provider's next check.
    EXPECT_TRUE(waitFor([&] { return rec.has("managed disconnected -"); }, 5000));
    spi->setManagedConnection(nullptr);
    EXPECT_TRUE(rec.has("managed removed -"));
}

// A dial that fails at once (there is no address to dial) tells the
// server's listener why, as a dial refused later does.
TEST_F(NetClientAgentTest, ADialThatFailsAtOnceTellsTheServerWhy) {
    Recorder rec;
    NetClientSPI nowhere(nullptr, "nowhere", nullptr, "14000", nullptr, "Dnowhere", nullptr);
    nowhere.setManagedConnection(&rec);
    // Tries again now, whether or not the first try came before the listener.
    nowhere.forceReset2();
    EXPECT_TRUE(waitFor([&] { return rec.has("managed error - Unable to lookup hostname"); }));
    EXPECT_EQ(nowhere.getLastError(), DirError::E_HOST_LOOKUP);
    nowhere.setManagedConnection(nullptr);
}

// A server directory whose provider of asset "agent7" waits for the agent
// to call in (mode 1), and the agent calling in: its requests are answered
// by an AgentSide, the server's listeners are a Recorder.
struct CalledIn {
    // With keyOnFile the asset's record carries the agent's public key; with
    // dials, the provider dials the asset (at the decoy) instead of waiting.
    CalledIn(std::vector<Directory*>* sessions, bool keyOnFile, bool dials = false)
        : decoyId("decoy"), decoy(decoyId), serverId("server"), agentId("agent7") {
        NetClientSPI::setMode(dials ? 0 : 1);
        Asset asset;
        asset.id = strdup("agent7");
        asset.name = strdup("Agent Seven");
        asset.agentId = strdup("agent7");
        // Where the agent would be dialled: it never is.
        asset.host = strdup("127.0.0.1");
        asset.port = atoi(decoy.port());
        asset.masq = !dials;
        if (keyOnFile) asset.publicKey = strdup(pemOf(agentId.cert, true).c_str());
        X509* cert = nullptr;
        EVP_PKEY* key = nullptr;
        makeSelfSignedCertificate("server", "/O=Dravika Test/CN=server", 1024, 3600, &cert, &key);
        int err = 0;
        d = Directory::startServerDirectoryService(nullptr, cert, key, "testdom", &err);
        sessions->push_back(d);
        spi = new NetClientSPI(d, nullptr, "testdom", &asset, "Hagent7", nullptr);
        Directory::addProvider(spi, "Hagent7", 0);
        spi->setManagedConnection(&rec);
        connector = Connector::create(&callIn, serverId.cert, serverId.key, 0);
        EXPECT_EQ(connector->bind("0"), 0);
        std::string port = std::to_string(connector->getPort());
        for (int i = 0; agent.file.size() < 4500; i++)
            agent.file += "line " + std::to_string(i) + " of the agent's notes\n";
        toServer = Connection::create("127.0.0.1", port.c_str(), agentId.cert, agentId.key, 550);
        toServer->setListener(&agent);
        EXPECT_EQ(toServer->connect(), 0);
        ready = waitFor([&] { return spi->isConnected(); });
    }
    ~CalledIn() {
        spi->setManagedConnection(nullptr);
        Connection::destroy(toServer);
        Connector::destroy(connector);
    }
    KeyPair decoyId;
    Peer decoy;
    KeyPair serverId;
    KeyPair agentId;
    Directory* d = nullptr;
    NetClientSPI* spi = nullptr;
    Recorder rec;
    CallIn callIn;
    Connector* connector = nullptr;
    AgentSide agent;
    Connection* toServer = nullptr;
    bool ready = false;
};

// An agent that calls in to a provider that dials it is adopted as the
// provider's connection, in place of the one it dialled, and serves its
// requests.
TEST_F(NetClientAgentTest, AnAgentThatCallsInToAProviderThatDialsIsAdopted) {
    CalledIn world(&sessions, false, true);
    ASSERT_TRUE(world.ready);
    EXPECT_FALSE(world.spi->isReversed());
    int e = -1;
    DirName* n = DirName::createFromString("//host:id=agent7/iface:name=eth0", &e);
    std::string servedBy;
    EXPECT_TRUE(waitFor([&] {
        Attributes* a = world.d->getAttributes(n, &e);
        servedBy = a != nullptr && a->getStringAttribute("served-by") != nullptr ? a->getStringAttribute("served-by") : "";
        delete a;
        return servedBy == "agent7";
    })) << servedBy;
    delete n;
}

TEST_F(NetClientAgentTest, AnAgentThatCallsInIsServedAndItsAlertsAndStatisticsArriveWhole) {
    // Viewers that join before the one followed below; declared first, they
    // outlive the provider that tells them.
    Recorder crowd[16];
    CalledIn world(&sessions, false);
    ASSERT_TRUE(world.ready);
    Directory* d = world.d;
    NetClientSPI* spi = world.spi;
    Recorder& rec = world.rec;
    AgentSide& agent = world.agent;
    Connection* toServer = world.toServer;
    Peer& decoy = world.decoy;
    EXPECT_TRUE(spi->isReversed());
    // The watcher hears it on the "dir-client" thread, after the connection
    // counts as ready.
    EXPECT_TRUE(waitFor([&] { return rec.has("managed connected agent7"); }));
    EXPECT_FALSE(Directory::attachConnection(nullptr, "someone-else", nullptr));

    std::vector<std::string> stats;
    static std::mutex statsMutex;
    static std::vector<std::string>* statsOut;
    statsOut = &stats;
    NetClientSPI::statDispatcher = [](const char* a, const char* b, Translatable* f) {
        std::lock_guard<std::mutex> hold(statsMutex);
        statsOut->push_back(std::string(a) + "|" + b + "|" + Recorder::encode(OBJ_STATSFILE_ID, f));
        delete f;
    };

    // Requests for the asset travel over the agent's own connection.
    int e = -1;
    DirName* n = DirName::createFromString("//host:id=agent7/iface:name=eth0", &e);
    Attributes* a = d->getAttributes(n, &e);
    ASSERT_EQ(e, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->getStringAttribute("served-by"), "agent7");
    EXPECT_STREQ(a->getStringAttribute("object"), "iface");
    delete a;
    delete n;

    // A viewer asks for the alerts: the agent hears who is asking.
    Principal viewer("v1`viewer,x,ops`viewer,x", "testdom", nullptr, 5);
    for (Recorder& r : crowd) spi->addAlertListener(&r, &viewer);
    spi->addAlertListener(&rec, &viewer);
    ASSERT_TRUE(waitFor([&] { return agent.has(DirProtocol::M_INITIATE_ALERT_VIEWER_SYNC); }));
    Message expectViewer(DirProtocol::M_INITIATE_ALERT_VIEWER_SYNC);
    expectViewer.writeObject(OBJ_PRINCIPAL_ID, &viewer);
    EXPECT_EQ(agent.body(DirProtocol::M_INITIATE_ALERT_VIEWER_SYNC), bodyOf(expectViewer));

    // The agent's alert sync.
    Alert* alerts[3];
    std::vector<std::string> sent;
    for (int i = 0; i < 3; i++) {
        alerts[i] = new Alert();
        alerts[i]->id = strdup(("a" + std::to_string(i + 1)).c_str());
        alerts[i]->guid = strdup(("guid-" + std::to_string(i)).c_str());
        alerts[i]->level = 3 + i;
        alerts[i]->errorCode = 28;
        alerts[i]->time = 1700000000 + i;
        alerts[i]->exceptionMesg = strdup("disk \"/var\" at 97%");
        alerts[i]->addArgument(new Any(i * 1.5));
        sent.push_back(Recorder::encode(OBJ_ALERT_ID, alerts[i]));
    }
    toServer->send(DirProtocol::markAlertSync(true));
    toServer->send(DirProtocol::alertUpdate(alerts[0]));
    Translatable* two[] = {alerts[1], alerts[2]};
    toServer->send(DirProtocol::alertUpdate2(2, two));
    toServer->send(DirProtocol::alertClear("a1"));
    toServer->send(DirProtocol::markAlertSync(false));
    StatsFile file;
    file.add(new StatEntry(1700000100));
    toServer->send(DirProtocol::statsUpload("agent7", "Network", &file));
    DrvEvent event;
    event.id = strdup("ev-9");
    event.eventType = strdup("linkDown");
    event.source = strdup("eth0");
    toServer->send(DirProtocol::eventDispatch(&event));

    ASSERT_TRUE(waitFor([&] { return rec.has("viewer end"); }));
    std::vector<std::string> expected = {
        "managed connected agent7", "viewer connected",       "managed sync agent7",     "viewer sync",
        "managed alert agent7 a1",  "viewer alert a1",        "managed alert agent7 a2", "viewer alert a2",
        "managed alert agent7 a3",  "viewer alert a3",        "managed clear agent7 a1", "viewer clear a1",
        "managed connected agent7", "viewer end"};
    std::vector<std::string> events = rec.events();
    // The provider's first check may come before the agent calls in.
    if (!events.empty() && events.front() == "managed disconnected agent7") events.erase(events.begin());
    EXPECT_EQ(events, expected);
    // The end of the sync tells the agent's address, as its connect did.
    EXPECT_EQ(rec.withoutPeer.load(), 0);
    EXPECT_EQ(rec.alerts(), sent);
    // However many viewers there are, each is told.
    EXPECT_TRUE(waitFor([&] { return crowd[0].has("viewer end"); }));
    EXPECT_EQ(crowd[0].alerts(), sent);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(statsMutex);
        return !stats.empty();
    }));
    {
        std::lock_guard<std::mutex> hold(statsMutex);
        EXPECT_EQ(stats, std::vector<std::string>{"agent7|Network|" + Recorder::encode(OBJ_STATSFILE_ID, &file)});
    }
    // The event is acknowledged to the agent with its id, type and source.
    ASSERT_TRUE(waitFor([&] { return agent.has(DirProtocol::M_EVENT_ACK); }));
    Message ack(DirProtocol::M_EVENT_ACK);
    ack.writeString("ev-9");
    ack.writeString("linkDown");
    ack.writeString("eth0");
    EXPECT_EQ(agent.body(DirProtocol::M_EVENT_ACK), bodyOf(ack));
    for (Alert* x : alerts) delete x;

    // Its files are read over the same connection, block by block.
    n = DirName::createFromString("//host:id=agent7/filesystem:", &e);
    Input* in = d->openForRead(n, "notes.txt", &e);
    ASSERT_NE(in, nullptr);
    std::string got;
    unsigned char buf[4096];
    int r;
    while ((r = in->read(buf, sizeof buf)) > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(r));
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(got == agent.file) << got.size();
    delete in;
    in = d->openForRead(n, "other.txt", &e);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->read(buf, sizeof buf), -2);
    EXPECT_EQ(in->errorCode(), 15);
    char why[128];
    in->errorText(why, sizeof why);
    EXPECT_STREQ(why, "no such file here");
    delete in;
    delete n;

    // The agent goes: the server's listeners hear it; nobody was ever dialled.
    int gone = rec.count("managed disconnected agent7");
    toServer->close();
    ASSERT_TRUE(waitFor([&] { return !spi->isConnected(); }));
    EXPECT_TRUE(waitFor([&] { return rec.count("managed disconnected agent7") == gone + 1; }, 10000));
    EXPECT_TRUE(decoy.types().empty());
}

// A message of code built from parts, as the peer must receive it.
struct Expect {
    explicit Expect(int code) : m(code) {}
    Expect& int64(long long v) { m.writeInt64(v); return *this; }
    Expect& int32(int v) { m.writeInt32(v); return *this; }
    Expect& str(const char* v) { m.writeString(v); return *this; }
    Expect& bytes(const char* v, uint32_t n) { m.writeBytes(v, n); return *this; }
    std::string body() const { return bodyOf(m); }
    Message m;
};

// The embedding server's key check: it knows one key.
struct KeyMapper : AssetMapper {
    Asset* lookupAsset(const char*) override { return nullptr; }
    Endpoint* lookupEndpoint(const char*) override { return nullptr; }
    bool isKnownKey(const char* pem) override { return known == pem; }
    std::string known;
};

TEST_F(NetClientAgentTest, TheServerRelaysToAnAgentThatCalledInAndAnswersWhatTheAgentAsks) {
    NetClientSPI::_ruleHelperFn = [](const char* assetId, Connection*, const Asset* asset, Translatable*** out) {
        if (assetId == nullptr || asset == nullptr || strcmp(assetId, asset->id) != 0) return -1;
        *out = static_cast<Translatable**>(malloc(sizeof(Translatable*)));
        (*out)[0] = new RuleSet("group", assetId, 2, 1700000000123LL);
        return 1;
    };
    // Read on the "dir-client" thread as the agent's connection completes;
    // TearDown takes it away once every session is gone.
    CalledIn world(&sessions, true);
    ASSERT_TRUE(world.ready);
    // An agent whose key is on file is verified, given its rule sets and
    // asked for its alerts.
    // The watcher hears of it on the dir-client thread, after the
    // connection counts as ready.
    EXPECT_TRUE(waitFor([&] { return world.rec.has("managed verified agent7"); }));
    EXPECT_FALSE(world.rec.has("managed connected agent7"));
    auto body = [&](int code) { return world.agent.body(code); };
    ASSERT_TRUE(waitFor([&] { return world.agent.has(DirProtocol::M_INITIATE_ALERT_SERVER_SYNC); }));
    EXPECT_EQ(body(DirProtocol::M_INITIATE_ALERT_SERVER_SYNC), Expect(31).str("testdom").str("agent7").body());
    RuleSet rules("group", "agent7", 2, 1700000000123LL);
    Expect ruleSets(41);
    ruleSets.str("testdom").str("agent7").int32(1).m.writeObject(OBJ_RULESET_ID, &rules);
    EXPECT_EQ(body(DirProtocol::M_UPDATE_RULESETS), ruleSets.body());

    // Relaying a client's request: the agent sees the provider's own id,
    // the client gets the answer under its id, the rest byte for byte.
    Principal client("v1`carol,x,ops`carol,x", "testdom", nullptr, 9);
    DirectoryObject current("iface", new Any("eth1"));
    NetClientSPI* relay = Directory::findProxy("agent7");
    ASSERT_EQ(relay, world.spi);
    EXPECT_EQ(relay->lockCount(), 1);
    // A client's request of that code and id, relayed as the server reads it.
    auto proxy = [&](int code, long long clientId, Message** reply) {
        Message* in = received(DirProtocol::headerOnlyRequest(code, nullptr, clientId, &client, &current));
        int64_t id = 0;
        int rv = in->readInt64(&id) != 0 ? -1 : relay->proxy(code, id, in, reply);
        delete in;
        return rv;
    };
    Message* reply = nullptr;
    ASSERT_EQ(proxy(DirProtocol::M_GET_ATTRIBUTES, 777, &reply), 0);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getType(), static_cast<unsigned>(DirProtocol::M_GET_ATTRIBUTES_REPLY));
    Message* answer = received(reply);
    int64_t answeredId = 0;
    Translatable* attrs = nullptr;
    ASSERT_EQ(answer->readInt64(&answeredId), 0);
    EXPECT_EQ(answeredId, 777);
    ASSERT_EQ(answer->readObject(OBJ_ATTRIBUTES_ID, &attrs), 0);
    EXPECT_STREQ(static_cast<Attributes*>(attrs)->getStringAttribute("served-by"), "agent7");
    EXPECT_STREQ(static_cast<Attributes*>(attrs)->getStringAttribute("object"), "iface");
    delete attrs;
    delete answer;
    // The agent never answers a list: the relay gives up with a time-out.
    NetClientSPI::_netclient_timeout = 800;
    EXPECT_EQ(proxy(DirProtocol::M_LIST, 778, &reply), DirError::E_TIMEOUT);
    NetClientSPI::_netclient_timeout = 5000;
    EXPECT_EQ(reply, nullptr);
    relay->removeLock();

    // The provider's own objects: its connection and what the agent says of itself.
    Attributes self;
    self.setAttribute("os", "linux");
    world.toServer->send(DirProtocol::setAgentAttributes(&self));
    auto attribute = [&](const char* text, const char* key) {
        int e = -1;
        DirName* n = DirName::createFromString(text, &e);
        Attributes* a = world.d->getAttributes(n, &e);
        delete n;
        Any* value = a != nullptr ? a->getAttribute(key) : nullptr;
        std::string v;
        if (value != nullptr && value->getString() != nullptr) {
            v = value->getString();
        } else if (value != nullptr) {
            char* text = value->toString(nullptr);
            v = text != nullptr ? text : "";
            free(text);
        }
        delete a;
        return v;
    };
    EXPECT_TRUE(waitFor([&] { return attribute("//host:id=agent7/agentattributes:", "os") == "linux"; }));
    EXPECT_EQ(attribute("//host:id=agent7/agentattributes:", "connected"), "true");
    EXPECT_EQ(attribute("//host:id=agent7/connection:", "connected"), "true");
    EXPECT_EQ(attribute("//host:id=agent7/connection:", "ipaddr"), "127.0.0.1");
    EXPECT_NE(attribute("//host:id=agent7/connection:", "bytesReceived"), "");
    EXPECT_EQ(attribute("//host:id=agent7/this:", "ftPort"), "0");
    // An operation on one of those objects: the execution thread's resolve of
    // the last step is answered at once, and the operation goes to the agent,
    // which refuses everything but readBytes.
    {
        int e = -1;
        DirName* n = DirName::createFromString("//host:id=agent7/connection:", &e);
        FutureResult* fr = world.d->execute(n, nullptr, "ping", nullptr);
        delete n;
        EXPECT_TRUE(fr->waitComplete(5000));
        EXPECT_TRUE(fr->failed);
        EXPECT_EQ(fr->error, DirError::E_NOT_IMPLEMENTED);
        FutureResult::destroy(fr);
    }

    // What the agent asks of the server, and its message-queue traffic.
    static std::mutex mqMutex;
    static std::string mqSeen;
    NetClientSPI::_dispatchMQ = [](long long a, long long b, const unsigned char* data, uint32_t n) {
        std::lock_guard<std::mutex> hold(mqMutex);
        mqSeen = std::to_string(a) + "/" + std::to_string(b) + "/" + std::string(reinterpret_cast<const char*>(data), n);
    };
    world.toServer->send(DirProtocol::verifyCert(55, "-----BEGIN CERTIFICATE-----\nAA==\n-----END CERTIFICATE-----\n"));
    world.toServer->send(DirProtocol::getSecurityObject(56, 1, "root", "ssh"));
    CiUpdate update("agent7", 1, "inventory", "2026-12-06T06:00:00Z");
    world.toServer->send(DirProtocol::ciUpdate(&update));
    world.toServer->send(DirProtocol::mqSend(5, 6, "from agent", 10));
    world.spi->processMQ(7, 8, const_cast<char*>("to agent"), 8);
    ASSERT_TRUE(waitFor([&] {
        for (int code : {DirProtocol::M_VERIFY_CERT_REPLY, DirProtocol::M_GET_SECURITYOBJECT_REPLY,
                         DirProtocol::M_CI_ACK, DirProtocol::M_MQ_SEND}) {
            if (!world.agent.has(code)) return false;
        }
        return true;
    }));
    // No key check exists here: a presented certificate is never known.
    EXPECT_EQ(body(DirProtocol::M_VERIFY_CERT_REPLY), Expect(63).int64(55).int32(0).body());
    EXPECT_EQ(body(DirProtocol::M_GET_SECURITYOBJECT_REPLY),
              Expect(61).int64(56).int32(DirError::E_NOT_IMPLEMENTED).body());
    EXPECT_EQ(body(DirProtocol::M_CI_ACK),
              Expect(51).str("agent7").str("inventory").str("2026-12-06T06:00:00Z").body());
    EXPECT_EQ(body(DirProtocol::M_MQ_SEND), Expect(300).int64(7).int64(8).bytes("to agent", 8).body());
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(mqMutex);
        return mqSeen == "5/6/from agent";
    }));
    NetClientSPI::_dispatchMQ = nullptr;
    // With the embedding server's key check, a certificate is known when the
    // check knows its public key.
    KeyMapper mapper;
    mapper.known = pemOf(world.serverId.cert, true);
    assetMapper = &mapper;
    struct Uninstall {
        ~Uninstall() { assetMapper = nullptr; }
    } uninstall;
    world.toServer->send(DirProtocol::verifyCert(61, pemOf(world.serverId.cert).c_str()));
    world.toServer->send(DirProtocol::verifyCert(62, pemOf(world.decoyId.cert).c_str()));
    world.toServer->send(DirProtocol::verifyCert(63, "not a certificate"));
    EXPECT_TRUE(waitFor([&] { return world.agent.bodies(DirProtocol::M_VERIFY_CERT_REPLY).size() == 4; }));
    EXPECT_EQ(world.agent.bodies(DirProtocol::M_VERIFY_CERT_REPLY),
              (std::vector<std::string>{Expect(63).int64(55).int32(0).body(), Expect(63).int64(61).int32(1).body(),
                                        Expect(63).int64(62).int32(0).body(), Expect(63).int64(63).int32(0).body()}));
    // No longer watched: the agent is told, the watcher let go.
    world.spi->setManagedConnection(nullptr);
    EXPECT_TRUE(world.rec.has("managed removed agent7"));
    ASSERT_TRUE(waitFor([&] { return world.agent.has(DirProtocol::M_NOTIFY_UNMANAGED); }));
    EXPECT_EQ(body(DirProtocol::M_NOTIFY_UNMANAGED), Expect(46).str("testdom").str("agent7").body());

    // The agent goes: relaying fails at once with "Not connected".
    world.toServer->close();
    ASSERT_TRUE(waitFor([&] { return !world.spi->isConnected(); }));
    relay = Directory::findProxy("agent7");
    ASSERT_NE(relay, nullptr);
    EXPECT_EQ(proxy(DirProtocol::M_GET_ATTRIBUTES, 779, &reply), DirError::E_NOT_CONNECTED);
    relay->removeLock();
    EXPECT_EQ(Directory::findProxy("agent8"), nullptr);
}

}  // namespace
