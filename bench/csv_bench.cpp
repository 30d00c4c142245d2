// CSV throughput: parseCSV and HyperCSV over a generated 100 MB file with
// quoted fields (separators, doubled quotes and line ends inside quotes),
// beside a minimal hand-written single-pass splitter over the same bytes in
// the same run (the floor). Each is run five times, interleaved, and the
// median is reported in MB/s with its ratio to the splitter.
//
//   bench_csv [MB]              (default 100)
//   bench_csv MB hyper|parse|split   one reader alone, repeated, for profiling
//
// The splitter reads the file with read() in 64 KiB blocks and splits it
// into fields (quotes, doubled quotes, CR LF) into a reused buffer, which is
// the least any reader must do. HyperCSV maps all eight columns as strings,
// without transforms, and a consumer thread (here the main thread) takes
// every row and gives it back for reuse; it is timed from start to join, and
// its CPU time is also shown split between the reader thread and the
// consumer. parseCSV is timed over the text already in memory, building the
// whole tree.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "common/log.h"
#include "csv/csv_config.h"
#include "csv/csv_parse.h"
#include "csv/hyper_csv.h"
#include "dirbase/attributes.h"
#include "script/error.h"

namespace {

using bench::median;

const int kRepeats = 5;
const int kColumns = 8;

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// CPU seconds of the whole process (every thread) so far.
double cpuNow() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU seconds of the calling thread so far.
double threadCpuNow() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One measurement: wall time, CPU time, and the part of that CPU time
// spent by the consumer (the calling thread) where there is one.
struct Timing {
    double wall;
    double cpu;
    double consumerCpu;
};

// Rows of eight fields, about 100 bytes each, a third of the fields quoted.
std::string generate(size_t bytes) {
    static const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};
    std::string text;
    text.reserve(bytes + 256);
    uint32_t seed = 1;
    auto next = [&seed] {
        seed = seed * 1103515245 + 12345;
        return seed >> 16;
    };
    char line[512];
    long long id = 0;
    while (text.size() < bytes) {
        const char* a = kWords[next() % 8];
        const char* b = kWords[next() % 8];
        int n = snprintf(line, sizeof line,
                         "%lld,\"%s, %s\",%u.%02u,2024-%02u-%02u,\"said \"\"%s\"\" twice\",%s %s %s,\"two\r\nlines\",%u\r\n",
                         ++id, a, b, next() % 10000, next() % 100, 1 + next() % 12, 1 + next() % 28, b, a, b, a,
                         next());
        text.append(line, static_cast<size_t>(n));
    }
    return text;
}

// The floor: every field found and copied once, nothing else.
Timing splitter(const char* path, long long* fields) {
    auto start = std::chrono::steady_clock::now();
    double cpu = cpuNow();
    int fd = open(path, O_RDONLY);
    std::vector<char> buf(65536);
    std::string field;
    bool inQuote = false, pendingQuote = false, pendingCr = false;
    long long count = 0;
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
        for (ssize_t i = 0; i < n; i++) {
            char c = buf[static_cast<size_t>(i)];
            if (pendingQuote) {
                pendingQuote = false;
                if (c == '"') {
                    field += '"';
                    continue;
                }
                inQuote = false;
            }
            if (inQuote) {
                if (c == '"') {
                    pendingQuote = true;
                } else {
                    field += c;
                }
                continue;
            }
            if (pendingCr) {
                pendingCr = false;
                if (c == '\n') continue;
            }
            if (c == '"') {
                inQuote = true;
            } else if (c == ',' || c == '\n' || c == '\r') {
                count++;
                field.clear();
                pendingCr = c == '\r';
            } else {
                field += c;
            }
        }
    }
    close(fd);
    *fields = count;
    return {seconds(start), cpuNow() - cpu, 0};
}

Timing runParse(const std::string& text, long long* rows) {
    auto start = std::chrono::steady_clock::now();
    double cpu = cpuNow();
    Attributes* out = nullptr;
    Error* err = parseCSV(&out, text.c_str(), "\"", ",", 0);
    Timing t = {seconds(start), cpuNow() - cpu, 0};
    if (err != nullptr || out == nullptr) {
        fprintf(stderr, "parseCSV failed\n");
        exit(1);
    }
    out->getAttribute("totalRows")->convertToInt64(*rows);
    delete out;
    return t;
}

Timing runHyper(const char* path, long long* rows) {
    CSVConfig config(path, nullptr, 9, nullptr, "\"", ",", 0);
    for (int c = kColumns; c >= 1; c--) config.addRow(new CSVRow(c, c, CSV_TYPE_STRING, nullptr));
    auto start = std::chrono::steady_clock::now();
    double cpu = cpuNow();
    double consumer = threadCpuNow();
    HyperCSV* reader = new HyperCSV(nullptr, &config, nullptr, nullptr);
    reader->setWindowSize(HyperCSV::kLargeWindowSize);  // as drvcsv reads
    reader->start();
    long long got = 0;
    CSVResultRow* row = nullptr;
    while ((row = reader->getNext(row)) != nullptr) got++;
    reader->join();
    Timing t = {seconds(start), cpuNow() - cpu, threadCpuNow() - consumer};
    if (!reader->errors().empty() || got != reader->totalRows()) {
        fprintf(stderr, "HyperCSV failed: %zu errors, %lld rows of %lld\n", reader->errors().size(), got,
                reader->totalRows());
        exit(1);
    }
    delete reader;
    *rows = got;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    setLog("/dev/null");
    size_t mb = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 100;
    if (mb == 0) mb = 100;
    std::string text = generate(mb << 20);
    char path[] = "/tmp/bench_csv.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        perror("bench_csv: temporary file");
        return 1;
    }
    close(fd);
    double size = static_cast<double>(text.size()) / (1 << 20);

    std::vector<Timing> split, parse, hyper;
    long long fields = 0, parsedRows = 0, hyperRows = 0;
    // A second argument runs that reader alone, for profiling.
    const char* only = argc > 2 ? argv[2] : nullptr;
    if (only != nullptr) {
        for (int i = 0; i < kRepeats; i++) {
            if (strcmp(only, "hyper") == 0) runHyper(path, &hyperRows);
            if (strcmp(only, "parse") == 0) runParse(text, &parsedRows);
            if (strcmp(only, "split") == 0) splitter(path, &fields);
        }
        unlink(path);
        return 0;
    }
    for (int i = 0; i < kRepeats; i++) {
        split.push_back(splitter(path, &fields));
        hyper.push_back(runHyper(path, &hyperRows));
        parse.push_back(runParse(text, &parsedRows));
    }
    unlink(path);
    if (parsedRows != hyperRows || fields != hyperRows * kColumns) {
        fprintf(stderr, "bench_csv: readers disagree: parseCSV %lld rows, HyperCSV %lld rows, splitter %lld fields\n",
                parsedRows, hyperRows, fields);
        return 1;
    }
    // Rates from the median wall time, and from the median CPU time of all
    // the process's threads (the work done, whatever else the machine runs).
    auto rate = [size](const std::vector<Timing>& runs, bool cpu) {
        std::vector<double> v;
        for (const Timing& t : runs) v.push_back(cpu ? t.cpu : t.wall);
        return size / median(v);
    };
    // HyperCSV's CPU split between its producer thread and the consumer.
    auto share = [size](const std::vector<Timing>& runs, bool producer) {
        std::vector<double> v;
        for (const Timing& t : runs) v.push_back(producer ? t.cpu - t.consumerCpu : t.consumerCpu);
        return size / median(v);
    };
    printf("%.0f MB, %lld rows of %d fields; median of %d runs\n", size, hyperRows, kColumns, kRepeats);
    printf("%-28s %10s %8s %10s %8s\n", "reader", "wall MB/s", "ratio", "CPU MB/s", "ratio");
    struct Line {
        const char* name;
        const std::vector<Timing>* runs;
    } lines[] = {{"splitter (floor)", &split}, {"HyperCSV (8 string columns)", &hyper}, {"parseCSV (whole tree)", &parse}};
    for (const Line& l : lines) {
        double w = rate(*l.runs, false), c = rate(*l.runs, true);
        printf("%-28s %10.0f %8.2f %10.0f %8.2f\n", l.name, w, w / rate(split, false), c, c / rate(split, true));
    }
    printf("HyperCSV CPU MB/s by thread: producer %.0f, consumer %.0f\n", share(hyper, true), share(hyper, false));
    return 0;
}
