// drvscript: runs scripts of the embedded scripting language from the
// command line.
//
//   drvscript FILE [ARG...]       run a script file; the ARGs are the strings
//                                 of the array variable `args`
//   drvscript -e 'SOURCE' [ARG...] run the source text given
//   drvscript --template FILE     run a template; its output goes to stdout
//   drvscript                     a prompt when stdin is a terminal (one
//                                 statement or expression per line, values
//                                 printed); otherwise the script on stdin
//
// Options, before the above (what follows FILE or SOURCE is the script's):
//   --tz ZONE        the script variable TZ (the zone of Date's local times)
//   --directory      the global object `directory`: this host's in-process
//                    directory (the network module and the host's mount
//                    provider, as drvdir runs them)
//   --module PATH    with --directory: the module to load
//   --               ends the options
//   -h, --help       the usage text, on standard output
//
// The runner is the host here: it registers print(...), which writes its
// arguments' text forms separated by one space and then a newline. A script
// error prints its class, code, message and traceback and exits with 1; a
// script that cannot be read exits with 2, a bad command line with 64.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/date.h"
#include "script/native_function.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/builtins.h"
#include "script/registry.h"
#include "script/report.h"
#include "script/varset.h"
#include "common/log.h"
#include "dir/sel_directory_object.h"
#include "tools/local_directory.h"

namespace {

class StdoutOutput : public ParserOutput {
public:
    int write(const char* data, size_t length) override {
        return fwrite(data, 1, length, stdout) == length ? 0 : DirError::E_WRITE_FAILURE;
    }
};

// print(a, b, ...): the text forms (a string as itself) joined by spaces.
class PrintFunction : public NativeFunction {
public:
    PrintFunction() : NativeFunction("print") {}
    int call(Parser* parser, const Location*, Any** result, Any** args) override {
        std::string line;
        for (size_t i = 0; args != nullptr && args[i] != nullptr; i++) {
            if (i > 0) line += ' ';
            char* text = plainText(parser, *args[i]);
            if (text == nullptr) return DirError::E_NOT_CONVERTIBLE;
            line += text;
            free(text);
        }
        line += '\n';
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
        *result = Any::makeUndefined();
        return 0;
    }
};

void usage(FILE* out) {
    fprintf(out,
            "usage: drvscript [OPTIONS] FILE [ARG...]\n"
            "       drvscript [OPTIONS] -e 'SOURCE' [ARG...]\n"
            "       drvscript [OPTIONS] --template FILE [ARG...]\n"
            "       drvscript [OPTIONS]  (a prompt when stdin is a terminal, else the script on stdin)\n"
            "The ARGs are the strings of the script's array `args`.\n"
            "\n"
            "  --tz ZONE        the script variable TZ (the zone of Date's local times)\n"
            "  --directory      the global object `directory`: this host's in-process directory\n"
            "  --module PATH    with --directory: the module to load\n"
            "  --               ends the options (for a FILE whose name starts with '-')\n"
            "  -h, --help       show this text\n"
            "\n"
            "Exit status: 0 when the script ran to its end; 1 for a script error (its\n"
            "class, code, message and traceback on standard error); 2 when the script\n"
            "cannot be read; 64 for a bad command line.\n");
}

const int kUsageExit = 64;

int usageError(const std::string& problem) {
    fprintf(stderr, "drvscript: %s\nTry 'drvscript --help'.\n", problem.c_str());
    return kUsageExit;
}

bool readFile(FILE* f, std::string& text) {
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    return !ferror(f);
}

// The options that shape the root scope.
struct Settings {
    const char* tz = nullptr;
    bool directory = false;
    const char* module = DRV_DEFAULT_MODULE;
};
Settings _settings;
LocalDirectory* _local = nullptr;

// The root scope of every run: print, the arguments, and what the options
// add (TZ, directory).
VarSet* makeRoot(int argc, char** argv) {
    VarSet* root = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    if (_settings.tz != nullptr) root->define("TZ", new Any(_settings.tz));
    if (_local != nullptr) {
        Any* dir = new Any();
        dir->setReference(new SelDirectory(_local->directory()));
        root->define("directory", dir);
    }
    Any* print = new Any();
    print->setReference(new PrintFunction());
    root->define("print", print);
    AnyArray* list = new AnyArray();
    for (int i = 0; i < argc; i++) list->append(new Any(argv[i]));
    Any* args = new Any();
    args->setReference(list);
    root->define("args", args);
    return root;
}

void printError(Parser& parser) {
    std::string report = scriptErrorReport(parser.getError());
    fputs(report.c_str(), stderr);
}

int runSource(const char* name, const std::string& text, bool templateMode, ObjRef& root) {
    StdoutOutput out;
    Parser parser(name, text.c_str(), &root, 1, 0, templateMode);
    parser.setOutput(&out);
    bool ok = parser.parseScript() && parser.executeScript(nullptr, &root);
    fflush(stdout);
    if (!ok) {
        printError(parser);
        return 1;
    }
    return 0;
}

// One line at the prompt: an expression prints its value; otherwise the
// line runs as statements.
void runLine(const std::string& line, ObjRef& root) {
    StdoutOutput out;
    {
        Parser expr("<stdin>", line.c_str(), &root, 1, 0, false);
        expr.setOutput(&out);
        if (expr.parse()) {
            Any* value = nullptr;
            if (expr.executeExpression(nullptr, &root, &value)) {
                char* text = textIsBounded(value->getReferenced()) ? value->toString(&expr) : nullptr;
                printf("%s\n", text != nullptr ? text : "(a value without a bounded text form)");
                free(text);
            } else {
                printError(expr);
            }
            delete value;
            return;
        }
    }
    Parser stmts("<stdin>", line.c_str(), &root, 1, 0, false);
    stmts.setOutput(&out);
    if (!stmts.parseScript() || !stmts.executeScript(nullptr, &root)) printError(stmts);
}

int interactive(ObjRef& root) {
    std::string line;
    char buf[4096];
    for (;;) {
        fputs("> ", stdout);
        fflush(stdout);
        line.clear();
        bool got = false;
        while (fgets(buf, sizeof(buf), stdin) != nullptr) {
            got = true;
            line += buf;
            if (!line.empty() && line.back() == '\n') break;
        }
        if (!got) {
            fputc('\n', stdout);
            return 0;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        runLine(line, root);
        fflush(stdout);
    }
}

}  // namespace

// Empties the root's variables: arrays and objects that refer to each
// other are released with them.
int finish(ObjRef& root, int status) {
    static_cast<VarSet*>(root.get())->clear();
    if (_local != nullptr) {
        _local->stop();
        fflush(stdout);
        fflush(stderr);
        // The directory's execution thread runs until the process ends and
        // may still be deleting finished requests: leave without running
        // the static destructors under it.
        _exit(status);
    }
    return status;
}

int main(int argc, char** argv) {
    bool templateMode = false;
    const char* inline_ = nullptr;
    // The whole command line is read before anything starts: a usage error
    // or --help leaves without loading the directory's module.
    int i = 1;
    for (; i < argc; i++) {
        const char* a = argv[i];
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(a, "--tz") == 0) {
            if (i + 1 >= argc) return usageError("--tz needs a zone");
            _settings.tz = argv[++i];
        } else if (strcmp(a, "--module") == 0) {
            if (i + 1 >= argc) return usageError("--module needs a path");
            _settings.module = argv[++i];
        } else if (strcmp(a, "--directory") == 0) {
            _settings.directory = true;
        } else if (strcmp(a, "--template") == 0) {
            if (i + 1 >= argc) return usageError("--template needs a file");
            templateMode = true;
            i++;
            break;
        } else if (strcmp(a, "-e") == 0) {
            if (i + 1 >= argc) return usageError("-e needs the source text");
            inline_ = argv[i + 1];
            i += 2;
            break;
        } else if (a[0] == '-' && a[1] != '\0') {
            return usageError(std::string("unknown option ") + a);
        } else {
            break;  // the script file; what follows is its own
        }
    }
    // The script is read before the directory starts, so that a file that
    // cannot be read leaves as plainly as a usage error.
    const char* path = inline_ == nullptr && i < argc ? argv[i] : nullptr;
    std::string text;
    if (path != nullptr) {
        FILE* f = fopen(path, "rb");
        if (f == nullptr) {
            fprintf(stderr, "drvscript: cannot open %s: %s\n", path, strerror(errno));
            return 2;
        }
        bool ok = readFile(f, text);
        fclose(f);
        if (!ok) {
            fprintf(stderr, "drvscript: cannot read %s\n", path);
            return 2;
        }
        i++;
    }
    script_installHooks();
    script_registerBuiltins();
    if (_settings.directory) {
        // The log goes nowhere: standard output carries the script's output.
        setLog("/dev/null");
        dir_registerScriptClasses();
        static LocalDirectory local("/proc/self/mounts");
        if (!local.start("drvscript", _settings.module)) return 1;
        _local = &local;
    }

    ObjRef root(makeRoot(argc - i, argv + i));
    if (inline_ != nullptr) return finish(root, runSource("-e", inline_, false, root));
    if (path != nullptr) return finish(root, runSource(path, text, templateMode, root));
    if (isatty(STDIN_FILENO)) return finish(root, interactive(root));
    if (!readFile(stdin, text)) {
        fprintf(stderr, "drvscript: cannot read standard input\n");
        return finish(root, 2);
    }
    return finish(root, runSource("<stdin>", text, templateMode, root));
}
