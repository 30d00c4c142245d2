// The directory core: name resolution through the provider list, its error
// codes and its cost for deep names, provider sharing, the idle sweep and the
// lock counts that keep a provider alive under a resolution.
#include <chrono>

#include "tests/dir/directory_fixture.h"
#include "tests/dir/stub_spi.h"

namespace {

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
    DirectorySPI* old = client->spi;
    delete client;
    Directory::testIdleProviders();
    ASSERT_TRUE(old->isMarkedForDeletion());
    // A login never takes a provider the sweep has marked either.
    Directory* again = Directory::startClientDirectoryService("pinned", "h", "1", nullptr, nullptr, &err);
    ASSERT_NE(nullptr, again);
    EXPECT_NE(old, again->spi);
    EXPECT_FALSE(again->spi->isMarkedForDeletion());
    EXPECT_EQ(0, attrs(again, "/a:"));
    delete again;
    Directory::testIdleProviders();
    EXPECT_EQ(deleted + 4, g_deleted.load());
    EXPECT_EQ(0, g_deletedWhileLocked.load());
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

TEST_F(DirectoryTest, TwoOpensOfOneDomainAtOnceShareOneProviderAndNeverHandOutTheSpare) {
    // Both logins miss the list and build a provider each; the second to be
    // listed gives way, and the one it built is closed and swept. While the
    // spare is being closed, a third login and a resolution of the same
    // domain must get the provider kept.
    std::atomic<int> inside{0};
    remote.whileOpening = [&] {
        inside++;
        // Generous: the other login may be slow to start on a loaded machine,
        // and the first must still be inside when it comes.
        for (int i = 0; i < 10000 && inside.load() < 2; i++) usleep(2000);
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
    ASSERT_EQ(2, remote.opened.load());
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(a->spi, b->spi);
    {
        CriticalSection cs(Directory::_providerCb);
        for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
            EXPECT_EQ(e->spi == a->spi ? 2 : 0, e->pinCount);
    }
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
    std::thread([&] { seenElsewhere = dir->findPrincipal().get(); }).join();
    EXPECT_EQ(dir->principal.get(), seenElsewhere);
    dir->revertUser();
    EXPECT_EQ(dir->principal, dir->findPrincipal());
}

// A resolution keeps the principal that was in force when it began: the
// session's own is shared (no copy per request) and outlives a relogin that
// replaces it; a thread's substitute, which goes when the substitution
// ends, is copied.
TEST_F(DirectoryTest, ResolutionKeepsThePrincipalItBeganWith) {
    std::shared_ptr<const Principal> before = dir->findPrincipal();
    ASSERT_NE(nullptr, before);
    const long long session = before->session;
    {
        ResolveContext rc(dir, nullptr, dir->findPrincipal());
        EXPECT_EQ(before.get(), rc.principal);
        std::atomic_store(&dir->principal, std::make_shared<const Principal>("0`bob,x`", "home", nullptr, session + 1));
        before.reset();
        ASSERT_NE(nullptr, rc.principal);
        EXPECT_EQ(session, rc.principal->session);
    }
    char user[64] = "";
    Principal alice("0`alice,x`", "home", nullptr, 1);
    dir->substituteUser(&alice);
    ResolveContext rc(dir, nullptr, dir->findPrincipal());
    dir->revertUser();
    ASSERT_NE(nullptr, rc.principal);
    EXPECT_EQ(0, rc.principal->getLoginUser(user, sizeof(user)));
    EXPECT_STREQ("alice", user);
}

// A process may hold more sessions than the system has thread-specific
// keys (1024 on Linux): every one of them still keeps its own substituted
// principal, and none reads another's.
TEST_F(DirectoryTest, SubstitutionHoldsForMoreSessionsThanThreadKeys) {
    const int kSessions = PTHREAD_KEYS_MAX + 100;
    std::vector<Directory*> sessions;
    for (int i = 0; i < kSessions; i++) {
        int err = 0;
        sessions.push_back(Directory::startServerDirectoryService(&root, nullptr, nullptr, "home", &err));
    }
    std::vector<std::unique_ptr<Principal>> users;
    for (int i = 0; i < kSessions; i++) {
        std::string text = "0`u" + std::to_string(i) + ",x`";
        users.emplace_back(new Principal(text.c_str(), "home", nullptr, i));
        sessions[i]->substituteUser(users.back().get());
    }
    int wrong = 0;
    for (int i = 0; i < kSessions; i++) {
        std::shared_ptr<const Principal> p = sessions[i]->findPrincipal();
        if (p == nullptr || p->security == nullptr || strcmp(p->security, users[i]->security) != 0) wrong++;
    }
    EXPECT_EQ(0, wrong);
    // The fixture's session, never substituted, still answers its own.
    EXPECT_EQ(dir->principal, dir->findPrincipal());
    for (Directory* d : sessions) {
        d->revertUser();
        EXPECT_EQ(d->principal, d->findPrincipal());
    }
    for (Directory* d : sessions) Directory::dispose(d);
}

TEST_F(DirectoryTest, ReauthenticationRunsOnTheSessionsOwnProvider) {
    int err = -1;
    Any* greeting = dir->authenticateAlternateUser("carol", &err);
    ASSERT_EQ(0, err);
    ASSERT_NE(nullptr, greeting);
    EXPECT_STREQ("hello carol", greeting->getString());
    delete greeting;

    // A relogin answer that is not a principal leaves the session's in place.
    const Principal* before = dir->principal.get();
    dir->relogin(&err);
    EXPECT_EQ(DirError::E_IO, err);
    EXPECT_EQ(before, dir->principal.get());

    // A principal replaces the session's, while another thread copies the
    // session's principal as every request does.
    root.reloginPrincipal = true;
    std::atomic<bool> stop{false};
    std::atomic<long> copies{0};
    std::thread copier([&] {
        while (!stop) {
            Principal copy(*dir->findPrincipal());
            copies++;
        }
    });
    // The relogins must overlap the copies, also on a loaded machine.
    for (int i = 0; i < 20000 && copies.load() == 0; i++) usleep(1000);
    for (int i = 0; i < 200; i++) {
        dir->relogin(&err);
        ASSERT_EQ(0, err);
    }
    stop = true;
    copier.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_STREQ("home", dir->principal->domain);
    EXPECT_EQ(200, dir->principal->session);

    // A replaced principal stays readable while a reader holds it, and is
    // freed once nobody does.
    std::shared_ptr<const Principal> held = dir->findPrincipal();
    std::weak_ptr<const Principal> replaced = held;
    dir->relogin(&err);
    ASSERT_EQ(0, err);
    EXPECT_NE(held, dir->findPrincipal());
    EXPECT_EQ(200, held->session);
    held.reset();
    EXPECT_TRUE(replaced.expired());
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

// Resolves every entry to an object of its class, counting the steps.
class DeepSPI : public ClassSPI {
public:
    int resolve(const Endpoint* e, const Principal* p, DirectoryObject* o, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        steps++;
        return ClassSPI::resolve(e, p, o, entry, out);
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject* current, const DirNameEntry*,
               char*, DirectoryEnumeration*) override {
        searchedBelow = current != nullptr && current->className != nullptr ? current->className : "";
        return 0;
    }
    int getAttributes(const Principal*, DirectoryObject* object, Attributes*& out) override {
        out = new Attributes();
        out->setAttribute("class", object->className, 0);
        return 0;
    }
    long steps = 0;
    std::string searchedBelow;
};

// Resolving a long name steps through its entries once: a script may build a
// name of any depth, and a provider that resolves every step (a file tree)
// must not make each step cost the depth reached so far.
TEST(ResolveCost, ADeepNameCostsLinearTime) {
    DeepSPI spi;
    int err = -1;
    Directory* dir = Directory::startServerDirectoryService(&spi, nullptr, nullptr, "deep", &err);
    ASSERT_NE(nullptr, dir);
    const int kDepth = 100000;
    std::string text;
    for (int i = 0; i < kDepth; i++) text += "/dir:";
    text += "/leaf:";
    DirName* name = DirName::createFromString(text.c_str(), &err);
    ASSERT_NE(nullptr, name) << err;
    ASSERT_EQ(kDepth + 1, name->size());

    auto start = std::chrono::steady_clock::now();
    Attributes* attributes = dir->getAttributes(name, &err);
    ASSERT_EQ(0, err);
    ASSERT_NE(nullptr, attributes);
    EXPECT_STREQ("leaf", attributes->getStringAttribute("class"));
    delete attributes;
    EXPECT_EQ(kDepth + 1, spi.steps);

    DirectoryEnumeration* found = dir->search(name, nullptr, &err);
    EXPECT_EQ(0, err);
    delete found;
    EXPECT_EQ("dir", spi.searchedBelow);
    EXPECT_EQ(2L * kDepth + 1, spi.steps);
    // Wide: the square of the depth takes minutes even without a sanitizer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    delete name;
    delete dir;
}

}  // namespace
