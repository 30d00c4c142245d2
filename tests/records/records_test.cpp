// The automation records and the catalogue records of this library: the
// exact bytes of one representative value of each, built here from the
// field rules, their round trips, the fields that may and may not be
// missing, and their JSON text.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/os.h"
#include "dir/directory.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"
#include "records/alert.h"
#include "records/catalogue.h"
#include "records/ci_update.h"
#include "records/rule.h"
#include "records/task_data.h"
#include "tests/support/bytes.h"
#include "tests/support/encoding.h"

namespace {

// Encodes obj, whose bytes must be want's, and decodes them: the copy must
// encode to the same bytes. Null when the bytes do not decode.
template <class T>
std::unique_ptr<T> roundTrip(unsigned int id, const T* obj, const Bytes& want, std::string* bytes) {
    *bytes = encodedBody(id, obj);
    EXPECT_EQ(want.hex(), Bytes::hex(bytes->data(), bytes->size()));
    std::unique_ptr<T> back = decodedBody<T>(id, *bytes);
    EXPECT_EQ(*bytes, back != nullptr ? encodedBody(id, back.get()) : "(does not decode)");
    return back;
}

// Tagged values the support builder lacks.
Bytes& boolean(Bytes& b, bool v) {
    return b.u8(1).u8(v ? 1 : 0);
}
Bytes& nullString(Bytes& b) {
    return b.u8(7);
}
Bytes& nullObject(Bytes& b) {
    return b.u8(8);
}

// An Any holding the int32 v with hint 0.
Bytes& anyInt(Bytes& b, int v) {
    return b.object(1000).field(1).int32(3).field(2).int32(v).field(3).int32(0).end();
}

// An attribute set with one int32 entry (display hint 0).
Bytes& attributesWithInt(Bytes& b, const char* name, int v) {
    b.object(1001).field(1).container(1003).object(1002).field(1).str(name).field(2).int32(0).field(3);
    return anyInt(b, v).end().containerEnd().end();
}

Bytes& emptyAttributes(Bytes& b) {
    return b.object(1001).field(1).container(1003).containerEnd().end();
}

// Leaves out field n (tag 11, number, and one value that the caller says is
// len bytes long) from an encoding.
std::string withoutField(const std::string& bytes, int n, size_t len) {
    std::string marker = {static_cast<char>(11), static_cast<char>(n)};
    size_t at = bytes.find(marker);
    EXPECT_NE(std::string::npos, at) << "field " << n;
    return bytes.substr(0, at) + bytes.substr(at + 2 + len);
}

// The length of field n's value when it is a number, a boolean, a string
// or a null string (the tag and what follows it).
size_t scalarLength(const std::string& bytes, int n) {
    size_t at = bytes.find(std::string{static_cast<char>(11), static_cast<char>(n)});
    if (at == std::string::npos || at + 2 >= bytes.size()) return 0;
    switch (bytes[at + 2]) {
    case 1: return 2;
    case 2: case 4: return 5;
    case 3: case 5: return 9;
    case 6: {
        size_t length = 0;
        for (size_t i = at + 3; i < at + 7 && i < bytes.size(); i++)
            length = length << 8 | static_cast<unsigned char>(bytes[i]);
        return 5 + length;
    }
    default: return 1;
    }
}

class RecordsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
    }
};

TEST_F(RecordsTest, TaskDataFieldsInOrderWithTheLaterOnesOptional) {
    TaskData t;
    t.taskId = strdup("t1");
    t.taskName = strdup("backup");
    t.command = strdup("/bin/true");
    t.user = strdup("root");
    t.extra = strdup("x");
    t.waitForProcess = true;
    t.pid = 4242;
    t.timeStarted = 1700000000;
    t.timeExited = 1700000060;
    t.exitCondition = TaskData::EXIT_COND_EXITED;
    t.exitStatus = 3;
    t.env = strdup("A=1");
    t.daysToKeep = 7;
    t.workflowName = strdup("wf");
    t.waitTimeout = 30;
    t.errorCode = 15;

    Bytes want;
    want.object(2000).field(1).str("t1").field(2).str("backup").field(3).str("/bin/true").field(4).str("root");
    want.field(5).str("x").field(6);
    nullString(want).field(7);
    boolean(want, true).field(8);
    boolean(want, false).field(9).int32(4242).field(10).int64(1700000000).field(11).int64(1700000060);
    want.field(12).int32(2).field(13).int32(3).field(14).int32(0).field(15).str("A=1").field(16);
    nullString(want).field(17);
    boolean(want, false).field(18).int32(7).field(19).str("wf").field(20);
    nullString(want).field(21).int32(30).field(22).int32(0).field(23);
    nullString(want).field(24).int32(0).field(25).int32(15).field(26);
    nullString(want).end();
    std::string bytes;
    std::unique_ptr<TaskData> back = roundTrip(2000, &t, want, &bytes);
    ASSERT_NE(nullptr, back);
    EXPECT_STREQ("x", back->extra);

    // Field 18 is optional and defaults to 30 days; the others after 16 too.
    std::unique_ptr<TaskData> older = decodedBody<TaskData>(2000, withoutField(withoutField(bytes, 18, 5), 26, 1));
    ASSERT_NE(nullptr, older);
    EXPECT_EQ(30, older->daysToKeep);
    EXPECT_STREQ("wf", older->workflowName);
    // Each of fields 1 to 16 is required; each later one may be missing.
    for (int n = 1; n <= 26; n++) {
        std::unique_ptr<TaskData> without = decodedBody<TaskData>(2000, withoutField(bytes, n, scalarLength(bytes, n)));
        EXPECT_EQ(n > 16, without != nullptr) << "field " << n;
    }

    // A copy owns copies of the texts.
    TaskData copy(t);
    free(t.command);
    t.command = strdup("changed");
    EXPECT_STREQ("/bin/true", copy.command);
    EXPECT_EQ(bytes, encodedBody(2000, &copy));
}

TEST_F(RecordsTest, TaskDataTextAndExitConditionNames) {
    TaskData t;
    t.taskId = strdup("t1");
    t.command = strdup("ls");
    t.extra = strdup("hidden");
    t.canceled = true;
    t.pid = 12;
    std::string json = text(t.toString(nullptr));
    EXPECT_EQ(0u, json.find("{ \"taskId\" : \"t1\", \"taskName\" : null, \"command\" : \"ls\", \"env\" : null, "
                            "\"user\" : null, \"logfile\" : null, \"waitForProcess\" : false, "
                            "\"disableLogFile\" : false, \"pid\" : 12, \"timeStarted\" : 0 /* "))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"exitCondition\" : 0, \"exitStatus\" : 0, \"exitSignal\" : 0, "
                                           "\"cannotStartWhy\" : null, \"canceled\" : true, \"daysToKeep\" : 30, "
                                           "\"workflowName\" : null, \"tailPath\" : null, \"waitTimeout\" : 0, "
                                           "\"minStartTime\" : 0, \"pattern\" : null, \"patternFlags\" : 0, "
                                           "\"errorCode\" : 0, \"strerror\" : null }"))
        << json;
    EXPECT_EQ(std::string::npos, json.find("hidden"));

    EXPECT_STREQ("", TaskData::statusName(10));
    EXPECT_STREQ("EXIT_COND_CANNOTSTART", TaskData::statusName(9));
    EXPECT_STREQ("EXIT_COND_NOINTERACTIVEUSER", TaskData::statusName(11));
    EXPECT_STREQ("EXIT_COND_APPMON_DEAD_PID_DEAD", TaskData::statusName(23));
    EXPECT_EQ(nullptr, TaskData::statusName(24));
}

TEST_F(RecordsTest, UptimeDataIsAnIntAndThreeFloats) {
    UptimeData u(3600, 1.5f, 0.25f, -2.0f);
    Bytes want;
    want.object(2003).field(1).int32(3600);
    want.field(2).u8(4).be32(0x3FC00000).field(3).u8(4).be32(0x3E800000).field(4).u8(4).be32(0xC0000000).end();
    std::string bytes;
    std::unique_ptr<UptimeData> back = roundTrip(2003, &u, want, &bytes);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(3600, back->uptime);
    EXPECT_EQ(0.25f, back->load5);
    EXPECT_EQ("{ \"uptime\" : 3600, \"load1\" : 1.5, \"load5\" : 0.25, \"load15\" : -2 }", text(back->toString(nullptr)));
    EXPECT_EQ(nullptr, decodedBody<UptimeData>(2003, withoutField(bytes, 4, 5)));
}

TEST_F(RecordsTest, RulesTravelInARuleSetWithTheirAssets) {
    Attributes* attributes = new Attributes();
    attributes->setAttribute("limit", 5);
    Rule* rule = new Rule("r-1", "disk", "Host", "disk full", true, attributes);
    EXPECT_EQ(makeHash("r-1"), rule->hash);
    RuleSet set("Group", "g7", 2, 1700000000123LL);
    set.addRule(rule);
    set.addAsset("H42");
    set.replaces = true;

    Bytes want;
    want.object(2605).field(1).str("Group").field(2).str("g7").field(3).int32(2).field(4).container(2606);
    want.object(2602).field(1).str("r-1").field(2).str("disk").field(3).str("Host").field(4).str("disk full").field(5);
    boolean(want, true).field(6);
    attributesWithInt(want, "limit", 5).end().containerEnd();
    want.field(5).container(2607).object(2608).field(1).str("H42").end().containerEnd();
    want.field(6).int64(1700000000123LL).field(7);
    boolean(want, true).end();
    std::string bytes;
    std::unique_ptr<RuleSet> back = roundTrip(2605, &set, want, &bytes);
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(1, back->ruleCount());
    EXPECT_EQ(makeHash("r-1"), back->rules->hash);
    EXPECT_EQ("{ \"groupCls\" : \"Group\", \"groupId\" : \"g7\", \"level\" : 2, \"lastUpdate\" : 1700000000123, "
              "\"rules\" : [" + text(back->rules->toString(nullptr)) + "], \"assetList\" : [\"H42\"] }",
              text(back->toString(nullptr)));
    EXPECT_EQ("{ \"id\" : \"r-1\", \"name\" : \"disk\", \"hash\" : " + std::to_string(makeHash("r-1")) +
                  ", \"class\" : \"Host\", \"description\" : \"disk full\", \"transient\" : true, \"attributes\" : " +
                  text(attributes->toString(nullptr)) + " }",
              text(rule->toString(nullptr)));

    // A rule set with an empty rule container has no rules; field 7 is optional.
    Bytes empty;
    empty.object(2605).field(1).str("G").field(2).str("1").field(3).int32(0).field(4).container(2606).containerEnd();
    empty.field(5).container(2607).containerEnd().field(6).int64(5).end();
    std::unique_ptr<RuleSet> none = decodedBody<RuleSet>(2605, empty.data);
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(0, none->ruleCount());
    EXPECT_FALSE(none->replaces);

    // A rule without field 5 is not transient; without field 6 it does not decode.
    Bytes plain;
    plain.object(2602).field(1).str("a").field(2).str("b").field(3).str("c").field(4).str("d").field(6);
    emptyAttributes(plain).end();
    std::unique_ptr<Rule> r = decodedBody<Rule>(2602, plain.data);
    ASSERT_NE(nullptr, r);
    EXPECT_FALSE(r->isTransient);
    Bytes noAttributes;
    noAttributes.object(2602).field(1).str("a").field(2).str("b").field(3).str("c").field(4).str("d").end();
    EXPECT_EQ(nullptr, decodedBody<Rule>(2602, noAttributes.data));
}

TEST_F(RecordsTest, AlertArgumentsFollowFieldFourteen) {
    Alert a;
    a.isEvent = true;
    a.guid = strdup("G1");
    a.generation = 3;
    a.level = 4;
    a.errorCode = 15;
    a.time = 1700000000;
    a.id = strdup("disk");
    a.acl = new Acl("x`root``");
    a.addArgument(new Any(7));
    a.addArgument(new Any(8));
    a.addArgument(new Any(9));

    Bytes want;
    want.object(4980).field(1);
    boolean(want, true).field(2);
    nullObject(want).field(3);
    nullObject(want).field(4).str("G1").field(5).int32(3).field(6).int32(4).field(7).int32(15);
    want.field(8).int32(1700000000).field(9).str("disk").field(10);
    nullString(want).field(11);
    nullString(want).field(12).object(1014).field(1).str("x`root``").end().field(13);
    nullObject(want).field(14).int32(3);
    for (int i = 0; i < 3; i++) anyInt(want.field(15 + i), 7 + i);
    want.end();
    std::string bytes;
    std::unique_ptr<Alert> back = roundTrip(4980, &a, want, &bytes);
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(3, back->argumentCount());
    EXPECT_EQ("{ \"isEvent\" : true, \"createdBy\" : null, \"createdAbout\" : null, \"guid\" : \"G1\", "
              "\"generation\" : 3, \"level\" : 4, \"errorCode\" : 15, \"time\" : 1700000000, \"id\" : \"disk\", "
              "\"exceptionMesg\" : null, \"exceptionTrace\" : null, \"acl\" : x`root``, \"attributes\" : null }",
              text(back->toString(nullptr)));

    // A count that promises more arguments than are there does not decode.
    Bytes shortAlert(want);
    shortAlert.data = bytes.substr(0, bytes.find(Bytes().field(14).int32(3).data)) + Bytes().field(14).int32(4).data +
                      bytes.substr(bytes.find(Bytes().field(14).int32(3).data) + 7);
    EXPECT_EQ(nullptr, decodedBody<Alert>(4980, shortAlert.data));
    // No more than 241 arguments are ever written.
    Alert tooMany;
    for (int i = 0; i < Alert::kMaxArguments + 1; i++) tooMany.addArgument(new Any(i));
    Message m(0);
    EXPECT_NE(0, m.writeObject(4980, &tooMany));
    // The half-written alert spoils the message: the failure sticks.
    EXPECT_NE(0, m.getError());
    EXPECT_EQ(m.getError(), m.writeInt32(1));
}

TEST_F(RecordsTest, EventsCarryAPromptAndANestedObjectOfAnyClass) {
    DrvEvent e;
    e.id = strdup("e1");
    e.eventType = strdup("start");
    e.message = strdup("go");
    e.severity = 2;
    e.priority = 9;
    e.handled = true;
    e.workflowName = strdup("wf");

    // No principal, prompt, payload or attributes: null objects, payload id 0.
    Bytes want;
    want.object(4987).field(1).str("e1").field(2).str("start").field(3);
    nullString(want).field(4);
    nullString(want).field(5);
    nullString(want).field(6).str("go").field(7);
    nullObject(want).field(8);
    nullObject(want).field(9);
    nullString(want).field(10);
    nullString(want).field(11).int32(2).field(12);
    nullString(want).field(13).int32(9).field(14);
    boolean(want, true).field(15).int32(0).field(16);
    nullObject(want).field(17);
    nullObject(want).field(18);
    nullString(want).field(19).str("wf").end();
    std::string bytes;
    std::unique_ptr<DrvEvent> back = roundTrip(4987, &e, want, &bytes);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ("{ \"id\" : \"e1\", \"eventType\" : \"start\", \"source\" : null, \"sourceClass\" : null, "
              "\"subject\" : null, \"message\" : \"go\", \"principal\" : null, \"prompt\" : null, \"host\" : null, "
              "\"application\" : null, \"category\" : null, \"dispatchedBy\" : null, \"severity\" : 2, "
              "\"priority\" : 9, \"payload\" : null, \"workflowName\" : \"wf\", \"payloadClass\" : null, "
              "\"attributes\" : null }",
              text(back->toString(nullptr)));

    // A prompt and a payload of a known class come back as objects.
    e.prompt = new UserPrompt("Log in");
    e.prompt->addEntry("user", "admin", false, "bob");
    e.prompt->addEntry("password", nullptr, true, "secret");
    e.setPayload(2003, new UptimeData(60, 1, 2, 3));
    Bytes prompt;
    prompt.object(2400).field(1).str("Log in").field(2).container(2401);
    prompt.object(2402).field(1).str("user").field(2).str("admin").field(3);
    boolean(prompt, false).field(4).str("bob").end();
    prompt.object(2402).field(1).str("password").field(2);
    nullString(prompt).field(3);
    boolean(prompt, true).field(4).str("secret").end().containerEnd().end();
    std::string promptBytes = encodedBody(2400, e.prompt);
    EXPECT_EQ(prompt.hex(), Bytes::hex(promptBytes.data(), promptBytes.size()));
    back = decodedBody<DrvEvent>(4987, encodedBody(4987, &e));
    ASSERT_NE(nullptr, back);
    ASSERT_NE(nullptr, back->prompt);
    EXPECT_EQ("{ \"title\" : \"Log in\", \"entries\" : [{ \"label\" : \"user\", \"default\" : \"admin\", "
              "\"secret\" : false, \"answer\" : \"bob\" }, { \"label\" : \"password\", \"default\" : null, "
              "\"secret\" : true, \"answer\" : null }] }",
              text(back->prompt->toString(nullptr)));
    EXPECT_STREQ("secret", back->prompt->entries->next->answer);
    ASSERT_NE(nullptr, back->payload);
    EXPECT_EQ(2003u, back->payloadId);
    EXPECT_EQ(60, static_cast<UptimeData*>(back->payload)->uptime);

    // A payload of a class without a translator here is kept as it came.
    Bytes foreign;
    foreign.object(77001).field(1).str("opaque").end();
    std::string withForeign = bytes;
    std::string oldPayload = Bytes().field(15).int32(0).field(16).u8(8).data;
    withForeign.replace(withForeign.find(oldPayload), oldPayload.size(),
                        Bytes().field(15).int32(77001).field(16).data + foreign.data);
    back = decodedBody<DrvEvent>(4987, withForeign);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(nullptr, back->payload);
    EXPECT_EQ(foreign.data, std::string(reinterpret_cast<char*>(back->payloadBytes), back->payloadLength));
    EXPECT_EQ(withForeign, encodedBody(4987, back.get()));

    // Fields 1 to 6 are required, the later ones are not.
    EXPECT_EQ(nullptr, decodedBody<DrvEvent>(4987, withoutField(bytes, 6, 7)));
    std::unique_ptr<DrvEvent> sparse = decodedBody<DrvEvent>(4987, withoutField(withoutField(bytes, 19, 7), 13, 5));
    ASSERT_NE(nullptr, sparse);
    EXPECT_EQ(0, sparse->priority);
}

TEST_F(RecordsTest, ConfigurationItemUpdatesNeedEveryField) {
    CiUpdate u("H42", CiUpdate::OP_REPLACE, "inventory", "2026-12-05");
    u.addItem(new Ci("Disk", "sda", "system disk", new Attributes()));
    Bytes want;
    want.object(4882).field(1).str("H42").field(2).int32(1).field(3).str("inventory").field(4).str("2026-12-05");
    want.field(5).container(4883).object(4881).field(1).str("Disk").field(2).str("sda").field(3).str("system disk");
    emptyAttributes(want.field(4)).end().containerEnd().end();
    std::string bytes;
    std::unique_ptr<CiUpdate> back = roundTrip(4882, &u, want, &bytes);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ("{ \"assetId\" : \"H42\", \"operation\" : 1, \"source\" : \"inventory\", \"collectedAt\" : "
              "\"2026-12-05\", \"items\" : [{ \"ciClass\" : \"Disk\", \"ciId\" : \"sda\", \"name\" : \"system disk\", "
              "\"attributes\" : " + text(back->items->attributes->toString(nullptr)) + " }] }",
              text(back->toString(nullptr)));
    EXPECT_EQ(nullptr, decodedBody<CiUpdate>(4882, withoutField(bytes, 4, 15)));
    // An item without its attributes spoils the whole update.
    std::string itemWithout = bytes;
    std::string attrs = emptyAttributes(Bytes().field(4)).data;
    itemWithout.erase(itemWithout.find(attrs), attrs.size());
    EXPECT_EQ(nullptr, decodedBody<CiUpdate>(4882, itemWithout));
}

TEST_F(RecordsTest, JavaObjectAndDeviceChallenge) {
    const unsigned char stream[] = {0xAC, 0xED, 0x00, 0x05, 0x74};
    JavaObject j(stream, sizeof(stream));
    Bytes want;
    want.object(2431).field(1).u8(14).be32(5).u8(0xAC).u8(0xED).u8(0).u8(5).u8(0x74).end();
    std::string bytes;
    std::unique_ptr<JavaObject> back = roundTrip(2431, &j, want, &bytes);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ("{ \"length\" : 5, \"bytes\" : \"aced000574\" }", text(back->toString(nullptr)));

    EmbDeviceChallenge c("dev", "S1", "nonce", nullptr, "sig");
    Bytes wantChallenge;
    wantChallenge.object(50501).field(1).str("dev").field(2).str("S1").field(3).str("nonce").field(4);
    nullString(wantChallenge).field(5).str("sig").end();
    std::unique_ptr<EmbDeviceChallenge> challenge = roundTrip(50501, &c, wantChallenge, &bytes);
    ASSERT_NE(nullptr, challenge);
    EXPECT_EQ("{ \"deviceId\" : \"dev\", \"serial\" : \"S1\", \"challenge\" : \"nonce\", \"publicKey\" : null, "
              "\"signature\" : \"sig\" }",
              text(challenge->toString(nullptr)));
    EXPECT_EQ(nullptr, decodedBody<EmbDeviceChallenge>(50501, withoutField(bytes, 5, 8)));
}

}  // namespace
