// The logging family: dated file names, the line format, thresholds,
// standard output, and many writers on one file.
#include "common/log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fifo_release.h"
#include "tests/support/log_capture.h"
#include "tests/support/pattern.h"
#include "tests/support/temp_dir.h"

namespace {

// The dated file a message written now goes to.
std::string datedPath(const std::string& dir, const char* name) {
    time_t t = time(nullptr);
    struct tm now;
    localtime_r(&t, &now);
    char path[512];
    logFilePath(path, sizeof(path), dir.c_str(), name, now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour);
    return path;
}

// Logs a message, with name as the file's base name when named, and returns
// the text of the dated file it went to (the hour may turn between
// computing a name and writing).
std::string logToDated(const std::string& dir, const char* name, const char* message, bool named = false) {
    std::string before = datedPath(dir, name);
    if (named)
        log(name, 0, "%s", message);
    else
        log(0, "%s", message);
    std::string text = readFile(before);
    return text.empty() ? readFile(datedPath(dir, name)) : text;
}

// The log on a FIFO with a small pipe: a writer's long message fills the
// pipe, and that writer keeps its turn at the log until the test drains it.
class HeldFifoLog {
public:
    HeldFifoLog(TempDir& dir, const char* name) : _oldPipe(signal(SIGPIPE, SIG_IGN)) {
        std::string fifo = dir.file(name);
        if (mkfifo(fifo.c_str(), 0600) == 0) _reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        if (_reader >= 0 && fcntl(_reader, F_SETPIPE_SZ, 4096) < 0) {
            close(_reader);
            _reader = -1;
        }
        setLogDir("");
        if (_reader >= 0) setLog(fifo.c_str());
    }
    ~HeldFifoLog() {
        stopDraining();
        if (_reader >= 0) close(_reader);
        signal(SIGPIPE, _oldPipe);
        setLog("");
    }
    bool ready() const { return _reader >= 0; }
    // Whether the pipe has something to read within 20 s.
    bool written() {
        struct pollfd pfd = {_reader, POLLIN, 0};
        return poll(&pfd, 1, 20000) == 1;
    }
    void startDraining() {
        _drain = std::thread([this] {
            char buf[4096];
            // Once told to stop, it still reads until the pipe is empty.
            for (;;) {
                struct pollfd p = {_reader, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0) {
                    if (_stop) break;
                    continue;
                }
                ssize_t n = ::read(_reader, buf, sizeof(buf));
                if (n > 0)
                    _read.append(buf, static_cast<size_t>(n));
                else if (_stop)
                    break;
            }
        });
    }
    // What was read. The callers' writers are done by then, so all they
    // wrote is in the pipe, however late a loaded machine runs the drain.
    const std::string& stopDraining() {
        if (_drain.joinable()) {
            _stop = true;
            _drain.join();
        }
        return _read;
    }

private:
    void (*_oldPipe)(int);
    int _reader = -1;
    std::thread _drain;
    std::atomic<bool> _stop{false};
    std::string _read;
};

TEST(LogFiles, DatedNamesDailyAndHourly) {
    char path[256];
    _hourlyLogs = false;
    logFilePath(path, sizeof(path), "/var/log/x", "dravika", 2024, 3, 5, 14);
    EXPECT_STREQ("/var/log/x/dravika_20240305.log", path);
    _hourlyLogs = true;
    logFilePath(path, sizeof(path), "/var/log/x", "dravika", 2024, 3, 5, 14);
    EXPECT_STREQ("/var/log/x/dravika_20240305_14.log", path);
    logFilePath(path, sizeof(path), "/var/log/x", "dravika", 2024, 12, 31, 0);
    EXPECT_STREQ("/var/log/x/dravika_20241231_00.log", path);

    // Real files: the base name, a per-message name, and hourly files.
    TempDir dir;
    _hourlyLogs = false;
    setLogDir(dir.path().c_str());
    setLogName("svc");
    EXPECT_NE(std::string::npos, logToDated(dir.path(), "svc", "to the daily file").find("to the daily file"));
    std::string other = logToDated(dir.path(), "other", "to a file of its own name", true);
    EXPECT_NE(std::string::npos, other.find("to a file of its own name"));
    _hourlyLogs = true;
    std::string hourly = logToDated(dir.path(), "svc", "to the hourly file");
    EXPECT_NE(std::string::npos, hourly.find("to the hourly file"));
    EXPECT_EQ(std::string::npos, hourly.find("to the daily file"));
    // Files are created for everyone to write, whatever the umask was.
    struct stat st;
    ASSERT_EQ(0, stat(datedPath(dir.path(), "svc").c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);

    // A directory too long for its field is refused, and says so where the log goes now.
    setLogDir(std::string(5000, 'd').c_str());
    std::string text = logToDated(dir.path(), "svc", "still here");
    EXPECT_NE(std::string::npos, text.find("Log directory longer than 4095 characters ignored: ddd")) << text;
    EXPECT_NE(std::string::npos, text.find("still here"));

    _hourlyLogs = false;
    setLogName("dravika");
    setLogDir("");
}

TEST(LogFiles, LoneWriterReopensTheFileForEachMessage) {
    TempDir dir;
    std::string path = dir.file("fixed.log");
    setLog(path.c_str());
    log(0, "one");
    ASSERT_NE(std::string::npos, readFile(path).find("one"));
    // Had the stream stayed open, "two" would go to the removed file.
    ASSERT_EQ(0, unlink(path.c_str()));
    log(0, "two");
    std::string text = readFile(path);
    EXPECT_EQ(std::string::npos, text.find("one"));
    EXPECT_NE(std::string::npos, text.find("two"));
    setLog("");
}

// A named pipe as the log file or as a dated file: with a reader on it the
// messages flow; with none, opening it must not wait for one, since every
// thread that logs would queue up behind the writer stuck in the open.
TEST(LogFiles, ANamedPipeWithoutAReaderDoesNotHoldUpTheWriters) {
    TempDir dir;
    std::string fifo = dir.file("fifo.log");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    setLogDir("");
    setLog(fifo.c_str());
    EXPECT_TRUE(finishesWithoutBlocking([] { log(0, "nobody reads this"); }, fifo))
        << "the writer waited for a reader of the pipe";

    // A reader on the pipe gets the messages.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    log(0, "someone reads this");
    char buf[256] = "";
    ssize_t n = read(reader, buf, sizeof(buf) - 1);
    close(reader);
    ASSERT_GT(n, 0);
    EXPECT_NE(nullptr, strstr(buf, "someone reads this")) << buf;
    EXPECT_EQ(nullptr, strstr(buf, "nobody reads this")) << buf;

    // The same for a dated file.
    setLog("");
    std::string dated = datedPath(dir.path(), "piped");
    ASSERT_EQ(0, mkfifo(dated.c_str(), 0600));
    setLogName("piped");
    setLogDir(dir.path().c_str());
    EXPECT_TRUE(finishesWithoutBlocking([] { log(0, "nobody reads this either"); }, dated))
        << "the writer waited for a reader of the dated pipe";
    setLogDir("");
    setLogName("dravika");
}

// While writers queue up the file stays open from one to the next. Clearing
// the destination meanwhile must not leave the file as the log: once no
// file is configured, nothing more is written to it.
TEST(LogFiles, AFileKeptOpenForQueuedWritersIsLetGoWhenTheDestinationIsCleared) {
    TempDir dir;
    HeldFifoLog held(dir, "held.log");
    ASSERT_TRUE(held.ready());
    std::string big(12000, 'b');
    std::thread first([&] { log(0, "%s", big.c_str()); });
    ASSERT_TRUE(held.written()) << "the first writer never wrote";
    // The destination is cleared while the first writer has its turn; more
    // writers queue up behind both.
    std::thread clearer([] { setLog(""); });
    usleep(200 * 1000);
    std::vector<std::thread> queued;
    for (int i = 0; i < 3; i++) queued.emplace_back([i] { log(0, "queued %d", i); });
    usleep(200 * 1000);

    held.startDraining();
    first.join();
    clearer.join();
    for (std::thread& t : queued) t.join();
    log(0, "after clearing");
    const std::string& read = held.stopDraining();

    EXPECT_NE(std::string::npos, read.find(big));
    EXPECT_EQ(std::string::npos, read.find("after clearing")) << read.substr(read.find(big) + big.size());
}

TEST(LogFormat, PrefixIdAndErrorLines) {
    LogCapture log;
    time_t before = time(nullptr);
    ::log(LOG_INFO, 0, 0x1fLL, "with id %d", 7);
    ::log(ENOENT, "failed");
    ::log(-13, "late");
    ::log("named", 0, "named form");
    // messages() takes off each "HH:MM:SS.mmm: " prefix; error lines have none.
    EXPECT_EQ("000000000000001f: with id 7\nfailed\n    2 " + std::string(strerror(ENOENT)) +
                  "\nlate\n    -13 Timeout\nnamed form\n",
              log.messages());
    // The prefix is the local time of the message.
    std::string first = splitLines(log.text())[0];
    std::vector<std::string> m;
    ASSERT_TRUE(fullMatch(first, "([0-9]{2}):([0-9]{2}):([0-9]{2})\\.[0-9]{3}: .*", &m)) << first;
    struct tm local;
    localtime_r(&before, &local);
    int logged = std::stoi(m[0]) * 3600 + std::stoi(m[1]) * 60 + std::stoi(m[2]);
    int expected = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    EXPECT_TRUE(logged == expected || logged == (expected + 1) % 86400) << first;

    // Long messages are cut to what the 16383-byte buffer holds.
    log.clear();
    std::string huge(20000, 'x');
    ::log(0, "%s", huge.c_str());
    EXPECT_EQ(std::string(16382, 'x') + "\n", log.messages());
}

TEST(LogLevels, AreaAndGlobalThresholds) {
    LogCapture log;
    int savedComs = _debug_coms, savedGlobal = _log_level;
    // A message is written when its level is at least the threshold, for an
    // area's threshold and for the global one alike.
    struct Case {
        int threshold, level;
        bool written;
    } cases[] = {{LOG_INFO, LOG_DEBUG, false}, {LOG_INFO, LOG_INFO, true},   {LOG_DEBUG, LOG_DEBUG, true},
                 {LOG_DEBUG, LOG_TRACE, false}, {LOG_TRACE, LOG_TRACE, true}, {LOG_ERROR, LOG_WARNING, false},
                 {LOG_ERROR, LOG_CRITICAL, true}};
    std::string expected;
    for (const Case& c : cases) {
        _debug_coms = _log_level = c.threshold;
        ::log(_debug_coms, c.level, 0, 0, "area %d at %d", c.level, c.threshold);
        ::log(c.level, 0, 0, "global %d at %d", c.level, c.threshold);
        std::string suffix = " " + std::to_string(c.level) + " at " + std::to_string(c.threshold) + "\n";
        if (c.written) expected += "area" + suffix + "global" + suffix;
    }
    // These two forms ignore every threshold.
    ::log(0, "unconditional");
    ::log("name", 0, "named unconditional");
    EXPECT_EQ(expected + "unconditional\nnamed unconditional\n", log.messages());
    _debug_coms = savedComs;
    _log_level = savedGlobal;
}

TEST(LogIds, ProcessIdAboveACounter) {
    long long first = nextLogId();
    long long second = nextLogId();
    const long long lowMask = (1LL << 37) - 1;
    EXPECT_EQ(static_cast<long long>(getpid()), first >> 37);
    EXPECT_EQ(static_cast<long long>(getpid()), second >> 37);
    EXPECT_EQ((first & lowMask) + 1, second & lowMask);
    EXPECT_GE(first & lowMask, 1);
}

// Runs body in a child whose standard output goes to a file, and returns what it printed.
template <typename Body>
std::string childStdout(const TempDir& dir, Body body) {
    std::string out = dir.file("stdout.txt");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
        body();
        fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return readFile(out);
}

TEST(LogStdout, OnlyWhenCopyingOrChosen) {
    TempDir dir;
    std::string logDir = dir.file("logs");
    ASSERT_EQ(0, mkdir(logDir.c_str(), 0700));
    std::string printed = childStdout(dir, [&] {
        log(0, "nowhere");  // neither file nor directory, no copy
        copyLogToStdout();
        log(0, "copied");
        setLogDir(logDir.c_str());
        log(0, "file and copy");
        setLogDir("/nonexistent/dir");
        log(0, "lost file, copy kept");
        setLogDir("");
        setLog(nullptr);
        log(0, "stdout is the log");
    });
    std::string messages;
    for (const std::string& line : splitLines(printed)) messages += line.substr(14) + "\n";
    // Standard output as the log stream gets the line, and the copy gets it again.
    EXPECT_EQ("copied\nfile and copy\nlost file, copy kept\nstdout is the log\nstdout is the log\n", messages);
    std::string file = readFile(datedPath(logDir, "dravika"));
    EXPECT_EQ(1u, splitLines(file).size()) << file;
    EXPECT_NE(std::string::npos, file.find("file and copy"));

    // Without copying, setLog(nullptr) is what puts messages on standard output.
    printed = childStdout(dir, [] {
        log(0, "before");
        setLog(nullptr);
        log(0, "after");
    });
    EXPECT_EQ(1u, splitLines(printed).size()) << printed;
    EXPECT_NE(std::string::npos, printed.find("after"));
}

// A process forked while another thread has its turn at the log (a
// connection served in a child of its own) keeps only the forking thread:
// the child must not wait for a writer that does not exist there.
TEST(LogConcurrency, AChildForkedWhileAnotherThreadWritesCanLog) {
    TempDir dir;
    HeldFifoLog held(dir, "forked.log");
    ASSERT_TRUE(held.ready());
    std::string big(12000, 'b');
    std::thread writer([&] { log(0, "%s", big.c_str()); });
    ASSERT_TRUE(held.written()) << "the writer never wrote";

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A child that hangs is ended by the alarm: that is the failure.
        alarm(30);
        log(0, "from the child");
        _exit(0);
    }

    held.startDraining();
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    writer.join();
    const std::string& read = held.stopDraining();

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child did not finish its log line (signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
    // Two processes write to one pipe: the child's line may land inside the
    // writer's long one, but neither loses anything.
    EXPECT_EQ(big.size(), static_cast<size_t>(std::count(read.begin(), read.end(), 'b')));
    EXPECT_NE(std::string::npos, read.find("from the child"));
}

TEST(LogConcurrency, EightWritersOneDatedFileNoLineLostOrTorn) {
    TempDir dir;
    setLogDir(dir.path().c_str());
    const int kThreads = 8;
    const int kPerThread = 1250;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([t] {
            long long id = nextLogId();
            // A payload long enough that a torn write would show.
            std::string payload(100 + t * 10, static_cast<char>('a' + t));
            for (int i = 0; i < kPerThread; i++) log(LOG_INFO, 0, id, "writer %d message %04d %s", t, i, payload.c_str());
        });
    }
    for (std::thread& w : writers) w.join();
    setLogDir("");

    // One dated file, or two if the hour turned during the run.
    std::vector<std::string> lines;
    int files = 0;
    DIR* d = opendir(dir.path().c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        files++;
        for (const std::string& l : splitLines(readFile(dir.file(e->d_name)))) lines.push_back(l);
    }
    closedir(d);
    EXPECT_TRUE(files == 1 || files == 2) << files;
    // With each writer's lines in order from 0, the count shows none lost or doubled.
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), lines.size());

    const char* line = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: ([0-9a-f]{16}): writer ([0-9]) message ([0-9]{4}) ([a-h]+)";
    std::vector<int> nextExpected(kThreads, 0);
    for (const std::string& l : lines) {
        std::vector<std::string> m;
        ASSERT_TRUE(fullMatch(l, line, &m)) << l;
        int t = std::stoi(m[1]);
        int i = std::stoi(m[2]);
        ASSERT_EQ(std::string(100 + t * 10, static_cast<char>('a' + t)), m[3]) << l;
        EXPECT_EQ(getpid(), std::stoll(m[0], nullptr, 16) >> 37);
        // One writer's messages keep their order.
        EXPECT_EQ(nextExpected[t], i) << l;
        nextExpected[t] = i + 1;
    }
}

}  // namespace
