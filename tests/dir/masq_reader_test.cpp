// A file pulled block by block through "readBytes" operations: the name
// reaches an asset that is not cached yet (the request waits on the asset
// lookup, then opens the asset's provider), every block arrives in order,
// and a failing read ends the reader with its error.
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/masq_input_reader.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "io/input.h"
#include "tests/dir/remote_seam_stub.h"
#include "tests/dir/stub_spi.h"

namespace {

const std::string kContent(10000, 'x');
const int kBlock = 4096;

// Serves an asset's file system: "readBytes" of path and offset answers the
// next block of kContent, or 28 for any other path.
class FileSPI : public StubSPI {
public:
    int resolve(const Endpoint*, const Principal*, DirectoryObject*, const DirNameEntry* entry,
                DirectoryObject*& out) override {
        const char* id = entry->getStringAttributeValue("id");
        out = new DirectoryObject(entry->getClassName(), id != nullptr ? new Any(id) : nullptr);
        return 0;
    }
    int execute(const Principal*, DirectoryObject* object, const char* op, Any** args, FutureResult* r) override {
        if (strcmp(op, "getAsset") == 0) {  // the root answers asset lookups
            lookups++;
            Asset* a = new Asset();
            a->id = strdup(object->value != nullptr ? object->value->getString() : "?");
            a->host = strdup("192.0.2.1");
            Any* v = new Any();
            v->setObject(a);
            r->setResult(v);
            return 0;
        }
        if (strcmp(op, "readBytes") != 0 || strcmp(object->className, "filesystem") != 0) return 21;
        long long offset = 0;
        // "/etc/short" claims an empty file, and sends a block of it.
        bool whole = strcmp(args[0]->getString(), "/etc/motd") == 0;
        if ((!whole && strcmp(args[0]->getString(), "/etc/short") != 0) || !args[1]->convertToInt64(offset))
            return DirError::E_IO;
        long long n = std::min<long long>(kBlock, static_cast<long long>(kContent.size()) - offset);
        Any* v = new Any();
        v->setObject(new FileIo(offset, whole ? kContent.size() : 0, static_cast<int>(n),
                                reinterpret_cast<const unsigned char*>(kContent.data() + offset)));
        r->setResult(v);
        return 0;
    }
    std::atomic<int> lookups{0};
};

// Opens FileSPIs for assets, as the remote provider library would open
// remote providers.
class Remote : public RemoteSeamStub {
public:
    DirectorySPI* openAsset(Directory*, DirectorySPI*, const char*, const Asset*, const char*) override {
        opened++;
        return new FileSPI();
    }
    std::atomic<int> opened{0};
};

struct Collect : MasqInputReader::Sink {
    bool deliver(const unsigned char* bytes, int length, long long offset, long long size) override {
        std::lock_guard<std::mutex> hold(lock);
        if (offset != static_cast<long long>(data.size())) ordered = false;
        data.append(reinterpret_cast<const char*>(bytes), length);
        total = size;
        return true;
    }
    void finished(int error, const char*) override {
        result = error;
        done = true;
    }
    bool wait() {
        for (int i = 0; i < 3000 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done;
    }
    std::mutex lock;
    std::string data;
    long long total = 0;
    bool ordered = true;
    std::atomic<int> result{-1};
    std::atomic<bool> done{false};
};

// Holds the reader inside its first delivery until opened.
struct Gated : Collect {
    bool deliver(const unsigned char* bytes, int length, long long offset, long long size) override {
        {
            std::unique_lock<std::mutex> hold(gateLock);
            entered = true;
            gateChanged.notify_all();
            gateChanged.wait(hold, [this] { return opened; });
        }
        return Collect::deliver(bytes, length, offset, size);
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> hold(gateLock);
        return gateChanged.wait_for(hold, std::chrono::seconds(30), [this] { return entered; });
    }
    void open() {
        std::lock_guard<std::mutex> hold(gateLock);
        opened = true;
        gateChanged.notify_all();
    }
    std::mutex gateLock;
    std::condition_variable gateChanged;
    bool entered = false;
    bool opened = false;
};

class MasqReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        Directory::_remote = &remote;
        int err = -1;
        dir = Directory::startServerDirectoryService(&root, nullptr, nullptr, "masq", &err);
        ASSERT_EQ(0, err);
    }
    void TearDown() override {
        delete dir;
        Directory::testIdleProviders();
        Directory::testIdleProviders();
        Directory::_remote = nullptr;
        AssetCache::clear();
    }
    Remote remote;
    FileSPI root;
    Directory* dir = nullptr;
};

TEST_F(MasqReaderTest, BlocksArriveInOrderAfterTheAssetLookup) {
    Collect sink;
    (new MasqInputReader(dir, nullptr, "H7", "/etc/motd", &sink))->start();
    ASSERT_TRUE(sink.wait());
    EXPECT_EQ(0, sink.result);
    EXPECT_TRUE(kContent == sink.data) << sink.data.size() << " bytes";
    EXPECT_TRUE(sink.ordered);
    EXPECT_EQ(static_cast<long long>(kContent.size()), sink.total);
    // One lookup: the first request waited for it, the later ones found the
    // asset's provider open.
    EXPECT_EQ(1, root.lookups);
    EXPECT_EQ(1, remote.opened);

    Collect missing;
    (new MasqInputReader(dir, nullptr, "H7", "/etc/shadow", &missing))->start();
    ASSERT_TRUE(missing.wait());
    EXPECT_EQ(DirError::E_IO, missing.result);
    EXPECT_EQ("", missing.data);
}

// An asset id is a value of the name the blocks are asked through: quotes,
// slashes and angle brackets in it neither break that name nor change it.
TEST_F(MasqReaderTest, AnAssetIdIsTakenAsItStands) {
    for (const char* id : {"H\"8", "H9\"/other:x=\"y", "<H.*>"}) {
        Collect sink;
        (new MasqInputReader(dir, nullptr, id, "/etc/motd", &sink))->start();
        ASSERT_TRUE(sink.wait()) << id;
        EXPECT_EQ(0, sink.result) << id;
        EXPECT_TRUE(kContent == sink.data) << id << ": " << sink.data.size() << " bytes";
        // The asset asked for is the one with exactly that id.
        Asset* asked = AssetCache::assetCacheLookup(id);
        EXPECT_NE(nullptr, asked) << id;
        delete asked;
    }
    EXPECT_EQ(3, root.lookups);
    EXPECT_EQ(3, remote.opened);
}

TEST_F(MasqReaderTest, ABlockBeyondTheFileSizeItGivesIsAProtocolError) {
    Collect sink;
    (new MasqInputReader(dir, nullptr, "H7", "/etc/short", &sink))->start();
    ASSERT_TRUE(sink.wait());
    EXPECT_EQ(DirError::E_PROTOCOL, sink.result);
    EXPECT_TRUE(sink.data.empty()) << sink.data.size() << " bytes";

    // Through an Input, its readers hear the error rather than wait for
    // bytes that were dropped.
    Input* in = MasqInputReader::openInput(dir, nullptr, nullptr, "H7", "/etc/short");
    in->setWaitTimes(10000, 10000);  // a reader left waiting shows as a time-out text
    unsigned char buf[64];
    EXPECT_EQ(-2, in->read(buf, sizeof buf));
    EXPECT_EQ(DirError::E_PROTOCOL, in->errorCode());
    char text[256];
    in->errorText(text, sizeof text);
    EXPECT_STREQ(DirError::getErrorDescription(DirError::E_PROTOCOL), text);
    delete in;
}

// The session a file is read through ends between two blocks: the reader
// lets go of it and stops, its sink hearing that the session logged out,
// instead of asking the ended session for the next block.
TEST_F(MasqReaderTest, ASessionEndingBetweenBlocksStopsTheReader) {
    Gated sink;
    (new MasqInputReader(dir, nullptr, "H7", "/etc/motd", &sink))->start();
    ASSERT_TRUE(sink.waitEntered());
    Directory* ending = dir;
    dir = nullptr;
    std::thread logout([ending] { delete ending; });
    logout.join();
    sink.open();
    ASSERT_TRUE(sink.wait());
    EXPECT_EQ(DirError::E_LOGGED_OUT, sink.result);
    EXPECT_EQ(static_cast<size_t>(kBlock), sink.data.size());
}

}  // namespace
