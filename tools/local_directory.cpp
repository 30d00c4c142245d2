#include "tools/local_directory.h"

#include <stdio.h>

#include <string>

#include "common/error_codes.h"
#include "common/os.h"
#include "dir/directory.h"
#include "hostrt/dravika.h"

namespace {

void printFailure(const char* program, const char* what, int code) {
    fprintf(stderr, "%s: %s: error %d: %s\n", program, what, code, errorText(ERRORS_SHARED, code, "Unknown"));
}

// Loads the module and runs its entry point, which federates its provider
// with the host.
bool startModule(const char* program, const char* path) {
    std::string why;
    void* handle = Dravika::loadModule(path, &why);
    int rv = handle == nullptr ? -1 : Dravika::startModule(handle, path, &why);
    if (rv == 0) return true;
    if (rv > 0) why = why + ": " + errorText(ERRORS_SHARED, rv, "Unknown");
    fprintf(stderr, "%s: %s\n", program, why.c_str());
    return false;
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
