// drvft to drvftd against rsync to an rsync daemon, on loopback, in the same
// run: a first copy of 10,000 files of 4 KiB, a first copy of one large
// file (1 GiB; FT_BENCH_BIG_MB sets another size for quick runs), and a
// re-sync after 1% of the large file changed in place. Each case runs
// FT_BENCH_REPEAT times (default 3), alternating the tools, and the medians
// are printed with their ratio. Bytes on the wire are counted by a relay
// that both tools' connections pass through (TLS records included for
// drvft). Last, drvft --bwlimit is measured against the rate asked.
//
//   bench_ft              (drvft, drvftd and rsync must be there)
// FT_BENCH_DRVFT and FT_BENCH_DRVFTD name other builds of the two programs;
// FT_BENCH_CASES picks cases (a comma list of small, big, sync, bwlimit;
// default all; sync includes big, which makes its destination).
// Beside wall time and bytes it prints the CPU seconds (user + system) of
// both sides, which vary less than wall time on a busy machine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

extern char** environ;

namespace {

using bench::median;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds (user + system) of the last program run() waited for.
double lastChildCpu = 0;

double tvSeconds(const struct timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

int run(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    wait4(pid, &status, 0, &ru);
    lastChildCpu = tvSeconds(ru.ru_utime) + tvSeconds(ru.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a server and reads its stdout until a line holding `marker`.
pid_t startServer(const std::vector<std::string>& args, const char* marker, std::string* line) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&fa, pipeFds[0]);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(pipeFds[1]);
    if (rc != 0) return -1;
    std::string text;
    char c;
    while (marker != nullptr && read(pipeFds[0], &c, 1) == 1) {
        text += c;
        if (c == '\n') {
            if (text.find(marker) != std::string::npos) {
                *line = text;
                break;
            }
            text.clear();
        }
    }
    // Keep draining so that the server never blocks on a full pipe.
    std::thread([fd = pipeFds[0]] {
        char buf[4096];
        while (read(fd, buf, sizeof(buf)) > 0) {
        }
        close(fd);
    }).detach();
    return pid;
}

int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// A loopback relay to a target port that counts the bytes passing both ways.
class Relay {
public:
    explicit Relay(int target) : _target(target) {
        _listen = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(_listen, 64);
        socklen_t n = sizeof(a);
        getsockname(_listen, reinterpret_cast<sockaddr*>(&a), &n);
        _port = ntohs(a.sin_port);
        _thread = std::thread([this] { acceptLoop(); });
    }
    ~Relay() {
        shutdown(_listen, SHUT_RDWR);
        close(_listen);
        _thread.join();
    }
    int port() const { return _port; }
    long long bytes() const { return _bytes.load(); }
    void reset() { _bytes = 0; }

private:
    void acceptLoop() {
        for (;;) {
            int c = accept(_listen, nullptr, nullptr);
            if (c < 0) return;
            int t = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(_target));
            if (connect(t, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
                close(c);
                close(t);
                continue;
            }
            std::thread([this, c, t] { pump(c, t); }).detach();
        }
    }
    void pump(int a, int b) {
        std::vector<char> buf(1 << 18);
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        bool open[2] = {true, true};
        while (open[0] || open[1]) {
            if (poll(fds, 2, -1) < 0) break;
            for (int i = 0; i < 2; i++) {
                if (!open[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = read(fds[i].fd, buf.data(), buf.size());
                int other = fds[1 - i].fd;
                if (n <= 0) {
                    open[i] = false;
                    fds[i].fd = -1;
                    shutdown(other, SHUT_WR);
                    continue;
                }
                _bytes += n;
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = write(other, buf.data() + off, static_cast<size_t>(n - off));
                    if (w <= 0) {
                        open[0] = open[1] = false;
                        break;
                    }
                    off += w;
                }
            }
        }
        close(a);
        close(b);
    }
    int _target;
    int _listen;
    int _port;
    std::atomic<long long> _bytes{0};
    std::thread _thread;
};

void writeRandom(const std::string& path, long long size, unsigned long long seed) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<unsigned long long> buf(1 << 16);
    unsigned long long x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (long long done = 0; done < size;) {
        for (auto& v : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        size_t n = static_cast<size_t>(std::min<long long>(size - done, buf.size() * 8));
        fwrite(buf.data(), 1, n, f);
        done += static_cast<long long>(n);
    }
    fclose(f);
}

// Overwrites 1% of the file in place with fresh random bytes, in 64 KiB
// pieces spread over it.
void changeOnePercent(const std::string& path, long long size, unsigned seed) {
    int fd = open(path.c_str(), O_WRONLY);
    const long long piece = 64 * 1024;
    long long pieces = std::max<long long>(1, size / 100 / piece);
    std::vector<unsigned long long> buf(piece / 8);
    unsigned long long x = seed * 0x2545F4914F6CDD1DULL + 7;
    for (long long i = 0; i < pieces; i++) {
        for (auto& v : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        long long at = (size / pieces) * i + (seed % 7) * 4096;
        if (at + piece > size) at = size - piece;
        if (pwrite(fd, buf.data(), piece, at) != piece) break;
    }
    close(fd);
}

// CPU seconds a server has used so far: its own threads and, for a server
// that forks a child per connection (rsync --daemon), the children it has
// reaped.
double serverCpu(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // After the command name (in parentheses, may hold spaces): state,
    // then numbers; utime, stime, cutime and cstime are the 12th to 15th.
    const char* p = strrchr(buf, ')');
    unsigned long long ut = 0, st = 0;
    long long cut = 0, cst = 0;
    if (p == nullptr ||
        sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %lld %lld", &ut, &st, &cut, &cst) != 4)
        return 0;
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return static_cast<double>(ut + st + cut + cst) / ticks;
}

// CPU seconds of this process so far, all threads: the relay's, while a
// tool runs (the main thread only waits for it then).
double ownCpu() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return tvSeconds(ru.ru_utime) + tvSeconds(ru.ru_stime);
}

struct Result {
    std::vector<double> seconds;
    std::vector<double> bytes;
    std::vector<double> clientCpu;
    std::vector<double> serverCpu;
    // The relay's own CPU seconds: the loopback copies both tools' bytes
    // pass through, which take a share of the same cores.
    std::vector<double> relayCpu;
    int failures = 0;
};

void report(const char* name, const Result& ours, const Result& theirs) {
    double t1 = median(ours.seconds);
    double t2 = median(theirs.seconds);
    double b1 = median(ours.bytes);
    double b2 = median(theirs.bytes);
    printf("%-28s drvft %8.3f s %14.0f B | rsync %8.3f s %14.0f B | time ratio %5.2f  bytes ratio %5.2f%s\n", name,
           t1, b1, t2, b2, t2 > 0 ? t1 / t2 : 0, b2 > 0 ? b1 / b2 : 0,
           ours.failures + theirs.failures > 0 ? "  (FAILURES)" : "");
    double c1 = median(ours.clientCpu), s1 = median(ours.serverCpu);
    double c2 = median(theirs.clientCpu), s2 = median(theirs.serverCpu);
    printf("%-28s   cpu: drvft %6.2f + drvftd %6.2f s | rsync %6.2f + daemon %6.2f s | cpu ratio %5.2f"
           " | relay %4.2f / %4.2f s\n",
           "", c1, s1, c2, s2, c2 + s2 > 0 ? (c1 + s1) / (c2 + s2) : 0, median(ours.relayCpu),
           median(theirs.relayCpu));
    fflush(stdout);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    const long long bigMb = getenv("FT_BENCH_BIG_MB") != nullptr ? atoll(getenv("FT_BENCH_BIG_MB")) : 1024;
    const int repeat = getenv("FT_BENCH_REPEAT") != nullptr ? atoi(getenv("FT_BENCH_REPEAT")) : 3;
    const long long bigSize = bigMb * 1024 * 1024;
    // Other builds of the two programs may be compared with these.
    const std::string drvftPath = getenv("FT_BENCH_DRVFT") != nullptr ? getenv("FT_BENCH_DRVFT") : DRVFT_PATH;
    const std::string drvftdPath = getenv("FT_BENCH_DRVFTD") != nullptr ? getenv("FT_BENCH_DRVFTD") : DRVFTD_PATH;
    const std::string cases = getenv("FT_BENCH_CASES") != nullptr ? getenv("FT_BENCH_CASES") : "small,big,sync,bwlimit";
    auto wanted = [&](const char* name) { return ("," + cases + ",").find(std::string(",") + name + ",") != std::string::npos; };
    const bool doSmall = wanted("small"), doSync = wanted("sync"), doBig = doSync || wanted("big");
    char pattern[] = "/tmp/ftbench.XXXXXX";
    std::string top = mkdtemp(pattern);
    std::string src = top + "/src";
    std::string ours = top + "/ours";
    std::string theirs = top + "/theirs";
    for (const std::string& d : {src, ours, theirs, src + "/small", src + "/big"}) mkdir(d.c_str(), 0755);
    for (int i = 0; doSmall && i < 10000; i++) {
        std::string dir = src + "/small/d" + std::to_string(i / 100);
        if (i % 100 == 0) mkdir(dir.c_str(), 0755);
        writeRandom(dir + "/f" + std::to_string(i), 4096, static_cast<unsigned long long>(i) + 1);
    }
    writeRandom(src + "/big/file", bigSize, 4242);
    // The sources go to disk now: left dirty, their write-back starts about
    // half a minute later, in the middle of whichever runs are being timed
    // then, and takes a good part of a core from them.
    sync();
    printf("ft bench: 10,000 files of 4 KiB, one file of %lld MiB, %d runs each, medians\n", bigMb, repeat);

    std::string line;
    pid_t ftd = startServer({drvftdPath, "--root", ours, "--port", "0", "--log", top + "/drvftd.log"},
                            "listening on port", &line);
    int ftdPort = atoi(line.c_str() + line.find("port ") + 5);
    int rsyncPort = freePort();
    std::string conf = top + "/rsyncd.conf";
    FILE* f = fopen(conf.c_str(), "w");
    // The daemon writes as this user (as root it would otherwise be "nobody").
    fprintf(f,
            "use chroot = false\nuid = %d\ngid = %d\nlog file = %s/rsyncd.log\npid file = %s/rsyncd.pid\n"
            "[dst]\npath = %s\nread only = false\n",
            static_cast<int>(getuid()), static_cast<int>(getgid()), top.c_str(), top.c_str(), top.c_str());
    fclose(f);
    pid_t rsyncd = startServer({RSYNC_PATH, "--daemon", "--no-detach", "--address=127.0.0.1",
                                "--port=" + std::to_string(rsyncPort), "--config=" + conf},
                               nullptr, &line);
    usleep(500000);
    Relay ftdRelay(ftdPort);
    Relay rsyncRelay(rsyncPort);
    std::string ftdHost = "127.0.0.1:" + std::to_string(ftdRelay.port()) + ":";
    // The daemon's module is the whole scratch folder: the small files go
    // to the same folder for both tools (below).
    std::string rsyncTop = "rsync://127.0.0.1:" + std::to_string(rsyncRelay.port()) + "/dst/";
    std::string rsyncUrl = rsyncTop + "theirs/";

    auto drvft = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {drvftPath, "copy"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    auto rsync = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {RSYNC_PATH, "-a"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    auto timed = [](Relay& relay, pid_t server, Result* r, const std::function<int()>& fn) {
        // Each run starts with nothing waiting for write-back: what the
        // previous run (or the changes made for this one) left dirty would
        // otherwise be written out during this run, on its cores.
        sync();
        relay.reset();
        double relay0 = ownCpu();
        double cpu0 = serverCpu(server);
        double t0 = now();
        if (fn() != 0) r->failures++;
        r->seconds.push_back(now() - t0);
        r->clientCpu.push_back(lastChildCpu);
        usleep(300000);  // let the relay count the last bytes, and the daemon reap its child
        r->bytes.push_back(static_cast<double>(relay.bytes()));
        r->serverCpu.push_back(serverCpu(server) - cpu0);
        r->relayCpu.push_back(ownCpu() - relay0);
    };
    auto wipe = [&](const std::string& path) { run({"/bin/rm", "-rf", path}); };
    // Moves a copy of the small files out of the way, to be deleted at the
    // end: deleting 10,000 files makes creating files slower for minutes
    // after (ext4 without a journal passes over each recently freed inode of
    // the folder's group, one by one), by an amount that depends on the
    // group's history rather than on the tool that runs next.
    std::string aside = top + "/aside";
    mkdir(aside.c_str(), 0755);
    int asideCount = 0;
    auto moveAside = [&](const std::string& path) {
        rename(path.c_str(), (aside + "/" + std::to_string(asideCount++)).c_str());
    };

    // First copies: the destination (and drvft's index of it) start empty each time.
    Result smallOurs, smallTheirs, bigOurs, bigTheirs, syncOurs, syncTheirs;
    // Both tools create the small files in the same folder, emptied just
    // before each run, and take turns at going first: files deleted shortly
    // before (by this machine's other work) cost whichever runs nearer to
    // the deletion.
    for (int i = 0; doSmall && i < repeat; i++) {
        for (int turn = 0; turn < 2; turn++) {
            moveAside(ours + "/small");
            if ((turn + i) % 2 == 0)
                timed(ftdRelay, ftd, &smallOurs, [&] { return drvft({src + "/small", ftdHost + "small"}); });
            else
                timed(rsyncRelay, rsyncd, &smallTheirs,
                      [&] { return rsync({src + "/small", rsyncTop + "ours/small"}); });
        }
    }
    if (doSmall) report("10,000 x 4 KiB, first copy", smallOurs, smallTheirs);
    for (int i = 0; doBig && i < repeat; i++) {
        wipe(ours + "/big");
        timed(ftdRelay, ftd, &bigOurs, [&] { return drvft({src + "/big", ftdHost + "big"}); });
        wipe(theirs + "/big");
        timed(rsyncRelay, rsyncd, &bigTheirs, [&] { return rsync({src + "/big", rsyncUrl + "big"}); });
    }
    if (doBig) report("large file, first copy", bigOurs, bigTheirs);
    // Re-syncs: each run changes a different 1% of the file in place.
    for (int i = 0; doSync && i < repeat; i++) {
        changeOnePercent(src + "/big/file", bigSize, static_cast<unsigned>(i + 1));
        timed(ftdRelay, ftd, &syncOurs, [&] { return drvft({src + "/big", ftdHost + "big"}); });
        timed(rsyncRelay, rsyncd, &syncTheirs, [&] { return rsync({src + "/big", rsyncUrl + "big"}); });
    }
    if (doSync) report("large file, 1% changed", syncOurs, syncTheirs);

    // Bandwidth limit: a fresh copy of up to 64 MiB at 80 Mbit/s (or a size
    // that takes a few seconds), against the rate asked.
    const long long limitBytes = std::min<long long>(bigSize, 64LL << 20);
    std::string limited = src + "/limited";
    mkdir(limited.c_str(), 0755);
    if (wanted("bwlimit")) {
        writeRandom(limited + "/file", limitBytes, 77);
        sync();
    }
    const double kbps = 80000;
    std::vector<double> rates;
    for (int i = 0; wanted("bwlimit") && i < repeat; i++) {
        wipe(ours + "/limited");
        double t0 = now();
        drvft({"--bwlimit", std::to_string(static_cast<long long>(kbps)), limited, ftdHost + "limited"});
        double t = now() - t0;
        rates.push_back(static_cast<double>(limitBytes) * 8 / 1000 / t);
    }
    double rate = median(rates);
    if (!rates.empty())
        printf("--bwlimit %.0f kbit/s: achieved %.0f kbit/s (%.1f%% of the asked rate, connection set-up included)\n",
               kbps, rate, rate / kbps * 100);

    kill(ftd, SIGTERM);
    kill(rsyncd, SIGTERM);
    waitpid(ftd, nullptr, 0);
    waitpid(rsyncd, nullptr, 0);
    wipe(top);
    return 0;
}
