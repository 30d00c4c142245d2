// Credential lookups: a cached user lookup (s_getpwnam_r answered from the
// cache, with the lock-table slot it takes and gives back) beside the C
// library's getpwnam_r for the same user in the same run (the floor; target:
// the cached lookup no slower), and an uncached lookup, the child's whole
// round trip (fork, re-executing this program with "-testcred", the request,
// the name-service call in the child, the answer, reaping), in microseconds.
//
// The uncached lookup's yardstick is starting /bin/true and waiting for it
// (fork, exec, exit, reap: what any child costs on this machine).
//
// Each of 9 rounds times the four cases one after the other; the summary
// prints the medians. This program is its own lookup child.
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/bench_support.h"
#include "common/log.h"
#include "creds/creds.h"

namespace {

using bench::median;

const int kRounds = 9;
const int kCachedCalls = 20000;
const int kUncachedCalls = 20;

// Starts /bin/true and reaps it.
bool runTrue() {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/true", "true", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double nsPerCall(std::chrono::steady_clock::time_point start, int calls) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    credsProgramStart(argc, argv);
    _log_level = LOG_CRITICAL + 1;
    _debug_creds = LOG_CRITICAL + 1;
    const char* user = "root";
    char buf[4096];
    struct passwd pw, *result = nullptr;
    if (s_getpwnam_r(user, &pw, buf, sizeof(buf), &result) != 0 || result == nullptr) {
        fprintf(stderr, "creds_bench: the first lookup of %s failed\n", user);
        return 1;
    }

    std::vector<double> library, cached, uncached, spawn;
    for (int round = 0; round < kRounds; round++) {
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < kCachedCalls; i++) {
            getpwnam_r(user, &pw, buf, sizeof(buf), &result);
            if (result == nullptr) return 1;
        }
        library.push_back(nsPerCall(t, kCachedCalls));

        t = std::chrono::steady_clock::now();
        for (int i = 0; i < kCachedCalls; i++) {
            s_getpwnam_r(user, &pw, buf, sizeof(buf), &result);
            if (result == nullptr) return 1;
        }
        cached.push_back(nsPerCall(t, kCachedCalls));

        t = std::chrono::steady_clock::now();
        for (int i = 0; i < kUncachedCalls; i++) {
            timeoutCredsCache();
            s_getpwnam_r(user, &pw, buf, sizeof(buf), &result);
            if (result == nullptr) return 1;
        }
        uncached.push_back(nsPerCall(t, kUncachedCalls) / 1000);

        t = std::chrono::steady_clock::now();
        for (int i = 0; i < kUncachedCalls; i++)
            if (!runTrue()) return 1;
        spawn.push_back(nsPerCall(t, kUncachedCalls) / 1000);
    }
    credCleanup();

    double floor = median(library), ours = median(cached);
    printf("Medians of %d rounds, user lookup of \"%s\":\n", kRounds, user);
    printf("  cached s_getpwnam_r        %10.0f ns\n", ours);
    printf("  floor: getpwnam_r          %10.0f ns   cached / floor %6.3f (target: at most 1)\n", floor,
           floor > 0 ? ours / floor : 0.0);
    printf("  uncached (child round trip) %9.0f us\n", median(uncached));
    printf("  floor: fork, exec /bin/true, reap %4.0f us   uncached / floor %5.2f\n", median(spawn),
           median(uncached) / median(spawn));
    return 0;
}
