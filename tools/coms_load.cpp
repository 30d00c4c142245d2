// coms_load: holds many client connections with heartbeats against one
// Connector on loopback for a while, then reports whether any was lost.
//
//   coms_load [--connections N] [--seconds S] [--heartbeat MS] [--lost MS]
//
// Everything runs in this process: the Connector on an OS-chosen loopback
// port and N clients, all on the coms threads ("coms_threads" from the
// properties file given with --properties, else 1). The clients connect in
// small groups so as not to overrun the listen queue, agree on the
// heartbeat interval and lost time-out with the server, and then stay idle
// but for heartbeats both ways. While they are held it measures the CPU
// time of the process (getrusage) and reports it per minute. Exit status 0
// when every connection was made and none was lost, 1 otherwise.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/properties.h"
#include "coms/coms_error.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"

namespace {

struct Counts {
    std::atomic<long> completed{0};
    std::atomic<long> noConnect{0};
    std::atomic<long> lost{0};
    std::atomic<int> firstError{0};
};

class Clients : public ConnectionListener {
public:
    int onReceive(Connection*, Message*) override { return 0; }
    void onNoConnect(Connection*, int code) override {
        counts.noConnect++;
        int none = 0;
        counts.firstError.compare_exchange_strong(none, code);
    }
    void onLost(Connection*) override { counts.lost++; }
    void onClosed(Connection*) override { counts.lost++; }
    void onConnectComplete(Connection*) override { counts.completed++; }
    Counts counts;
};

class Server : public ConnectorListener, public ConnectionListener {
public:
    bool newConnection(Connection* c, int) override {
        c->setListener(this);
        std::lock_guard<std::mutex> hold(lock);
        accepted.insert(c);
        return true;
    }
    int onReceive(Connection*, Message*) override { return 0; }
    void onNoConnect(Connection* c, int) override { end(c); }
    void onLost(Connection* c) override { end(c); }
    void onClosed(Connection* c) override { end(c); }
    void onConnectComplete(Connection*) override {}

    long bytesReceived() {
        std::lock_guard<std::mutex> hold(lock);
        long long total = 0;
        for (Connection* c : accepted) total += c->getBytesReceived();
        return static_cast<long>(total);
    }
    size_t size() {
        std::lock_guard<std::mutex> hold(lock);
        return accepted.size();
    }

    std::atomic<long> lost{0};
    std::mutex lock;
    std::set<Connection*> accepted;

private:
    void end(Connection* c) {
        lost++;
        std::lock_guard<std::mutex> hold(lock);
        if (accepted.erase(c) > 0) Connection::destroy(c);
    }
};

long arg(int argc, char** argv, const char* name, long def) {
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0) return strtol(argv[i + 1], nullptr, 10);
    return def;
}

const char* textArg(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    return nullptr;
}

// Two descriptors per connection (both ends live here) and some to spare.
void raiseDescriptorLimit(long connections) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t want = static_cast<rlim_t>(connections * 2 + 256);
    if (limit.rlim_cur < want) {
        limit.rlim_cur = want < limit.rlim_max ? want : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    printf("descriptor limit: %llu\n", static_cast<unsigned long long>(limit.rlim_cur));
}

// CPU seconds (user and system) this process has used so far.
double cpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf(
                "usage: coms_load [--connections N] [--seconds S] [--heartbeat MS] [--lost MS] [--properties FILE]\n"
                "Holds N client connections (default 1000) with heartbeats every MS ms (default 1000; lost time-out\n"
                "default 5000 ms) against one Connector on loopback for S seconds (default 60), then reports\n"
                "whether any connection was lost. Exit status 0 when none was.\n");
            return 0;
        }
    }
    long connections = arg(argc, argv, "--connections", 1000);
    long seconds = arg(argc, argv, "--seconds", 60);
    int heartbeat = static_cast<int>(arg(argc, argv, "--heartbeat", 1000));
    int lostMs = static_cast<int>(arg(argc, argv, "--lost", 5000));
    const char* properties = textArg(argc, argv, "--properties");
    setvbuf(stdout, nullptr, _IOLBF, 0);

    dravika_init();
    _log_level = LOG_CRITICAL;
    _debug_coms = LOG_CRITICAL + 1;
    raiseDescriptorLimit(connections);
    if (properties != nullptr) {
        s_setDravikaPropertiesPath(properties);
        s_testDravikaProperties(false, nullptr);
        _debug_coms = LOG_CRITICAL + 1;
    }
    Connection::comsInit();
    printf("coms threads: %d, listen queue: %d\n", Connection::comsThreadCount(), _listen_queue.get());

    X509* serverCert;
    EVP_PKEY* serverKey;
    X509* clientCert;
    EVP_PKEY* clientKey;
    // One client certificate for all: the point is holding connections, not
    // making a thousand keys.
    if (makeSelfSignedCertificate("load", "/O=Dravika load/CN=server", 2048, 86400, &serverCert, &serverKey) != 0 ||
        makeSelfSignedCertificate("load", "/O=Dravika load/CN=client", 2048, 86400, &clientCert, &clientKey) != 0)
        return 1;
    static Server server;
    Connector* connector = Connector::create(&server, serverCert, serverKey, 0);
    connector->setBindAddress("127.0.0.1");
    if (connector->bind("0") != 0) {
        printf("cannot listen on loopback\n");
        return 1;
    }
    std::string port = std::to_string(connector->getPort());
    printf("connector on 127.0.0.1:%s; connecting %ld clients (heartbeat %d ms, lost time-out %d ms)\n", port.c_str(),
           connections, heartbeat, lostMs);

    static Clients clients;
    std::vector<Connection*> all;
    auto start = std::chrono::steady_clock::now();
    const long group = 20;
    for (long i = 0; i < connections; i++) {
        Connection* c = Connection::create("127.0.0.1", port.c_str(), clientCert, clientKey, 448);
        c->setListener(&clients);
        c->setTypeVersion(2);
        c->setTiming(lostMs, heartbeat);
        c->connect();
        all.push_back(c);
        if ((i + 1) % group == 0 || i + 1 == connections) {
            auto groupStart = std::chrono::steady_clock::now();
            while (clients.counts.completed + clients.counts.noConnect < i + 1 && since(groupStart) < 30)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    printf("connected: %ld of %ld in %.1f s (%ld refused or failed%s%s)\n", clients.counts.completed.load(),
           connections, since(start), clients.counts.noConnect.load(), clients.counts.firstError != 0 ? ": " : "",
           clients.counts.firstError != 0 ? messageFromError(clients.counts.firstError) : "");

    long serverBefore = server.bytesReceived();
    double cpuBefore = cpuSeconds();
    auto hold = std::chrono::steady_clock::now();
    for (long s = 1; s <= seconds; s++) {
        std::this_thread::sleep_until(hold + std::chrono::seconds(s));
        if (s % 10 == 0 || s == seconds)
            printf("%3lds: %zu server connections, lost %ld (client side) %ld (server side)\n", s, server.size(),
                   clients.counts.lost.load(), server.lost.load());
    }
    double cpu = cpuSeconds() - cpuBefore;
    long heartbeats = server.bytesReceived() - serverBefore;
    double held = since(hold);
    long completed = clients.counts.completed;
    long lost = clients.counts.lost + server.lost;
    printf("held %ld connections for %.1f s; the server received %ld heartbeat bytes (about %.0f expected)\n",
           completed, held, heartbeats, completed * held * 1000.0 / heartbeat);
    // Both ends of every connection run here, so this is the cost of 2N
    // heartbeating connection ends.
    printf("CPU while holding: %.2f s per minute (%.3f of a core) for %ld connections\n", cpu * 60 / held, cpu / held,
           completed);

    for (Connection* c : all) Connection::destroy(c);
    auto closing = std::chrono::steady_clock::now();
    while (Connection::liveConnections() > 0 && since(closing) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    printf("closed: %ld connections left after %.1f s\n", Connection::liveConnections(), since(closing));

    bool ok = completed == connections && lost == 0;
    printf("%s: %ld of %ld connections held, %ld lost\n", ok ? "PASS" : "FAIL", completed, connections, lost);
    fflush(stdout);
    _exit(ok ? 0 : 1);
}
