// The event loop side by side with libuv, on the same machine in the same
// run: a synchronous OpTarget round trip against a uv_async_send ping-pong,
// setting and firing a million timers, and the wake-up latency of a timer
// set from another thread against uv_async_send. Each pair ends with its
// ratio to libuv (lower is better; the goal is at most 1.5).
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <uv.h>

#include "common/op_target.h"
#include "common/thread_context.h"

namespace {

using Clock = std::chrono::steady_clock;

// A thread running its own loop until stopped; setup and teardown run on it,
// so that what they build belongs to the thread.
class RuntimeLoop {
public:
    template <class Setup, class Teardown>
    RuntimeLoop(Setup setup, Teardown teardown) {
        _thread = std::thread([this, setup, teardown] {
            setup();
            _ready = true;
            while (!_stop) ThreadContext::get()->run(50);
            teardown();
        });
        while (!_ready) sched_yield();
    }
    ~RuntimeLoop() {
        _stop = true;
        _thread.join();
    }

private:
    std::thread _thread;
    std::atomic<bool> _ready{false}, _stop{false};
};

// A libuv loop on its own thread with one async handle, closed on stop.
class UvLoop {
public:
    explicit UvLoop(uv_async_cb cb, void* data) {
        uv_loop_init(&_loop);
        uv_async_init(&_loop, &async, cb);
        async.data = data;
        uv_async_init(&_loop, &_stopper, [](uv_async_t* h) {
            auto* self = static_cast<UvLoop*>(h->data);
            uv_close(reinterpret_cast<uv_handle_t*>(&self->async), nullptr);
            uv_close(reinterpret_cast<uv_handle_t*>(&self->_stopper), nullptr);
        });
        _stopper.data = this;
        _thread = std::thread([this] { uv_run(&_loop, UV_RUN_DEFAULT); });
    }
    ~UvLoop() {
        uv_async_send(&_stopper);
        _thread.join();
        uv_loop_close(&_loop);
    }
    uv_async_t async;

private:
    uv_loop_t _loop;
    uv_async_t _stopper;
    std::thread _thread;
};

// --- 1. Synchronous round trip ----------------------------------------------

struct AddOne : DeferredOp {
    int value = 0;
};

struct Adder : OpTarget {
    int execute(DeferredOp* op) override { return static_cast<AddOne*>(op)->value + 1; }
};

void BM_OpTargetRoundTrip(benchmark::State& state) {
    Adder* target = nullptr;
    RuntimeLoop loop([&] { target = new Adder; }, [&] { delete target; });
    AddOne op;
    for (auto _ : state) {
        op.value = op.execute(target);
        benchmark::DoNotOptimize(op.value);
    }
}
BENCHMARK(BM_OpTargetRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The benchmark thread's loop sends a ping to the other loop, whose handler
// sends a pong back; one iteration is one full exchange.
void BM_UvAsyncPingPong(benchmark::State& state) {
    uv_loop_t home;
    uv_loop_init(&home);
    uv_async_t pong;
    std::atomic<int> pongs{0};
    uv_async_init(&home, &pong, [](uv_async_t* h) { static_cast<std::atomic<int>*>(h->data)->fetch_add(1); });
    pong.data = &pongs;
    {
        UvLoop away([](uv_async_t* h) { uv_async_send(static_cast<uv_async_t*>(h->data)); }, &pong);
        int expected = 0;
        for (auto _ : state) {
            expected++;
            uv_async_send(&away.async);
            while (pongs.load() < expected) uv_run(&home, UV_RUN_ONCE);
        }
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&pong), nullptr);
    uv_run(&home, UV_RUN_DEFAULT);
    uv_loop_close(&home);
}
BENCHMARK(BM_UvAsyncPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime();

// --- 2. A million timers ----------------------------------------------------

const int kManyTimers = 1000000;
// Timers with scattered expiries: the sorted list pays a walk per insertion.
const int kScatteredTimers = 10000;

struct CountingHandler : EventHandler {
    void handleEvent(Event*) override { fired++; }
    long fired = 0;
};

void runtimeTimers(benchmark::State& state, int n, bool scattered) {
    CountingHandler handler;
    std::vector<TimerEvent*> timers;
    timers.reserve(n);
    for (int i = 0; i < n; i++) timers.push_back(new TimerEvent(&handler));
    ThreadContext* tc = ThreadContext::get();
    unsigned seed = 1;
    for (auto _ : state) {
        handler.fired = 0;
        for (TimerEvent* t : timers) t->set(scattered ? static_cast<int>(rand_r(&seed) % 10) : 0);
        while (handler.fired < n) tc->run(1);
    }
    for (TimerEvent* t : timers) delete t;
    state.SetItemsProcessed(state.iterations() * n);
}

void uvTimers(benchmark::State& state, int n, bool scattered) {
    uv_loop_t loop;
    uv_loop_init(&loop);
    long fired = 0;
    std::vector<uv_timer_t> timers(n);
    for (uv_timer_t& t : timers) {
        uv_timer_init(&loop, &t);
        t.data = &fired;
    }
    unsigned seed = 1;
    for (auto _ : state) {
        fired = 0;
        uv_update_time(&loop);
        for (uv_timer_t& t : timers)
            uv_timer_start(
                &t, [](uv_timer_t* h) { ++*static_cast<long*>(h->data); },
                scattered ? rand_r(&seed) % 10 : 0, 0);
        while (fired < n) uv_run(&loop, UV_RUN_ONCE);
    }
    for (uv_timer_t& t : timers) uv_close(reinterpret_cast<uv_handle_t*>(&t), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_TimersSetAndFire(benchmark::State& state) {
    runtimeTimers(state, kManyTimers, false);
}
void BM_UvTimersSetAndFire(benchmark::State& state) {
    uvTimers(state, kManyTimers, false);
}
void BM_ScatteredTimers(benchmark::State& state) {
    runtimeTimers(state, kScatteredTimers, true);
}
void BM_UvScatteredTimers(benchmark::State& state) {
    uvTimers(state, kScatteredTimers, true);
}
BENCHMARK(BM_TimersSetAndFire)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UvTimersSetAndFire)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScatteredTimers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UvScatteredTimers)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- 3. Wake-up latency -----------------------------------------------------

// Set on the benchmark thread, read on the loop thread when the wake-up arrives.
struct WakeProbe {
    std::atomic<long long> sentAt{0};
    std::atomic<long long> latencyNs{-1};
    void arrived() {
        latencyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() -
                    sentAt.load();
    }
    void send() {
        latencyNs = -1;
        sentAt = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    }
    long long await() {
        long long ns;
        while ((ns = latencyNs.load()) < 0) sched_yield();
        return ns;
    }
};

struct ProbeHandler : EventHandler {
    void handleEvent(Event*) override { probe->arrived(); }
    WakeProbe* probe = nullptr;
};

void BM_NudgeWakeLatency(benchmark::State& state) {
    WakeProbe probe;
    ProbeHandler handler;
    handler.probe = &probe;
    TimerEvent* timer = nullptr;
    RuntimeLoop loop([&] { timer = new TimerEvent(&handler); }, [&] { delete timer; });
    for (auto _ : state) {
        probe.send();
        timer->set(0);
        state.SetIterationTime(static_cast<double>(probe.await()) / 1e9);
    }
}
BENCHMARK(BM_NudgeWakeLatency)->Unit(benchmark::kMicrosecond)->UseManualTime();

void BM_UvAsyncWakeLatency(benchmark::State& state) {
    WakeProbe probe;
    UvLoop loop([](uv_async_t* h) { static_cast<WakeProbe*>(h->data)->arrived(); }, &probe);
    for (auto _ : state) {
        probe.send();
        uv_async_send(&loop.async);
        state.SetIterationTime(static_cast<double>(probe.await()) / 1e9);
    }
}
BENCHMARK(BM_UvAsyncWakeLatency)->Unit(benchmark::kMicrosecond)->UseManualTime();

// Keeps each benchmark's time per iteration (the median when repeated) for
// the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) times[run.run_name.str()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    struct Pair {
        const char* what;
        const char* ours;
        const char* uv;
    } pairs[] = {
        {"synchronous round trip", "BM_OpTargetRoundTrip/real_time", "BM_UvAsyncPingPong/real_time"},
        {"1,000,000 timers set and fired", "BM_TimersSetAndFire/real_time", "BM_UvTimersSetAndFire/real_time"},
        {"10,000 timers, scattered expiries", "BM_ScatteredTimers/real_time", "BM_UvScatteredTimers/real_time"},
        {"wake-up latency", "BM_NudgeWakeLatency/manual_time", "BM_UvAsyncWakeLatency/manual_time"},
    };
    printf("\nRatio to libuv (runtime / libuv, goal <= 1.5):\n");
    for (const Pair& p : pairs) {
        auto ours = reporter.times.find(p.ours), uv = reporter.times.find(p.uv);
        if (ours == reporter.times.end() || uv == reporter.times.end() || uv->second <= 0) continue;
        printf("  %-36s %6.2f\n", p.what, ours->second / uv->second);
    }
    return 0;
}
