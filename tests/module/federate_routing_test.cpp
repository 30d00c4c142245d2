// Federation routes: a name whose entry has a federated class reaches the
// provider that federated it, through the host's root and the directory,
// and the network module's provider keeps its own answers there.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/resolve_context.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "hostrt/dravika.h"
#include "hostrt/host_directory.h"
#include "module/net_module.h"
#include "tests/support/module_loader.h"

namespace {

// Answers for class "probe" and remembers the objects it was asked about.
class Probe : public DirectorySPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject* current, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        resolves++;
        std::string path = current != nullptr && current->value != nullptr && current->value->getString() != nullptr
                               ? std::string(current->value->getString()) + "/"
                               : "";
        Any* v = new Any();
        v->set((path + entry->getClassName()).c_str());
        out = new DirectoryObject(getDomainGuid(), v);
        return 0;
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration* result) override {
        result->append(new DirNameEntry("probe", "name", "found"), nullptr, nullptr);
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) override { return 0; }
    int getAttributes(const Principal*, DirectoryObject* object, Attributes*& out) override {
        out = new Attributes();
        out->setAttribute("path", object->value->getString());
        return 0;
    }
    int getAcl(const Principal*, DirectoryObject*, Acl*&) override { return 0; }

    int resolves = 0;
};

DirName* parse(const char* text) {
    int err = 0;
    DirName* n = DirName::createFromString(text, &err);
    EXPECT_NE(nullptr, n) << text;
    return n;
}

class FederateRouting : public ::testing::Test {
protected:
    void SetUp() override {
        HostSPI::setFederateResult(0);
        ASSERT_EQ(0, loadModule().moduleMain());
        int err = -1;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "host", &err);
    }
    void TearDown() override { delete dir; }

    HostDirectorySPI root;
    Directory* dir = nullptr;
};

TEST_F(FederateRouting, AdapterNamesReachTheModuleAndKeepItsAnswers) {
    DirectorySPI* adapters = static_cast<DirectorySPI*>(*loadModule().instance);
    DirName* name = parse("/networkAdapter:name=eth0");
    {
        ResolveContext rc(dir, name, dir->findPrincipal());
        ASSERT_EQ(0, dir->resolveToObject(&rc, nullptr, nullptr, nullptr));
        EXPECT_STREQ(adapters->getDomainGuid(), rc.current->className);
        EXPECT_STREQ("n/eth0", rc.current->value->getString());
        EXPECT_EQ(adapters, HostDirectorySPI::ownerOf(rc.current));
        // The module's execute answers for its objects through the root.
        EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, root.execute(rc.principal, rc.current, "anything", nullptr, nullptr));
    }
    int err = -1;
    Attributes* a = dir->getAttributes(name, &err);
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, a);
    Acl* acl = dir->getAcl(name, &err);
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, acl);
    delete name;

    for (const char* pattern : {"/networkAdapter:", "/<network.*>:"}) {
        name = parse(pattern);
        DirectoryEnumeration* found = dir->search(name, nullptr, &err);
        EXPECT_EQ(0, err) << pattern;
        ASSERT_NE(nullptr, found);
        EXPECT_EQ(0, found->size());
        delete found;
        delete name;
    }

    name = parse("/");
    ClassEnumeration* classes = dir->list(name, &err);
    ASSERT_NE(nullptr, classes);
    bool listed = false;
    while (classes->next()) listed = listed || strcmp(classes->getClass(), "networkAdapter") == 0;
    EXPECT_TRUE(listed);
    delete classes;
    delete name;
}

TEST_F(FederateRouting, DeeperNamesStayWithTheFederatedProviderAndRefusalsDoNotRoute) {
    static Probe probe;  // federations last as long as the process
    ASSERT_EQ(0, HostSPI::federate("probe", false, &probe));
    DirName* name = parse("/probe:/inner:");
    int err = -1;
    Attributes* a = dir->getAttributes(name, &err);
    ASSERT_EQ(0, err);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("probe/inner", a->getAttribute("path")->getString());
    EXPECT_EQ(2, probe.resolves);
    delete a;
    delete name;

    // A pattern that matches the class reaches the provider; a search on the
    // network module's class never does.
    name = parse("/<pro.*>:");
    DirectoryEnumeration* found = dir->search(name, nullptr, &err);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(1, found->size());
    // The list keeps its own copy of the searched name and knows its session
    // (an expression class prints without its angle brackets).
    delete name;
    name = nullptr;
    ASSERT_NE(nullptr, found->getSearchName());
    char* searched = found->getSearchName()->toString(nullptr);
    EXPECT_STREQ("/pro.*:", searched);
    free(searched);
    EXPECT_EQ(dir, found->getDirectory());
    delete found;

    static Probe refused;
    HostSPI::setFederateResult(76);
    EXPECT_EQ(76, HostSPI::federate("refused", false, &refused));
    HostSPI::setFederateResult(0);
    name = parse("/refused:");
    EXPECT_EQ(nullptr, dir->getAttributes(name, &err));
    EXPECT_EQ(DirError::E_OBJECT_NOT_FOUND, err);
    EXPECT_EQ(0, refused.resolves);
    delete name;
}

// A provider that federates its class again (started once more after a
// stop) is still one route: the root lists the class once, and a search
// asks the provider once.
TEST_F(FederateRouting, AClassFederatedTwiceByOneProviderIsOneRoute) {
    static Probe again;
    ASSERT_EQ(0, HostSPI::federate("again", false, &again));
    ASSERT_EQ(0, HostSPI::federate("again", false, &again));

    int err = -1;
    DirName* name = parse("/");
    ClassEnumeration* classes = dir->list(name, &err);
    ASSERT_NE(nullptr, classes);
    int listed = 0;
    while (classes->next())
        if (strcmp(classes->getClass(), "again") == 0) listed++;
    EXPECT_EQ(1, listed);
    delete classes;
    delete name;

    name = parse("/<agai.*>:");
    DirectoryEnumeration* found = dir->search(name, nullptr, &err);
    EXPECT_EQ(0, err);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(1, found->size());
    delete found;
    delete name;
}

}  // namespace
