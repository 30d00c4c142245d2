// A parser whose run failed, run again without recover(): the first error
// stays recorded, and a later failure must still fail its run rather than be
// taken for that earlier error.
#include <string>

#include <gtest/gtest.h>

#include "tests/script/script_run.h"

namespace {

using namespace script_test;

// typeof turns only its own operand's "Variable not defined" into the type
// "undefined"; an operand that fails otherwise fails the run, even while an
// earlier run's "Variable not defined" is still recorded.
TEST(Rerun, TypeofDoesNotTakeAnEarlierRunsErrorForItsOwn) {
    std::string out;
    VarSet* root = printingScope(&out);
    ObjRef hold(root);
    root->define("y", new Any(1));
    Parser parser("t.js", "print(typeof (1 / y));\nprint(missing);\n", &hold, 1, 0, false);
    ASSERT_TRUE(parser.parseScript());
    EXPECT_FALSE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("number\n", out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);

    // 1 / 0 fails with its own error, which is not recorded: the earlier one
    // is kept.
    out.clear();
    root->define("y", new Any(0));
    EXPECT_FALSE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("", out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);
    EXPECT_EQ(2, parser.getError()->traceback[0]->line);

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
    root->define("y", new Any(1));
    Any* test = new Any();
    test->setReference(new PresenceTest());
    root->define("isset", test);
    Parser parser("t.js", "print(isset(nothing), isset(1 / y));\nprint(missing);\n", &hold, 1, 0, false);
    ASSERT_TRUE(parser.parseScript());
    EXPECT_FALSE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("false true\n", out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);

    // The argument's failure is not recorded while the earlier error is:
    // the call fails and that error stays as it was.
    out.clear();
    root->define("y", new Any(0));
    EXPECT_FALSE(parser.executeScript(nullptr, &hold));
    EXPECT_EQ("", out);
    ASSERT_NE(nullptr, parser.getError());
    EXPECT_EQ(46, parser.getError()->code);
    EXPECT_EQ(2, parser.getError()->traceback[0]->line);
    root->clear();
}

}  // namespace
