// The program the memory hook tests run: built without sanitizers and linked
// with the allocator replacements. It plays one scenario, named by its first
// argument, writing the report to the file named by the second, and prints
// what the tests compare with the report (addresses, block bytes) on
// standard output. Output is formatted on the stack and written with write(),
// so that the program's own printing adds no allocations to the report.
#include <malloc.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/mem_hooks.h"

namespace {

void out(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n > 0) {
        ssize_t w = write(STDOUT_FILENO, line, static_cast<size_t>(n) < sizeof(line) ? n : sizeof(line) - 1);
        (void)w;
    }
}

unsigned long long addr(const void* p) {
    return reinterpret_cast<unsigned long long>(p);
}

// The bytes of a guarded block, from its start to the end of its post-guard.
void dumpBlock(const char* name, const void* user, size_t size) {
    const unsigned char* b = static_cast<const unsigned char*>(user) - DRV_MEM_GUARD_HEAD;
    char hex[2 * 512 + 1];
    size_t n = size + DRV_MEM_GUARD_OVERHEAD;
    for (size_t i = 0; i < n && i < 512; i++) snprintf(hex + 2 * i, 3, "%02x", b[i]);
    out("%s %s\n", name, hex);
}

// Marks the report: an allocation of this size that is released at once.
void marker(size_t size) {
    void* p = malloc(size);
    free(p);
}

// The call sites the tests look for in the stacks: their addresses are
// printed, and every frame they leave is a return address inside them.
__attribute__((noinline)) void* allocateHere(size_t size) {
    void* p = malloc(size);
    asm volatile("" ::: "memory");  // no tail call: this frame stays on the stack
    return p;
}

__attribute__((noinline)) void releaseHere(void* p) {
    free(p);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void* leakyModuleFunction(size_t size) {
    void* p = malloc(size);
    memset(p, 1, size);
    asm volatile("" ::: "memory");
    return p;
}

void sites() {
    out("allocateHere %llx\nreleaseHere %llx\n", addr(reinterpret_cast<void*>(&allocateHere)),
        addr(reinterpret_cast<void*>(&releaseHere)));
}

// Plain blocks: one record per call, with the addresses the caller got.
int records(const char* path) {
    drv_init_mem_hooks(path, false);
    sites();
    void* a = allocateHere(100);
    out("a %llx\n", addr(a));
    releaseHere(a);
    void* c = calloc(3, 10);
    bool zero = true;
    for (int i = 0; i < 30; i++) zero = zero && static_cast<unsigned char*>(c)[i] == 0;
    out("c %llx %s\n", addr(c), zero ? "zeroed" : "dirty");
    void* r = realloc(nullptr, 50);
    out("r %llx\n", addr(r));
    void* r2 = realloc(r, 200);
    out("r2 %llx\n", addr(r2));
    marker(11111);
    free(nullptr);
    marker(22222);
    free(c);
    free(r2);
    return 0;
}

// Guarded blocks: the layout, an overrun and an underrun by one byte, a
// destroyed pre-guard, a clean block, an aligned one, calloc and realloc.
int guards(const char* path) {
    // A block from before the guards is sized by the C library, a guarded
    // one by what it was asked for.
    void* early = malloc(33);
    drv_init_mem_guards();
    drv_init_mem_hooks(path, false);
    sites();
    char* over = static_cast<char*>(allocateHere(10));
    out("over %llx\n", addr(over));
    memset(over, 'u', 10);
    dumpBlock("block-over", over, 10);
    over[10] = '!';
    releaseHere(over);
    char* under = static_cast<char*>(malloc(10));
    out("under %llx\n", addr(under));
    under[-1] = '!';
    free(under);
    // An underrun over the whole pre-guard: the block is still known as
    // guarded, so it is reported and released, not handed to the C library
    // as a pointer of its own.
    char* wrecked = static_cast<char*>(malloc(10));
    out("wrecked %llx\n", addr(wrecked));
    char* front = wrecked - 16;
    asm volatile("" : "+r"(front));  // the compiler would flag the underrun
    memset(front, '!', 16);
    free(wrecked);
    // A block the C library aligned is not guarded, nor taken for one.
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 64, 100) == 0) {
        memset(aligned, 'a', 100);
        out("usable-aligned %zu\n", malloc_usable_size(aligned));
        free(aligned);
    }
    char* clean = static_cast<char*>(malloc(10));
    out("clean %llx\n", addr(clean));
    memset(clean, 'c', 10);
    out("usable-clean %zu\nusable-early %zu\n", malloc_usable_size(clean), malloc_usable_size(early));
    free(clean);
    free(early);
    unsigned char* zeroed = static_cast<unsigned char*>(calloc(4, 5));
    bool zero = true;
    for (int i = 0; i < 20; i++) zero = zero && zeroed[i] == 0;
    dumpBlock("block-zeroed", zeroed, 20);
    out("zeroed %llx %s\n", addr(zeroed), zero ? "zeroed" : "dirty");
    free(zeroed);
    char* grown = static_cast<char*>(realloc(nullptr, 8));
    memcpy(grown, "abcdefgh", 8);
    out("grown %llx\n", addr(grown));
    char* moved = static_cast<char*>(realloc(grown, 100));
    bool kept = memcmp(moved, "abcdefgh", 8) == 0;
    out("moved %llx %s\n", addr(moved), kept ? "kept" : "lost");
    memset(moved + 8, 'm', 92);
    dumpBlock("block-moved", moved, 100);
    char* shrunk = static_cast<char*>(realloc(moved, 4));
    dumpBlock("block-shrunk", shrunk, 4);
    out("shrunk %llx\n", addr(shrunk));
    shrunk[4] = '!';
    free(shrunk);
    return 0;
}

// A child after drv_post_fork_hooks writes nothing, and can still release
// and resize guarded blocks it inherited.
int forked(const char* path) {
    drv_init_mem_guards();
    drv_init_mem_hooks(path, false);
    char* inherited = static_cast<char*>(malloc(20));
    char* resized = static_cast<char*>(malloc(20));
    memcpy(resized, "inherited", 10);
    marker(11111);
    pid_t pid = fork();
    if (pid == 0) {
        drv_post_fork_hooks();
        free(inherited);
        resized = static_cast<char*>(realloc(resized, 4000));
        bool kept = strcmp(resized, "inherited") == 0;
        free(resized);
        void* p = malloc(33333);
        p = realloc(p, 33334);
        free(p);
        free(calloc(1, 33335));
        _exit(kept ? 0 : 3);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    marker(22222);
    out("child %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}

// A guarded block whose recorded size an underrun overwrote: asking for its
// usable size, and resizing it in a child after drv_post_fork_hooks, must
// stay within the block. It is large enough to have a mapping of its own,
// so that reading past it faults.
int damagedSize(const char* path) {
    drv_init_mem_guards();
    drv_init_mem_hooks(path, false);
    const size_t size = 300000;
    char* big = static_cast<char*>(malloc(size));
    memcpy(big, "kept", 5);
    char* front = big - DRV_MEM_GUARD_HEAD;
    asm volatile("" : "+r"(front));  // the compiler would flag the underrun
    memset(front, '!', 8);
    out("usable %zu\n", malloc_usable_size(big));
    pid_t pid = fork();
    if (pid == 0) {
        drv_post_fork_hooks();
        char* grown = static_cast<char*>(realloc(big, 64 * size));
        bool kept = grown != nullptr && strcmp(grown, "kept") == 0;
        free(grown);
        _exit(kept ? 0 : 3);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    out("child %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}

// Many guarded blocks at once, freed and resized in a scrambled order: every
// one must still be known as guarded when it goes, with its contents and
// guards intact, however the set of guarded blocks grew and shrank.
int churn(const char* path) {
    drv_init_mem_guards();
    drv_init_mem_hooks(path, false);
    const int n = 12000;
    static unsigned char* blocks[n];
    static size_t sizes[n];
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < n; i++) {
        sizes[i] = 1 + next() % 200;
        blocks[i] = static_cast<unsigned char*>(malloc(sizes[i]));
        memset(blocks[i], i & 0xff, sizes[i]);
    }
    int bad = 0;
    for (int round = 0; round < 3; round++) {
        for (int k = 0; k < n; k++) {
            int i = static_cast<int>(next() % n);
            for (size_t b = 0; b < sizes[i]; b++) bad += blocks[i][b] != (i & 0xff);
            if (next() % 2 == 0) {
                free(blocks[i]);
                sizes[i] = 1 + next() % 200;
                blocks[i] = static_cast<unsigned char*>(malloc(sizes[i]));
            } else {
                size_t size = 1 + next() % 300;
                blocks[i] = static_cast<unsigned char*>(realloc(blocks[i], size));
                for (size_t b = 0; b < size && b < sizes[i]; b++) bad += blocks[i][b] != (i & 0xff);
                sizes[i] = size;
            }
            memset(blocks[i], i & 0xff, sizes[i]);
        }
    }
    for (int i = 0; i < n; i++) {
        bad += malloc_usable_size(blocks[i]) != sizes[i];
        free(blocks[i]);
    }
    out("bad %d\n", bad);
    return 0;
}

// For drvmem: three leaked blocks from one place, a freed one, a broken guard.
// Not inlined and the loop not unrolled, so that the three blocks share
// one stack in every build.
__attribute__((noinline)) int leak(const char* path, bool socket) {
    drv_init_mem_guards();
    drv_init_mem_hooks(path, socket);
#pragma GCC unroll 1
    for (int i = 0; i < 3; i++) leakyModuleFunction(48);
    free(allocateHere(64));
    char* broken = static_cast<char*>(allocateHere(16));
    broken[16] = '!';
    releaseHere(broken);
    out("done\n");
    return 0;
}

// Reports to an analyser that stops reading: the program must end through
// the hook's own message and exit status, not die of SIGPIPE.
int analyserGone(const char* path) {
    drv_init_mem_hooks(path, true);
    for (long i = 0; i < 100000000; i++) free(malloc(16));
    out("still running\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        out("usage: %s records|guards|fork|churn|damaged-size|leak|leak-socket|analyser-gone REPORT\n", argv[0]);
        return 2;
    }
    const char* scenario = argv[1];
    if (strcmp(scenario, "records") == 0) return records(argv[2]);
    if (strcmp(scenario, "guards") == 0) return guards(argv[2]);
    if (strcmp(scenario, "fork") == 0) return forked(argv[2]);
    if (strcmp(scenario, "churn") == 0) return churn(argv[2]);
    if (strcmp(scenario, "damaged-size") == 0) return damagedSize(argv[2]);
    if (strcmp(scenario, "leak") == 0) return leak(argv[2], false);
    if (strcmp(scenario, "leak-socket") == 0) return leak(argv[2], true);
    if (strcmp(scenario, "analyser-gone") == 0) return analyserGone(argv[2]);
    return 2;
}
