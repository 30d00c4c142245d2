// Inflating received data: stored blocks taken directly, compressed blocks
// (also after stored ones that they refer back to) and gzip through zlib,
// in pieces cut anywhere; corrupt streams refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "ft/ft_inflate.h"
#include "tests/support/bytes.h"

namespace {

// One zlib (or gzip) stream of the segments, each deflated at its own level,
// so that stored and compressed blocks alternate.
std::string deflateSegments(const std::vector<std::pair<std::string, int>>& segments, bool gzip) {
    z_stream z{};
    EXPECT_EQ(Z_OK, deflateInit2(&z, segments[0].second, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY));
    std::string out;
    unsigned char buf[65536];
    for (size_t i = 0; i < segments.size(); i++) {
        if (i > 0) {
            // Switching levels ends the current block.
            z.avail_in = 0;
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflateParams(&z, segments[i].second, Z_DEFAULT_STRATEGY);
            out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        }
        const std::string& s = segments[i].first;
        z.next_in = reinterpret_cast<unsigned char*>(const_cast<char*>(s.data()));
        z.avail_in = static_cast<uInt>(s.size());
        int flush = i + 1 == segments.size() ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            rc = deflate(&z, flush);
            out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        } while (z.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    }
    deflateEnd(&z);
    return out;
}

// Feeds the stream in pieces of random length (at most maxPiece); the
// output, or "ERROR: " and the problem.
std::string inflatePieces(FtInflater* inf, const std::string& stream, size_t maxPiece, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out;
    inf->reset();
    FtInflater::Sink sink = [&out](const unsigned char* p, size_t n) {
        out.append(reinterpret_cast<const char*>(p), n);
        return true;
    };
    for (size_t at = 0; at < stream.size();) {
        size_t n = std::min<size_t>(stream.size() - at, 1 + gen() % maxPiece);
        if (inf->feed(reinterpret_cast<const unsigned char*>(stream.data()) + at, n, sink) != 0)
            return "ERROR: " + inf->problem();
        at += n;
    }
    return out;
}

}  // namespace

TEST(FtInflate, StoredCompressedAndMixedStreamsComeOutWholeHoweverCut) {
    const std::string noise = randomBytes(140000, 1);
    std::string text;
    while (text.size() < 100000) text += "the same line again, and again, " + std::to_string(text.size() % 977) + "\n";
    // Compressed segments after stored ones refer back into them: the
    // repeated noise can only be found in the earlier, stored output.
    const std::string echo = noise.substr(130000, 10000) + text.substr(0, 5000) + noise.substr(135000, 5000);
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> segments;
        bool gzip;
    } cases[] = {
        {"stored", {{noise, 0}}, false},
        {"empty", {{"", 0}}, false},
        {"compressed", {{text, 6}}, false},
        {"stored then compressed", {{noise, 0}, {echo, 6}, {text, 1}}, false},
        {"compressed then stored", {{text, 9}, {noise.substr(0, 70000), 0}, {echo, 6}}, false},
        {"gzip", {{noise.substr(0, 50000), 0}, {text, 6}}, true},
    };
    FtInflater inf;
    for (const Case& c : cases) {
        std::string expected;
        for (const auto& s : c.segments) expected += s.first;
        const std::string stream = deflateSegments(c.segments, c.gzip);
        for (size_t maxPiece : {size_t(3), size_t(5000), size_t(1) << 20}) {
            std::string got = inflatePieces(&inf, stream, maxPiece, static_cast<unsigned>(maxPiece));
            ASSERT_EQ(expected.size(), got.size()) << c.name << " " << maxPiece << " " << got.substr(0, 80);
            EXPECT_TRUE(expected == got) << c.name << " " << maxPiece;
            EXPECT_TRUE(inf.finished()) << c.name;
            EXPECT_EQ(static_cast<long long>(expected.size()), inf.produced());
        }
    }
}

TEST(FtInflate, CorruptTruncatedOrOverlongStreamsAreRefused) {
    const std::string data = randomBytes(100000, 2);
    const std::string good = deflateSegments({{data, 0}, {data.substr(0, 20000), 6}}, false);
    FtInflater inf;
    auto problemOf = [&](const std::string& stream) {
        std::string r = inflatePieces(&inf, stream, 3000, 5);
        return r.compare(0, 7, "ERROR: ") == 0 ? r.substr(7) : std::string(inf.finished() ? "finished" : "unfinished");
    };
    EXPECT_EQ("finished", problemOf(good));
    std::string badCheck = good;
    badCheck.back() ^= 1;
    EXPECT_NE(std::string::npos, problemOf(badCheck).find("incorrect data check"));
    std::string badLength = good;
    badLength[2 + 3] ^= 0x10;  // the first stored block's NLEN
    EXPECT_NE(std::string::npos, problemOf(badLength).find("invalid stored block lengths"));
    std::string badHeader = good;
    badHeader[1] ^= 1;
    EXPECT_NE(std::string::npos, problemOf(badHeader).find("header"));
    std::string badBlockType = good;
    badBlockType[2] = 0x07;  // a final block of the reserved type 3
    EXPECT_NE(std::string::npos, problemOf(badBlockType).find("corrupt"));
    EXPECT_EQ("unfinished", problemOf(good.substr(0, good.size() - 1)));
    EXPECT_EQ("unfinished", problemOf(good.substr(0, 40000)));
    EXPECT_NE(std::string::npos, problemOf(good + "x").find("after the end"));
    // A refusing sink stops the stream for good.
    inf.reset();
    auto refuse = [](const unsigned char*, size_t) { return false; };
    EXPECT_EQ(-1, inf.feed(reinterpret_cast<const unsigned char*>(good.data()), good.size(), refuse));
    EXPECT_EQ("output refused", inf.problem());
    EXPECT_EQ(-1, inf.feed(reinterpret_cast<const unsigned char*>(good.data()), 1,
                           [](const unsigned char*, size_t) { return true; }));
}
