// The provider base class: what every provider gets without writing it (its
// own domain identifier and the default operations).
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory_spi.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "tests/dir/stub_spi.h"
#include "tests/support/guid_format.h"

namespace {

// Records what reaches attachListener; the rest is the base's own.
class Provider : public ClassSPI {
public:
    int attachListener(const Principal* principal, Connection* connection, const DirectoryObject* object,
                       const DirNameEntry* filter, int listenerId, bool multi) override {
        attached++;
        seen = {principal, connection, object, filter, listenerId, multi};
        return DirectorySPI::attachListener(principal, connection, object, filter, listenerId, multi);
    }

    struct Attach {
        const Principal* principal;
        Connection* connection;
        const DirectoryObject* object;
        const DirNameEntry* filter;
        int listenerId;
        bool multi;
    };
    int attached = 0;
    Attach seen{};
};

TEST(DirectorySPI, EveryProviderGetsADomainOfItsOwn) {
    Provider first;
    Provider second;
    for (const Provider* p : {&first, &second}) {
        const char* guid = p->getDomainGuid();
        ASSERT_NE(nullptr, guid);
        EXPECT_EQ('G', guid[0]);
        EXPECT_TRUE(looksLikeGuid(guid + 1)) << guid;
    }
    EXPECT_STRNE(first.getDomainGuid(), second.getDomainGuid());
}

TEST(DirectorySPI, DefaultsServeNothingAndLeaveTheCallersValues) {
    Provider provider;
    DirectoryObject object("G-any", nullptr);

    ClassEnumeration classes;
    classes.append("kept");
    EXPECT_EQ(0, provider.list(nullptr, &object, &classes));
    ASSERT_TRUE(classes.next()) << "the caller's entry must stay";
    EXPECT_FALSE(classes.next()) << "nothing may be added";

    Input* input = reinterpret_cast<Input*>(&object);
    Output* output = reinterpret_cast<Output*>(&object);
    EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, provider.openForRead(nullptr, &object, "/etc/hosts", &input));
    EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, provider.openForWrite(nullptr, &object, &output));
    EXPECT_EQ(reinterpret_cast<Input*>(&object), input);
    EXPECT_EQ(reinterpret_cast<Output*>(&object), output);

    EXPECT_FALSE(provider.isIdle());
    EXPECT_FALSE(provider.isNetworkSPI());
    provider.closeDirectory();
    char* text = provider.toString();
    EXPECT_STREQ("generic SPI", text);
    free(text);
}

TEST(DirectorySPI, ListenAttachesASingleListenerWithoutAConnection) {
    Provider provider;
    DirectoryObject object("G-any", nullptr);
    DirNameEntry filter("networkAdapter");
    const Principal* principal = reinterpret_cast<const Principal*>(&filter);

    EXPECT_EQ(0, provider.listen(principal, &object, &filter, 7));
    ASSERT_EQ(1, provider.attached);
    EXPECT_EQ(principal, provider.seen.principal);
    EXPECT_EQ(nullptr, provider.seen.connection);
    EXPECT_EQ(&object, provider.seen.object);
    EXPECT_EQ(&filter, provider.seen.filter);
    EXPECT_EQ(7, provider.seen.listenerId);
    EXPECT_FALSE(provider.seen.multi);
}

}  // namespace
