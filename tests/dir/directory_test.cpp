// The directory core: name resolution through the provider list, its error
// codes, provider sharing, the idle sweep and the lock counts that keep a
// provider alive under a resolution.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/exec_helper.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dir/principal.h"
#include "dir/resolve_context.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/support/log_capture.h"
#include "dirbase/enumeration.h"
#include "dirbase/registry.h"

namespace {

std::atomic<int> g_deleted{0};
std::atomic<int> g_deletedWhileLocked{0};

// Resolves every entry to an object named after its class, except
// "missing" (nothing found), "fail" (error 77) and "jump" (an object of
// class "Dother", which the registry routes to another provider). Its
// attributes tell which provider answered and for which object.
class TestSPI : public DirectorySPI {
public:
    explicit TestSPI(const std::string& tag, bool idle = true, bool remote = false)
        : tag(tag), idle(idle), remote(remote) {}
    ~TestSPI() override {
        g_deleted++;
        if (lockCount() != 0) g_deletedWhileLocked++;
    }

    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        std::string c = entry->getClassName() != nullptr ? entry->getClassName() : "";
        if (c == "fail") return 77;
        if (c == "missing") {
            out = nullptr;
            return 0;
        }
        if (c == "jump") {
            out = new DirectoryObject("Dother", nullptr);
            return 0;
        }
        Any* v = new Any();
        if (c == "asset" && entry->getStringAttributeValue("id") != nullptr) {
            // The directory's own asset lookup: the object is the id asked for.
            std::lock_guard<std::mutex> hold(askedLock);
            askedAssetIds.push_back(entry->getStringAttributeValue("id"));
            v->set(entry->getStringAttributeValue("id"));
        } else {
            v->set(c.c_str());
        }
        out = new DirectoryObject(tag.c_str(), v);
        return 0;
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration*) override {
        return 0;
    }
    // "/auth:" answers the re-authentication operations: a greeting for the
    // alternate user, and for relogin a text where a principal belongs.
    int execute(const Principal*, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override {
        Any* v = new Any();
        if (strcmp(operation, "authenticateAlternateUser") == 0 && args != nullptr && args[0] != nullptr) {
            v->set((std::string("hello ") + args[0]->getString()).c_str());
        } else if (strcmp(operation, "relogin") == 0 && reloginPrincipal) {
            // Kind 7 of a value is a string: a principal travels under its
            // second id, as the directory server sends it.
            v->setObject(new Principal("v1`dave,x,ops`dave,x", "home", nullptr, ++reloginSession),
                         OBJ_PRINCIPAL_FT_ID);
        } else if (strcmp(operation, "relogin") == 0) {
            v->set("not a principal");
        } else if (strcmp(operation, "getAsset") == 0 && answerAssets && object->value != nullptr &&
                   object->value->getString() != nullptr) {
            Asset* a = new Asset();
            a->id = strdup(object->value->getString());
            a->host = strdup("10.0.0.9");
            v->setObject(a, OBJ_ASSET_ID);
        } else {
            delete v;
            return DirError::E_NOT_IMPLEMENTED;
        }
        result->setResult(v);
        return 0;
    }
    int getAttributes(const Principal*, DirectoryObject* object, Attributes*& out) override {
        out = new Attributes();
        out->setAttribute("by", tag.c_str());
        char* value = object->value != nullptr ? object->value->toString(nullptr) : nullptr;
        out->setAttribute("object", value != nullptr ? value : "");
        free(value);
        return 0;
    }
    int getAcl(const Principal*, DirectoryObject*, Acl*&) override { return 0; }
    bool isIdle() override { return idle; }
    bool isNetworkSPI() override { return remote; }
    void closeDirectory() override {
        if (closing != nullptr && *closing) (*closing)(this);
    }

    std::string tag;
    bool idle;
    bool remote;
    // relogin answers a principal (with a new session number each time).
    std::atomic<bool> reloginPrincipal{false};
    std::atomic<long long> reloginSession{0};
    // "getAsset" answers a record for the id its object was resolved from.
    std::atomic<bool> answerAssets{false};
    // Runs when the provider is closed (the fake remote's hook).
    std::function<void(DirectorySPI*)>* closing = nullptr;
    std::mutex askedLock;
    std::vector<std::string> askedAssetIds;
};

// Stands in for the remote provider library: "opens" local test providers.
class FakeRemote : public RemoteProviderSeam {
public:
    DirectorySPI* openDomain(Directory*, const char*, const char*, const char*, Attributes*,
                             const char* key) override {
        opened++;
        if (whileOpening) whileOpening();
        TestSPI* spi = new TestSPI(key, idleProviders, true);
        spi->closing = &whileClosing;
        return spi;
    }
    DirectorySPI* openAsset(Directory*, DirectorySPI*, const char*, const Asset*, const char* key) override {
        opened++;
        return new TestSPI(key, idleProviders, true);
    }
    int getMode() override { return 0; }
    int asyncResolve(DirectorySPI*, DelayedEvent*, const Endpoint*, const Principal*, DirectoryObject*,
                     const DirNameEntry*) override {
        return DirError::E_NOT_CONNECTED;
    }
    bool hasManagedConnection(DirectorySPI*) override { return false; }
    const char* assetIdOf(DirectorySPI*) override { return nullptr; }
    void forceReset1(DirectorySPI*) override {}
    void forceReset2(DirectorySPI*) override {}
    void forceReset3(DirectorySPI*) override {}
    void addAlertListener(DirectorySPI*, AlertListener*, const Principal*) override {}
    void setManagedConnection(DirectorySPI*, ManagedConnectionListener*) override {}
    void installClientHooks() override {}

    std::atomic<int> opened{0};
    bool idleProviders = true;
    // Runs inside each domain open, while the provider is being built.
    std::function<void()> whileOpening;
    // Runs inside the close of each domain provider.
    std::function<void(DirectorySPI*)> whileClosing;
};

DirName* parse(const char* text) {
    int err = 0;
    DirName* n = DirName::createFromString(text, &err);
    EXPECT_NE(nullptr, n) << text << ": " << err;
    return n;
}

// The error of getAttributes on the name, and the answering provider's tag.
int attrs(Directory* d, const char* text, std::string* by = nullptr) {
    DirName* name = parse(text);
    int err = -1;
    Attributes* a = d->getAttributes(name, &err);
    if (by != nullptr) {
        Any* v = a != nullptr ? a->getAttribute("by") : nullptr;
        const char* t = v != nullptr ? v->getString() : nullptr;
        *by = t != nullptr ? t : "";
    }
    delete a;
    delete name;
    return err;
}

int providerCount() {
    CriticalSection cs(Directory::_providerCb);
    int n = 0;
    for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next) n++;
    return n;
}

Directory::ProviderEntry* findEntry(const char* key) {
    CriticalSection cs(Directory::_providerCb);
    for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
        if (strcmp(e->key, key) == 0) return e;
    return nullptr;
}

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Directory::_remote = &remote;
        int err = -1;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "home", &err);
        ASSERT_EQ(0, err);
    }
    void TearDown() override {
        // Finished requests are deleted on the execution thread, and each
        // holds a lock on the provider it reached: wait for them first.
        for (int i = 0; i < 500 && ExecHelper::liveCount() > 0; i++) usleep(10000);
        EXPECT_EQ(0, ExecHelper::liveCount());
        delete dir;
        // Two sweeps end every idle provider a test left in the list.
        Directory::testIdleProviders();
        Directory::testIdleProviders();
        EXPECT_EQ(0, providerCount());
        Directory::_remote = nullptr;
    }

    FakeRemote remote;
    TestSPI root{"root"};
    Directory* dir = nullptr;
};

TEST_F(DirectoryTest, DomainProvidersAreSharedAndTempProvidersAreNot) {
    std::string by;
    EXPECT_EQ(0, attrs(dir, "//domain:name=x/thing:", &by));
    EXPECT_EQ("Dx", by);
    EXPECT_EQ(0, attrs(dir, "//domain:name=x/other:", &by));
    EXPECT_EQ("Dx", by);
    EXPECT_EQ(1, remote.opened.load());

    EXPECT_EQ(0, attrs(dir, "//temp:hostname=h,port=9/thing:", &by));
    EXPECT_EQ(0, attrs(dir, "//temp:hostname=h,port=9/thing:", &by));
    EXPECT_EQ("Hh", by);
    EXPECT_EQ(3, remote.opened.load());
    EXPECT_EQ(3, providerCount());

    // Relative and rooted names start at the session's own provider.
    EXPECT_EQ(0, attrs(dir, "/thing:", &by));
    EXPECT_EQ("root", by);
    EXPECT_EQ(0, attrs(dir, "thing:", &by));
    EXPECT_EQ("root", by);
    EXPECT_EQ(3, remote.opened.load());
}

TEST_F(DirectoryTest, ResolutionErrorsCarryTheirCodes) {
    struct Case {
        const char* name;
        int code;
    } cases[] = {
        {"//domain:title=x/a:", DirError::E_MISSING_DOMAIN},
        {"//asset:id=1/a:", DirError::E_MISSING_DOMAIN},  // not a domain reference
        {"//host:name=1/a:", DirError::E_MISSING_HOST},
        {"//endpoint:name=1/a:", DirError::E_MISSING_HOST},
        {"//temp:hostname=h/a:", DirError::E_MISSING_HOST},
        {"/missing:", DirError::E_OBJECT_NOT_FOUND},  // the provider found nothing
        {"/a:/missing:", DirError::E_OBJECT_NOT_FOUND},
        {"/fail:", 77},  // a provider's own error passes unchanged
    };
    for (const Case& c : cases) EXPECT_EQ(c.code, attrs(dir, c.name)) << c.name;

    DirNameEntry bogus("bogus", "id", "1");
    DirName* name = parse("/a:");
    ResolveContext rc(dir, name, dir->findPrincipal());
    EXPECT_EQ(DirError::E_BAD_ROOT_CLASS, dir->openProvider(&bogus, &rc, nullptr, nullptr));
    delete name;

    // Without the remote provider library a domain cannot be reached.
    Directory::_remote = nullptr;
    EXPECT_EQ(DirError::E_NOT_CONNECTED, attrs(dir, "//domain:name=x/a:"));
    EXPECT_EQ(0, providerCount());
}

// Knows asset "a1" (with an address), assets "nohost" and "masqnohost" (a
// masquerading one, without) and endpoint "e1" on asset a1 of domain corp.
class Mapper : public AssetMapper {
public:
    Asset* lookupAsset(const char* id) override {
        if (strcmp(id, "a1") != 0 && strcmp(id, "nohost") != 0 && strcmp(id, "masqnohost") != 0) return nullptr;
        Asset* a = new Asset();
        a->id = strdup(id);
        if (strcmp(id, "a1") == 0) a->host = strdup("10.0.0.1");
        a->masq = strcmp(id, "masqnohost") == 0;
        return a;
    }
    Endpoint* lookupEndpoint(const char* id) override {
        if (strcmp(id, "e1") != 0) return nullptr;
        Endpoint* e = new Endpoint();
        e->id = strdup(id);
        e->asset = strdup("corp`a1");
        return e;
    }
};

TEST_F(DirectoryTest, HostsAndEndpointsOpenTheirAssetsProvider) {
    Mapper mapper;
    assetMapper = &mapper;
    std::string by;
    EXPECT_EQ(0, attrs(dir, "//host:id=a1/x:", &by));
    EXPECT_EQ("Ha1", by);
    // The endpoint lives on a1: its names share a1's provider and carry the
    // endpoint to every later provider call.
    DirName* name = parse("//endpoint:id=e1/x:");
    {
        ResolveContext rc(dir, name, dir->findPrincipal());
        ASSERT_EQ(0, dir->resolveToObject(&rc, nullptr, nullptr, nullptr));
        EXPECT_EQ(findEntry("Ha1")->spi, rc.spi);
        ASSERT_NE(nullptr, rc.target);
        EXPECT_STREQ("e1", rc.target->id);
    }
    delete name;
    // Below the endpoint, the provider's current object is the endpoint's.
    name = parse("//endpoint:id=e1");
    {
        ResolveContext rc(dir, name, dir->findPrincipal());
        ASSERT_EQ(0, dir->resolveToObject(&rc, nullptr, nullptr, nullptr));
        ASSERT_NE(nullptr, rc.current);
        EXPECT_STREQ("Ee1", rc.current->className);
    }
    delete name;
    EXPECT_EQ(1, remote.opened.load());

    EXPECT_EQ(DirError::E_NO_SUCH_ASSET, attrs(dir, "//host:id=zz/x:"));
    EXPECT_EQ(DirError::E_NO_SUCH_ENDPOINT, attrs(dir, "//endpoint:id=zz/x:"));
    EXPECT_EQ(DirError::E_MISSING_HOST, attrs(dir, "//host:id=nohost/x:"));
    // Even one reached through the session's masquerade provider needs an
    // address of its own.
    dir->lockToSPI(findEntry("Ha1")->spi);
    EXPECT_EQ(DirError::E_MISSING_HOST, attrs(dir, "//host:id=masqnohost/x:"));
    dir->lockToSPI(nullptr);
    EXPECT_EQ(1, remote.opened.load());
    assetMapper = nullptr;

    // Without the hook an uncached asset is asked of the directory with
    // "getAsset"; this root provider cannot answer it.
    EXPECT_EQ(DirError::E_ASSET_LOOKUP, attrs(dir, "//host:id=b2/x:"));
    // Given somewhere to put the pending lookup, resolution does not wait.
    name = parse("//host:id=b2/x:");
    {
        ResolveContext rc(dir, name, dir->findPrincipal());
        FutureResult* pending = nullptr;
        EXPECT_EQ(DirError::E_WAITING_ON_ASSET, dir->resolveToObject(&rc, &pending, nullptr, nullptr));
        ASSERT_NE(nullptr, pending);
        pending->waitComplete();
        EXPECT_TRUE(pending->failed);
        FutureResult::destroy(pending);
    }
    delete name;
    EXPECT_EQ(1, remote.opened.load());
}

// An asset id is a value like any other: quotes, delimiters and length are
// the id's own, and the directory asks for exactly that asset (the name it
// asks with used to be written out as text, which such ids broke or turned
// into another asset's name).
TEST_F(DirectoryTest, AnAssetLookupAsksForTheIdAsGiven) {
    root.answerAssets = true;
    const std::string ids[] = {"plain", "a\"b", "x\",os=\"y", "one/two:three=four", std::string(700, 'k')};
    for (const std::string& id : ids) {
        DirName name;
        name.hostRooted = true;
        name.append(new DirNameEntry("host", "id", id.c_str()));
        name.append(new DirNameEntry("x"));
        {
            std::lock_guard<std::mutex> hold(root.askedLock);
            root.askedAssetIds.clear();
        }
        int err = -1;
        Attributes* a = dir->getAttributes(&name, &err);
        EXPECT_EQ(0, err) << id;
        Any* by = a != nullptr ? a->getAttribute("by") : nullptr;
        EXPECT_EQ("H" + id, by != nullptr && by->getString() != nullptr ? by->getString() : "") << id;
        delete a;
        std::lock_guard<std::mutex> hold(root.askedLock);
        ASSERT_EQ(1u, root.askedAssetIds.size()) << id;
        EXPECT_EQ(id, root.askedAssetIds[0]);
    }
    AssetCache::clear();
    root.answerAssets = false;
}

TEST_F(DirectoryTest, RegisteredProvidersTakeOverMidName) {
    TestSPI other("other");
    Registry::registerObject("other", &other);
    std::string by;
    EXPECT_EQ(0, attrs(dir, "/jump:/thing:", &by));
    EXPECT_EQ("other", by);
    Registry::unregisterObject(&other);
    // Unregistered, the root provider goes on resolving.
    EXPECT_EQ(0, attrs(dir, "/jump:/thing:", &by));
    EXPECT_EQ("root", by);
    EXPECT_EQ(0, other.lockCount());
    EXPECT_EQ(0, root.lockCount());
}

TEST_F(DirectoryTest, PinnedProvidersSurviveAndIdleOnesDieOnTheSecondSweep) {
    int err = -1;
    Directory* client = Directory::startClientDirectoryService("pinned", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, client);
    ASSERT_EQ(0, err);
    Directory* second = Directory::startClientDirectoryService("pinned", "h", "1", nullptr, nullptr, &err);
    EXPECT_EQ(client->spi, second->spi);
    EXPECT_EQ(2, findEntry("Dpinned")->pinCount);
    EXPECT_EQ(0, attrs(dir, "//domain:name=idle/a:"));
    int deleted = g_deleted;

    Directory::testIdleProviders();
    DirectorySPI* idle = findEntry("Didle")->spi;
    EXPECT_TRUE(idle->isMarkedForDeletion());
    EXPECT_FALSE(client->spi->isMarkedForDeletion());
    EXPECT_EQ(deleted, g_deleted.load());
    // A marked provider is never handed out again: the same key opens a new one.
    EXPECT_EQ(0, attrs(dir, "//domain:name=idle/a:"));
    EXPECT_EQ(3, providerCount());

    Directory::testIdleProviders();
    EXPECT_EQ(deleted + 1, g_deleted.load());
    EXPECT_EQ(2, providerCount());

    // A provider under a live resolution is neither marked nor deleted (the
    // second "idle" provider, marked by the last sweep, goes meanwhile).
    DirName* name = parse("//domain:name=idle/a:");
    {
        ResolveContext rc(dir, name, dir->findPrincipal());
        ASSERT_EQ(0, dir->resolveToDomain(&rc, nullptr, nullptr));
        for (int i = 0; i < 3; i++) Directory::testIdleProviders();
        EXPECT_EQ(deleted + 2, g_deleted.load());
        EXPECT_FALSE(rc.spi->isMarkedForDeletion());
        EXPECT_EQ(1, rc.spi->lockCount());
    }
    delete name;
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    EXPECT_EQ(deleted + 3, g_deleted.load());

    // Pinned by two sessions, the provider outlives the first logout.
    delete second;
    Directory::testIdleProviders();
    EXPECT_FALSE(client->spi->isMarkedForDeletion());
    delete client;
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    EXPECT_EQ(deleted + 4, g_deleted.load());
    EXPECT_EQ(0, g_deletedWhileLocked.load());
}

TEST_F(DirectoryTest, ALoginNeverTakesAProviderTheSweepHasMarked) {
    int err = -1;
    Directory* first = Directory::startClientDirectoryService("again", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, first);
    DirectorySPI* old = first->spi;
    delete first;
    Directory::testIdleProviders();
    ASSERT_TRUE(old->isMarkedForDeletion());

    Directory* second = Directory::startClientDirectoryService("again", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(old, second->spi);
    EXPECT_FALSE(second->spi->isMarkedForDeletion());
    EXPECT_EQ(0, attrs(second, "/a:"));
    delete second;
}

TEST_F(DirectoryTest, TheProcessHooksMoveOnWhenTheirProviderEnds) {
    // The hooks forward to the first client session's provider; once the
    // sweep ends it, the next client session's takes its place.
    int err = -1;
    Directory* first = Directory::startClientDirectoryService("hooks1", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, first);
    DirectorySPI* held = Directory::lockHookProvider();
    ASSERT_EQ(first->spi, held);
    held->removeLock();
    delete first;
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    ASSERT_EQ(nullptr, findEntry("Dhooks1"));
    EXPECT_EQ(nullptr, Directory::lockHookProvider());

    Directory* second = Directory::startClientDirectoryService("hooks2", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, second);
    held = Directory::lockHookProvider();
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(second->spi, held);
    EXPECT_EQ(1, held->lockCount());
    held->removeLock();
    delete second;
}

TEST_F(DirectoryTest, TwoOpensOfOneDomainAtOnceShareOneProvider) {
    // Both logins miss the list and build a provider each; the second to be
    // listed gives way, and the one it built is closed and swept.
    std::atomic<int> inside{0};
    remote.whileOpening = [&] {
        inside++;
        for (int i = 0; i < 500 && inside.load() < 2; i++) usleep(2000);
    };
    Directory* a = nullptr;
    Directory* b = nullptr;
    std::thread other([&] {
        int err = -1;
        b = Directory::startClientDirectoryService("both", "h", "1", nullptr, nullptr, &err);
    });
    int err = -1;
    a = Directory::startClientDirectoryService("both", "h", "1", nullptr, nullptr, &err);
    other.join();
    remote.whileOpening = nullptr;
    ASSERT_EQ(2, remote.opened.load());
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(a->spi, b->spi);
    {
        CriticalSection cs(Directory::_providerCb);
        for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
            EXPECT_EQ(e->spi == a->spi ? 2 : 0, e->pinCount);
    }
    EXPECT_EQ(2, providerCount()) << "the spare is listed until the sweep ends it";
    delete a;
    delete b;
}

TEST_F(DirectoryTest, ASpareBeingClosedIsNeverHandedOut) {
    // Two logins collide as above; while the spare is being closed, a third
    // login and a resolution of the same domain must get the provider kept.
    std::atomic<int> inside{0};
    remote.whileOpening = [&] {
        inside++;
        for (int i = 0; i < 500 && inside.load() < 2; i++) usleep(2000);
    };
    DirectorySPI* closed = nullptr;
    DirectorySPI* thirdGot = nullptr;
    std::string resolvedBy;
    remote.whileClosing = [&](DirectorySPI* spare) {
        closed = spare;
        int err = -1;
        Directory* third = Directory::startClientDirectoryService("twins", "h", "1", nullptr, nullptr, &err);
        thirdGot = third != nullptr ? third->spi : nullptr;
        delete third;
        DirName* name = parse("//domain:name=twins/a:");
        ResolveContext rc(dir, name, dir->findPrincipal());
        if (dir->resolveToDomain(&rc, nullptr, nullptr) == 0 && rc.spi == spare) resolvedBy = "spare";
        delete name;
    };
    Directory* b = nullptr;
    std::thread other([&] {
        int err = -1;
        b = Directory::startClientDirectoryService("twins", "h", "1", nullptr, nullptr, &err);
    });
    int err = -1;
    Directory* a = Directory::startClientDirectoryService("twins", "h", "1", nullptr, nullptr, &err);
    other.join();
    remote.whileOpening = nullptr;
    remote.whileClosing = nullptr;
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    ASSERT_NE(nullptr, closed);
    EXPECT_NE(closed, a->spi);
    EXPECT_EQ(a->spi, thirdGot);
    EXPECT_EQ("", resolvedBy);
    EXPECT_EQ(2, providerCount()) << "the spare is listed until the sweep ends it";
    delete a;
    delete b;
}

TEST_F(DirectoryTest, BusyProvidersAreNeverMarked) {
    remote.idleProviders = false;
    EXPECT_EQ(0, attrs(dir, "//domain:name=busy/a:"));
    for (int i = 0; i < 3; i++) Directory::testIdleProviders();
    ASSERT_NE(nullptr, findEntry("Dbusy"));
    EXPECT_FALSE(findEntry("Dbusy")->spi->isMarkedForDeletion());
    static_cast<TestSPI*>(findEntry("Dbusy")->spi)->idle = true;
}

TEST_F(DirectoryTest, AProvidersEndUnlocksItsSessionsAndFinishesTheirDisposes) {
    // A domain opened by name becomes a session's masquerade provider (as a
    // remote domain provider makes itself), here of two sessions; the second
    // is disposed and so waits for that provider.
    EXPECT_EQ(0, attrs(dir, "//domain:name=passing/a:"));
    DirectorySPI* passing = findEntry("Dpassing")->spi;
    dir->lockToSPI(passing);
    int err = -1;
    Directory* leaving = Directory::startServerDirectoryService(&root, nullptr, nullptr, "home", &err);
    ASSERT_NE(nullptr, leaving);
    leaving->lockToSPI(passing);
    Directory::dispose(leaving);
    char logout[64];
    snprintf(logout, sizeof(logout), "session = %p", static_cast<void*>(leaving));

    LogCapture logs;
    Directory::testIdleProviders();
    EXPECT_FALSE(logs.contains(logout));
    Directory::testIdleProviders();
    EXPECT_EQ(nullptr, findEntry("Dpassing"));
    EXPECT_TRUE(logs.contains(logout));
    {
        CriticalSection cs(Directory::_providerCb);
        EXPECT_EQ(nullptr, dir->lockedSPI);
    }

    // A directory already gone is only looked for, never read.
    Directory* gone = Directory::startServerDirectoryService(&root, nullptr, nullptr, "home", &err);
    delete gone;
    Directory::testDispose(gone);
}

TEST_F(DirectoryTest, ADisposeWaitingOnItsOwnRootProviderEndsWhenThatProviderIdlesOut) {
    // A remote domain provider locks the session that opened it to itself,
    // and that session pins it: the dispose gives up the pin so the wait can
    // end. A second session on the same provider keeps it until its logout.
    int err = -1;
    Directory* first = Directory::startClientDirectoryService("own", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, first);
    Directory* second = Directory::startClientDirectoryService("own", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, second);
    first->lockToSPI(first->spi);
    Directory::dispose(first);
    EXPECT_EQ(1, findEntry("Down")->pinCount);
    char logout[64];
    snprintf(logout, sizeof(logout), "session = %p", static_cast<void*>(first));

    LogCapture logs;
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    ASSERT_NE(nullptr, findEntry("Down"));
    EXPECT_FALSE(logs.contains(logout));

    // The disposed session's pin went once: the second logout leaves none.
    delete second;
    EXPECT_EQ(0, findEntry("Down")->pinCount);
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    EXPECT_EQ(nullptr, findEntry("Down"));
    EXPECT_TRUE(logs.contains(logout));
}

// Counts connects; changes are not looked at here.
struct ConnectWatch : DirectoryListener {
    void directoryAdd(const DirNameEntry*, const Attributes*, const Acl*) override {}
    void directoryDelete(const DirNameEntry*, const Attributes*) override {}
    void directoryModified(const DirNameEntry*, const Attributes*, const Acl*) override {}
    void listenerDisconnected() override { connected = false; }
    void listenerConnected() override { connected = true; }
    std::atomic<bool> connected{false};
};

TEST_F(DirectoryTest, ADisposedSessionsListenersNeverTouchItsSweptRootProvider) {
    // A session whose remote root provider locked it to itself gives its pin
    // up when disposed, so that the provider can idle out; the session's
    // listeners stay until then and are retried after every sweep.
    TestSPI other("other");
    Registry::registerObject("other", &other);
    int err = -1;
    Directory* ending = Directory::startClientDirectoryService("ending", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, ending);
    DirectorySPI* endingRoot = ending->spi;
    ConnectWatch watch;
    DirName* name = parse("jump:/x:");
    ASSERT_EQ(0, ending->addListener(name, &watch, &err));
    delete name;
    for (int i = 0; i < 1000 && !watch.connected; i++) usleep(5000);
    ASSERT_TRUE(watch.connected);
    // Its provider went away and came back: the listener waits for a retry.
    Directory::processDisconnect(&other);
    ASSERT_FALSE(watch.connected);
    ending->lockToSPI(ending->spi);
    Directory::dispose(ending);

    LogCapture logs;
    Directory::testIdleProviders();
    ASSERT_TRUE(endingRoot->isMarkedForDeletion());
    // The retry must not lock the marked root provider (nor, once the next
    // sweep has deleted it, read it): it fails like a lost connection.
    Directory::retryListeners();
    EXPECT_FALSE(watch.connected);
    EXPECT_EQ(0, endingRoot->lockCount());
    Directory::testIdleProviders();
    EXPECT_EQ(nullptr, findEntry("Dending"));
    char logout[64];
    snprintf(logout, sizeof(logout), "session = %p", static_cast<void*>(ending));
    EXPECT_TRUE(logs.contains(logout));
    EXPECT_FALSE(logs.contains("assertion failure"));
    Registry::unregisterObject(&other);
}

TEST_F(DirectoryTest, AProviderTheSweepMarkedMayStillBeLockedByItsOwnCallbacks) {
    // A remote provider's connect that fails just after the sweep marked
    // it reloads its asset under a lock of its own, and then sees the mark;
    // only a resolution may never take a marked provider.
    EXPECT_EQ(0, attrs(dir, "//domain:name=late/a:"));
    DirectorySPI* late = findEntry("Dlate")->spi;
    Directory::testIdleProviders();
    ASSERT_TRUE(late->isMarkedForDeletion());
    LogCapture logs;
    late->addLock();
    Directory::testIdleProviders();  // locked: kept
    EXPECT_EQ(late, findEntry("Dlate")->spi);
    late->removeLock();
    Directory::testIdleProviders();
    EXPECT_EQ(nullptr, findEntry("Dlate"));
    EXPECT_FALSE(logs.contains("assertion failure"));
}

TEST_F(DirectoryTest, AListenerCallbackMayResolveThroughItsSessionsRoot) {
    // Callbacks run under the listener lock; one that looks at an object by
    // a relative name takes no lock the listener lock must not be held for.
    int err = -1;
    Directory* session = Directory::startClientDirectoryService("cb", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, session);
    struct Lookup : ConnectWatch {
        void listenerConnected() override {
            int err = -1;
            Attributes* a = session->getAttributes(name, &err);
            result = err;
            delete a;
            connected = true;
        }
        Directory* session = nullptr;
        DirName* name = nullptr;
        std::atomic<int> result{-1};
    } lookup;
    lookup.session = session;
    lookup.name = parse("thing:");
    DirName* name = parse("x:");
    LogCapture logs;
    ASSERT_EQ(0, session->addListener(name, &lookup, &err));
    delete name;
    for (int i = 0; i < 1000 && !lookup.connected; i++) usleep(5000);
    EXPECT_TRUE(lookup.connected);
    EXPECT_EQ(0, lookup.result.load());
    EXPECT_FALSE(logs.contains("assertion failure"));
    session->removeListener(&lookup);
    delete lookup.name;
    delete session;
}

TEST_F(DirectoryTest, LockCountsStayBalancedUnderResolversAndASweeper) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    int deletedBefore = g_deleted;
    std::thread sweeper([&] {
        while (!stop) Directory::testIdleProviders();
    });
    std::vector<std::thread> resolvers;
    for (int t = 0; t < 8; t++) {
        resolvers.emplace_back([&, t] {
            const char* names[] = {"//domain:name=c/a:", "//temp:hostname=t,port=1/a:", "/a:/b:"};
            for (int i = 0; i < 400; i++)
                if (attrs(dir, names[(i + t) % 3]) != 0) failures++;
        });
    }
    for (std::thread& r : resolvers) r.join();
    stop = true;
    sweeper.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, root.lockCount());
    {
        CriticalSection cs(Directory::_providerCb);
        for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
            EXPECT_EQ(0, e->spi->lockCount()) << e->key;
    }
    Directory::testIdleProviders();
    Directory::testIdleProviders();
    EXPECT_EQ(remote.opened.load(), g_deleted.load() - deletedBefore);
    EXPECT_EQ(0, g_deletedWhileLocked.load());
}

TEST_F(DirectoryTest, SubstitutedPrincipalsBelongToOneThread) {
    Principal alice("0`alice,x`", "home", nullptr, 1);
    dir->substituteUser(&alice);
    char user[64] = "";
    ASSERT_NE(nullptr, dir->findPrincipal());
    dir->findPrincipal()->getLoginUser(user, sizeof(user));
    EXPECT_STREQ("alice", user);
    const Principal* seenElsewhere = &alice;
    std::thread([&] { seenElsewhere = dir->findPrincipal(); }).join();
    EXPECT_EQ(dir->principal, seenElsewhere);
    dir->revertUser();
    EXPECT_EQ(dir->principal, dir->findPrincipal());
}

TEST_F(DirectoryTest, ReauthenticationRunsOnTheSessionsOwnProvider) {
    int err = -1;
    Any* greeting = dir->authenticateAlternateUser("carol", &err);
    ASSERT_EQ(0, err);
    ASSERT_NE(nullptr, greeting);
    EXPECT_STREQ("hello carol", greeting->getString());
    delete greeting;

    // A relogin answer that is not a principal leaves the session's in place.
    const Principal* before = dir->principal;
    dir->relogin(&err);
    EXPECT_EQ(DirError::E_IO, err);
    EXPECT_EQ(before, dir->principal);

    // A principal replaces the session's, while another thread copies the
    // session's principal as every request does.
    root.reloginPrincipal = true;
    std::atomic<bool> stop{false};
    std::atomic<long> copies{0};
    std::thread copier([&] {
        while (!stop) {
            Principal copy(*dir->findPrincipal());
            copies += copy.security != nullptr ? 1 : 0;
        }
    });
    for (int i = 0; i < 200; i++) {
        dir->relogin(&err);
        ASSERT_EQ(0, err);
    }
    stop = true;
    copier.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_STREQ("home", dir->principal->domain);
    EXPECT_EQ(200, dir->principal->session);
    root.reloginPrincipal = false;
}

TEST(DirectoryObject, EqualObjectsHashAlikeAndCopiesAreEqual) {
    Any* v1 = new Any();
    v1->set("n/eth0");
    DirectoryObject a("Gx", v1);
    DirectoryObject copy(a);
    EXPECT_TRUE(a == copy);
    EXPECT_EQ(a.hashValue(), copy.hashValue());
    EXPECT_NE(a.className, copy.className);

    Any* v2 = new Any();
    v2->set("n/eth1");
    DirectoryObject b("Gx", v2);
    DirectoryObject c("Gy", new Any(*a.value));
    DirectoryObject bare("Gx", nullptr);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == c);
    EXPECT_FALSE(a == bare);
    EXPECT_TRUE(bare == DirectoryObject("Gx", nullptr));
    EXPECT_NE(a.hashValue(), b.hashValue());
}

}  // namespace
