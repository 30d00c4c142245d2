// Principal: reading the security text (well formed and broken), choosing a
// native login, certificates, and the round trip through the encoding; and
// the access-list checks against a principal: first matching entry decides,
// the builtin patterns, host domains, administrators and extra groups, and
// who may change the list itself.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "dir/acl_check.h"
#include "dir/directory.h"
#include "dir/principal.h"
#include "dirbase/acl.h"
#include "dirbase/message.h"

namespace {

// Policies; login user and groups; management user and groups; then native
// identities: ftp before ssh.
const char kText[] =
    "1,admin,maxSessions:5,rdp:`alice,x,staff,wheel`alice;corp,y,Operators@corp,Auditors@other`"
    "bob@ftp/u,pw1,ftpgrp`alice@SSH/u,pw2,sshgrp1,sshgrp2";

std::vector<std::string> take(char** list) {
    std::vector<std::string> out;
    if (list == nullptr) return {"<null>"};
    for (char** p = list; *p != nullptr; p++) out.push_back(*p);
    Principal::freeList(list);
    return out;
}

using Strings = std::vector<std::string>;

TEST(PrincipalText, SectionsListsPoliciesAndNames) {
    Principal p(kText, "corp", nullptr, 42);
    char buf[64];
    ASSERT_EQ(0, p.getLoginUser(buf, sizeof(buf)));
    EXPECT_STREQ("alice", buf);
    ASSERT_EQ(0, p.getDravikaUser(buf, sizeof(buf)));
    EXPECT_STREQ("alice;corp", buf);
    EXPECT_EQ(Strings({"staff", "wheel"}), take(p.getLoginGroups()));
    EXPECT_EQ(Strings({"Operators@corp", "Auditors@other"}), take(p.getDravikaGroups()));
    EXPECT_EQ(Strings({"bob@ftp/u", "alice@SSH/u"}), take(p.getNativeUsers()));
    EXPECT_EQ(Strings({"sshgrp1", "sshgrp2"}), take(p.getNativeGroups("alice@SSH/u")));
    EXPECT_EQ(Strings({"<null>"}), take(p.getNativeGroups("alice@ssh/u")));
    EXPECT_EQ(Strings({"admin", "", "maxSessions", "5", "rdp", ""}), take(p.getAllPolicies()));
    EXPECT_STREQ("PV", p.signature);

    strcpy(buf, "junk");
    EXPECT_EQ(1, p.getPolicy("admin", buf, sizeof(buf)));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(1, p.getPolicy("maxSessions", buf, sizeof(buf)));
    EXPECT_STREQ("5", buf);
    // An item's name that is a prefix of the asked name finds the item.
    EXPECT_EQ(1, p.getPolicy("administrator", buf, sizeof(buf)));
    EXPECT_FALSE(p.isPolicySet("adm"));
    EXPECT_FALSE(p.isPolicySet("1"));  // the version field is no policy
    EXPECT_TRUE(p.isPolicySet("rdp"));
    // Values are cut to the buffer and stay terminated.
    Principal longValue("1,note:abcdefghij`a,b`c,d", nullptr, nullptr, 0);
    char small[4];
    EXPECT_EQ(1, longValue.getPolicy("note", small, sizeof(small)));
    EXPECT_STREQ("abc", small);

    // Only the group names count, not their domains.
    EXPECT_TRUE(p.containsDravikaGroup("Operators@elsewhere"));
    EXPECT_TRUE(p.containsDravikaGroup("Auditors"));
    EXPECT_FALSE(p.containsDravikaGroup("Operator"));
    EXPECT_FALSE(p.containsDravikaGroup("y"));  // the second field is no group
    // ";" and "@" are the same character in names; lengths must be equal.
    EXPECT_TRUE(p.containsPrincipalName("alice@corp"));
    EXPECT_TRUE(p.containsPrincipalName("alice"));
    EXPECT_TRUE(p.containsPrincipalName("wheel"));
    EXPECT_TRUE(p.containsPrincipalName("bob;ftp/u"));
    EXPECT_FALSE(p.containsPrincipalName("alic"));
    EXPECT_FALSE(p.containsPrincipalName("pw1"));   // credentials are not names
    EXPECT_FALSE(p.containsPrincipalName("admin"));  // section 0 holds policies
    EXPECT_FALSE(p.containsPrincipalName(""));
}

TEST(PrincipalText, MalformedTexts) {
    const char* broken[] = {nullptr, "", "1", "1`", "1`alice", "1`alice`", "```", ",,,`,,`,", "1`a,b`c"};
    for (const char* text : broken) {
        SCOPED_TRACE(text != nullptr ? text : "<null>");
        Principal p(text, nullptr, nullptr, 0);
        char buf[8];
        // Each accessor either fails cleanly or gives a terminated result.
        if (p.getLoginUser(buf, sizeof(buf)) == 0) {
            EXPECT_LT(strlen(buf), sizeof(buf));
        }
        if (p.getDravikaUser(buf, sizeof(buf)) == 0) {
            EXPECT_LT(strlen(buf), sizeof(buf));
        }
        take(p.getLoginGroups());
        take(p.getDravikaGroups());
        take(p.getNativeUsers());
        take(p.getAllPolicies());
        p.containsPrincipalName("a");
        p.containsDravikaGroup("Administrators");
        char* services[] = {const_cast<char*>("ssh"), nullptr};
        EXPECT_EQ(-1, p.getBestNativeLogin(services, nullptr, buf, sizeof(buf), nullptr, 0, nullptr, 0, nullptr, 0));
        free(p.asAuthString());
    }
    Principal noComma("1`alice`bob`", nullptr, nullptr, 0);
    char buf[8];
    EXPECT_EQ(-1, noComma.getLoginUser(buf, sizeof(buf)));
    EXPECT_EQ(-1, noComma.getDravikaUser(buf, sizeof(buf)));
    EXPECT_EQ(Strings({"<null>"}), take(noComma.getLoginGroups()));
    Principal twoFields("1`alice,x`bob,y", nullptr, nullptr, 0);
    EXPECT_EQ(Strings(), take(twoFields.getLoginGroups()));
    EXPECT_EQ(Strings(), take(twoFields.getNativeUsers()));
}

// A security text arrives from a peer, so its size is the peer's to choose.
// Reading one of many thousand items or sections must cost in proportion to
// its length: each accessor here reads the text once and finds the entry at
// its far end within a few seconds (a walk that restarts at the front for
// every item takes many seconds on these texts).
TEST(PrincipalText, LongTextsAreReadInOnePass) {
    const int n = 60000;
    // Numbers of one width: no policy name is a prefix of another.
    auto number = [](int i) {
        char text[16];
        snprintf(text, sizeof(text), "%06d", i);
        return std::string(text);
    };
    std::string policies = "1";
    for (int i = 0; i < n; i++) policies += ",p" + number(i);
    std::string groups;
    for (int i = 0; i < n; i++) groups += ",g" + number(i) + "@corp";
    std::string natives;
    for (int i = 0; i < n; i++) natives += "`u" + number(i) + "@svc" + number(i) + "/u,pw,ng";
    const std::string last = number(n - 1);
    Principal p((policies + ":v`alice,x" + groups + "`bob,y" + groups + natives).c_str(), "corp", nullptr, 0);

    // Each read, timed; the first that takes too long ends the test.
    // Generous, for loaded sanitizer builds: the linear walk takes a few
    // hundredths of a second here, the restarting one many seconds.
    const double budget = 5.0;
    auto within = [&](const char* what, auto fn) {
        auto start = std::chrono::steady_clock::now();
        fn();
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(took, budget) << what;
        return took < budget;
    };
    char buffer[16];
    if (!within("getPolicy", [&] { EXPECT_EQ(1, p.getPolicy(("p" + last).c_str(), buffer, sizeof(buffer))); })) return;
    EXPECT_STREQ("v", buffer);
    if (!within("containsDravikaGroup", [&] { EXPECT_TRUE(p.containsDravikaGroup(("g" + last).c_str())); })) return;
    const std::string identity = "u" + last + "@svc" + last + "/u";
    if (!within("containsPrincipalName", [&] { EXPECT_TRUE(p.containsPrincipalName(identity.c_str())); })) return;
    if (!within("containsPrincipalName", [&] { EXPECT_FALSE(p.containsPrincipalName("nobody")); })) return;
    if (!within("getNativeGroups", [&] { EXPECT_EQ(Strings({"ng"}), take(p.getNativeGroups(identity.c_str()))); }))
        return;
    const size_t count = n;
    if (!within("getNativeUsers", [&] { EXPECT_EQ(count, take(p.getNativeUsers()).size()); })) return;
    if (!within("getAllPolicies", [&] { EXPECT_EQ(2 * count, take(p.getAllPolicies()).size()); })) return;
    if (!within("getLoginGroups", [&] { EXPECT_EQ(count, take(p.getLoginGroups()).size()); })) return;
    if (!within("getDravikaGroups", [&] { EXPECT_EQ(count, take(p.getDravikaGroups()).size()); })) return;
    std::string wanted = "svc" + last;
    char* services[] = {&wanted[0], nullptr};
    char login[16] = "";
    within("getBestNativeLogin", [&] {
        EXPECT_EQ(0, p.getBestNativeLogin(services, nullptr, login, sizeof(login), nullptr, 0, nullptr, 0, nullptr, 0));
    });
    EXPECT_EQ("u" + last, std::string(login));
}

struct Login {
    int rc;
    std::string login, credential, service, serviceDomain;
};

Login best(const Principal& p, std::vector<const char*> services, const char* locked, size_t size = 64) {
    std::vector<char*> list;
    for (const char* s : services) list.push_back(const_cast<char*>(s));
    list.push_back(nullptr);
    std::vector<char> a(size), b(size), c(size), d(size);
    Login out;
    out.rc = p.getBestNativeLogin(list.data(), locked, a.data(), size, b.data(), size, c.data(), size, d.data(), size);
    if (out.rc == 0) out = {0, a.data(), b.data(), c.data(), d.data()};
    return out;
}

TEST(PrincipalNativeLogin, IdentityOrderDecides) {
    Principal p(kText, "corp", nullptr, 0);
    // The principal lists ftp first, so ftp wins although the caller prefers ssh.
    Login l = best(p, {"ssh", "ftp"}, nullptr);
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("bob", l.login);
    EXPECT_EQ("pw1", l.credential);
    EXPECT_EQ("ftp", l.service);
    EXPECT_EQ("ftp", l.serviceDomain);
    // Services compare without case; the caller's spelling is returned.
    l = best(p, {"ssh"}, nullptr);
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("alice", l.login);
    EXPECT_EQ("ssh", l.service);
    EXPECT_EQ("SSH", l.serviceDomain);
    // A locked user skips identities of other users.
    l = best(p, {"ftp", "ssh"}, "ALICE");
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("alice", l.login);
    EXPECT_EQ("pw2", l.credential);
    EXPECT_EQ(-1, best(p, {"ftp", "ssh"}, "carol").rc);
    EXPECT_EQ(-1, best(p, {"telnet", "ss"}, nullptr).rc);
    // Short buffers still get terminated texts.
    l = best(p, {"ssh"}, nullptr, 3);
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("al", l.login);
    EXPECT_EQ("pw", l.credential);
}

TEST(PrincipalNativeLogin, MissingSections) {
    char* services[] = {const_cast<char*>("ssh"), nullptr};
    char login[16];
    const char* texts[] = {"1`alice,x", "1`alice,x`bob,y", "1`alice,x`bob,y`", "1`a,x`b,y`ssh,pw", "1`a,x`b,y`u@/,c"};
    for (const char* text : texts) {
        Principal p(text, nullptr, nullptr, 0);
        EXPECT_EQ(-1, p.getBestNativeLogin(services, nullptr, login, sizeof(login), nullptr, 0, nullptr, 0, nullptr, 0))
            << text;
    }
    // An identity without a credential field gives an empty credential.
    Principal bare("1`a,x`b,y`u@ssh/k", nullptr, nullptr, 0);
    char credential[8] = "junk";
    ASSERT_EQ(0, bare.getBestNativeLogin(services, nullptr, login, sizeof(login), credential, sizeof(credential),
                                         nullptr, 0, nullptr, 0));
    EXPECT_STREQ("u", login);
    EXPECT_STREQ("", credential);
}

TEST(PrincipalText, AuthStringAndText) {
    Principal p("1`a,b", "corp", "SIG", -5);
    char* auth = p.asAuthString();
    // Base64 of "corp|1`a,b|-5|SIG", written on one line.
    EXPECT_STREQ("Y29ycHwxYGEsYnwtNXxTSUc=", auth);
    free(auth);
    std::string longText(200, 'x');
    Principal big(longText.c_str(), "d", nullptr, 0);
    auth = big.asAuthString();
    EXPECT_EQ(nullptr, strchr(auth, '\n'));
    free(auth);
    char* text = p.toString(nullptr);
    EXPECT_STREQ("{corp, 1`a,b, SIG}", text);
    free(text);
}

// Encodes obj under id and decodes it again.
Principal* roundTrip(unsigned int id, const Principal* obj) {
    Message out(0);
    EXPECT_EQ(0, out.writeObject(id, obj));
    out.switchToRead();
    Translatable* back = nullptr;
    EXPECT_EQ(0, out.readObject(id, &back));
    return static_cast<Principal*>(back);
}

TEST(PrincipalEncoding, RoundTripUnderBothIds) {
    Directory::init();
    Principal p(kText, "corp", "SIG", 0x123456789abcLL);
    for (unsigned int id : {OBJ_PRINCIPAL_ID, OBJ_PRINCIPAL_FT_ID}) {
        Principal* back = roundTrip(id, &p);
        ASSERT_NE(nullptr, back);
        bool equal = false;
        EXPECT_EQ(0, back->isEqual(nullptr, &equal, &p));
        EXPECT_TRUE(equal) << id;
        delete back;
    }
    Principal empty(nullptr, nullptr, nullptr, 0);
    Principal* back = roundTrip(OBJ_PRINCIPAL_ID, &empty);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(nullptr, back->security);
    EXPECT_STREQ("PV", back->signature);
    delete back;
}

TEST(PrincipalEncoding, MissingSignatureIsPV) {
    Directory::init();
    // A record with only fields 1 to 3, as an older peer writes it.
    Message out(0);
    XlatorFn three = [](MessageBase* m, Translatable**, int) {
        m->writeStringField(1, "1`a,b");
        m->writeStringField(2, "corp");
        return m->writeInt64Field(3, 9) != 0 ? -1 : 0;
    };
    MessageBase::registerObjectXlator(60001, three);
    Principal unused(nullptr, nullptr, nullptr, 0);
    ASSERT_EQ(0, out.writeObject(60001, &unused));
    size_t n = 0;
    unsigned char* bytes = out.copyBytes(&n);
    // Same fields, under the principal's id.
    putBE32(bytes + 9 + 1, OBJ_PRINCIPAL_ID);
    Message in(reinterpret_cast<char*>(bytes) + 9, n - 9);
    Translatable* obj = nullptr;
    ASSERT_EQ(0, in.readObject(OBJ_PRINCIPAL_ID, &obj));
    Principal* p = static_cast<Principal*>(obj);
    EXPECT_STREQ("PV", p->signature);
    EXPECT_EQ(9, p->session);
    delete p;
    // Cut short anywhere, the record is refused without a leak or a crash.
    for (size_t cut = 10; cut + 1 < n; cut++) {
        Message part(reinterpret_cast<char*>(bytes) + 9, cut - 9);
        obj = nullptr;
        EXPECT_NE(0, part.readObject(OBJ_PRINCIPAL_ID, &obj)) << cut;
        EXPECT_EQ(nullptr, obj);
    }
    free(bytes);
}

// A certificate carrying the given private extensions (null: left out).
X509* makeCertificate(const char* security, const char* signature, const char* issuerCN, long serial) {
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(issuerCN), -1, -1,
                               0);
    X509_set_issuer_name(cert, issuer);
    X509_NAME_free(issuer);
    const char* oids[] = {"1.1.1.1", "1.1.1.2"};
    const char* values[] = {security, signature};
    for (int i = 0; i < 2; i++) {
        if (values[i] == nullptr) continue;
        ASN1_OBJECT* obj = OBJ_txt2obj(oids[i], 1);
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(data, reinterpret_cast<const unsigned char*>(values[i]),
                              static_cast<int>(strlen(values[i])));
        X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, data);
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(data);
        ASN1_OBJECT_free(obj);
    }
    return cert;
}

TEST(PrincipalCertificate, Extensions) {
    EXPECT_EQ(nullptr, Principal::createFromCertificate(nullptr));
    X509* none = makeCertificate(nullptr, "SIG", "corp.example", 3);
    EXPECT_EQ(nullptr, Principal::createFromCertificate(none));
    X509_free(none);

    X509* unsigned_ = makeCertificate(kText, nullptr, "corp.example", 77);
    Principal* p = Principal::createFromCertificate(unsigned_);
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ(kText, p->security);
    EXPECT_STREQ("PV", p->signature);
    EXPECT_STREQ("corp.example", p->domain);
    EXPECT_EQ(77, p->session);
    delete p;
    X509_free(unsigned_);

    X509* full = makeCertificate("1`a,b", "SIG", "d", 5);
    p = Principal::createFromCertificate(full);
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("SIG", p->signature);
    delete p;
    X509_free(full);
}

Principal* serverHook() {
    return new Principal("1`server,x", "srv", nullptr, 0);
}

TEST(PrincipalCertificate, ServerPrincipal) {
    Principal* p = Principal::createServerPrincipal();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(nullptr, p->security);
    delete p;
    Principal::_makeServerPrincipal = serverHook;
    p = Principal::createServerPrincipal();
    Principal::_makeServerPrincipal = nullptr;
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("1`server,x", p->security);
    delete p;
}

// alice, member of Operators, with a native identity.
const char kAlice[] = "1`alice,x,staff`alice@corp,y,Operators@corp`alice@ssh/u,pw";
const char kAdmin[] = "1`root,x`root@corp,y,Administrators@corp";
const char kBob[] = "1`bob,x`bob@corp,y,Users@corp";

TEST(AclCheck, FirstMatchingEntryDecides) {
    Principal alice(kAlice, "corp", nullptr, 0);
    // Write is denied to alice before a later entry would allow everyone.
    Acl acl("F`owner1`group1`m`n`D,alice@ssh/u,Write`A,everyone@builtin/x,Read,Write`A,alice@ssh/u,Delete");
    EXPECT_FALSE(AclCheck::hasPermission(&alice, &acl, "Write", nullptr));
    EXPECT_TRUE(AclCheck::hasPermission(&alice, &acl, "Read", nullptr));
    EXPECT_TRUE(AclCheck::hasPermission(&alice, &acl, "Delete", nullptr));
    EXPECT_FALSE(AclCheck::hasPermission(&alice, &acl, "Execute", nullptr));
    Principal bob(kBob, "corp", nullptr, 0);
    EXPECT_TRUE(AclCheck::hasPermission(&bob, &acl, "Write", nullptr));
    EXPECT_FALSE(AclCheck::hasPermission(&bob, &acl, "Delete", nullptr));
}

TEST(AclCheck, AdministratorsAndExtraGroups) {
    Principal admin(kAdmin, "corp", nullptr, 0);
    Principal alice(kAlice, "corp", nullptr, 0);
    Acl denyAll("F```m`n`D,everyone@builtin/x,Read");
    EXPECT_TRUE(AclCheck::hasPermission(&admin, &denyAll, "Read", nullptr));
    EXPECT_TRUE(AclCheck::hasAclPermission(&admin, &denyAll));
    EXPECT_FALSE(AclCheck::hasPermission(&alice, &denyAll, "Read", nullptr));
    char* extra[] = {const_cast<char*>("Guests"), const_cast<char*>("Operators@other"), nullptr};
    EXPECT_TRUE(AclCheck::hasPermission(&alice, &denyAll, "Read", extra));
    char* none[] = {const_cast<char*>("Guests"), nullptr};
    EXPECT_FALSE(AclCheck::hasPermission(&alice, &denyAll, "Read", none));
    // Missing pieces never grant.
    EXPECT_FALSE(AclCheck::hasPermission(nullptr, &denyAll, "Read", nullptr));
    EXPECT_FALSE(AclCheck::hasPermission(&admin, nullptr, "Read", nullptr));
    EXPECT_FALSE(AclCheck::hasPermission(&admin, &denyAll, nullptr, nullptr));
    Acl empty(nullptr);
    EXPECT_FALSE(AclCheck::hasPermission(&alice, &empty, "Read", nullptr));
}

TEST(AclCheck, PrincipalPatterns) {
    Principal alice(kAlice, "corp", nullptr, 0);
    EXPECT_TRUE(AclCheck::isPrincipalMatch(&alice, nullptr, nullptr, "everyone@BuiltIn/x"));
    EXPECT_TRUE(AclCheck::isPrincipalMatch(&alice, "bob,alice", nullptr, "owner@builtin/x"));
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&alice, "bob", "alice", "owner@builtin/x"));
    EXPECT_TRUE(AclCheck::isPrincipalMatch(&alice, "bob", "wheel,staff", "groupowner@builtin/x"));
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&alice, "alice", "alice", "nobody@builtin/x"));
    // Owner names have no length limit of their own.
    std::string longName(300, 'l');
    Principal longOwner(("1`" + longName + ",x,staff`" + longName + "@corp,y`" + longName + "@ssh/u,pw").c_str(),
                        "corp", nullptr, 0);
    EXPECT_TRUE(AclCheck::isPrincipalMatch(&longOwner, ("bob," + longName).c_str(), nullptr, "owner@builtin/x"));
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&longOwner, longName.substr(1).c_str(), nullptr, "owner@builtin/x"));
    // The whole pattern is the name looked for outside builtin.
    EXPECT_TRUE(AclCheck::isPrincipalMatch(&alice, nullptr, nullptr, "alice@ssh/u"));
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&alice, nullptr, nullptr, "alice@ssh/g"));
    // Host domains never match, even for a name the principal carries.
    Principal host("1`a,x`b,y`alice@H-1/u,pw", "corp", nullptr, 0);
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&host, nullptr, nullptr, "alice@H-1/u"));
    // Malformed patterns match nobody.
    const char* bad[] = {"everyone", "everyone@/x", "everyone@builtin", "everyone@builtinx/", "@/", nullptr};
    for (const char** p = bad; *p != nullptr; p++)
        EXPECT_FALSE(AclCheck::isPrincipalMatch(&alice, "alice", nullptr, *p)) << *p;
    EXPECT_FALSE(AclCheck::isPrincipalMatch(&alice, "alice", nullptr, nullptr));
}

TEST(AclCheck, ChangingTheList) {
    Principal alice(kAlice, "corp", nullptr, 0);
    Principal bob(kBob, "corp", nullptr, 0);
    Acl byLogin("F`carol,alice`group`m`n");
    EXPECT_TRUE(AclCheck::hasAclPermission(&alice, &byLogin));
    EXPECT_FALSE(AclCheck::hasAclPermission(&bob, &byLogin));
    Acl byUser("F`bob@corp`group");
    EXPECT_TRUE(AclCheck::hasAclPermission(&bob, &byUser));
    // An owner list with fewer than two backquotes names no owner.
    Acl oneField("F`alice");
    EXPECT_FALSE(AclCheck::hasAclPermission(&alice, &oneField));
    EXPECT_FALSE(AclCheck::hasAclPermission(&alice, nullptr));
    EXPECT_FALSE(AclCheck::hasAclPermission(nullptr, &byLogin));

    // A principal whose user names are empty owns no list, not even one
    // without owners or with an empty place among them.
    Principal nameless("1`,x`,y,Users@corp", "corp", nullptr, 0);
    for (const char* text : {"F``group`m`n", "F`carol,,dave`group`m`n", "F`carol,`group"}) {
        Acl acl(text);
        EXPECT_FALSE(AclCheck::hasAclPermission(&nameless, &acl)) << text;
    }
}

}  // namespace
