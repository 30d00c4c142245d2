// Resolving a long name steps through its entries once: a script may build a
// name of any depth, and a provider that resolves every step (a file tree)
// must not make each step cost the depth reached so far.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "tests/dir/stub_spi.h"

namespace {

// Resolves every entry to an object of its class, counting the steps.
class DeepSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        steps++;
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
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
