// Sourcing script files and directories: every ".js" file of a tree runs
// once over the shared root scope, whatever links the tree holds.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "script/builtins.h"
#include "script/parser.h"
#include "script/registry.h"
#include "tests/script/script_run.h"
#include "tests/support/temp_dir.h"

namespace {

// Sources path over a root scope whose variable `count` the scripts
// increment; answers the count.
int runsWhenSourcing(const std::string& path) {
    std::string out;
    VarSet* scope = script_test::printingScope(&out);
    ObjRef root(scope);
    scope->define("count", new Any(0));
    Parser parser("source", "", &root, 1, 0, false);
    EXPECT_EQ(0, parser.source(nullptr, &root, path.c_str()));
    const Any* count = scope->get("count");
    int n = count != nullptr ? count->getInt32() : -1;
    scope->clear();
    return n;
}

TEST(SourceScripts, EveryScriptOfATreeRunsOnce) {
    script_registerBuiltins();
    TempDir dir;
    writeFile(dir.file("a.js"), "count = count + 1;\n");
    writeFile(dir.file("notes.txt"), "count = count + 100;\n");
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0700));
    writeFile(dir.file("sub/b.js"), "count = count + 1;\n");
    EXPECT_EQ(2, runsWhenSourcing(dir.path()));
    ScriptRegistry::clear();
}

// A link back to the directory itself or to one of its ancestors would
// make the walk go round (two such links double the work at every turn, so
// the walk would not end): a directory already being walked is not entered
// again.
TEST(SourceScripts, LinksBackUpTheTreeAreNotFollowed) {
    script_registerBuiltins();
    TempDir dir;
    writeFile(dir.file("a.js"), "count = count + 1;\n");
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0700));
    writeFile(dir.file("sub/b.js"), "count = count + 1;\n");
    ASSERT_EQ(0, symlink("..", dir.file("sub/up").c_str()));
    // Without the check the walk would not end once the second link is there.
    ASSERT_EQ(2, runsWhenSourcing(dir.path()));
    ASSERT_EQ(0, symlink(".", dir.file("self").c_str()));
    EXPECT_EQ(2, runsWhenSourcing(dir.file("sub")));
    ScriptRegistry::clear();
}

}  // namespace
