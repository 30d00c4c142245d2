// The directory server's state folder: the domain CA made once and reused,
// the certificates it issues, the users file with its hashed passwords, and
// the asset table's reading of hand-written JSON.
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dir/asset.h"
#include "dir/principal.h"
#include "dirbase/attributes.h"
#include "tests/support/temp_dir.h"
#include "tools/dird/dird_login.h"
#include "tools/dird/dird_state.h"
#include "tools/dird/login_throttle.h"

namespace {

int modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

std::unique_ptr<DirdState> openState(const std::string& dir, const char* domain, std::string* error) {
    return std::unique_ptr<DirdState>(DirdState::open(dir, domain, false, error));
}

}  // namespace

TEST(DirdState, MadeOnceThenReusedAndCheckedAgainstItsDomain) {
    TempDir tmp;
    std::string dir = tmp.file("state");
    std::string error;
    EXPECT_EQ(nullptr, openState(dir, nullptr, &error)) << "a new folder needs the domain name";
    EXPECT_NE(std::string::npos, error.find("--domain"));

    std::string firstCa;
    {
        auto state = openState(dir, "corp.example", &error);
        ASSERT_TRUE(state) << error;
        EXPECT_EQ("corp.example", state->ca()->domain());
        EXPECT_EQ(0700, modeOf(dir));
        EXPECT_EQ(0600, modeOf(dir + "/ca.key"));
        firstCa = readFile(dir + "/ca.pem");
        EXPECT_NE(std::string::npos, firstCa.find("BEGIN CERTIFICATE"));
    }
    // Reopened without a domain: the same CA, not a new one.
    auto again = openState(dir, nullptr, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ("corp.example", again->ca()->domain());
    EXPECT_EQ(firstCa, readFile(dir + "/ca.pem"));
    again.reset();

    EXPECT_EQ(nullptr, openState(dir, "other.example", &error));
    EXPECT_NE(std::string::npos, error.find("belongs to domain 'corp.example'")) << error;

    // A damaged CA is reported, not replaced.
    writeFile(dir + "/ca.pem", "not a certificate\n");
    EXPECT_EQ(nullptr, openState(dir, nullptr, &error));
    EXPECT_NE(std::string::npos, error.find("damaged")) << error;
    EXPECT_EQ("not a certificate\n", readFile(dir + "/ca.pem"));
}

TEST(DirdState, SessionCertificatesCarryThePrincipalAndOnlyOurOwnPass) {
    TempDir tmp;
    std::string error;
    auto state = openState(tmp.file("s"), "corp.example", &error);
    ASSERT_TRUE(state) << error;
    const std::string security = "1`alice,-,ops`alice,-,Admins@corp.example";
    ASSERT_TRUE(state->users()->setUser("alice", "s3cret", security, &error)) << error;

    EVP_PKEY* key = DomainCA::generateKey(2048);
    ASSERT_NE(nullptr, key);
    std::string keyPem = pemOfPublicKey(key);
    std::string pem;
    EXPECT_EQ(68, dird_issueSessionCertificate(state.get(), "alice", security, "not a key", &pem));
    EXPECT_TRUE(pem.empty());
    ASSERT_EQ(0, dird_issueSessionCertificate(state.get(), "alice", security, keyPem.c_str(), &pem));

    X509* cert = certificateFromPem(pem.data(), pem.size());
    ASSERT_NE(nullptr, cert);
    EXPECT_TRUE(samePublicKey(key, X509_get0_pubkey(cert)));
    EXPECT_TRUE(state->ca()->issuedByUs(cert));
    std::unique_ptr<Principal> p(Principal::createFromCertificate(cert));
    ASSERT_TRUE(p);
    EXPECT_STREQ(security.c_str(), p->security);
    EXPECT_STREQ("corp.example", p->domain);
    EXPECT_GT(p->session, 0);
    EXPECT_STRNE("PV", p->signature);
    char login[64];
    ASSERT_EQ(0, p->getLoginUser(login, sizeof login));
    EXPECT_STREQ("alice", login);

    // Two logins are two sessions.
    std::string second;
    ASSERT_EQ(0, dird_issueSessionCertificate(state.get(), "alice", security, keyPem.c_str(), &second));
    X509* other = certificateFromPem(second.data(), second.size());
    std::unique_ptr<Principal> q(Principal::createFromCertificate(other));
    EXPECT_NE(p->session, q->session);

    // A certificate of another domain's CA, even with the same names, is not ours.
    TempDir tmp2;
    auto foreign = openState(tmp2.file("s"), "corp.example", &error);
    ASSERT_TRUE(foreign);
    X509* forged = foreign->ca()->issue("alice", key, security.c_str(), 0, 3600);
    EXPECT_FALSE(state->ca()->issuedByUs(forged));
    EXPECT_TRUE(foreign->ca()->issuedByUs(forged));
    X509* expired = state->ca()->issue("alice", key, nullptr, 0, -120);
    EXPECT_FALSE(state->ca()->issuedByUs(expired));
    X509_free(expired);
    X509_free(forged);
    X509_free(other);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST(DirdUsers, PasswordsStoredHashedAndCheckedAfterChanges) {
    TempDir tmp;
    std::string path = tmp.file("users");
    UserTable users(path);
    std::string error;
    EXPECT_FALSE(users.setUser("-x", "pw", "", &error));
    EXPECT_FALSE(users.setUser("a:b", "pw", "", &error));
    EXPECT_FALSE(users.setUser("bob", "pw", "two\nlines", &error));
    ASSERT_TRUE(users.setUser("bob", "correct horse", UserTable::defaultSecurity("bob", "d.example"), &error));
    ASSERT_TRUE(users.setUser("carol", "correct horse", "1`carol,-`carol,-", &error));

    std::string text = readFile(path);
    EXPECT_EQ(std::string::npos, text.find("correct horse")) << "the password itself is never stored";
    EXPECT_EQ(0600, modeOf(path));
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(3u, lines.size());  // the comment and two users
    // Same password, different salts: different hashes.
    EXPECT_NE(lines[1].substr(lines[1].find(':')), lines[2].substr(lines[2].find(':')));

    std::string security;
    EXPECT_EQ(0, users.check("bob", "correct horse", &security));
    EXPECT_EQ("1`bob,-`bob,-,Users@d.example", security);
    EXPECT_EQ(20, users.check("bob", "correct horsE", &security));
    EXPECT_EQ(20, users.check("bob", "", &security));
    EXPECT_EQ(20, users.check("dave", "correct horse", &security));

    // Another process (drvdird --add-user) changes the file: a second table
    // sees the new password, and a broken line costs only that line.
    UserTable other(path);
    ASSERT_TRUE(other.setUser("bob", "battery staple", "1`bob,-`bob,-", &error));
    writeFile(path, readFile(path) + "garbage line without fields\nerin:pbkdf2-sha256:1:zz:zz:x\n");
    EXPECT_EQ(20, users.check("bob", "correct horse", &security));
    EXPECT_EQ(0, users.check("bob", "battery staple", &security));
    EXPECT_EQ(0, users.check("carol", "correct horse", &security));
    EXPECT_EQ(2, users.size());
}

// An administrator's notes and the lines the table cannot read (a typo, a
// user of a newer format) survive a rewrite by --add-user, where they stood.
TEST(DirdUsers, RewriteKeepsCommentsAndLinesItDoesNotRead) {
    TempDir tmp;
    std::string path = tmp.file("users");
    std::string error;
    {
        UserTable seed(path);
        ASSERT_TRUE(seed.setUser("bob", "pw", "1`bob,-`bob,-", &error)) << error;
    }
    std::vector<std::string> seeded = splitLines(readFile(path));
    ASSERT_EQ(2u, seeded.size());
    const std::string header = seeded[0];
    const std::string bobLine = seeded[1];
    const std::string note = "# carol is away until March; do not remove her";
    const std::string typo = "carol:pbkdf2-sha256:60000:00ff:tooshort:1`carol,-`carol,-";
    const std::string future = "dave:argon2id:3:aabb:ccdd:1`dave,-`dave,-";
    writeFile(path, header + "\n" + note + "\n" + typo + "\n\n" + bobLine + "\n" + future + "\n");

    UserTable users(path);
    EXPECT_EQ(1, users.size());
    ASSERT_TRUE(users.setUser("erin", "pw2", "1`erin,-`erin,-", &error)) << error;
    std::vector<std::string> lines = splitLines(readFile(path));
    ASSERT_EQ(7u, lines.size()) << readFile(path);
    EXPECT_EQ(header, lines[0]) << "the header is written once, not once more per rewrite";
    EXPECT_EQ(note, lines[1]);
    EXPECT_EQ(typo, lines[2]);
    EXPECT_EQ("", lines[3]);
    EXPECT_EQ(bobLine, lines[4]);
    EXPECT_EQ(future, lines[5]);
    EXPECT_EQ(0u, lines[6].find("erin:pbkdf2-sha256:"));

    // A changed password replaces the user's line in place.
    ASSERT_TRUE(users.setUser("bob", "new", "1`bob,-`bob,-,Ops", &error)) << error;
    lines = splitLines(readFile(path));
    ASSERT_EQ(7u, lines.size()) << readFile(path);
    EXPECT_EQ(note, lines[1]);
    EXPECT_EQ(typo, lines[2]);
    EXPECT_EQ(0u, lines[4].find("bob:pbkdf2-sha256:"));
    EXPECT_NE(bobLine, lines[4]);
    EXPECT_EQ(future, lines[5]);
    std::string security;
    EXPECT_EQ(0, UserTable(path).check("bob", "new", &security));
    EXPECT_EQ("1`bob,-`bob,-,Ops", security);
    EXPECT_EQ(0, users.check("erin", "pw2", &security));
}

// A users file that exists but does not read is never replaced by one
// holding only the user being added: the change is refused instead. Root
// reads any file, so the file here is a link to a folder, then a link loop.
TEST(DirdUsers, FileThatCannotBeReadIsNotWrittenOver) {
    TempDir tmp;
    std::string path = tmp.file("users");
    std::string error;
    ASSERT_EQ(0, mkdir(tmp.file("folder").c_str(), 0700));
    ASSERT_EQ(0, symlink(tmp.file("folder").c_str(), path.c_str()));
    UserTable users(path);
    EXPECT_FALSE(users.setUser("bob", "pw", "1`bob,-`bob,-", &error));
    EXPECT_NE(std::string::npos, error.find(path)) << error;
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the users file was replaced";

    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(0, symlink(path.c_str(), path.c_str()));
    error.clear();
    EXPECT_FALSE(users.setUser("bob", "pw", "1`bob,-`bob,-", &error));
    EXPECT_NE(std::string::npos, error.find(path)) << error;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the users file was replaced";

    // Once it reads again, changes are taken.
    ASSERT_EQ(0, unlink(path.c_str()));
    error.clear();
    ASSERT_TRUE(users.setUser("bob", "pw", "1`bob,-`bob,-", &error)) << error;
    std::string security;
    EXPECT_EQ(0, users.check("bob", "pw", &security));
}

// Password guessing is slowed per user and peer: a few failures are free,
// then each one shuts the pair out for twice as long as the one before, up
// to a ceiling; a success, or a long quiet spell, starts the count again.
TEST(DirdLogins, FailuresInARowShutOutOnlyThatUserFromThatPeer) {
    LoginThrottle t;
    const long long start = 1000000;
    for (int i = 0; i < LoginThrottle::kFreeFailures; i++) {
        EXPECT_EQ(0, t.waitMs("bob", "10.0.0.1", start));
        t.failed("bob", "10.0.0.1", start);
    }
    EXPECT_EQ(0, t.waitMs("bob", "10.0.0.1", start));
    t.failed("bob", "10.0.0.1", start);
    EXPECT_EQ(LoginThrottle::kFirstDelayMs, t.waitMs("bob", "10.0.0.1", start));
    EXPECT_EQ(0, t.waitMs("bob", "10.0.0.2", start)) << "another peer is not shut out";
    EXPECT_EQ(0, t.waitMs("carol", "10.0.0.1", start)) << "nor another user";

    long long now = start + LoginThrottle::kFirstDelayMs;
    EXPECT_EQ(0, t.waitMs("bob", "10.0.0.1", now));
    t.failed("bob", "10.0.0.1", now);
    EXPECT_EQ(2 * LoginThrottle::kFirstDelayMs, t.waitMs("bob", "10.0.0.1", now));
    // However many follow, the delay stops at its ceiling (and the shift
    // that doubles it never overflows).
    for (int i = 0; i < 100; i++) t.failed("bob", "10.0.0.1", now);
    EXPECT_EQ(LoginThrottle::kMaxDelayMs, t.waitMs("bob", "10.0.0.1", now));

    t.succeeded("bob", "10.0.0.1");
    EXPECT_EQ(0, t.waitMs("bob", "10.0.0.1", now));
    t.failed("bob", "10.0.0.1", now);
    EXPECT_EQ(0, t.waitMs("bob", "10.0.0.1", now)) << "a success started the count again";

    // Failures long ago are forgotten.
    for (int i = 0; i < LoginThrottle::kFreeFailures; i++) t.failed("erin", "10.0.0.1", now);
    now += LoginThrottle::kForgetMs;
    t.failed("erin", "10.0.0.1", now);
    EXPECT_EQ(0, t.waitMs("erin", "10.0.0.1", now));
}

// A flood of guesses from ever new peers cannot grow the table without
// bound; the pairs quiet the longest make room.
TEST(DirdLogins, TheTableStaysBounded) {
    LoginThrottle t;
    const size_t n = LoginThrottle::kMaxEntries + 10;
    for (size_t i = 0; i < n; i++) t.failed("bob", std::to_string(i), static_cast<long long>(i));
    EXPECT_EQ(LoginThrottle::kMaxEntries, t.size());
    // The newest pairs are still counted.
    for (int i = 0; i < LoginThrottle::kFreeFailures; i++) t.failed("bob", std::to_string(n - 1), n);
    EXPECT_GT(t.waitMs("bob", std::to_string(n - 1), n), 0);
}

TEST(DirdAssets, TableReadFromJsonAndRefusedWhenMalformed) {
    TempDir tmp;
    std::string path = tmp.file("assets.json");
    writeFile(path,
              "{ \"assets\": [ { \"id\": \"web1\", \"host\": \"10.0.0.5\", \"port\": 14000, \"ftport\": 14001,"
              " \"masq\": true, \"agentVersion\": \"dravika-2.1.3\", \"description\": \"a \\\"quoted\\\" one\" },"
              " { \"id\": \"db\" } ],"
              "  \"endpoints\": [ { \"id\": \"ep1\", \"asset\": \"web1\", \"type\": 1,"
              " \"attributes\": { \"path\": \"/srv\", \"depth\": 3 } } ] }");
    AssetTable table(path);
    std::string error;
    ASSERT_TRUE(table.load(&error)) << error;
    std::unique_ptr<Asset> web(table.findAsset("web1"));
    ASSERT_TRUE(web);
    EXPECT_STREQ("10.0.0.5", web->host);
    EXPECT_EQ(14001, web->ftport);
    EXPECT_TRUE(web->masq);
    EXPECT_EQ(20103, web->getDravikaVersion());
    EXPECT_STREQ("a \"quoted\" one", web->description);
    std::unique_ptr<Endpoint> ep(table.findEndpoint("ep1"));
    ASSERT_TRUE(ep);
    EXPECT_EQ(1, ep->type);
    ASSERT_NE(nullptr, ep->attributes);
    EXPECT_STREQ("/srv", ep->attributes->getStringAttribute("path"));
    EXPECT_EQ(nullptr, table.findAsset("web"));

    // What the table writes reads back the same.
    std::vector<Asset*> assets;
    std::vector<Endpoint*> endpoints;
    ASSERT_TRUE(AssetTable::parse(table.toJson().c_str(), &assets, &endpoints, &error)) << error;
    ASSERT_EQ(2u, assets.size());
    EXPECT_STREQ("a \"quoted\" one", assets[0]->description);
    ASSERT_EQ(1u, endpoints.size());
    ASSERT_NE(nullptr, endpoints[0]->attributes);
    Any* depth = endpoints[0]->attributes->getAttribute("depth");
    ASSERT_NE(nullptr, depth);
    EXPECT_EQ(3, depth->getInt32());
    for (Asset* a : assets) delete a;
    for (Endpoint* e : endpoints) delete e;

    struct Bad {
        const char* text;
        const char* why;
    } bad[] = {
        {"[]", "one JSON object"},
        {"{ \"assets\": { } }", "array of objects"},
        {"{ \"assets\": [ { \"host\": \"x\" } ] }", "\"id\" is missing"},
        {"{ \"assets\": [ { \"id\": \"a\" }, { \"id\": \"a\" } ] }", "appears twice"},
        {"{ \"assets\": [ { \"id\": \"a\", \"port\": \"14000\" } ] }", "\"port\" must be a whole number"},
        {"{ \"assets\": [ { \"id\": 7 } ] }", "\"id\" must be a string"},
        {"{ \"assets\": [ ", "expected a value"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(AssetTable::parse(b.text, &assets, &endpoints, &error)) << b.text;
        EXPECT_NE(std::string::npos, error.find(b.why)) << b.text << " gave: " << error;
    }

    // A file broken while the server runs keeps the table it had.
    writeFile(path, "{ broken");
    std::unique_ptr<Asset> still(table.findAsset("db"));
    EXPECT_TRUE(still);
    EXPECT_EQ("{ broken", readFile(path));
    // Nor is it written over by a change (an enrolment) before it is mended:
    // what the person wrote stays for them to finish.
    Asset added;
    added.id = strdup("new1");
    bool wasAdded = false;
    error.clear();
    EXPECT_FALSE(table.putAsset(added, &wasAdded, &error));
    EXPECT_NE(std::string::npos, error.find("assets.json")) << error;
    EXPECT_FALSE(table.removeAsset("db", &error));
    EXPECT_EQ("{ broken", readFile(path));
    writeFile(path, "{ \"assets\": [ { \"id\": \"db\" } ] }");
    EXPECT_TRUE(table.putAsset(added, &wasAdded, &error)) << error;
    EXPECT_TRUE(wasAdded);
    std::unique_ptr<Asset> mended(table.findAsset("new1"));
    EXPECT_TRUE(mended);
    EXPECT_EQ(nullptr, table.findAsset("web1"));
}

// Only a table that is not there is made afresh: one that is there but
// cannot be looked at (here a link loop, which root cannot read either)
// is reported and left as it is.
TEST(DirdAssets, TableThatCannotBeReadIsNotMadeAfresh) {
    TempDir tmp;
    std::string path = tmp.file("assets.json");
    ASSERT_EQ(0, symlink(path.c_str(), path.c_str()));
    AssetTable table(path);
    std::string error;
    EXPECT_FALSE(table.load(&error));
    EXPECT_NE(std::string::npos, error.find(path)) << error;
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the table was written over";
    ASSERT_EQ(0, unlink(path.c_str()));
    error.clear();
    EXPECT_TRUE(table.load(&error)) << error;
    EXPECT_NE(std::string::npos, readFile(path).find("\"assets\""));

    // The same while the server runs: a change waits until the file reads.
    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(0, symlink(path.c_str(), path.c_str()));
    Asset added;
    added.id = strdup("new1");
    bool wasAdded = false;
    EXPECT_FALSE(table.putAsset(added, &wasAdded, &error));
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the table was written over";
    ASSERT_EQ(0, unlink(path.c_str()));
    writeFile(path, "{ \"assets\": [ { \"id\": \"db\" } ] }");
    EXPECT_TRUE(table.putAsset(added, &wasAdded, &error)) << error;
    std::unique_ptr<Asset> db(table.findAsset("db"));
    EXPECT_TRUE(db);
}
