// drvhost: the agent host stand-in. Loads the network module, calls its
// entry point, then samples every registered manager at a fixed interval and
// prints what it collected.
#include <dlfcn.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/stats.h"
#include "dir/dir_error.h"
#include "host/dravika.h"
#include "host/machine_info.h"
#include "host/perf_block.h"
#include "host/sample_table.h"
#include "host/settings.h"

#ifndef DRV_DEFAULT_MODULE
#define DRV_DEFAULT_MODULE "libnetmod.so"
#endif

namespace {

struct Options {
    const char* module = DRV_DEFAULT_MODULE;
    double interval = 2.0;
    long count = 0;  // 0: until stopped
    bool raw = false;
    bool info = false;
    HostSettings settings;
};

void usage(FILE* out) {
    fprintf(out,
            "Usage: drvhost [options]\n"
            "Loads the network module, starts it, and prints the rates it samples.\n"
            "\n"
            "  --module PATH     module shared object to load (default: %s)\n"
            "  --interval SECS   seconds between samples, fractions allowed (default: 2)\n"
            "  --count N         stop after N samples (default: run until SIGINT or SIGTERM)\n"
            "  --raw             print the rows in the statistics dump format instead of a table\n"
            "  --info            print the machine's system facts and file systems, then exit\n"
            "  --properties PATH properties file, re-read when it changes (default: dravika.properties)\n"
            "  --log-dir DIR     write log messages to dated files in DIR (default: standard output)\n"
            "  --help            show this text\n"
            "\n"
            "An interface shows a rate from its second sample on. Link speed reads 'down'\n"
            "when the kernel reports -1 and 'unknown' when it reports nothing.\n",
            DRV_DEFAULT_MODULE);
}

bool parseOptions(int argc, char** argv, Options& options) {
    static const struct option longOptions[] = {
        {"module", required_argument, nullptr, 'm'}, {"interval", required_argument, nullptr, 'i'},
        {"count", required_argument, nullptr, 'c'},  {"raw", no_argument, nullptr, 'r'},
        {"info", no_argument, nullptr, 'I'},         {"properties", required_argument, nullptr, 'p'},
        {"log-dir", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        char* end = nullptr;
        switch (c) {
        case 'm':
            options.module = optarg;
            break;
        case 'i':
            options.interval = strtod(optarg, &end);
            if (*end != '\0' || !(options.interval > 0)) {
                fprintf(stderr, "drvhost: --interval wants a positive number of seconds, not '%s'\n", optarg);
                return false;
            }
            break;
        case 'c':
            options.count = strtol(optarg, &end, 10);
            if (*end != '\0' || options.count < 1) {
                fprintf(stderr, "drvhost: --count wants a positive whole number, not '%s'\n", optarg);
                return false;
            }
            break;
        case 'r':
            options.raw = true;
            break;
        case 'I':
            options.info = true;
            break;
        case 'p':
            options.settings.propertiesPath = optarg;
            break;
        case 'l':
            options.settings.logDir = optarg;
            break;
        case 'h':
            usage(stdout);
            exit(0);
        default:
            usage(stderr);
            return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "drvhost: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    return true;
}

// Loads the module and runs its entry point; false (with the reason printed)
// when either fails.
bool startModule(const char* path, PerfData* block, const HostSettings& settings) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        fprintf(stderr, "drvhost: cannot load module: %s\n", dlerror());
        return false;
    }
    attachPerfDataBlock(handle, block);
    auto moduleMain = reinterpret_cast<int (*)()>(dlsym(handle, "moduleMain"));
    if (moduleMain == nullptr) {
        fprintf(stderr, "drvhost: %s has no moduleMain\n", path);
        return false;
    }
    if (!applyHostSettings(settings, handle)) return false;
    int rv = moduleMain();
    if (rv != 0) {
        fprintf(stderr, "drvhost: moduleMain failed with code %d: %s\n", rv, DirError::getErrorDescription(rv));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;
    if (options.info) return printMachineInfo(stdout);

    // SIGINT and SIGTERM are taken synchronously between samples, so a stop
    // never cuts a sample or a line in half.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!startModule(options.module, createPerfDataBlock(), options.settings)) return 1;

    Dravika* host = Dravika::instance();
    if (!options.raw) printTableHeader(stdout);
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(options.interval);
    wait.tv_nsec = static_cast<long>((options.interval - wait.tv_sec) * 1e9);
    for (long sample = 1;; sample++) {
        recheckHostSettings();
        StatEntry entry(time(nullptr));
        host->collectAll(&entry);
        logSample(sample, &entry);
        if (options.raw)
            entry.dump(stdout);
        else
            printSampleTable(stdout, &entry, host);
        fflush(stdout);
        if (options.count != 0 && sample >= options.count) break;
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
    }
    return 0;
}
