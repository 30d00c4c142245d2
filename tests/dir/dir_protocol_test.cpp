// The directory messages against bodies built by hand: the value order of a
// representative set of requests, replies and the login and enrolment
// exchanges; the readers on well-formed, damaged and hostile bodies; and the
// relay's copy of an unread request tail. Encoded records inside a body
// (name entries, attributes, values) are spliced in from their own encoder,
// whose layout has tests of its own; everything around them is written out
// byte by byte here.
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dir/security_object.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"

namespace {

class DirProtocolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Directory::init(); }
};

// The body of a message being written (its bytes after the 9-byte frame head).
std::string body(Message* m) {
    size_t n = 0;
    unsigned char* all = m->copyBytes(&n);
    std::string s(reinterpret_cast<char*>(all) + 9, n - 9);
    free(all);
    return s;
}

// One object's encoding on its own, to splice into a hand-built body.
std::string encoded(unsigned int id, const Translatable* obj) {
    Message m(1);
    m.writeObject(id, obj);
    return body(&m);
}

// A received message of the given code holding bytes.
Message* received(int code, const std::string& bytes) {
    Message* m = new Message(bytes.data(), bytes.size());
    m->frame().type = static_cast<uint32_t>(code);
    return m;
}

Bytes principalBytes(const char* security, const char* domain, long long session, const char* signature) {
    Bytes b;
    b.object(OBJ_PRINCIPAL_ID).field(1).str(security).field(2).str(domain).field(3).int64(session);
    b.field(4).str(signature).end();
    return b;
}

Bytes objectBytes(const char* className) {
    Bytes b;
    b.object(OBJ_DIRECTORYOBJECT_ID).field(1).str(className).field(2).u8(8).end();
    return b;
}

Bytes boolean(bool v) { return Bytes{1, v ? 1 : 0}; }

// What every request carries after its id: the caller's principal and the
// current object, as the tests below build them.
std::string callerBytes() { return principalBytes("sec", "dom", 77, "sig").data + objectBytes("Hhost1").data; }

// A built message against its code and hand-built body.
struct Built {
    Message* m;
    int code;
    Bytes want;
};

void expectBodies(Built* cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        EXPECT_EQ(static_cast<int>(cases[i].m->getType()), cases[i].code) << "case " << i;
        std::string b = body(cases[i].m);
        EXPECT_EQ(Bytes::hex(b.data(), b.size()), cases[i].want.hex()) << "case " << i;
        delete cases[i].m;
    }
}

TEST_F(DirProtocolTest, NamesCoverEveryCodeOnceAndRefuseOthers) {
    std::set<std::string> seen;
    int codes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 20, 21,  22,  23,  24,  25,  26,  27,  28,
                   29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 40, 41, 42, 43,  44,  45,  46,  47,  48,  49,  50,
                   51, 52, 53, 54, 60, 61, 62, 63, 80, 81, 82, 83, 100, 224, 225, 226, 227, 300};
    for (int c : codes) {
        std::string n = DirProtocol::name(c);
        EXPECT_EQ(n.rfind("M_", 0), 0u) << c;
        seen.insert(n);
    }
    // 63 and 83 share one name; every other code has its own.
    EXPECT_EQ(seen.size(), sizeof(codes) / sizeof(codes[0]) - 1);
    EXPECT_STREQ(DirProtocol::name(83), "M_VERIFY_CERT_REPLY");
    EXPECT_STREQ(DirProtocol::name(225), "M_LISTENER_UPDATE2");
    for (int bad : {0, 13, 39, 64, 99, 228, 10006, -1}) EXPECT_STREQ(DirProtocol::name(bad), "BAD-MESSAGE-ID");
    EXPECT_EQ(DirProtocol::foldVersion("2.1.3"), 20103);
    EXPECT_EQ(DirProtocol::foldVersion("10.0.12"), 100012);
    // The unsolicited messages carry no id; replies do.
    for (int c : {33, 34, 35, 36, 38, 40, 45, 48, 50, 53, 227, 300}) EXPECT_FALSE(DirProtocol::hasRequestId(c)) << c;
    for (int c : {3, 4, 5, 7, 9, 11, 12, 23, 25, 26, 28, 29, 43, 47, 60, 62, 225}) EXPECT_TRUE(DirProtocol::hasRequestId(c));
}

TEST_F(DirProtocolTest, RequestsCarryMasqueradeHeaderAndPayloadInOrder) {
    Principal p("sec", "dom", "sig", 77);
    DirectoryObject current("Hhost1", nullptr);
    Any one(7);
    Any two("x");
    Any* args[] = {&one, &two, nullptr};
    DirNameEntry entry("iface", "name", "eth0");
    std::string eth0 = encoded(OBJ_DIRNAMEENTRY_ID, &entry);
    Built cases[] = {
        // A masqueraded fast execute without arguments: 10054, asset id first.
        {DirProtocol::executeRequest("A17", 42, &p, &current, "eventRemove", nullptr), 10054,
         Bytes().str("A17").int64(42).raw(callerBytes()).str("eventRemove").int32(0)},
        // A plain execute with two values: 6, no prefix, n then the values.
        {DirProtocol::executeRequest(nullptr, 5, &p, &current, "ping", args), 6,
         Bytes().int64(5).raw(callerBytes()).str("ping").int32(2).raw(encoded(OBJ_ANY_ID, &one)).raw(
             encoded(OBJ_ANY_ID, &two))},
        // The masqueraded no-partial search.
        {DirProtocol::searchRequest("A17", 9, &p, &current, &entry, "speed,mtu", nullptr, true), 10082,
         Bytes().str("A17").int64(9).raw(callerBytes()).raw(eth0).str("speed,mtu")},
        // The listener request uses the listener id twice: as request id and payload.
        {DirProtocol::openListenerRequest(nullptr, 12, &p, &current, &entry, true), 224,
         Bytes().int64(12).raw(callerBytes()).int32(12).raw(eth0)},
        {DirProtocol::searchPartialOk("A9", 300), 10044, Bytes().str("A9").int64(300)},
        {DirProtocol::searchPartialOk(nullptr, 300), 44, Bytes().int64(300)},
        {DirProtocol::domainAttributesRequest(), 40, Bytes().int32(20103)},
        {DirProtocol::getUniqueIds(20), 226, Bytes().int32(20)},
        {DirProtocol::initiateAlertServerSync("dom", "A1"), 31, Bytes().str("dom").str("A1")},
        {DirProtocol::eventAck("a", "b", "c"), 49, Bytes().str("a").str("b").str("c")},
        {DirProtocol::mqSend(1, -2, "hi", 2), 300, Bytes().int64(1).int64(-2).u8(14).be32(2).raw("hi")},
        {DirProtocol::verifyCertReply(8, true), 63, Bytes().int64(8).int32(1)},
        {DirProtocol::headerOnlyRequest(DirProtocol::M_GET_ACL, nullptr, 3, &p, &current), 23,
         Bytes().int64(3).raw(callerBytes())},
    };
    expectBodies(cases, sizeof cases / sizeof cases[0]);
}

TEST_F(DirProtocolTest, RepliesAndUnsolicitedMessagesInOrder) {
    DirNameEntry e1("iface", "name", "eth0");
    DirNameEntry e2("iface", "name", "lo");
    Attributes a1;
    a1.setAttribute("speed", 1000);
    Attributes a2;
    Acl acl("rw");
    DirectoryEnumeration en;
    en.append(new DirNameEntry(e1), new Attributes(a1), new Acl(acl));
    en.append(new DirNameEntry(e2), new Attributes(a2), nullptr);
    std::string t1 = encoded(OBJ_DIRNAMEENTRY_ID, &e1) + encoded(OBJ_ATTRIBUTES_ID, &a1) + encoded(OBJ_ACL_ID, &acl);
    std::string t2 = encoded(OBJ_DIRNAMEENTRY_ID, &e2) + encoded(OBJ_ATTRIBUTES_ID, &a2) + std::string(1, '\x08');
    std::string yes = boolean(true).data;
    std::string no = boolean(false).data;
    DirNameEntry* entries[] = {&e1, &e2};
    Attributes* attrs[] = {&a1, &a2};
    Acl* acls[] = {&acl, nullptr};
    const long long ids[] = {11, 12};
    const char* guids[] = {"g1", "g2"};
    Built cases[] = {
        // Partial reply: id, any, last; then per entry the triple, more, last.
        {DirProtocol::searchPartialReply(99, &en, 0, 2, false), 43,
         Bytes().int64(99).raw(yes).raw(no).raw(t1).raw(yes).raw(no).raw(t2).raw(no).raw(no)},
        // A last part with nothing in it: id, false, true.
        {DirProtocol::searchPartialReply(99, &en, 2, 10, true), 43, Bytes().int64(99).raw(no).raw(yes)},
        // Whole reply: id, any; per entry the triple and more.
        {DirProtocol::searchReply(4, &en), 3, Bytes().int64(4).raw(yes).raw(t1).raw(yes).raw(t2).raw(no)},
        {DirProtocol::listenerUpdate2(6, DirProtocol::KIND_MODIFY, 2, entries, attrs, acls), 225,
         Bytes().int64(0).int32(6).int32(1).int32(2).raw(t1).raw(t2)},
        {DirProtocol::uniqueIds(5, 2, ids, guids), 227,
         Bytes().int64(5).int32(2).int64(11).int64(12).str("g1").str("g2")},
        {DirProtocol::execErrorReply(17, 13), 29, Bytes().int64(17).int32(13)},
    };
    expectBodies(cases, sizeof cases / sizeof cases[0]);
}

TEST_F(DirProtocolTest, LoginAndEnrolmentBodies) {
    SecurityObject so("password", "alice", "pw");
    Bytes cred;
    cred.str("alice").str("PEM");
    cred.object(99).field(1).str("password").field(2).str("alice").field(3).str("pw").end();
    cred.int32(1);
    const char* more[4] = {"m1", "m2", nullptr, "m4"};
    Bytes ident;
    ident.int32(3).str("dom").str("A1").str("m1").str("m2").u8(7).str("m4").str("g").str("agent");
    ident.u8(14).be32(3).raw("PEM");
    Built cases[] = {
        {DirProtocol::loginPassword("alice", "pw"), 6, Bytes().str("alice").str("pw")},
        {DirProtocol::loginCredential("alice", "PEM", &so), 5, cred},
        {DirProtocol::loginReply(6, 0, "CERT"), 6, Bytes().int32(0).u8(14).be32(4).raw("CERT")},
        {DirProtocol::domainIdentify(3, "dom", "A1", more, "g", "agent", "PEM"), 30, ident},
    };
    expectBodies(cases, sizeof cases / sizeof cases[0]);

    // The serving side reads back what a client sends.
    DirProtocol::LoginRequest lr;
    Message* in = received(5, cred.data);
    ASSERT_EQ(DirProtocol::readLoginRequest(in, &lr), 0);
    EXPECT_STREQ(lr.user, "alice");
    EXPECT_STREQ(lr.secret, "PEM");
    ASSERT_NE(lr.credential, nullptr);
    EXPECT_STREQ(static_cast<SecurityObject*>(lr.credential)->secret, "pw");
    EXPECT_EQ(lr.version, 1);
    delete in;

    DirProtocol::DomainRequest dr;
    in = received(30, ident.data);
    ASSERT_EQ(DirProtocol::readDomainRequest(in, &dr), 0);
    EXPECT_EQ(dr.kind, 3);
    EXPECT_STREQ(dr.strings[1], "A1");
    EXPECT_EQ(dr.strings[4], nullptr);
    EXPECT_STREQ(dr.strings[7], "agent");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dr.cert), dr.certLength), "PEM");
    delete in;
}

TEST_F(DirProtocolTest, ReadersTakeHandBuiltBodiesAndSurviveDamage) {
    DirNameEntry e1("iface", "name", "eth0");
    Attributes a1;
    a1.setAttribute("speed", 1000);
    std::string t1 = encoded(OBJ_DIRNAMEENTRY_ID, &e1) + encoded(OBJ_ATTRIBUTES_ID, &a1) + std::string(1, '\x08');

    // A masqueraded request as the server reads it.
    Bytes req;
    req.str("A17").int64(42).raw(principalBytes("sec", "dom", 77, "sig").data).raw(objectBytes("Hh").data);
    Any seven(7);
    req.str("ping").int32(1).raw(encoded(OBJ_ANY_ID, &seven));
    {
        DirProtocol::Request r;
        Message* in = received(10006, req.data);
        ASSERT_EQ(DirProtocol::readRequest(in, &r), 0);
        EXPECT_EQ(r.code, 6);
        EXPECT_STREQ(r.masqAsset, "A17");
        EXPECT_EQ(r.id, 42);
        EXPECT_STREQ(r.principal->security, "sec");
        EXPECT_STREQ(r.current->className, "Hh");
        EXPECT_STREQ(r.operation, "ping");
        ASSERT_EQ(r.argCount, 1);
        EXPECT_EQ(r.args[0]->getInt32(), 7);
        EXPECT_EQ(r.args[1], nullptr);
        delete in;
    }

    // Listener update 2 whose middle triple is damaged (an unknown object
    // id where the entry belongs) still delivers the other two.
    Bytes upd;
    upd.int64(0).int32(6).int32(2).int32(3).raw(t1);
    upd.object(55555).field(1).int32(1).end().raw(encoded(OBJ_ATTRIBUTES_ID, &a1)).u8(8);
    upd.raw(t1);
    {
        DirProtocol::Reply r;
        Message* in = received(225, upd.data);
        ASSERT_EQ(DirProtocol::readReply(in, &r), 0);
        EXPECT_EQ(r.listenerId, 6);
        EXPECT_EQ(r.kind, 2);
        EXPECT_EQ(r.count, 2);
        EXPECT_EQ(r.failedTriples, 1);
        EXPECT_STREQ(r.updateEntries[1]->getClassName(), "iface");
        delete in;
    }
    // One whose last triple cannot even be delimited delivers those before.
    Bytes cut;
    cut.int64(0).int32(6).int32(0).int32(3).raw(t1).raw(t1).u8(0xEE).u8(0xEE);
    {
        DirProtocol::Reply r;
        Message* in = received(225, cut.data);
        ASSERT_EQ(DirProtocol::readReply(in, &r), 0);
        EXPECT_EQ(r.count, 2);
        EXPECT_EQ(r.failedTriples, 1);
        delete in;
    }

    // A partial reply whose entries run into the end of the body fails with
    // an encoding error and keeps what it read.
    Bytes part;
    part.int64(3).raw(boolean(true).data).raw(boolean(false).data).raw(t1).raw(boolean(true).data);
    part.raw(boolean(false).data).raw(t1.substr(0, t1.size() / 2));
    {
        DirProtocol::Reply r;
        Message* in = received(43, part.data);
        EXPECT_LT(DirProtocol::readReply(in, &r), 0);
        ASSERT_NE(r.entries, nullptr);
        EXPECT_EQ(r.entries->size(), 1);
        delete in;
    }

    // A search entry must name its object: one without a name is the peer's
    // protocol error, in a whole reply and in a partial one alike.
    std::string nameless = std::string(1, '\x08') + encoded(OBJ_ATTRIBUTES_ID, &a1) + std::string(1, '\x08');
    for (int code : {3, 43}) {
        Bytes body;
        body.int64(4).raw(boolean(true).data);
        if (code == 43) body.raw(boolean(true).data);
        body.raw(nameless).raw(boolean(false).data);
        if (code == 43) body.raw(boolean(true).data);
        DirProtocol::Reply r;
        Message* in = received(code, body.data);
        EXPECT_NE(DirProtocol::readReply(in, &r), 0) << code;
        delete in;
    }

    // A batch of 25 ids keeps the first 20.
    Bytes ids;
    ids.int64(900).int32(25);
    for (int i = 0; i < 25; i++) ids.int64(1000 + i);
    for (int i = 0; i < 25; i++) ids.str("g" + std::to_string(i));
    {
        DirProtocol::Reply r;
        Message* in = received(227, ids.data);
        ASSERT_EQ(DirProtocol::readReply(in, &r), 0);
        EXPECT_EQ(r.size, 900);
        EXPECT_EQ(r.count, 20);
        EXPECT_EQ(r.uniqueIds->ids[19], 1019);
        EXPECT_STREQ(r.uniqueIds->miniGuids[19], "g19");
        delete in;
    }

    // A hostile count is refused without allocating for it.
    {
        DirProtocol::Reply r;
        Message* in = received(227, Bytes().int64(1).int32(0x7FFFFFFF).data);
        EXPECT_NE(DirProtocol::readReply(in, &r), 0);
        delete in;
        DirProtocol::Request q;
        in = received(6, Bytes().int64(1).raw(principalBytes("s", "d", 1, "g").data).raw(objectBytes("H").data)
                             .str("op").int32(-5).data);
        EXPECT_NE(DirProtocol::readRequest(in, &q), 0);
        delete in;
        // A count within the hard bound, but more than the rest of the body
        // could hold, is refused before the update's arrays are sized by it.
        DirProtocol::Reply u;
        in = received(225, Bytes().int64(0).int32(6).int32(0).int32(100000).raw(t1).data);
        EXPECT_NE(DirProtocol::readReply(in, &u), 0);
        EXPECT_EQ(u.updateEntries, nullptr);
        delete in;
    }

    // An error reply whose code is missing is an encoding error, not a 0.
    {
        DirProtocol::Reply r;
        Message* in = received(5, Bytes().int64(77).data);
        EXPECT_NE(DirProtocol::readReply(in, &r), 0);
        EXPECT_EQ(r.id, 77);
        delete in;
    }
}

TEST_F(DirProtocolTest, RelayCopiesTheUnreadTailOfARequest) {
    // A relay reads the masquerade prefix and the id, then forwards the rest
    // under a new id with the same code.
    std::string big(70000, 'z');  // spans several receive buffers
    Bytes req;
    req.str("A17").int64(42).str("tail").u8(14).be32(static_cast<uint32_t>(big.size())).raw(big);
    Message* in = received(10008, req.data);
    int code = 0;
    char* asset = nullptr;
    ASSERT_EQ(DirProtocol::readMasq(in, &code, &asset), 0);
    EXPECT_EQ(code, 8);
    EXPECT_STREQ(asset, "A17");
    free(asset);
    int64_t id = 0;
    ASSERT_EQ(in->readInt64(&id), 0);
    Message out(code);
    out.writeInt64(1234);
    ASSERT_EQ(out.appendProxy(in), 0);
    Bytes want;
    want.int64(1234).str("tail").u8(14).be32(static_cast<uint32_t>(big.size())).raw(big);
    EXPECT_EQ(body(&out), want.data);
    delete in;
}

}  // namespace
