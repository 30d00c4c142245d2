// Loads the module named by its argument with dlopen and has it leak a
// block of 40 bytes; run with the preloaded memory hooks by the tests.
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    void* module = dlopen(argv[1], RTLD_NOW);
    if (module == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto collect = reinterpret_cast<void* (*)(size_t)>(dlsym(module, "moduleCollect"));
    if (collect == nullptr) return 1;
    collect(40);
    printf("done\n");
    return 0;
}
