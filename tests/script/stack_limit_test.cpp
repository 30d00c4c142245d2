// Deep scripts on threads with small stacks: parsing and running nest as
// deep as the script does, and the thread's real stack (not a count of
// calls or rules) must end them with a script error before it overflows.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "script/builtins.h"
#include "script/parser.h"
#include "script/varset.h"
#include "tests/script/script_run.h"

namespace {

using script_test::onSmallStack;
using script_test::run;

std::string chain(int terms) {
    std::string s = "1";
    for (int i = 1; i < terms; i++) s += " + 1";
    return s;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

TEST(StackLimit, DeepCallsOfLongExpressionsEndWithAnError) {
    // 400 calls are within the call limit, but each evaluates a chain of 50
    // additions: more than a 256 KiB stack holds in any build (on an
    // ordinary stack such calls run: the case deep_calls_of_chains).
    std::string source = "function f(n) { if (n == 0) { return 0; } else { return " + chain(50) +
                         " + f(n - 1); } };\nprint(f(3));\nprint(f(399));\n";
    std::string out;
    onSmallStack(256 * 1024, [&] { out = run("deep.js", source, false); });
    EXPECT_EQ("150", firstLine(out));
    EXPECT_EQ("RangeError 39: System resource not available", firstLine(out.substr(out.find('\n') + 1)));
}

std::string nestedSum(int depth) {
    std::string expr;
    for (int i = 0; i < depth; i++) expr += "(";
    expr += "1";
    for (int i = 0; i < depth; i++) expr += " + 1)";
    return expr;
}

TEST(StackLimit, DeepNestingOfOneExpressionEndsWithAnError) {
    // Parentheses nested 390 deep are within the parser's rule limit; a
    // 128 KiB stack either holds that nesting (then the value is right) or
    // parsing ends with its nesting error.
    std::string out;
    onSmallStack(128 * 1024, [&] { out = run("nest.js", "print(" + nestedSum(390) + ");\n", false); });
    std::string line = firstLine(out);
    EXPECT_TRUE(line == "391" || line == "SyntaxError 105: Script nested too deeply") << out;
}

TEST(StackLimit, ATreeParsedElsewhereRunsWithinTheRunningThreadsStack) {
    // Parsed on this thread's ordinary stack, run on a 128 KiB one: the
    // evaluation either fits (the value is right) or ends with the error of
    // calls nested too deep.
    std::string out;
    VarSet* scope = script_test::printingScope(&out);
    ObjRef root(scope);
    {
        std::string source = "print(" + nestedSum(390) + ");\n";
        Parser parser("nest.js", source.c_str(), &root, 1, 0, false);
        ASSERT_TRUE(parser.parseScript());
        bool ran = false;
        onSmallStack(128 * 1024, [&] { ran = parser.executeScript(nullptr, &root); });
        if (ran) {
            EXPECT_EQ("391\n", out);
        } else {
            ASSERT_NE(nullptr, parser.getError());
            EXPECT_EQ(Error::RangeError, parser.getError()->type);
            EXPECT_EQ(DirError::E_NO_RESOURCE, parser.getError()->code);
        }
    }
    scope->clear();
}

TEST(StackLimit, TheWorkOfTheDeepestCallFitsInTheRoomLeft) {
    // Every level runs the built-ins that recurse on their own (the text
    // forms and JSON of a value nested as deep as they allow, a date's
    // text, a JSON parse) before it calls the next, so the deepest level
    // runs them right above the bound: they must fit in the room left.
    const char* source =
        "// max-depth: 1000000\n"
        "var a = []; for (var i = 0; i < 63; i++) { a = [a]; }\n"
        "var text = JSON.stringify(a);\n"
        "function g(n) { var t = (JSON.stringify(a) + a) + new Date(0); var p = JSON.parse(text);"
        " return g(n + 1); };\n"
        "g(0);\n";
    script_registerBuiltins();
    for (size_t stack : {128u * 1024, 256u * 1024, 1024u * 1024}) {
        std::string out;
        onSmallStack(stack, [&] { out = run("room.js", source, false); });
        // The run ends at the bound: in the evaluation, or in the JSON
        // parse, whose parser keeps to the same bound (its nesting error).
        std::string line = firstLine(out);
        EXPECT_TRUE(line == "RangeError 39: System resource not available" || line == "EvalError 105: Syntax Error")
            << stack << ": " << line;
    }
}

}  // namespace
