// The module as the host sees it: loaded with dlopen, entered through
// moduleMain, and used as the "networkAdapter" directory provider.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "dir/search_helper.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "module/net_module.h"
#include "module/net_object.h"
#include "tests/support/module_loader.h"

namespace {

DirectorySPI* provider() {
    return HostSPI::findProvider("networkAdapter");
}

TEST(NetModule, EntryRegistersThenFederatesAndReturnsTheHostsResult) {
    const LoadedModule& module = loadModule();
    for (int result : {0, 76, 0}) {
        HostSPI::setFederateResult(result);
        size_t before = hostCallLog().size();
        EXPECT_EQ(result, module.moduleMain());

        const std::vector<std::string>& calls = hostCallLog();
        ASSERT_EQ(before + 2, calls.size());
        EXPECT_EQ("register:Network", calls[before]);
        EXPECT_EQ("federate:networkAdapter", calls[before + 1]);

        const HostSPI::Federation& last = HostSPI::federations().back();
        EXPECT_FALSE(last.flag);
        EXPECT_EQ(static_cast<DirectorySPI*>(*module.instance), last.provider);
        Dravika* host = Dravika::instance();
        EXPECT_EQ(static_cast<ManagedObjectManager*>((*module.instance)->getManager()),
                  host->getManager(host->getManagerCount() - 1));
        EXPECT_STREQ("Network", host->getManager(host->getManagerCount() - 1)->getName());
    }
    HostSPI::setFederateResult(0);
}

TEST(NetModule, ResolveBuildsTheAdapterKeyUnderTheProvidersDomain) {
    loadModule().moduleMain();
    DirectorySPI* spi = provider();
    ASSERT_NE(nullptr, spi);
    const char* guid = spi->getDomainGuid();
    ASSERT_NE(nullptr, guid);

    DirNameEntry eth0("networkAdapter", "name", "eth0");
    DirectoryObject* out = nullptr;
    ASSERT_EQ(0, spi->resolve(nullptr, nullptr, nullptr, &eth0, out));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ(guid, out->className);
    EXPECT_NE(guid, out->className) << "the object must hold its own copy";
    ASSERT_NE(nullptr, out->value);
    EXPECT_EQ(ANY_STRING, out->value->getType());
    EXPECT_STREQ("n/eth0", out->value->getString());
    EXPECT_EQ(OBJ_DIRECTORYOBJECT_ID, out->getObjectID());
    delete out;

    // The key buffer holds 79 characters.
    std::string longName(100, 'x');
    DirNameEntry longEntry("networkAdapter", "name", longName.c_str());
    ASSERT_EQ(0, spi->resolve(nullptr, nullptr, nullptr, &longEntry, out));
    EXPECT_EQ("n/" + longName.substr(0, 77), out->value->getString());
    delete out;

    // Another class, even one that differs only in case, still gets an
    // object under the domain, without a key text.
    DirNameEntry upper("NetworkAdapter", "name", "eth0");
    ASSERT_EQ(0, spi->resolve(nullptr, nullptr, nullptr, &upper, out));
    EXPECT_STREQ(guid, out->className);
    EXPECT_EQ(nullptr, out->value->getString());
    delete out;

    // No entry at all is answered the same way instead of crashing.
    out = nullptr;
    ASSERT_EQ(0, spi->resolve(nullptr, nullptr, nullptr, nullptr, out));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ(guid, out->className);
    ASSERT_NE(nullptr, out->value);
    EXPECT_EQ(nullptr, out->value->getString());
    delete out;
}

TEST(NetModule, ServesNothingButNames) {
    loadModule().moduleMain();
    DirectorySPI* spi = provider();
    ASSERT_NE(nullptr, spi);

    DirectoryObject object("G-any", nullptr);
    EXPECT_EQ(21, spi->execute(nullptr, &object, "reset", nullptr, nullptr));
    // Nor is there anything to open, either way.
    Input* input = nullptr;
    Output* output = nullptr;
    EXPECT_EQ(21, spi->openForRead(nullptr, &object, "statistics", &input));
    EXPECT_EQ(21, spi->openForWrite(nullptr, &object, &output));
    EXPECT_EQ(nullptr, input);
    EXPECT_EQ(nullptr, output);

    // The out-parameters stay exactly as the caller set them.
    Attributes callersAttributes;
    callersAttributes.setAttribute("kept", 1);
    Acl callersAcl("K`owner");
    Attributes* attributes = &callersAttributes;
    Acl* acl = &callersAcl;
    EXPECT_EQ(0, spi->getAttributes(nullptr, &object, attributes));
    EXPECT_EQ(0, spi->getAcl(nullptr, &object, acl));
    EXPECT_EQ(&callersAttributes, attributes);
    EXPECT_EQ(&callersAcl, acl);
    EXPECT_EQ(1, callersAttributes.size());

    // A search adds nothing, whichever class it is for.
    DirectoryEnumeration enumeration;
    SearchHelper all;
    SearchHelper adapters;
    adapters.className = strdup("networkAdapter");
    for (SearchHelper* helper : {&all, &adapters}) {
        DirNameEntry entry("networkAdapter");
        EXPECT_EQ(0, spi->search(nullptr, nullptr, helper, &object, &entry, nullptr, &enumeration));
    }
    EXPECT_EQ(0, enumeration.size());
}

}  // namespace
