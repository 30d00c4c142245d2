// The event loop against what the same machine does in the same run without
// it: libuv doing the same work, and the bare system calls underneath (an
// epoll loop, an eventfd pair). Each case is repeated and its median kept;
// the table at the end gives the ratio of the loop to each floor (lower is
// better; the goals are 1.0 against libuv and 1.5 against the eventfd pair).
//
// - Readiness: one always-readable pipe among 0 to 10,000 idle descriptors;
//   time per handler call. What a busy connection costs on a thread that
//   holds many quiet ones.
// - Timer re-sets: 1,000 or 100,000 pending timers with random delays, each
//   iteration re-sets 1,000 random ones and runs one pass. What heartbeat
//   and time-out timers cost when every message re-arms them. Beside them,
//   what a set pays before it reaches the heap: the time of day and a lock.
// - Timers set and fired: 100,000 timers with random delays of 0 to 9 ms,
//   run until all have fired; CPU time, so the waiting is not counted.
// - Cross-thread ping-pong: two loop threads bounce a wake-up 1,000 times
//   (count events; libuv async handles; two threads blocked on eventfds; and
//   two threads each waiting in epoll on a pipe, the loop's own mechanism).
// - Bursts: one thread posts 1,000 wake-ups to a loop thread as fast as it
//   can (count events; libuv async handles), time per post until the loop
//   has seen them all. What a busy poster costs when the loop coalesces.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <uv.h>

#include "common/sem.h"
#include "common/thread_context.h"

namespace {

const int kRepetitions = 5;

// --- Descriptors -------------------------------------------------------------

// Idle descriptors are eventfds that nobody writes (one descriptor each, so
// that 10,000 of them fit the usual limit); the busy one is a pipe holding a
// byte that nobody reads, so every poll reports it.
class Descriptors {
public:
    explicit Descriptors(int idle) {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < static_cast<rlim_t>(idle) + 200 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (int i = 0; i < idle; i++) {
            int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (fd < 0) {
                perror("eventfd (raise the descriptor limit)");
                exit(1);
            }
            this->idle.push_back(fd);
        }
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0 || write(fds[1], "x", 1) != 1) {
            perror("pipe");
            exit(1);
        }
        busy = fds[0];
        _busyWrite = fds[1];
    }
    ~Descriptors() {
        for (int fd : idle) close(fd);
        close(busy);
        close(_busyWrite);
    }
    std::vector<int> idle;
    int busy;

private:
    int _busyWrite;
};

// Handler calls per benchmark iteration in the readiness cases.
const int kReadyCalls = 100;

struct CountingHandler : EventHandler {
    void handleEvent(Event*) override { calls++; }
    long calls = 0;
};

void BM_Readiness_Loop(benchmark::State& state) {
    Descriptors d(static_cast<int>(state.range(0)));
    std::vector<FdEvent*> events;
    for (int fd : d.idle) events.push_back(new FdEvent(nullptr, fd, FdEvent::KIND_READ));
    CountingHandler busy;
    events.push_back(new FdEvent(&busy, d.busy, FdEvent::KIND_READ));
    ThreadContext* tc = ThreadContext::get();
    tc->run(0);  // settles whatever the loop does once for new descriptors
    for (auto _ : state) {
        busy.calls = 0;
        while (busy.calls < kReadyCalls) tc->run(0);
    }
    for (FdEvent* e : events) delete e;
    state.SetItemsProcessed(state.iterations() * kReadyCalls);
}

void BM_Readiness_Libuv(benchmark::State& state) {
    Descriptors d(static_cast<int>(state.range(0)));
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_poll_t> polls(d.idle.size() + 1);
    long calls = 0;
    for (size_t i = 0; i < polls.size(); i++) {
        uv_poll_init(&loop, &polls[i], i < d.idle.size() ? d.idle[i] : d.busy);
        polls[i].data = &calls;
        uv_poll_start(&polls[i], UV_READABLE, [](uv_poll_t* h, int, int) { ++*static_cast<long*>(h->data); });
    }
    uv_run(&loop, UV_RUN_NOWAIT);
    for (auto _ : state) {
        calls = 0;
        while (calls < kReadyCalls) uv_run(&loop, UV_RUN_NOWAIT);
    }
    for (uv_poll_t& p : polls) uv_close(reinterpret_cast<uv_handle_t*>(&p), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    state.SetItemsProcessed(state.iterations() * kReadyCalls);
}

// The floor: one epoll set holding every descriptor, waited on without a time-out.
void BM_Readiness_Epoll(benchmark::State& state) {
    Descriptors d(static_cast<int>(state.range(0)));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev;
    ev.events = EPOLLIN;
    for (int fd : d.idle) {
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    ev.data.fd = d.busy;
    epoll_ctl(ep, EPOLL_CTL_ADD, d.busy, &ev);
    struct epoll_event ready[64];
    long calls = 0;
    for (auto _ : state) {
        calls = 0;
        while (calls < kReadyCalls) {
            int n = epoll_wait(ep, ready, 64, 0);
            for (int i = 0; i < n; i++)
                if (ready[i].data.fd == d.busy) calls++;
        }
        benchmark::DoNotOptimize(calls);
    }
    close(ep);
    state.SetItemsProcessed(state.iterations() * kReadyCalls);
}

#define READINESS_SIZES Arg(0)->Arg(100)->Arg(1000)->Arg(10000)
BENCHMARK(BM_Readiness_Loop)->READINESS_SIZES->Repetitions(kRepetitions);
BENCHMARK(BM_Readiness_Libuv)->READINESS_SIZES->Repetitions(kRepetitions);
BENCHMARK(BM_Readiness_Epoll)->READINESS_SIZES->Repetitions(kRepetitions);

// --- Timer re-sets -----------------------------------------------------------

const int kResetsPerIteration = 1000;

// Delays of 1 to 100 s: pending for the whole case, spread over the queue.
int farDelay(unsigned* seed) {
    return 1000 + static_cast<int>(rand_r(seed) % 99000);
}

void BM_TimerReset_Loop(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    unsigned seed = 1;
    std::vector<TimerEvent*> timers;
    for (int i = 0; i < n; i++) {
        timers.push_back(new TimerEvent(nullptr));
        timers.back()->set(farDelay(&seed));
    }
    ThreadContext* tc = ThreadContext::get();
    for (auto _ : state) {
        for (int i = 0; i < kResetsPerIteration; i++) timers[rand_r(&seed) % n]->set(farDelay(&seed));
        tc->run(0);
    }
    for (TimerEvent* t : timers) delete t;
    state.SetItemsProcessed(state.iterations() * kResetsPerIteration);
}

void BM_TimerReset_Libuv(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    unsigned seed = 1;
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_timer_t> timers(n);
    auto never = [](uv_timer_t*) {};
    for (uv_timer_t& t : timers) {
        uv_timer_init(&loop, &t);
        uv_timer_start(&t, never, farDelay(&seed), 0);
    }
    for (auto _ : state) {
        for (int i = 0; i < kResetsPerIteration; i++) uv_timer_start(&timers[rand_r(&seed) % n], never, farDelay(&seed), 0);
        uv_run(&loop, UV_RUN_NOWAIT);
    }
    for (uv_timer_t& t : timers) uv_close(reinterpret_cast<uv_handle_t*>(&t), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    state.SetItemsProcessed(state.iterations() * kResetsPerIteration);
}

// What every set pays before it touches the heap, because any thread may
// set a timer: the time of day and the timer lock. libuv's timers use the
// loop's cached time and no lock.
void BM_TimerReset_ClockAndLock(benchmark::State& state) {
    CriticalBlock lock;
    struct timeval now;
    for (auto _ : state) {
        for (int i = 0; i < kResetsPerIteration; i++) {
            CriticalSection hold(lock);
            gettimeofday(&now, nullptr);
            benchmark::DoNotOptimize(now);
        }
    }
    state.SetItemsProcessed(state.iterations() * kResetsPerIteration);
}

BENCHMARK(BM_TimerReset_Loop)->Arg(1000)->Arg(100000)->Repetitions(kRepetitions);
BENCHMARK(BM_TimerReset_ClockAndLock)->Repetitions(kRepetitions);
BENCHMARK(BM_TimerReset_Libuv)->Arg(1000)->Arg(100000)->Repetitions(kRepetitions);

// --- Timers set and fired ----------------------------------------------------

const int kFiredTimers = 100000;

void BM_TimersFire_Loop(benchmark::State& state) {
    CountingHandler handler;
    std::vector<TimerEvent*> timers;
    for (int i = 0; i < kFiredTimers; i++) timers.push_back(new TimerEvent(&handler));
    ThreadContext* tc = ThreadContext::get();
    unsigned seed = 1;
    for (auto _ : state) {
        handler.calls = 0;
        for (TimerEvent* t : timers) t->set(static_cast<int>(rand_r(&seed) % 10));
        while (handler.calls < kFiredTimers) tc->run(1);
    }
    for (TimerEvent* t : timers) delete t;
    state.SetItemsProcessed(state.iterations() * kFiredTimers);
}

void BM_TimersFire_Libuv(benchmark::State& state) {
    uv_loop_t loop;
    uv_loop_init(&loop);
    long calls = 0;
    std::vector<uv_timer_t> timers(kFiredTimers);
    for (uv_timer_t& t : timers) {
        uv_timer_init(&loop, &t);
        t.data = &calls;
    }
    unsigned seed = 1;
    for (auto _ : state) {
        calls = 0;
        uv_update_time(&loop);
        for (uv_timer_t& t : timers)
            uv_timer_start(
                &t, [](uv_timer_t* h) { ++*static_cast<long*>(h->data); }, rand_r(&seed) % 10, 0);
        while (calls < kFiredTimers) uv_run(&loop, UV_RUN_ONCE);
    }
    for (uv_timer_t& t : timers) uv_close(reinterpret_cast<uv_handle_t*>(&t), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    state.SetItemsProcessed(state.iterations() * kFiredTimers);
}

// CPU time of the benchmark thread: both loops sleep until the last expiry.
BENCHMARK(BM_TimersFire_Loop)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_TimersFire_Libuv)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

// --- Cross-thread ping-pong --------------------------------------------------

const int kRoundTrips = 1000;

// Lets the benchmark thread wait for the last pong.
class Done {
public:
    void reset() {
        std::lock_guard<std::mutex> hold(_mutex);
        _done = false;
    }
    void set() {
        std::lock_guard<std::mutex> hold(_mutex);
        _done = true;
        _cond.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> hold(_mutex);
        _cond.wait(hold, [this] { return _done; });
    }

private:
    std::mutex _mutex;
    std::condition_variable _cond;
    bool _done = false;
};

// A thread running its own loop until stopped; setup and teardown run on it,
// so that what they build belongs to the thread.
class LoopThread {
public:
    template <class Setup, class Teardown>
    LoopThread(Setup setup, Teardown teardown) {
        _thread = std::thread([this, setup, teardown] {
            setup();
            _ready = true;
            while (!_stop) ThreadContext::get()->run(50);
            teardown();
        });
        while (!_ready) sched_yield();
    }
    ~LoopThread() {
        _stop = true;
        _thread.join();
    }

private:
    std::thread _thread;
    std::atomic<bool> _ready{false}, _stop{false};
};

// One side of the loop ping-pong: a count event on its own thread whose
// handler takes the unit of work and advances the other side.
struct Side : EventHandler {
    void handleEvent(Event*) override {
        event->advanceReadCount();
        if (home) {
            if (++trips < kRoundTrips) {
                other->event->advanceWriteCount();
            } else {
                done->set();
            }
        } else {
            other->event->advanceWriteCount();
        }
    }
    CountEvent* event = nullptr;
    Side* other = nullptr;
    bool home = false;
    int trips = 0;
    Done* done = nullptr;
};

void BM_PingPong_Loop(benchmark::State& state) {
    Done done;
    Side home, away;
    home.home = true;
    home.other = &away;
    home.done = &done;
    away.other = &home;
    {
        LoopThread h([&] { home.event = new CountEvent(&home); }, [&] { delete home.event; });
        LoopThread a([&] { away.event = new CountEvent(&away); }, [&] { delete away.event; });
        for (auto _ : state) {
            done.reset();
            home.trips = 0;
            away.event->advanceWriteCount();
            done.wait();
        }
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

// A libuv loop on a thread of its own, serving one async handle with
// onAsync (its data is the UvAsyncThread), and a second one that closes both
// and so lets the loop end.
struct UvAsyncThread {
    uv_loop_t loop;
    uv_async_t async;
    uv_async_t stop;
    std::thread thread;

    void start(uv_async_cb onAsync) {
        uv_loop_init(&loop);
        async.data = this;
        stop.data = this;
        uv_async_init(&loop, &async, onAsync);
        uv_async_init(&loop, &stop, [](uv_async_t* h) {
            auto* self = static_cast<UvAsyncThread*>(h->data);
            uv_close(reinterpret_cast<uv_handle_t*>(&self->async), nullptr);
            uv_close(reinterpret_cast<uv_handle_t*>(&self->stop), nullptr);
        });
        thread = std::thread([this] { uv_run(&loop, UV_RUN_DEFAULT); });
    }
    void finish() {
        uv_async_send(&stop);
        thread.join();
        uv_loop_close(&loop);
    }
};

struct UvSide : UvAsyncThread {
    UvSide* other = nullptr;
    bool home = false;
    int trips = 0;
    Done* done = nullptr;

    void start() {
        UvAsyncThread::start([](uv_async_t* h) {
            auto* self = static_cast<UvSide*>(static_cast<UvAsyncThread*>(h->data));
            if (!self->home)
                uv_async_send(&self->other->async);
            else if (++self->trips < kRoundTrips)
                uv_async_send(&self->other->async);
            else
                self->done->set();
        });
    }
};

void BM_PingPong_Libuv(benchmark::State& state) {
    Done done;
    UvSide home, away;
    home.home = true;
    home.other = &away;
    home.done = &done;
    away.other = &home;
    home.start();
    away.start();
    for (auto _ : state) {
        done.reset();
        home.trips = 0;
        uv_async_send(&away.async);
        done.wait();
    }
    home.finish();
    away.finish();
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

// The floor: the benchmark thread and one other, each blocked in read on its
// own eventfd and writing the other's.
void BM_PingPong_Eventfd(benchmark::State& state) {
    int ping = eventfd(0, EFD_CLOEXEC), pong = eventfd(0, EFD_CLOEXEC);
    std::atomic<bool> stop{false};
    std::thread away([&] {
        uint64_t v;
        while (read(ping, &v, sizeof v) == sizeof v && !stop) {
            v = 1;
            if (write(pong, &v, sizeof v) != sizeof v) break;
        }
    });
    uint64_t v = 1;
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; i++) {
            v = 1;
            if (write(ping, &v, sizeof v) != sizeof v || read(pong, &v, sizeof v) != sizeof v) abort();
        }
    }
    stop = true;
    v = 1;
    if (write(ping, &v, sizeof v) != sizeof v) abort();
    away.join();
    close(ping);
    close(pong);
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

// The loop's own mechanism without the loop: each side waits in epoll_wait
// on a non-blocking pipe, reads the byte and writes the other's pipe.
void BM_PingPong_EpollPipe(benchmark::State& state) {
    struct Side {
        int r, w, ep;
        Side() {
            int fds[2];
            if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) abort();
            r = fds[0];
            w = fds[1];
            ep = epoll_create1(EPOLL_CLOEXEC);
            struct epoll_event ev;
            ev.events = EPOLLIN;
            ev.data.fd = r;
            epoll_ctl(ep, EPOLL_CTL_ADD, r, &ev);
        }
        ~Side() {
            close(r);
            close(w);
            close(ep);
        }
        void await() const {
            struct epoll_event ev;
            char byte;
            while (epoll_wait(ep, &ev, 1, -1) != 1) {
            }
            if (read(r, &byte, 1) != 1) abort();
        }
        void send() const {
            if (write(w, "x", 1) != 1) abort();
        }
    };
    Side ping, pong;
    std::atomic<bool> stop{false};
    std::thread away([&] {
        for (;;) {
            ping.await();
            if (stop) break;
            pong.send();
        }
    });
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; i++) {
            ping.send();
            pong.await();
        }
    }
    stop = true;
    ping.send();
    away.join();
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

BENCHMARK(BM_PingPong_Loop)->UseRealTime()->Repetitions(kRepetitions);
BENCHMARK(BM_PingPong_EpollPipe)->UseRealTime()->Repetitions(kRepetitions);
BENCHMARK(BM_PingPong_Libuv)->UseRealTime()->Repetitions(kRepetitions);
BENCHMARK(BM_PingPong_Eventfd)->UseRealTime()->Repetitions(kRepetitions);

// --- Bursts of cross-thread posts -------------------------------------------

// One thread posts kBurst wake-ups to a loop thread as fast as it can; the
// loop may run its handler once for many of them. A post is a count and at
// most one nudge per pass of the woken loop, so a burst should cost about
// the counting, not a system call per post. libuv's async handle coalesces
// its sends the same way.
const int kBurst = 1000;

struct BurstSink : EventHandler {
    void handleEvent(Event*) override {
        event->advanceReadCount(event->getWriteCount() - event->getReadCount());
        if (event->getReadCount() >= target.load()) done->set();
    }
    CountEvent* event = nullptr;
    std::atomic<long long> target{0};
    Done* done = nullptr;
};

void BM_Burst_Loop(benchmark::State& state) {
    Done done;
    BurstSink sink;
    sink.done = &done;
    {
        LoopThread t([&] { sink.event = new CountEvent(&sink); }, [&] { delete sink.event; });
        for (auto _ : state) {
            // The target moves before the reset, so a late pass of the last
            // burst cannot report this one done.
            sink.target += kBurst;
            done.reset();
            for (int i = 0; i < kBurst; i++) sink.event->advanceWriteCount();
            done.wait();
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}

struct UvBurst : UvAsyncThread {
    std::atomic<long long> sent{0};
    std::atomic<long long> target{0};
    Done* done = nullptr;

    void start() {
        UvAsyncThread::start([](uv_async_t* h) {
            auto* self = static_cast<UvBurst*>(static_cast<UvAsyncThread*>(h->data));
            if (self->sent.load() >= self->target.load()) self->done->set();
        });
    }
};

void BM_Burst_Libuv(benchmark::State& state) {
    Done done;
    UvBurst sink;
    sink.done = &done;
    sink.start();
    for (auto _ : state) {
        sink.target += kBurst;
        done.reset();
        for (int i = 0; i < kBurst; i++) {
            sink.sent++;
            uv_async_send(&sink.async);
        }
        done.wait();
    }
    sink.finish();
    state.SetItemsProcessed(state.iterations() * kBurst);
}

BENCHMARK(BM_Burst_Loop)->UseRealTime()->Repetitions(kRepetitions);
BENCHMARK(BM_Burst_Libuv)->UseRealTime()->Repetitions(kRepetitions);

// Keeps the median time per iteration of every case for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                // The name without its repetition count: BM_x/arg/real_time.
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
                if (!run.run_name.time_type.empty()) name += "/" + run.run_name.time_type;
                times[name] = run.real_accumulated_time > 0 && name.find("real_time") != std::string::npos
                                  ? run.GetAdjustedRealTime()
                                  : run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double get(const std::string& name) const {
        auto it = times.find(name);
        return it == times.end() ? -1 : it->second;
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of all cases run in random order, so that a burst of load
    // on the shared machine lands on the loop and its floors alike; a flag
    // on the command line still wins.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    struct Row {
        const char* unit;
        double scale;  // from the iteration time (ns) to the unit
        std::string loop, peer, floor;
        const char* peerName;
        const char* floorName;
    };
    std::vector<Row> rows;
    for (const char* n : {"0", "100", "1000", "10000"}) {
        std::string suffix = std::string("/") + n;
        rows.push_back({"ns/call", 1.0 / kReadyCalls, "BM_Readiness_Loop" + suffix,
                        "BM_Readiness_Libuv" + suffix, "BM_Readiness_Epoll" + suffix, "libuv", "epoll"});
    }
    for (const char* n : {"1000", "100000"}) {
        std::string suffix = std::string("/") + n;
        rows.push_back({"ns/set", 1.0 / kResetsPerIteration, "BM_TimerReset_Loop" + suffix,
                        "BM_TimerReset_Libuv" + suffix, "BM_TimerReset_ClockAndLock", "libuv", "clock+lock"});
    }
    rows.push_back({"ns/timer", 1e6 / kFiredTimers, "BM_TimersFire_Loop", "BM_TimersFire_Libuv", "",
                    "libuv", nullptr});
    rows.push_back({"ns/trip", 1.0 / kRoundTrips, "BM_PingPong_Loop/real_time",
                    "BM_PingPong_Libuv/real_time", "BM_PingPong_Eventfd/real_time", "libuv", "eventfd"});
    rows.push_back({"ns/trip", 1.0 / kRoundTrips, "BM_PingPong_Loop/real_time",
                    "BM_PingPong_EpollPipe/real_time", "", "epoll+pipe", nullptr});
    rows.push_back({"ns/post", 1.0 / kBurst, "BM_Burst_Loop/real_time", "BM_Burst_Libuv/real_time", "", "libuv",
                    nullptr});

    printf("\nMedians (loop / peer; lower is better, goal <= 1.0 against libuv, <= 1.5 against eventfd):\n");
    for (const Row& r : rows) {
        double loop = reporter.get(r.loop), peer = reporter.get(r.peer);
        double floor = r.floor.empty() ? -1 : reporter.get(r.floor);
        if (loop < 0) continue;
        printf("  %-32s %10.0f %s", r.loop.c_str(), loop * r.scale, r.unit);
        if (peer > 0) printf("   %s %8.0f (x%.2f)", r.peerName, peer * r.scale, loop / peer);
        // The clock and the lock are part of a set, not a way to do it: no ratio.
        if (floor > 0 && r.floor == "BM_TimerReset_ClockAndLock")
            printf("   of which %s %4.0f", r.floorName, floor * r.scale);
        else if (floor > 0)
            printf("   %s %8.0f (x%.2f)", r.floorName, floor * r.scale, loop / floor);
        printf("\n");
    }
    return 0;
}
