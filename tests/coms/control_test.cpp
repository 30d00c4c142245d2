// The control-item codec, message frames and the latency arithmetic,
// without any connection.
#include "coms/control.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coms/frame.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"
#include "tests/support/log_capture.h"

namespace {

// A readable summary of one decoded item.
std::string describe(const ControlItem& item) {
    char text[200];
    switch (item.code) {
    case C_TYPE: snprintf(text, sizeof(text), "TYPE %u/%d", item.type, item.flag); break;
    case C_TYPE2: snprintf(text, sizeof(text), "TYPE2 %u/%d/v%u", item.type, item.flag, item.typeVersion); break;
    case C_SET_TIMING: snprintf(text, sizeof(text), "SET_TIMING %u/%u", item.lost, item.heartbeat); break;
    case C_COMPLETE2: snprintf(text, sizeof(text), "COMPLETE2 %u", item.serverVersion); break;
    case C_GET_LD: snprintf(text, sizeof(text), "GET_LD %u.%u", item.sec, item.usec); break;
    case C_LD_REPLY:
        snprintf(text, sizeof(text), "LD_REPLY %u.%u %u.%u", item.sec, item.usec, item.replySec, item.replyUsec);
        break;
    case C_MESG: {
        int32_t v = 0;
        std::string s;
        char* str = nullptr;
        item.message->readInt32(&v);
        item.message->readString(&str);
        if (str != nullptr) s = str;
        free(str);
        snprintf(text, sizeof(text), "MESG %u %d %s", item.message->getType(), v, s.c_str());
        delete item.message;
        break;
    }
    default: snprintf(text, sizeof(text), "CODE %d", item.code); break;
    }
    return text;
}

// Feeds the stream in the given pieces; the items in order, "REFUSED" for a
// refused frame.
std::vector<std::string> decode(const std::string& stream, const std::vector<size_t>& cuts) {
    ControlDecoder decoder;
    std::vector<std::string> out;
    size_t start = 0;
    std::vector<size_t> bounds = cuts;
    bounds.push_back(stream.size());
    for (size_t end : bounds) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(stream.data()) + start;
        size_t n = end - start;
        while (n > 0) {
            size_t used = 0;
            ControlItem item;
            int rc = decoder.feed(p, n, &used, &item);
            EXPECT_LE(used, n);
            p += used;
            n -= used;
            if (rc < 0) {
                out.push_back("REFUSED");
                return out;
            }
            if (rc == 1) out.push_back(describe(item));
        }
        start = end;
    }
    EXPECT_TRUE(decoder.idle());
    return out;
}

// The wire bytes of m with its frame header set.
std::string wireOf(Message* m) {
    setFrameLength(m);
    size_t n = 0;
    unsigned char* bytes = m->copyBytes(&n);
    std::string s(reinterpret_cast<char*>(bytes), n);
    free(bytes);
    return s;
}

std::string frame(int type, int32_t value, const char* text = nullptr) {
    Message m(type);
    m.writeInt32(value);
    if (text != nullptr) m.writeString(text);
    return wireOf(&m);
}

// Every kind of item, a frame, and codes nobody knows between them.
std::string everyItem() {
    Bytes b;
    b.u8(C_HB);
    b.u8(C_TYPE).be32(448).u8(1);
    b.u8(0).u8(10).u8(99);  // unknown codes
    b.u8(C_TYPE2).be32(7).u8(0).be32(2);
    b.raw(frame(224, 5, "hello"));
    b.u8(C_CLOSE).u8(C_COMPLETE).u8(C_AUTHFAIL).u8(C_ENABLE_TIMING);
    b.u8(C_SET_TIMING).be32(60000).be32(10000);
    b.u8(255);
    b.u8(C_COMPLETE2).be32(3);
    b.u8(C_KILL).u8(C_NOT_WHITELIST);
    b.u8(C_GET_LD).be32(10).be32(0);
    b.u8(C_LD_REPLY).be32(10).be32(0).be32(10).be32(600000);
    b.raw(frame(0xFFFFFF, -1, ""));
    return b.data;
}

const std::vector<std::string> kEveryItem = {
    "CODE 1",  "TYPE 448/1", "TYPE2 7/0/v2", "MESG 224 5 hello",        "CODE 4",
    "CODE 5",  "CODE 6",     "CODE 7",       "SET_TIMING 60000/10000",  "COMPLETE2 3",
    "CODE 13", "CODE 14",    "GET_LD 10.0",  "LD_REPLY 10.0 10.600000", "MESG 16777215 -1 "};

TEST(ControlDecoder, DecodesEveryItemWhateverTheSplit) {
    std::string stream = everyItem();
    EXPECT_EQ(kEveryItem, decode(stream, {}));
    // Two pieces, cut at every byte boundary.
    for (size_t cut = 1; cut < stream.size(); cut++) ASSERT_EQ(kEveryItem, decode(stream, {cut})) << "cut " << cut;
    // One byte at a time.
    std::vector<size_t> cuts;
    for (size_t i = 1; i < stream.size(); i++) cuts.push_back(i);
    EXPECT_EQ(kEveryItem, decode(stream, cuts));
}

// The receiving side of frames is in the decoder test above. Even an empty
// message gets its header.
TEST(MessageFrame, SenderBytes) {
    EXPECT_EQ("03 00 00 00 05 00 00 00 E0 02 00 00 00 05", Bytes::hex(frame(224, 5).data(), 14));
    Message empty(7);
    std::string bytes = wireOf(&empty);
    EXPECT_EQ("03 00 00 00 00 00 00 00 07", Bytes::hex(bytes.data(), bytes.size()));
}

TEST(MessageFrame, RefusedHeadersAreLoggedAndEndTheStream) {
    LogCapture logs;
    struct Case {
        uint32_t length, type;
        const char* text;
    } cases[] = {
        {0, 1, "Less than or zero size message"},
        {0x80000000u, 1, "Less than or zero size message"},
        {0x50000000u, 1, "packet too large 2G"},
        {1, 0x1000000u, "illogical message type"},
    };
    for (const Case& c : cases) {
        logs.clear();
        std::string stream = Bytes().u8(C_HB).u8(C_MESG).be32(c.length).be32(c.type).u8(2).u8(C_HB).data;
        EXPECT_EQ((std::vector<std::string>{"CODE 1", "REFUSED"}), decode(stream, {})) << c.text;
        EXPECT_TRUE(logs.contains(c.text)) << logs.text();
    }
    // The largest accepted length and type pass the header checks.
    Message big;
    Bytes header = Bytes().be32(0x4FFFFFFF).be32(0xFFFFFF);
    size_t n = header.size();
    EXPECT_EQ(0, readFrame(&big, reinterpret_cast<const unsigned char*>(header.c_str()), n));
    EXPECT_EQ(0x4FFFFFFFu, frameLength(&big));
}

// A large body is stored once: in one buffer of exactly its size, filled
// where it lies whether the bytes come through feed or are read straight
// into the room the decoder offers, and a block that fills the body is
// handed over whole to the reader rather than copied.
TEST(MessageFrame, ALargeBodyIsOneBufferHandedOverWhole) {
    std::string payload(20u << 20, '\0');
    for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<char>(i * 7 + i / 4096);
    Message m(9);
    m.writeBytes(payload.data(), static_cast<uint32_t>(payload.size()));
    setFrameLength(&m);
    size_t n = 0;
    unsigned char* wire = m.copyBytes(&n);
    const size_t kPiece = 100000;
    for (bool direct : {false, true}) {
        ControlDecoder decoder;
        ControlItem item;
        item.message = nullptr;
        size_t at = 0, used = 0;
        // The header and the first body bytes.
        ASSERT_EQ(0, decoder.feed(wire, 20, &used, &item));
        at = used;
        while (at < n && item.message == nullptr) {
            if (direct) {
                size_t room = 0;
                unsigned char* space = decoder.bodySpace(&room);
                ASSERT_NE(nullptr, space);
                ASSERT_GT(room, 0u);
                ASSERT_LE(room, n - at) << "never past the body";
                size_t take = std::min(room, kPiece);
                memcpy(space, wire + at, take);
                at += take;
                decoder.bodyCommit(take, &item);
            } else {
                size_t take = std::min(n - at, kPiece);
                decoder.feed(wire + at, take, &used, &item);
                ASSERT_EQ(take, used);
                at += take;
            }
        }
        ASSERT_NE(nullptr, item.message) << direct;
        EXPECT_EQ(n, at);
        EXPECT_EQ(1, item.message->bufferCount());
        EXPECT_EQ(n - 9, item.message->totalBytes());
        unsigned char* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(0, item.message->readBytes(&data, &length));
        EXPECT_TRUE(length == payload.size() && memcmp(data, payload.data(), length) == 0);
        EXPECT_EQ(0u, item.message->totalBytes()) << "handed over, not copied";
        free(data);
        delete item.message;
        EXPECT_TRUE(decoder.idle());
    }
    free(wire);
}

TEST(Latency, WorkedExampleAndBorrowing) {
    int latency = 0, drift = 0;
    computeLatency({10, 0}, {10, 600000}, {11, 0}, &latency, &drift);
    EXPECT_EQ(500, latency);
    EXPECT_EQ(400, drift);  // d = 400 is not above the latency

    // The replier's clock runs behind: d above the latency leaves the drift.
    computeLatency({100, 0}, {99, 0}, {100, 200000}, &latency, &drift);
    EXPECT_EQ(100, latency);
    EXPECT_EQ(1100, drift);
}

}  // namespace
