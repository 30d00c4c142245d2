// The tagged encoding itself: exact bytes, the readers and writers, the
// field index, buffer chaining and release, and the sticky errors.
#include "dirbase/message.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "tests/support/encoding.h"
#include "tests/support/bytes.h"
#include "tests/support/log_capture.h"

namespace {

// A small record for the field index: a (1, int32), b (2, string), c (3, int64).
const unsigned int kProbeId = 60001;

class ProbeRecord : public Translatable {
public:
    int32_t a = 0;
    char* b = nullptr;
    int64_t c = 0;
    ~ProbeRecord() override { free(b); }
    char* toString(Parser*) override { return strdup("probe"); }
    unsigned int getObjectID() const override { return kProbeId; }
};

int ProbeXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const ProbeRecord* p = static_cast<const ProbeRecord*>(*obj);
        m->writeInt32Field(1, p->a);
        m->writeStringField(2, p->b);
        m->writeInt64Field(3, p->c);
        return m->getError() != 0 ? -1 : 0;
    }
    ProbeRecord* p = new ProbeRecord();
    if (m->readInt64Field(3, &p->c) != 0 || m->readStringField(2, &p->b) != 0 || m->readInt32Field(1, &p->a) != 0) {
        delete p;
        return -1;
    }
    *obj = p;
    return 0;
}

// Exposes the buffer chain.
class ChainMessage : public Message {
public:
    using Message::Message;
    std::vector<size_t> capacities() const {
        std::vector<size_t> out;
        for (_Buffer* b = _first; b != nullptr; b = b->next) out.push_back(b->capacity);
        return out;
    }
    // Adds received bytes in read mode, as the frame reader does.
    void feed(const char* data, size_t n) { appendBytes(data, n); }
};

std::string body(const MessageBase& m) {
    size_t n;
    unsigned char* bytes = m.copyBytes(&n);
    std::string out = n >= 9 ? Bytes::hex(bytes + 9, n - 9) : "";
    free(bytes);
    return out;
}

class MessageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_CRITICAL;  // the failure cases log warnings by design
        Directory::init();
        MessageBase::registerObjectXlator(kProbeId, ProbeXlator);
    }

    // Reads one probe record from bytes.
    static int readProbe(const Bytes& bytes, ProbeRecord** out) {
        Message m(bytes.c_str(), bytes.size());
        Translatable* obj = reinterpret_cast<Translatable*>(1);  // to see that a failure clears it
        int rc = m.readObject(kProbeId, &obj);
        *out = static_cast<ProbeRecord*>(obj);
        return rc;
    }
};

TEST_F(MessageTest, WritesTheDocumentedBytesAndReadsThemBack) {
    Message m(1);
    const char* names[] = {"one", "", "three"};
    const unsigned char block[] = {0, 1, 2, 0xFF};
    m.writeBool(true);
    m.writeInt32(-7);
    m.writeInt64(-5000000000LL);
    m.writeFloat(0.5f);
    m.writeDouble(-2.25);
    m.writeString("ab");
    m.writeString("");
    m.writeString(nullptr);
    m.writeStringArray(names, 3);
    m.writeStringArray(nullptr, 0);
    m.writeBytes(block, sizeof(block));
    m.writeCmd(42);
    EXPECT_EQ("01 01 02 FF FF FF F9 03 FF FF FF FE D5 FA 0E 00 04 3F 00 00 00 05 C0 02 00 00 00 00 00 00 "
              "06 00 00 00 02 61 62 06 00 00 00 00 07 "
              "0F 00 00 00 03 00 00 00 03 6F 6E 65 00 00 00 00 00 00 00 05 74 68 72 65 65 07 "
              "0E 00 00 00 04 00 01 02 FF 10 00 00 00 2A",
              body(m));
    m.switchToRead();
    bool b = false;
    int32_t i32 = 0;
    int64_t i64 = 0;
    float f = 0;
    double d = 0;
    char* s = nullptr;
    ASSERT_EQ(0, m.readBool(&b));
    EXPECT_TRUE(b);
    ASSERT_EQ(0, m.readInt32(&i32));
    EXPECT_EQ(-7, i32);
    ASSERT_EQ(0, m.readInt64(&i64));
    EXPECT_EQ(-5000000000LL, i64);
    ASSERT_EQ(0, m.readFloat(&f));
    EXPECT_EQ(0.5f, f);
    ASSERT_EQ(0, m.readDouble(&d));
    EXPECT_EQ(-2.25, d);
    for (const char* expected : {"ab", "", static_cast<const char*>(nullptr)}) {
        ASSERT_EQ(0, m.readString(&s));
        EXPECT_STREQ(expected, s);
        free(s);
    }
    char** strings;
    int count;
    ASSERT_EQ(0, m.readStringArray(&strings, &count));
    ASSERT_EQ(3, count);
    EXPECT_STREQ("one", strings[0]);
    EXPECT_STREQ("", strings[1]);
    EXPECT_STREQ("three", strings[2]);
    EXPECT_EQ(nullptr, strings[3]);
    MessageBase::freeStringArray(strings);
    ASSERT_EQ(0, m.readStringArray(&strings, &count));
    EXPECT_EQ(nullptr, strings);
    EXPECT_EQ(0, count);
    unsigned char* data;
    uint32_t length;
    ASSERT_EQ(0, m.readBytes(&data, &length));
    ASSERT_EQ(sizeof(block), length);
    EXPECT_EQ(0, memcmp(block, data, length));
    free(data);
    ASSERT_EQ(0, m.readCmd(&i32));
    EXPECT_EQ(42, i32);
    // The end: -11, and it sticks.
    EXPECT_EQ(MSG_E_EOF, m.readInt32(&i32));
    EXPECT_EQ(MSG_E_EOF, m.getError());

    Message field(0);
    field.writeInt32Field(3, 1);
    EXPECT_EQ("0B 03 02 00 00 00 01", body(field));
    Message any(0);
    Any five(5);
    any.writeObject(OBJ_ANY_ID, &five);
    EXPECT_EQ("09 00 00 03 E8 0B 01 02 00 00 00 03 0B 02 02 00 00 00 05 0B 03 02 00 00 00 00 0A", body(any));
    // A message to send reserves the frame header in front of its body.
    Message framed(224);
    framed.writeInt32(5);
    size_t n;
    unsigned char* bytes = framed.copyBytes(&n);
    EXPECT_EQ("03 00 00 00 00 00 00 00 E0 02 00 00 00 05", Bytes::hex(bytes, n));
    free(bytes);
    EXPECT_EQ(224u, framed.getType());
}

TEST_F(MessageTest, EveryMessageIsCounted) {
    long before = MessageBase::_n_messages.load();
    {
        Message a(1), b, c("x", 1);
    }
    EXPECT_EQ(before + 3, MessageBase::_n_messages.load());
}

TEST_F(MessageTest, AWrongTagIsPushedBackAndTheErrorSticksUntilRecover) {
    Message m(1);
    m.writeString("kept");
    m.writeInt32(9);
    m.switchToRead();

    int32_t v = 0;
    EXPECT_EQ(MSG_E_BAD_TYPE, m.readInt32(&v));
    char* s = nullptr;
    EXPECT_EQ(MSG_E_BAD_TYPE, m.readString(&s)) << "every read fails while the error sticks";
    EXPECT_EQ(nullptr, s);
    m.recover();
    ASSERT_EQ(0, m.readString(&s)) << "the tag was pushed back";
    EXPECT_STREQ("kept", s);
    free(s);
    ASSERT_EQ(0, m.readInt32(&v));
    EXPECT_EQ(9, v);

    // A value cut short: -12.
    Bytes cut{2, 0, 0};
    Message shortValue(cut.c_str(), cut.size());
    EXPECT_EQ(MSG_E_INCOMPLETE, shortValue.readInt32(&v));
    // A string whose length runs past the data: -12, nothing allocated up front.
    Bytes huge = Bytes().u8(6).be32(0xFFFFFFF0u).raw("abc");
    Message hugeString(huge.c_str(), huge.size());
    EXPECT_EQ(MSG_E_INCOMPLETE, hugeString.readString(&s));
    EXPECT_EQ(nullptr, s);
}

TEST_F(MessageTest, FieldsAreFoundInAnyOrderAndUnknownOnesAreSkipped) {
    // Written c, unknown 9 (a nested object), a, b, then a duplicate a.
    Bytes bytes = Bytes().object(kProbeId);
    bytes.field(3).int64(1LL << 40);
    bytes.field(9).object(77).field(1).str("ignored").field(2).u8(15).be32(1).be32(1).raw("x").end();
    bytes.field(1).int32(11);
    bytes.field(2).str("bee");
    bytes.field(1).int32(99);
    bytes.end();
    ProbeRecord* p;
    ASSERT_EQ(0, readProbe(bytes, &p));
    EXPECT_EQ(11, p->a) << "the first occurrence wins";
    EXPECT_STREQ("bee", p->b);
    EXPECT_EQ(1LL << 40, p->c);
    delete p;

    // An int64 where an int32 field is read keeps the low 32 bits.
    Bytes wide = Bytes().object(kProbeId).field(1).int64(0x1234567800000005LL).field(2).u8(7).field(3).int64(0).end();
    ASSERT_EQ(0, readProbe(wide, &p));
    EXPECT_EQ(5, p->a);
    EXPECT_EQ(nullptr, p->b);
    delete p;
}

TEST_F(MessageTest, LongObjectsFindEachRepeatedFieldNumberInOneStep) {
    // Field numbers past 255 repeat their low byte: an array's element k is
    // the ((k + 1) / 256)-th field of its byte. Here each run of 256 fields
    // is written backwards, so no field is where its number says and every
    // element is looked up; each byte's repeats still come in order.
    const int count = 1000;
    Bytes shuffled = Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(count);
    for (int base = 0; base < count; base += 256) {
        for (int i = std::min(base + 255, count - 1); i >= base; i--) {
            shuffled.field((i + 2) & 0xFF).object(OBJ_ANY_ID).field(1).int32(ANY_INT32).field(2).int32(i * 3);
            shuffled.field(3).int32(0).end();
        }
    }
    shuffled.end();
    Message m(shuffled.c_str(), shuffled.size());
    Translatable* obj = nullptr;
    ASSERT_EQ(0, m.readObject(OBJ_ANYARRAY_ID, &obj));
    std::unique_ptr<AnyArray> array(static_cast<AnyArray*>(obj));
    ASSERT_EQ(count, array->count);
    for (int i = 0; i < count; i++) {
        ASSERT_TRUE(array->elements[i] != nullptr) << i;
        EXPECT_EQ(ANY_INT32, array->elements[i]->type) << i;
        EXPECT_EQ(i * 3, array->elements[i]->value.i32) << i;
    }

    // Two million empty slots (6 MB from a peer): each lookup used to walk
    // the repeats of its byte before it, minutes in all; linear, seconds.
    const uint32_t slots = 2000000;
    Bytes empty = Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(static_cast<int32_t>(slots));
    for (uint32_t i = 0; i < slots; i++) empty.field(static_cast<int>((i + 2) & 0xFF)).u8(TAG_NULL_OBJECT);
    empty.end();
    Message big(empty.c_str(), empty.size());
    time_t start = time(nullptr);
    ASSERT_EQ(0, big.readObject(OBJ_ANYARRAY_ID, &obj));
    EXPECT_LT(time(nullptr) - start, 30) << "a hang-sized margin, not a speed target";
    array.reset(static_cast<AnyArray*>(obj));
    ASSERT_EQ(static_cast<int>(slots), array->count);
    EXPECT_EQ(nullptr, array->elements[slots - 1]);
}

TEST_F(MessageTest, ObjectHeadersAndTheIndexerReportTheirErrors) {
    struct Case {
        Bytes bytes;
        int code;
    } cases[] = {
        {Bytes().object(kProbeId + 1).end(), MSG_E_BAD_TYPE},  // another id
        {Bytes(), MSG_E_EOF},
        {Bytes().object(kProbeId).field(1).int32(1), MSG_E_NO_FIELD_CODE},  // fields end early
        {Bytes().object(kProbeId).u8(2).end(), MSG_E_BAD_FIELD_CODE},       // neither field nor trailer
        // An unknown tag, or a command, where a field's value should be.
        {Bytes().object(kProbeId).field(1).u8(0x30).end(), MSG_E_MISSING_TYPE},
        {Bytes().object(kProbeId).field(1).u8(16).be32(1).end(), MSG_E_MISSING_TYPE},
    };
    for (const Case& c : cases) {
        ProbeRecord* p;
        EXPECT_EQ(c.code, readProbe(c.bytes, &p)) << c.bytes.hex();
        EXPECT_EQ(nullptr, p) << c.bytes.hex();
    }
    // A null object: a null result and success.
    ProbeRecord p0, *p;
    EXPECT_EQ(0, readProbe(Bytes{8}, &p));
    EXPECT_EQ(nullptr, p);

    // A missing field, or no translator: the error sticks until recover(),
    // and reading goes on after the object.
    struct Stuck {
        unsigned int id;
        Bytes bytes;
        int code;
    } stuck[] = {
        {kProbeId, Bytes().object(kProbeId).field(1).int32(1).field(3).int64(2).end().int32(7), MSG_E_MISSING_FIELD},
        {4242, Bytes().object(4242).field(1).int32(1).end().int32(7), MSG_E_NO_TRANSLATOR},
    };
    for (const Stuck& c : stuck) {
        Message m(c.bytes.c_str(), c.bytes.size());
        Translatable* obj = &p0;
        EXPECT_EQ(c.code, m.readObject(c.id, &obj));
        EXPECT_EQ(nullptr, obj);
        int32_t v = 0;
        EXPECT_EQ(c.code, m.readInt32(&v)) << "sticky";
        m.recover();
        ASSERT_EQ(0, m.readInt32(&v));
        EXPECT_EQ(7, v);
    }
}

TEST_F(MessageTest, WriteBuffersDoubleUpTo32KiBAndValuesCrossTheirBoundaries) {
    auto textOf = [](int i) { return std::string(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26)); };
    ChainMessage m(5);
    for (int i = 0; i < 3000; i++) {
        m.writeString(textOf(i).c_str());
        m.writeInt64(i);
    }
    std::vector<size_t> caps = m.capacities();
    ASSERT_GE(caps.size(), 10u);
    std::vector<size_t> expected = {256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 32768};
    EXPECT_EQ(expected, std::vector<size_t>(caps.begin(), caps.begin() + 9));
    for (size_t i = 9; i < caps.size(); i++) EXPECT_EQ(32768u, caps[i]);

    // A block larger than a buffer gets one of its own size plus 9 (after
    // filling what is left of the last one).
    std::string big = "A" + std::string(99998, 'z') + "Z";
    m.writeBytes(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_GE(m.capacities().back(), 100000u - 32768u + 9u);
    m.writeInt32(-1);
    size_t total = m.totalBytes();

    // Reading gives every buffer back as soon as the position leaves it.
    m.switchToRead();
    int atStart = m.bufferCount();
    EXPECT_EQ(static_cast<int>(m.capacities().size()), atStart);
    for (int i = 0; i < 3000; i++) {
        char* s;
        int64_t v;
        ASSERT_EQ(0, m.readString(&s));
        ASSERT_EQ(textOf(i), s);
        free(s);
        ASSERT_EQ(0, m.readInt64(&v));
        ASSERT_EQ(i, v);
        if (i == 1500) {
            EXPECT_LT(m.bufferCount(), atStart - 3);
            // Buffers already given back still count as read.
            EXPECT_EQ(total - m.readOffset(), m.unreadBytes());
        }
    }
    unsigned char* data;
    uint32_t length;
    ASSERT_EQ(0, m.readBytes(&data, &length));
    ASSERT_EQ(big.size(), length);
    EXPECT_EQ(0, memcmp(big.data(), data, length));
    free(data);
    int32_t last;
    ASSERT_EQ(0, m.readInt32(&last));
    EXPECT_EQ(-1, last);
    EXPECT_EQ(1, m.bufferCount());
    EXPECT_EQ(total, m.readOffset());
    EXPECT_EQ(0u, m.unreadBytes());
}

TEST_F(MessageTest, LargeBlocksAreHandedOverOnlyWhenNothingElseUsesTheirBuffer) {
    std::string big(200000, 'x');
    big.front() = '<';
    big.back() = '>';
    // The block ends the message: handed over in place.
    Bytes last = Bytes().int32(1).u8(14).be32(static_cast<uint32_t>(big.size())).raw(big);
    Message m(last.c_str(), last.size());
    int32_t v;
    ASSERT_EQ(0, m.readInt32(&v));
    unsigned char* data;
    uint32_t length;
    ASSERT_EQ(0, m.readBytes(&data, &length));
    ASSERT_EQ(big.size(), length);
    EXPECT_EQ(0, memcmp(big.data(), data, length));
    EXPECT_EQ(0, data[length]);
    free(data);
    EXPECT_EQ(last.size(), m.readOffset());
    EXPECT_EQ(MSG_E_EOF, m.readInt32(&v));

    // A value follows it in the same buffer: copied, and the value still reads.
    Bytes middle = Bytes().u8(14).be32(static_cast<uint32_t>(big.size())).raw(big).int32(9);
    Message m2(middle.c_str(), middle.size());
    ASSERT_EQ(0, m2.readBytes(&data, &length));
    EXPECT_EQ(0, memcmp(big.data(), data, length));
    free(data);
    ASSERT_EQ(0, m2.readInt32(&v));
    EXPECT_EQ(9, v);

    // Inside an object, the index points into the buffer: copied.
    Bytes inObject = Bytes().object(70002).field(1).u8(14).be32(static_cast<uint32_t>(big.size())).raw(big).end();
    MessageBase::registerObjectXlator(70002, [](MessageBase* msg, Translatable** obj, int) -> int {
        unsigned char* block;
        uint32_t n;
        if (msg->readBytesField(1, &block, &n) != 0) return -1;
        bool whole = n == 200000 && block[0] == '<' && block[n - 1] == '>';
        free(block);
        *obj = whole ? new ProbeRecord() : nullptr;
        return whole ? 0 : -1;
    });
    Message m3(inObject.c_str(), inObject.size());
    Translatable* obj = nullptr;
    EXPECT_EQ(0, m3.readObject(70002, &obj));
    delete obj;
}

TEST_F(MessageTest, AnIndexedObjectHoldsItsBuffersUntilItHasBeenRead) {
    // An attribute set, received in 5-byte pieces: every value straddles
    // buffers, and the buffers behind the read position stay only while the
    // object's index points into them.
    Attributes attrs;
    attrs.setAttribute("name", "a fairly long text value");
    attrs.setAttribute("count", 12);
    attrs.setAttribute("size", 1LL << 40);
    attrs.setAttribute("ratio", 0.25);
    Message out(0);
    out.writeObject(OBJ_ATTRIBUTES_ID, &attrs);
    out.writeInt32(77);
    size_t n;
    unsigned char* bytes = out.copyBytes(&n);

    ChainMessage in;
    for (size_t at = 9; at < n; at += 5) in.feed(reinterpret_cast<char*>(bytes) + at, n - at < 5 ? n - at : 5);
    free(bytes);
    int pieces = in.bufferCount();
    Translatable* obj;
    ASSERT_EQ(0, in.readObject(OBJ_ATTRIBUTES_ID, &obj));
    Attributes* copy = static_cast<Attributes*>(obj);
    EXPECT_TRUE(*copy == attrs);
    EXPECT_STREQ("a fairly long text value", copy->getStringAttribute("name"));
    delete copy;
    EXPECT_LE(in.bufferCount(), 2) << "of " << pieces;
    int32_t v;
    ASSERT_EQ(0, in.readInt32(&v));
    EXPECT_EQ(77, v);
}

TEST_F(MessageTest, AContainerIsReadUpToItsTrailerAndAFailureIsLoggedAndSteppedOver) {
    // An attribute entry list (container 1003 of entries 1002).
    auto entry = [](Bytes& b, const Bytes& name, int32_t v) {
        b.object(OBJ_ATTRLIST_ID).field(1).raw(name.data).field(2).int32(0).field(3);
        b.object(OBJ_ANY_ID).field(1).int32(ANY_INT32).field(2).int32(v).field(3).int32(0).end().end();
    };
    Bytes good = Bytes().container(OBJ_ATTRLIST_LIST_ID);
    entry(good, Bytes().str("a"), 1);
    entry(good, Bytes().str("b"), 2);
    good.containerEnd().int32(7);
    Message m(good.c_str(), good.size());
    Translatable* head = nullptr;
    ASSERT_EQ(0, m.readContainer(OBJ_ATTRLIST_LIST_ID, &head));
    Attributes set;
    set.head = static_cast<Attributes::AttrList*>(head);
    EXPECT_EQ(2, set.size()) << "elements are read while the trailer is not next";
    EXPECT_STREQ("a", set.head->name);
    int32_t v = 0;
    ASSERT_EQ(0, m.readInt32(&v)) << "the trailer was taken";
    EXPECT_EQ(7, v);

    // The second entry's name is an int32: its translator fails, then the
    // list's; the error sticks, and the read goes on after the container.
    Bytes bad = Bytes().container(OBJ_ATTRLIST_LIST_ID);
    entry(bad, Bytes().str("a"), 1);
    entry(bad, Bytes().int32(5), 2);
    bad.containerEnd().int32(8);
    LogCapture log;
    _log_level = LOG_TRACE;
    Message failed(bad.c_str(), bad.size());
    EXPECT_EQ(MSG_E_BAD_TYPE, failed.readContainer(OBJ_ATTRLIST_LIST_ID, &head));
    EXPECT_EQ(nullptr, head);
    EXPECT_EQ(MSG_E_BAD_TYPE, failed.readInt32(&v));
    failed.recover();
    ASSERT_EQ(0, failed.readInt32(&v));
    EXPECT_EQ(8, v);

    // An element whose header names another object: it is stepped over
    // whole, as a failed one is.
    Bytes misnamed = Bytes().container(OBJ_ATTRLIST_LIST_ID);
    misnamed.object(OBJ_ATTRLIST_ID + 1).field(1).str("a").end();
    misnamed.containerEnd().int32(9);
    Message other(misnamed.c_str(), misnamed.size());
    EXPECT_EQ(MSG_E_BAD_TYPE, other.readContainer(OBJ_ATTRLIST_LIST_ID, &head));
    other.recover();
    ASSERT_EQ(0, other.readInt32(&v));
    EXPECT_EQ(9, v);

    // A tag no value has, where the list expects an element.
    Bytes unknown = Bytes().container(OBJ_ATTRLIST_LIST_ID).u8(0x30).containerEnd();
    Message damaged(unknown.c_str(), unknown.size());
    EXPECT_EQ(MSG_E_BAD_TYPE, damaged.readContainer(OBJ_ATTRLIST_LIST_ID, &head));
    Bytes endless = Bytes().container(OBJ_ATTRLIST_LIST_ID);
    Message cut(endless.c_str(), endless.size());
    EXPECT_EQ(MSG_E_EOF, cut.readContainer(OBJ_ATTRLIST_LIST_ID, &head)) << "no trailer";
    Bytes skipped = Bytes().object(kProbeId).field(4).u8(0x30).end();
    ProbeRecord* p;
    EXPECT_EQ(MSG_E_MISSING_TYPE, readProbe(skipped, &p));
    _log_level = LOG_CRITICAL;
    std::string text = log.messages();
    EXPECT_NE(std::string::npos, text.find("Warning: object translator failed for ObjectId: 1002\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Warning: container translator failed for ObjectId: 1003\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Error: Missing type descriptor in message: 48\n")) << text;
}

TEST_F(MessageTest, SkipToCmdFindsTheNextCommandPastValuesAndDamage) {
    // Values of every shape, stray bytes, then the command.
    Bytes bytes = Bytes().int32(1).str("x").object(kProbeId).field(1).int32(5).end();
    bytes.container(5).int64(16).u8(15).be32(1).be32(1).raw("\x10").containerEnd();
    bytes.u8(0).u8(0x30).u8(10).u8(13).u8(16).be32(99);
    Message m(bytes.c_str(), bytes.size());
    int32_t v;
    EXPECT_EQ(MSG_E_BAD_TYPE, m.readCmd(&v));
    ASSERT_EQ(0, m.skipToCmd()) << "the error is cleared";
    ASSERT_EQ(0, m.readCmd(&v));
    EXPECT_EQ(99, v);
    EXPECT_EQ(MSG_E_EOF, m.skipToCmd());
}

TEST_F(MessageTest, OpaqueObjectsComeBackByteForByte) {
    ProbeRecord p;
    p.a = 3;
    p.b = strdup("opaque");
    Message out(0);
    out.writeObject(kProbeId, &p);
    out.writeObject(kProbeId, nullptr);
    std::string written = body(out);
    out.switchToRead();
    unsigned int id;
    unsigned char* raw;
    size_t length;
    ASSERT_EQ(0, out.readOpaqueObjectField(FIELD_AT_READ_POSITION, &id, &raw, &length));
    EXPECT_EQ(kProbeId, id);
    // Written back, the copy gives the same bytes, which read as the record.
    Message again(0);
    again.writeOpaqueObject(raw, length);
    free(raw);
    EXPECT_EQ(written, body(again) + " 08");
    again.switchToRead();
    Translatable* record;
    ASSERT_EQ(0, again.readObject(kProbeId, &record));
    EXPECT_STREQ("opaque", static_cast<ProbeRecord*>(record)->b);
    delete record;
    // A null object is a null result.
    EXPECT_EQ(0, out.readOpaqueObject(&id, &raw, &length));
    EXPECT_EQ(nullptr, raw);
}

TEST_F(MessageTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    // Arrays of arrays, 1000 deep: Any(kind 1030) -> AnyArray(count 1) -> Any ...
    Bytes deep;
    const int depth = 1000;
    for (int i = 0; i < depth; i++) {
        deep.object(OBJ_ANY_ID).field(1).int32(1030).field(2).object(OBJ_ANYARRAY_ID).field(1).int32(1).field(2);
    }
    deep.object(OBJ_ANY_ID).field(1).int32(1).end();
    for (int i = 0; i < depth; i++) deep.end().end();
    Message m(deep.c_str(), deep.size());
    Translatable* obj;
    EXPECT_EQ(MSG_E_MISSING_TYPE, m.readObject(OBJ_ANY_ID, &obj));
    EXPECT_EQ(nullptr, obj);

    // Skipping the same bytes as an opaque object works at any depth.
    Message opaque(deep.c_str(), deep.size());
    unsigned int id;
    unsigned char* raw;
    size_t length;
    ASSERT_EQ(0, opaque.readOpaqueObject(&id, &raw, &length));
    EXPECT_EQ(deep.size(), length);
    free(raw);
}

// A peer's object of millions of tiny fields would cost its index eight
// times the bytes it took to send: past a bound (four million fields) the
// read fails instead, with the fields indexed so far let go.
TEST_F(MessageTest, AnObjectOfMoreFieldsThanTheIndexHoldsIsRefused) {
    LogCapture log;
    _log_level = LOG_TRACE;
    const int fields = (1 << 22) + 1;
    std::string body = Bytes().object(OBJ_ATTRIBUTES_ID).data;
    body.reserve(body.size() + 3 * static_cast<size_t>(fields) + 1);
    for (int i = 0; i < fields; i++) body += std::string("\x0b\x01\x07", 3);
    body += '\x0a';
    Message m(body.c_str(), body.size());
    Translatable* obj = nullptr;
    EXPECT_EQ(MSG_E_BAD_FIELD_CODE, m.readObject(OBJ_ATTRIBUTES_ID, &obj));
    EXPECT_EQ(nullptr, obj);
    EXPECT_TRUE(log.contains("fields to index in one message")) << log.text();
    _log_level = LOG_CRITICAL;
}

TEST_F(MessageTest, TheWriterRefusesTheNestingTheReaderRefuses) {
    // Each array level is two objects (the Any and its AnyArray); the number
    // at the bottom is written and read in one block with no level of its
    // own. So kMaxNesting / 2 levels is the most that can be read, and the
    // writer stops there too.
    int written = 0;
    for (int levels = kMaxNesting / 2 - 5; levels <= kMaxNesting / 2 + 5; levels++) {
        Any v = nestedArrays(levels);
        Message m(0);
        int rc = m.writeObject(OBJ_ANY_ID, &v);
        if (rc == 0) {
            written = levels;
            m.switchToRead();
            Translatable* obj = nullptr;
            EXPECT_EQ(0, m.readObject(OBJ_ANY_ID, &obj)) << levels << " levels written but not read";
            std::unique_ptr<Any> back(static_cast<Any*>(obj));
            EXPECT_TRUE(back != nullptr && *back == v) << levels;
        } else {
            EXPECT_EQ(MSG_E_MISSING_TYPE, rc) << levels;
            EXPECT_EQ(MSG_E_MISSING_TYPE, m.getError()) << levels;
            EXPECT_EQ(MSG_E_MISSING_TYPE, m.writeInt32(1)) << "the error sticks";
        }
    }
    EXPECT_EQ(kMaxNesting / 2, written);
}

TEST_F(MessageTest, ATranslatorThatFailsToEncodeSpoilsTheMessage) {
    const unsigned int kFailingId = 60003;
    MessageBase::registerObjectXlator(kFailingId, [](MessageBase* m, Translatable**, int direction) -> int {
        if (direction != XLATE_ENCODE) return -1;
        m->writeInt32Field(1, 7);
        return -1;
    });
    ProbeRecord probe;
    Message m(0);
    EXPECT_NE(0, m.writeObjectField(1, kFailingId, &probe));
    EXPECT_NE(0, m.getError());
    EXPECT_EQ(m.getError(), m.writeObject(kProbeId, &probe)) << "later writes fail with the same error";

    Message top(0);
    EXPECT_NE(0, top.writeObject(kFailingId, &probe));
    EXPECT_NE(0, top.getError());
}

}  // namespace
