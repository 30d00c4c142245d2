// drvhost's statistics files: the samples it collects go into files named
// "YYYYMMDD-HHMMSS.stats" (local time of the file's first sample) in one
// directory, as the agent keeps them. A file is written when its period is
// over, when the day changes, and when drvhost stops.
//
// A file that cannot be written (a full or read-only file system) is
// reported with the error and kept in memory; the next write tries again
// with everything collected since, and sampling goes on meanwhile. A file
// of an earlier day that could not be written waits beside the current one.
// What is kept is bounded: past kMaxPendingEntries the oldest samples are
// dropped, and that is logged too.
//
// Thread-safety: none; the sampling loop's thread owns it.
#ifndef DRV_HOST_STATS_RECORDER_H
#define DRV_HOST_STATS_RECORDER_H

#include <string>
#include <vector>

class StatEntry;
class StatsFile;

class StatsRecorder {
public:
    static const int kMaxPendingEntries = 100000;

    // dir must exist; interval is the sampling interval in seconds (written
    // into each file, at least 1); a new file starts every period seconds.
    StatsRecorder(const char* dir, double interval, int period);
    ~StatsRecorder();
    StatsRecorder(const StatsRecorder&) = delete;
    StatsRecorder& operator=(const StatsRecorder&) = delete;

    // Takes ownership of entry and writes the current file when its period
    // or its day is over.
    void add(StatEntry* entry);
    // Writes what is pending now (at stop). True when nothing is left.
    bool flush();

    // Writes that failed so far.
    int failures() const { return _failures; }

private:
    struct Pending {
        std::string path;
        StatsFile* file;
    };

    void startFile(long long time);
    // Writes one file; false (logged) when it cannot be written.
    bool write(const Pending& p);
    // Drops the oldest samples while more than kMaxPendingEntries are kept.
    void bound();

    std::string _dir;
    int _interval;
    int _period;
    StatsFile* _file;
    std::string _path;
    // Files of earlier days still to be written, oldest first.
    std::vector<Pending> _earlier;
    // Local day (year * 10000 + month * 100 + day) of the file's first sample.
    int _day;
    // When the current file was last written or tried, or started.
    long long _lastWrite;
    int _failures;
};

// Whether path names an existing directory; false with the reason on
// standard error.
bool checkStatsDir(const char* path);

#endif
