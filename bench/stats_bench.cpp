// Statistics files: one hour of samples for 100 interfaces (360 entries at
// the default 10-second interval, 100 rows of speed, receive rate and
// transmit rate each) written to a statistics file and read back, beside a
// floor measured in the same run: zlib alone writing the same uncompressed
// bytes at the same level with gzwrite, and reading them back with gzread.
// The difference is what building, encoding and decoding the records costs.
//
// Each case runs 9 times, the cases interleaved so that a busy machine
// weighs on all alike; the summary gives the medians and the ratio to the
// floor.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "bench/bench_support.h"
#include "common/log.h"
#include "records/stats_file.h"

namespace {

using bench::median;

const int kEntries = 360;
const int kInterfaces = 100;
const int kRepetitions = 9;

StatsFile* makeHour() {
    StatsFile* f = new StatsFile();
    for (int e = 0; e < kEntries; e++) {
        StatEntry* entry = new StatEntry(1764900000L + e * 10);
        for (int i = 0; i < kInterfaces; i++) {
            char label[16];
            snprintf(label, sizeof(label), "eth%d", i);
            // Counters that move like real traffic: not constant, not random.
            long long rx = (e * 7919LL + i * 104729LL) % 1250000;
            long long tx = (e * 3571LL + i * 65537LL) % 125000;
            entry->addRow(new StatRow(30, 0, label,
                                      StatData::createSeriesArray(3, StatData::makeInt64(i % 3 == 0 ? 10000000 : 1000000),
                                                                  StatData::makeInt64(rx), StatData::makeInt64(tx))));
        }
        f->add(entry);
    }
    return f;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    _log_level = LOG_CRITICAL + 1;
    benchmark::Initialize(&argc, argv);  // accepts the usual flags; the cases below time themselves
    char dir[] = "/tmp/drv-stats-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    std::string ours = std::string(dir) + "/ours.stats", floorPath = std::string(dir) + "/floor.gz";

    StatsFile* hour = makeHour();
    char* body = nullptr;
    size_t bodyLength = 0;
    hour->writeToBuffer(&body, &bodyLength);

    std::vector<double> writeOurs, writeFloor, readOurs, readFloor;
    long fileBytes = 0;
    for (int r = 0; r < kRepetitions; r++) {
        auto t = std::chrono::steady_clock::now();
        if (hour->writeToFile(ours.c_str()) < 0) return 1;
        writeOurs.push_back(msSince(t));

        t = std::chrono::steady_clock::now();
        gzFile gz = gzopen(floorPath.c_str(), "wb9");
        gzwrite(gz, body, static_cast<unsigned>(bodyLength));
        gzclose(gz);
        writeFloor.push_back(msSince(t));

        t = std::chrono::steady_clock::now();
        StatsFile* back = StatsFile::readFromFile(ours.c_str());
        readOurs.push_back(msSince(t));
        if (back == nullptr || back->count != kEntries) return 1;
        delete back;

        t = std::chrono::steady_clock::now();
        gz = gzopen(floorPath.c_str(), "rb");
        std::vector<char> sink(bodyLength);
        size_t got = 0;
        int n;
        while ((n = gzread(gz, sink.data() + got, 4096 < bodyLength - got ? 4096 : static_cast<unsigned>(bodyLength - got))) > 0)
            got += static_cast<size_t>(n);
        gzclose(gz);
        readFloor.push_back(msSince(t));
        FILE* f = fopen(ours.c_str(), "rb");
        fseek(f, 0, SEEK_END);
        fileBytes = ftell(f);
        fclose(f);
    }

    printf("one hour, %d entries x %d interfaces: %zu bytes encoded, %ld bytes on disk\n", kEntries, kInterfaces,
           bodyLength, fileBytes);
    printf("medians of %d runs each            ours (ms)   zlib alone (ms)   ratio\n", kRepetitions);
    printf("write to a statistics file        %9.2f   %15.2f   %5.2f\n", median(writeOurs), median(writeFloor),
           median(writeOurs) / median(writeFloor));
    printf("read it back                      %9.2f   %15.2f   %5.2f\n", median(readOurs), median(readFloor),
           median(readOurs) / median(readFloor));

    free(body);
    delete hour;
    unlink(ours.c_str());
    unlink(floorPath.c_str());
    rmdir(dir);
    return 0;
}
