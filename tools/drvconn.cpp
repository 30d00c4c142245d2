// drvconn: a command-line peer for the agents' connection protocol.
//
//   drvconn listen PORT     accept connections and echo every message back
//   drvconn connect HOST PORT
//                           connect, complete the handshake, print the
//                           connection and its latency, optionally measure
//                           the throughput of echoed messages
#include <errno.h>
#include <openssl/pem.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/coms_error.h"
#include "coms/connection.h"
#include "coms/connector.h"
#include "coms/tls.h"
#include "dirbase/message.h"

namespace {

const int kEchoType = 4242;
const int kExitUsage = 64;
const int kExitFailed = 2;

const char* const kHelp =
    "usage: drvconn listen PORT [options]\n"
    "       drvconn connect HOST PORT [options]\n"
    "\n"
    "A peer for the agents' connection protocol (TLS 1.2, control items and\n"
    "message frames).\n"
    "\n"
    "listen PORT: accept connections on PORT (a number, a service name, or 0\n"
    "for any free port; the port is printed) and echo every message back to\n"
    "its sender. Runs until SIGINT or SIGTERM.\n"
    "  --bind ADDR          listen on this IPv4 address only (default: all)\n"
    "  --cert FILE          server certificate (PEM); with --key. Without them a\n"
    "                       self-signed certificate is made at start\n"
    "  --key FILE           private key of the certificate (PEM)\n"
    "  --whitelist TEXT     accept only addresses matching these rules, e.g.\n"
    "                       \"10.1.0.0/16, 192.168.5.7\" (127.0.0.1 always passes)\n"
    "  --refuse             refuse every client (it is told C_AUTHFAIL)\n"
    "  --kill               order clients to stop (C_KILL): those of type 333 as\n"
    "                       they connect (either handshake), those of type 550 at\n"
    "                       their first heartbeat (C_HB). A client that probes\n"
    "                       latency instead (C_GET_LD, after C_TYPE2) sends no\n"
    "                       heartbeat and is not stopped\n"
    "\n"
    "connect HOST PORT: connect to a server, complete the handshake, print the\n"
    "connection (TLS version, cipher, the server certificate's signature and\n"
    "key size) and the measured latency, then close. HOST may end in \":v0\"\n"
    "to force the version-zero handshake.\n"
    "  --type N             client type announced to the server (default 100)\n"
    "  --type-version N     0 sends C_TYPE, 1 or more C_TYPE2 (default 2)\n"
    "  --cert FILE          client certificate (PEM); with --key. Without them\n"
    "                       an anonymous certificate is made for the connection\n"
    "  --key FILE           private key of the certificate (PEM)\n"
    "  --source ADDR        connect from this local IPv4 address\n"
    "  --send N             send N messages and wait for their echoes, then\n"
    "                       report messages per second and MB/s\n"
    "  --size BYTES         body size of each message sent (default 64, at least 5)\n"
    "  --timing LOST,HB     lost time-out and heartbeat interval in ms asked of\n"
    "                       the server (default 20000,200)\n"
    "  --hold MS            stay connected MS milliseconds after the handshake,\n"
    "                       heartbeats or latency probes going on, before the\n"
    "                       rest (default 0)\n"
    "\n"
    "Both:\n"
    "  --log FILE           write the runtime's log to FILE\n"
    "  --debug              log the connection layer at DEBUG level (with --log)\n"
    "  --help               this text\n"
    "\n"
    "Exit status: 0 done; 1 stopped by the server (C_KILL); 2 refused or not\n"
    "connected; 64 bad usage.\n";

std::mutex _printLock;

void say(FILE* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(FILE* out, const char* fmt, ...) {
    std::lock_guard<std::mutex> hold(_printLock);
    va_list args;
    va_start(args, fmt);
    vfprintf(out, fmt, args);
    va_end(args);
    fflush(out);
}

[[noreturn]] void usage(const char* problem) {
    fprintf(stderr, "drvconn: %s\n(drvconn --help lists the options)\n", problem);
    exit(kExitUsage);
}

struct Options {
    std::string command, host, port;
    std::string bind, cert, key, whitelist, source, log;
    bool refuse = false, kill = false, debug = false;
    int type = 100, typeVersion = 2;
    long send = 0;
    long size = 64;
    long hold = 0;
    int lost = 20000, heartbeat = 200;
};

long number(const char* text, const char* option) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        usage((std::string("not a number for ") + option + ": " + text).c_str());
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) usage((std::string(name) + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(kHelp, stdout);
            exit(0);
        } else if (a == "--bind") {
            o.bind = value("--bind");
        } else if (a == "--cert") {
            o.cert = value("--cert");
        } else if (a == "--key") {
            o.key = value("--key");
        } else if (a == "--whitelist") {
            o.whitelist = value("--whitelist");
            // A rule the check could never match would lock out every
            // client but 127.0.0.1, silently: refuse it here instead.
            std::string rule, reason;
            if (Connector::findBadWhitelistRule(o.whitelist.c_str(), &rule, &reason))
                usage(("bad --whitelist rule \"" + rule + "\": " + reason).c_str());
        } else if (a == "--refuse") {
            o.refuse = true;
        } else if (a == "--kill") {
            o.kill = true;
        } else if (a == "--type") {
            o.type = static_cast<int>(number(value("--type"), "--type"));
        } else if (a == "--type-version") {
            o.typeVersion = static_cast<int>(number(value("--type-version"), "--type-version"));
        } else if (a == "--source") {
            o.source = value("--source");
        } else if (a == "--send") {
            o.send = number(value("--send"), "--send");
        } else if (a == "--size") {
            o.size = number(value("--size"), "--size");
        } else if (a == "--hold") {
            o.hold = number(value("--hold"), "--hold");
        } else if (a == "--timing") {
            const char* t = value("--timing");
            if (sscanf(t, "%d,%d", &o.lost, &o.heartbeat) != 2 || o.lost <= 0 || o.heartbeat <= 0)
                usage("--timing takes LOST,HB in milliseconds, e.g. 20000,200");
        } else if (a == "--log") {
            o.log = value("--log");
        } else if (a == "--debug") {
            o.debug = true;
        } else if (a.size() > 1 && a[0] == '-') {
            usage(("unknown option " + a).c_str());
        } else if (positional == 0) {
            o.command = a;
            positional++;
        } else if (o.command == "listen" && positional == 1) {
            o.port = a;
            positional++;
        } else if (o.command == "connect" && positional == 1) {
            o.host = a;
            positional++;
        } else if (o.command == "connect" && positional == 2) {
            o.port = a;
            positional++;
        } else {
            usage(("unexpected argument " + a).c_str());
        }
    }
    if (o.command != "listen" && o.command != "connect") usage("say listen or connect");
    if (o.port.empty()) usage(o.command == "listen" ? "listen needs a PORT" : "connect needs HOST and PORT");
    if (o.cert.empty() != o.key.empty()) usage("--cert and --key go together");
    if (o.send < 0) usage("--send needs a count of 0 or more");
    if (o.hold < 0 || o.hold > 86400000L) usage("--hold takes 0 to 86400000 milliseconds");
    if (o.size < 5 || o.size > 0x40000000L) usage("--size must be between 5 and 1073741824");
    return o;
}

// Loads the PEM pair, or makes a certificate when none was given.
bool credentials(const Options& o, bool server, X509** cert, EVP_PKEY** key) {
    *cert = nullptr;
    *key = nullptr;
    if (o.cert.empty()) {
        if (!server) return true;  // the connection makes an anonymous one
        char host[256] = "drvconn";
        s_gethostname(host, sizeof(host));
        std::string subject = std::string("/O=drvconn/CN=") + host;
        if (makeSelfSignedCertificate("drvconn", subject.c_str(), 2048, 365L * 86400, cert, key) != 0) {
            say(stderr, "drvconn: unable to make a certificate\n");
            return false;
        }
        return true;
    }
    FILE* f = fopen(o.cert.c_str(), "r");
    if (f != nullptr) {
        *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        fclose(f);
    }
    f = fopen(o.key.c_str(), "r");
    if (f != nullptr) {
        *key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
    }
    if (*cert == nullptr) say(stderr, "drvconn: cannot read a PEM certificate from %s\n", o.cert.c_str());
    if (*key == nullptr) say(stderr, "drvconn: cannot read a PEM private key from %s\n", o.key.c_str());
    return *cert != nullptr && *key != nullptr;
}

// ---------------------------------------------------------------------------
// listen

class EchoServer : public ConnectorListener, public ConnectionListener {
public:
    explicit EchoServer(bool refuse) : _refuse(refuse) {}

    void onBindFailed(int err, int attempt, int attempts, int pauseMs, bool willRetry) override {
        if (willRetry && attempt == 1)
            say(stderr, "drvconn: cannot bind: %s; retrying every %.1f s, for up to %.0f s more\n", strerror(err),
                pauseMs / 1000.0, (attempts - 1) * pauseMs / 1000.0);
        else if (!willRetry)
            say(stderr, "drvconn: cannot bind: %s (attempt %d of %d)\n", strerror(err), attempt, attempts);
    }

    bool newConnection(Connection* c, int type) override {
        if (_refuse) {
            say(stdout, "refused client %s (type %d)\n", c->getPeerAddress(), type);
            return false;
        }
        say(stdout, "accepted client %s (type %d, type version %d): %s\n", c->getPeerAddress(), type,
            c->getTypeVersion(), c->getConnectionInfo());
        c->setListener(this);
        return true;
    }
    int onReceive(Connection* c, Message* m) override {
        // The body goes back in the buffer it arrived in: a large message
        // is held once, not copied for the echo.
        auto* echo = new Message(static_cast<int>(m->getType()));
        echo->takeBuffers(m);
        c->send(echo);
        return 0;
    }
    void onNoConnect(Connection* c, int code) override { gone(c, messageFromError(code)); }
    void onLost(Connection* c) override { gone(c, "connection lost"); }
    void onClosed(Connection* c) override { gone(c, "closed by the client"); }
    void onConnectComplete(Connection*) override {}

private:
    void gone(Connection* c, const char* why) {
        say(stdout, "client %s gone: %s (%lld bytes in, %lld bytes out)\n", c->getPeerAddress(), why,
            c->getBytesReceived(), c->getBytesSent());
        Connection::destroy(c);
    }
    bool _refuse;
};

// SIGINT or SIGTERM ends the listener at any time, also while a busy port
// keeps the bind retrying (up to 80 s): the signals, blocked in every
// thread, are taken here rather than by the thread that binds.
void stopOnSignal() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    say(stdout, "stopping\n");
    _exit(0);
}

int listenCommand(const Options& o) {
    std::thread(stopOnSignal).detach();
    X509* cert;
    EVP_PKEY* key;
    if (!credentials(o, true, &cert, &key)) return kExitFailed;
    if (!o.whitelist.empty()) Connector::setUXWhitelist(o.whitelist.c_str());
    Connector::_killAllClients = o.kill;
    static EchoServer server(o.refuse);
    Connector* connector = Connector::create(&server, cert, key, 0);
    if (connector == nullptr || connector->getSslContext() == nullptr) {
        say(stderr, "drvconn: the certificate and key cannot be used (see --log for the reason)\n");
        return kExitFailed;
    }
    if (!o.bind.empty()) connector->setBindAddress(o.bind.c_str());
    if (connector->bind(o.port.c_str()) != 0) {
        say(stderr, "drvconn: cannot listen on port %s (see --log for the reason)\n", o.port.c_str());
        return kExitFailed;
    }
    say(stdout, "listening on %s:%d\n", o.bind.empty() ? "*" : o.bind.c_str(), connector->getPort());
    // The connections live on the coms threads; the end comes from stopOnSignal.
    for (;;) pause();
}

// ---------------------------------------------------------------------------
// connect

class Client : public ConnectionListener {
public:
    int onReceive(Connection*, Message*) override {
        std::lock_guard<std::mutex> hold(_lock);
        _received++;
        _changed.notify_all();
        return 0;
    }
    void onNoConnect(Connection*, int code) override { finish(code); }
    void onLost(Connection*) override { finish(COMS_E_NOT_CONNECTED); }
    void onClosed(Connection*) override { finish(COMS_E_NOT_CONNECTED); }
    void onConnectComplete(Connection*) override {
        std::lock_guard<std::mutex> hold(_lock);
        _complete = true;
        _changed.notify_all();
    }

    // Waits for the handshake: 0, or the connection error code.
    int waitComplete() {
        std::unique_lock<std::mutex> hold(_lock);
        _changed.wait(hold, [&] { return _complete || _error != 0; });
        return _complete && _error == 0 ? 0 : _error;
    }
    // Waits until at least n messages came back; false when the connection ended.
    bool waitReceived(long n) {
        std::unique_lock<std::mutex> hold(_lock);
        _changed.wait(hold, [&] { return _received >= n || _error != 0; });
        return _received >= n;
    }
    int error() {
        std::lock_guard<std::mutex> hold(_lock);
        return _error;
    }

private:
    void finish(int code) {
        std::lock_guard<std::mutex> hold(_lock);
        if (_error == 0) _error = code;
        _changed.notify_all();
    }
    std::mutex _lock;
    std::condition_variable _changed;
    bool _complete = false;
    int _error = 0;
    long _received = 0;
};

// why: what the connection knows beyond the code, or null.
void explain(const Options& o, int code, const char* why) {
    std::string where = o.host + ":" + o.port;
    switch (code) {
    case COMS_E_AUTH:
        say(stderr, "drvconn: %s refused this client: %s (C_AUTHFAIL)\n", where.c_str(), messageFromError(code));
        break;
    case COMS_E_WHITELIST:
        say(stderr, "drvconn: %s refused this client's address: %s (C_NOT_WHITELIST)\n", where.c_str(),
            messageFromError(code));
        break;
    default:
        if (why != nullptr)
            say(stderr, "drvconn: cannot connect to %s: %s (%d): %s\n", where.c_str(), messageFromError(code), code,
                why);
        else
            say(stderr, "drvconn: cannot connect to %s: %s (%d)\n", where.c_str(), messageFromError(code), code);
        break;
    }
}

void onKill(Connection* c) {
    say(stderr, "drvconn: %s ordered this client to stop (C_KILL); exiting with status 1\n", c->getName());
}

Message* testMessage(long size) {
    static std::string filler;
    if (filler.size() != static_cast<size_t>(size - 5)) filler.assign(static_cast<size_t>(size - 5), 'd');
    auto* m = new Message(kEchoType);
    m->writeBytes(filler.data(), static_cast<uint32_t>(filler.size()));
    return m;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int connectCommand(const Options& o) {
    X509* cert;
    EVP_PKEY* key;
    if (!credentials(o, false, &cert, &key)) return kExitFailed;
    Connection::setKillHandler(onKill);
    static Client client;
    Connection* c = Connection::create(o.host.c_str(), o.port.c_str(), cert, key, o.type);
    c->setListener(&client);
    c->setTypeVersion(o.typeVersion);
    c->setLatencyProbing(true);
    c->setTiming(o.lost, o.heartbeat);
    if (!o.source.empty()) c->setBindAddress(o.source.c_str());
    c->connect();
    int rc = client.waitComplete();
    if (rc != 0) {
        explain(o, rc, c->getFailureReason());
        return kExitFailed;
    }
    bool type2 = o.typeVersion > 0 && o.host.find(":v0") == std::string::npos;
    say(stdout, "connected to %s:%s (%s, server version %d)\n", o.host.c_str(), o.port.c_str(),
        type2 ? "C_TYPE2" : "C_TYPE", c->getServerVersion());
    say(stdout, "connection: %s\n", c->getConnectionInfo());
    if (o.hold > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.hold));
        if (client.error() != 0) {
            explain(o, client.error(), c->getFailureReason());
            return kExitFailed;
        }
    }

    // One message there and back, timed here; then the protocol's own probe.
    auto start = std::chrono::steady_clock::now();
    c->send(testMessage(64));
    if (!client.waitReceived(1)) {
        explain(o, client.error(), c->getFailureReason());
        return kExitFailed;
    }
    double roundTrip = secondsSince(start) * 1000;
    // Probes go out instead of heartbeats, and only after a C_TYPE2 handshake.
    for (int i = 0; type2 && i < 100 && c->getLatency() < 0 && client.error() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(o.heartbeat / 10 + 1));
    if (!type2)
        say(stdout, "latency: not probed (probes follow a C_TYPE2 handshake only); message round trip %.3f ms\n",
            roundTrip);
    else if (c->getLatency() >= 0)
        say(stdout, "latency: %d ms, drift %d ms (C_GET_LD); message round trip %.3f ms\n", c->getLatency(),
            c->getDrift(), roundTrip);
    else
        say(stdout, "latency: no probe answered yet; message round trip %.3f ms\n", roundTrip);

    if (o.send > 0) {
        // Keep a few MB in flight, so that the server's echoes never fall
        // far behind.
        long window = (8L << 20) / o.size;
        if (window < 4) window = 4;
        long sent = 0;
        start = std::chrono::steady_clock::now();
        while (sent < o.send) {
            if (sent - window >= 0 && !client.waitReceived(1 + sent - window)) break;
            if (c->send(testMessage(o.size)) != 0) break;
            sent++;
        }
        if (!client.waitReceived(1 + o.send)) {
            explain(o, client.error(), c->getFailureReason());
            return kExitFailed;
        }
        double seconds = secondsSince(start);
        say(stdout, "sent %ld messages of %ld bytes in %.3f s: %.0f messages/s, %.1f MB/s (echoes back)\n", o.send,
            o.size, seconds, o.send / seconds, o.send * static_cast<double>(o.size) / seconds / 1e6);
    }
    c->close();
    Connection::destroy(c);
    // Let C_CLOSE reach the server before the process ends.
    for (int i = 0; i < 200 && Connection::liveConnections() > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    // Signals for the listener's wait are blocked before any thread starts,
    // so that every thread inherits the mask and only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (o.command == "listen") pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    dravika_init();
    _log_level = LOG_INFO;
    _debug_coms = o.debug ? LOG_DEBUG : LOG_WARNING;
    if (!o.log.empty())
        setLog(o.log.c_str());
    else
        _debug_coms = LOG_CRITICAL + 1;
    int rc = o.command == "listen" ? listenCommand(o) : connectCommand(o);
    fflush(stdout);
    // The coms threads run until the process ends.
    _exit(rc);
}
