// The ends of sessions and providers: disposes that wait for a provider,
// listeners of a session that is going, and the locks a provider's own
// callbacks or a listener's take while the sweep is at work.
#include "tests/dir/directory_fixture.h"
#include "tests/dir/listener_support.h"

namespace {

// The line the sweep logs when it finishes the dispose of session d.
std::string logoutLine(const Directory* d) {
    char line[64];
    snprintf(line, sizeof(line), "session = %p", static_cast<const void*>(d));
    return line;
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
    std::string logout = logoutLine(leaving);

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
    std::string logout = logoutLine(first);

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
    ChangeLines watch;
    DirName* name = parse("jump:/x:");
    ASSERT_EQ(0, ending->addListener(name, &watch, &err));
    delete name;
    ASSERT_TRUE(watch.waitConnected());
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
    EXPECT_TRUE(logs.contains(logoutLine(ending)));
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
    struct Lookup : ChangeLines {
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
    EXPECT_TRUE(lookup.waitConnected());
    EXPECT_EQ(0, lookup.result.load());
    EXPECT_FALSE(logs.contains("assertion failure"));
    session->removeListener(&lookup);
    delete lookup.name;
    delete session;
}

}  // namespace
