// drvhost: the agent host stand-in. Loads the network module, starts the
// runtime the module carries as a host does, calls the module's entry point,
// then samples every registered manager at a fixed interval on its main
// thread's event loop and prints what it collected.
//
// Two copies of the runtime live in the process: drvhost's own, whose loop
// drives the sampling, and the module's, whose signal thread is the only one
// in the process. A stop (SIGTERM, SIGINT, or the last of --count samples)
// always ends through that signal thread: it runs the shutdown handlers,
// whose one here waits until the last sample line is out, and exits with 0.
#include <dlfcn.h>
#include <getopt.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "common/daemon_thread.h"
#include "common/dravika_init.h"
#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "common/sem.h"
#include "common/stats.h"
#include "common/thread_context.h"
#include "creds/creds_child.h"
#include "host/creds_commands.h"
#include "host/interface_stats.h"
#include "host/machine_info.h"
#include "host/perf_block.h"
#include "host/sample_table.h"
#include "host/settings.h"
#include "host/stats_recorder.h"
#include "hostrt/dravika.h"

#ifndef DRV_DEFAULT_MODULE
#define DRV_DEFAULT_MODULE "libnetmod.so"
#endif

namespace {

struct Options {
    const char* module = DRV_DEFAULT_MODULE;
    double interval = 2.0;
    long count = 0;  // 0: until stopped
    bool raw = false;
    bool json = false;
    InterfaceFilter filter;
    bool dumpThreads = false;
    bool info = false;
    const char* lookupKind = nullptr;  // --lookup KIND NAME
    const char* lookupValue = nullptr;
    const char* verifyUser = nullptr;
    const char* pamService = "login";
    HostSettings settings;
};

// Exit status of a usage problem, as the other programs of the project use it.
const int kUsageExit = 64;

// What can be a sampling interval: below 10 ms the samples are mostly
// scheduling noise, and beyond a day a run is better restarted.
const double kMinInterval = 0.01;
const double kMaxInterval = 86400;

void usage(FILE* out) {
    fprintf(out,
            "Usage: drvhost [options]\n"
            "Loads the network module, starts it, and prints the rates it samples.\n"
            "\n"
            "  --module PATH     module shared object to load (default: %s)\n"
            "  --interval SECS   seconds between samples, 0.01 to 86400, fractions allowed (default: 2)\n"
            "  --count N         stop after N samples (default: run until SIGINT or SIGTERM)\n"
            "  --raw             print the rows in the statistics dump format instead of a table\n"
            "  --json            print one JSON object per interface and sample instead of a table\n"
            "  --interfaces GLOB show only interfaces whose name matches GLOB (repeatable)\n"
            "  --exclude GLOB    leave out interfaces whose name matches GLOB (repeatable)\n"
            "  --dump-threads    log the event loops of both runtimes once sampling starts\n"
            "                    (SIGQUIT asks for the same dump at any time)\n"
            "  --info            print the machine's system facts and file systems, then exit\n"
            "  --lookup user NAME|uid N|group NAME|gid N|host NAME\n"
            "                    look one entry up through the credential child, print it, exit\n"
            "                    (status 1: no such entry, 2: the lookup failed)\n"
            "  --verify USER     check USER's password (asked on the terminal) with PAM, print\n"
            "                    the user's groups, exit (status 1: refused)\n"
            "  --pam-service NAME  PAM service for --verify (default: login)\n"
            "  --properties PATH properties file, re-read when it changes (default: dravika.properties)\n"
            "  --log-dir DIR     write log messages to dated files in DIR (default: standard output)\n"
            "  --stats-dir DIR   also keep the samples in statistics files in DIR, one per\n"
            "                    --stats-period and day, named YYYYMMDD-HHMMSS.stats\n"
            "  --stats-period SECS  seconds one statistics file covers (default: 3600)\n"
            "  --help            show this text\n"
            "\n"
            "An interface shows a rate from its second sample on, and only once it has\n"
            "transmitted; the table names those without one and why. Link speed reads\n"
            "'unknown' when the kernel knows none and 'down' when the link is down.\n"
            "Usage problems exit with status 64.\n",
            DRV_DEFAULT_MODULE);
}

bool parseOptions(int argc, char** argv, Options& options) {
    static const struct option longOptions[] = {
        {"module", required_argument, nullptr, 'm'}, {"interval", required_argument, nullptr, 'i'},
        {"count", required_argument, nullptr, 'c'},  {"raw", no_argument, nullptr, 'r'},
        {"dump-threads", no_argument, nullptr, 'd'}, {"info", no_argument, nullptr, 'I'},
        {"properties", required_argument, nullptr, 'p'}, {"log-dir", required_argument, nullptr, 'l'},
        {"stats-dir", required_argument, nullptr, 's'}, {"stats-period", required_argument, nullptr, 'P'},
        {"json", no_argument, nullptr, 'j'},         {"interfaces", required_argument, nullptr, 'n'},
        {"exclude", required_argument, nullptr, 'x'}, {"help", no_argument, nullptr, 'h'},
        {"lookup", required_argument, nullptr, 'L'}, {"verify", required_argument, nullptr, 'V'},
        {"pam-service", required_argument, nullptr, 'S'},
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
            if (end == optarg || *end != '\0' || !isfinite(options.interval) || options.interval < kMinInterval ||
                options.interval > kMaxInterval) {
                fprintf(stderr, "drvhost: --interval wants seconds from %g to %g (one day), not '%s'\n",
                        kMinInterval, kMaxInterval, optarg);
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
        case 'j':
            options.json = true;
            break;
        case 'n':
            options.filter.include.push_back(optarg);
            break;
        case 'x':
            options.filter.exclude.push_back(optarg);
            break;
        case 'd':
            options.dumpThreads = true;
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
        case 's':
            options.settings.statsDir = optarg;
            break;
        case 'P': {
            long period = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || period < 1 || period > 86400) {
                fprintf(stderr, "drvhost: --stats-period wants seconds from 1 to 86400, not '%s'\n", optarg);
                return false;
            }
            options.settings.statsPeriod = static_cast<int>(period);
            break;
        }
        case 'L':
            if (!isLookupKind(optarg)) {
                fprintf(stderr, "drvhost: --lookup wants user, uid, group, gid or host, not '%s'\n", optarg);
                return false;
            }
            options.lookupKind = optarg;
            break;
        case 'V':
            options.verifyUser = optarg;
            break;
        case 'S':
            options.pamService = optarg;
            break;
        case 'h':
            usage(stdout);
            exit(0);
        default:
            usage(stderr);
            return false;
        }
    }
    // The name --lookup looks up is the one word left over.
    if (options.lookupKind != nullptr) {
        if (optind >= argc) {
            fprintf(stderr, "drvhost: --lookup %s wants what to look up\n", options.lookupKind);
            return false;
        }
        options.lookupValue = argv[optind++];
        // A lookup that could not be asked is a usage problem, not a
        // failed lookup (status 2).
        if (!isLookupValue(options.lookupKind, options.lookupValue)) {
            fprintf(stderr, "drvhost: --lookup %s wants a number from 0 to 4294967295, not '%s'\n",
                    options.lookupKind, options.lookupValue);
            return false;
        }
        if (options.verifyUser != nullptr) {
            fprintf(stderr, "drvhost: --lookup and --verify are two commands; pick one\n");
            return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "drvhost: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    if (options.raw && options.json) {
        fprintf(stderr, "drvhost: --raw and --json are two formats; pick one\n");
        return false;
    }
    return true;
}

// The runtime set-up functions a host calls: the module's exported ones, or
// drvhost's own for a module that carries no runtime.
struct Runtime {
    void (*init)();
    void (*attachSignalHandler)(int, EventHandler*);
    int (*attachMainThread)(ChildListener*, bool);
    void (*addShutdownHandler)(ShutdownHandler*);
    void (*dumpContexts)();
};

Runtime ownRuntime() {
    return Runtime{dravika_init, DaemonThread::attachSignalHandler, DaemonThread::attachMainThread,
                   s_addShutdownHandler, ThreadContext::dump};
}

template <class F>
bool findSymbol(void* handle, const char* name, F& out) {
    void* p = dlsym(handle, name);
    out = reinterpret_cast<F>(p);
    return p != nullptr;
}

// The module's copy of the runtime, by the mangled names module/exports.map lets out.
bool findModuleRuntime(void* handle, Runtime& rt) {
    return findSymbol(handle, "_Z12dravika_initv", rt.init) &&
           findSymbol(handle, "_ZN12DaemonThread19attachSignalHandlerEiP12EventHandler", rt.attachSignalHandler) &&
           findSymbol(handle, "_ZN12DaemonThread16attachMainThreadEP13ChildListenerb", rt.attachMainThread) &&
           findSymbol(handle, "_Z20s_addShutdownHandlerP15ShutdownHandler", rt.addShutdownHandler) &&
           findSymbol(handle, "_ZN13ThreadContext4dumpEv", rt.dumpContexts);
}

// Runs the module's entry point; false (with the reason printed) when it fails.
bool startModule(void* handle, const char* path) {
    std::string why;
    int rv = Dravika::startModule(handle, path, &why);
    if (rv == 0) return true;
    if (rv > 0) why = why + ": " + DirError::getErrorDescription(rv);
    fprintf(stderr, "drvhost: %s\n", why.c_str());
    return false;
}

// Samples on the main thread's loop: a timer paces the samples, and a count
// event carries a stop request from the signal thread, which only ever
// advances it and waits; the loop's events stay the main thread's business.
class Sampler : public EventHandler, public ShutdownHandler {
public:
    Sampler(const Options& options, Dravika* host)
        : _options(options), _host(host), _sampleTimer(this), _stopRequest(this), _samples(0), _finished(false) {
        if (options.settings.statsDir != nullptr)
            _stats.reset(new StatsRecorder(options.settings.statsDir, options.interval, options.settings.statsPeriod));
        // The option's bounds keep this well inside what a timer takes.
        _intervalMs = static_cast<int>(options.interval * 1000 + 0.5);
    }

    void start() { _sampleTimer.set(0); }

    void handleEvent(Event* e) override {
        if (e == &_stopRequest) {
            _stopRequest.advanceReadCount();
            finish();
        } else if (e == &_sampleTimer && !isFinished()) {
            sample();
        }
    }

    // On the signal thread: returns once the main loop has printed its last line.
    void onShutdown() override {
        _stopRequest.advanceWriteCount();
        CondSection hold(_state);
        while (!_finished) _state.wait();
    }

private:
    void sample() {
        recheckHostSettings();
        std::unique_ptr<StatEntry> entry(new StatEntry(time(nullptr)));
        _host->collectAll(entry.get());
        _interfaces.scan(monotonicMs());
        logSample(_samples + 1, entry.get());
        if (_options.raw)
            entry->dump(stdout);
        else if (_options.json)
            printSampleJson(stdout, entry.get(), _interfaces, _options.filter);
        else
            printSampleTable(stdout, entry.get(), _interfaces, _options.filter);
        fflush(stdout);
        // A statistics file that cannot be written is reported there; the
        // samples go on either way.
        if (_stats) _stats->add(entry.release());
        _samples++;
        if (_options.count != 0 && _samples >= _options.count) {
            finish();
            kill(getpid(), SIGTERM);  // the one way out: through the signal thread
            return;
        }
        _sampleTimer.set(_intervalMs);
    }

    bool isFinished() {
        CondSection hold(_state);
        return _finished;
    }

    void finish() {
        _sampleTimer.enabled(false);
        if (_stats) _stats->flush();
        fflush(stdout);
        CondSection hold(_state);
        _finished = true;
        _state.broadcast();
    }

    const Options& _options;
    Dravika* _host;
    InterfaceStats _interfaces;
    int _intervalMs;
    TimerEvent _sampleTimer;
    CountEvent _stopRequest;
    long _samples;
    std::unique_ptr<StatsRecorder> _stats;
    CondBlock _state;
    bool _finished;
};

// SIGINT takes the same way out as SIGTERM.
class InterruptHandler : public EventHandler {
public:
    void handleEvent(Event*) override { kill(getpid(), SIGTERM); }
};

// SIGQUIT: both runtimes log their event loops the next time each loop is entered.
class DumpHandler : public EventHandler {
public:
    explicit DumpHandler(const Runtime& module) : _module(module) {}
    void handleEvent(Event*) override { requestDump(); }
    void requestDump() {
        log(0, "Thread dump requested");
        ThreadContext::dump();
        _module.dumpContexts();
    }

private:
    const Runtime& _module;
};

// How long the main loop runs before it is entered again; a requested dump
// is logged on entry, so this bounds how late it shows.
const int kLoopSliceMs = 500;

}  // namespace

int main(int argc, char** argv) {
    // A credential lookup re-runs this program as its child: that serves one
    // request here and exits.
    credsProgramStart(argc, argv);
    Options options;
    if (!parseOptions(argc, argv, options)) return kUsageExit;
    if (options.info) return printMachineInfo(stdout);
    if (options.lookupKind != nullptr)
        return runLookup(options.settings, options.lookupKind, options.lookupValue, stdout);
    if (options.verifyUser != nullptr) return runVerify(options.settings, options.verifyUser, options.pamService, stdout);
    if (options.settings.statsDir != nullptr && !checkStatsDir(options.settings.statsDir)) return 1;

    std::string why;
    void* module = Dravika::loadModule(options.module, &why);
    if (module == nullptr) {
        fprintf(stderr, "drvhost: %s\n", why.c_str());
        return 1;
    }
    Runtime moduleRuntime;
    if (!findModuleRuntime(module, moduleRuntime)) {
        fprintf(stderr, "drvhost: %s carries no runtime of its own; using drvhost's\n", options.module);
        moduleRuntime = ownRuntime();
    }

    // One performance data block for both runtimes, attached before their
    // dravika_init so that each registers the named counters in it.
    attachPerfDataBlock(module, createPerfDataBlock());

    dravika_init();
    moduleRuntime.init();
    // Log destination and properties, for both runtimes.
    if (!applyHostSettings(options.settings, module)) return 1;

    // The signal thread: SIGTERM, SIGINT and SIGQUIT are taken there from now on.
    InterruptHandler interrupt;
    DumpHandler dumper(moduleRuntime);
    moduleRuntime.attachSignalHandler(SIGINT, &interrupt);
    moduleRuntime.attachSignalHandler(SIGQUIT, &dumper);
    int rv = moduleRuntime.attachMainThread(nullptr, false);
    if (rv != 0) {
        fprintf(stderr, "drvhost: cannot start the signal thread: %s\n", strerror(rv));
        return 1;
    }

    if (!startModule(module, options.module)) {
        // The signal thread runs on with handlers that live in this frame,
        // and a return would run the exit handlers and static destructors
        // beside it: a signal taken meanwhile would reach a dead handler, or
        // end the run as a clean stop. End here instead, with what has been
        // printed written out first.
        fflush(stdout);
        fflush(stderr);
        _exit(1);
    }

    Sampler sampler(options, Dravika::instance());
    moduleRuntime.addShutdownHandler(&sampler);
    if (!options.raw && !options.json) printTableHeader(stdout);
    fflush(stdout);
    sampler.start();
    if (options.dumpThreads) dumper.requestDump();

    // Runs until the signal thread ends the process.
    ThreadContext* loop = ThreadContext::get();
    for (;;) loop->run(kLoopSliceMs);
}
