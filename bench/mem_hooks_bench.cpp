// The allocator replacements against the C library's own malloc and free,
// measured in the same run (the program is linked with the replacements, so
// malloc is theirs; __libc_malloc is the C library's underneath them).
//
// - Reporting off: what every allocation of a process pays for carrying the
//   hooks. Goal: at most 5% slower than the C library. Two patterns: one
//   block allocated and released at once (the allocator's fastest path,
//   where a fixed cost shows most), and batches of 1,000 live blocks.
// - Reporting on, to a file, with and without guards: the cost of a stack
//   capture and a record write per call, beside the same floor. Measured in
//   forked children, since reporting cannot be turned off again in-process.
//
// Rounds alternate between the two allocators and the median of each is
// kept, so that a busy machine disturbs both alike.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "common/mem_hooks.h"

extern "C" {
void* __libc_malloc(size_t) noexcept;
void __libc_free(void*) noexcept;
}

namespace {

using bench::median;

const int kRounds = 15;
const size_t kSizes[8] = {16, 24, 40, 64, 96, 128, 256, 512};
const int kBatch = 1000;

inline void escape(void* p) {
    asm volatile("" : : "r"(p) : "memory");
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct Libc {
    static void* alloc(size_t n) { return __libc_malloc(n); }
    static void release(void* p) { __libc_free(p); }
};
struct Hooks {
    static void* alloc(size_t n) { return malloc(n); }
    static void release(void* p) { free(p); }
};

// Nanoseconds per allocation and release.
template <class A>
double pairs(int count) {
    double start = now();
    for (int i = 0; i < count; i++) {
        void* p = A::alloc(kSizes[i & 7]);
        escape(p);
        A::release(p);
    }
    return (now() - start) / count;
}

template <class A>
double batches(int count) {
    static void* live[kBatch];
    double start = now();
    for (int b = 0; b < count / kBatch; b++) {
        for (int i = 0; i < kBatch; i++) {
            live[i] = A::alloc(kSizes[(i * 7) & 7]);
            escape(live[i]);
        }
        for (int i = 0; i < kBatch; i++) A::release(live[i]);
    }
    return (now() - start) / count;
}

struct Pair {
    double libc, hooks;
};

template <double (*L)(int), double (*H)(int)>
Pair compare(int count) {
    std::vector<double> libc, hooks;
    L(count / 10);  // warm both up
    H(count / 10);
    for (int r = 0; r < kRounds; r++) {
        if (r & 1) {
            hooks.push_back(H(count));
            libc.push_back(L(count));
        } else {
            libc.push_back(L(count));
            hooks.push_back(H(count));
        }
    }
    return Pair{median(libc), median(hooks)};
}

void row(const char* name, Pair p) {
    printf("  %-42s %9.2f %9.2f %7.3f\n", name, p.libc, p.hooks, p.hooks / p.libc);
    fflush(stdout);
}

// Runs the reporting cases in a child that turns reporting on; the medians
// come back through a pipe.
bool reportingCase(bool guards, Pair* pairOut, Pair* batchOut) {
    char path[] = "/tmp/drv_mem_bench.XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0) return false;
    close(tmp);
    int fds[2];
    if (pipe(fds) != 0) return false;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (guards) drv_init_mem_guards();
        drv_init_mem_hooks(path, false);
        Pair results[2] = {compare<pairs<Libc>, pairs<Hooks>>(20000), compare<batches<Libc>, batches<Hooks>>(20000)};
        ssize_t n = write(fds[1], results, sizeof(results));
        _exit(n == sizeof(results) ? 0 : 1);
    }
    close(fds[1]);
    Pair results[2];
    ssize_t n = read(fds[0], results, sizeof(results));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    unlink(path);
    if (n != sizeof(results)) return false;
    *pairOut = results[0];
    *batchOut = results[1];
    return true;
}

}  // namespace

int main() {
    printf("Median ns per allocation and release, %d rounds (lower is better)\n", kRounds);
    printf("  %-42s %9s %9s %7s\n", "", "C library", "hooks", "ratio");
    Pair offPairs = compare<pairs<Libc>, pairs<Hooks>>(2000000);
    row("reporting off, alloc+free", offPairs);
    Pair offBatches = compare<batches<Libc>, batches<Hooks>>(2000000);
    row("reporting off, batches of 1,000", offBatches);
    for (bool guards : {false, true}) {
        Pair p, b;
        if (!reportingCase(guards, &p, &b)) {
            printf("  reporting case failed\n");
            return 1;
        }
        row(guards ? "reporting to a file + guards, alloc+free" : "reporting to a file, alloc+free", p);
        row(guards ? "reporting to a file + guards, batches" : "reporting to a file, batches", b);
    }
    printf("Goal: reporting off at most 1.050 times the C library.\n");
    return 0;
}
