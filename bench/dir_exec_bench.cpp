// A local Directory::execute round trip through the execution thread
// (create the request, resolve a one-entry name, run the provider's
// operation, complete the future result, wake the caller) against the floor
// for the same hand-off on this machine: a std::promise/std::future pair
// served by one worker thread. Each case runs five times; the summary gives
// the medians and their ratio (target: execute within 2x of the floor).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"

namespace {

const int kRepetitions = 5;

// Resolves every entry; "echo" answers a copy of its argument at once.
class EchoSPI : public DirectorySPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        out = new DirectoryObject(entry->getClassName(), nullptr);
        return 0;
    }
    int search(const Endpoint*, const Principal*, SearchHelper*, DirectoryObject*, const DirNameEntry*, char*,
               DirectoryEnumeration*) override {
        return 0;
    }
    int execute(const Principal*, DirectoryObject*, const char*, Any** args, FutureResult* r) override {
        r->setResult(new Any(*args[0]));
        return 0;
    }
    int getAttributes(const Principal*, DirectoryObject*, Attributes*& out) override {
        out = nullptr;
        return 0;
    }
    int getAcl(const Principal*, DirectoryObject*, Acl*& out) override {
        out = nullptr;
        return 0;
    }
};

EchoSPI* _spi = nullptr;
Directory* _dir = nullptr;
DirName* _name = nullptr;

void BM_ExecuteRoundTrip(benchmark::State& state) {
    Any arg(7);
    Any* args[] = {&arg, nullptr};
    for (auto _ : state) {
        FutureResult* r = _dir->execute(_name, nullptr, "echo", args);
        r->waitComplete();
        if (r->failed || r->result == nullptr || r->result->getInt32() != 7) state.SkipWithError("wrong answer");
        FutureResult::destroy(r);
    }
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExecuteRoundTrip)->UseRealTime()->MinTime(1)->Repetitions(kRepetitions);

// The floor: hand a promise to one worker thread, which fulfils it; wait on
// its future.
class Worker {
public:
    Worker() : _thread([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> hold(_lock);
            _stop = true;
        }
        _wake.notify_one();
        _thread.join();
    }
    std::future<int> post(int value) {
        std::promise<int> p;
        std::future<int> f = p.get_future();
        {
            std::lock_guard<std::mutex> hold(_lock);
            _queue.emplace_back(std::move(p), value);
        }
        _wake.notify_one();
        return f;
    }

private:
    void loop() {
        std::unique_lock<std::mutex> hold(_lock);
        for (;;) {
            _wake.wait(hold, [this] { return _stop || !_queue.empty(); });
            if (_stop) return;
            auto [p, v] = std::move(_queue.front());
            _queue.pop_front();
            hold.unlock();
            p.set_value(v);
            hold.lock();
        }
    }
    std::mutex _lock;
    std::condition_variable _wake;
    std::deque<std::pair<std::promise<int>, int>> _queue;
    bool _stop = false;
    std::thread _thread;
};

void BM_PromiseFutureHandOff(benchmark::State& state) {
    Worker worker;
    for (auto _ : state) {
        if (worker.post(7).get() != 7) state.SkipWithError("wrong answer");
    }
    state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PromiseFutureHandOff)->UseRealTime()->MinTime(1)->Repetitions(kRepetitions);

class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median") continue;
            auto it = r.counters.find("ops/s");
            if (it == r.counters.end()) continue;
            if (r.benchmark_name().find("BM_ExecuteRoundTrip") == 0) execute = it->second.value;
            if (r.benchmark_name().find("BM_PromiseFutureHandOff") == 0) floor = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double execute = 0;
    double floor = 0;
};

}  // namespace

int main(int argc, char** argv) {
    _log_level = LOG_CRITICAL;
    _spi = new EchoSPI();
    int err = 0;
    _dir = Directory::startServerDirectoryService(_spi, nullptr, nullptr, "bench", &err);
    _name = DirName::createFromString("/thing:id=1", &err);
    if (_dir == nullptr || _name == nullptr) {
        fprintf(stderr, "cannot start the directory: %d\n", err);
        return 1;
    }
    bench::initInterleaved(argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    printf("\nmedians of %d runs each\n", kRepetitions);
    printf("local execute round trip through exec-dir: %.0f ops/s\n", summary.execute);
    printf("promise/future hand-off to one worker thread (floor): %.0f ops/s\n", summary.floor);
    if (summary.execute > 0)
        printf("execute takes %.2fx the floor's time per operation (target 2.0 or less)\n",
               summary.floor / summary.execute);
    fflush(stdout);
    _exit(0);  // the execution thread of a server runs until the process ends
}
