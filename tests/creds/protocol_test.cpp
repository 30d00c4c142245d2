// The child protocol: answers decode to what a child encoded, and a short,
// lying or unknown answer is an error. The child's argument list.
#include <string>
#include <vector>

#include "common/properties.h"
#include "tests/creds/creds_test_support.h"

namespace {

CredsAnswer sampleAnswer(int operation) {
    CredsAnswer a;
    a.user.uid = 1234;
    a.user.gid = 99;
    a.user.name = "alice";
    a.user.home = "/home/alice";
    a.user.groups = {99, 4, 27};
    a.group.gid = 27;
    a.group.name = "sudo";
    a.address = 0x0100007f;
    if (operation == CREDS_OP_ALL_GROUPS) a.groups = {{0, "root"}, {27, "sudo"}, {65534, ""}};
    if (operation == CREDS_OP_ALL_USERS) {
        CredsUser u;
        u.uid = 1;
        u.gid = 1;
        u.name = "daemon";
        a.users = {u, u};
        a.users[1].name = "bin";
        a.users[1].uid = 2;
    }
    return a;
}

int decode(int operation, const std::string& bytes, CredsAnswer& out) {
    CredsMemorySource in(bytes.data(), bytes.size());
    return decodeCredsAnswer(operation, in, out);
}

std::string word(int32_t w) { return std::string(reinterpret_cast<const char*>(&w), sizeof(w)); }
std::string text(const std::string& s) { return word(static_cast<int32_t>(s.size())) + s; }

}  // namespace

// The bytes themselves, written out by hand: the round trips below would not
// notice a layout that encoder and decoder changed together, and a child of
// another build of the program must still understand its parent.
TEST(CredsProtocol, RequestsAndAnswersHaveTheirFixedLayout) {
    CredsRequest r;
    r.name = "alice";
    r.password = "pw";
    r.service = "sshd";
    r.id = 1234;
    r.accessOnly = true;
    const std::string requests[] = {
        word(1) + text("alice") + text("pw") + text("sshd") + word(1),
        word(2) + word(1234),
        word(3) + text("alice"),
        word(4) + word(1234),
        word(5) + text("alice"),
        word(6),
        word(7),
        word(8) + text("alice"),
    };
    for (int op = CREDS_OP_LOGIN; op <= CREDS_OP_HOST_BY_NAME; op++) {
        r.operation = op;
        std::string bytes;
        ASSERT_TRUE(encodeCredsRequest(r, bytes));
        EXPECT_EQ(requests[op - 1], bytes) << "request " << op;
    }

    const std::string user = word(0) + word(1234) + word(99) + text("alice") + text("/home/alice") + word(3) +
                             word(99) + word(4) + word(27);
    const std::string group = word(0) + word(27) + text("sudo");
    const std::string answers[] = {
        user,
        user,
        user,
        group,
        group,
        "\1" + word(0) + text("root") + "\1" + word(27) + text("sudo") + "\1" + word(65534) + text("") +
            std::string(1, '\0'),
        "\1" + word(1) + word(1) + text("daemon") + "\1" + word(2) + word(1) + text("bin") + std::string(1, '\0'),
        word(0) + std::string("\x7F\0\0\1", 4),
    };
    for (int op = CREDS_OP_LOGIN; op <= CREDS_OP_HOST_BY_NAME; op++) {
        std::string bytes;
        encodeCredsAnswer(op, sampleAnswer(op), bytes);
        EXPECT_EQ(answers[op - 1], bytes) << "answer " << op;
    }
    std::string missing;
    encodeCredsHostAnswer(false, 0, missing);
    EXPECT_EQ(word(1), missing);
}

TEST(CredsProtocol, AnswersDecodeToWhatTheChildSent) {
    for (int op = CREDS_OP_LOGIN; op <= CREDS_OP_HOST_BY_NAME; op++) {
        SCOPED_TRACE(op);
        CredsAnswer sent = sampleAnswer(op);
        std::string bytes;
        encodeCredsAnswer(op, sent, bytes);
        CredsAnswer got;
        ASSERT_EQ(0, decode(op, bytes, got));
        EXPECT_EQ(CREDS_STATUS_OK, got.status);
        if (op <= CREDS_OP_USER_BY_NAME) {
            EXPECT_EQ(1234u, got.user.uid);
            EXPECT_EQ(99u, got.user.gid);
            EXPECT_EQ("alice", got.user.name);
            EXPECT_EQ("/home/alice", got.user.home);
            EXPECT_EQ(sent.user.groups, got.user.groups);
        } else if (op <= CREDS_OP_GROUP_BY_NAME) {
            EXPECT_EQ(27u, got.group.gid);
            EXPECT_EQ("sudo", got.group.name);
        } else if (op == CREDS_OP_ALL_GROUPS) {
            ASSERT_EQ(3u, got.groups.size());
            EXPECT_EQ(65534u, got.groups[2].gid);
            EXPECT_EQ("sudo", got.groups[1].name);
        } else if (op == CREDS_OP_ALL_USERS) {
            ASSERT_EQ(2u, got.users.size());
            EXPECT_EQ("bin", got.users[1].name);
            EXPECT_EQ(2u, got.users[1].uid);
        } else {
            EXPECT_EQ(0x0100007fu, got.address);
        }

        // Every cut short of the whole answer is an error.
        for (size_t cut = 0; cut < bytes.size(); cut++) {
            CredsAnswer partial;
            EXPECT_NE(0, decode(op, bytes.substr(0, cut), partial)) << "cut at " << cut;
        }
    }
    // A failure status is the whole answer.
    for (int32_t status : {1, 2, 99}) {
        CredsAnswer got;
        EXPECT_EQ(0, decode(CREDS_OP_LOGIN, word(status), got));
        EXPECT_EQ(status, got.status);
    }
}

TEST(CredsProtocol, LyingAnswersAreRefused) {
    CredsAnswer got;
    // A user record claiming more groups than a child may send.
    std::string user = word(0) + word(1) + word(1) + word(1) + "a" + word(0) + word(101);
    EXPECT_EQ(10, decode(CREDS_OP_USER_BY_ID, user, got));
    // Negative and oversized lengths.
    EXPECT_EQ(3, decode(CREDS_OP_USER_BY_NAME, word(0) + word(1) + word(1) + word(-1), got));
    EXPECT_EQ(3, decode(CREDS_OP_USER_BY_NAME, word(0) + word(1) + word(1) + word(1 << 30) + "abc", got));
    EXPECT_EQ(5, decode(CREDS_OP_GROUP_BY_ID, word(0) + word(4) + word(5000), got));
    // An enumeration item marker other than 0 or 1, or no end byte.
    EXPECT_EQ(6, decode(CREDS_OP_ALL_GROUPS, std::string("\2"), got));
    EXPECT_EQ(6, decode(CREDS_OP_ALL_USERS, std::string("\1") + word(1) + word(1) + word(0), got));
    EXPECT_EQ(9, decode(42, word(0), got));
}

// Long names in many items add up: an enumeration is bounded in bytes as
// well as in items, so a lying child cannot make the parent hold gigabytes.
TEST(CredsProtocol, EnumerationsAreBoundedInBytes) {
    const std::string name(kCredsMaxText, 'n');
    auto items = [&](int op, size_t count) {
        std::string one = std::string("\1") + word(7) + (op == CREDS_OP_ALL_USERS ? word(7) : "") +
                          word(static_cast<int32_t>(name.size())) + name;
        std::string all;
        all.reserve(one.size() * count + 1);
        for (size_t i = 0; i < count; i++) all += one;
        return all + std::string(1, '\0');
    };
    for (int op : {CREDS_OP_ALL_GROUPS, CREDS_OP_ALL_USERS}) {
        SCOPED_TRACE(op);
        size_t itemBytes = 1 + (op == CREDS_OP_ALL_USERS ? 12 : 8) + name.size();
        size_t fits = kCredsMaxEnumerationBytes / itemBytes;
        CredsAnswer got;
        ASSERT_EQ(0, decode(op, items(op, fits), got));
        EXPECT_EQ(fits, got.groups.size() + got.users.size());
        CredsAnswer refused;
        EXPECT_EQ(10, decode(op, items(op, fits + 1), refused));
    }
}

TEST(CredsProtocol, RequestsReachTheChildIntact) {
    for (int op = CREDS_OP_LOGIN; op <= CREDS_OP_HOST_BY_NAME; op++) {
        CredsRequest sent;
        sent.operation = op;
        sent.name = "someone";
        sent.password = "pa ss";
        sent.service = "login";
        sent.id = 4242;
        sent.accessOnly = true;
        std::string bytes;
        ASSERT_TRUE(encodeCredsRequest(sent, bytes));
        CredsMemorySource in(bytes.data(), bytes.size());
        CredsRequest got;
        ASSERT_TRUE(readCredsRequest(in, got));
        EXPECT_EQ(0u, in.left());
        EXPECT_EQ(op, got.operation);
        bool byName = op == CREDS_OP_LOGIN || op == CREDS_OP_USER_BY_NAME || op == CREDS_OP_GROUP_BY_NAME ||
                      op == CREDS_OP_HOST_BY_NAME;
        EXPECT_EQ(byName ? "someone" : "", got.name);
        EXPECT_EQ(op == CREDS_OP_USER_BY_ID || op == CREDS_OP_GROUP_BY_ID ? 4242 : 0, got.id);
        EXPECT_EQ(op == CREDS_OP_LOGIN, got.accessOnly);
        EXPECT_EQ(op == CREDS_OP_LOGIN ? "pa ss" : "", got.password);
        // A request cut short is refused.
        CredsMemorySource cut(bytes.data(), bytes.size() - 1);
        CredsRequest partial;
        EXPECT_FALSE(readCredsRequest(cut, partial));
    }
    CredsRequest tooLong;
    tooLong.operation = CREDS_OP_USER_BY_NAME;
    tooLong.name.assign(kCredsMaxText + 1, 'x');
    std::string bytes;
    EXPECT_FALSE(encodeCredsRequest(tooLong, bytes));
    EXPECT_TRUE(bytes.empty());
}

TEST(CredsProtocol, OnlyTheChildArgumentListMakesAChild) {
    auto parse = [](std::vector<const char*> args, CredsChildOptions& o) {
        return credsParseChildArguments(static_cast<int>(args.size()), const_cast<char**>(args.data()), o);
    };
    CredsChildOptions o;
    ASSERT_TRUE(parse({"dravika", "-nss_workaround", "-debug_creds", "-bufsize", "8192", "-testcred"}, o));
    EXPECT_TRUE(o.nssWorkaround);
    EXPECT_TRUE(o.debug);
    EXPECT_EQ(8192, o.bufferSize);
    ASSERT_TRUE(parse({"dravika", "-bufsize", "0", "-testcred"}, o));
    EXPECT_FALSE(o.nssWorkaround);
    EXPECT_FALSE(o.debug);
    EXPECT_EQ(0, o.bufferSize);
    ASSERT_TRUE(parse({"dravika", "-bufsize", "1048576", "-testcred"}, o));
    EXPECT_EQ(kCredsMaxBufferSize, o.bufferSize);
    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
             {"drvhost"},
             {"drvhost", "--lookup", "user", "root"},
             {"drvhost", "-testcred", "-bufsize", "1"},
             {"drvhost", "--count", "-testcred"},
             {"drvhost", "-bufsize", "-testcred"},
             {"drvhost", "-bufsize", "-5", "-testcred"},
             {"drvhost", "-bufsize", "12abc", "-testcred"},
             {"drvhost", "-bufsize", "1048577", "-testcred"}})
        EXPECT_FALSE(parse(bad, o)) << bad[1];
}
