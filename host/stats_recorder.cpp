#include "host/stats_recorder.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "common/log.h"
#include "common/os.h"
#include "common/stats.h"
#include "records/stats_file.h"

namespace {

int localDay(long long t, struct tm* out) {
    time_t when = static_cast<time_t>(t);
    localtime_r(&when, out);
    return (out->tm_year + 1900) * 10000 + (out->tm_mon + 1) * 100 + out->tm_mday;
}

}  // namespace

StatsRecorder::StatsRecorder(const char* dir, double interval, int period)
    : _dir(dir), _interval(interval < 1 ? 1 : static_cast<int>(interval + 0.5)), _period(period < 1 ? 1 : period),
      _file(nullptr), _day(0), _lastWrite(0), _failures(0) {}

StatsRecorder::~StatsRecorder() {
    delete _file;
    for (Pending& p : _earlier) delete p.file;
}

void StatsRecorder::startFile(long long time) {
    struct tm tm;
    _day = localDay(time, &tm);
    // Named after the first sample's local time. That name may be taken (an
    // earlier run in the same second, the hour that repeats when the clocks
    // go back), and midnight's is the consolidated day's: such a file gets a
    // counter, so that no earlier file is overwritten. Only a name that is
    // there is taken; a lookup that fails for another reason (the directory
    // gone unsearchable or turned into a file) would fail for every counter,
    // so the name is used and the write reports the problem.
    char stamp[64];
    snprintf(stamp, sizeof(stamp), "/%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
    for (int n = 0;; n++) {
        if (n == 0 && midnight) continue;
        _path = _dir + stamp + (n > 0 ? "-" + std::to_string(n) : std::string()) + ".stats";
        struct stat64 st;
        if (s_stat(_path.c_str(), &st, true) != 0) break;
    }
    _file = new StatsFile();
    _file->interval = _interval;
    _lastWrite = time;
}

void StatsRecorder::add(StatEntry* entry) {
    struct tm tm;
    // A file never spans two days: consolidation goes by the day in the name.
    if (_file != nullptr && localDay(entry->time, &tm) != _day) {
        flush();
        if (_file != nullptr) _earlier.push_back(Pending{_path, _file});
        _file = nullptr;
    }
    if (_file == nullptr) startFile(entry->time);
    _file->add(entry);
    bound();
    if (entry->time - _lastWrite >= _period) flush();
}

void StatsRecorder::bound() {
    long long kept = _file != nullptr ? _file->count : 0;
    for (const Pending& p : _earlier) kept += p.file->count;
    if (kept <= kMaxPendingEntries) return;
    // Written nowhere for a long time: the oldest sample makes room.
    StatsFile* oldest = !_earlier.empty() ? _earlier.front().file : _file;
    const std::string& path = !_earlier.empty() ? _earlier.front().path : _path;
    log(0, "Warning: statistics for '%s' could not be written for too long; the oldest sample was dropped",
        path.c_str());
    delete oldest->entries[0];
    memmove(oldest->entries, oldest->entries + 1, sizeof(StatEntry*) * (oldest->count - 1));
    oldest->count--;
    oldest->startTime = oldest->count > 0 ? oldest->entries[0]->time : 0;
    if (oldest->count == 0 && oldest != _file) {
        delete oldest;
        _earlier.erase(_earlier.begin());
    }
}

bool StatsRecorder::write(const Pending& p) {
    long rv = p.file->writeToFile(p.path.c_str());
    if (rv >= 0) return true;
    _failures++;
    log(static_cast<int>(-rv), "Error: unable to write to file '%s'", p.path.c_str());
    return false;
}

bool StatsRecorder::flush() {
    bool all = true;
    for (size_t i = 0; i < _earlier.size();) {
        if (write(_earlier[i])) {
            delete _earlier[i].file;
            _earlier.erase(_earlier.begin() + static_cast<long>(i));
        } else {
            all = false;
            i++;
        }
    }
    if (_file == nullptr || _file->count == 0) return all;
    _lastWrite = _file->endTime;
    if (!write(Pending{_path, _file})) return false;
    delete _file;
    _file = nullptr;
    return all;
}

bool checkStatsDir(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        fprintf(stderr, "drvhost: cannot use %s for statistics files: %s\n", path, strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "drvhost: cannot use %s for statistics files: %s\n", path, strerror(ENOTDIR));
        return false;
    }
    return true;
}
