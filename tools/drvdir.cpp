// drvdir: a command-line client of the directory. It runs a server
// directory in this process over the host stand-in's providers (the host's
// root, which routes every federated class to its provider, with the network
// module loaded and started as drvhost does) and runs one directory
// operation on a name written in the directory's own text form.
//
//   drvdir [--module PATH] [--log PATH] COMMAND NAME [options]
//   drvdir --domain NAME --server HOST:PORT --user USER [--password-file F]
//          COMMAND NAME [options]
//   drvdir enrol|leave --server HOST:PORT --user USER [--password-file F]
//          --cert PEM --key PEM [--out FILE]
//
// With --server the same commands run against a remote directory: the
// program logs in to the domain's directory server (printing each step)
// and sends every request through the remote provider. enrol and leave
// enrol this agent's certificate with the domain server, or withdraw it.
//
// Output goes to standard output; every failure prints the error code with
// its text on standard error and exits non-zero.
#include <getopt.h>
#include <openssl/pem.h>
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
#include "dir/domain.h"
#include "dir/login.h"
#include "dir/net_client_spi.h"
#include "dir/resolve_context.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "host/demo_provider.h"
#include "hostrt/host_directory.h"
#include "io/input.h"
#include "tools/drvdir_exec.h"
#include "tools/local_directory.h"

namespace {

const int kUsageExit = 64;
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
    // Remote mode and enrolment.
    const char* domain = nullptr;
    const char* server = nullptr;  // HOST:PORT
    const char* user = nullptr;
    const char* passwordFile = nullptr;
    const char* certFile = nullptr;
    const char* keyFile = nullptr;
    const char* outFile = nullptr;
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

// The file PATH of the object NAME reaches, copied to standard output.
int cmdRead(Directory* dir, const DirName* name, const Options& options) {
    int err = 0;
    Input* in = dir->openForRead(name, options.args[1], &err);
    if (in == nullptr) return fail("read", err != 0 ? err : DirError::E_IO);
    unsigned char buffer[65536];
    int n;
    while ((n = in->read(buffer, sizeof buffer)) > 0) fwrite(buffer, 1, static_cast<size_t>(n), stdout);
    fflush(stdout);
    int rv = 0;
    if (n != -1) {
        char text[512];
        in->errorText(text, sizeof text);
        if (text[0] != '\0') fprintf(stderr, "drvdir: read: %s\n", text);
        rv = fail("read", in->errorCode() != 0 ? in->errorCode() : DirError::E_IO);
    }
    delete in;
    return rv;
}

int cmdWatch(Directory* dir, const DirName* name, const Options& options) {
    return runWatch(dir, name, options.count);
}

struct Command {
    const char* name;
    int extraArgs;  // arguments after the name; -1: one or more
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
    {"read", 1, cmdRead, "read NAME PATH        the file PATH of the object NAME reaches, to standard output"},
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
            "  --count N         watch: stop after N changes (default: until interrupted)\n"
            "  -h, --help        show this text\n"
            "Options may also follow the command and its name; \"--\" ends them.\n"
            "Remote directory (instead of this host's providers):\n"
            "  --domain NAME --server HOST:PORT --user USER [--password-file F]\n"
            "                    log in to the domain's directory server (the password\n"
            "                    from F's first line, else prompted) and run COMMAND there\n"
            "Enrolment: drvdir enrol|leave --server HOST:PORT --user USER\n"
            "                    [--password-file F] --cert PEM --key PEM [--out FILE]\n"
            "                    enrol this agent's certificate (enrol writes what the\n"
            "                    server returns to FILE, else prints it) or withdraw it\n"
            "Exit status: 0 when the operation succeeded; 1 when it failed (the error\n"
            "code and its text on standard error); 64 for a bad command line.\n",
            DRV_DEFAULT_MODULE);
}

int usageError(const std::string& problem) {
    fprintf(stderr, "drvdir: %s\nTry 'drvdir --help'.\n", problem.c_str());
    return kUsageExit;
}

const option kLongOptions[] = {{"module", required_argument, nullptr, 'm'},
                               {"log", required_argument, nullptr, 'l'},
                               {"attrs", required_argument, nullptr, 'a'},
                               {"timeout", required_argument, nullptr, 't'},
                               {"mounts", required_argument, nullptr, 'M'},
                               {"count", required_argument, nullptr, 'c'},
                               {"domain", required_argument, nullptr, 'D'},
                               {"server", required_argument, nullptr, 'S'},
                               {"user", required_argument, nullptr, 'U'},
                               {"password-file", required_argument, nullptr, 'P'},
                               {"cert", required_argument, nullptr, 'C'},
                               {"key", required_argument, nullptr, 'K'},
                               {"out", required_argument, nullptr, 'o'},
                               {"help", no_argument, nullptr, 'h'},
                               {nullptr, 0, nullptr, 0}};

// value as a whole number from lo to hi, into *out.
bool wholeNumber(const char* value, long lo, long hi, int* out) {
    char* end = nullptr;
    long v = strtol(value, &end, 10);
    if (end == value || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// Sets the option whose code getopt gives; -1 when it is taken, else the
// exit status to leave with (0 after --help).
int setOption(int c, const char* value, Options& options) {
    switch (c) {
        case 'm': options.module = value; break;
        case 'l': options.logPath = value; break;
        case 'a': options.attrs = value; break;
        case 't':
            if (!wholeNumber(value, 1, 86400, &options.timeout))
                return usageError(std::string("--timeout wants whole seconds from 1 to 86400, not '") + value + "'");
            break;
        case 'M': options.mounts = value; break;
        case 'c':
            // A count that does not parse must not become "until interrupted".
            if (!wholeNumber(value, 1, 1000000000, &options.count))
                return usageError(std::string("--count wants a whole number of changes from 1, not '") + value + "'");
            break;
        case 'D': options.domain = value; break;
        case 'S': options.server = value; break;
        case 'U': options.user = value; break;
        case 'P': options.passwordFile = value; break;
        case 'C': options.certFile = value; break;
        case 'K': options.keyFile = value; break;
        case 'o': options.outFile = value; break;
        case 'h': usage(stdout); return 0;
        default: return kUsageExit;
    }
    return -1;
}

// Reads the command line; -1 when the command may run, else the exit
// status to leave with.
int parseOptions(int argc, char** argv, Options& options) {
    // Options before the command; "+" stops at the command, so that an
    // operation's arguments (such as -1) are not taken for options.
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+:m:l:a:t:M:c:h", kLongOptions, nullptr)) != -1) {
        if (c == '?') {
            std::string text = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
            return usageError("unknown option '" + text + "'");
        }
        if (c == ':') return usageError(std::string(argv[optind - 1]) + " needs a value");
        int rv = setOption(c, optarg, options);
        if (rv >= 0) return rv;
    }
    // Long options may also follow the command and its name.
    bool optionsEnded = false;
    for (int i = optind; i < argc; i++) {
        const char* a = argv[i];
        if (!optionsEnded && strcmp(a, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && strncmp(a, "--", 2) == 0) {
            const char* eq = strchr(a, '=');
            std::string name(a + 2, eq != nullptr ? static_cast<size_t>(eq - a - 2) : strlen(a + 2));
            const option* o = kLongOptions;
            while (o->name != nullptr && name != o->name) o++;
            if (o->name == nullptr) return usageError(std::string("unknown option '") + a + "'");
            const char* value = nullptr;
            if (o->has_arg == required_argument) {
                if (eq != nullptr)
                    value = eq + 1;
                else if (i + 1 < argc)
                    value = argv[++i];
                else
                    return usageError("--" + name + " needs a value");
            } else if (eq != nullptr) {
                return usageError("--" + name + " takes no value");
            }
            int rv = setOption(o->val, value, options);
            if (rv >= 0) return rv;
        } else if (options.command == nullptr) {
            options.command = a;
        } else {
            options.args.push_back(a);
        }
    }
    if (options.command == nullptr) {
        usage(stderr);
        return kUsageExit;
    }
    return -1;
}

// Splits "HOST:PORT"; false when either part is missing.
bool splitServer(const char* server, std::string* host, std::string* port) {
    const char* colon = server != nullptr ? strrchr(server, ':') : nullptr;
    if (colon == nullptr || colon == server || colon[1] == '\0') return false;
    host->assign(server, static_cast<size_t>(colon - server));
    port->assign(colon + 1);
    return true;
}

// What a command that talks to a domain server lacks ("needs --user USER"),
// or "" when it has all it needs.
std::string missingForServer(const Options& options, bool enrolment) {
    std::string host, port;
    if (!enrolment && options.domain == nullptr) return "needs --domain NAME";
    if (options.server == nullptr) return "needs --server HOST:PORT";
    if (!splitServer(options.server, &host, &port))
        return std::string("needs --server HOST:PORT, not '") + options.server + "'";
    if (options.user == nullptr) return "needs --user USER";
    if (enrolment && options.certFile == nullptr) return "needs --cert PEM";
    if (enrolment && options.keyFile == nullptr) return "needs --key PEM";
    return "";
}

// The password: the first line of the file, else a prompt on the terminal,
// else the first line of standard input.
bool readPassword(const Options& options, std::string* password) {
    char line[1024];
    FILE* f = nullptr;
    if (options.passwordFile != nullptr) {
        f = fopen(options.passwordFile, "r");
        if (f == nullptr) {
            fprintf(stderr, "drvdir: cannot read %s\n", options.passwordFile);
            return false;
        }
    } else if (isatty(0)) {
        const char* typed = getpass("Password: ");
        if (typed == nullptr) return false;
        password->assign(typed);
        return true;
    }
    bool ok = fgets(line, sizeof(line), f != nullptr ? f : stdin) != nullptr;
    if (f != nullptr) fclose(f);
    if (!ok) line[0] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    password->assign(line);
    return true;
}

// Prints each login step as it happens (on standard error when standard
// output carries a file's bytes).
class PrintProgress : public AuthListener {
public:
    explicit PrintProgress(FILE* steps = stdout) : _steps(steps) {}
    void progress(const char* text, bool isError, bool) override {
        fprintf(isError ? stderr : _steps, "%s%s\n", isError ? "drvdir: login: " : "", text);
        fflush(_steps);
    }

private:
    FILE* _steps;
};

// enrol / leave: Domain::add or Domain::remove with this agent's
// certificate and key.
int runEnrolment(const Options& options) {
    std::string host, port, password;
    std::string missing = missingForServer(options, true);
    if (!missing.empty()) {
        fprintf(stderr,
                "drvdir: %s %s\nusage: drvdir %s --server HOST:PORT --user USER [--password-file F] --cert PEM "
                "--key PEM\n",
                options.command, missing.c_str(), options.command);
        return kUsageExit;
    }
    splitServer(options.server, &host, &port);
    FILE* cf = fopen(options.certFile, "r");
    X509* cert = cf != nullptr ? PEM_read_X509(cf, nullptr, nullptr, nullptr) : nullptr;
    if (cf != nullptr) fclose(cf);
    FILE* kf = fopen(options.keyFile, "r");
    EVP_PKEY* key = kf != nullptr ? PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr) : nullptr;
    if (kf != nullptr) fclose(kf);
    if (cert == nullptr || key == nullptr) {
        fprintf(stderr, "drvdir: cannot read the certificate or key\n");
        return kFailExit;
    }
    if (!readPassword(options, &password)) return kFailExit;
    char text[Domain::kErrorTextSize] = "";
    int rv;
    if (strcmp(options.command, "enrol") == 0) {
        std::vector<char> result(Domain::kResultSize, '\0');
        rv = Domain::add(cert, key, host.c_str(), port.c_str(), options.user, password.c_str(), result.data(), text);
        if (rv == 0) {
            FILE* out = options.outFile != nullptr ? fopen(options.outFile, "w") : stdout;
            if (out == nullptr) {
                fprintf(stderr, "drvdir: cannot write %s\n", options.outFile);
                rv = DirError::E_WRITE_FAILURE;
            } else {
                fprintf(out, "%s%s", result.data(), result.empty() || result.data()[0] == '\0' ? "" : "\n");
                if (out != stdout) fclose(out);
                printf("enrolled with %s\n", options.server);
            }
        }
    } else {
        rv = Domain::remove(cert, key, host.c_str(), port.c_str(), options.user, password.c_str(), text);
        if (rv == 0) printf("left %s\n", options.server);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (rv != 0) {
        if (text[0] != '\0') fprintf(stderr, "drvdir: %s: %s\n", options.command, text);
        return fail(options.command, rv);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parseOptions(argc, argv, options);
    if (parsed >= 0) return parsed;
    if (strcmp(options.command, "enrol") == 0 || strcmp(options.command, "leave") == 0) {
        setLog(options.logPath != nullptr ? options.logPath : "/dev/null");
        _log_level = LOG_INFO;
        int rv = runEnrolment(options);
        fflush(stdout);
        _exit(rv);
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (strcmp(c.name, options.command) == 0) command = &c;
    if (command == nullptr) {
        fprintf(stderr, "drvdir: unknown command '%s'\n", options.command);
        usage(stderr);
        return kUsageExit;
    }
    int extra = static_cast<int>(options.args.size()) - 1;
    if (command->extraArgs >= 0 ? extra != command->extraArgs : extra < 1) {
        fprintf(stderr, "usage: drvdir %s\n", command->usage);
        return kUsageExit;
    }

    // The log goes only where asked: standard output carries the answer.
    setLog(options.logPath != nullptr ? options.logPath : "/dev/null");
    _log_level = LOG_INFO;

    int err = 0;
    DirName* name = DirName::createFromString(options.args[0], &err);
    if (name == nullptr) return fail(std::string("name '") + options.args[0] + "'", err);

    if (options.server != nullptr || options.domain != nullptr) {
        std::string host, port, password;
        std::string missing = missingForServer(options, false);
        if (!missing.empty()) {
            fprintf(stderr, "drvdir: %s %s\nusage: drvdir --domain NAME --server HOST:PORT --user USER "
                            "[--password-file F] COMMAND NAME\n", options.command, missing.c_str());
            delete name;
            return kUsageExit;
        }
        splitServer(options.server, &host, &port);
        if (!readPassword(options, &password)) {
            delete name;
            return kFailExit;
        }
        PrintProgress progress(command->run == cmdRead ? stderr : stdout);
        Directory* dir = Directory::authenticate(options.domain, host.c_str(), port.c_str(), options.user,
                                                 password.c_str(), &progress, &err);
        if (dir == nullptr) {
            delete name;
            return fail("login", err);
        }
        int rv = command->run(dir, name, options);
        delete name;
        delete dir;
        fflush(stdout);
        fflush(stderr);
        _exit(rv);
    }

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
