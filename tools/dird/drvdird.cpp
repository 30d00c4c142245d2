// drvdird: the directory server. It keeps a domain in a state folder (its
// certificate authority, users and asset table), listens for agents and
// directory clients, and serves this machine's providers (the network
// module's "networkAdapter" class, loaded as drvhost loads it, and the
// host's "mount" class) and the domain's assets to them.
//
//   drvdird --state DIR [--domain NAME] [--port P] [options]   serve
//   drvdird --state DIR --add-user NAME [--security TEXT]      add a user
//   drvdird --state DIR --issue-agent ID                       agent credentials
//   drvdird --state DIR --agent HOST:PORT --cert F --key F     serve a server
//
// Runs until SIGTERM or SIGINT, then closes every session and exits 0.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <openssl/pem.h>

#include "common/dravika_init.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "coms/connector.h"
#include "dir/asset.h"
#include "dir/file_system_spi.h"
#include "host/demo_provider.h"
#include "hostrt/dravika.h"
#include "hostrt/host_directory.h"
#include "tools/dird/dir_server.h"
#include "tools/dird/dird_state.h"

#ifndef DRV_DEFAULT_MODULE
#define DRV_DEFAULT_MODULE "libnetmod.so"
#endif

namespace {

const int kUsageExit = 64;
const int kFailExit = 1;

struct Options {
    DirServerOptions server;
    const char* module = DRV_DEFAULT_MODULE;
    const char* mounts = "/proc/self/mounts";
    const char* files = nullptr;
    const char* logPath = nullptr;
    const char* logDir = nullptr;
    const char* addUser = nullptr;
    const char* security = nullptr;
    const char* issueAgent = nullptr;
    const char* agentOf = nullptr;
    const char* certFile = nullptr;
    const char* keyFile = nullptr;
    bool portGiven = false;
};

void usage(FILE* out) {
    fprintf(out,
            "Usage: drvdird --state DIR [options]\n"
            "The directory server: keeps a domain in DIR (made on the first start) and\n"
            "serves this machine's providers and the domain's assets to its clients.\n"
            "\n"
            "  --state DIR        the state folder: CA, server certificate, users, assets.json\n"
            "  --domain NAME      the domain of a new state folder (checked for an old one)\n"
            "  --port P           port to listen on (default 14000; 0: any free port)\n"
            "  --bind ADDR        address to listen on (default: all)\n"
            "  --whitelist RULES  only these client addresses (\"10.1.0.0/16, 192.168.5.7\")\n"
            "  --workers N        request threads (default 4)\n"
            "  --partial N        search entries per partial reply (default 64)\n"
            "  --module PATH      network module to load (default: %s)\n"
            "  --mounts PATH      the mount table the \"mount\" provider reads\n"
            "  --files DIR        serve the files below DIR, read only, as \"filesystem:\"\n"
            "                     (how files of an agent that calls in are read)\n"
            "  --log PATH         log file (default: standard output)\n"
            "  --log-dir DIR      dated log files in DIR\n"
            "\n"
            "  --add-user NAME    add NAME (or change its password), the password read\n"
            "                     from standard input; with --security TEXT its principal\n"
            "                     text (default: a plain user of the domain); then exit\n"
            "  --issue-agent ID   issue agent credentials ID.pem and ID.key into DIR and\n"
            "                     record asset ID as calling in; then exit\n"
            "  --agent HOST:PORT  call that directory server as an agent (--cert, --key:\n"
            "                     the credentials it issued) and serve this machine to it\n"
            "\n"
            "Stops on SIGTERM or SIGINT. Usage problems exit with 64, failures with 1.\n",
            DRV_DEFAULT_MODULE);
}

bool wholeNumber(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    static const option longOptions[] = {
        {"state", required_argument, nullptr, 's'},     {"domain", required_argument, nullptr, 'd'},
        {"port", required_argument, nullptr, 'p'},      {"bind", required_argument, nullptr, 'b'},
        {"whitelist", required_argument, nullptr, 'w'}, {"workers", required_argument, nullptr, 'W'},
        {"partial", required_argument, nullptr, 'P'},   {"module", required_argument, nullptr, 'm'},
        {"mounts", required_argument, nullptr, 'M'},    {"log", required_argument, nullptr, 'l'},
        {"log-dir", required_argument, nullptr, 'L'},   {"add-user", required_argument, nullptr, 'u'},
        {"security", required_argument, nullptr, 'S'},  {"issue-agent", required_argument, nullptr, 'i'},
        {"agent", required_argument, nullptr, 'a'},     {"cert", required_argument, nullptr, 'c'},
        {"key", required_argument, nullptr, 'k'},       {"help", no_argument, nullptr, 'h'},
        {"files", required_argument, nullptr, 'F'},
        {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (c) {
        case 's': o.server.stateDir = optarg; break;
        case 'd': o.server.domain = optarg; break;
        case 'p':
            o.server.port = optarg;
            o.portGiven = true;
            break;
        case 'b': o.server.bindAddress = optarg; break;
        case 'F': {
            struct stat st;
            if (stat(optarg, &st) != 0 || !S_ISDIR(st.st_mode)) {
                fprintf(stderr, "drvdird: --files wants a folder, not '%s'\n", optarg);
                return false;
            }
            o.files = optarg;
            break;
        }
        case 'w': {
            std::string rule, reason;
            if (Connector::findBadWhitelistRule(optarg, &rule, &reason)) {
                fprintf(stderr, "drvdird: whitelist rule '%s' can never match: %s\n", rule.c_str(), reason.c_str());
                return false;
            }
            o.server.whitelist = optarg;
            break;
        }
        case 'W':
            if (!wholeNumber(optarg, 1, 64, &o.server.workers)) {
                fprintf(stderr, "drvdird: --workers wants 1 to 64, not '%s'\n", optarg);
                return false;
            }
            break;
        case 'P':
            if (!wholeNumber(optarg, 1, 100000, &o.server.partialEntries)) {
                fprintf(stderr, "drvdird: --partial wants 1 to 100000, not '%s'\n", optarg);
                return false;
            }
            break;
        case 'm': o.module = optarg; break;
        case 'M': o.mounts = optarg; break;
        case 'l': o.logPath = optarg; break;
        case 'L': o.logDir = optarg; break;
        case 'u': o.addUser = optarg; break;
        case 'S': o.security = optarg; break;
        case 'i': o.issueAgent = optarg; break;
        case 'a': o.agentOf = optarg; break;
        case 'c': o.certFile = optarg; break;
        case 'k': o.keyFile = optarg; break;
        case 'h': usage(stdout); exit(0);
        default: usage(stderr); return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "drvdird: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    if (o.server.stateDir.empty()) {
        fprintf(stderr, "drvdird: --state DIR is required\n");
        return false;
    }
    if (o.agentOf != nullptr && (o.certFile == nullptr || o.keyFile == nullptr)) {
        fprintf(stderr, "drvdird: --agent needs --cert and --key (see --issue-agent)\n");
        return false;
    }
    return true;
}

// The password from standard input: one line, without echo on a terminal.
bool readPassword(std::string* out) {
    bool tty = isatty(STDIN_FILENO);
    struct termios saved;
    if (tty) {
        fprintf(stderr, "Password: ");
        tcgetattr(STDIN_FILENO, &saved);
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    char line[1024];
    bool ok = fgets(line, sizeof line, stdin) != nullptr;
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        fprintf(stderr, "\n");
    }
    if (!ok) return false;
    size_t n = strcspn(line, "\r\n");
    out->assign(line, n);
    memset(line, 0, sizeof line);
    return !out->empty();
}

int addUser(const Options& o) {
    std::string error;
    std::unique_ptr<DirdState> state(DirdState::open(o.server.stateDir,
                                                      o.server.domain.empty() ? nullptr : o.server.domain.c_str(),
                                                      false, &error));
    if (!state) {
        fprintf(stderr, "drvdird: %s\n", error.c_str());
        return kFailExit;
    }
    std::string password;
    if (!readPassword(&password)) {
        fprintf(stderr, "drvdird: no password on standard input\n");
        return kFailExit;
    }
    std::string security = o.security != nullptr ? o.security
                                                  : UserTable::defaultSecurity(o.addUser, state->ca()->domain());
    bool ok = state->users()->setUser(o.addUser, password, security, &error);
    std::fill(password.begin(), password.end(), '\0');
    if (!ok) {
        fprintf(stderr, "drvdird: %s\n", error.c_str());
        return kFailExit;
    }
    printf("user %s of domain %s: %s\n", o.addUser, state->ca()->domain().c_str(), security.c_str());
    return 0;
}

int issueAgent(const Options& o) {
    std::string error;
    std::unique_ptr<DirdState> state(DirdState::open(o.server.stateDir,
                                                      o.server.domain.empty() ? nullptr : o.server.domain.c_str(),
                                                      false, &error));
    if (!state) {
        fprintf(stderr, "drvdird: %s\n", error.c_str());
        return kFailExit;
    }
    if (!UserTable::validName(o.issueAgent)) {
        fprintf(stderr, "drvdird: '%s' is not an asset id (letters, digits and .-_@)\n", o.issueAgent);
        return kUsageExit;
    }
    EVP_PKEY* key = DomainCA::generateKey(2048);
    X509* cert = key != nullptr ? state->ca()->issue(o.issueAgent, key, nullptr, 0, DomainCA::kLongSeconds) : nullptr;
    std::string base = o.server.stateDir + "/" + o.issueAgent;
    BIO* bio = BIO_new(BIO_s_mem());
    if (key != nullptr) PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string keyPem(data != nullptr ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
    BIO_free(bio);
    Asset a;
    a.id = strdup(o.issueAgent);
    a.name = strdup(o.issueAgent);
    a.agentId = strdup(o.issueAgent);
    a.masq = true;
    a.port = 14000;
    a.ftport = 14001;
    if (key != nullptr) a.publicKey = strdup(pemOfPublicKey(key).c_str());
    bool added = false;
    bool ok = cert != nullptr && writeFileAtomically(base + ".key", keyPem, 0600, &error) &&
              writeFileAtomically(base + ".pem", pemOfCertificate(cert), 0644, &error) &&
              state->assets()->putAsset(a, &added, &error);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        fprintf(stderr, "drvdird: %s\n", error.empty() ? "cannot issue the agent certificate" : error.c_str());
        return kFailExit;
    }
    printf("agent %s: %s.pem and %s.key\n", o.issueAgent, base.c_str(), base.c_str());
    return 0;
}

bool startModule(const char* path) {
    std::string why;
    void* handle = Dravika::loadModule(path, &why);
    int rv = handle == nullptr ? -1 : Dravika::startModule(handle, path, &why);
    if (rv == 0) return true;
    if (rv > 0) why = why + ": " + DirError::getErrorDescription(rv);
    fprintf(stderr, "drvdird: %s\n", why.c_str());
    return false;
}

template <class T, class Read>
T* readPem(const char* path, Read read) {
    FILE* f = fopen(path, "r");
    if (f == nullptr) return nullptr;
    T* v = read(f, nullptr, nullptr, nullptr);
    fclose(f);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) return kUsageExit;

    if (o.logPath != nullptr) setLog(o.logPath);
    if (o.logDir != nullptr) setLogDir(o.logDir);
    _log_level = LOG_INFO;
    dravika_init();

    if (o.addUser != nullptr) return addUser(o);
    if (o.issueAgent != nullptr) return issueAgent(o);

    // Every thread from here on inherits the blocked signals; this thread
    // takes them with sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    X509* agentCert = nullptr;
    EVP_PKEY* agentKey = nullptr;
    std::string host, port;
    if (o.agentOf != nullptr) {
        std::string target = o.agentOf;
        size_t colon = target.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) {
            fprintf(stderr, "drvdird: --agent wants HOST:PORT, not '%s'\n", o.agentOf);
            return kUsageExit;
        }
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
        agentCert = readPem<X509>(o.certFile, PEM_read_X509);
        agentKey = readPem<EVP_PKEY>(o.keyFile, PEM_read_PrivateKey);
        if (agentCert == nullptr || agentKey == nullptr) {
            fprintf(stderr, "drvdird: cannot read the agent credentials %s and %s\n", o.certFile, o.keyFile);
            return kFailExit;
        }
        // An agent listens for clients of its own only when asked to.
        o.server.listen = o.portGiven;
    }

    if (!startModule(o.module)) return kFailExit;
    MountProvider mounts(o.mounts);
    if (int rv = mounts.start(); rv != 0) {
        fprintf(stderr, "drvdird: cannot federate the mount provider: %s\n", DirError::getErrorDescription(rv));
        return kFailExit;
    }
    // Files are served only when asked for, and only below that folder.
    std::unique_ptr<FileSystemSPI> files;
    if (o.files != nullptr) {
        files.reset(new FileSystemSPI(o.files));
        if (int rv = HostSPI::federate(FileSystemSPI::kClass, false, files.get()); rv != 0) {
            fprintf(stderr, "drvdird: cannot federate the file provider: %s\n", DirError::getErrorDescription(rv));
            return kFailExit;
        }
    }
    HostDirectorySPI hostRoot;
    DirServer server(o.server);
    std::string error;
    if (!server.start(&hostRoot, &error)) {
        fprintf(stderr, "drvdird: %s\n", error.c_str());
        return kFailExit;
    }
    if (o.server.listen) printf("drvdird: domain %s serving on port %d\n", server.state()->ca()->domain().c_str(),
                                server.port());
    if (agentCert != nullptr) {
        server.connectUpstream(host.c_str(), port.c_str(), agentCert, agentKey);
        printf("drvdird: calling %s:%s as agent %s\n", host.c_str(), port.c_str(),
               subjectCommonName(agentCert).c_str());
    }
    fflush(stdout);

    // Until a stop signal; an agent calls its server again when the
    // connection goes.
    for (;;) {
        struct timespec wait = {3, 0};
        int sig = sigtimedwait(&stop, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) break;
        if (agentCert != nullptr && !server.upstreamAlive())
            server.connectUpstream(host.c_str(), port.c_str(), agentCert, agentKey);
    }
    printf("drvdird: stopping\n");
    fflush(stdout);
    server.stop();
    mounts.stop();
    log(LOG_INFO, 0, 0, "dird: exit");
    fflush(stdout);
    fflush(stderr);
    // The server directory's execution thread runs until the process ends:
    // leave without running the static destructors under it.
    _exit(0);
}
