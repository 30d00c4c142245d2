// One collectData pass of the network module over 1,000 made-up interfaces,
// reported per interface. Needs root: the interfaces live on a tmpfs mounted
// over /sys/class/net in a private mount namespace.
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

#include <benchmark/benchmark.h>

#include "common/stats.h"
#include "hostrt/dravika.h"
#include "hostrt/managed_object.h"

namespace {

const int kInterfaces = 1000;

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
    if (mount("none", "/sys/class/net", "tmpfs", 0, nullptr) != 0)
        return std::string("mounting a tmpfs over /sys/class/net: ") + strerror(errno);
    for (int i = 0; i < kInterfaces; i++) {
        std::string dir = "/sys/class/net/bench" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/statistics").c_str(), 0755);
        writeFile(dir + "/speed", "10000\n");
        writeFile(dir + "/statistics/rx_bytes", "123456789\n");
        writeFile(dir + "/statistics/tx_bytes", "987654321\n");
    }
    return "";
}

ManagedObjectManager* loadModuleManager() {
    void* handle = dlopen(DRV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    auto moduleMain = reinterpret_cast<int (*)()>(dlsym(handle, "moduleMain"));
    if (moduleMain == nullptr || moduleMain() != 0) return nullptr;
    return Dravika::instance()->findManager("Network");
}

void BM_CollectDataPass(benchmark::State& state) {
    static std::string problem = makeFakeInterfaces();
    if (!problem.empty()) {
        state.SkipWithError(("no fake interface tree: " + problem).c_str());
        return;
    }
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
    state.SetItemsProcessed(state.iterations() * kInterfaces);
    // Seconds per interface (printed with an SI prefix: 12u is 12 microseconds).
    state.counters["per_interface"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kInterfaces,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CollectDataPass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
