// One collectData pass of the network module over 1,000 made-up interfaces,
// reported per interface, beside two floors measured in the same run over
// the same files:
//   stdio: the reads the pass cannot do without, bare: the directory walk,
//     and per interface fopen, fscanf and fclose of speed, rx_bytes and
//     tx_bytes (each stream on a small stack buffer) and one gettimeofday;
//     the pass reads through stdio too;
//   syscalls: the same walk with open, read and close instead of stdio.
// The difference to the stdio floor is what the module adds: finding the
// interface's object, the rates, and the rows of the statistics entry.
//
// Each case runs 9 times, the repetitions interleaved at random so that a
// busy machine weighs on all alike; the summary gives the medians of CPU
// time per interface and the pass's ratio to each floor.
//
// Needs root: the interfaces live on a tmpfs mounted over /sys/class/net in
// a private mount namespace.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "bench/bench_support.h"
#include "common/stats.h"
#include "hostrt/dravika.h"
#include "hostrt/managed_object.h"

namespace {

const int kInterfaces = 1000;
const char kNetDir[] = "/sys/class/net";

void writeFile(const std::string& path, const char* text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return;
    fputs(text, f);
    fclose(f);
}

std::string makeFakeInterfaces() {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making mounts private: ") + strerror(errno);
    if (mount("none", kNetDir, "tmpfs", 0, nullptr) != 0)
        return std::string("mounting a tmpfs over /sys/class/net: ") + strerror(errno);
    for (int i = 0; i < kInterfaces; i++) {
        std::string dir = std::string(kNetDir) + "/bench" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/statistics").c_str(), 0755);
        writeFile(dir + "/speed", "10000\n");
        writeFile(dir + "/statistics/rx_bytes", "123456789\n");
        writeFile(dir + "/statistics/tx_bytes", "987654321\n");
    }
    return "";
}

// The tree is made once, by whichever case runs first; every case skips
// with the same reason when it cannot be made.
bool haveInterfaces(benchmark::State& state) {
    static std::string problem = makeFakeInterfaces();
    if (problem.empty()) return true;
    state.SkipWithError(("no fake interface tree: " + problem).c_str());
    return false;
}

ManagedObjectManager* loadModuleManager() {
    void* handle = dlopen(DRV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    auto moduleMain = reinterpret_cast<int (*)()>(dlsym(handle, "moduleMain"));
    if (moduleMain == nullptr || moduleMain() != 0) return nullptr;
    return Dravika::instance()->findManager("Network");
}

void perInterface(benchmark::State& state, long long interfaces) {
    state.SetItemsProcessed(state.iterations() * interfaces);
    // Seconds per interface (printed with an SI prefix: 12u is 12 microseconds).
    state.counters["per_interface"] = benchmark::Counter(static_cast<double>(state.iterations()) * interfaces,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_CollectData_Pass(benchmark::State& state) {
    if (!haveInterfaces(state)) return;
    static ManagedObjectManager* manager = loadModuleManager();
    if (manager == nullptr) {
        state.SkipWithError("cannot load the module");
        return;
    }
    manager->collectData(nullptr);  // create the objects outside the timing
    for (auto _ : state) {
        StatEntry entry(0);
        manager->collectData(&entry);
        benchmark::DoNotOptimize(entry.count);
    }
    perInterface(state, kInterfaces);
}

// The walk both floors share: every interface directory of kNetDir, names
// beginning with '.' skipped; read(name, sum) reads the three files.
template <class Read>
long long walkInterfaces(Read read) {
    DIR* dir = opendir(kNetDir);
    if (dir == nullptr) return 0;
    long long sum = 0, seen = 0;
    while (struct dirent* d = readdir(dir)) {
        if (d->d_name[0] == '.') continue;
        read(d->d_name, sum);
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        sum += tv.tv_usec & 1;
        seen++;
    }
    closedir(dir);
    benchmark::DoNotOptimize(sum);
    return seen;
}

long long stdioNumber(const char* format, const char* name) {
    char path[300];
    snprintf(path, sizeof path, format, name);
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    // A small buffer of the caller's: no heap buffer, no fstat to size one.
    char buffer[64];
    setvbuf(f, buffer, _IOFBF, sizeof buffer);
    long long v = 0;
    if (fscanf(f, "%lld", &v) != 1) v = 0;
    fclose(f);
    return v;
}

long long syscallNumber(const char* format, const char* name) {
    char path[300];
    snprintf(path, sizeof path, format, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    return strtoll(text, nullptr, 10);
}

// The floors: the same walk reading the same three numbers of each
// interface, through readNumber(format, name).
template <long long (*readNumber)(const char*, const char*)>
void floorPass(benchmark::State& state) {
    if (!haveInterfaces(state)) return;
    long long seen = 0;
    for (auto _ : state) {
        seen = walkInterfaces([](const char* name, long long& sum) {
            sum += readNumber("/sys/class/net/%s/speed", name);
            sum += readNumber("/sys/class/net/%s/statistics/rx_bytes", name);
            sum += readNumber("/sys/class/net/%s/statistics/tx_bytes", name);
        });
    }
    if (seen != kInterfaces) state.SkipWithError("the floor did not see every interface");
    perInterface(state, kInterfaces);
}

void BM_CollectData_StdioFloor(benchmark::State& state) {
    floorPass<stdioNumber>(state);
}

void BM_CollectData_SyscallFloor(benchmark::State& state) {
    floorPass<syscallNumber>(state);
}

BENCHMARK(BM_CollectData_Pass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CollectData_StdioFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CollectData_SyscallFloor)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bench::MedianReporter reporter;
    bench::runRepeated(argc, argv, 9, reporter);
    if (!reporter.has("BM_CollectData_Pass")) {
        // Without root the cases skip with their reason; a full bench run goes on.
        printf("\nno median of the pass: see the reason above\n");
        benchmark::Shutdown();
        return 0;
    }
    // Times are per pass (ms); per interface in us is the same number.
    double pass = reporter.time("BM_CollectData_Pass");
    printf("\nMedian CPU time per interface of a pass over %d interfaces:\n", kInterfaces);
    printf("  collectData                    %8.2f us\n", pass);
    for (const char* floor : {"BM_CollectData_StdioFloor", "BM_CollectData_SyscallFloor"}) {
        if (!reporter.has(floor)) continue;
        double f = reporter.time(floor);
        printf("  floor: %-22s %8.2f us   pass / floor %5.2f\n", floor + 15, f, f > 0 ? pass / f : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
