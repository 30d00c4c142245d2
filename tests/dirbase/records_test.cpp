// The directory records: names and their syntax, attribute sets, access
// lists, enumerations, expectations, and the round trip of every record
// through its translator.
#include <stdlib.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/os.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/expect.h"
#include "dirbase/message.h"
#include "tests/support/encoding.h"
#include "tests/support/bytes.h"

namespace {

std::vector<std::string> keysOf(const Attributes& attributes) {
    std::vector<std::string> keys;
    char** all = attributes.getKeys();
    for (char** k = all; *k != nullptr; k++) keys.push_back(*k);
    Attributes::freeKeys(all);
    return keys;
}

// A name that must parse.
std::unique_ptr<DirName> parse(const char* text) {
    int error = -1;
    DirName* name = DirName::createFromString(text, &error);
    EXPECT_NE(nullptr, name) << text << ": error " << error;
    return std::unique_ptr<DirName>(name);
}

class RecordsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_CRITICAL;
        Directory::init();
    }
};

TEST_F(RecordsTest, NameSyntaxParsesQuotesExpressionsAndFlags) {
    // Parsed and printed again: every value quoted or in angle brackets.
    struct Case {
        const char* text;
        const char* printed;
    } cases[] = {
        {"/a:x=1,y=\"b/c\"/d:", "/a:x=\"1\",y=\"b/c\"/d:"},
        {"//h:id=\"7\"", "//h:id=\"7\""},
        {"rel:v=<x + 1>,w=plain", "rel:v=<x + 1>,w=\"plain\""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.printed, text(parse(c.text)->toString()));
    auto name = parse("/a:x=1,y=\"b/c\",v=<x + 1>/d:");
    ASSERT_EQ(2, name->size());
    EXPECT_TRUE(name->absolute);
    EXPECT_FALSE(name->hostRooted);
    DirNameEntry* a = name->get(0);
    EXPECT_STREQ("b/c", a->getStringAttributeValue("y"));
    EXPECT_EQ(HINT_STRING, a->getAttributeValue("y")->getHint());
    EXPECT_EQ(0, a->head->isExpression);
    EXPECT_EQ(1, a->tail->isExpression);
    EXPECT_STREQ("x + 1", a->getStringAttributeValue("v"));
    EXPECT_EQ(0, name->get(1)->getAttributeCount());
    EXPECT_EQ(nullptr, name->get(2));
    EXPECT_EQ(nullptr, name->get(-1));
    int error = -1;
    DirNameEntry* cls = DirNameEntry::createFromString("<cls>:", &error);
    ASSERT_NE(nullptr, cls);
    EXPECT_EQ(1, cls->classIsExpression);
    EXPECT_STREQ("cls", cls->getClassName());
    delete cls;

    // A quoted comma survives an entry parsed alone, but not inside a name,
    // whose tokenizer drops the quotes first.
    DirNameEntry* entry = DirNameEntry::createFromString("c:v=\"1,2\"", &error);
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("1,2", entry->getStringAttributeValue("v"));
    delete entry;
    EXPECT_EQ(nullptr, DirName::createFromString("/c:v=\"1,2\"", &error));
    EXPECT_EQ(5, error);
}

TEST_F(RecordsTest, NameSyntaxErrorsCarryTheirCodes) {
    // Tokens hold at most 255 bytes (in the last name the whole entry is the token).
    struct Case {
        std::string text;
        int error;
    } names[] = {
        {"/a:x", 5},          {"/a", 4},       {"/<a:", 8},        {"/a:x=<1", 8},
        {"/a:x=\"1", 1},      {"/a:x=1//b:", 4}, {"/a:x=1,,y=2", 5}, {"/a:x=\"1/b:", 1},
        {"/c:v=" + std::string(252, 'x'), 3},
    }, entries[] = {{"a:x=\"1", 1}, {"a", 4}, {std::string(256, 'k') + ":", 3}};
    for (const Case& c : names) {
        int error = -1;
        EXPECT_EQ(nullptr, DirName::createFromString(c.text.c_str(), &error)) << c.text;
        EXPECT_EQ(c.error, error) << c.text;
    }
    for (const Case& c : entries) {
        int error = -1;
        EXPECT_EQ(nullptr, DirNameEntry::createFromString(c.text.c_str(), &error)) << c.text;
        EXPECT_EQ(c.error, error) << c.text;
    }
    parse(("/c:v=" + std::string(251, 'x')).c_str());  // fits
}

TEST_F(RecordsTest, NamesHashAndCompareByValue) {
    auto one = parse("/a:x=1,y=2/b:"), same = parse("/a:x=1,y=2/b:"), other = parse("/a:x=1,y=3/b:");
    EXPECT_EQ(one->hashValue(), same->hashValue());
    EXPECT_NE(one->hashValue(), other->hashValue());
    EXPECT_TRUE(*one == *same);
    EXPECT_FALSE(*one == *other);

    // Entry equality: every attribute of the left must match on the right.
    DirNameEntry left("c", "k", "v");
    DirNameEntry right("c", "k", "v", "extra", "1");
    EXPECT_TRUE(left == right);
    EXPECT_FALSE(right == left);
    // Repeated names: any attribute of the name may match (found by fuzzing:
    // an entry was once unequal to its own copy).
    int repeatedError;
    DirNameEntry* repeated = DirNameEntry::createFromString("a:x=1,y=\"b=1\",y=bbc", &repeatedError);
    ASSERT_NE(nullptr, repeated);
    DirNameEntry repeatedCopy(*repeated);
    EXPECT_TRUE(repeatedCopy == *repeated);
    EXPECT_TRUE(*repeated == *repeated);
    DirNameEntry firstOnly("a", "x", "1", "y", "b=1");
    EXPECT_TRUE(firstOnly == *repeated);
    EXPECT_FALSE(*repeated == firstOnly);
    delete repeated;

    DirNameEntry noClass(nullptr), noClass2(nullptr);
    EXPECT_TRUE(noClass == noClass2);
    EXPECT_FALSE(noClass == left);
    EXPECT_EQ("null", text(DirName::NameList(new DirNameEntry(nullptr)).toString(nullptr)));

    DirName prepended;
    prepended.append(new DirNameEntry("b"));
    prepended.prepend(new DirNameEntry("a"));
    EXPECT_EQ("a:/b:", text(prepended.toString()));
    // Only a plain string value prints its text, and never escaped.
    DirNameEntry typed("t");
    typed.setAttribute("n", 5);
    typed.setAttribute("q", "say \"x\"");
    Any* hinted = new Any("yes");
    hinted->setHint(HINT_BOOL_TEXT);
    typed.addAttribute("b", hinted, false);
    EXPECT_EQ("t:n=\"null\",q=\"say \"x\"\",b=\"null\"", text(typed.toString()));
    DirName copy(*one);
    EXPECT_TRUE(copy == *one);
}

TEST_F(RecordsTest, LongNameEntriesCompareInLinearTime) {
    // A name entry with many attributes (a script can parse one from text
    // of any length). Each attribute used to walk the other entry's whole
    // list: minutes for these; a second now. The bound only catches
    // that.
    const int kAttributes = 50000;
    DirNameEntry left("c");
    for (int i = 0; i < kAttributes; i++) left.setAttribute(("a" + std::to_string(i)).c_str(), i);
    // A repeated name matches any attribute of that name on the right.
    left.setAttribute("rep", "second");
    DirNameEntry right(left);
    right.setAttribute("rep", "third");
    time_t start = time(nullptr);
    EXPECT_TRUE(left == right);
    EXPECT_FALSE(right == left) << "right has a value of rep that left lacks";
    DirNameEntry changed("c");
    for (int i = 0; i < kAttributes; i++) changed.setAttribute(("a" + std::to_string(i)).c_str(), i == 777 ? -1 : i);
    changed.setAttribute("rep", "second");
    EXPECT_FALSE(left == changed);
    EXPECT_FALSE(changed == left);
    left.setAttribute("missing", 1);
    EXPECT_FALSE(left == right);
    EXPECT_LT(time(nullptr) - start, 30) << "a hang-sized margin, not a speed target";
}

TEST_F(RecordsTest, AttributeSetsKeepNewestFirst) {
    Attributes attrs;
    attrs.setAttribute("k", 1);
    attrs.setAttribute("k", "two", 7);
    attrs.setAttribute("flag", true);
    EXPECT_STREQ("two", attrs.getStringAttribute("k"));
    EXPECT_EQ(7, attrs.getDisplayHint("k"));
    EXPECT_EQ(0, attrs.getDisplayHint("missing"));
    EXPECT_EQ(3, attrs.size());
    EXPECT_EQ((std::vector<std::string>{"flag", "k", "k"}), keysOf(attrs));

    // addOrSetAttribute replaces the newest entry's value in place.
    attrs.addOrSetAttribute("k", new Any(3.5));
    EXPECT_EQ(3, attrs.size());
    EXPECT_EQ(ANY_DOUBLE, attrs.getAttribute("k")->getType());
    EXPECT_EQ(nullptr, attrs.getStringAttribute("flag"));
    // The first entry of the name that holds a string, past newer ones that do not.
    Attributes mixed;
    mixed.setAttribute("m", "text");
    mixed.setAttribute("m", 2);
    EXPECT_STREQ("text", mixed.getStringAttribute("m"));
    attrs.addOrSetAttribute("new", new Any("n"));
    EXPECT_EQ(4, attrs.size());

    // An entry that does not own its value leaves it to the caller.
    Any* borrowed = new Any("borrowed");
    {
        Attributes scoped;
        scoped.setAttributeDontFree("b", borrowed);
        EXPECT_EQ(borrowed, scoped.getAttribute("b"));
        scoped.addOrSetAttribute("b", new Any("owned now"));
    }
    EXPECT_STREQ("borrowed", borrowed->getString());
    delete borrowed;

    bool created = false;
    Any* undefinedValue = attrs.getAttributeOrUndefined("nothing", &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(ANY_UNDEFINED, undefinedValue->getType());
    delete undefinedValue;
    EXPECT_EQ(attrs.getAttribute("k"), attrs.getAttributeOrUndefined("k", &created));
    EXPECT_FALSE(created);

    // Scripting hooks.
    Any* result = nullptr;
    ASSERT_EQ(0, attrs.getField(nullptr, &result, "new"));
    EXPECT_STREQ("n", result->getString());
    delete result;
    EXPECT_EQ(50, attrs.getField(nullptr, &result, "absent"));
    Any key("via"), badKey(1);
    EXPECT_EQ(0, attrs.setArrayElement(nullptr, &key, new Any(9)));
    ASSERT_EQ(0, attrs.getArrayElement(nullptr, &result, &key));
    EXPECT_EQ(9, result->getInt32());
    delete result;
    EXPECT_EQ(24, attrs.getArrayElement(nullptr, &result, &badKey));
    EXPECT_EQ(24, attrs.setArrayElement(nullptr, &badKey, new Any(1)));

    Attributes copy(attrs);
    EXPECT_TRUE(copy == attrs);
    copy.addOrSetAttribute("k", new Any(4.5));
    EXPECT_FALSE(copy == attrs);
    Attributes fewer;
    fewer.setAttribute("k", 3.5);
    EXPECT_FALSE(fewer == attrs);
    EXPECT_FALSE(attrs == fewer);

    Attributes small;
    small.setAttribute("a", 1);
    small.setAttribute("b", "x");
    EXPECT_EQ("{ \"b\" : \"x\", \"a\" : 1 }", text(small.toString(nullptr)));
    attrs.clear();
    EXPECT_EQ(0, attrs.size());
}

TEST_F(RecordsTest, LargeAttributeSetsCompareByNameInLinearTime) {
    // Both sets carry "dup" twice: only the newest entry of a name counts.
    const int kNames = 50000;
    Attributes a, b;
    a.setAttribute("dup", 2);
    b.setAttribute("dup", 3);
    for (int i = 0; i < kNames; i++) {
        std::string name = "name" + std::to_string(i);
        a.setAttribute(name.c_str(), i);
        b.setAttribute(name.c_str(), i);
    }
    a.setAttribute("dup", 1);
    b.setAttribute("dup", 1);

    // Each comparison used to look every name up by walking the other set:
    // many minutes for these; a second now. The bound only catches that.
    time_t start = time(nullptr);
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(b == a);
    b.addOrSetAttribute("name500", new Any(-1));
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(b == a);
    b.addOrSetAttribute("name500", new Any(500));
    EXPECT_TRUE(a == b);
    // One more name on one side, or one name swapped for another.
    b.setAttribute("extra", 0);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(b == a);
    a.setAttribute("other", 0);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(b == a);
    EXPECT_LT(time(nullptr) - start, 30) << "a hang-sized margin, not a speed target";
}

TEST_F(RecordsTest, AccessListsSplitIntoFieldsAndEntries) {
    const char* text = "K`alice,bob`admins`SUID`/u Read`A,everyone@builtin/x,Read,Write`D,bob@corp/u,Write";
    Acl acl(text);
    AclFields fields(acl.getText());
    EXPECT_EQ(7, fields.count());
    EXPECT_STREQ("K", fields.field(0));
    EXPECT_STREQ("alice,bob", fields.owners());
    EXPECT_STREQ("admins", fields.groupOwners());
    EXPECT_EQ(2, fields.entryCount());
    EXPECT_EQ(nullptr, fields.field(7));
    EXPECT_TRUE(Acl::listContains(fields.owners(), "bob"));
    EXPECT_FALSE(Acl::listContains(fields.owners(), "bo"));
    // An empty name is in no list: an empty list, or an empty place in one,
    // names nobody.
    for (const char* list : {"", "alice,,bob", "alice,", ",bob"})
        EXPECT_FALSE(Acl::listContains(list, "")) << "[" << list << "]";
    EXPECT_TRUE(Acl::listContains("alice,,bob", "bob"));

    AclEntry allow(fields.entry(0));
    EXPECT_TRUE(allow.isAllow());
    EXPECT_STREQ("everyone@builtin/x", allow.pattern());
    EXPECT_EQ(2, allow.permissionCount());
    EXPECT_TRUE(allow.hasPermission("Write"));
    AclEntry deny(fields.entry(1));
    EXPECT_FALSE(deny.isAllow());
    EXPECT_FALSE(deny.hasPermission("Read"));

    char name[32], domain[32];
    ASSERT_TRUE(Acl::splitPattern("bob@corp/u", name, sizeof(name), domain, sizeof(domain)));
    EXPECT_STREQ("bob", name);
    EXPECT_STREQ("corp", domain);
    for (const char* bad : {"bob", "bob@/u", "bob@corp"})
        EXPECT_FALSE(Acl::splitPattern(bad, name, sizeof(name), domain, sizeof(domain))) << bad;

    // Empty fields count.
    AclFields sparse("K```");
    EXPECT_EQ(3, sparse.count());
    EXPECT_STREQ("", sparse.owners());
}

TEST_F(RecordsTest, EnumerationsWalkWithACursor) {
    ClassEnumeration none;
    EXPECT_FALSE(none.next());
    EXPECT_EQ(nullptr, none.getClass());
    ClassEnumeration classes;
    classes.append("a");
    ClassEnumeration more;
    more.append("b");
    more.append("c");
    classes.takeContents(&more);
    EXPECT_EQ(0, more.size());
    std::string seen;
    while (classes.next()) seen += classes.getClass();
    EXPECT_EQ("abc", seen);
    EXPECT_FALSE(classes.next()) << "stays at the end";
    EXPECT_EQ("[ \"a\", \"b\", \"c\" ]", text(classes.toString(nullptr)));

    DirectoryEnumeration dirs;
    Attributes* attrs = new Attributes();
    attrs->setAttribute("size", 3);
    dirs.append(new DirNameEntry("file", "name", "f1"), attrs, new Acl("K`me"));
    dirs.append(new DirNameEntry("file"), nullptr, nullptr);
    EXPECT_EQ(2, dirs.size());
    ASSERT_TRUE(dirs.next());
    EXPECT_STREQ("f1", dirs.getName()->getStringAttributeValue("name"));
    EXPECT_EQ(3, dirs.getAttributes()->getAttribute("size")->getInt32());
    EXPECT_STREQ("K`me", dirs.getAcl()->getText());
    ASSERT_TRUE(dirs.next());
    EXPECT_EQ(nullptr, dirs.getAttributes());
    EXPECT_FALSE(dirs.next());
    EXPECT_EQ(nullptr, dirs.getName());
    EXPECT_EQ(
        "[ { \"name\" : \"file:name=\"f1\"\", \"attributes\" : { \"size\" : 3 }, \"acl\" : K`me }, "
        "{ \"name\" : \"file:\" } ]",
        text(dirs.toString(nullptr)));

    ExpectList expects;
    expects.append(new ExpectEntry("login:", "root", false, nullptr));
    expects.append(new ExpectEntry("pass.*", "secret", true, "password:"));
    EXPECT_EQ(2, expects.size());
    EXPECT_STREQ("pass.*", expects.get(1)->expected);
    EXPECT_EQ(nullptr, expects.get(2));
    EXPECT_EQ(
        "[{ \"send\" : \"root\", \"isRegex\" : false, \"actual\" : null }, "
        "{ \"send\" : \"secret\", \"isRegex\" : true, \"actual\" : \"password:\" }]",
        text(expects.toString(nullptr)));
}

TEST_F(RecordsTest, EveryRecordSurvivesTheEncoding) {
    Attributes attrs;
    attrs.setAttribute("name", "disk");
    attrs.setAttribute("size", 1LL << 33, 2);
    attrs.setAttribute("ratio", 0.75f);
    attrs.setAttribute("ok", false);
    attrs.setAttribute("name", "newer");
    auto a2 = roundTrip(OBJ_ATTRIBUTES_ID, &attrs);
    ASSERT_NE(nullptr, a2);
    EXPECT_TRUE(*a2 == attrs);
    EXPECT_EQ(5, a2->size()) << "both entries named name survive";
    EXPECT_STREQ("newer", a2->getStringAttribute("name"));
    EXPECT_EQ(2, a2->getDisplayHint("size"));
    Attributes empty;
    EXPECT_EQ(0, roundTrip(OBJ_ATTRIBUTES_ID, &empty)->size());

    auto name = parse("//host:id=\"h1\"/fs:mount=<x + 1>,ro=yes");
    auto n2 = roundTrip(OBJ_DIRNAME_ID, name.get());
    ASSERT_NE(nullptr, n2);
    EXPECT_TRUE(*n2 == *name);
    EXPECT_EQ(text(name->toString()), text(n2->toString()));
    EXPECT_EQ(n2->get(1), n2->tail->entry);
    EXPECT_EQ(n2->get(1)->head->next, n2->get(1)->tail) << "tails are rebuilt";
    auto e2 = roundTrip(OBJ_DIRNAMEENTRY_ID, name->get(1));
    EXPECT_TRUE(*e2 == *name->get(1));
    EXPECT_EQ(1, e2->head->isExpression);

    Acl acl("K`a`b");
    EXPECT_STREQ("K`a`b", roundTrip(OBJ_ACL_ID, &acl)->getText());

    ClassEnumeration classes;
    classes.append("x");
    classes.append("y");
    auto c2 = roundTrip(OBJ_CLASSENUMERATION_ID, &classes);
    EXPECT_EQ("[ \"x\", \"y\" ]", text(c2->toString(nullptr)));
    c2->append("z");
    EXPECT_EQ(3, c2->size());

    DirectoryEnumeration dirs;
    dirs.append(new DirNameEntry("f", "n", "1"), new Attributes(attrs), new Acl("K"));
    dirs.append(nullptr, nullptr, nullptr);
    auto d2 = roundTrip(OBJ_DIRECTORYENUMERATION_ID, &dirs);
    EXPECT_EQ(2, d2->size());
    EXPECT_EQ(text(dirs.toString(nullptr)), text(d2->toString(nullptr)));

    ExpectList expects;
    expects.append(new ExpectEntry("e", nullptr, true, "a"));
    auto x2 = roundTrip(OBJ_EXPECTLIST_ID, &expects);
    ASSERT_EQ(1, x2->size());
    EXPECT_STREQ("e", x2->get(0)->expected);
    EXPECT_EQ(nullptr, x2->get(0)->send);
    EXPECT_TRUE(x2->get(0)->isRegex);

    DirectoryObject object("Gdomain", new Any("n/eth0"));
    auto o2 = roundTrip(OBJ_DIRECTORYOBJECT_ID, &object);
    EXPECT_STREQ("n/eth0", o2->value->getString());
    EXPECT_EQ("{ \"className\" : \"Gdomain\", \"value\" : \"n/eth0\" }", text(o2->toString(nullptr)));
}

// What reading an attribute set from these bytes gives: the return code,
// the sticky error, and the set's text when there is one.
std::string readAttributes(const std::string& bytes) {
    Message m(bytes.data(), bytes.size());
    Translatable* obj = nullptr;
    int rc = m.readObject(OBJ_ATTRIBUTES_ID, &obj);
    std::string out = std::to_string(rc) + "/" + std::to_string(m.getError());
    if (obj != nullptr) {
        out += " " + text(obj->toString(nullptr));
        // What the text leaves out: display hints, kinds and value hints.
        for (const Attributes::AttrList* e = static_cast<Attributes*>(obj)->head; e != nullptr; e = e->next) {
            const Any* v = e->getValue();
            out += " " + std::to_string(e->displayHint) + ":" + std::to_string(v->getType()) + ":" +
                   std::to_string(v->getHint());
        }
    }
    delete obj;
    return out;
}

TEST_F(RecordsTest, AttributeSetsDecodedInPlaceReadAsTheTranslatorsReadThem) {
    std::vector<std::string> inputs;
    Attributes plain;
    plain.setAttribute("n", 5);
    plain.setAttribute("big", 1LL << 40);
    plain.setAttribute("x", 0.5);
    plain.setAttribute("on", true);
    plain.setAttribute("s", "text");
    plain.setAttribute("", "empty name", 3);
    inputs.push_back(encodedBody(OBJ_ATTRIBUTES_ID, &plain));
    // A value that is not of a fixed size or a string sends the whole set the
    // general way.
    Attributes nested;
    nested.setAttribute("s", "text");
    nested.addAttribute("acl", new Any(), 0);
    nested.getAttribute("acl")->setReference(new Acl("A`x"));
    inputs.push_back(encodedBody(OBJ_ATTRIBUTES_ID, &nested));
    Attributes empty;
    inputs.push_back(encodedBody(OBJ_ATTRIBUTES_ID, &empty));
    // A short set cut at every byte and with every byte changed.
    Attributes small;
    small.setAttribute("k", 7);
    small.setAttribute("t", "v");
    std::string bytes = encodedBody(OBJ_ATTRIBUTES_ID, &small);
    for (size_t cut = 0; cut < bytes.size(); cut++) inputs.push_back(bytes.substr(0, cut));
    for (size_t at = 0; at < bytes.size(); at++)
        for (int b : {0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 13, 0xFF}) {
            std::string changed = bytes;
            changed[at] = static_cast<char>(b);
            inputs.push_back(changed);
        }

    for (const std::string& in : inputs) {
        std::string inPlace = readAttributes(in);
        MessageBase::registerObjectXlator(OBJ_ATTRIBUTES_ID, AttributesXlator);
        std::string general = readAttributes(in);
        MessageBase::registerObjectXlator(OBJ_ATTRIBUTES_ID, AttributesXlator, AttributesInPlace);
        ASSERT_EQ(general, inPlace) << Bytes::hex(in.data(), in.size());
    }
}

TEST_F(RecordsTest, DamagedListsAreRefusedWithoutLeaks) {
    // An attribute set whose list breaks off inside its second entry.
    Attributes attrs;
    attrs.setAttribute("a", 1);
    attrs.setAttribute("b", 2);
    std::string bytes = encodedBody(OBJ_ATTRIBUTES_ID, &attrs);
    for (size_t cut = 1; cut < bytes.size(); cut += 3) {
        Message in(bytes.data(), cut);
        Translatable* obj;
        EXPECT_NE(0, in.readObject(OBJ_ATTRIBUTES_ID, &obj)) << cut;
        EXPECT_EQ(nullptr, obj);
    }

    // A container of the wrong id where the list should be.
    Bytes wrong = Bytes().object(OBJ_ATTRIBUTES_ID).field(1).container(OBJ_DIRNAME_NODE_LIST_ID).containerEnd().end();
    Message in(wrong.c_str(), wrong.size());
    Translatable* obj;
    EXPECT_EQ(MSG_E_BAD_TYPE, in.readObject(OBJ_ATTRIBUTES_ID, &obj));
    // An entry without a name.
    Bytes noName = Bytes().object(OBJ_ATTRLIST_ID).field(1).u8(7).field(2).int32(0).field(3).u8(8).end();
    Message in2(noName.c_str(), noName.size());
    EXPECT_NE(0, in2.readObject(OBJ_ATTRLIST_ID, &obj));
    // A list read as an object finds no elements: a null record, not a crash.
    Bytes listAsObject = Bytes().object(OBJ_ATTRLIST_LIST_ID).field(1).int32(1).end();
    Message in3(listAsObject.c_str(), listAsObject.size());
    EXPECT_EQ(0, in3.readObject(OBJ_ATTRLIST_LIST_ID, &obj));
    EXPECT_EQ(nullptr, obj);
    // A record read as a list finds no fields.
    Bytes objectAsList = Bytes().container(OBJ_ACL_ID).containerEnd();
    Message in4(objectAsList.c_str(), objectAsList.size());
    EXPECT_NE(0, in4.readContainer(OBJ_ACL_ID, &obj));
}

}  // namespace
