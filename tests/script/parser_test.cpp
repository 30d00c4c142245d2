// The parser: what a syntax error leaves behind, the nesting limit that
// keeps hostile input off the stack, and a template read from a stream.
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "script/error.h"
#include "script/location.h"
#include "script/parser.h"
#include "tests/script/script_run.h"
#include "tests/script/string_stream.h"

namespace {

using script_test::CaptureOutput;
using script_test::onSmallStack;

// Depth `depth` of each kind of nesting a hostile script can use.
std::string nested(const std::string& kind, int depth) {
    std::string open, close, middle = "x";
    if (kind == "parens") open = "(", close = ")";
    if (kind == "blocks") open = "{", close = "}", middle = "x;";
    if (kind == "ifs") open = "if (x) ", middle = "x;";
    if (kind == "arrays") open = "[", close = "]";
    if (kind == "functions") open = "function(){ return ", close = ";}";
    if (kind == "negations") open = "-(", close = ")";
    std::string out;
    if (kind == "assignments" || kind == "members" || kind == "calls" || kind == "typeofs" ||
        kind == "conditionals") {
        for (int i = 0; i < depth; ++i) {
            if (kind == "assignments") out += "x = ";
            if (kind == "typeofs") out += "typeof ";
            if (kind == "conditionals") out += "x ? ";
        }
        out += "x";
        for (int i = 0; i < depth; ++i) {
            if (kind == "members") out += ".m";
            if (kind == "calls") out += "()";
            if (kind == "conditionals") out += " : y";
        }
    } else {
        for (int i = 0; i < depth; ++i) out += open;
        out += middle;
        for (int i = 0; i < depth; ++i) out += close;
    }
    if (kind != "blocks" && kind != "ifs") out = "y = " + out + ";";
    return out;
}

struct ParseResult {
    bool ok;
    std::string message;
};

ParseResult parseOnSmallStack(const std::string& source) {
    ParseResult result{false, ""};
    onSmallStack(2 << 20, [&] {
        Parser parser("deep.js", source.c_str(), nullptr, 1, 0, false);
        result.ok = parser.parseScript();
        if (parser.getError() != nullptr) result.message = parser.getError()->message;
    });
    return result;
}

// operand op operand op ... with count operands.
std::string chainOf(const std::string& operand, const std::string& op, size_t count) {
    std::string out = operand;
    for (size_t i = 1; i < count; ++i) out += " " + op + " " + operand;
    return out;
}

TEST(Parser, HostileNestingIsASyntaxErrorWithinASmallStack) {
    // What one level of each kind costs against the limit.
    struct Kind {
        const char* name;
        int cost;
    } kinds[] = {{"parens", 2},      {"blocks", 2},  {"ifs", 1},       {"arrays", 2},
                 {"functions", 4},   {"negations", 2}, {"assignments", 2}, {"members", 1},
                 {"calls", 1},       {"typeofs", 1},  {"conditionals", 1}};
    for (const Kind& k : kinds) {
        const char* kind = k.name;
        ParseResult deep = parseOnSmallStack(nested(kind, 100000));
        EXPECT_FALSE(deep.ok) << kind;
        EXPECT_EQ("Script nested too deeply", deep.message) << kind;
        // Just inside the limit everything still parses on that stack.
        int inside = Parser::kDefaultMaxNesting / k.cost - 8;  // the statement and `y = ` around it cost 6
        ParseResult fits = parseOnSmallStack(nested(kind, inside));
        EXPECT_TRUE(fits.ok) << kind << " " << inside << ": " << fits.message;
    }
}

TEST(Parser, LongOperatorChainsParseAndRunWithinASmallStack) {
    // The operands of one chain are no nesting: a chain is read, run and
    // deleted in loops, whatever its length.
    const size_t n = 20000;
    for (const char* op : {"+", "-", "*", "%", "<<", ">>>", "==", "!==", "<", ">=", "&", "|", "^", "&&", "||"}) {
        ParseResult r = parseOnSmallStack("y = " + chainOf("x", op, n) + ";");
        EXPECT_TRUE(r.ok) << op << ": " << r.message;
    }
    // Up to the bound on one chain's operands; past it, as deep nesting.
    EXPECT_TRUE(parseOnSmallStack("y = " + chainOf("x", "+", Parser::kMaxChainOperands) + ";").ok);
    for (size_t count : {Parser::kMaxChainOperands + 1, static_cast<size_t>(100000)}) {
        ParseResult past = parseOnSmallStack("y = " + chainOf("x", "+", count) + ";");
        EXPECT_FALSE(past.ok) << count;
        EXPECT_EQ("Script nested too deeply", past.message) << count;
    }

    // They run there too. Right-nested, 1 - (1 - (1 - ...)) is 1 for an odd
    // number of operands (left to right it would be -19999).
    std::string script = "var s = " + chainOf("'a'", "+", n) + ";\nprint(s);\n" +
                         "print(" + chainOf("true", "&&", n) + ");\n" +
                         "print(" + chainOf("false", "||", n) + " || true);\n" +
                         "print(" + chainOf("1", "-", n + 1) + ");\n" +
                         "print((" + chainOf("1", "|", n) + ") == (" + chainOf("1", "*", n) + "));\n";
    std::string out;
    onSmallStack(2 << 20, [&] { out = script_test::run("chains.js", script, false); });
    // (Compared in parts: a failure should not print the whole string.)
    ASSERT_GT(out.size(), n);
    EXPECT_TRUE(out.compare(0, n + 1, std::string(n, 'a') + "\n") == 0);
    EXPECT_EQ("true\ntrue\n1\ntrue\n", out.substr(n + 1));
}

// The syntax errors of one-line scripts and their positions are conformance
// cases (err_syntax_*); these need the parser's own interface.
TEST(Parser, SyntaxErrorsReportTheFirstFailureAndWhere) {
    // A class name may be 255 characters long, no longer.
    for (size_t length : {255, 256}) {
        std::string name = "a." + std::string(length - 2, 'c');
        Parser parser("e.js", ("x = new " + name + "();").c_str(), nullptr, 1, 0, false);
        EXPECT_EQ(length == 255, parser.parseScript()) << length;
        if (length == 255) continue;
        ASSERT_NE(nullptr, parser.getError());
        EXPECT_EQ(nullptr, parser.getScript());
        EXPECT_STREQ("Expected class name after 'new'", parser.getError()->message);
        EXPECT_EQ(static_cast<int>(8 + length), parser.getError()->firstLocation()->column);
    }

    // The lexer's own message stays on its token, for the debug trace.
    Parser traced("e.js", "x = 'abc", nullptr, 1, 0, false);
    std::string trace;
    CaptureOutput traceOut(&trace);
    traced.setDebugLevel(2);
    traced.setDebugStream(&traceOut);
    EXPECT_FALSE(traced.parseScript());
    EXPECT_EQ("Inital State: t1: IDENT: \"x\", t2: (space) PUNCT: '=', t3: (space) [R] type: 40 \"End of file "
              "encountered in string\"\n"
              "Syntax error: Primary expression expected at t1: (space) type: 40 \"End of file encountered in "
              "string\"\n",
              trace);

    // One expression: the whole input must be used.
    Parser expr("e.js", "1 2", nullptr, 1, 0, false);
    EXPECT_FALSE(expr.parse());
    EXPECT_STREQ("Unexpected input at end", expr.getError()->message);
    char* text = const_cast<Error*>(expr.getError())->toString(&expr);
    EXPECT_STREQ("SyntaxError: Unexpected input at end\n    at: e.js:1:2", text);
    free(text);
}

std::string dumpOf(const char* source, bool templateMode = false) {
    Parser parser("t.js", source, nullptr, 1, 0, templateMode);
    if (!parser.parseScript()) return parser.getError()->message;
    std::string debug;
    CaptureOutput out(&debug);
    parser.setDebugLevel(2);
    parser.setDebugStream(&out);
    parser.dump();
    return debug;
}

TEST(Parser, ATemplateReadFromAStreamParsesToTheSameTree) {
    // The trees of representative scripts and templates are conformance
    // cases (tree_*); the same template read from a stream parses to the
    // same tree.
    const char* source = "Hello <?JS x = 1; ?>World<? x ?>.";
    StringStream in(source, 5);
    Parser streamed("t.js", &in, nullptr, 1, 0, true);
    ASSERT_TRUE(streamed.parseScript());
    std::string debug;
    CaptureOutput out(&debug);
    streamed.setDebugLevel(2);
    streamed.setDebugStream(&out);
    streamed.dump();
    EXPECT_EQ(dumpOf(source, true), debug);
}

}  // namespace
