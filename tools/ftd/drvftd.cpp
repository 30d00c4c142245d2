// drvftd: the receiving service of the file transfer protocol.
//
//   drvftd --root DIR [--port P] [--bind ADDR] [--cert FILE --key FILE] [--log FILE]
//
// Serves both protocol versions on P (default 14001), writes only below DIR,
// and runs until SIGINT or SIGTERM.
#include <openssl/pem.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/dravika_init.h"
#include "common/log.h"
#include "ft/ft_protocol.h"
#include "tools/ftd/ftd_server.h"

namespace {

const char* const kHelp =
    "usage: drvftd --root DIR [--port P] [options]\n"
    "\n"
    "The receiving service of the file transfer protocol: drvft copy, get and\n"
    "put talk to it. Everything it writes stays below DIR: paths with \"..\",\n"
    "absolute paths and links that would leave DIR are refused (and logged).\n"
    "Files arrive in temporary files and are renamed into place when complete.\n"
    "Its index of DIR is kept in DIR/.drvftd between runs; temporary files a\n"
    "killed run left are removed at start. Previous versions of what a\n"
    "transaction replaces or removes are kept in DIR/.drvftd/fallbacks when\n"
    "the sender asks for fallbacks.\n"
    "\n"
    "  --root DIR        the folder to serve (must exist)\n"
    "  --port P          port to listen on (default " FT_DEFAULT_PORT "; 0 picks a free one)\n"
    "  --bind ADDR       listen on this IPv4 address only (default: all)\n"
    "  --cert FILE       TLS certificate (PEM), with --key; without them a\n"
    "                    self-signed certificate is made at start\n"
    "  --key FILE        private key of the certificate (PEM)\n"
    "  --log FILE        log here (default: standard output)\n"
    "\n"
    "Prints \"drvftd: listening on port N\" once ready; stops on SIGINT or SIGTERM.\n";

struct Options {
    std::string root;
    std::string port = FT_DEFAULT_PORT;
    std::string bind;
    std::string cert;
    std::string key;
    std::string log;
};

[[noreturn]] void usage(const char* problem) {
    if (problem != nullptr) fprintf(stderr, "drvftd: %s\n\n", problem);
    fputs(kHelp, problem != nullptr ? stderr : stdout);
    exit(problem != nullptr ? 64 : 0);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") usage(nullptr);
        if (i + 1 >= argc) usage(("missing value for " + a).c_str());
        std::string v = argv[++i];
        if (a == "--root")
            o.root = v;
        else if (a == "--port")
            o.port = v;
        else if (a == "--bind")
            o.bind = v;
        else if (a == "--cert")
            o.cert = v;
        else if (a == "--key")
            o.key = v;
        else if (a == "--log")
            o.log = v;
        else
            usage(("unknown option " + a).c_str());
    }
    if (o.root.empty()) usage("--root is required");
    if (o.cert.empty() != o.key.empty()) usage("--cert and --key go together");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    dravika_init();
    if (!o.log.empty())
        setLog(o.log.c_str());
    else
        setLog(nullptr);
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    if (!o.cert.empty()) {
        FILE* f = fopen(o.cert.c_str(), "r");
        if (f != nullptr) {
            cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
            fclose(f);
        }
        f = fopen(o.key.c_str(), "r");
        if (f != nullptr) {
            key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            fclose(f);
        }
        if (cert == nullptr || key == nullptr) {
            fprintf(stderr, "drvftd: cannot read the certificate or key\n");
            return 1;
        }
    }
    FtdServer server(o.root.c_str(), cert, key);
    if (!server.ok()) {
        fprintf(stderr, "drvftd: cannot open the root folder %s\n", o.root.c_str());
        return 1;
    }
    if (server.start(o.port.c_str(), o.bind.empty() ? nullptr : o.bind.c_str()) != 0) {
        fprintf(stderr, "drvftd: cannot listen on port %s\n", o.port.c_str());
        return 1;
    }
    printf("drvftd: listening on port %d\n", server.getPort());
    fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    server.stop();
    X509_free(cert);
    EVP_PKEY_free(key);
    _exit(0);
}
