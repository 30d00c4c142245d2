// Arbitrary bytes as a properties file: loaded in both forms and merged with
// the values of the colon-form load. Nothing may crash or leak; the log is
// discarded.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "common/properties.h"

namespace {

struct Scratch {
    std::string in;
    std::string out;
    Scratch() {
        char pattern[] = "/tmp/properties_fuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        dir = pattern;
        in = dir + "/in.properties";
        out = dir + "/out.properties";
        // Messages have nowhere to go: no file, no directory, no copy.
        setLog("");
        setLogDir("");
    }
    ~Scratch() {
        unlink(in.c_str());
        unlink(out.c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    FILE* f = fopen(scratch.in.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    Properties colon;
    colon.load(scratch.in.c_str(), false);
    Properties equals;
    equals.load(scratch.in.c_str(), true);

    // Every reader over every key the file defined.
    for (const Property* p = colon.first(); p != nullptr; p = p->next) {
        int i = 0;
        bool b = false;
        double d = 0;
        colon.intFromProperty(p->key, "fuzz", true, i, 0);
        colon.levelFromProperty(p->key, "fuzz", true, i, 3);
        colon.boolFromProperty(p->key, "fuzz", true, b, false);
        colon.doubleFromProperty(p->key, "fuzz", true, d, 0);
    }

    // Merge the file with its own values, with values from the other form,
    // and with the difference between the two.
    Properties* changes = equals.diff(&colon);
    colon.merge(scratch.in.c_str(), scratch.out.c_str());
    equals.merge(scratch.in.c_str(), scratch.out.c_str());
    changes->merge(scratch.out.c_str(), scratch.in.c_str());
    delete changes;
    return 0;
}
