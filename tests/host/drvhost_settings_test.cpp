// drvhost with a properties file and a log directory: the levels it reads,
// an edit taking effect at the next sample, and the module's runtime copy
// reading the same file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

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

// drvhost running in the background with its standard output in a file.
class Drvhost {
public:
    Drvhost(const TempDir& dir, std::vector<std::string> args) : _out(dir.file("stdout.txt")) {
        fflush(nullptr);
        _pid = fork();
        if (_pid == 0) {
            int fd = open(_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            close(fd);
            std::vector<char*> argv{const_cast<char*>(DRVHOST_PATH)};
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(DRVHOST_PATH, argv.data());
            _exit(127);
        }
    }
    ~Drvhost() { stop(); }
    Drvhost(const Drvhost&) = delete;
    Drvhost& operator=(const Drvhost&) = delete;

    // Ends the run; the exit status.
    int stop() {
        if (_pid > 0) kill(_pid, SIGTERM);
        return wait();
    }
    // Waits for the run to end by itself; the exit status.
    int wait() {
        if (_pid > 0) {
            waitpid(_pid, &_status, 0);
            _pid = -1;
        }
        return _status;
    }
    std::string out() const { return readFile(_out); }

private:
    std::string _out;
    pid_t _pid = -1;
    int _status = -1;
};

// Every log line in the directory's files (time prefix removed), files in name order.
std::vector<std::string> logLines(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> lines;
    for (const std::string& n : names)
        for (const std::string& l : splitLines(readFile(dir + "/" + n))) lines.push_back(l.size() > 14 ? l.substr(14) : l);
    return lines;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// Samples printed so far in --raw mode: each starts with a date line.
size_t rawSamples(const std::string& out) {
    size_t n = 0;
    for (const std::string& l : splitLines(out))
        if (l.size() > 6 && l.compare(0, 4, "    ") == 0 && l[4] != ' ' && l[6] == '/') n++;
    return n;
}

// Waits up to 20 s for the condition.
bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000; i++) {
        if (condition()) return true;
        usleep(10000);
    }
    return false;
}

TEST(DrvhostSettings, AnEditTakesEffectAtTheNextSample) {
    TempDir dir;
    std::string props = dir.file("dravika.properties");
    std::string logs = dir.file("logs");
    ASSERT_EQ(0, mkdir(logs.c_str(), 0700));
    writeProperties(props, "log_host: DEBUG\n");
    Drvhost run(dir, {"--properties", props, "--log-dir", logs, "--interval", "0.02", "--raw"});

    ASSERT_TRUE(waitFor([&] { return countContaining(logLines(logs), "sample 3: ") == 1; }));
    writeProperties(props, "log_host: INFO\n");
    ASSERT_TRUE(waitFor([&] { return countContaining(logLines(logs), "has changed") == 1; }));
    // Let a few samples pass at INFO, where none is logged.
    size_t quiet = rawSamples(run.out());
    ASSERT_TRUE(waitFor([&] { return rawSamples(run.out()) >= quiet + 3; }));
    writeProperties(props, "log_host: TRACE\n");
    ASSERT_TRUE(waitFor([&] { return countContaining(logLines(logs), " row: ") > 0; }));
    int status = run.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> lines = logLines(logs);
    EXPECT_EQ("Reading " + props + ", ...", lines.at(0));
    EXPECT_EQ("    dravika.properties: log_host = DEBUG", lines.at(1));
    auto changed = [&](size_t from) {
        return std::find_if(lines.begin() + from, lines.end(),
                            [](const std::string& l) { return l.find("has changed") != std::string::npos; }) -
               lines.begin();
    };
    size_t toInfo = changed(0);
    size_t toTrace = changed(toInfo + 1);
    ASSERT_LT(toTrace, lines.size());
    EXPECT_EQ("Config file, " + props + ", has changed", lines[toInfo]);

    // At DEBUG: one line per sample, no rows. The sample right after each
    // reload already follows the new level.
    for (size_t i = 2; i < toInfo; i++) EXPECT_EQ(0u, lines[i].find("sample ")) << lines[i];
    EXPECT_EQ(0u, countContaining(std::vector<std::string>(lines.begin(), lines.begin() + toInfo), " row: "));
    EXPECT_EQ((std::vector<std::string>{"    dravika.properties: log_host = INFO",
                                        "Config file, " + props + ", has changed",
                                        "    dravika.properties: log_host = TRACE"}),
              std::vector<std::string>(lines.begin() + toInfo + 1, lines.begin() + toTrace + 2));
    long lastDebug = 0, firstTrace = 0;
    ASSERT_EQ(1, sscanf(lines[toInfo - 1].c_str(), "sample %ld:", &lastDebug)) << lines[toInfo - 1];
    ASSERT_EQ(1, sscanf(lines[toTrace + 2].c_str(), "sample %ld:", &firstTrace)) << lines[toTrace + 2];
    EXPECT_GE(firstTrace, lastDebug + 4);  // the samples taken at INFO left no line
    // The signal thread says goodbye last.
    EXPECT_EQ("Received request to shutdown...", lines.back());
    for (size_t i = toTrace + 3; i + 1 < lines.size(); i++) EXPECT_EQ(0u, lines[i].find("sample ")) << lines[i];
}

TEST(DrvhostSettings, BothRuntimeCopiesReadTheFileAndAMissingOneIsReportedOnce) {
    TempDir dir;
    std::string props = dir.file("dravika.properties");
    std::string logs = dir.file("logs");
    ASSERT_EQ(0, mkdir(logs.c_str(), 0700));

    Drvhost missing(dir, {"--properties", props, "--log-dir", logs, "--interval", "0.02", "--count", "3"});
    int status = missing.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> lines = logLines(logs);
    EXPECT_EQ((std::vector<std::string>{"Warning: file " + props + " was not found. All properties set to defaults",
                                        "Received request to shutdown..."}),
              lines);

    // A bad value is reported by each copy that reads it: drvhost's and the
    // module's. hourly_logs moves both copies onto hourly files.
    logs = dir.file("logs2");
    ASSERT_EQ(0, mkdir(logs.c_str(), 0700));
    writeProperties(props, "log_coms: debug\nhourly_logs: on\nlog_host: DEBUG\n");
    Drvhost run(dir, {"--properties", props, "--log-dir", logs, "--interval", "0.02", "--count", "2"});
    status = run.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    lines = logLines(logs);
    EXPECT_EQ(2u, countContaining(lines, "dravika.properties. (property = log_coms, line = 1, Use TRACE"));
    bool hourlyFile = false;
    if (DIR* d = opendir(logs.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            // dravika_YYYYMMDD_HH.log
            if (name.size() == 23 && name.compare(0, 8, "dravika_") == 0 && name[16] == '_') {
                hourlyFile = true;
                std::string text = readFile(logs + "/" + name);
                EXPECT_NE(std::string::npos, text.find("sample 2: ")) << text;
            }
        }
        closedir(d);
    }
    EXPECT_TRUE(hourlyFile);
}

TEST(DrvhostSettings, MessagesGoToStandardOutputWithoutALogDirectory) {
    TempDir dir;
    std::string props = dir.file("p.properties");
    writeProperties(props, "log_host: DEBUG\n");
    Drvhost run(dir, {"--properties", props, "--interval", "0.02", "--count", "2"});
    int status = run.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string out = run.out();
    EXPECT_NE(std::string::npos, out.find(": Reading " + props + ", ...\n")) << out;
    EXPECT_NE(std::string::npos, out.find(": sample 2: ")) << out;
    EXPECT_NE(std::string::npos, out.find("time      interface")) << out;

    // A log directory that cannot be written is refused up front.
    Drvhost bad(dir, {"--log-dir", dir.file("none"), "--count", "1"});
    status = bad.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
