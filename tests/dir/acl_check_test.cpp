// The access-list checks against a principal: first matching entry decides,
// the builtin patterns, host domains, administrators and extra groups, and
// who may change the list itself.
#include <gtest/gtest.h>

#include "dir/acl_check.h"
#include "dir/principal.h"
#include "dirbase/acl.h"

namespace {

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
