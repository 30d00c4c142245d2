// Remote execute round trips over one TLS connection on loopback:
// Directory::execute on a remote provider (through the execution thread,
// the directory messages and a minimal in-process peer that answers every
// execute at once), one request at a time and with 64 outstanding, with the
// p50 and p99 latency of each; printed beside the floor, the bare echo rate
// of the messaging layer (a 64-byte message out and back on the same kind of
// connection, one at a time and 64 outstanding) measured in the same run.
// A second floor is the bare hand-over between two threads (one wakes the
// other through a condition variable and sleeps until woken back): an
// execute's lone round trip wakes a thread twice more than an echo's, so on
// a machine where waking another CPU is dear, the echo's p50 plus that
// figure is about the best one at a time can do.
// Every case runs five times; the summary gives the medians. Beside each
// rate stands the process's CPU time per round trip (all threads), which
// says more than the rate alone on a machine that others load as well.
//
// Targets: 64 outstanding at least 50% of the echo rate with 64 outstanding;
// one-at-a-time p50 below 100 us.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "common/dravika_init.h"
#include "common/log.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/net_client_spi.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"

namespace {

using bench::median;

using Clock = std::chrono::steady_clock;

const int kEchoType = 999;
const int kWindow = 64;
const int kRepeats = 5;

// The peer: answers the connect's domain attributes and every execute at
// once; echoes anything of kEchoType.
class Peer : public ConnectorListener, public ConnectionListener {
public:
    // The encoded result every execute gets (a completed result holding 1).
    Peer() {
        FutureResult fr;
        fr.setResult(new Any(1));
        Message m(1);
        m.writeObject(OBJ_FUTURERESULT_ID, &fr);
        size_t n = 0;
        unsigned char* bytes = m.copyBytes(&n);
        result.assign(bytes + 9, bytes + n);
        free(bytes);
    }
    std::vector<unsigned char> result;
    bool newConnection(Connection* c, int) override {
        c->setListener(this);
        return true;
    }
    int onReceive(Connection* c, Message* m) override {
        int code = static_cast<int>(m->getType());
        if (code == kEchoType) {
            size_t n = 0;
            unsigned char* body = m->copyBytes(&n);
            Message* reply = new Message(kEchoType);
            reply->appendBytes(body + 9, n - 9);
            free(body);
            c->send(reply);
            return 0;
        }
        if (code == DirProtocol::M_DOMAIN_ATTRIBUTES) {
            Attributes a;
            c->send(DirProtocol::domainAttributes(&a));
            return 0;
        }
        // Only the id is read: the peer's share of the work stays small, so
        // that what is measured is the client's.
        int64_t id = 0;
        if (m->readInt64(&id) != 0) return 0;
        Message* reply = new Message(code == DirProtocol::M_EXECUTE ? DirProtocol::M_EXECUTE_REPLY
                                                                    : DirProtocol::M_ERROR_REPLY);
        reply->writeInt64(id);
        if (code == DirProtocol::M_EXECUTE)
            reply->writeOpaqueObject(result.data(), result.size());
        else
            reply->writeInt32(21);
        c->send(reply);
        return 0;
    }
    void onNoConnect(Connection*, int) override {}
    void onLost(Connection*) override {}
    void onClosed(Connection*) override {}
    void onConnectComplete(Connection*) override {}
};

// The client end of the echo floor.
class EchoClient : public ConnectionListener {
public:
    // Both clients wake the waiting caller after releasing their lock, so
    // that it does not wake only to wait for that lock.
    int onReceive(Connection*, Message*) override {
        {
            std::lock_guard<std::mutex> hold(lock);
            received++;
        }
        changed.notify_all();
        return 0;
    }
    void onNoConnect(Connection*, int) override {}
    void onLost(Connection*) override {}
    void onClosed(Connection*) override {}
    void onConnectComplete(Connection*) override {
        std::lock_guard<std::mutex> hold(lock);
        up = true;
        changed.notify_all();
    }
    std::mutex lock;
    std::condition_variable changed;
    long received = 0;
    bool up = false;
};

struct Result {
    double perSecond;
    double p50us;
    double p99us;
    double cpuUs;  // process CPU time per round trip
};

// The process's CPU time so far, user and system, in microseconds.
double cpuNowUs() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    return v[i];
}

Result echoRun(Connection* c, EchoClient* e, int window, int total) {
    std::string payload(64, 'x');
    std::vector<double> lat;
    lat.reserve(total);
    std::deque<Clock::time_point> sent;
    long base;
    {
        std::lock_guard<std::mutex> hold(e->lock);
        base = e->received;
    }
    double cpu0 = cpuNowUs();
    auto t0 = Clock::now();
    int issued = 0;
    long done = 0;
    while (done < total) {
        while (issued < total && issued - done < window) {
            Message* m = new Message(kEchoType);
            m->writeString(payload.c_str());
            sent.push_back(Clock::now());
            c->send(m);
            issued++;
        }
        std::unique_lock<std::mutex> hold(e->lock);
        e->changed.wait(hold, [&] { return e->received - base > done; });
        long now = e->received - base;
        hold.unlock();
        auto t = Clock::now();
        for (; done < now; done++) {
            lat.push_back(std::chrono::duration<double, std::micro>(t - sent.front()).count());
            sent.pop_front();
        }
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return {total / secs, percentile(lat, 0.5), percentile(lat, 0.99), (cpuNowUs() - cpu0) / total};
}

// Round trips of a bare hand-over: this thread wakes a partner and sleeps
// until the partner wakes it back. The p50 of one round trip, in us.
double handOverRun(int total) {
    std::mutex lock;
    std::condition_variable changed;
    int turn = 0;  // 1: the partner's move; 0: ours; -1: the partner stops
    std::thread partner([&] {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [&] { return turn != 0; });
            if (turn < 0) return;
            turn = 0;
            changed.notify_all();
        }
    });
    std::vector<double> lat;
    lat.reserve(total);
    for (int i = 0; i < total; i++) {
        auto t0 = Clock::now();
        std::unique_lock<std::mutex> hold(lock);
        turn = 1;
        changed.notify_all();
        changed.wait(hold, [&] { return turn == 0; });
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        turn = -1;
    }
    changed.notify_all();
    partner.join();
    return percentile(lat, 0.5);
}

// The execute runs wait on each result, oldest first, as a caller without
// a listener does: replies come back in order on the one connection, and
// the execution thread wakes a waiter only after it has left the registry
// lock, so the waker's syscall is never made under that lock.
Result executeRun(Directory* d, const DirName* name, int window, int total, int* failures) {
    std::vector<double> lat;
    lat.reserve(total);
    std::deque<std::pair<FutureResult*, Clock::time_point>> outstanding;
    double cpu0 = cpuNowUs();
    auto t0 = Clock::now();
    int issued = 0;
    int completed = 0;
    while (completed < total) {
        while (issued < total && issued - completed < window) {
            auto t = Clock::now();
            outstanding.emplace_back(d->execute(name, nullptr, "ping", nullptr), t);
            issued++;
        }
        FutureResult* fr = outstanding.front().first;
        fr->waitComplete();
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - outstanding.front().second).count());
        outstanding.pop_front();
        if (fr->failed) (*failures)++;
        FutureResult::destroy(fr);
        completed++;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return {total / secs, percentile(lat, 0.5), percentile(lat, 0.99), (cpuNowUs() - cpu0) / total};
}

}  // namespace

int main(int argc, char** argv) {
    // Usage: bench_dir_remote [requests] [only]; "only" (echo1, echo64,
    // exec1 or exec64) runs that case alone, for a profiler.
    int total = argc > 1 ? atoi(argv[1]) : 20000;
    const char* only = argc > 2 ? argv[2] : nullptr;
    bool knownCase = only == nullptr || strcmp(only, "echo1") == 0 || strcmp(only, "echo64") == 0 ||
                     strcmp(only, "exec1") == 0 || strcmp(only, "exec64") == 0;
    if (total < 4 || !knownCase) {
        fprintf(stderr, "usage: bench_dir_remote [requests (at least 4)] [echo1|echo64|exec1|exec64]\n");
        return 2;
    }
    dravika_init();
    setLog("/dev/null");
    Directory::init();
    NetClientSPI::install();
    Connection::comsInit();

    X509* serverCert = nullptr;
    EVP_PKEY* serverKey = nullptr;
    makeSelfSignedCertificate("bench", "/O=Dravika Bench/CN=server", 2048, 86400, &serverCert, &serverKey);
    Peer peer;
    Connector* connector = Connector::create(&peer, serverCert, serverKey, 0);
    connector->setServerVersion(1);
    if (connector->bind("0") != 0) {
        fprintf(stderr, "bind failed\n");
        return 1;
    }
    std::string port = std::to_string(connector->getPort());

    // The floor: an echo connection of the same kind.
    X509* cc = nullptr;
    EVP_PKEY* ck = nullptr;
    makeSelfSignedCertificate("bench", "/O=Dravika Bench/CN=client", 2048, 86400, &cc, &ck);
    EchoClient echo;
    Connection* ec = Connection::create("127.0.0.1", port.c_str(), cc, ck, 448);
    ec->setListener(&echo);
    ec->setTypeVersion(2);
    ec->connect();
    {
        std::unique_lock<std::mutex> hold(echo.lock);
        echo.changed.wait(hold, [&] { return echo.up; });
    }

    X509* sc = nullptr;
    EVP_PKEY* sk = nullptr;
    makeSelfSignedCertificate("bench", "/O=Dravika Bench/CN=session", 2048, 86400, &sc, &sk);
    int err = 0;
    Directory* d = Directory::startClientDirectoryService("benchdom", "127.0.0.1", port.c_str(), sc, sk, &err);
    DirName* name = DirName::createFromString("/", &err);
    int failures = 0;
    // Warm up: the provider connects, caches fill.
    executeRun(d, name, 1, 200, &failures);
    echoRun(ec, &echo, 1, 200);
    failures = 0;

    if (only != nullptr) {
        bool exec = strncmp(only, "exec", 4) == 0;
        int window = strcmp(only + 4, "64") == 0 ? kWindow : 1;
        Result r = exec ? executeRun(d, name, window, total, &failures) : echoRun(ec, &echo, window, total);
        printf("%s: %.0f round trips/s  p50 %.1f us  p99 %.1f us  cpu %.1f us per round trip (%d failed)\n", only,
               r.perSecond, r.p50us, r.p99us, r.cpuUs, failures);
        fflush(stdout);
        _exit(0);
    }
    std::vector<double> echo1, echo64, exec1, exec64, p50a, p99a, p50b, p99b, ep50, cpuEcho64, cpuExec64, handOver;
    for (int rep = 0; rep < kRepeats; rep++) {
        Result e1 = echoRun(ec, &echo, 1, total / 4);
        Result e64 = echoRun(ec, &echo, kWindow, total);
        Result x1 = executeRun(d, name, 1, total / 4, &failures);
        Result x64 = executeRun(d, name, kWindow, total, &failures);
        handOver.push_back(handOverRun(total / 4));
        echo1.push_back(e1.perSecond);
        ep50.push_back(e1.p50us);
        echo64.push_back(e64.perSecond);
        exec1.push_back(x1.perSecond);
        exec64.push_back(x64.perSecond);
        p50a.push_back(x1.p50us);
        p99a.push_back(x1.p99us);
        p50b.push_back(x64.p50us);
        p99b.push_back(x64.p99us);
        cpuEcho64.push_back(e64.cpuUs);
        cpuExec64.push_back(x64.cpuUs);
        printf("run %d: echo 1: %.0f/s, echo 64: %.0f/s (cpu %.1f us), execute 1: %.0f/s (p50 %.1f us, p99 %.1f us), "
               "execute 64: %.0f/s (p50 %.1f us, p99 %.1f us, cpu %.1f us), hand-over p50 %.1f us\n",
               rep + 1, e1.perSecond, e64.perSecond, e64.cpuUs, x1.perSecond, x1.p50us, x1.p99us, x64.perSecond,
               x64.p50us, x64.p99us, x64.cpuUs, handOver.back());
        fflush(stdout);
    }
    printf("\nmedians of %d runs (%d requests per 64-outstanding run, %d failed):\n", kRepeats, total, failures);
    printf("  floor: thread hand-over        %10.1f us there and back (p50; an execute makes one more than an echo)\n",
           median(handOver));
    printf("  floor: echo one at a time      %10.0f round trips/s (p50 %.1f us)\n", median(echo1), median(ep50));
    printf("  floor: echo 64 outstanding     %10.0f round trips/s  cpu %.1f us per round trip\n", median(echo64),
           median(cpuEcho64));
    printf("  remote execute one at a time   %10.0f round trips/s  p50 %.1f us  p99 %.1f us  (target p50 < 100 us)\n",
           median(exec1), median(p50a), median(p99a));
    printf("  remote execute 64 outstanding  %10.0f round trips/s  p50 %.1f us  p99 %.1f us  cpu %.1f us per round trip\n",
           median(exec64), median(p50b), median(p99b), median(cpuExec64));
    printf("  64 outstanding / echo 64       %10.0f%%  (target >= 50%%)\n", 100.0 * median(exec64) / median(echo64));
    printf("  cpu per echo / per execute     %10.0f%%  (the same ratio counted in CPU time)\n",
           100.0 * median(cpuEcho64) / median(cpuExec64));
    fflush(stdout);
    _exit(0);
}
