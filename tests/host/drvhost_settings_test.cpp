// drvhost with a properties file and a log directory: the levels it reads,
// an edit taking effect at the next sample, and the module's runtime copy
// reading the same file. The texts of the lines themselves are the
// properties tests' business.
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/wait_for.h"

namespace {

// Replaces the file in one step (drvhost may be reading it) with a
// modification time of its own, so that every rewrite is a change even
// within one second.
void writeProperties(const std::string& path, const std::string& content) {
    static time_t mtime = 1600000000;
    std::string next = path + ".next";
    writeFile(next, content);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    mtime += 10;
    utimensat(AT_FDCWD, next.c_str(), times, 0);
    rename(next.c_str(), path.c_str());
}

std::vector<std::string> logFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every log line in the directory's files (time prefix removed), files in name order.
std::vector<std::string> logLines(const std::string& dir) {
    std::vector<std::string> lines;
    for (const std::string& n : logFiles(dir))
        for (const std::string& l : splitLines(readFile(dir + "/" + n)))
            lines.push_back(l.size() > 14 ? l.substr(14) : l);
    return lines;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(DrvhostSettings, AnEditTakesEffectAtTheNextSample) {
    TempDir dir;
    std::string props = dir.file("dravika.properties");
    std::string logs = dir.file("logs");
    ASSERT_EQ(0, mkdir(logs.c_str(), 0700));
    writeProperties(props, "log_host: DEBUG\n");
    Process run(DRVHOST_PATH, {"--properties", props, "--log-dir", logs, "--interval", "0.02", "--raw"});
    auto logged = [&](const char* text) { return countContaining(logLines(logs), text); };

    ASSERT_TRUE(waitFor([&] { return logged("sample 3: ") == 1; }));
    writeProperties(props, "log_host: INFO\n");
    ASSERT_TRUE(waitFor([&] { return logged("has changed") == 1; }));
    // Let a few samples pass at INFO, where none is logged; each starts
    // with a date line on standard output.
    auto samples = [&] { return countContaining(splitLines(run.out()), "/"); };
    size_t quiet = samples();
    ASSERT_TRUE(waitFor([&] { return samples() >= quiet + 3; }));
    writeProperties(props, "log_host: TRACE\n");
    ASSERT_TRUE(waitFor([&] { return logged(" row: ") > 0; }));
    EXPECT_EQ(0, run.stop());

    // At DEBUG one line per sample and no rows; the sample right after
    // each reload already follows the new level.
    std::vector<std::string> lines = logLines(logs);
    size_t toInfo = std::find_if(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.find("has changed") != std::string::npos; }) -
                    lines.begin();
    ASSERT_LT(toInfo + 5, lines.size());
    for (size_t i = 2; i < toInfo; i++) EXPECT_EQ(0u, lines[i].find("sample ")) << lines[i];
    EXPECT_EQ("    dravika.properties: log_host = INFO", lines[toInfo + 1]);
    EXPECT_EQ("    dravika.properties: log_host = TRACE", lines[toInfo + 3]);
    long lastDebug = 0, firstTrace = 0;
    ASSERT_EQ(1, sscanf(lines[toInfo - 1].c_str(), "sample %ld:", &lastDebug)) << lines[toInfo - 1];
    ASSERT_EQ(1, sscanf(lines[toInfo + 4].c_str(), "sample %ld:", &firstTrace)) << lines[toInfo + 4];
    EXPECT_GE(firstTrace, lastDebug + 4);  // the samples taken at INFO left no line
    // The signal thread says goodbye before it runs the shutdown handlers,
    // so the lines of at most one sample may follow it.
    auto bye = std::find(lines.begin(), lines.end(), "Received request to shutdown...");
    ASSERT_NE(lines.end(), bye);
    long last = -1;
    for (auto l = bye + 1; l != lines.end(); ++l) {
        long n = 0;
        ASSERT_EQ(1, sscanf(l->c_str(), "sample %ld", &n)) << *l;
        if (last == -1) last = n;
        EXPECT_EQ(last, n) << *l;
    }
}

TEST(DrvhostSettings, BothRuntimeCopiesReadTheFileAndAMissingOneIsReportedOnce) {
    TempDir dir;
    std::string props = dir.file("dravika.properties");
    std::string logs = dir.file("logs");
    ASSERT_EQ(0, mkdir(logs.c_str(), 0700));
    std::vector<std::string> args = {"--properties", props, "--log-dir", logs, "--interval", "0.02", "--count", "2"};
    EXPECT_EQ(0, runToEnd(DRVHOST_PATH, args).status);
    EXPECT_EQ(1u, countContaining(logLines(logs), " was not found. All properties set to defaults"));

    // A bad value is reported by each copy that reads it: drvhost's and the
    // module's. hourly_logs moves both copies onto hourly files.
    writeProperties(props, "log_coms: debug\nhourly_logs: on\nlog_host: DEBUG\n");
    EXPECT_EQ(0, runToEnd(DRVHOST_PATH, args).status);
    EXPECT_EQ(2u, countContaining(logLines(logs), "dravika.properties. (property = log_coms, line = 1, Use TRACE"));
    std::vector<std::string> files = logFiles(logs);
    // dravika_YYYYMMDD_HH.log after the daily file of the first run.
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(23u, files[1].size()) << files[1];
    EXPECT_NE(std::string::npos, readFile(logs + "/" + files[1]).find("sample 2: "));
}

}  // namespace
