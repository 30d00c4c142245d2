// Loads the built network module into a test program once, the way drvhost
// does, and hands out what the host stand-in saw of it.
#ifndef DRV_TESTS_SUPPORT_MODULE_LOADER_H
#define DRV_TESTS_SUPPORT_MODULE_LOADER_H

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "hostrt/dravika.h"
#include "hostrt/managed_object.h"

class NetModule;

struct LoadedModule {
    void* handle;
    int (*moduleMain)();
    NetModule** instance;

    // A symbol of the module, or null.
    void* symbol(const char* name) const { return dlsym(handle, name); }

    // Runs moduleMain once more and returns the "Network" manager it registered.
    ManagedObjectManager* freshManager() const {
        moduleMain();
        Dravika* host = Dravika::instance();
        return host->getManager(host->getManagerCount() - 1);
    }
};

inline const LoadedModule& loadModule() {
    static LoadedModule module = [] {
        LoadedModule m{};
        m.handle = dlopen(DRV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (m.handle == nullptr) {
            fprintf(stderr, "cannot load %s: %s\n", DRV_MODULE_PATH, dlerror());
            abort();
        }
        m.moduleMain = reinterpret_cast<int (*)()>(dlsym(m.handle, "moduleMain"));
        m.instance = static_cast<NetModule**>(dlsym(m.handle, "_netMod"));
        if (m.moduleMain == nullptr || m.instance == nullptr) abort();
        return m;
    }();
    return module;
}

#endif
