// The memory hooks for a program that was not linked with them: built into
// a shared library (libdrvmemhooks.so) to be loaded with LD_PRELOAD, where
// its malloc and friends come before the C library's. It turns reporting on
// as it is loaded, from the environment:
//
//   DRV_MEM_REPORT=FILE   report to FILE
//   DRV_MEM_SOCKET=PATH   report to the Unix socket PATH (drvmem --listen)
//   DRV_MEM_GUARDS=1      guard every block
//
// and writes the mappings of every module the program loads later with
// dlopen, so that the analyser can name the module's frames too.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "common/mem_hooks.h"

namespace {

__attribute__((constructor)) void startFromEnvironment() {
    const char* file = getenv("DRV_MEM_REPORT");
    const char* socket = getenv("DRV_MEM_SOCKET");
    if ((file == nullptr || *file == '\0') && (socket == nullptr || *socket == '\0')) return;
    const char* guards = getenv("DRV_MEM_GUARDS");
    if (guards != nullptr && strcmp(guards, "1") == 0) drv_init_mem_guards();
    if (file != nullptr && *file != '\0')
        drv_init_mem_hooks(file, false);
    else
        drv_init_mem_hooks(socket, true);
}

}  // namespace

extern "C" void* dlopen(const char* file, int mode) noexcept {
    using Open = void* (*)(const char*, int);
    static Open next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
    if (next == nullptr) return nullptr;
    void* handle = next(file, mode);
    if (handle != nullptr) drv_mem_hooks_rescan_mappings();
    return handle;
}
