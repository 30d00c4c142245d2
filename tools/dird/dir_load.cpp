// dir_load: holds many directory client sessions against one drvdird on
// loopback and keeps each resolving and executing ("getAsset" on an asset
// of the domain) in a loop for a bounded time, then reports the requests
// served, the errors by code and the sessions that lost their server.
// With --kill-after it kills drvdird in the middle and checks that every
// request still outstanding then fails with a mapped error code within its
// time-out, and that once the sessions are gone no thread or descriptor of
// theirs is left in this process. Driven by scripts/dir-load.
//
// It starts its own drvdird (--drvdird PATH) on a port the system picks,
// with a scratch state folder: a user, and as many assets as sessions.
#include <dirent.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/x509.h>

#include "common/dravika_init.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dirbase/dir_name.h"

namespace {

struct Options {
    int sessions = 200;
    int seconds = 60;
    int killAfter = 0;  // seconds; 0: never
    int timeout = 10;   // each request's, seconds
    int drivers = 8;
    const char* drvdird = nullptr;
    const char* log = "/dev/null";
};

// Codes a request may end with once its server is gone: the connection
// layer's failures mapped onto the shared table, and the time-out.
bool isMappedFailure(int code) {
    switch (code) {
    case DirError::E_NOT_CONNECTED:
    case DirError::E_TIMEOUT:
    case DirError::E_IO:
    case DirError::E_SECURITY_VIOLATION:
    case DirError::E_HOST_LOOKUP:
    case DirError::E_NO_RESOURCE:
    case DirError::E_CONNECTION_REFUSED:
    case DirError::E_CONNECT_TIMEOUT:
    case DirError::E_AUTHENTICATION:
    case DirError::E_HOST_UNREACHABLE:
    case DirError::E_NETWORK_UNREACHABLE:
        return true;
    default:
        return false;
    }
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int countEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

// The drvdird this run talks to.
class Server {
public:
    bool start(const Options& o, const std::string& state) {
        std::string assets = "{ \"assets\": [";
        for (int i = 0; i < o.sessions; i++)
            assets += std::string(i ? ",\n" : "\n") + "  { \"id\": \"a" + std::to_string(i) +
                      "\", \"host\": \"127.0.0.1\", \"port\": 14000 }";
        assets += "\n], \"endpoints\": [] }\n";
        mkdir(state.c_str(), 0700);
        FILE* f = fopen((state + "/assets.json").c_str(), "w");
        if (f == nullptr) return false;
        fputs(assets.c_str(), f);
        fclose(f);
        std::string add = "printf 'load-pw\\n' | '" + std::string(o.drvdird) + "' --state '" + state +
                          "' --domain load.example --add-user load > /dev/null";
        if (system(add.c_str()) != 0) {
            fprintf(stderr, "dir_load: %s --add-user failed\n", o.drvdird);
            return false;
        }
        int out[2];
        if (pipe(out) != 0) return false;
        _pid = fork();
        if (_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::string log = state + "/drvdird.log";
            execl(o.drvdird, o.drvdird, "--state", state.c_str(), "--port", "0", "--log", log.c_str(), "--workers",
                  "4", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // "drvdird: domain D serving on port N"
        std::string text;
        char buf[256];
        ssize_t n;
        while (text.find('\n') == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, n);
        close(out[0]);
        size_t at = text.find("port ");
        if (at == std::string::npos) return false;
        port = std::to_string(atoi(text.c_str() + at + 5));
        return true;
    }
    void kill(int sig) {
        if (_pid > 0) ::kill(_pid, sig);
    }
    int wait() {
        if (_pid <= 0) return -1;
        int status = 0;
        waitpid(_pid, &status, 0);
        _pid = -1;
        return status;
    }
    ~Server() {
        if (_pid > 0) {
            kill(SIGTERM);
            wait();
        }
    }
    std::string port;

private:
    pid_t _pid = -1;
};

struct Totals {
    std::atomic<long long> served{0};
    std::mutex lock;
    std::map<int, long long> errors;  // by code
    std::vector<bool> lost;           // by session
    long long unmapped = 0;
    long long lateAfterKill = 0;
};

void usage() {
    fprintf(stderr,
            "usage: dir_load --drvdird PATH [--sessions N] [--seconds S] [--kill-after S] [--timeout S]\n"
            "  --sessions N    client sessions, each with its own connection (default 200)\n"
            "  --seconds S     how long the sessions run their loop (default 60)\n"
            "  --kill-after S  kill drvdird after S seconds and check how the clients end\n"
            "  --timeout S     each request's time-out (default 10)\n"
            "  --log PATH      the client runtime's log (default: none)\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    static const option longOptions[] = {{"sessions", required_argument, nullptr, 'n'},
                                         {"seconds", required_argument, nullptr, 's'},
                                         {"kill-after", required_argument, nullptr, 'k'},
                                         {"timeout", required_argument, nullptr, 't'},
                                         {"drvdird", required_argument, nullptr, 'd'},
                                         {"log", required_argument, nullptr, 'l'},
                                         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'n': o.sessions = atoi(optarg); break;
        case 's': o.seconds = atoi(optarg); break;
        case 'k': o.killAfter = atoi(optarg); break;
        case 't': o.timeout = atoi(optarg); break;
        case 'd': o.drvdird = optarg; break;
        case 'l': o.log = optarg; break;
        default: usage(); return 64;
        }
    }
    if (o.drvdird == nullptr || o.sessions < 1 || o.sessions > 5000 || o.seconds < 1 || o.seconds > 3600 ||
        o.timeout < 1 || o.killAfter < 0) {
        usage();
        return 64;
    }
    setLog(o.log);
    _log_level = LOG_WARNING;
    dravika_init();
    signal(SIGPIPE, SIG_IGN);
    Directory::init();

    char stateDir[] = "/tmp/dir-load.XXXXXX";
    if (mkdtemp(stateDir) == nullptr) return 1;
    std::string state = std::string(stateDir) + "/state";
    Server server;
    if (!server.start(o, state)) {
        fprintf(stderr, "dir_load: cannot start drvdird\n");
        return 1;
    }
    printf("drvdird on port %s; %d sessions for %d s%s\n", server.port.c_str(), o.sessions, o.seconds,
           o.killAfter > 0 ? (", drvdird killed after " + std::to_string(o.killAfter) + " s").c_str() : "");
    fflush(stdout);

    FutureResult::defaultTimeout = o.timeout;
    int err = 0;
    // One login; every session then connects with its certificate, each
    // under a domain name of its own so that each has its own provider and
    // connection.
    Directory* login = Directory::authenticate("load.example", "127.0.0.1", server.port.c_str(), "load", "load-pw",
                                               nullptr, &err);
    if (login == nullptr) {
        fprintf(stderr, "dir_load: login failed: %d %s\n", err, DirError::getErrorDescription(err));
        return 1;
    }
    auto session = [&](int i) {
        EVP_PKEY_up_ref(login->privateKey);
        int e = 0;
        return Directory::startClientDirectoryService(("load" + std::to_string(i)).c_str(), "127.0.0.1",
                                                      server.port.c_str(), X509_dup(login->certificate),
                                                      login->privateKey, &e);
    };
    // Threads and descriptors that the runtime keeps for the process once
    // it has had a session (coms threads, the provider thread): the count
    // the sessions must come back to.
    std::unique_ptr<DirName> warmName(DirName::createFromString("/asset:id=\"a0\"", &err));
    {
        Directory* warm = session(-1);
        FutureResult* fr = warm->execute(warmName.get(), nullptr, "getAsset", nullptr);
        fr->waitComplete();
        FutureResult::destroy(fr);
        Directory::dispose(warm);
    }
    sleep(1);
    int baseThreads = countEntries("/proc/self/task");
    int baseFds = countEntries("/proc/self/fd");

    std::vector<Directory*> dirs;
    std::vector<std::unique_ptr<DirName>> names;
    for (int i = 0; i < o.sessions; i++) {
        dirs.push_back(session(i));
        names.emplace_back(DirName::createFromString(("/asset:id=\"a" + std::to_string(i) + "\"").c_str(), &err));
    }
    Totals totals;
    totals.lost.assign(o.sessions, false);
    std::atomic<bool> stop{false};
    std::atomic<bool> killed{false};
    double killedAt = 0;
    double start = now();

    // Each driver keeps one request outstanding per session of its share.
    auto drive = [&](int first) {
        std::vector<int> mine;
        for (int i = first; i < o.sessions; i += o.drivers) mine.push_back(i);
        std::vector<FutureResult*> out(mine.size(), nullptr);
        while (!stop.load()) {
            for (size_t k = 0; k < mine.size(); k++)
                out[k] = dirs[mine[k]]->execute(names[mine[k]].get(), nullptr, "getAsset", nullptr);
            for (size_t k = 0; k < mine.size(); k++) {
                // Every request ends by its time-out at the latest.
                bool done = out[k]->waitComplete((o.timeout + 5) * 1000);
                std::lock_guard<std::mutex> hold(totals.lock);
                if (!done) {
                    totals.unmapped++;
                    totals.errors[-1]++;
                } else if (out[k]->failed) {
                    totals.errors[out[k]->error]++;
                    totals.lost[mine[k]] = true;
                    if (!isMappedFailure(out[k]->error)) totals.unmapped++;
                    if (killed.load() && now() - killedAt > o.timeout + 5) totals.lateAfterKill++;
                } else {
                    totals.served++;
                }
                FutureResult::destroy(out[k]);
            }
            // After the kill, one round shows how the outstanding ones end.
            if (killed.load()) break;
        }
    };
    std::vector<std::thread> drivers;
    for (int d = 0; d < o.drivers && d < o.sessions; d++) drivers.emplace_back(drive, d);
    while (now() - start < o.seconds) {
        usleep(200 * 1000);
        if (o.killAfter > 0 && !killed.load() && now() - start >= o.killAfter) {
            killedAt = now();
            server.kill(SIGKILL);
            server.wait();
            killed = true;
            printf("drvdird killed after %.1f s, %lld requests served so far\n", killedAt - start,
                   totals.served.load());
            fflush(stdout);
            break;
        }
    }
    stop = true;
    for (std::thread& t : drivers) t.join();
    double elapsed = now() - start;

    for (Directory* d : dirs) Directory::dispose(d);
    Directory::dispose(login);
    // A session's provider outlives it until an idle sweep (minutes later);
    // a client that is done with the domains closes them, which ends their
    // connections now.
    std::vector<DirectorySPI*> providers;
    {
        CriticalSection hold(Directory::_providerCb);
        for (Directory::ProviderEntry* e = Directory::_providerList; e != nullptr; e = e->next)
            if (strncmp(e->key, "Dload", 5) == 0) providers.push_back(e->spi);
    }
    for (DirectorySPI* spi : providers) spi->closeDirectory();
    int threads = 0, fds = 0;
    for (int i = 0; i < 40; i++) {
        sleep(1);
        threads = countEntries("/proc/self/task");
        fds = countEntries("/proc/self/fd");
        if (threads <= baseThreads && fds <= baseFds) break;
    }

    long long errors = 0;
    for (auto& e : totals.errors) errors += e.second;
    int lost = 0;
    for (bool l : totals.lost) lost += l ? 1 : 0;
    printf("requests served: %lld (%.0f/s), errors: %lld, sessions lost: %d of %d\n", totals.served.load(),
           totals.served.load() / elapsed, errors, lost, o.sessions);
    for (auto& e : totals.errors)
        printf("  error %d (%s): %lld\n", e.first, e.first < 0 ? "no answer in time" : DirError::getErrorDescription(e.first),
               e.second);
    printf("threads: %d before the sessions, %d after; descriptors: %d before, %d after\n", baseThreads, threads,
           baseFds, fds);
    bool ok = true;
    if (totals.unmapped > 0) {
        printf("FAIL: %lld requests ended without a mapped error code\n", totals.unmapped);
        ok = false;
    }
    if (totals.lateAfterKill > 0) {
        printf("FAIL: %lld requests failed later than their time-out after the kill\n", totals.lateAfterKill);
        ok = false;
    }
    if (o.killAfter == 0 && errors > 0) ok = false;
    if (threads > baseThreads || fds > baseFds) {
        printf("FAIL: threads or descriptors left behind\n");
        ok = false;
    }
    // The server goes before its state folder (this program leaves with
    // _exit, which runs no destructor).
    server.kill(SIGTERM);
    server.wait();
    std::string rm = std::string("rm -rf '") + stateDir + "'";
    if (system(rm.c_str()) != 0) fprintf(stderr, "dir_load: cannot remove %s\n", stateDir);
    printf("%s\n", ok ? "OK" : "FAILED");
    fflush(stdout);
    _exit(ok ? 0 : 1);
}
