// Asset and Endpoint records (exact bytes, round trips, texts, script
// fields, version numbers), the records of execution (FutureResult,
// ExecuteUpdate, FileIo) on the wire, and the asset cache's lifetime and
// mapper hook.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dir/asset.h"
#include "dir/asset_cache.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"
#include "tests/support/encoding.h"

namespace {

class AssetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Directory::init(); }
    void TearDown() override {
        AssetCache::clear();
        AssetCache::_clock = realClock;
        assetMapper = nullptr;
    }
    static time_t realClock() { return time(nullptr); }
    static time_t _now;
    static time_t fakeClock() { return _now; }
};
time_t AssetTest::_now = 1000;

Asset* makeAsset(const char* id, const char* host) {
    Asset* a = new Asset();
    a->id = strdup(id);
    a->name = strdup("web1");
    a->host = host != nullptr ? strdup(host) : nullptr;
    a->port = 14000;
    a->ftport = 14001;
    a->masq = true;
    a->agentVersion = strdup("dravika-2.1.3");
    a->extra15 = strdup("f15");
    a->extra19 = strdup("f19");
    a->agentId = strdup("agent-7");
    a->extra21 = true;
    return a;
}

TEST_F(AssetTest, EndpointHasTheseExactBytesAndAssetsRoundTripEveryField) {
    Endpoint e;
    e.name = strdup("ssh");
    e.asset = strdup("D`H42");
    e.type = 5;
    e.id = strdup("E9");
    e.extra7 = true;
    Bytes want;
    want.object(OBJ_ENDPOINT_ID)
        .field(1).str("ssh")
        .field(2).u8(7)
        .field(3).str("D`H42")
        .field(4).int32(5)
        .field(5).u8(8)
        .field(6).str("E9")
        .field(7).u8(1).u8(1)
        .end();
    EXPECT_EQ(want.hex(), Bytes::hex(encodedBody(OBJ_ENDPOINT_ID, &e).data(), encodedBody(OBJ_ENDPOINT_ID, &e).size()));

    e.attributes = new Attributes();
    e.attributes->setAttribute("user", "root");
    auto e2 = decodedBody<Endpoint>(OBJ_ENDPOINT_ID, encodedBody(OBJ_ENDPOINT_ID, &e));
    ASSERT_NE(nullptr, e2);
    EXPECT_STREQ("E9", e2->id);
    EXPECT_TRUE(e2->extra7);
    ASSERT_NE(nullptr, e2->attributes);
    EXPECT_STREQ("root", e2->attributes->getStringAttribute("user"));
    EXPECT_EQ("{ \"id\" : \"E9\", \"name\" : \"ssh\", \"description\" : null, \"asset\" : \"D`H42\", \"type\" : 5, "
              "\"attributes\" : " + text(e.attributes->toJSON(nullptr)) + " }",
              text(e2->toString(nullptr)));
    EXPECT_STREQ("SSH", Endpoint::endpointForType(e2->type));
    EXPECT_EQ(nullptr, Endpoint::endpointForType(6));

    std::unique_ptr<Asset> a(makeAsset("H42", "10.0.0.5"));
    std::string bytes = encodedBody(OBJ_ASSET_ID, a.get());
    auto a2 = decodedBody<Asset>(OBJ_ASSET_ID, bytes);
    ASSERT_NE(nullptr, a2);
    // Encoding the copy gives the same bytes: every field went both ways.
    EXPECT_EQ(Bytes::hex(bytes.data(), bytes.size()), Bytes::hex(encodedBody(OBJ_ASSET_ID, a2.get()).data(), bytes.size()));
    EXPECT_STREQ("f19", a2->extra19);
    EXPECT_TRUE(a2->extra21);
    EXPECT_EQ("{ \"id\" : \"H42\", \"name\" : \"web1\", \"description\" : null, \"port\" : 14000, \"ftport\" : 14001, "
              "\"sysname\" : null, \"release\" : null, \"version\" : null, \"machine\" : null, \"distro\" : null, "
              "\"agentVersion\" : \"dravika-2.1.3\", \"auth\" : null, \"archTag\" : null, \"masq\" : true, "
              "\"agentId\" : \"agent-7\" }",
              text(a2->toString(nullptr)));

    // Every truncation of a valid encoding fails cleanly.
    for (size_t n = 0; n < bytes.size(); n++)
        EXPECT_EQ(nullptr, decodedBody<Asset>(OBJ_ASSET_ID, bytes.substr(0, n))) << n;
    // A field of the wrong type is refused.
    Bytes bad;
    bad.object(OBJ_ASSET_ID).field(4).str("x").end();
    EXPECT_EQ(nullptr, decodedBody<Asset>(OBJ_ASSET_ID, bad.data));
}

TEST_F(AssetTest, ScriptFieldsAndVersionNumbers) {
    std::unique_ptr<Asset> a(makeAsset("H1", nullptr));
    Any* v = nullptr;
    ASSERT_EQ(0, a->getField(nullptr, &v, "hostname"));
    EXPECT_EQ(ANY_STRING, v->getType());
    EXPECT_EQ(nullptr, v->getString());
    delete v;
    ASSERT_EQ(0, a->getField(nullptr, &v, "asset"));
    EXPECT_STREQ("web1", v->getString());
    delete v;
    EXPECT_EQ(DirError::E_NOT_IMPLEMENTED, a->getField(nullptr, &v, "port"));

    struct {
        const char* text;
        int want;
    } cases[] = {{nullptr, 10400},          {"trunk", 999999},          {"master", 999999},
                 {"Trunk", 10400},          {"other-2.1", 10400},       {"dravika-2.1.3", 20103},
                 {"dravika-1.4", 104},      {"dravika-2.1.3-rc1", 20103}, {"dravika-", 0},
                 {"dravika--1", 0},         {"dravika-3.x.7", 3}};
    for (const auto& c : cases) {
        free(a->agentVersion);
        a->agentVersion = c.text != nullptr ? strdup(c.text) : nullptr;
        EXPECT_EQ(c.want, a->getDravikaVersion()) << (c.text != nullptr ? c.text : "null");
    }
    // Absurdly many or long parts must not overflow (UBSan would stop the test).
    free(a->agentVersion);
    a->agentVersion = strdup("dravika-99999999999.9.9.9.9.9.9.9.9.9.9.9.9");
    EXPECT_GT(a->getDravikaVersion(), 0);
}

// A reply's result is decoded where it lies when it has the translator's own
// layout; whatever the path, the decoded result must be the one the general
// reader builds (re-encoded, byte for byte the same), must stay out of the
// registry, and a cut-off or damaged encoding must fail cleanly either way.
TEST_F(AssetTest, ReplyResultsDecodeInPlaceAsTheGeneralReaderDoes) {
    auto generalOnly = [](const std::string& bytes) {
        MessageBase::registerObjectXlator(OBJ_FUTURERESULT_ID, FutureResultXlator);
        auto fr = decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, bytes);
        exec_registerTranslators();
        return fr;
    };
    std::vector<std::unique_ptr<FutureResult>> samples;
    samples.emplace_back(new FutureResult());  // nothing set: null result, no texts
    samples.emplace_back(new FutureResult());
    samples.back()->result = new Any("a value");
    samples.back()->complete = true;
    samples.emplace_back(new FutureResult());
    samples.back()->failed = true;
    samples.back()->complete = true;
    samples.back()->error = DirError::E_IO;
    samples.back()->errorText = strdup("disk full");
    samples.emplace_back(new FutureResult());
    unsigned char* data = static_cast<unsigned char*>(malloc(5));
    memcpy(data, "a\0b\0c", 5);
    samples.back()->setData(data, 5);
    samples.back()->dataText = strdup("");
    samples.back()->result = new Any(static_cast<int64_t>(-5));
    samples.emplace_back(new FutureResult());
    samples.back()->values = static_cast<Any**>(calloc(4, sizeof(Any*)));
    samples.back()->values[0] = new Any(1.5);
    samples.back()->values[1] = new Any("two");
    samples.back()->values[2] = new Any(true);

    for (size_t i = 0; i < samples.size(); i++) {
        std::string bytes = encodedBody(OBJ_FUTURERESULT_ID, samples[i].get());
        int live = FutureResult::liveCount();
        auto fast = decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, bytes);
        auto general = generalOnly(bytes);
        ASSERT_NE(nullptr, fast) << i;
        ASSERT_NE(nullptr, general) << i;
        EXPECT_EQ(bytes, encodedBody(OBJ_FUTURERESULT_ID, fast.get())) << i;
        EXPECT_EQ(bytes, encodedBody(OBJ_FUTURERESULT_ID, general.get())) << i;
        EXPECT_EQ(live, FutureResult::liveCount()) << "decoded results are not listed";
        EXPECT_EQ(nullptr, FutureResult::lockById(fast->id));
        EXPECT_NE(fast->id, general->id);
        EXPECT_NE(samples[i]->id, fast->id);
        for (size_t n = 0; n < bytes.size(); n++) {
            EXPECT_EQ(nullptr, decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, bytes.substr(0, n))) << i << " cut at " << n;
            EXPECT_EQ(nullptr, generalOnly(bytes.substr(0, n))) << i << " cut at " << n;
        }
    }
    // The same bytes again would not show a field both ways drop: the fields.
    auto withData = decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, encodedBody(OBJ_FUTURERESULT_ID, samples[3].get()));
    ASSERT_NE(nullptr, withData);
    ASSERT_EQ(5, withData->dataLength);
    EXPECT_EQ(0, memcmp("a\0b\0c", withData->data, 5));
    EXPECT_EQ(-5, withData->result->getInt64());
    auto withValues = decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, encodedBody(OBJ_FUTURERESULT_ID, samples[4].get()));
    ASSERT_NE(nullptr, withValues);
    ASSERT_NE(nullptr, withValues->values);
    EXPECT_EQ(1.5, withValues->values[0]->getDouble());
    EXPECT_STREQ("two", withValues->values[1]->getString());
    EXPECT_EQ(nullptr, withValues->values[3]);

    // Fields in another order than the translator's are read by the index;
    // a damaged data length is refused on both paths.
    Bytes reordered;
    reordered.object(OBJ_FUTURERESULT_ID).field(2).int32(9).field(1).u8(8).field(4).u8(1).u8(1).field(3).u8(1).u8(1)
        .field(5).str("late").field(6).int32(0).field(8).u8(7).field(20).int32(0).end();
    auto other = decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, reordered.data);
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(9, other->error);
    EXPECT_TRUE(other->failed);
    EXPECT_STREQ("late", other->errorText);
    Bytes badLength;
    badLength.object(OBJ_FUTURERESULT_ID).field(1).u8(8).field(2).int32(0).field(3).u8(1).u8(1).field(4).u8(1).u8(0)
        .field(5).u8(7).field(6).int32(4).field(7).u8(14).be32(3).raw("abc").field(8).u8(7).field(20).int32(0).end();
    EXPECT_EQ(nullptr, decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, badLength.data));
    EXPECT_EQ(nullptr, generalOnly(badLength.data));
}

TEST_F(AssetTest, ExecutionRecordsRoundTrip) {
    // A value count larger than the fields present fails instead of allocating.
    Bytes lying;
    lying.object(OBJ_FUTURERESULT_ID).field(1).u8(8).field(2).int32(0).field(3).u8(1).u8(1).field(4).u8(1).u8(0)
        .field(5).u8(7).field(6).int32(0).field(8).u8(7).field(20).int32(1000000000).end();
    EXPECT_EQ(nullptr, decodedBody<FutureResult>(OBJ_FUTURERESULT_ID, lying.data));

    ExecuteUpdate u(2, 0.75, "half way");
    auto u2 = decodedBody<ExecuteUpdate>(OBJ_EXECUTEUPDATE_ID, encodedBody(OBJ_EXECUTEUPDATE_ID, &u));
    ASSERT_NE(nullptr, u2);
    EXPECT_EQ(2, u2->status);
    EXPECT_EQ(0.75, u2->amount);
    EXPECT_STREQ("half way", u2->message);

    FileIo block(4096, 10000, 4, reinterpret_cast<const unsigned char*>("wxyz"));
    auto b2 = decodedBody<FileIo>(OBJ_FILEIO_ID, encodedBody(OBJ_FILEIO_ID, &block));
    ASSERT_NE(nullptr, b2);
    EXPECT_EQ(4096, b2->offset);
    EXPECT_EQ(10000, b2->size);
    ASSERT_EQ(4, b2->length);
    EXPECT_EQ(0, memcmp("wxyz", b2->bytes, 4));
    FileIo failure(DirError::E_IO, "read failed");
    auto f2 = decodedBody<FileIo>(OBJ_FILEIO_ID, encodedBody(OBJ_FILEIO_ID, &failure));
    ASSERT_NE(nullptr, f2);
    EXPECT_EQ(DirError::E_IO, f2->error);
    EXPECT_STREQ("read failed", f2->text);
    EXPECT_EQ(0, f2->length);
}

TEST_F(AssetTest, CacheEntriesLiveThirtySecondsAndTheNewestWins) {
    AssetCache::_clock = fakeClock;
    _now = 1000;
    std::unique_ptr<Asset> old(makeAsset("H1", "10.0.0.1"));
    AssetCache::addAssetCache(old.get());
    _now = 1010;
    std::unique_ptr<Asset> newer(makeAsset("H1", "10.0.0.2"));
    AssetCache::addAssetCache(newer.get());
    Endpoint e;
    e.id = strdup("H1");  // same id, other kind: never answers an asset lookup
    AssetCache::addAssetCache(&e);

    std::unique_ptr<Asset> got(AssetCache::assetCacheLookup("H1"));
    ASSERT_NE(nullptr, got);
    EXPECT_STREQ("10.0.0.2", got->host);
    EXPECT_NE(newer.get(), got.get());
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookup("h1"));

    _now = 1040;  // the newer one is exactly 30 seconds old
    got.reset(AssetCache::assetCacheLookup("H1"));
    ASSERT_NE(nullptr, got);
    EXPECT_STREQ("10.0.0.2", got->host);
    std::unique_ptr<Endpoint> ep(AssetCache::assetCacheLookupEndpoint("H1"));
    ASSERT_NE(nullptr, ep);
    _now = 1041;
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookup("H1"));
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookupEndpoint("H1"));

    // A clock set back leaves no entry living past its thirty seconds.
    _now = 1500;
    AssetCache::addAssetCache(newer.get());
    _now = 1490;
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookup("H1"));
    _now = 1500;
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookup("H1"));

    _now = 2000;
    AssetCache::addAssetCache(old.get());
    AssetCache::addAssetCache(newer.get());
    AssetCache::forceRemove("H1");  // the newest entry goes first
    got.reset(AssetCache::assetCacheLookup("H1"));
    ASSERT_NE(nullptr, got);
    EXPECT_STREQ("10.0.0.1", got->host);
}

TEST_F(AssetTest, TheMapperAnswersInsteadOfTheCache) {
    struct Mapper : AssetMapper {
        Asset* lookupAsset(const char* id) override {
            asked = id;
            return strcmp(id, "known") == 0 ? makeAsset("known", "192.0.2.9") : nullptr;
        }
        Endpoint* lookupEndpoint(const char*) override { return nullptr; }
        std::string asked;
    } mapper;
    std::unique_ptr<Asset> cached(makeAsset("H5", "10.0.0.5"));
    assetMapper = &mapper;
    AssetCache::addAssetCache(cached.get());
    EXPECT_EQ(nullptr, AssetCache::assetCacheLookup("H5"));
    EXPECT_EQ("H5", mapper.asked);
    std::unique_ptr<Asset> got(AssetCache::assetCacheLookup("known"));
    ASSERT_NE(nullptr, got);
    EXPECT_STREQ("192.0.2.9", got->host);
    assetMapper = nullptr;
    got.reset(AssetCache::assetCacheLookup("H5"));
    EXPECT_NE(nullptr, got);
}

}  // namespace
