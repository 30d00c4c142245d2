// The host runtime library as a module meets it: managers registered with
// the host and collected by it, with the host's present-in-this-scan marking
// kept up to date around each pass, and federation of directory providers.
// Arguments that a module could get wrong are refused with an error code.

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory_spi.h"
#include "hostrt/dravika.h"
#include "hostrt/managed_object.h"
#include "tests/dir/stub_spi.h"

namespace {

class NamedObject : public ManagedObject {
public:
    explicit NamedObject(const char* name) : name(name) {}
    std::string name;
};

// Marks what it finds the way the network manager does: an object it knows
// gets present 1 and absent 0, a new one is handed to the host.
class ScanningManager : public ManagedObjectManager {
public:
    explicit ScanningManager(const char* name) : ManagedObjectManager(name) {}

    RuleManager* createRuleManager(DomainContext*, ManagedObjectManager*) override { return nullptr; }
    using ManagedObjectManager::collectData;
    int collectData(StatEntry*) override {
        passes++;
        for (const std::string& n : visible) {
            NamedObject* o = find(n.c_str());
            if (o != nullptr) {
                o->present = 1;
                o->absent = 0;
            } else {
                addObject(new NamedObject(n.c_str()));
            }
        }
        return 0;
    }

    NamedObject* find(const char* name) const {
        for (ManagedObject* o = getFirstObject(); o != nullptr; o = o->getNext())
            if (static_cast<NamedObject*>(o)->name == name) return static_cast<NamedObject*>(o);
        return nullptr;
    }

    std::set<std::string> visible;
    int passes = 0;
};

// A provider that serves nothing; only its identity matters here.
class EmptyProvider : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry*,
                DirectoryObject*& out) override {
        out = nullptr;
        return 0;
    }
};

// Registered managers stay with the host for the process, as a module's do.
ScanningManager* registeredManager(const char* name) {
    auto* manager = new ScanningManager(name);
    EXPECT_EQ(0, Dravika::instance()->registerManagedObjectManager(manager));
    return manager;
}

TEST(HostRuntime, EachCollectionMarksPresentExactlyWhatItsPassFound) {
    ScanningManager* manager = registeredManager("presence");
    Dravika* host = Dravika::instance();

    manager->visible = {"eth0", "eth1"};
    host->collectAll(nullptr);
    ASSERT_EQ(2, manager->getObjectCount());
    // Objects created by the pass were found by it too.
    for (const char* name : {"eth0", "eth1"}) {
        EXPECT_EQ(1, manager->find(name)->present) << name;
        EXPECT_EQ(0, manager->find(name)->absent) << name;
    }

    // eth1 went away: its object stays, no longer marked present.
    manager->visible = {"eth0"};
    host->collectAll(nullptr);
    EXPECT_EQ(2, manager->getObjectCount());
    EXPECT_EQ(1, manager->find("eth0")->present);
    EXPECT_EQ(0, manager->find("eth0")->absent);
    EXPECT_EQ(0, manager->find("eth1")->present);
    EXPECT_EQ(1, manager->find("eth1")->absent);

    // And marked again once a pass finds it back.
    manager->visible = {"eth1"};
    host->collectAll(nullptr);
    EXPECT_EQ(0, manager->find("eth0")->present);
    EXPECT_EQ(1, manager->find("eth1")->present);
    EXPECT_EQ(0, manager->find("eth1")->absent);
}

TEST(HostRuntime, RegistrationRefusesNullAndRepeatedManagers) {
    Dravika* host = Dravika::instance();
    size_t calls = hostCallLog().size();
    int managers = host->getManagerCount();
    EXPECT_EQ(DirError::E_ILLEGAL_ARGUMENT, host->registerManagedObjectManager(nullptr));
    EXPECT_EQ(managers, host->getManagerCount());

    ScanningManager* manager = registeredManager("twice");
    EXPECT_EQ(DirError::E_ALREADY_EXISTS, host->registerManagedObjectManager(manager));
    EXPECT_EQ(managers + 1, host->getManagerCount());
    EXPECT_EQ(manager, host->getManager(managers));
    EXPECT_EQ(manager, host->findManager("twice"));
    // Asking past either end finds no manager rather than ending the host.
    EXPECT_EQ(nullptr, host->getManager(managers + 1));
    EXPECT_EQ(nullptr, host->getManager(-1));
    EXPECT_EQ(calls + 1, hostCallLog().size());

    // One registration, one collection per pass.
    host->collectAll(nullptr);
    EXPECT_EQ(1, manager->passes);

    // A null object is nothing to own.
    manager->addObject(nullptr);
    EXPECT_EQ(0, manager->getObjectCount());
    EXPECT_EQ(nullptr, manager->getFirstObject());
}

TEST(HostRuntime, FederationRefusesAMissingClassOrProvider) {
    // Federated providers stay with the host for the process, as a module's do.
    DirectorySPI* provider = new EmptyProvider();
    ASSERT_EQ(0, HostSPI::federate("hostRuntimeTest", false, provider));
    size_t federations = HostSPI::federations().size();
    size_t calls = hostCallLog().size();

    EXPECT_EQ(DirError::E_ILLEGAL_ARGUMENT, HostSPI::federate(nullptr, false, provider));
    // A null provider must not take the class over from the one that serves it.
    EXPECT_EQ(DirError::E_ILLEGAL_ARGUMENT, HostSPI::federate("hostRuntimeTest", false, nullptr));
    EXPECT_EQ(federations, HostSPI::federations().size());
    EXPECT_EQ(calls, hostCallLog().size());
    EXPECT_EQ(provider, HostSPI::routeFor("hostRuntimeTest"));
    EXPECT_EQ(provider, HostSPI::findProvider("hostRuntimeTest"));
}

}  // namespace
