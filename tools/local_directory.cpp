#include "tools/local_directory.h"

#include <dlfcn.h>
#include <stdio.h>

#include "common/error_codes.h"
#include "common/os.h"
#include "dir/directory.h"

namespace {

void printFailure(const char* program, const char* what, int code) {
    fprintf(stderr, "%s: %s: error %d: %s\n", program, what, code, errorText(ERRORS_SHARED, code, "Unknown"));
}

// Loads the module and runs its entry point, which federates its provider
// with the host.
bool startModule(const char* program, const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        fprintf(stderr, "%s: cannot load module: %s\n", program, dlerror());
        return false;
    }
    auto moduleMain = reinterpret_cast<int (*)()>(dlsym(handle, "moduleMain"));
    if (moduleMain == nullptr) {
        fprintf(stderr, "%s: %s has no moduleMain\n", program, path);
        return false;
    }
    int rv = moduleMain();
    if (rv != 0) {
        printFailure(program, "moduleMain", rv);
        return false;
    }
    return true;
}

}  // namespace

LocalDirectory::LocalDirectory(const char* mountTable) : _mounts(mountTable), _directory(nullptr) {}

LocalDirectory::~LocalDirectory() {
    stop();
}

void LocalDirectory::stop() {
    if (_directory != nullptr) Directory::dispose(_directory);
    _directory = nullptr;
}

bool LocalDirectory::start(const char* program, const char* modulePath) {
    if (!startModule(program, modulePath)) return false;
    if (int rv = _mounts.start(); rv != 0) {
        printFailure(program, "federate mount", rv);
        return false;
    }
    char host[256] = "localhost";
    s_gethostname(host, sizeof(host));
    int err = 0;
    _directory = Directory::startServerDirectoryService(&_root, nullptr, nullptr, host, &err);
    if (_directory == nullptr) {
        printFailure(program, "start directory", err);
        return false;
    }
    return true;
}
