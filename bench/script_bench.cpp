// The script interpreter beside Duktape (a bytecode interpreter of the same
// size class, embedded here only), on five programs written once in the
// subset both languages share: recursive fibonacci(25), a 10-million-step
// integer loop, a 1 MB string built by concatenation, 1 million property
// reads and writes on an object, and 1 million array appends and reads.
//
// Each program runs five times in each interpreter (parse included); the
// table gives the medians and the ratio interpreter / Duktape (target at
// most 1.5).
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <duktape.h>

#include "script/parser.h"
#include "script/registry.h"
#include "script/report.h"
#include "script/varset.h"

namespace {

struct Program {
    const char* name;
    const char* source;
};

// `return` does not end a function in this language, so fib keeps one.
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    script_installHooks();
    printf("%-32s %12s %12s %8s\n", "program (median of 5)", "ours ms", "duktape ms", "ratio");
    for (const Program& p : kPrograms) {
        std::vector<double> ours, duk;
        for (int i = 0; i < kRepeats; i++) {
            ours.push_back(runOurs(p.source));
            duk.push_back(runDuktape(p.source));
        }
        double o = median(ours), d = median(duk);
        printf("%-32s %12.1f %12.1f %8.2f\n", p.name, o * 1000, d * 1000, o / d);
        fflush(stdout);
    }
    return 0;
}
