// drvft: copies trees to a file transfer service (drvftd) and fetches or
// writes single files.
//   drvft copy SRC... HOST[:PORT]:DEST [--delete] [--move] [--compress N]
//              [--filter '+ PATTERN' | '- PATTERN' | 'P PATTERN']...
//              [--bwlimit KBPS] [--report FILE]
//   drvft get HOST[:PORT]:PATH LOCAL
//   drvft put LOCAL HOST[:PORT]:PATH
// copy sends only what changed since the destination's index (partial
// updates for changed files the destination has; --move sends every file
// and removes the source files that arrived), shows progress on
// standard error, and prints the report's summary. The exit status is 0
// only when everything arrived.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/dravika_init.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/asset.h"
#include "ft/ft.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#ifdef DRV_HAVE_FTGETPUT
#include "tools/drvft_getput.h"
#endif

namespace {

const int kExitFailed = 1;
const int kExitUsage = 64;

// The usage text: on standard output when asked for, else on standard
// error with status 64.
void usage(FILE* out = stderr) {
    fprintf(out,
            "usage: drvft copy SRC... HOST[:PORT]:DEST [--delete] [--move] [--compress N]\n"
            "                  [--filter '+ PATTERN' | '- PATTERN' | 'P PATTERN']... [--bwlimit KBPS]\n"
            "                  [--report FILE]\n"
            "       drvft get HOST[:PORT]:PATH LOCAL\n"
            "       drvft put LOCAL HOST[:PORT]:PATH\n"
            "\n"
            "copy sends what changed since the destination's index; a SRC ending in\n"
            "\"/\" copies the folder's contents, otherwise the folder itself.\n"
            "  --delete         remove destination entries the source does not send: a\n"
            "                   name a '- PATTERN' filter excludes is removed too, unless\n"
            "                   a 'P PATTERN' filter protects it (lost+found always stays)\n"
            "  --move           send every file, changed or not, and remove each source\n"
            "                   file once the destination has it, then the source folders\n"
            "                   left empty (a SRC without \"/\" keeps its own folder)\n"
            "  --filter RULE    include (+), exclude (-) or protect (P) the paths PATTERN\n"
            "                   matches; the first matching filter decides\n"
            "  --compress N     deflate level, 0 to 9, of files without an extension\n"
            "                   (default 0); a file with one gets its extension's level\n"
            "                   (.txt 8, .gz 0 ..., 3 for an extension not listed)\n"
            "  --bwlimit KBPS   send at most KBPS kbit/s\n"
            "  --report FILE    also write the transfer's report to FILE\n"
            "get fetches the remote file PATH into LOCAL; put writes LOCAL to PATH.\n"
            "Exit status: 0 when everything arrived, 1 when something did not, 64 for\n"
            "a usage problem.\n");
}

// Progress on standard error (at most twice a second) and every problem
// with the file it concerns.
class Progress : public FtListener {
public:
    Progress() : _start(monotonicMs()), _last(0) {}
    void progress(const char* a, const char* b, const char* c, long long size, long long sent, long long files,
                  FtTransaction*) override {
        if (b != nullptr && b[0] == '\0' && c != nullptr && c[0] != '\0') {
            fprintf(stderr, "drvft: %s\n", c);
            return;
        }
        if (c == nullptr || (strcmp(c, "sent") != 0 && strcmp(c, "updated") != 0)) return;
        (void)a;
        (void)size;
        _files = files;
        _bytes += sent;
        long long now = monotonicMs();
        if (now - _last >= 500) {
            _last = now;
            show(now, false);
        }
    }
    void failed(const char* text) override { fprintf(stderr, "drvft: error: %s\n", text); }
    void finish() { show(monotonicMs(), true); }

private:
    void show(long long now, bool final) {
        double secs = (now - _start) / 1000.0;
        double rate = secs > 0 ? _bytes / 1024.0 / secs : 0;
        fprintf(stderr, "%s%lld files, %s bytes sent, %.1f KiB/s%s", isatty(2) ? "\r" : "", _files,
                ft_withCommas(_bytes).c_str(), rate, final || !isatty(2) ? "\n" : "");
        fflush(stderr);
    }
    long long _start;
    long long _last;
    long long _files = 0;
    long long _bytes = 0;
};

bool splitRemote(const std::string& text, std::string* host, std::string* port, std::string* path) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    *host = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    *port = FT_DEFAULT_PORT;
    size_t second = rest.find(':');
    if (second != std::string::npos && second > 0 && rest.find_first_not_of("0123456789") == second) {
        *port = rest.substr(0, second);
        rest = rest.substr(second + 1);
    }
    *path = rest;
    return !path->empty();
}

int copyCommand(int argc, char** argv) {
    std::vector<std::string> positional;
    std::vector<std::pair<int, std::string>> filters;
    bool removeMissing = false, move = false;
    int compression = 0;
    double kbps = 0;
    const char* reportPath = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "drvft copy: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--delete") {
            removeMissing = true;
        } else if (a == "--move") {
            move = true;
        } else if (a == "--compress") {
            const char* v = value("--compress");
            if (v == nullptr) return kExitUsage;
            char* end = nullptr;
            long n = strtol(v, &end, 10);
            if (*end != '\0' || n < 0 || n > 9) {
                fprintf(stderr, "drvft copy: --compress takes 0 to 9, not %s\n", v);
                return kExitUsage;
            }
            compression = static_cast<int>(n);
        } else if (a == "--bwlimit") {
            const char* v = value("--bwlimit");
            if (v == nullptr) return kExitUsage;
            char* end = nullptr;
            kbps = strtod(v, &end);
            if (*end != '\0' || kbps <= 0) {
                fprintf(stderr, "drvft copy: --bwlimit takes a positive rate in kbit/s, not %s\n", v);
                return kExitUsage;
            }
        } else if (a == "--report") {
            reportPath = value("--report");
            if (reportPath == nullptr) return kExitUsage;
        } else if (a == "--filter") {
            const char* v = value("--filter");
            if (v == nullptr) return kExitUsage;
            int action = v[0] == '+' ? PAT_INCLUDE : v[0] == '-' ? PAT_EXCLUDE : v[0] == 'P' ? PAT_PROTECT : 0;
            if (action == 0 || v[1] != ' ' || v[2] == '\0') {
                fprintf(stderr, "drvft copy: a filter is '+ PATTERN', '- PATTERN' or 'P PATTERN', not '%s'\n", v);
                return kExitUsage;
            }
            filters.emplace_back(action, v + 2);
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            fprintf(stderr, "drvft copy: unknown option %s\n", a.c_str());
            return kExitUsage;
        } else {
            positional.push_back(a);
        }
    }
    std::string host, port, dest;
    if (positional.size() < 2 || !splitRemote(positional.back(), &host, &port, &dest)) {
        usage();
        return kExitUsage;
    }
    positional.pop_back();

    Ft ft;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    for (std::string src : positional) {
        // Sources are walked from their real path, so relative ones are
        // made absolute first.
        if (src[0] != '/') src = std::string(cwd) + "/" + src;
        FtTransaction* t = new FtTransaction;
        t->setSource(src.c_str());
        t->setDestination(dest.c_str());
        t->compression = compression;
        t->createDest = true;
        // Only what changed since the destination's index is sent, changed
        // files as block differences. A move sends every file instead: the
        // engine removes only files it sent, and ignores a move for a
        // transaction that sends modified files only, so an unchanged file
        // would stay behind.
        t->modifiedOnly = !move;
        t->algorithm = 2;
        t->removeMissing = removeMissing;
        t->move = move;
        // "dir/" copies the directory's contents, "dir" the directory itself.
        t->useRecvStart2 = src.back() != '/';
        if (kbps > 0) {
            t->bandwidth = static_cast<float>(kbps);
            t->bandwidthUnit = 1;
        }
        for (const auto& f : filters) t->addFilter(f.first, f.second.c_str());
        ft.addTransaction(t);
    }
    Progress progress;
    if (ft.preCopy(&progress) != 0) return kExitFailed;
    // A current agent on the other side: the protocol with transaction
    // synchronisation (and moves).
    Asset asset;
    asset.host = strdup(host.c_str());
    asset.ftport = atoi(port.c_str());
    asset.agentVersion = strdup("dravika-2.0.0");
    int rc = ft.copyTo(nullptr, &asset, nullptr, nullptr, nullptr, nullptr, &progress, reportPath);
    progress.finish();
    printf("%s", ft.summary().c_str());
    if (rc != 0) return kExitFailed;
    if (ft.stats().filesFailed > 0) {
        fprintf(stderr, "drvft: %lld file(s) could not be sent\n", ft.stats().filesFailed);
        return kExitFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 2) {
        usage();
        return kExitUsage;
    }
    dravika_init();
    ft_registerTranslators();
    const char* level = getenv("DRVFT_LOG");
    if (level != nullptr) {
        _debug_ft = atoi(level);
        _debug_coms = atoi(level);
    } else {
        setLog("/dev/null");
    }
    std::string cmd = argv[1];
    if (cmd == "copy") return copyCommand(argc - 1, argv + 1);
#ifdef DRV_HAVE_FTGETPUT
    if (cmd == "get") return drvft_get(argc - 1, argv + 1);
    if (cmd == "put") return drvft_put(argc - 1, argv + 1);
#endif
    usage();
    return kExitUsage;
}
