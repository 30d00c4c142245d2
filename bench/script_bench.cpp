// The script interpreter beside Duktape (a bytecode interpreter of the same
// size class, embedded here only), on five programs written once in the
// subset both languages share: recursive fibonacci(25), a 10-million-step
// integer loop, a 1 MB string built by concatenation, 1 million property
// reads and writes on an object, 1 million array appends and reads,
// Date.parse of 1 million ISO date texts, and an object literal of 20,000
// names.
//
// Each program runs five times in each interpreter (parse included); the
// table gives the medians and the ratio interpreter / Duktape (target at
// most 1.5).
//
// A second table times the library: JSON.parse and JSON.stringify of a
// 10 MB document (also in MB/s; parse target at least 100 MB/s), split and
// join of a 1 MB string, and a global pattern replace over 1 MB. The data is
// made once in C++ and handed to both interpreters as global variables; only
// the operation's script is timed, not the setup. These rows are timed in
// process CPU time (both interpreters are single-threaded), so that other
// work on a busy machine does not count; MB/s is ours, from that time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <duktape.h>

#include "bench/bench_support.h"
#include "script/builtins.h"
#include "script/parser.h"
#include "script/registry.h"
#include "script/report.h"
#include "script/varset.h"

namespace {

using bench::median;
using bench::cpuSeconds;

struct Program {
    const char* name;
    std::string source;
};

// `return` does not end a function in this language, so fib keeps one.
// An object literal of `names` quoted names, each with its number, then a
// read of the last: a long literal costs its length, not its square.
std::string objectLiteral(int names) {
    std::string source = "var o = {";
    for (int i = 0; i < names; i++) {
        if (i > 0) source += ", ";
        source += "'k" + std::to_string(i) + "': " + std::to_string(i);
    }
    source += "};\nvar last = o.k" + std::to_string(names - 1) + ";\n";
    return source;
}

const Program kPrograms[] = {
    {"fibonacci(25)",
     "function fib(n) { var r = n; if (n >= 2) { r = fib(n - 1) + fib(n - 2); } return r; };\n"
     "var result = fib(25);\n"},
    {"10M-step integer loop",
     "var sum = 0;\n"
     "for (var i = 0; i < 10000000; i++) { sum = sum ^ i; }\n"},
    {"1 MB string by concatenation",
     "var chunk = 'abcdefgh';\n"
     "for (var k = 0; k < 7; k++) { chunk = chunk + chunk; }\n"
     "var s = '';\n"
     "for (var i = 0; i < 1024; i++) { s = s + chunk; }\n"},
    {"1M property reads and writes",
     "var o = {'count': 0, 'other': 1};\n"
     "for (var i = 0; i < 1000000; i++) { o.count = o.count + 1; }\n"},
    {"1M array appends and reads",
     "var a = [];\n"
     "for (var i = 0; i < 1000000; i++) { a[a.length] = i; }\n"
     "var t = 0;\n"
     "for (var j = 0; j < 1000000; j++) { t = t ^ a[j]; }\n"},
    // Date.parse of 1 million ISO texts (1,000 different ones, built first),
    // after the same loop without the parse: the interpreter's share of it.
    {"1M reads of ISO texts (no parse)",
     "var texts = [];\n"
     "for (var k = 0; k < 1000; k++) { texts[k] = '2024-02-' + (10 + k % 19) + 'T12:34:' + (10 + k % 50) + '.789Z'; }\n"
     "var n = 0;\n"
     "for (var i = 0; i < 1000000; i++) { var d = texts[i % 1000]; n = n + 1; }\n"},
    {"1M Date.parse of ISO texts",
     "var texts = [];\n"
     "for (var k = 0; k < 1000; k++) { texts[k] = '2024-02-' + (10 + k % 19) + 'T12:34:' + (10 + k % 50) + '.789Z'; }\n"
     "var n = 0;\n"
     "for (var i = 0; i < 1000000; i++) { var d = Date.parse(texts[i % 1000]); n = n + 1; }\n"},
    {"object literal of 20,000 names", objectLiteral(20000)},
};

const int kRepeats = 5;

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double runOurs(const char* source) {
    auto start = std::chrono::steady_clock::now();
    ObjRef root(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    {
        Parser parser("bench.js", source, &root, 1, 0, false);
        // The loop program takes more steps than the default budget allows.
        parser.setLimits(1000000000LL, 0);
        if (!parser.parseScript() || !parser.executeScript(nullptr, &root)) {
            fprintf(stderr, "script failed:\n%s", scriptErrorReport(parser.getError()).c_str());
            exit(1);
        }
    }
    static_cast<VarSet*>(root.get())->clear();
    return seconds(start);
}

double runDuktape(const char* source) {
    auto start = std::chrono::steady_clock::now();
    duk_context* ctx = duk_create_heap_default();
    if (duk_peval_string(ctx, source) != 0) {
        fprintf(stderr, "duktape failed: %s\n", duk_safe_to_string(ctx, -1));
        exit(1);
    }
    duk_destroy_heap(ctx);
    return seconds(start);
}

// --- library rows ------------------------------------------------------------

struct LibraryRow {
    const char* name;
    const char* setup;  // run first, not timed (may be empty)
    const char* timed;
    size_t bytes;       // for MB/s, 0: none
};

// A 10 MB array of records, every JSON value kind in each.
std::string jsonDocument(size_t target) {
    std::string doc = "[";
    char item[256];
    for (int i = 0; doc.size() < target; i++) {
        snprintf(item, sizeof item,
                 "%s{\"id\": %d, \"name\": \"item %d \\\"quoted\\\"\", \"price\": %d.25, \"ok\": %s, "
                 "\"tags\": [\"alpha\", \"beta\", %d], \"owner\": {\"uid\": %d, \"group\": null}}",
                 i > 0 ? ", " : "", i, i, i % 1000, i % 2 ? "true" : "false", i % 7, i * 3);
        doc += item;
    }
    doc += "]";
    return doc;
}

// About 1 MB of comma-separated words and numbers.
std::string csvText(size_t target) {
    std::string text;
    char item[64];
    for (int i = 0; text.size() < target; i++) {
        snprintf(item, sizeof item, "%sword%d %d", i > 0 ? "," : "", i % 97, i);
        text += item;
    }
    return text;
}

double runOursLibrary(const LibraryRow& row, const std::string& doc, const std::string& text) {
    ObjRef root(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    VarSet* scope = static_cast<VarSet*>(root.get());
    scope->define("doc", new Any(doc.c_str()));
    scope->define("text", new Any(text.c_str()));
    auto run = [&](const char* source) {
        Parser parser("bench.js", source, &root, 1, 0, false);
        parser.setLimits(1000000000LL, 0);
        if (!parser.parseScript() || !parser.executeScript(nullptr, &root)) {
            fprintf(stderr, "script failed:\n%s", scriptErrorReport(parser.getError()).c_str());
            exit(1);
        }
    };
    if (row.setup[0] != '\0') run(row.setup);
    double start = cpuSeconds();
    run(row.timed);
    double t = cpuSeconds() - start;
    scope->clear();
    return t;
}

double runDuktapeLibrary(const LibraryRow& row, const std::string& doc, const std::string& text) {
    duk_context* ctx = duk_create_heap_default();
    duk_push_lstring(ctx, doc.data(), doc.size());
    duk_put_global_string(ctx, "doc");
    duk_push_lstring(ctx, text.data(), text.size());
    duk_put_global_string(ctx, "text");
    auto run = [&](const char* source) {
        if (duk_peval_string(ctx, source) != 0) {
            fprintf(stderr, "duktape failed: %s\n", duk_safe_to_string(ctx, -1));
            exit(1);
        }
        duk_pop(ctx);
    };
    if (row.setup[0] != '\0') run(row.setup);
    double start = cpuSeconds();
    run(row.timed);
    double t = cpuSeconds() - start;
    duk_destroy_heap(ctx);
    return t;
}

// only: run the rows whose name contains it (null: all).
void runLibraryRows(const char* only) {
    script_registerBuiltins();
    const std::string doc = jsonDocument(10u << 20);
    const std::string text = csvText(1u << 20);
    const LibraryRow rows[] = {
        {"JSON.parse 10 MB", "", "var v = JSON.parse(doc);\n", doc.size()},
        {"JSON.stringify 10 MB", "var v = JSON.parse(doc);\n", "var s = JSON.stringify(v);\n", doc.size()},
        {"split + join 1 MB", "", "var parts = text.split(','); var back = parts.join(';');\n", 0},
        {"replace /[0-9]+/g 1 MB", "", "var r = text.replace(/[0-9]+/g, '#');\n", 0},
    };
    printf("\n%-32s %12s %12s %8s %10s\n", "library (median of 5, CPU)", "ours ms", "duktape ms", "ratio",
           "ours MB/s");
    for (const LibraryRow& row : rows) {
        if (only != nullptr && strstr(row.name, only) == nullptr) continue;
        // One untimed run each first: the first pass through a document of
        // this size also grows the process heap, once per process.
        runOursLibrary(row, doc, text);
        runDuktapeLibrary(row, doc, text);
        std::vector<double> ours, duk;
        for (int i = 0; i < kRepeats; i++) {
            ours.push_back(runOursLibrary(row, doc, text));
            duk.push_back(runDuktapeLibrary(row, doc, text));
        }
        double o = median(ours), d = median(duk);
        printf("%-32s %12.1f %12.1f %8.2f", row.name, o * 1000, d * 1000, o / d);
        if (row.bytes > 0) printf(" %10.1f", static_cast<double>(row.bytes) / (1 << 20) / o);
        printf("\n");
        fflush(stdout);
    }
}

}  // namespace

// "--library" runs the library table only ("--library TEXT": only its rows
// whose name contains TEXT); any other argument runs only the program rows
// whose name contains it.
int main(int argc, char** argv) {
    script_installHooks();
    if (argc > 1 && strcmp(argv[1], "--library") == 0) {
        runLibraryRows(argc > 2 ? argv[2] : nullptr);
        return 0;
    }
    const char* only = argc > 1 ? argv[1] : nullptr;
    // The program rows run with every built-in class registered, as drvscript
    // runs scripts (Date.parse needs them).
    script_registerBuiltins();
    printf("%-32s %12s %12s %8s\n", "program (median of 5)", "ours ms", "duktape ms", "ratio");
    for (const Program& p : kPrograms) {
        if (only != nullptr && strstr(p.name, only) == nullptr) continue;
        std::vector<double> ours, duk;
        for (int i = 0; i < kRepeats; i++) {
            ours.push_back(runOurs(p.source.c_str()));
            duk.push_back(runDuktape(p.source.c_str()));
        }
        double o = median(ours), d = median(duk);
        printf("%-32s %12.1f %12.1f %8.2f\n", p.name, o * 1000, d * 1000, o / d);
        fflush(stdout);
    }
    if (only == nullptr) runLibraryRows(nullptr);
    return 0;
}
