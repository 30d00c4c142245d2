// Messages over one TLS connection on loopback, one way: small messages
// (64-byte bodies) per second, and bulk throughput with 1 MiB messages,
// printed beside what one core encrypts with AES-128-GCM in 16 KiB blocks
// (`openssl speed`, run by this program in the same run), and beside what
// the same loopback carries between two blocking threads without the
// connection code, over TLS and over plain TCP.
//
// Small messages are also printed beside the TLS loopback's ceiling counted
// in 73-byte frames, and beside what one thread manages when it only builds
// and deletes the messages (the caller's share, which no connection saves).
// Every case, the two cipher figures included, runs five times; the
// summary gives the medians.
//
// The client and the server connection live on two coms threads, so that
// encrypting and decrypting each have a core, as they would between two
// machines. The sender keeps a bounded number of messages in flight.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/properties.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "coms/wide_gcm.h"
#include "dirbase/message.h"

namespace {

using bench::median;

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
BENCHMARK(BM_SmallMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1)->Repetitions(5);

// The caller's part of a small message that no connection can save it:
// building a 64-byte-body Message and deleting it, on one thread. Its rate
// bounds what one sending thread can hand to any connection.
void BM_BuildOnly(benchmark::State& state) {
    for (auto _ : state) delete message(64);
    state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BuildOnly)->UseRealTime()->MinTime(1)->Repetitions(5);

void BM_BulkMessages(benchmark::State& state) {
    Link* l = link();
    const long batch = 64;
    const int size = 1 << 20;
    for (auto _ : state) sendAndWait(l, batch, size, 8);
    state.SetBytesProcessed(state.iterations() * batch * size);
}
BENCHMARK(BM_BulkMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1)->Repetitions(5);

// What the loopback allows without the connection code: 1 MiB writes from
// this thread to a blocking reader thread, over plain TCP (Arg 0) and over
// TLS with the connections' settings and write buffer (Arg 1). These are the
// ceilings the bulk figure is measured against on this machine.
class LoopbackPair {
public:
    explicit LoopbackPair(bool tls) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            abort();
        _sender = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(_sender, reinterpret_cast<sockaddr*>(&address), length) != 0) abort();
        _receiver = accept(listener, nullptr, nullptr);
        close(listener);
        if (tls) handshake();
        _reader = std::thread([this] { readUntilEnd(); });
    }
    ~LoopbackPair() {
        shutdown(_sender, SHUT_WR);  // the reader sees the end and stops
        _reader.join();
        SSL_free(_senderTls);
        SSL_free(_receiverTls);
        SSL_CTX_free(_clientCtx);
        SSL_CTX_free(_serverCtx);
        close(_sender);
        close(_receiver);
    }

    // Writes the block count times and returns once the reader has it all.
    void move(const std::vector<char>& block, long count) {
        _sent += count * static_cast<long>(block.size());
        _waitingFor = _sent;
        for (long i = 0; i < count; i++) {
            for (size_t done = 0; done < block.size();) {
                int rv = writeSome(block.data() + done, block.size() - done);
                if (rv <= 0) abort();
                done += static_cast<size_t>(rv);
            }
            if (_senderTls != nullptr && BIO_flush(SSL_get_wbio(_senderTls)) <= 0) abort();
        }
        std::unique_lock<std::mutex> hold(_lock);
        _arrived.wait(hold, [&] { return _received.load() >= _sent; });
    }

private:
    int writeSome(const char* bytes, size_t n) {
        if (_senderTls != nullptr) return SSL_write(_senderTls, bytes, static_cast<int>(n));
        return static_cast<int>(write(_sender, bytes, n));
    }
    void handshake() {
        X509* cert;
        EVP_PKEY* key;
        if (makeSelfSignedCertificate("bench", "/O=Dravika bench/CN=ceiling", 2048, 86400, &cert, &key) != 0) abort();
        _serverCtx = tlsServerContext(cert, key, false, "ceiling");
        _clientCtx = tlsClientContext("ceiling");
        X509_free(cert);
        EVP_PKEY_free(key);
        if (_serverCtx == nullptr || _clientCtx == nullptr) abort();
        _receiverTls = SSL_new(_serverCtx);
        SSL_set_fd(_receiverTls, _receiver);
        _senderTls = SSL_new(_clientCtx);
        BIO* socketBio = BIO_new_socket(_sender, BIO_NOCLOSE);
        BIO* buffer = BIO_new(BIO_f_buffer());
        BIO_set_write_buffer_size(buffer, 256 * 1024);
        BIO_up_ref(socketBio);
        BIO_push(buffer, socketBio);
        SSL_set_bio(_senderTls, socketBio, buffer);
        std::thread server([this] {
            if (SSL_accept(_receiverTls) != 1) abort();
        });
        if (SSL_connect(_senderTls) != 1) abort();
        server.join();
    }
    void readUntilEnd() {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            int rv = _receiverTls != nullptr ? SSL_read(_receiverTls, buffer.data(), static_cast<int>(buffer.size()))
                                             : static_cast<int>(read(_receiver, buffer.data(), buffer.size()));
            if (rv <= 0) return;
            if (_received.fetch_add(rv) + rv >= _waitingFor.load()) {
                std::lock_guard<std::mutex> hold(_lock);
                _arrived.notify_all();
            }
        }
    }

    int _sender = -1;
    int _receiver = -1;
    SSL_CTX* _serverCtx = nullptr;
    SSL_CTX* _clientCtx = nullptr;
    SSL* _senderTls = nullptr;
    SSL* _receiverTls = nullptr;
    std::thread _reader;
    long _sent = 0;
    std::atomic<long> _received{0};
    std::atomic<long> _waitingFor{0};
    std::mutex _lock;
    std::condition_variable _arrived;
};

void BM_LoopbackCeiling(benchmark::State& state) {
    LoopbackPair pair(state.range(0) == 1);
    std::vector<char> block(1 << 20, 'b');
    const long batch = 64;
    for (auto _ : state) pair.move(block, batch);
    state.SetBytesProcessed(state.iterations() * batch * static_cast<long>(block.size()));
    state.SetLabel(state.range(0) == 1 ? "TLS" : "plain TCP");
}
BENCHMARK(BM_LoopbackCeiling)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1)
    ->Repetitions(5);

const int kCipherRuns = 5;

// Bytes per second of one second of `openssl speed -evp aes-128-gcm` at
// 16 KiB, or 0.
double aesGcmRun() {
    FILE* p = popen("openssl speed -evp aes-128-gcm -bytes 16384 -seconds 1 2>/dev/null", "r");
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

// The median of kCipherRuns such runs, like the connection's own cases; 0
// when openssl could not be run.
double aesGcmBytesPerSecond() {
    std::vector<double> runs;
    for (int run = 0; run < kCipherRuns; run++) {
        double v = aesGcmRun();
        if (v <= 0) return 0;
        runs.push_back(v);
    }
    return median(runs);
}

// Bytes per second this system's own AES-128-GCM seals in 16 KiB records on
// one core (the median of kCipherRuns one-second runs), or 0 where the
// processor lacks the wide vector instructions and TLS uses the library's.
double wideGcmBytesPerSecond() {
    if (!wideGcmAvailable()) return 0;
    WideGcmKey key;
    const uint8_t raw[16] = {1}, iv[12] = {2}, aad[13] = {3};
    wideGcmSetKey(&key, raw);
    std::vector<uint8_t> record(16384);
    uint8_t tag[16];
    std::vector<double> runs;
    for (int run = 0; run < kCipherRuns; run++) {
        auto start = std::chrono::steady_clock::now();
        double seconds = 0;
        long records = 0;
        for (; seconds < 1; records += 256) {
            for (int i = 0; i < 256; i++)
                wideGcmSeal(key, iv, aad, sizeof(aad), record.data(), record.size(), record.data(), tag);
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        runs.push_back(records * 16384.0 / seconds);
    }
    return median(runs);
}

// The median of each benchmark's repetitions, kept for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median") continue;
            if (r.benchmark_name().find("BM_BuildOnly") == 0) {
                auto it = r.counters.find("msgs/s");
                if (it != r.counters.end()) buildRate = it->second.value;
            } else if (r.benchmark_name().find("BM_SmallMessages") == 0) {
                auto it = r.counters.find("msgs/s");
                if (it != r.counters.end()) smallRate = it->second.value;
            } else if (r.benchmark_name().find("BM_BulkMessages") == 0) {
                bulkRate = bytesPerSecond(r);
            } else if (r.benchmark_name().find("BM_LoopbackCeiling/0") == 0) {
                plainCeiling = bytesPerSecond(r);
            } else if (r.benchmark_name().find("BM_LoopbackCeiling/1") == 0) {
                tlsCeiling = bytesPerSecond(r);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double smallRate = 0;
    double buildRate = 0;
    double bulkRate = 0;
    double plainCeiling = 0;
    double tlsCeiling = 0;

private:
    static double bytesPerSecond(const Run& r) {
        auto it = r.counters.find("bytes_per_second");
        return it != r.counters.end() ? it->second.value : 0;
    }
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
    bench::initInterleaved(argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    double aes = aesGcmBytesPerSecond();
    printf("\nmedians of 5 runs each\n");
    printf("small messages (64-byte body), one way: %.0f messages/s (target 1500000)\n", summary.smallRate);
    // A 64-byte body travels as a 73-byte frame.
    if (summary.tlsCeiling > 0)
        printf("  the TLS loopback's own ceiling in 73-byte frames: %.0f messages/s; small messages reach %.0f%% of it\n",
               summary.tlsCeiling / 73, 100 * summary.smallRate * 73 / summary.tlsCeiling);
    if (summary.buildRate > 0)
        printf("  building and deleting the messages alone, one thread: %.0f messages/s; small messages reach %.0f%% of "
               "it\n",
               summary.buildRate, 100 * summary.smallRate / summary.buildRate);
    printf("bulk, 1 MiB messages: %.0f MB/s\n", summary.bulkRate / 1e6);
    if (aes > 0)
        printf("openssl speed -evp aes-128-gcm, 16 KiB blocks, one core: %.0f MB/s; bulk is %.0f%% of it (target 50%%)\n",
               aes / 1e6, 100 * summary.bulkRate / aes);
    else
        printf("openssl speed -evp aes-128-gcm could not be run\n");
    double wide = wideGcmBytesPerSecond();
    if (wide > 0)
        printf("this system's AES-128-GCM on wide vectors, which its TLS uses here, 16 KiB records, one core: "
               "%.0f MB/s; bulk is %.0f%% of it\n",
               wide / 1e6, 100 * summary.bulkRate / wide);
    if (summary.tlsCeiling > 0 && summary.plainCeiling > 0)
        printf("the same loopback without the connection code: TLS %.0f MB/s, plain TCP %.0f MB/s; "
               "bulk is %.0f%% of that TLS\n",
               summary.tlsCeiling / 1e6, summary.plainCeiling / 1e6, 100 * summary.bulkRate / summary.tlsCeiling);
    if (_link != nullptr) printf("cipher: %s\n", _link->client->getConnectionInfo());
    fflush(stdout);
    _exit(0);  // the coms threads run until the process ends
}
