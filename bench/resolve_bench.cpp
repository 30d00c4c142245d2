// Resolving a three-entry name through two providers: "/jump:/x:/y:", where
// the root provider resolves "jump" to an object of class "Dother" and the
// object registry hands the rest of the name to the provider registered as
// "other". One operation is a whole resolution as the synchronous
// operations run it: a ResolveContext (copies of the name and principal),
// the domain step, three provider calls, the registry hand-over and the
// lock counting on both providers.
//
// Floors measured in the same run:
//   providers: the same three provider calls made directly (the providers'
//     own allocations, nothing of the directory);
//   lookups: three std::unordered_map lookups and three allocations of an
//     object with a class name and a string value.
// Each case runs 9 times interleaved at random; the summary prints the
// medians of CPU time per resolve beside the floors (target: under 2 us).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dir/resolve_context.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "dirbase/registry.h"

namespace {

// Resolves each entry to an object of its own class carrying the entry's
// class as value; "jump" leads to the registered provider "other".
class BenchSPI : public DirectorySPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        const char* c = entry->getClassName();
        Any* v = new Any();
        v->set(c);
        out = new DirectoryObject(strcmp(c, "jump") == 0 ? "Dother" : getDomainGuid(), v);
        return 0;
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration*) override {
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any**, FutureResult*) override { return 0; }
    int getAttributes(const Principal*, DirectoryObject*, Attributes*&) override { return 0; }
    int getAcl(const Principal*, DirectoryObject*, Acl*&) override { return 0; }
};

struct Setup {
    BenchSPI root;
    BenchSPI other;
    Directory* dir = nullptr;
    DirName* name = nullptr;
    // Held as a session holds the principal in force.
    std::shared_ptr<const Principal> principal = std::make_shared<const Principal>("0`bench,x`admins`", "bench", nullptr, 1);

    Setup() {
        Registry::registerObject("other", &other);
        int err = 0;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "bench", &err);
        name = DirName::createFromString("/jump:/x:/y:", &err);
    }
};

Setup& setup() {
    static Setup* s = new Setup();
    return *s;
}

void BM_Resolve_Directory(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        ResolveContext rc(s.dir, s.name, s.principal);
        int rv = s.dir->resolveToObject(&rc, nullptr, nullptr, nullptr);
        if (rv != 0 || rc.spi != &s.other) state.SkipWithError("resolution failed");
        benchmark::DoNotOptimize(rc.current);
    }
}

void BM_Resolve_Providers(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        DirectoryObject* current = nullptr;
        DirectorySPI* spi = &s.root;
        for (int i = 0; i < 3; i++) {
            DirectoryObject* out = nullptr;
            spi->resolve(nullptr, s.principal.get(), current, s.name->get(i), out);
            delete current;
            current = out;
            spi = &s.other;
        }
        benchmark::DoNotOptimize(current);
        delete current;
    }
}

void BM_Resolve_Lookups(benchmark::State& state) {
    std::unordered_map<std::string, int> map{{"jump", 1}, {"x", 2}, {"y", 3}, {"other", 4}};
    const char* keys[] = {"jump", "x", "y"};
    for (auto _ : state) {
        for (const char* k : keys) {
            auto it = map.find(k);
            benchmark::DoNotOptimize(it);
            Any* v = new Any();
            v->set(k);
            DirectoryObject* o = new DirectoryObject(k, v);
            benchmark::DoNotOptimize(o);
            delete o;
        }
    }
}

BENCHMARK(BM_Resolve_Directory);
BENCHMARK(BM_Resolve_Providers);
BENCHMARK(BM_Resolve_Lookups);


}  // namespace

int main(int argc, char** argv) {
    _log_level = LOG_CRITICAL + 1;
    Directory::init();
    bench::MedianReporter reporter;
    bench::runRepeated(argc, argv, 9, reporter);

    auto t = [&](const char* name) { return reporter.time(name); };
    double dir = t("BM_Resolve_Directory");
    printf("\nMedian CPU time per resolve of a three-entry name through two providers (target: under 2000 ns):\n");
    printf("  directory            %8.0f ns\n", dir);
    for (const char* floor : {"BM_Resolve_Providers", "BM_Resolve_Lookups"}) {
        double f = t(floor);
        printf("  floor: %-13s %8.0f ns   directory / floor %5.2f\n", floor + 11, f, f > 0 ? dir / f : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
