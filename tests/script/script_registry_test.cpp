// What a script reaches only through classes a host registers: `new`,
// methods through the member table, bound methods, calls on the class
// itself, aliases, and the registry's own rules. Scripts print what they
// see; the expectations follow from the registry's rules.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "script/registry.h"
#include "tests/script/script_run.h"

namespace {

const int kCounterId = 7777;

// A host object with one field.
class Counter : public Translatable {
public:
    explicit Counter(int v) : value(v) {}
    int getField(Parser* parser, Any** result, const char* name) const override {
        if (strcmp(name, "value") == 0) {
            *result = new Any(value);
            return 0;
        }
        return Translatable::getField(parser, result, name);
    }
    char* toString(Parser*) override {
        char* out = nullptr;
        return asprintf(&out, "Counter(%d)", value) < 0 ? nullptr : out;
    }
    unsigned int getObjectID() const override { return kCounterId; }
    int value;
};

// Its class: `new Counter(n)`, c.max(n) (raises the value to n), and
// Counter.now() (a new counter at 0) on the class itself. "abs" is listed
// but not implemented.
class CounterPrototype : public Translatable {
public:
    bool isPrototype() const override { return true; }
    int construct(Parser*, Any** args, Translatable** out) const override {
        if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
        int v;
        if (!args[0]->convertToInt32(v)) return DirError::E_NOT_CONVERTIBLE;
        *out = new Counter(v);
        return 0;
    }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override {
        if (strcmp(name, "now") == 0 && self == this) {
            *result = new Any();
            (*result)->setReference(new Counter(0));
            return 0;
        }
        if (strcmp(name, "max") == 0 && self->getObjectID() == static_cast<unsigned>(kCounterId)) {
            int v;
            if (args[0] == nullptr || !args[0]->convertToInt32(v)) return DirError::E_NOT_CONVERTIBLE;
            Counter* c = static_cast<Counter*>(self);
            if (v > c->value) c->value = v;
            *result = new Any(c->value);
            return 0;
        }
        return Translatable::callMemberFn(parser, result, self, name, args);
    }
    char* toString(Parser*) override { return strdup("[class Counter]"); }
};

class ScriptRegistry_ : public ::testing::Test {
protected:
    void SetUp() override {
        script_installHooks();
        ScriptRegistry::clear();
        ASSERT_EQ(0, Parser::registerObject(kCounterId, "zephan.wf.var.api.Counter", new CounterPrototype(), false));
        int members[] = {66, 56, 39, 0};  // max, abs, now
        ASSERT_EQ(0, Parser::registerMembers("Counter", members));
    }
    void TearDown() override { ScriptRegistry::clear(); }
};

TEST_F(ScriptRegistry_, ScriptsConstructCallAndBindThroughTheRegisteredClass) {
    EXPECT_EQ("object 5\n"
              "9 9\n"
              "12 12 max\n"
              "Counter(12)\n"
              "0\n"
              "[class Counter]\n",
              script_test::run("r.js",
                               "var c = new Counter(5); print(typeof c, c.value);\n"
                               "print(c.max(9), c.value);\n"
                               "var m = c.max; print(m(12), c.value, m.name);\n"
                               "print(c.toString());\n"
                               "print(Counter.now().value);\n"
                               // A registered class name denotes the class,
                               // whatever a variable of that name holds.
                               "var Counter = 1; print(Counter);\n",
                               false));
}

TEST_F(ScriptRegistry_, FailuresOfRegisteredClassesAreEvalErrors) {
    // Listed but not implemented: the class answers 111.
    EXPECT_EQ("EvalError 111: No such function\n    at: r.js:1:25\n",
              script_test::run("r.js", "var c = new Counter(1); c.abs();", false));
    EXPECT_EQ("EvalError 48: Missing Arguments\n    at: r.js:1:8\n",
              script_test::run("r.js", "var c = new Counter();", false));
    EXPECT_EQ("EvalError 51: Class not found\n    at: r.js:1:8\n",
              script_test::run("r.js", "var c = new Nothing(1);", false));
}

TEST_F(ScriptRegistry_, NamesAliasesAndMembers) {
    // The prefix is dropped, a repeated registration is ignored, a name
    // taken by another id is refused.
    EXPECT_EQ(0, Parser::registerObject(kCounterId, "Counter", new CounterPrototype(), false));
    EXPECT_EQ(DirError::E_ALREADY_EXISTS, Parser::registerObject(kCounterId + 1, "Counter", new CounterPrototype(), false));
    EXPECT_STREQ("Counter", ScriptRegistry::nameOf(kCounterId));
    EXPECT_EQ(0, Parser::registerAlias("Counter", "Tally", nullptr));
    EXPECT_EQ("Counter(3)\n", script_test::run("r.js", "print(new Tally(3));", false));
    // An alias never answers for the id.
    EXPECT_STREQ("Counter", ScriptRegistry::nameOf(kCounterId));

    Counter c(1);
    EXPECT_TRUE(ScriptRegistry::hasMember(&c, "max"));
    EXPECT_TRUE(ScriptRegistry::hasMember(&c, "abs"));
    EXPECT_FALSE(ScriptRegistry::hasMember(&c, "min"));
    EXPECT_STREQ("toString", ScriptRegistry::memberName(0));
    EXPECT_STREQ("toTimestamp", ScriptRegistry::memberName(84));
    EXPECT_EQ(nullptr, ScriptRegistry::memberName(85));
}

}  // namespace
