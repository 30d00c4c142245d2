// The conformance suite: every cases/NAME.js runs through the interpreter
// and what it prints (and, when it fails, the error report) must equal
// cases/NAME.out. The cases are written from the language's rules, one
// concern per file; each error case stops at its one failure.
//
// A first line "// max-steps: N" or "// max-depth: N" sets the run limits
// of that case. An .out file without "    at: " lines checks the error's
// class, code and message only (traceback lines are then not compared).
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "script/native_function.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/registry.h"
#include "script/report.h"
#include "script/varset.h"

namespace {

std::string casesDir() {
    return DRV_SCRIPT_CASES_DIR;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class CapturePrint : public NativeFunction {
public:
    explicit CapturePrint(std::string* out) : NativeFunction("print"), _out(out) {}
    int call(Parser* parser, const Location*, Any** result, Any** args) override {
        for (size_t i = 0; args != nullptr && args[i] != nullptr; i++) {
            if (i > 0) *_out += ' ';
            char* text = plainText(parser, *args[i]);
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

long long directive(const std::string& source, const char* key) {
    std::string prefix = std::string("// ") + key + ": ";
    if (source.compare(0, prefix.size(), prefix) != 0) return 0;
    return atoll(source.c_str() + prefix.size());
}

std::string run(const std::string& name, const std::string& source) {
    std::string out;
    VarSet* scope = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    ObjRef root(scope);
    Any* print = new Any();
    print->setReference(new CapturePrint(&out));
    scope->define("print", print);
    Any* args = new Any();
    args->setReference(new AnyArray());
    scope->define("args", args);
    CaptureOutput output(&out);
    {
        Parser parser(name.c_str(), source.c_str(), &root, 1, 0, false);
        parser.setOutput(&output);
        parser.setLimits(directive(source, "max-steps"), static_cast<int>(directive(source, "max-depth")));
        if (!parser.parseScript() || !parser.executeScript(nullptr, &root)) out += scriptErrorReport(parser.getError());
    }
    scope->clear();
    return out;
}

std::string withoutTraceback(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 8, "    at: ") != 0) out += line + "\n";
    return out;
}

TEST(ScriptCases, EveryCasePrintsItsExpectedOutput) {
    script_installHooks();
    std::vector<std::string> names;
    DIR* dir = opendir(casesDir().c_str());
    ASSERT_NE(dir, nullptr) << casesDir();
    while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".js") == 0) names.push_back(n.substr(0, n.size() - 3));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 40u);
    for (const std::string& n : names) {
        std::string expected = readText(casesDir() + "/" + n + ".out");
        std::string actual = run(n + ".js", readText(casesDir() + "/" + n + ".js"));
        if (expected.find("    at: ") == std::string::npos) actual = withoutTraceback(actual);
        EXPECT_EQ(expected, actual) << "case " << n;
    }
}

}  // namespace
