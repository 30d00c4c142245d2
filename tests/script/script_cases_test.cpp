// The conformance suite: every cases/NAME.js (NAME.tjs: a template) runs
// through the interpreter
// and what it prints (and, when it fails, the error report) must equal
// cases/NAME.out. The cases are written from the language's rules, one
// concern per file; each error case stops at its one failure.
//
// Leading comment lines "// max-steps: N", "// max-depth: N" and
// "// max-memory-mb: N" set the run limits of that case. An .out file without "    at: " lines checks the error's
// class, code and message only (traceback lines, and the line that counts
// the ones a long traceback leaves out, are then not compared). A case whose
// first line is "// one script per line" runs every later line that is not
// a comment as a script of its own, one after another: a table of one-line
// failures in one file. A case named tree_* is parsed and not run: its .out
// is the parser's debug listing of the tree, which shows how the language's
// forms nest.
#include <ctype.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "script/builtins.h"
#include "script/registry.h"
#include "tests/script/script_run.h"

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

using namespace script_test;

// The report without its traceback: the "    at: " lines and the line that
// stands for the ones left out of a long traceback ("    ... N more").
std::string withoutTraceback(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 8, "    at: ") != 0 && line.compare(0, 8, "    ... ") != 0) out += line + "\n";
    return out;
}

// The case files (NAME.js or NAME.tjs), in name order.
std::vector<std::string> caseFiles() {
    std::vector<std::string> names;
    DIR* dir = opendir(casesDir().c_str());
    if (dir == nullptr) return names;
    while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        size_t dot = n.rfind('.');
        if (dot != std::string::npos && (n.substr(dot) == ".js" || n.substr(dot) == ".tjs")) names.push_back(n);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

class ScriptCase : public testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() { script_registerBuiltins(); }
    static void TearDownTestSuite() { ScriptRegistry::clear(); }
};

std::string treeOf(const std::string& file, const std::string& source, bool templateMode) {
    Parser parser(file.c_str(), source.c_str(), nullptr, 1, 0, templateMode);
    if (!parser.parseScript()) return scriptErrorReport(parser.getError());
    std::string tree;
    CaptureOutput out(&tree);
    parser.setDebugLevel(2);
    parser.setDebugStream(&out);
    parser.dump();
    return tree;
}

std::string runCase(const std::string& file, const std::string& source, bool templateMode) {
    if (file.compare(0, 5, "tree_") == 0) return treeOf(file, source, templateMode);
    if (source.compare(0, 23, "// one script per line\n") != 0) return run(file, source, templateMode);
    std::string out, line;
    std::istringstream in(source);
    while (std::getline(in, line))
        if (!line.empty() && line.compare(0, 2, "//") != 0) out += run(file, line, templateMode);
    return out;
}

TEST_P(ScriptCase, PrintsItsExpectedOutput) {
    const std::string& file = GetParam();
    std::string n = file.substr(0, file.rfind('.'));
    std::string expected = readText(casesDir() + "/" + n + ".out");
    std::string actual = runCase(file, readText(casesDir() + "/" + file), file.substr(n.size()) == ".tjs");
    if (expected.find("    at: ") == std::string::npos) actual = withoutTraceback(actual);
    EXPECT_EQ(expected, actual);
}

// Named after its file: "-" and "." are not allowed in a test's name.
INSTANTIATE_TEST_SUITE_P(Cases, ScriptCase, testing::ValuesIn(caseFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// A folder that went missing or lost its files must not pass as an empty run.
TEST(ScriptCases, TheCasesAreThere) {
    EXPECT_GE(caseFiles().size(), 40u) << casesDir();
}

}  // namespace
