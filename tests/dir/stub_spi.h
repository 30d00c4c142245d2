// StubSPI: a directory provider that finds nothing and runs nothing, for
// tests whose provider only needs to resolve (or do one thing more): a
// search lists nothing, an execute is not implemented, and attributes and
// ACLs are absent. Subclasses override what their test is about.
#ifndef DRV_TESTS_DIR_STUB_SPI_H
#define DRV_TESTS_DIR_STUB_SPI_H

#include "common/error_codes.h"
#include "dir/directory_spi.h"
#include "dirbase/dir_name.h"

class StubSPI : public DirectorySPI {
public:
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration*) override {
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) override {
        return DirError::E_NOT_IMPLEMENTED;
    }
    int getAttributes(const Principal*, DirectoryObject*, Attributes*& out) override {
        out = nullptr;
        return 0;
    }
    int getAcl(const Principal*, DirectoryObject*, Acl*& out) override {
        out = nullptr;
        return 0;
    }
};

// ClassSPI: a StubSPI that resolves every entry to an object of its class,
// for tests that only need somewhere to attach or resolve through.
class ClassSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
};

#endif
