// drvdir: a command-line client of the directory. It runs a server
// directory in this process over the host stand-in's providers (the host's
// root, which routes every federated class to its provider, with the network
// module loaded and started as drvhost does) and runs one directory
// operation on a name written in the directory's own text form.
//
//   drvdir [--module PATH] [--log PATH] COMMAND NAME [options]
//
// Output goes to standard output; every failure prints the error code with
// its text on standard error and exits non-zero.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/os.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/resolve_context.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "host/demo_provider.h"
#include "hostrt/host_directory.h"
#include "tools/drvdir_exec.h"
#include "tools/local_directory.h"

namespace {

const int kUsageExit = 2;
const int kFailExit = 1;

struct Options {
    const char* module = DRV_DEFAULT_MODULE;
    const char* logPath = nullptr;
    const char* attrs = nullptr;  // search: the wanted attributes
    const char* mounts = "/proc/self/mounts";  // the mount provider's table
    int count = 0;                // watch: stop after this many changes (0: never)
    int timeout = 30;             // seconds, for operations that wait
    const char* command = nullptr;
    std::vector<const char*> args;  // the name first, then the command's own
};

// Prints "drvdir: WHAT: error CODE: TEXT" and gives the failure exit code.
int fail(const std::string& what, int code) {
    fprintf(stderr, "drvdir: %s: error %d: %s\n", what.c_str(), code, errorText(ERRORS_SHARED, code, "Unknown"));
    return kFailExit;
}

// Prints a newly allocated text (or the placeholder) and frees it.
void printText(char* text, const char* none) {
    printf("%s\n", text != nullptr ? text : none);
    free(text);
}

// ---- Commands: each takes the session and the parsed name ----

int cmdResolve(Directory* dir, const DirName* name, const Options&) {
    ResolveContext rc(dir, name, dir->findPrincipal());
    int rv = dir->resolveToObject(&rc, nullptr, nullptr, nullptr);
    if (rv != 0) return fail("resolve", rv);
    printText(rc.current->toString(nullptr), "null");
    // Below the host's root, the federated provider that owns the object answers.
    DirectorySPI* owner = HostDirectorySPI::ownerOf(rc.current);
    char* provider = (owner != nullptr ? owner : rc.spi)->toString();
    char* through = owner != nullptr ? rc.spi->toString() : nullptr;
    if (through != nullptr)
        printf("provider: %s (through %s)\n", provider != nullptr ? provider : "?", through);
    else
        printf("provider: %s\n", provider != nullptr ? provider : "?");
    free(provider);
    free(through);
    return 0;
}

int cmdAttrs(Directory* dir, const DirName* name, const Options&) {
    int err = 0;
    Attributes* a = dir->getAttributes(name, &err);
    if (err != 0) return fail("attrs", err);
    printText(a != nullptr ? a->toString(nullptr) : nullptr, "{}");
    delete a;
    return 0;
}

int cmdAcl(Directory* dir, const DirName* name, const Options&) {
    int err = 0;
    Acl* acl = dir->getAcl(name, &err);
    if (err != 0) return fail("acl", err);
    printf("%s\n", acl != nullptr && acl->getText() != nullptr ? acl->getText() : "(no access list)");
    delete acl;
    return 0;
}

int cmdList(Directory* dir, const DirName* name, const Options&) {
    int err = 0;
    ClassEnumeration* e = dir->list(name, &err);
    if (err != 0) return fail("list", err);
    while (e->next()) printf("%s\n", e->getClass());
    delete e;
    return 0;
}

int cmdSearch(Directory* dir, const DirName* name, const Options& options) {
    int err = 0;
    DirectoryEnumeration* e = dir->search(name, options.attrs, &err);
    if (err != 0) return fail("search", err);
    while (e->next()) {
        char* entry = e->getName() != nullptr ? e->getName()->toString(nullptr) : nullptr;
        char* attrs = e->getAttributes() != nullptr ? e->getAttributes()->toString(nullptr) : nullptr;
        printf("%s %s\n", entry != nullptr ? entry : "?", attrs != nullptr ? attrs : "{}");
        free(entry);
        free(attrs);
    }
    printf("%d found\n", e->size());
    delete e;
    return 0;
}

int cmdExec(Directory* dir, const DirName* name, const Options& options) {
    if (options.args.size() < 2) {
        fprintf(stderr, "usage: drvdir exec NAME OPERATION [ARG...]\n");
        return kUsageExit;
    }
    std::vector<const char*> args(options.args.begin() + 2, options.args.end());
    return runExec(dir, name, options.args[1], args, options.timeout);
}

int cmdWatch(Directory* dir, const DirName* name, const Options& options) {
    return runWatch(dir, name, options.count);
}

struct Command {
    const char* name;
    int extraArgs;  // arguments after the name; -1: any number
    int (*run)(Directory*, const DirName*, const Options&);
    const char* usage;
};

// The commands, in the order usage lists them. Operations that run
// asynchronously (exec, watch) join this table with their own runners.
const Command kCommands[] = {
    {"resolve", 0, cmdResolve, "resolve NAME          the object NAME reaches and its provider"},
    {"attrs", 0, cmdAttrs, "attrs NAME            the object's attributes"},
    {"acl", 0, cmdAcl, "acl NAME              the object's access list"},
    {"list", 0, cmdList, "list NAME             the classes below the object"},
    {"search", 0, cmdSearch, "search NAME [--attrs a,b]  objects matching NAME's last entry"},
    {"exec", -1, cmdExec, "exec NAME OPERATION [ARG...]  run an operation (arguments as JSON values)"},
    {"watch", 0, cmdWatch, "watch NAME            print add/modify/delete lines until interrupted"},
};

void usage(FILE* out) {
    fprintf(out,
            "usage: drvdir [--module PATH] [--log PATH] COMMAND NAME [options]\n"
            "Runs one directory operation in a server directory over this host's\n"
            "providers (the network module's \"networkAdapter\" class and the host's own).\n"
            "Names use the directory's text form, e.g. /networkAdapter:name=eth0\n"
            "Commands:\n");
    for (const Command& c : kCommands) fprintf(out, "  %s\n", c.usage);
    fprintf(out,
            "Options:\n"
            "  --module PATH     module shared object to load (default: %s)\n"
            "  --log PATH        write the directory's log there (default: none)\n"
            "  --attrs a,b       search: the attributes to return (default: all)\n"
            "  --timeout SECS    operations that wait: give up after SECS (default: 30)\n"
            "  --mounts PATH     the mount table the host's \"mount\" provider reads\n"
            "                    (default: /proc/self/mounts)\n"
            "  --count N         watch: stop after N changes (default: until interrupted)\n",
            DRV_DEFAULT_MODULE);
}

bool parseOptions(int argc, char** argv, Options& options) {
    static const option longOptions[] = {{"module", required_argument, nullptr, 'm'},
                                         {"log", required_argument, nullptr, 'l'},
                                         {"attrs", required_argument, nullptr, 'a'},
                                         {"timeout", required_argument, nullptr, 't'},
                                         {"mounts", required_argument, nullptr, 'M'},
                                         {"count", required_argument, nullptr, 'c'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "+m:l:a:t:M:c:h", longOptions, nullptr)) != -1) {
        switch (c) {
            case 'm': options.module = optarg; break;
            case 'l': options.logPath = optarg; break;
            case 'a': options.attrs = optarg; break;
            case 't': {
                char* end = nullptr;
                long v = strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || v < 1 || v > 86400) {
                    fprintf(stderr, "drvdir: --timeout wants whole seconds from 1 to 86400, not '%s'\n", optarg);
                    return false;
                }
                options.timeout = static_cast<int>(v);
                break;
            }
            case 'M': options.mounts = optarg; break;
            case 'c': options.count = atoi(optarg); break;
            case 'h': usage(stdout); exit(0);
            default: usage(stderr); return false;
        }
    }
    // Options may also follow the command and its name.
    for (int i = optind; i < argc; i++) {
        if (strcmp(argv[i], "--attrs") == 0 && i + 1 < argc) {
            options.attrs = argv[++i];
        } else if (strncmp(argv[i], "--attrs=", 8) == 0) {
            options.attrs = argv[i] + 8;
        } else if (options.command == nullptr) {
            options.command = argv[i];
        } else {
            options.args.push_back(argv[i]);
        }
    }
    if (options.command == nullptr || options.args.empty()) {
        usage(stderr);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return kUsageExit;
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (strcmp(c.name, options.command) == 0) command = &c;
    if (command == nullptr) {
        fprintf(stderr, "drvdir: unknown command '%s'\n", options.command);
        usage(stderr);
        return kUsageExit;
    }
    int extra = static_cast<int>(options.args.size()) - 1;
    if (command->extraArgs >= 0 && extra != command->extraArgs) {
        fprintf(stderr, "usage: drvdir %s\n", command->usage);
        return kUsageExit;
    }

    // The log goes only where asked: standard output carries the answer.
    setLog(options.logPath != nullptr ? options.logPath : "/dev/null");
    _log_level = LOG_INFO;

    int err = 0;
    DirName* name = DirName::createFromString(options.args[0], &err);
    if (name == nullptr) return fail(std::string("name '") + options.args[0] + "'", err);

    LocalDirectory local(options.mounts);
    if (!local.start("drvdir", options.module)) {
        delete name;
        return kFailExit;
    }
    Directory* dir = local.directory();
    int rv = command->run(dir, name, options);
    delete name;
    local.stop();
    fflush(stdout);
    fflush(stderr);
    // A server directory's execution thread runs until the process ends and
    // may still be deleting finished requests: leave without running the
    // static destructors under it.
    _exit(rv);
}
