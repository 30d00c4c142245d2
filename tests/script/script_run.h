// Runs a script the way the runner does, with print() writing into the
// returned text and a failure appending the error report; and runs work on
// a thread with a small stack. Shared by the script tests.
#ifndef DRV_TESTS_SCRIPT_SCRIPT_RUN_H
#define DRV_TESTS_SCRIPT_SCRIPT_RUN_H

#include <pthread.h>
#include <stdlib.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "script/native_function.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/report.h"
#include "script/varset.h"

namespace script_test {

class CapturePrint : public NativeFunction {
public:
    explicit CapturePrint(std::string* out) : NativeFunction("print"), _out(out) {}
    int call(Parser* parser, const Location*, Any** result, Any** args) override {
        for (size_t i = 0; args != nullptr && args[i] != nullptr; i++) {
            if (i > 0) *_out += ' ';
            char* text = plainText(parser, *args[i]);
            if (text == nullptr) return DirError::E_NOT_CONVERTIBLE;
            *_out += text;
            free(text);
        }
        *_out += '\n';
        *result = Any::makeUndefined();
        return 0;
    }

private:
    std::string* _out;
};

class CaptureOutput : public ParserOutput {
public:
    explicit CaptureOutput(std::string* out) : _out(out) {}
    int write(const char* data, size_t length) override {
        _out->append(data, length);
        return 0;
    }

private:
    std::string* _out;
};

// A new root scope whose print() writes into out; the caller holds it (an
// ObjRef) for as long as scripts run in it.
inline VarSet* printingScope(std::string* out) {
    VarSet* scope = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    Any* print = new Any();
    print->setReference(new CapturePrint(out));
    scope->define("print", print);
    return scope;
}

// A number given in the script's leading comment lines as "// key: N";
// 0 when there is none.
inline long long directive(const std::string& source, const char* key) {
    std::string prefix = std::string("// ") + key + ": ";
    for (size_t at = 0; source.compare(at, 2, "//") == 0;) {
        if (source.compare(at, prefix.size(), prefix) == 0) return atoll(source.c_str() + at + prefix.size());
        at = source.find('\n', at);
        if (at == std::string::npos) break;
        at++;
    }
    return 0;
}

// Runs source, or the script read from stream when one is given (source
// then only supplies the directives). setUp (may be empty) adds the host's
// own variables to the root scope.
inline std::string run(const std::string& name, const std::string& source, bool templateMode,
                       LexStream* stream = nullptr, const std::function<void(VarSet*)>& setUp = nullptr) {
    std::string out;
    VarSet* scope = printingScope(&out);
    ObjRef root(scope);
    Any* args = new Any();
    args->setReference(new AnyArray());
    scope->define("args", args);
    if (setUp) setUp(scope);
    CaptureOutput output(&out);
    {
        Parser parser = stream != nullptr ? Parser(name.c_str(), stream, &root, 1, 0, templateMode)
                                          : Parser(name.c_str(), source.c_str(), &root, 1, 0, templateMode);
        parser.setOutput(&output);
        parser.setLimits(directive(source, "max-steps"), static_cast<int>(directive(source, "max-depth")));
        parser.setMemoryLimit(directive(source, "max-memory-mb") << 20);
        if (!parser.parseScript() || !parser.executeScript(nullptr, &root)) out += scriptErrorReport(parser.getError());
    }
    scope->clear();
    return out;
}

// Runs work on a new thread whose stack is stackBytes long, and waits: a
// limit that does not hold then shows as a crash, not as a pass on the main
// thread's larger stack.
inline void onSmallStack(size_t stackBytes, const std::function<void()>& work) {
    auto start = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t thread;
    if (pthread_create(&thread, &attr, start, const_cast<std::function<void()>*>(&work)) == 0)
        pthread_join(thread, nullptr);
    else
        ADD_FAILURE() << "no thread with a stack of " << stackBytes << " bytes";
    pthread_attr_destroy(&attr);
}

}  // namespace script_test

#endif
