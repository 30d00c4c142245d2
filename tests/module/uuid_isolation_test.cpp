// The module carries OSSP uuid, whose symbol names overlap those of the
// system's libuuid. This program links libuuid and nothing of the runtime, so
// a module that exported or borrowed uuid symbols would be caught here.
#include <uuid/uuid.h>

#include <string>

#include <gtest/gtest.h>

#include "dir/directory_spi.h"
#include "tests/support/guid_format.h"
#include "tests/support/module_loader.h"

namespace {

DirectorySPI* provider() {
    return HostSPI::findProvider("networkAdapter");
}

TEST(UuidIsolation, ModuleMakesGuidsWithItsOwnUuidLibrary) {
    // This program links the system's libuuid, whose symbol names overlap
    // OSSP uuid's; the module must still make its GUIDs with its own copy.
    uuid_t system;
    uuid_generate(system);
    EXPECT_EQ(0, uuid_compare(system, system));

    const LoadedModule& module = loadModule();
    module.moduleMain();
    std::string first = provider()->getDomainGuid();
    module.moduleMain();
    std::string second = provider()->getDomainGuid();
    EXPECT_TRUE(looksLikeGuid(first.c_str() + 1)) << first;
    EXPECT_TRUE(looksLikeGuid(second.c_str() + 1)) << second;
    EXPECT_NE(first, second);

    for (const char* hidden : {"uuid_create", "uuid_make", "uuid_compare", "uuid_export", "makeGuid", "_Z8makeGuidv",
                               "_Z3logiPKcz", "_ZN12DirectorySPIC2Ev"})
        EXPECT_EQ(nullptr, module.symbol(hidden)) << hidden << " leaks out of the module";
    EXPECT_NE(nullptr, module.symbol("_Z17s_set_chroot_pathPKc"));
}

}  // namespace
