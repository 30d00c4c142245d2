// Variables a script reads over and over while the host changes the scopes
// under it: a host function that removes and redefines a root variable, or
// gives the root a this-object, in the middle of a run; and the same parser
// run again on another thread. Each read must see the scopes as they are.
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "dirbase/attributes.h"
#include "tests/script/script_run.h"

namespace {

using namespace script_test;

// A host function that runs a C++ action on the root scope.
class HostAction : public NativeFunction {
public:
    HostAction(const char* name, std::function<void()> action) : NativeFunction(name), _action(std::move(action)) {}
    int call(Parser*, const Location*, Any** result, Any**) override {
        _action();
        *result = Any::makeUndefined();
        return 0;
    }

private:
    std::function<void()> _action;
};

void defineFunction(VarSet* scope, const char* name, Translatable* fn) {
    Any* v = new Any();
    v->setReference(fn);
    scope->define(name, v);
}

TEST(ScopeLookup, ReadsFollowTheHostsChangesDuringAndBetweenRuns) {
    std::string out;
    VarSet* root = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    ObjRef hold(root);
    defineFunction(root, "print", new CapturePrint(&out));
    root->define("g", new Any("a"));
    root->define("h", new Any("b"));
    // Removing g moves h into g's place; defining g again puts it last.
    defineFunction(root, "swap", new HostAction("swap", [root] {
                       root->clear("g");
                       root->define("g", new Any("c"));
                   }));
    defineFunction(root, "cover", new HostAction("cover", [root] {
                       Attributes* self = new Attributes();
                       self->addOrSetAttribute("g", new Any("t"));
                       root->setThis(self);
                   }));
    defineFunction(root, "uncover", new HostAction("uncover", [root] { root->clearThis(); }));
    const char* source =
        "function f() { return g + h; };\n"
        "var s = '';\n"
        "var k = 0;\n"
        "while (k < 2) { s = s + f(); k++; }\n"
        "swap(); s = s + f();\n"
        "cover(); s = s + f();\n"
        "uncover(); s = s + f();\n"
        "print(s);\n";
    Parser parser("t.js", source, &hold, 1, 0, false);
    ASSERT_TRUE(parser.parseScript());
    ASSERT_TRUE(parser.executeScript(nullptr, &hold)) << scriptErrorReport(parser.getError());
    EXPECT_EQ("ababcbtbcb\n", out);

    // Between runs the host sets g itself; the next run, on another thread,
    // starts from what is there now.
    out.clear();
    root->define("g", new Any("x"));
    bool ok = false;
    std::thread other([&] { ok = parser.executeScript(nullptr, &hold); });
    other.join();
    ASSERT_TRUE(ok) << scriptErrorReport(parser.getError());
    EXPECT_EQ("xbxbcbtbcb\n", out);
    root->clear();
}

}  // namespace
