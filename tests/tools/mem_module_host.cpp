// Loads the module named by its argument with dlopen and has it leak two
// blocks of 40 bytes; run with the preloaded memory hooks by the tests.
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
    for (int i = 0; i < 2; i++) collect(40);  // one call site: one stack
    printf("done\n");
    return 0;
}
