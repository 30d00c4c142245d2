// A parser whose run failed, run again without recover(): the first error
// stays recorded, and a later failure must still fail its run rather than be
// taken for that earlier error.
#include <string>

#include <gtest/gtest.h>

#include "tests/script/script_run.h"

namespace {

using namespace script_test;

// Runs the parser's script with y = 1, which prints firstOut and then fails
// with "Variable not defined" (46) on line 2; then again with y = 0 and
// without recover(), where the 1 / y in the script fails first: that
// failure is not recorded, the run fails, and the earlier error stays.
void expectTheEarlierErrorKept(Parser& parser, VarSet* root, ObjRef* hold, std::string* out, const char* firstOut) {
    root->define("y", new Any(1));
    ASSERT_TRUE(parser.parseScript());
    EXPECT_FALSE(parser.executeScript(nullptr, hold));
    EXPECT_EQ(firstOut, *out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);

    out->clear();
    root->define("y", new Any(0));
    EXPECT_FALSE(parser.executeScript(nullptr, hold));
    EXPECT_EQ("", *out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);
    EXPECT_EQ(2, parser.getError()->traceback[0]->line);
}

// typeof turns only its own operand's "Variable not defined" into the type
// "undefined"; an operand that fails otherwise fails the run, even while an
// earlier run's "Variable not defined" is still recorded.
TEST(Rerun, TypeofDoesNotTakeAnEarlierRunsErrorForItsOwn) {
    std::string out;
    VarSet* root = printingScope(&out);
    ObjRef hold(root);
    Parser parser("t.js", "print(typeof (1 / y));\nprint(missing);\n", &hold, 1, 0, false);
    expectTheEarlierErrorKept(parser, root, &hold, &out, "number\n");

    // Once recovered, the same failure is recorded as itself.
    parser.recover();
    EXPECT_FALSE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("", out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(24, parser.getError()->code);
    root->clear();
}

// The host's presence test (object id 9831) answers false when an
// argument names an undeclared variable, and only then.
class PresenceTest : public NativeFunction {
public:
    PresenceTest() : NativeFunction("isset") {}
    unsigned int getObjectID() const override { return 9831; }
};

TEST(Rerun, APresenceTestDoesNotTakeAnEarlierRunsErrorForItsOwn) {
    std::string out;
    VarSet* root = printingScope(&out);
    ObjRef hold(root);
    Any* test = new Any();
    test->setReference(new PresenceTest());
    root->define("isset", test);
    Parser parser("t.js", "print(isset(nothing), isset(1 / y));\nprint(missing);\n", &hold, 1, 0, false);
    expectTheEarlierErrorKept(parser, root, &hold, &out, "false true\n");
    root->clear();
}

// A value that a run left pending (a return outside any function, or one
// that ran before its function failed) belongs to that run: a function of
// the next run that runs no return gives null, not the earlier run's value.
TEST(Rerun, AReturnValueLeftPendingDoesNotReachTheNextRun) {
    std::string out;
    VarSet* root = printingScope(&out);
    ObjRef hold(root);
    Parser parser("t.js", "function g() { };\nprint(g());\nreturn 'kept';\n", &hold, 1, 0, false);
    ASSERT_TRUE(parser.parseScript());
    EXPECT_TRUE(parser.executeScript(nullptr, &hold));
    EXPECT_TRUE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("null\nnull\n", out);

    // The same through a run that failed after its function's return ran.
    out.clear();
    Parser failed("t.js", "function f() { return 'kept'; missing + 1; };\nfunction g() { };\nprint(g());\nf();\n", &hold,
                  1, 0, false);
    ASSERT_TRUE(failed.parseScript());
    EXPECT_FALSE(failed.executeScript(nullptr, &hold));
    failed.recover();
    EXPECT_FALSE(failed.executeScript(nullptr, &hold));
    EXPECT_EQ("null\nnull\n", out);
    root->clear();
}

}  // namespace
