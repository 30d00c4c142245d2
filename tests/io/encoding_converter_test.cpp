#include "io/encoding_converter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace {

// Collects what a converter produces.
class Collector : public EncodingOutput {
public:
    void fromConverter(const char* data, int count) override {
        text.append(data, static_cast<size_t>(count));
        pieces++;
    }
    void encodingError(const char* message) override { errors.push_back(message); }
    std::string text;
    int pieces = 0;
    std::vector<std::string> errors;
};

// Converts bytes given as the listed chunks, then ends the text.
std::string convert(const char* encoding, const std::vector<std::string>& chunks, Collector* out = nullptr) {
    Collector local;
    Collector& c = out ? *out : local;
    EncodingConverter converter(&c, encoding);
    for (const std::string& chunk : chunks) converter.append(chunk.data(), static_cast<int>(chunk.size()));
    converter.finish();
    EXPECT_TRUE(c.errors.empty()) << c.errors.front();
    return c.text;
}

// Shift-JIS (two-byte and half-width katakana) and GB18030 (two- and
// four-byte sequences), with their UTF-8 forms, from an independent encoder.
const std::string kSjis = "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67\x81\x41\x94\xBC\x8A\x70\xB6\xC5";
const std::string kSjisUtf8 =
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88\xE3\x80\x81"
    "\xE5\x8D\x8A\xE8\xA7\x92\xEF\xBD\xB6\xEF\xBE\x85";
const std::string kGb = "\xD6\xD0\xCE\xC4\xA2\xE3\x94\x39\xFC\x36\xBA\xBA\xD7\xD6";
const std::string kGbUtf8 = "\xE4\xB8\xAD\xE6\x96\x87\xE2\x82\xAC\xF0\x9F\x98\x80\xE6\xB1\x89\xE5\xAD\x97";

TEST(EncodingConverter, MultiByteCharactersSurviveEveryChunkBoundary) {
    struct {
        const char* encoding;
        const std::string& in;
        const std::string& want;
    } cases[] = {{"Shift_JIS", kSjis, kSjisUtf8}, {"GB18030", kGb, kGbUtf8}, {"UTF-8", kGbUtf8, kGbUtf8}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.want, convert(c.encoding, {c.in})) << c.encoding;
        for (size_t cut = 1; cut < c.in.size(); cut++) {
            EXPECT_EQ(c.want, convert(c.encoding, {c.in.substr(0, cut), c.in.substr(cut)})) << c.encoding << " cut " << cut;
        }
        std::vector<std::string> bytes;
        for (char b : c.in) bytes.push_back(std::string(1, b));
        EXPECT_EQ(c.want, convert(c.encoding, bytes)) << c.encoding << " byte by byte";
    }
}

TEST(EncodingConverter, NamedAndDetectedSets) {
    // Latin-1, named.
    EXPECT_EQ("caf\xC3\xA9 \xC3\xBC\xC3\x9F", convert("ISO-8859-1", {"caf\xE9 \xFC\xDF"}));

    // UTF-16 with a byte-order mark, detected from the first chunk: the mark
    // does not reach the text, and a character split across chunks survives.
    std::string ascii = "name,city\r\nZo\xC3\xAB,K\xC3\xB6ln\r\n";
    std::string le("\xFF\xFE", 2);
    const char16_t units[] = u"name,city\r\nZo\u00EB,K\u00F6ln\r\n";
    for (const char16_t* u = units; *u; u++) {
        le.push_back(static_cast<char>(*u & 0xFF));
        le.push_back(static_cast<char>(*u >> 8));
    }
    Collector c;
    EncodingConverter detected(&c, "*");
    EXPECT_EQ(nullptr, detected.sourceName());
    detected.append(le.data(), 7);
    detected.append(le.data() + 7, static_cast<int>(le.size()) - 7);
    detected.finish();
    EXPECT_TRUE(c.errors.empty());
    EXPECT_EQ(ascii, c.text);
    EXPECT_STREQ("UTF-16", detected.sourceName());

    // Big-endian with a mark, named by the order-neutral name.
    std::string be("\xFE\xFF\x00\x41\x00\xE9", 6);
    EXPECT_EQ("A\xC3\xA9", convert("UTF-16", {be}));

    // UTF-8 detected from its mark: the mark does not reach the text either,
    // however the text is cut into chunks; one further on is text and stays.
    std::string utf8 = "\xEF\xBB\xBFname,city\r\nZo\xC3\xAB,K\xC3\xB6ln,\xEF\xBB\xBF\r\n";
    for (size_t cut : {size_t(0), size_t(4), utf8.size()}) {
        Collector u;
        EncodingConverter marked(&u, "*");
        marked.append(utf8.data(), static_cast<int>(cut));
        marked.append(utf8.data() + cut, static_cast<int>(utf8.size() - cut));
        marked.finish();
        EXPECT_TRUE(u.errors.empty());
        EXPECT_EQ(utf8.substr(3), u.text) << "cut " << cut;
        EXPECT_STREQ("UTF-8", marked.sourceName());
    }
}

TEST(EncodingConverter, LargeChunksAndTruncatedEnds) {
    // One chunk larger than the buffers, which doubles in size: every piece
    // arrives, in order.
    std::string latin(10000, '\xE9');
    latin += "end";
    Collector c;
    std::string out = convert("ISO-8859-1", {latin}, &c);
    ASSERT_EQ(20003u, out.size());
    EXPECT_EQ("\xC3\xA9", out.substr(19998, 2));
    EXPECT_EQ("end", out.substr(20000));
    EXPECT_GE(c.pieces, 5);

    // A sequence cut by the end of the text becomes U+FFFD, not nothing.
    EXPECT_EQ("\xE4\xB8\xAD\xEF\xBF\xBD", convert("GB18030", {kGb.substr(0, 3)}));
    // Bytes that are not the set's are substituted, and conversion goes on.
    std::string bad = convert("Shift_JIS", {std::string("a\x85\x40z")});
    EXPECT_EQ('a', bad.front());
    EXPECT_EQ('z', bad.back());
}

TEST(EncodingConverter, UnknownAndUndetectableSetsAreReportedOnceAndStopConversion) {
    Collector c;
    EncodingConverter converter(&c, "no-such-charset");
    ASSERT_EQ(1u, c.errors.size());
    EXPECT_EQ(0u, c.errors[0].find("Invalid encoding. Cannot create ucnv converter for no-such-charset, U_"))
        << c.errors[0];
    EXPECT_TRUE(converter.failed());
    converter.append("abc", 3);
    converter.finish();
    EXPECT_EQ("", c.text);
    EXPECT_EQ(1u, c.errors.size());

    // Detection that finds no set at all says so, once, and converts nothing.
    Collector none;
    EncodingConverter undetected(&none, "*");
    undetected.append("\xFF", 1);
    undetected.append("abc", 3);
    undetected.finish();
    EXPECT_EQ(std::vector<std::string>{"Encoding converter could not determine character set given this input"},
              none.errors);
    EXPECT_TRUE(undetected.failed());
    EXPECT_EQ("", none.text);

    // Detection logs its belief.
    LogCapture log;
    _debug_io.set(LOG_DEBUG);
    Collector d;
    EncodingConverter detect(&d, "*");
    std::string text = "Plain ASCII text that any detector can place.\n";
    detect.append(text.data(), static_cast<int>(text.size()));
    _debug_io.set(LOG_INFO);
    EXPECT_EQ(text, d.text);
    EXPECT_TRUE(log.contains("Converter: detection believes the character set is ")) << log.text();
}

}  // namespace
