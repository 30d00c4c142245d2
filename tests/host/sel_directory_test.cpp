// Scripts reaching the in-process directory: the host's root with the mount
// provider over a mount table written here, seen through `directory` and
// the SelDirectoryObjects it resolves.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "dir/directory.h"
#include "dir/sel_directory_object.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "host/demo_provider.h"
#include "hostrt/host_directory.h"
#include "script/registry.h"
#include "tests/script/script_run.h"
#include "tests/support/temp_dir.h"

namespace {

class SelDirectoryTest : public ::testing::Test {
protected:
    // Federations last as long as the process: one provider for the suite.
    static void SetUpTestSuite() {
        // The scratch mount holds two files of 15 bytes; the table lies outside it.
        tmpDir = new TempDir();
        mountPoint = tmpDir->path() + "/data";
        mkdir(mountPoint.c_str(), 0755);
        mkdir((mountPoint + "/sub").c_str(), 0755);
        writeFile(mountPoint + "/a.txt", "0123456789");
        writeFile(mountPoint + "/sub/b.txt", "abcde");
        table = tmpDir->path() + "/mounts";
        writeFile(table, "/dev/x " + mountPoint + " tmpfs rw,nosuid 0 0\n/dev/y /usr ext4 ro 0 0\n" +
                             "/dev/z /no\\040such xfs rw 0 0\n");
        provider = new MountProvider(table.c_str());
        ASSERT_EQ(0, provider->start());
        script_installHooks();
        dir_registerScriptClasses();
    }
    static void TearDownTestSuite() {
        provider->stop();
        ScriptRegistry::clear();
        delete tmpDir;
        tmpDir = nullptr;
    }
    void SetUp() override {
        int err = -1;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "host", &err);
        ASSERT_EQ(0, err);
    }
    void TearDown() override { delete dir; }

    // Runs source with `directory` and `here` (the scratch mount's name).
    std::string run(const std::string& source) {
        std::string prelude = "var here = '/mount:path=\"" + mountPoint + "\"';\n";
        return script_test::run("sel.js", prelude + source, false, nullptr, [this](VarSet* scope) {
            Any* d = new Any();
            d->setReference(new SelDirectory(dir));
            scope->define("directory", d);
        });
    }

    static TempDir* tmpDir;
    static std::string table;
    static std::string mountPoint;
    static MountProvider* provider;
    HostDirectorySPI root;
    Directory* dir = nullptr;
};

TempDir* SelDirectoryTest::tmpDir = nullptr;
std::string SelDirectoryTest::table;
std::string SelDirectoryTest::mountPoint;
MountProvider* SelDirectoryTest::provider = nullptr;

TEST_F(SelDirectoryTest, ScriptsResolveNamesAndCallTheirAttributesAclAndOperations) {
    std::string out = run(
        "var m = directory.lookup(here);\n"
        "print(m.name == here);\n"
        "var a = m.getAttributes();\n"
        "print(a.device, a.type, a.options, a.readOnly);\n"
        "print(directory.lookup('/mount:path=\"/usr\"').getAttributes().readOnly);\n"
        "var acl = m.getAcl();\n"
        "print(acl != null);\n"
        "var s = m.stat();\n"
        "print(s.device, s.size > 0);\n"
        "var scan = m.scan(5);\n"
        "print(scan.files, scan.bytes, scan.complete);\n"
        "var found = directory.search('/mount:', 'type');\n"
        "print(found.length, found[0].attributes.path, found[0].attributes.type != null);\n"
        "print(directory.search('/mount:type=\"ext4\"', 'path')[0].attributes.path);\n"
        "var classes = directory.list('/');\n"
        "var hasMount = false;\n"
        "for (var i = 0; i < classes.length; i++) { if (classes[i] == 'mount') { hasMount = true; } }\n"
        "print(hasMount);\n");
    EXPECT_EQ("true\n/dev/x tmpfs rw,nosuid false\ntrue\ntrue\n/dev/x true\n2 15 true\n3 undefined true\n/usr\ntrue\n",
              out);
}

TEST_F(SelDirectoryTest, FailuresAreTheDirectorysErrorCodes) {
    struct {
        const char* source;
        const char* report;
    } cases[] = {
        {"directory.lookup('/mount:path=\"/nowhere\"');", "EvalError 15: Object Not Found\n"},
        {"directory.lookup(here).defragment();", "EvalError 21: Not Implemented\n"},
        {"directory.lookup('/mount:path');", "EvalError 5: Missing equal sign\n"},
        {"directory.lookup();", "EvalError 48: Missing Arguments\n"},
        {"directory.remove(here);", "EvalError 111: No such function\n"},
        {"directory.lookup('/mount:path=\"/no such\"').getAcl();", "EvalError 28: Generic I/O Error\n"},
    };
    for (const auto& c : cases) {
        std::string out = run(c.source);
        // The report's first line: class, code and message.
        EXPECT_EQ(c.report, out.substr(0, out.find('\n') + 1)) << c.source;
    }
}

TEST_F(SelDirectoryTest, PrefetchedValuesAreHandedOverOnceThenAskedOfTheDirectory) {
    int err = 0;
    DirName* name = DirName::createFromString(("/mount:path=\"" + mountPoint + "\"").c_str(), &err);
    ASSERT_NE(nullptr, name);
    Attributes* pre = new Attributes();
    pre->setAttribute("device", "prefetched");
    ObjRef object(new SelDirectoryObject(dir, name, pre, new Acl("U`x`y`700``")));
    auto* sel = static_cast<SelDirectoryObject*>(object.get());
    for (const char* expected : {"prefetched", "/dev/x"}) {
        Any* result = nullptr;
        ASSERT_EQ(0, sel->callMember(nullptr, &result, "getAttributes", nullptr));
        auto* a = static_cast<Attributes*>(result->getReferenced());
        EXPECT_STREQ(expected, a->getStringAttribute("device"));
        delete result;
    }
    Any* acl = nullptr;
    ASSERT_EQ(0, sel->callMember(nullptr, &acl, "getAcl", nullptr));
    EXPECT_STREQ("U`x`y`700``", static_cast<Acl*>(acl->getReferenced())->getText());
    delete acl;
    ASSERT_EQ(0, sel->callMember(nullptr, &acl, "getAcl", nullptr));
    EXPECT_NE(std::string::npos, std::string(static_cast<Acl*>(acl->getReferenced())->getText()).find(",write"));
    delete acl;
}

}  // namespace
