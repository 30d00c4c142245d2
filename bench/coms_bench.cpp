// Messages over one TLS connection on loopback, one way: small messages
// (64-byte bodies) per second, and bulk throughput with 1 MiB messages,
// printed beside what one core encrypts with AES-128-GCM in 16 KiB blocks
// (`openssl speed`, run by this program in the same run).
//
// The client and the server connection live on two coms threads, so that
// encrypting and decrypting each have a core, as they would between two
// machines. The sender keeps a bounded number of messages in flight.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/properties.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"

namespace {

// Counts what arrives and lets the sender wait for it.
class Sink : public ConnectionListener, public ConnectorListener {
public:
    bool newConnection(Connection* c, int) override {
        c->setListener(this);
        server = c;
        return true;
    }
    int onReceive(Connection*, Message*) override {
        long n = received.fetch_add(1) + 1;
        if (n >= waitingFor.load()) {
            std::lock_guard<std::mutex> hold(lock);
            changed.notify_all();
        }
        return 0;
    }
    void onNoConnect(Connection*, int) override { fail(); }
    void onLost(Connection*) override { fail(); }
    void onClosed(Connection*) override { fail(); }
    void onConnectComplete(Connection*) override {
        std::lock_guard<std::mutex> hold(lock);
        complete = true;
        changed.notify_all();
    }

    // Waits until at least n messages arrived (false if the connection ended).
    bool waitFor(long n) {
        if (received.load() >= n) return true;
        std::unique_lock<std::mutex> hold(lock);
        waitingFor = n;
        changed.wait(hold, [&] { return received.load() >= n || failed; });
        return received.load() >= n;
    }
    bool waitComplete() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return complete || failed; });
        return complete;
    }

    std::atomic<long> received{0};
    std::atomic<long> waitingFor{0};
    std::mutex lock;
    std::condition_variable changed;
    bool complete = false;
    bool failed = false;
    Connection* server = nullptr;

private:
    void fail() {
        std::lock_guard<std::mutex> hold(lock);
        failed = true;
        changed.notify_all();
    }
};

struct Link {
    Sink serverSide;
    Sink clientSide;
    Connector* connector = nullptr;
    Connection* client = nullptr;
    long sent = 0;
};

Link* _link = nullptr;

Link* link() {
    if (_link != nullptr) return _link;
    auto* l = new Link();
    X509* cert;
    EVP_PKEY* key;
    makeSelfSignedCertificate("bench", "/O=Dravika bench/CN=server", 2048, 86400, &cert, &key);
    l->connector = Connector::create(&l->serverSide, cert, key, 0);
    l->connector->setBindAddress("127.0.0.1");
    if (l->connector->bind("0") != 0) abort();
    l->client = Connection::create("127.0.0.1", std::to_string(l->connector->getPort()).c_str(), nullptr, nullptr, 1);
    l->client->setListener(&l->clientSide);
    l->client->connect();
    if (!l->clientSide.waitComplete()) abort();
    _link = l;
    return l;
}

Message* message(int size) {
    static std::string filler;
    if (filler.size() != static_cast<size_t>(size - 5)) filler.assign(static_cast<size_t>(size - 5), 'b');
    auto* m = new Message(77);
    m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
    return m;
}

// Sends count messages of size bytes, keeping at most window in flight,
// and returns once the server has them all.
void sendAndWait(Link* l, long count, int size, long window) {
    for (long i = 0; i < count; i++) {
        if (l->sent - window >= 0) l->serverSide.waitFor(l->sent - window + 1);
        l->client->send(message(size));
        l->sent++;
    }
    l->serverSide.waitFor(l->sent);
}

void BM_SmallMessages(benchmark::State& state) {
    Link* l = link();
    const long batch = 10000;
    for (auto _ : state) sendAndWait(l, batch, 64, 20000);
    state.counters["msgs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(state.iterations() * batch * 64);
}
BENCHMARK(BM_SmallMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_BulkMessages(benchmark::State& state) {
    Link* l = link();
    const long batch = 64;
    const int size = 1 << 20;
    for (auto _ : state) sendAndWait(l, batch, size, 8);
    state.SetBytesProcessed(state.iterations() * batch * size);
}
BENCHMARK(BM_BulkMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Bytes per second of `openssl speed -evp aes-128-gcm` at 16 KiB, or 0.
double aesGcmBytesPerSecond() {
    FILE* p = popen("openssl speed -evp aes-128-gcm -bytes 16384 -seconds 3 2>/dev/null", "r");
    if (p == nullptr) return 0;
    char line[512];
    double value = 0;
    while (fgets(line, sizeof(line), p) != nullptr) {
        // "AES-128-GCM    3803085.84k": thousands of bytes per second.
        if (strncmp(line, "AES-128-GCM", 11) != 0 && strncmp(line, "aes-128-gcm", 11) != 0) continue;
        char* last = strrchr(line, ' ');
        if (last != nullptr) value = strtod(last + 1, nullptr) * 1000;
    }
    pclose(p);
    return value;
}

// The result of one benchmark, kept for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.benchmark_name().find("BM_SmallMessages") == 0) {
                auto it = r.counters.find("msgs/s");
                if (it != r.counters.end()) smallRate = it->second.value;
            } else if (r.benchmark_name().find("BM_BulkMessages") == 0) {
                auto it = r.counters.find("bytes_per_second");
                if (it != r.counters.end()) bulkRate = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double smallRate = 0;
    double bulkRate = 0;
};

// Two coms threads, set the way an installation would set them.
void useTwoComsThreads() {
    char dir[] = "/tmp/coms-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    std::string path = std::string(dir) + "/dravika.properties";
    FILE* f = fopen(path.c_str(), "w");
    fputs("coms_threads: 2\n", f);
    fclose(f);
    s_setDravikaPropertiesPath(path.c_str());
    s_testDravikaProperties(false, nullptr);
    Connection::comsInit();
    s_setDravikaPropertiesPath(nullptr);
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace

int main(int argc, char** argv) {
    dravika_init();
    _log_level = LOG_CRITICAL;
    _debug_coms = LOG_CRITICAL + 1;
    useTwoComsThreads();
    benchmark::Initialize(&argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    double aes = aesGcmBytesPerSecond();
    printf("\nsmall messages (64-byte body), one way: %.0f messages/s (target 200000)\n", summary.smallRate);
    printf("bulk, 1 MiB messages: %.0f MB/s\n", summary.bulkRate / 1e6);
    if (aes > 0)
        printf("openssl speed -evp aes-128-gcm, 16 KiB blocks, one core: %.0f MB/s; bulk is %.0f%% of it (target 50%%)\n",
               aes / 1e6, 100 * summary.bulkRate / aes);
    else
        printf("openssl speed -evp aes-128-gcm could not be run\n");
    if (_link != nullptr) printf("cipher: %s\n", _link->client->getConnectionInfo());
    fflush(stdout);
    _exit(0);  // the coms threads run until the process ends
}
