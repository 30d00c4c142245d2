// The host stand-in's mount provider behind the host's root, through the
// directory: every slot answers from the mount table, a long scan reports
// progress and answers later by request id, and table changes reach a
// listener whose filter they pass.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "host/demo_provider.h"
#include "hostrt/host_directory.h"
#include "tests/support/temp_dir.h"

namespace {

std::unique_ptr<DirName> name(const std::string& text) {
    int err = 0;
    DirName* n = DirName::createFromString(text.c_str(), &err);
    EXPECT_NE(nullptr, n) << text;
    return std::unique_ptr<DirName>(n);
}

// The attribute set a result holds, or null.
const Attributes* attrsOf(FutureResult* r) {
    Translatable* obj = nullptr;
    if (r->result == nullptr || !r->result->getObject(&obj) || obj == nullptr) return nullptr;
    return obj->getObjectID() == OBJ_ATTRIBUTES_ID ? static_cast<const Attributes*>(obj) : nullptr;
}

struct Progress : FutureResultListener {
    void onComplete(FutureResult*) override {}
    void onUpdate(FutureResult*, ExecuteUpdate*) override { updates++; }
    std::atomic<int> updates{0};
};

struct Changes : DirectoryListener {
    void directoryAdd(const DirNameEntry*, const Attributes*, const Acl*) override { adds++; }
    void directoryDelete(const DirNameEntry*, const Attributes*) override { deletes++; }
    void directoryModified(const DirNameEntry* e, const Attributes*, const Acl*) override {
        const char* p = e->getStringAttributeValue("path");
        last = p != nullptr ? p : "";
        modifies++;
    }
    void listenerDisconnected() override {}
    void listenerConnected() override { connected = true; }
    std::atomic<int> adds{0}, deletes{0}, modifies{0};
    std::atomic<bool> connected{false};
    std::string last;
};

class MountProviderTest : public ::testing::Test {
protected:
    // Federations last as long as the process, so one provider serves the
    // whole suite and is never deleted.
    static void SetUpTestSuite() {
        tmpDir = new TempDir();
        mkdir((tmpDir->path() + "/sub").c_str(), 0755);
        writeFile(tmpDir->path() + "/a.txt", "0123456789");
        writeFile(tmpDir->path() + "/sub/b.txt", "abcde");
        table = tmpDir->path() + "/mounts";
        writeTable("ro");
        provider = new MountProvider(table.c_str());
        ASSERT_EQ(0, provider->start());
    }
    static void TearDownTestSuite() {
        provider->stop();
        delete tmpDir;
        tmpDir = nullptr;
    }
    void SetUp() override {
        writeTable("ro");
        provider->checkForChanges();
        int err = -1;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "host", &err);
        ASSERT_EQ(0, err);
    }
    void TearDown() override { delete dir; }
    // The scratch directory, /usr and a mount point that does not exist.
    static void writeTable(const char* usrOptions) {
        const TempDir& tmp = *tmpDir;
        std::string text = "/dev/x " + tmp.path() + " tmpfs rw,nosuid 0 0\n/dev/y /usr ext4 " + usrOptions +
                           " 0 0\n/dev/z /no\\040such xfs rw 0 0\n";
        writeFile(table + ".new", text);
        rename((table + ".new").c_str(), table.c_str());
    }
    FutureResult* exec(const std::string& n, const char* op, Any* arg, FutureResultListener* l = nullptr) {
        Any* args[] = {arg, nullptr};
        FutureResult* r = dir->execute(name(n).get(), l, op, args);
        EXPECT_TRUE(r->waitComplete(30000));
        return r;
    }

    static TempDir* tmpDir;
    static std::string table;
    static MountProvider* provider;
    HostDirectorySPI root;
    Directory* dir = nullptr;
};

TempDir* MountProviderTest::tmpDir = nullptr;
std::string MountProviderTest::table;
MountProvider* MountProviderTest::provider = nullptr;

TEST_F(MountProviderTest, EverySlotAnswersFromTheTable) {
    const TempDir& tmp = *tmpDir;
    std::string here = "/mount:path=\"" + tmp.path() + "\"";
    int err = -1;
    std::unique_ptr<Attributes> a(dir->getAttributes(name(here).get(), &err));
    ASSERT_EQ(0, err);
    EXPECT_STREQ("/dev/x", a->getStringAttribute("device"));
    EXPECT_STREQ("tmpfs", a->getStringAttribute("type"));
    EXPECT_FALSE(a->getAttribute("readOnly")->getBool());
    EXPECT_NE(nullptr, a->getAttribute("size"));  // statvfs of a real directory
    a.reset(dir->getAttributes(name("/mount:path=\"/no such\"").get(), &err));
    ASSERT_EQ(0, err);  // the escaped blank is read back
    EXPECT_EQ(nullptr, a->getAttribute("size"));
    a.reset(dir->getAttributes(name("/mount:path=\"/elsewhere\"").get(), &err));
    EXPECT_EQ(DirError::E_OBJECT_NOT_FOUND, err);

    std::unique_ptr<DirectoryEnumeration> found(dir->search(name("/mount:type=ext4").get(), "path", &err));
    ASSERT_EQ(0, err);
    ASSERT_EQ(1, found->size());
    ASSERT_TRUE(found->next());
    EXPECT_STREQ("/usr", found->getAttributes()->getStringAttribute("path"));
    EXPECT_EQ(1, found->getAttributes()->size());
    found.reset(dir->search(name("/<mou.*>:readOnly=false").get(), nullptr, &err));
    ASSERT_EQ(0, err);
    EXPECT_EQ(2, found->size());

    std::unique_ptr<Acl> acl(dir->getAcl(name(here).get(), &err));
    ASSERT_EQ(0, err);
    struct stat st;
    ASSERT_EQ(0, stat(tmp.path().c_str(), &st));
    char mode[16];
    snprintf(mode, sizeof mode, "`%o`", static_cast<unsigned>(st.st_mode & 07777));
    EXPECT_NE(nullptr, strstr(acl->getText(), mode)) << acl->getText();
    std::unique_ptr<ClassEnumeration> classes(dir->list(name("/").get(), &err));
    ASSERT_EQ(0, err);
    bool listed = false;
    while (classes->next()) listed = listed || strcmp(classes->getClass(), "mount") == 0;
    EXPECT_TRUE(listed);

    // A scan that gets through the whole tree answers its counts.
    Any seconds(20);
    FutureResult* r = exec(here, "scan", &seconds);
    ASSERT_FALSE(r->failed) << r->error;
    const Attributes* counts = attrsOf(r);
    ASSERT_NE(nullptr, counts);
    EXPECT_EQ(3, counts->getAttribute("files")->getInt64());  // a.txt, b.txt and the table
    EXPECT_TRUE(counts->getAttribute("complete")->getBool());
    FutureResult::destroy(r);
    r = exec(here, "reboot", nullptr);
    EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, r->error);
    FutureResult::destroy(r);
}

TEST_F(MountProviderTest, ALongScanReportsProgressAndAnswersLater) {
    Progress progress;
    Any seconds(1.2);
    FutureResult* r = exec("/mount:path=\"/usr\"", "scan", &seconds, &progress);
    ASSERT_FALSE(r->failed) << r->error;
    const Attributes* counts = attrsOf(r);
    ASSERT_NE(nullptr, counts);
    // A tree walked in under half a second has nothing to report on the way.
    if (!counts->getAttribute("complete")->getBool()) {
        EXPECT_GE(progress.updates, 1);
    }
    EXPECT_GT(counts->getAttribute("files")->getInt64(), 0);
    r->listener = nullptr;
    FutureResult::destroy(r);
}

// Each scan holds a thread of its own for as long as it runs, so only so
// many run at once; one more is refused, and a scan that has answered
// makes room again.
TEST_F(MountProviderTest, ScansBeyondTheCapAreRefusedUntilOneEnds) {
    std::string here = "/mount:path=\"" + tmpDir->path() + "\"";
    Any seconds(20);
    provider->setMaxScans(0);
    FutureResult* r = exec(here, "scan", &seconds);
    EXPECT_TRUE(r->failed);
    EXPECT_EQ(DirError::E_NO_RESOURCE, r->error);
    FutureResult::destroy(r);
    provider->setMaxScans(1);
    for (int i = 0; i < 3; i++) {
        r = exec(here, "scan", &seconds);
        EXPECT_FALSE(r->failed) << "scan " << i << ": " << r->error;
        FutureResult::destroy(r);
    }
    provider->setMaxScans(MountProvider::kMaxScans);
}

// An overlay mount with many layers has an options field of several
// kilobytes; its line is one mount, and the lines after it are read as
// they are.
TEST(MountTable, ALineLongerThanAPageIsStillOneMount) {
    TempDir tmp;
    std::string lower;
    for (int i = 0; i < 400; i++)
        lower += (i > 0 ? ":" : "") + std::string("/var/lib/overlay/l/LAYER") + std::to_string(i);
    std::string options = "rw,relatime,lowerdir=" + lower + ",upperdir=/u,workdir=/w";
    ASSERT_GT(options.size(), 8192u);
    std::string table = tmp.path() + "/mounts";
    writeFile(table, "/dev/a /a ext4 rw 0 0\noverlay /merged overlay " + options + " 0 0\n/dev/b /b xfs ro 0 0\n");

    MountProvider mounts(table.c_str());
    std::vector<MountProvider::Mount> read = mounts.readTable();
    ASSERT_EQ(3u, read.size());
    EXPECT_EQ("/a", read[0].path);
    EXPECT_EQ("/merged", read[1].path);
    EXPECT_EQ("overlay", read[1].type);
    EXPECT_EQ(options, read[1].options);
    EXPECT_EQ("/b", read[2].path);
    EXPECT_EQ("ro", read[2].options);
}

TEST_F(MountProviderTest, TableChangesReachMatchingListeners) {
    Changes ext4, all;
    int err = 0;
    ASSERT_EQ(0, dir->addListener(name("/mount:type=ext4").get(), &ext4, &err));
    ASSERT_EQ(0, dir->addListener(name("/mount:").get(), &all, &err));
    for (int i = 0; i < 2000 && !(ext4.connected && all.connected); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The provider's own watcher may see a change first; either way it
    // arrives once.
    auto settle = [](const std::function<bool()>& done) {
        for (int i = 0; i < 300 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    writeTable("rw");
    provider->checkForChanges();
    settle([&] { return ext4.modifies >= 1; });
    EXPECT_EQ(1, ext4.modifies);
    EXPECT_EQ("/usr", ext4.last);
    writeFile(table + ".new", "/dev/y /usr ext4 rw 0 0\n");
    rename((table + ".new").c_str(), table.c_str());
    provider->checkForChanges();
    settle([&] { return all.deletes >= 2; });
    EXPECT_EQ(2, all.deletes);
    EXPECT_EQ(0, ext4.deletes);  // the deleted mounts are not ext4
    EXPECT_EQ(1, ext4.modifies);
    dir->removeListener(&ext4);
    dir->removeListener(&all);
}

}  // namespace
