#include "hostrt/dravika.h"

#include <dlfcn.h>
#include <string.h>

#include <algorithm>

#include "common/error_codes.h"
#include "hostrt/managed_object.h"

namespace {

int _federateResult = 0;

// The host's registries live as long as the process: what modules hand over
// is never released, so nothing may tear these down at exit either.
std::vector<HostSPI::Federation>& federationList() {
    static auto* list = new std::vector<HostSPI::Federation>();
    return *list;
}

std::vector<std::string>& callLog() {
    static auto* log = new std::vector<std::string>();
    return *log;
}

}  // namespace

Dravika* Dravika::instance() {
    static Dravika* host = new Dravika();
    return host;
}

int Dravika::registerManagedObjectManager(ManagedObjectManager* manager) {
    if (manager == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    if (std::find(_managers.begin(), _managers.end(), manager) != _managers.end()) return DirError::E_ALREADY_EXISTS;
    _managers.push_back(manager);
    callLog().push_back(std::string("register:") + manager->getName());
    return 0;
}

ManagedObjectManager* Dravika::findManager(const char* name) const {
    for (ManagedObjectManager* m : _managers)
        if (strcmp(m->getName(), name) == 0) return m;
    return nullptr;
}

void Dravika::collectAll(StatEntry* entry) {
    for (ManagedObjectManager* m : _managers) {
        m->clearPresence();
        m->collectData(entry);
    }
}

void* Dravika::loadModule(const char* path, std::string* error) {
    if (path == nullptr || *path == '\0') {
        *error = "cannot load module: no path given";
        return nullptr;
    }
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = std::string("cannot load module: ") + dlerror();
        return nullptr;
    }
    if (dlsym(handle, "moduleMain") == nullptr) {
        *error = std::string(path) + " has no moduleMain";
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

int Dravika::startModule(void* handle, const char* path, std::string* error) {
    auto moduleMain = reinterpret_cast<int (*)()>(dlsym(handle, "moduleMain"));
    if (moduleMain == nullptr) {
        *error = std::string(path) + " has no moduleMain";
        return -1;
    }
    int rv = moduleMain();
    if (rv != 0) *error = "moduleMain failed with code " + std::to_string(rv);
    return rv;
}

int HostSPI::federate(const char* className, bool flag, DirectorySPI* provider) {
    if (className == nullptr || provider == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    federationList().push_back(Federation{className, flag, provider, _federateResult});
    callLog().push_back(std::string("federate:") + className);
    return _federateResult;
}

void HostSPI::setFederateResult(int result) {
    _federateResult = result;
}

const std::vector<HostSPI::Federation>& HostSPI::federations() {
    return federationList();
}

DirectorySPI* HostSPI::findProvider(const char* className) {
    const std::vector<Federation>& list = federationList();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (it->className == className) return it->provider;
    return nullptr;
}

DirectorySPI* HostSPI::routeFor(const char* className) {
    if (className == nullptr) return nullptr;
    const std::vector<Federation>& list = federationList();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (it->result == 0 && it->className == className) return it->provider;
    return nullptr;
}

const std::vector<std::string>& hostCallLog() {
    return callLog();
}
