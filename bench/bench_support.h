// What the benchmark programs share: the repeated, interleaved default run
// (or only the interleaving, where cases set their own repetitions), a
// reporter that keeps each case's median for the summary a program prints
// beside its floor, and the median and CPU clock of the programs that time
// their own runs.
#ifndef DRV_BENCH_BENCH_SUPPORT_H
#define DRV_BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The middle one of a set of measurements (0 for none): a run slowed by a
// burst of load elsewhere moves it little.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The processor time this process has used, in seconds.
inline double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Keeps, per case (function name), the median CPU time per iteration and
// the median run's counters. A case run once (no repetitions asked for)
// stands for its own median.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string& name = run.run_name.function_name;
            bool single = run.run_type == Run::RT_Iteration;
            if (single ? times.count(name) > 0 : run.aggregate_name != "median") continue;
            times[name] = run.GetAdjustedCPUTime();
            for (const auto& c : run.counters) counters[name][c.first] = c.second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    bool has(const std::string& name) const { return times.count(name) > 0; }
    double time(const std::string& name) const { return has(name) ? times.at(name) : 0.0; }
    bool hasCounter(const std::string& name, const char* counter) const {
        auto it = counters.find(name);
        return it != counters.end() && it->second.count(counter) > 0;
    }
    double counter(const std::string& name, const char* counter) const {
        return hasCounter(name, counter) ? double(counters.at(name).at(counter)) : 0.0;
    }

private:
    std::map<std::string, double> times;
    std::map<std::string, std::map<std::string, double>> counters;
};

// Initialises Google Benchmark with `repetitions` interleaved repetitions
// reported as aggregates, unless the command line asks for repetitions
// itself; then runs every case through `reporter`.
inline void runRepeated(int argc, char** argv, int repetitions, benchmark::BenchmarkReporter& reporter) {
    std::vector<std::string> extra;
    bool given = false;
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--benchmark_repetitions", 23) == 0) given = true;
    if (!given) {
        extra.push_back("--benchmark_repetitions=" + std::to_string(repetitions));
        extra.push_back("--benchmark_enable_random_interleaving=true");
        extra.push_back("--benchmark_report_aggregates_only=true");
    }
    std::vector<char*> args(argv, argv + argc);
    for (std::string& e : extra) args.push_back(&e[0]);
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
}

// Initialises Google Benchmark for a program whose cases set their own
// repetitions, with the repetitions of all cases run in random order, so
// that a burst of load on a shared machine lands on a case and its floor
// alike; a flag on the command line still wins.
inline void initInterleaved(int argc, char** argv) {
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static std::vector<char*> args;
    args.assign(argv, argv + argc);
    args.insert(args.begin() + (argc > 0 ? 1 : 0), interleave);
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
}

}  // namespace bench

#endif
