// Matching a change against a provider-side listener record: the class
// exactly, then each filter attribute from the changed entry first and the
// attribute set sent with the change second, compared by value. A remote
// client chooses its filter, so a long one must cost no more than its length
// for every change the provider reports, and many records of one client no
// more than their count.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "coms/connection.h"
#include "dir/directory_spi.h"
#include "dir/listener.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "tests/dir/listener_support.h"
#include "tests/dir/stub_spi.h"

namespace {

// A record as attachListener keeps it, for the filter alone.
DirectorySPI::DirListenerEntry record(DirNameEntry* filter) {
    return DirectorySPI::DirListenerEntry{nullptr, nullptr, filter, nullptr, 1, false, nullptr};
}

TEST(ListenerMatch, ClassThenEveryFilterAttribute) {
    DirNameEntry filter("host", "os", "linux");
    filter.setAttribute("rack", 4);
    DirectorySPI::DirListenerEntry r = record(&filter);

    DirNameEntry both("host", "os", "linux");
    both.setAttribute("rack", 4);
    EXPECT_TRUE(DirectorySPI::matchingNotify(&r, &both, nullptr));

    // rack only in the set sent along; the entry's own os wins over the set's.
    DirNameEntry osOnly("host", "os", "linux");
    Attributes sent;
    sent.setAttribute("rack", 4, 0);
    sent.setAttribute("os", "aix", 0);
    EXPECT_TRUE(DirectorySPI::matchingNotify(&r, &osOnly, &sent));
    EXPECT_FALSE(DirectorySPI::matchingNotify(&r, &osOnly, nullptr));

    DirNameEntry otherRack("host", "os", "linux");
    otherRack.setAttribute("rack", 5);
    EXPECT_FALSE(DirectorySPI::matchingNotify(&r, &otherRack, nullptr));

    DirNameEntry plural("hosts", "os", "linux");
    plural.setAttribute("rack", 4);
    EXPECT_FALSE(DirectorySPI::matchingNotify(&r, &plural, nullptr));

    DirNameEntry bare("host");
    DirectorySPI::DirListenerEntry any = record(&bare);
    EXPECT_TRUE(DirectorySPI::matchingNotify(&any, &otherRack, nullptr));
}

TEST(ListenerMatch, ALongFilterCostsLinearTime) {
    const int kConditions = 60000;
    DirNameEntry filter("host");
    for (int i = 0; i < kConditions; i++) filter.setAttribute("os", "linux");
    DirNameEntry lastDiffers(filter);
    filter.setAttribute("rack", 4);
    lastDiffers.setAttribute("rack", 5);
    DirectorySPI::DirListenerEntry r = record(&filter);
    DirectorySPI::DirListenerEntry other = record(&lastDiffers);

    DirNameEntry changed("host", "os", "linux");
    changed.setAttribute("rack", 4);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(DirectorySPI::matchingNotify(&r, &changed, nullptr));
    EXPECT_FALSE(DirectorySPI::matchingNotify(&other, &changed, nullptr));
    // Wide: the square of the count takes minutes even without a sanitizer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(ListenerMatch, ManyRecordsOfOneClientCostLinearTime) {
    // No execution thread runs here, so each attach is recorded at once.
    Connection::comsInit();
    Connection* client = Connection::create("127.0.0.1", "1", nullptr, nullptr, 448);
    ASSERT_NE(nullptr, client);
    int base = client->getLockCount();
    ClassSPI spi, otherSpi;
    DirectoryObject zone("zone", nullptr);
    DirNameEntry filter("host");

    const int kListeners = 100000;
    auto start = std::chrono::steady_clock::now();
    for (int id = 1; id <= kListeners; id++) spi.attachListener(nullptr, client, &zone, &filter, id, true);
    // Wide: the square of the count takes minutes even without a sanitizer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(kListeners, recordsOf(client));

    // Asked twice, a listener keeps one record; the same id on another
    // provider is another listener.
    spi.attachListener(nullptr, client, &zone, &filter, kListeners / 2, true);
    otherSpi.attachListener(nullptr, client, &zone, &filter, kListeners / 2, true);
    EXPECT_EQ(kListeners + 1, recordsOf(client));
    EXPECT_EQ(base + kListeners + 1, client->getLockCount());

    DirectorySPI::closeListenersOnLost(client);
    EXPECT_EQ(0, recordsOf(client));
    EXPECT_EQ(base, client->getLockCount());
    // Closed, the same listener may be recorded again.
    spi.attachListener(nullptr, client, &zone, &filter, 7, false);
    EXPECT_EQ(1, recordsOf(client));
    DirectorySPI::closeListenersOnLost(client);
    EXPECT_EQ(base, client->getLockCount());
    Connection::destroy(client);
}

}  // namespace
