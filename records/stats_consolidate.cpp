// StatsFile::consolidate: one file per day out of the day's statistics files.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/os.h"
#include "records/stats_file.h"

namespace {

const char kSuffix[] = ".stats";

struct Input {
    std::string path;
    std::unique_ptr<StatsFile> file;
};

bool isDayFile(const char* name, const char* prefix) {
    size_t n = strlen(name), suffix = sizeof(kSuffix) - 1;
    if (n < 7) return false;
    return strncmp(name, prefix, strlen(prefix)) == 0 && strcmp(name + n - suffix, kSuffix) == 0;
}

// A name beside path that no file has yet: "path.unreadable", else with a
// number after it. Empty when none is free.
std::string unusedAsideName(const std::string& path) {
    for (int i = 0; i < 1000; i++) {
        std::string name = path + ".unreadable" + (i == 0 ? "" : "-" + std::to_string(i));
        char buf[kChrootPathMax + 256];
        struct stat st;
        if (lstat(s_adjust_path(buf, sizeof(buf), name.c_str()), &st) != 0 && errno == ENOENT) return name;
    }
    return "";
}

}  // namespace

int StatsFile::consolidate(const char* dir, struct tm* day) {
    if (dir == nullptr || day == nullptr) {
        log(0, "Error: consolidation needs a folder and a day");
        return -1;
    }
    char prefix[32];
    snprintf(prefix, sizeof(prefix), "%04d%02d%02d-", day->tm_year + 1900, day->tm_mon + 1, day->tm_mday);
    char target[kChrootPathMax];
    snprintf(target, sizeof(target), "%s/%04d%02d%02d-000000.stats", dir, day->tm_year + 1900, day->tm_mon + 1,
             day->tm_mday);

    std::vector<Input> inputs;
    // The day's earlier consolidated file exists but did not read: its
    // entries are not in the merge, so it must not be replaced by it.
    bool targetUnreadable = false;
    DIR* d = s_opendir(dir, true);
    if (d != nullptr) {
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            if (isDayFile(e->d_name, prefix)) names.push_back(e->d_name);
        }
        closedir(d);
        // Directory order is the file system's; by name they read the same
        // way every time.
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string path = std::string(dir) + "/" + name;
            printf("Will consolidate: %s\n", path.c_str());
            StatsFile* f = readFromFile(path.c_str());
            if (f != nullptr)
                inputs.push_back(Input{path, std::unique_ptr<StatsFile>(f)});
            else if (path == target)
                targetUnreadable = true;
        }
    }
    if (inputs.empty()) return 0;

    std::stable_sort(inputs.begin(), inputs.end(),
                     [](const Input& a, const Input& b) { return a.file->startTime < b.file->startTime; });
    StatsFile merged;
    merged.interval = inputs.front().file->interval;
    // Room for every entry at once: grown by add()'s twenty at a time, a day
    // of many entries would cost the square of their number in copying.
    size_t total = 0;
    for (const Input& in : inputs) total += static_cast<size_t>(in.file->count);
    if (total > 0 && total <= static_cast<size_t>(INT_MAX)) {
        merged.entries = static_cast<StatEntry**>(malloc(sizeof(StatEntry*) * total));
        merged.capacity = static_cast<int>(total);
    }
    // A start of 0 is no start (a file without entries): it is not the
    // earliest one.
    long long start = 0, end = inputs.front().file->endTime;
    for (Input& in : inputs) {
        int n = 0;
        StatEntry** entries = in.file->releaseEntries(&n);
        for (int i = 0; i < n; i++) merged.add(entries[i]);
        free(entries);
        if (in.file->startTime != 0 && (start == 0 || in.file->startTime < start)) start = in.file->startTime;
        if (in.file->endTime > end) end = in.file->endTime;
    }
    merged.startTime = start;
    merged.endTime = end;

    // Written beside the target and renamed over it, so that a failed write
    // never costs the day's earlier consolidated file.
    // The name is one anyone who can write here can foresee: the file is
    // created afresh, never opened through a link left in its place. A file
    // or link left there (by an interrupted run, say) is removed first;
    // anything else there makes the write fail.
    std::string temporary = std::string(target) + ".new";
    long rv = merged.writeToNewFile(temporary.c_str());
    if (rv == -EEXIST) {
        char buf[kChrootPathMax + 256];
        const char* real = s_adjust_path(buf, sizeof(buf), temporary.c_str());
        struct stat st;
        if (lstat(real, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && unlink(real) == 0)
            rv = merged.writeToNewFile(temporary.c_str());
    }
    printf("write returns %d\n", static_cast<int>(rv));
    bool written = rv >= 0;
    if (rv >= 0 && targetUnreadable) {
        // Kept under a name that says why, for whoever can still recover it.
        std::string aside = unusedAsideName(target);
        if (aside.empty()) errno = EEXIST;
        if (aside.empty() || s_rename(target, aside.c_str()) != 0) {
            rv = -errno;
            log(errno, "Error: '%s' cannot be read and cannot be moved aside; it is not replaced", target);
        } else {
            log(0, "Warning: '%s' cannot be read; moved to '%s'", target, aside.c_str());
        }
    }
    if (rv >= 0 && s_rename(temporary.c_str(), target) != 0) rv = -errno;
    if (rv < 0) {
        char buf[kChrootPathMax + 256];
        if (written) unlink(s_adjust_path(buf, sizeof(buf), temporary.c_str()));
        log(static_cast<int>(-rv), "Error: unable to write to file '%s'", target);
        return -1;
    }
    printf("Data consolidated in: %s\n", target);
    for (const Input& in : inputs) {
        if (in.path == target) continue;
        char buf[kChrootPathMax + 256];
        if (unlink(s_adjust_path(buf, sizeof(buf), in.path.c_str())) != 0)
            log(errno, "Warning: Unable to delete data file: '%s'", in.path.c_str());
    }
    return 0;
}
