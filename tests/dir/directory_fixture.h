// The directory tests' fixture: a provider that resolves every entry by
// its class, a stand-in for the remote provider library that "opens" such
// providers for domains, hosts and assets, and a server session over one.
// Included by one test file each (its definitions are file-local).
#ifndef DRV_TESTS_DIR_DIRECTORY_FIXTURE_H
#define DRV_TESTS_DIR_DIRECTORY_FIXTURE_H
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
#include "tests/dir/remote_seam_stub.h"
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
class FakeRemote : public RemoteSeamStub {
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

}  // namespace

#endif
