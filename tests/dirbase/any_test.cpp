// Any, AnyArray and ObjRef: text forms, equality, conversions, the scripting
// hooks, copies, and the Any encoding.
#include "dirbase/any.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/os.h"
#include "dir/directory.h"
#include "dirbase/acl.h"
#include "dirbase/attributes.h"
#include "dirbase/message.h"
#include "tests/support/encoding.h"
#include "tests/support/bytes.h"

namespace {

std::string str(Any& a) {
    return text(a.toString(nullptr));
}

uint32_t typeWord(const Any& a) {
    return static_cast<uint32_t>(a.getHint()) << 16 | a.getType();
}

// Values that take a setter to build, as plain values for tables.
Any take(Any* made) {
    Any out(*made);
    delete made;
    return out;
}
Any hinted(Any a, unsigned int hint) {
    a.setHint(hint);
    return a;
}
Any chars(const char* s) {
    Any a;
    a.setChar(s);
    return a;
}
Any ref(Translatable* obj) {
    Any a;
    a.setReference(obj);
    return a;
}
Any owned(Translatable* obj) {
    Any a;
    a.setObject(obj);
    return a;
}
Any arrayOf(std::initializer_list<Any*> items) {
    AnyArray* array = new AnyArray();
    for (Any* item : items) array->append(item);
    Any a;
    a.setArray(array);
    return a;
}
const char* const kNoText = nullptr;

// Reads one object of the given id from hand-made bytes.
int decode(const Bytes& bytes, unsigned int id, Translatable** obj) {
    Message m(bytes.c_str(), bytes.size());
    return m.readObject(id, obj);
}

class AnyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        _log_level = LOG_CRITICAL;
        Directory::init();
    }
    void TearDown() override { _scriptTypeHooks = ScriptTypeHooks{nullptr, nullptr, nullptr, nullptr}; }
};

TEST_F(AnyTest, TextFormsOfEveryKind) {
    struct Case {
        Any value;
        const char* text;
    } cases[] = {
        {Any("x"), "\"x\""}, {Any("say \"hi\""), "\"say \\\"hi\\\"\""}, {Any(), "null"}, {Any(true), "true"},
        {Any(false), "false"}, {Any(-42), "-42"}, {Any(-5000000000LL), "-5000000000"}, {Any(3.0), "3.0"},
        {Any(0.125), "0.125"}, {Any(2.5f), "2.5"}, {chars("c"), "'c'"}, {take(Any::makeUndefined()), "undefined"},
        {take(Any::makeDate(0)), "\"1970-01-01T00:00:00.000Z\""},
        {take(Any::makeDate(1700000000123LL)), "\"2023-11-14T22:13:20.123Z\""},
        {arrayOf({new Any(1), nullptr, new Any("two")}), "[ 1, null, \"two\" ]"},
        {ref(new Acl("K`me")), "K`me"},
        {ref(nullptr), "null"},
        // Escapes by code point; a malformed sequence still gives a whole text.
        {Any("\t\xC3\xA9"), "\"\\t\\u00E9\""},
        {Any("\x07\x08\x0C\x0D\n\\\x01\x0B\x1F\x7F"), "\"\\a\\b\\f\\r\\n\\\\\\x1\\xB\\x1F\\x7F\""},
        {Any("\xE2\x82\xAC\xF0\x9F\x98\x80"), "\"\\u20AC\\U0001F600\""},
        {Any("a\xC3"), "\"a\\u00C3\""},
    };
    for (Case& c : cases) EXPECT_EQ(c.text, str(c.value));

    Any quoted("say \"hi\"");
    EXPECT_EQ(0x10007u, typeWord(quoted));
    EXPECT_EQ("\"say \"hi\"\"", text(quoted.toJSON(nullptr))) << "JSON form is not escaped";
    Any c = chars("c");
    EXPECT_EQ("'c'", text(c.toJSON(nullptr)));
    Any absent(kNoText);
    EXPECT_EQ(ANY_STRING, absent.getType());
    EXPECT_EQ(nullptr, absent.toString(nullptr));
    Any date = take(Any::makeDate(5));
    EXPECT_STREQ("date", date.getTypeOf(nullptr));
    EXPECT_STREQ("date", date.getClassOf(nullptr));
    // Texts longer than the number buffer or the first guess of the escaper.
    Any big(1e300);
    EXPECT_EQ(303u, str(big).size()) << "not cut at 80 characters";
    Any lots(std::string(300, '\x01').c_str());
    EXPECT_EQ(2 + 300 * 3u, str(lots).size());
}

TEST_F(AnyTest, EqualityFollowsKindsHintsAndWidths) {
    Acl* shared = new Acl("same");
    struct Case {
        Any a, b;
        bool equal;
    } cases[] = {
        {Any(5), Any(5LL), true}, {Any(0.5f), Any(0.5), true},
        {Any(5), Any(5.0), false}, {Any(NAN), Any(NAN), false}, {Any(nan("")), Any(nan("")), false},
        // One kind with different hints is unequal; across widths hints do not count.
        {hinted(Any(5), HINT_DATE), Any(5), false},
        {hinted(Any(5), HINT_DATE), Any(5LL), true},
        {Any(), Any(), true}, {Any(), hinted(Any(), 3), false},
        {take(Any::makeUndefined()), take(Any::makeUndefined()), true},
        {Any("a"), Any("a"), true}, {Any("a"), Any("b"), false},
        {Any("a"), Any(kNoText), false}, {Any(kNoText), Any(kNoText), true},
        {arrayOf({new Any(1), nullptr}), arrayOf({new Any(1), nullptr}), true},
        {arrayOf({new Any(1), nullptr}), arrayOf({new Any(1), new Any()}), false},
        {ref(shared), ref(new Acl("same")), true},
        {ref(shared), ref(new Acl("other")), false},
        {owned(new Acl("same")), owned(new Acl("same")), false},
    };
    for (Case& c : cases) {
        EXPECT_EQ(c.equal, c.a == c.b) << str(c.a) << " == " << str(c.b);
        EXPECT_EQ(c.equal, c.b == c.a) << str(c.b) << " == " << str(c.a);
    }
    Any nanDouble(nan(""));
    EXPECT_FALSE(nanDouble == nanDouble);

    // Two references to one object get the object's own answer, which for
    // an array holding NaN is "unequal", even to itself.
    AnyArray* withNaN = new AnyArray;
    withNaN->append(new Any(NAN));
    Any nanRef = ref(withNaN), sameNanRef = ref(withNaN);
    EXPECT_FALSE(nanRef == sameNanRef);
    EXPECT_FALSE(nanRef == nanRef);
    Any sharedRef = ref(shared), sameSharedRef = ref(shared);
    EXPECT_TRUE(sharedRef == sameSharedRef);

    bool equal = false;
    Any i32(5), i64(5LL);
    EXPECT_EQ(0, i32.isEqual(nullptr, &equal, &i64));
    EXPECT_TRUE(equal);
    EXPECT_EQ(0, i32.isEqual(nullptr, &equal, shared));
    EXPECT_FALSE(equal);
}

// An array whose first element refers to the array itself: [self, last].
AnyArray* selfHolding(int last) {
    AnyArray* a = new AnyArray;
    Any* self = new Any;
    self->setReference(a);
    a->append(self);
    a->append(new Any(last));
    return a;
}

// level 0 is [base]; each level above holds the one below twice, by reference.
Any sharedTower(int levels, int base) {
    AnyArray* a = new AnyArray;
    a->append(new Any(base));
    for (int i = 0; i < levels; i++) {
        AnyArray* up = new AnyArray;
        for (int k = 0; k < 2; k++) {
            Any* below = new Any;
            below->setReference(a);
            up->append(below);
        }
        a = up;
    }
    return ref(a);
}

// Values a script can build: an array that holds itself, parts shared many
// times over, and nesting far deeper than a stack could hold one frame per
// level.
TEST_F(AnyTest, NestedValuesCompareAndReleaseWithinBoundedStack) {
    AnyArray* d = selfHolding(1);
    AnyArray* e = selfHolding(1);
    AnyArray* f = selfHolding(2);
    {
        Any dv = ref(d), ev = ref(e), fv = ref(f);
        // The same shape unrolled for ever is equal; a difference behind the
        // cycle is still found.
        EXPECT_TRUE(dv == ev);
        EXPECT_FALSE(dv == fv);
        EXPECT_FALSE(fv == dv);
        // Each holds itself: break the cycles so the values can go.
        d->clear();
        e->clear();
        f->clear();
    }

    // 2^60 paths, 61 distinct arrays: compared once each.
    EXPECT_TRUE(sharedTower(60, 1) == sharedTower(60, 1));
    EXPECT_FALSE(sharedTower(60, 1) == sharedTower(60, 2));

    const int kDeep = 200000;
    Any chainA, chainB;
    chainA.set("bottom");
    chainB.set("bottom");
    for (int i = 0; i < kDeep; i++) {
        AnyArray* a = new AnyArray;
        a->append(new Any(chainA));
        chainA.setReference(a);
        AnyArray* b = new AnyArray;
        b->append(new Any(chainB));
        chainB.setReference(b);
    }
    // Too deep to compare: unequal rather than a stack overflow.
    EXPECT_FALSE(chainA == chainB);
    chainA.clear();  // references, each array released by the one above it

    // Owned arrays inside owned arrays, and objects inside objects.
    Any owner = nestedArrays(kDeep);
    Any objects;
    for (int i = 0; i < kDeep; i++) {
        Attributes* o = new Attributes;
        o->addAttribute("x", new Any(objects));
        objects.setReference(o);
    }
    owner.clear();
    objects.clear();
}

std::string repeated(const char* s, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += s;
    return out;
}

TEST_F(AnyTest, NestedValuesPrintCopyAndEncodeWithinBoundedStack) {
    // [1, self]: the array met again inside itself has no text, and no
    // message could hold it.
    AnyArray* cyclic = selfHolding(1);
    {
        Any holder = ref(cyclic);
        EXPECT_EQ("[ null, 1 ]", str(holder));
        EXPECT_EQ("[ null, 1 ]", text(holder.toJSON(nullptr)));
        Message m(0);
        EXPECT_EQ(MSG_E_MISSING_TYPE, m.writeObject(OBJ_ANY_ID, &holder));
        EXPECT_EQ(MSG_E_MISSING_TYPE, m.getError());
        cyclic->clear();
    }

    const int kDeep = 200000;
    Any deep = nestedArrays(kDeep);
    // The text stops at kMaxNesting levels; deeper down shows as null.
    EXPECT_EQ(repeated("[ ", kMaxNesting) + "null" + repeated(" ]", kMaxNesting), str(deep));
    // A copy is whole, however deep.
    Any copy(deep);
    const Any* from = &deep;
    const Any* to = &copy;
    int levels = 0;
    while (from->getType() == OBJ_ANYARRAY_ID) {
        ASSERT_EQ(OBJ_ANYARRAY_ID, to->getType()) << levels;
        ASSERT_NE(from->getArray(), to->getArray());
        ASSERT_EQ(1, to->getArray()->size());
        from = from->getArray()->get(0);
        to = to->getArray()->get(0);
        levels++;
    }
    EXPECT_EQ(kDeep, levels);
    EXPECT_EQ(ANY_INT32, to->getType());
    EXPECT_EQ(1, to->getInt32());
    Message m(0);
    EXPECT_EQ(MSG_E_MISSING_TYPE, m.writeObject(OBJ_ANY_ID, &deep));
    EXPECT_EQ(MSG_E_MISSING_TYPE, m.getError());
}

template <class T>
std::string shown(bool ok, T value, T untouched) {
    std::ostringstream out;
    out << std::boolalpha << value;
    return ok ? out.str() : value == untouched ? "-" : "changed on failure: " + out.str();
}

// What the typed conversions make of v, in the order int32, int64, double,
// bool, enum; "-" where one refuses. Outputs start at -9 (false for bool),
// so an accepted value that writes nothing shows as -9.
std::string conversions(const Any& v) {
    int i = -9, e = -9;
    long long l = -9;
    double d = -9;
    bool b = false;
    bool ok[] = {v.convertToInt32(i), v.convertToInt64(l), v.convertToDouble(d), v.convertToBool(b),
                 v.convertToEnum(e)};
    return shown(ok[0], i, -9) + " " + shown(ok[1], l, -9LL) + " " + shown(ok[2], d, -9.0) + " " +
           shown(ok[3], b, false) + " " + shown(ok[4], e, -9);
}

TEST_F(AnyTest, TypedConversionsAcceptWhatTheirHintsAllow) {
    const unsigned int i32 = HINT_INT32_TEXT, i64 = HINT_INT64_TEXT, yes = HINT_BOOL_TEXT;
    struct Case {
        Any value;
        const char* results;
    } cases[] = {
        {Any(7), "7 7 7 - -"}, {Any(8LL), "- 8 8 - -"}, {Any(true), "- - 1 true -"},
        {Any(1.5), "- - 1.5 - -"}, {Any("12"), "- - 12 - -"},
        {hinted(Any("  42"), HINT_ENUM_TEXT), "- - 42 - 42"},
        {hinted(Any("whatever"), HINT_ANY), "-9 -9 -9 false -9"},
        // Integer texts: units, fractions, one stray character at most.
        {hinted(Any(" 4k "), i32), "4096 - 4 - -"}, {hinted(Any("-1.5"), i32), "-1 - -1.5 - -"},
        {hinted(Any("12x"), i32), "12 - 12 - -"}, {hinted(Any("12xy"), i32), "- - 12 - -"},
        {hinted(Any(""), i32), "0 - 0 - -"}, {hinted(Any("3 M"), i32), "3145728 - 3 - -"},
        {hinted(Any("1t"), i32), "1 - 1 - -"} /* no T unit in 32 bits */,
        {hinted(Any("1t"), i64), "- 1099511627776 1 - -"}, {hinted(Any("2P"), i64), "- 2251799813685248 2 - -"},
        {hinted(Any("1e"), i64), "- 1152921504606846976 1 - -"}, {hinted(Any("1.5k"), i64), "- 1536 1.5 - -"},
        {hinted(Any("-2g"), i64), "- -2147483648 -2 - -"},
        {hinted(Any("9.9e300"), i64), "- 9223372036854775807 9.9e+300 - -"} /* saturates */,
        // Double texts, of any hint.
        {Any(".5"), "- - 0.5 - -"}, {Any("-.5"), "- - -0.5 - -"}, {Any("   "), "- - 0 - -"},
        {Any("2.5 apples"), "- - 2.5 - -"}, {Any("apples"), "- - - - -"},
        // Boolean texts.
        {hinted(Any("YES"), yes), "- - - true -"}, {hinted(Any("True"), yes), "- - - true -"},
        {hinted(Any("1"), yes), "- - 1 true -"}, {hinted(Any("10"), yes), "- - 10 false -"},
        {hinted(Any("no"), yes), "- - - false -"},
    };
    for (Case& c : cases) EXPECT_EQ(c.results, conversions(c.value)) << str(c.value);

    char* s = nullptr;
    Any plain("12"), number(12);
    EXPECT_TRUE(plain.convertToString(s));
    EXPECT_STREQ("12", s);
    free(s);
    EXPECT_FALSE(number.convertToString(s));

    // References: arrays and attribute sets by their ids.
    AnyArray* array = new AnyArray();
    Any arrayRef = ref(array);
    AnyArray* gotArray = nullptr;
    EXPECT_TRUE(arrayRef.convertToArray(&gotArray));
    EXPECT_EQ(array, gotArray);
    Attributes* attrs = nullptr;
    EXPECT_FALSE(arrayRef.convertToAttributes(&attrs));
    Function* fn = nullptr;
    EXPECT_FALSE(arrayRef.convertToFunction(&fn));
}

// An assignable reference, as a script variable holder would be.
class Holder : public Translatable {
public:
    Any current{41};
    bool isAssignable() const override { return true; }
    char* toString(Parser*) override { return strdup("holder"); }
};

TEST_F(AnyTest, ParserConversionsResolveAssignableReferences) {
    Holder* holder = new Holder();
    Any r = ref(holder);
    int i = 0;
    EXPECT_FALSE(r.convertToInt32(nullptr, i)) << "without a Parser the reference itself is converted";
    _scriptTypeHooks.assignedValue = [](Parser*, const Translatable* object) -> const Any* {
        return &static_cast<const Holder*>(object)->current;
    };
    Parser* parser = reinterpret_cast<Parser*>(holder);  // any non-null Parser
    ASSERT_TRUE(r.convertToInt32(parser, i));
    EXPECT_EQ(41, i);
    double d = 0;
    ASSERT_TRUE(r.convertToDouble(parser, d));
    EXPECT_EQ(41.0, d);
}

TEST_F(AnyTest, ScriptingHooksOnValuesAndArrays) {
    Any* result = nullptr;
    Any n, u = take(Any::makeUndefined()), s("h\xC3\xA9llo"), encoded;
    EXPECT_EQ(123, n.getField(nullptr, &result, "length"));
    EXPECT_EQ(123, u.getField(nullptr, &result, "x"));
    ASSERT_EQ(0, s.getField(nullptr, &result, "length"));
    EXPECT_EQ(ANY_INT32, result->getType());
    EXPECT_EQ(6, result->getInt32()) << "the byte length";
    delete result;
    EXPECT_EQ(50, s.getField(nullptr, &result, "size"));
    ASSERT_EQ(0, s.getField(nullptr, &result, "prototype"));
    EXPECT_EQ(ANY_UNDEFINED, result->getType()) << "no prototype registered";
    delete result;
    encoded.setEncoded(1014, static_cast<unsigned char*>(malloc(1)), 1);
    EXPECT_EQ(16, encoded.getField(nullptr, &result, "length"));
    EXPECT_STREQ("nativeJava", encoded.getTypeOf(nullptr));

    AnyArray array;
    array.append(new Any(10));
    array.append(new Any("ten"));
    array.append(nullptr);
    ASSERT_EQ(0, array.getField(nullptr, &result, "length"));
    EXPECT_EQ(3, result->getInt32());
    delete result;
    Any index1(1), index7(7LL), indexS("1"), index2(2), negative(-1);
    ASSERT_EQ(0, array.getArrayElement(nullptr, &result, &index1));
    EXPECT_STREQ("ten", result->getString());
    EXPECT_NE(array.elements[1]->getString(), result->getString()) << "a reference, not the element";
    delete result;
    for (Any* undefinedAt : {&index7, &index2 /* an empty slot */}) {
        ASSERT_EQ(0, array.getArrayElement(nullptr, &result, undefinedAt));
        EXPECT_EQ(ANY_UNDEFINED, result->getType()) << str(*undefinedAt);
        delete result;
    }
    EXPECT_EQ(24, array.getArrayElement(nullptr, &result, &indexS));
    EXPECT_EQ(0, array.setArrayElement(nullptr, &index2, new Any(true)));
    EXPECT_EQ(ANY_BOOLEAN, array.get(2)->getType());
    EXPECT_EQ(24, array.setArrayElement(nullptr, &indexS, new Any(1)));
    EXPECT_EQ(24, array.setArrayElement(nullptr, &negative, new Any(1)));

    // The hooks of the scripting language answer class names.
    _scriptTypeHooks.className = [](Parser*, unsigned int id) -> const char* {
        return id == OBJ_ACL_ID ? "AccessList" : nullptr;
    };
    Any r = ref(new Acl("x")), i(1), arr = arrayOf({});
    EXPECT_STREQ("AccessList", r.getClassOf(nullptr));
    EXPECT_STREQ("object", r.getTypeOf(nullptr));
    EXPECT_STREQ("int32", i.getClassOf(nullptr));
    EXPECT_STREQ("number", i.getTypeOf(nullptr));
    EXPECT_STREQ("array", arr.getClassOf(nullptr));
}

TEST_F(AnyTest, PrettyArraysIndentByTheParsersLevel) {
    static int level;
    level = 1;
    _scriptTypeHooks.prettyLevel = [](Parser*) -> int* { return &level; };
    AnyArray outer;
    outer.append(new Any(1));
    outer.append(new Any(arrayOf({new Any(2)})));
    Parser* parser = reinterpret_cast<Parser*>(&outer);
    EXPECT_EQ("[\n        1,\n        [\n            2\n        ]\n    ]", text(outer.toString(parser)));
    EXPECT_EQ(1, level);
    EXPECT_EQ("[ 1, [ 2 ] ]", text(outer.toString(nullptr)));
}

TEST_F(AnyTest, CopiesReferencesAndMoves) {
    Any s("text");
    Any copy(s);
    EXPECT_TRUE(copy == s);
    EXPECT_NE(s.getString(), copy.getString());

    Acl* acl = new Acl("shared");
    Any r = ref(acl);
    EXPECT_EQ(1, acl->_refCount);
    {
        Any second(r);
        Any* third = r.createReference();
        EXPECT_EQ(3, acl->_refCount);
        EXPECT_EQ(acl, third->getReferenced());
        delete third;
    }
    EXPECT_EQ(1, acl->_refCount);

    Any original = owned(new Acl("owned"));
    Any ownedCopy(original);
    Translatable* obj;
    ASSERT_TRUE(ownedCopy.getObject(&obj));
    EXPECT_STREQ("owned", static_cast<Acl*>(obj)->getText()) << "copied through its translator";
    EXPECT_NE(original.value.object, obj);

    Any from("moved");
    Any to;
    to.takeFrom(from);
    EXPECT_STREQ("moved", to.getString());
    EXPECT_EQ(ANY_STRING, from.getType());
    EXPECT_EQ(nullptr, from.getString());

    // What a script variable receives on assignment.
    Any hintedText = hinted(Any("hinted"), HINT_INT32_TEXT), date = hinted(Any(3), HINT_DATE), arr = arrayOf({});
    Any* assigned = Any::createForVariableAssign(&hintedText);
    EXPECT_EQ(0x10007u, typeWord(*assigned));
    delete assigned;
    assigned = Any::createForVariableAssign(&date);
    EXPECT_EQ(HINT_NONE, assigned->getHint());
    EXPECT_EQ(3, assigned->getInt32());
    delete assigned;
    EXPECT_EQ(nullptr, Any::createForVariableAssign(&arr));
    assigned = Any::createForVariableAssign(&r);
    EXPECT_EQ(acl, assigned->getReferenced());
    delete assigned;

    Any neg(5), negL(6LL), negD(1.5), negS("5");
    for (Any* v : {&neg, &negL, &negD, &negS}) v->setSign(-1);
    EXPECT_EQ(-5, neg.getInt32());
    EXPECT_EQ(-6, negL.getInt64());
    EXPECT_EQ(-1.5, negD.getDouble());
    EXPECT_STREQ("5", negS.getString());

    // djb2 of "ab" is (5381 * 33 + 'a') * 33 + 'b'.
    EXPECT_EQ(5863208ul, getHashValue("ab"));
    EXPECT_EQ(177550ul, getHashValue("\xE9")) << "bytes count as signed chars";
    EXPECT_EQ(5863208ul, Any("ab").hashValue());
    EXPECT_EQ(6ul, Any(static_cast<long long>(0x0000000500000003LL)).hashValue());
    EXPECT_EQ(2ul, Any(2.9).hashValue());
    EXPECT_EQ(0ul, Any(kNoText).hashValue());
}

// An object that encodes, but whose encoding does not decode.
const unsigned int kUndecodableId = 60101;
// An object that does not encode (and has no copy of its own).
const unsigned int kUnencodableId = 60102;

class Opaque : public Translatable {
public:
    explicit Opaque(unsigned int id) : id(id) {}
    unsigned int getObjectID() const override { return id; }
    unsigned int id;
};

int undecodableXlator(MessageBase* m, Translatable**, int direction) {
    if (direction != XLATE_ENCODE) return -1;
    return m->writeStringField(1, "kept");
}

int unencodableXlator(MessageBase*, Translatable**, int) {
    return -1;
}

TEST_F(AnyTest, OwnedObjectsThatDoNotTravelAreCopiedWithoutLoss) {
    MessageBase::registerObjectXlator(kUndecodableId, undecodableXlator);
    MessageBase::registerObjectXlator(kUnencodableId, unencodableXlator);

    // Kept encoded: it travels on as the original would.
    Any undecodable = owned(new Opaque(kUndecodableId));
    Any kept(undecodable);
    EXPECT_EQ(kUndecodableId, kept.getType());
    ASSERT_TRUE(kept.isEncoded());
    EXPECT_EQ(encodedBody(OBJ_ANY_ID, &undecodable), encodedBody(OBJ_ANY_ID, &kept));

    // Nested too deep for a message: the object's own copy.
    const int kLevels = kMaxNesting;
    Attributes* attributes = new Attributes;
    attributes->addAttribute("deep", new Any(nestedArrays(kLevels)));
    Any tooDeep = owned(attributes);
    Any cloned(tooDeep);
    Translatable* obj = nullptr;
    ASSERT_TRUE(cloned.getObject(&obj));
    ASSERT_EQ(OBJ_ATTRIBUTES_ID, obj->getObjectID());
    EXPECT_NE(attributes, obj);
    const Any* value = static_cast<Attributes*>(obj)->getAttribute("deep");
    ASSERT_NE(nullptr, value);
    EXPECT_TRUE(*value == *attributes->getAttribute("deep"));

    // Neither: a null value, not an object kind without an object.
    Any unencodable = owned(new Opaque(kUnencodableId));
    Any none(unencodable);
    EXPECT_EQ(ANY_NULL, none.getType());
    EXPECT_FALSE(none.isEncoded());
}

// A value given a part of itself: the part is taken before the rest goes.
TEST_F(AnyTest, AssigningAPartOfAValueToItKeepsThePart) {
    Any text = arrayOf({new Any("inner"), new Any(2)});
    text = *text.getArray()->get(0);
    EXPECT_EQ("\"inner\"", str(text));

    Any number = arrayOf({new Any(7)});
    number = *number.getArray()->get(0);
    EXPECT_EQ(ANY_INT32, number.getType());
    EXPECT_EQ(7, number.getInt32());

    Any nested = arrayOf({new Any(arrayOf({new Any(1), new Any("two")}))});
    nested = *nested.getArray()->get(0);
    EXPECT_EQ("[ 1, \"two\" ]", str(nested));

    Any moved = arrayOf({new Any("moved"), new Any(3)});
    moved.takeFrom(*moved.getArray()->get(0));
    EXPECT_EQ("\"moved\"", str(moved));

    Any movedArray = arrayOf({new Any(arrayOf({new Any(4)}))});
    movedArray.takeFrom(*movedArray.getArray()->get(0));
    EXPECT_EQ("[ 4 ]", str(movedArray));

    Any self("self");
    self.takeFrom(self);
    EXPECT_STREQ("self", self.getString());

    // Its own text, or the object it alone references, given again.
    Any own("own"), ownChar = chars("c"), element = arrayOf({new Any("el")}), only = ref(new Acl("only"));
    own.set(own.getString());
    ownChar.setChar(ownChar.getString());
    element.set(element.getArray()->get(0)->getString());
    only.setReference(only.getReferenced());
    EXPECT_EQ("\"own\" 'c' \"el\" only", str(own) + " " + str(ownChar) + " " + str(element) + " " + str(only));
}

TEST_F(AnyTest, ProgrammingErrorsStopTheProcess) {
    EXPECT_DEATH({ Any bad; bad.type = ANY_INVALID; Any copy(bad); }, "");
    EXPECT_DEATH({ Any a; a.setType(0xFFFF); }, "");
    EXPECT_DEATH({ Any a = arrayOf({}); delete a.createReference(); }, "");
    EXPECT_DEATH({ AnyArray array; Any index(3); array.setArrayElement(nullptr, &index, new Any(1)); }, "");
    // An object under a built-in kind's code would be freed as that kind's payload.
    struct StringCoded : Translatable {
        unsigned int getObjectID() const override { return ANY_STRING; }
    };
    EXPECT_DEATH({ Any a; a.setObject(new StringCoded()); }, "");
    StringCoded* carried = new StringCoded();
    Any a;
    a.setObject(carried, 97);
    EXPECT_EQ(97, a.getType());
    EXPECT_EQ(carried, a.value.object);
}

TEST_F(AnyTest, CountsOnASharedObjectHoldAcrossThreads) {
    Acl* acl = new Acl("shared");
    ObjRef* keep = new ObjRef(acl);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([acl] {
            for (int i = 0; i < 2000; i++) {
                ObjRef r(acl);
                ObjRef copy(r);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, acl->_refCount);
    EXPECT_EQ("shared", text(keep->toString(nullptr)));
    delete keep;  // the last count deletes the object (ASan reports a leak otherwise)
}

TEST_F(AnyTest, EveryKindSurvivesTheEncoding) {
    // 300 elements: field numbers above 255 read back as repeats of their low byte.
    AnyArray* elements = new AnyArray();
    for (int i = 0; i < 300; i++) elements->append(i % 7 == 0 ? nullptr : new Any(i));
    Any big;
    big.setArray(elements);
    Any values[] = {Any(), take(Any::makeUndefined()), Any(true), Any(-3), Any(1LL << 50), Any(0.25f), Any(-1e100),
                    Any("string \xE2\x82\xAC"), Any(kNoText), take(Any::makeDate(1234567890123LL)), chars("chars"),
                    hinted(Any("yes"), HINT_BOOL_TEXT), big};
    for (Any& v : values) {
        std::unique_ptr<Any> back = roundTrip(OBJ_ANY_ID, &v);
        ASSERT_NE(nullptr, back);
        EXPECT_EQ(typeWord(v), typeWord(*back)) << str(v);
        EXPECT_TRUE(v == *back) << str(v) << " vs " << str(*back);
    }
}

// The Any translator behind another function pointer: the one-step paths
// for values of a fixed size stand aside for it.
int WrappedAnyXlator(MessageBase* m, Translatable** obj, int direction) {
    return AnyXlator(m, obj, direction);
}

TEST_F(AnyTest, OneStepPathsWriteAndReadWhatTheTranslatorDoes) {
    // Array elements go through the one-step paths unless another function
    // stands in for the Any translator.
    Any values = arrayOf({new Any(), Any::makeUndefined(), new Any(false), new Any(-9), new Any(7LL << 40),
                          new Any(1.25f), new Any(-0.5), new Any("text"), Any::makeDate(86400000LL)});
    std::string encoded[2];
    for (int general = 0; general < 2; general++) {
        MessageBase::registerObjectXlator(OBJ_ANY_ID, general != 0 ? WrappedAnyXlator : AnyXlator);
        encoded[general] = encodedBody(OBJ_ANY_ID, &values);
        std::unique_ptr<Any> back = roundTrip(OBJ_ANY_ID, &values);
        EXPECT_TRUE(values == *back) << str(values) << " vs " << str(*back);
    }
    MessageBase::registerObjectXlator(OBJ_ANY_ID, AnyXlator);
    EXPECT_EQ(encoded[1], encoded[0]);

    // Fields in another order, or an extra field, take the long way and
    // still read the same.
    Bytes reordered = Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(2);
    reordered.field(2).object(OBJ_ANY_ID).field(3).int32(0).field(2).int64(5).field(1).int32(ANY_INT64).end();
    reordered.field(3).object(OBJ_ANY_ID).field(1).int32(ANY_INT32).field(2).int32(6).field(3).int32(0).field(9).u8(8).end();
    Translatable* obj;
    ASSERT_EQ(0, decode(reordered.end(), OBJ_ANYARRAY_ID, &obj));
    AnyArray* array = static_cast<AnyArray*>(obj);
    EXPECT_EQ(5LL, array->get(0)->getInt64());
    EXPECT_EQ(6, array->get(1)->getInt32());
    delete array;
}

// What reading an array from these bytes gives: the return code, the
// sticky error, and the array's text when there is one.
std::string readArray(const std::string& bytes) {
    Message m(bytes.data(), bytes.size());
    Translatable* obj = nullptr;
    int rc = m.readObject(OBJ_ANYARRAY_ID, &obj);
    std::string out = std::to_string(rc) + "/" + std::to_string(m.getError());
    if (obj != nullptr) out += " " + text(obj->toString(nullptr));
    delete obj;
    return out;
}

TEST_F(AnyTest, ArraysDecodedInPlaceReadAsTheTranslatorReadsThem) {
    std::vector<std::string> inputs;
    // Encoded by the writer: in place for fixed-size values and strings; a
    // null slot or a nested array sends the whole array the general way.
    for (Any* last : {new Any("text"), static_cast<Any*>(nullptr), new Any(arrayOf({new Any(1)}))}) {
        AnyArray* array = new AnyArray();
        for (int i = 0; i < 300; i++) array->append(i % 3 == 0 ? new Any(i) : new Any(static_cast<long long>(i) << 33));
        array->append(last);
        inputs.push_back(encodedBody(OBJ_ANYARRAY_ID, array));
        delete array;
    }
    // A short array cut at every byte and with every byte changed: whatever
    // the damage, both ways give the same result and the same error.
    Bytes small = Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(2);
    small.field(2).object(OBJ_ANY_ID).field(1).int32(ANY_INT32).field(2).int32(6).field(3).int32(0).end();
    small.field(3).object(OBJ_ANY_ID).field(1).int32(ANY_STRING).field(2).str("ab").field(3).int32(1).end().end();
    for (size_t cut = 0; cut < small.size(); cut++) inputs.push_back(small.data.substr(0, cut));
    for (size_t at = 0; at < small.size(); at++)
        for (int b : {0, 1, 2, 3, 7, 8, 10, 11, 13, 0xFF}) {
            std::string changed = small.data;
            changed[at] = static_cast<char>(b);
            inputs.push_back(changed);
        }
    // A count far beyond what the bytes hold.
    inputs.push_back(Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(0x7FFFFFFF).end().data);

    for (const std::string& bytes : inputs) {
        std::string inPlace = readArray(bytes);
        MessageBase::registerObjectXlator(OBJ_ANYARRAY_ID, AnyArrayXlator);
        std::string general = readArray(bytes);
        MessageBase::registerObjectXlator(OBJ_ANYARRAY_ID, AnyArrayXlator, AnyArrayInPlace);
        ASSERT_EQ(general, inPlace) << Bytes::hex(bytes.data(), bytes.size());
    }
}

TEST_F(AnyTest, ObjectsTravelEncodedUntilUsed) {
    // A reference travels as its object, under the object's own id.
    Any acl = ref(new Acl("A`owner"));
    std::unique_ptr<Any> back = roundTrip(OBJ_ANY_ID, &acl);
    EXPECT_EQ(OBJ_ACL_ID, back->getType());
    EXPECT_TRUE(back->isEncoded());
    EXPECT_STREQ("nativeJava", back->getClassOf(nullptr));
    // Copies of the encoded form are byte copies, and go out unchanged.
    Any copy(*back);
    EXPECT_TRUE(copy.isEncoded());
    EXPECT_EQ(0, memcmp(copy.getEncodedBytes(), back->getEncodedBytes(), back->encodedLength));
    EXPECT_EQ(back->encodedLength, roundTrip(OBJ_ANY_ID, back.get())->encodedLength);
    // Using it decodes it in place.
    EXPECT_EQ("A`owner", str(*back));
    EXPECT_FALSE(back->isEncoded());
    Translatable* obj;
    EXPECT_TRUE(back->getObject(&obj));
    EXPECT_EQ(OBJ_ACL_ID, obj->getObjectID());
    back.reset();
    // takeObject hands over a fresh decoded object and keeps the bytes.
    Translatable* taken;
    ASSERT_TRUE(copy.takeObject(&taken));
    EXPECT_TRUE(copy.isEncoded());
    EXPECT_STREQ("A`owner", static_cast<Acl*>(taken)->getText());
    delete taken;

    // An id nobody can decode stays encoded, and using it fails cleanly.
    Bytes unknown = Bytes().object(OBJ_ANY_ID).field(1).int32(4711).field(2).object(4711).field(1).int32(1).end().end();
    ASSERT_EQ(0, decode(unknown, OBJ_ANY_ID, &obj));
    Any* opaque = static_cast<Any*>(obj);
    EXPECT_EQ(nullptr, opaque->toString(nullptr));
    EXPECT_TRUE(opaque->isEncoded());
    delete opaque;

    // The hint field may be missing; a null payload object is a null payload.
    Bytes noHint = Bytes().object(OBJ_ANY_ID).field(1).int32(4711).field(2).u8(8).end();
    Message in(noHint.c_str(), noHint.size());
    ASSERT_EQ(0, in.readObject(OBJ_ANY_ID, &obj));
    EXPECT_EQ(0, in.getError()) << "the missing hint was recovered from";
    EXPECT_EQ(HINT_NONE, static_cast<Any*>(obj)->getHint());
    EXPECT_FALSE(static_cast<Any*>(obj)->isEncoded());
    EXPECT_EQ(nullptr, static_cast<Any*>(obj)->value.object);
    delete obj;

    // Kinds and hints out of range, and an array count larger than its
    // elements, are refused, not asserted and not allocated.
    struct Refused {
        unsigned int id;
        Bytes bytes;
    } refused[] = {
        {OBJ_ANY_ID, Bytes().object(OBJ_ANY_ID).field(1).int32(0).end()},
        {OBJ_ANY_ID, Bytes().object(OBJ_ANY_ID).field(1).int32(8).end()},
        {OBJ_ANY_ID, Bytes().object(OBJ_ANY_ID).field(1).int32(0xFFFF).end()},
        {OBJ_ANY_ID, Bytes().object(OBJ_ANY_ID).field(1).int32(-1).end()},
        {OBJ_ANY_ID, Bytes().object(OBJ_ANY_ID).field(1).int32(1).field(3).int32(0x10000).end()},
        {OBJ_ANYARRAY_ID, Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(0x7FFFFFFF).end()},
    };
    for (const Refused& bad : refused) {
        EXPECT_NE(0, decode(bad.bytes, bad.id, &obj)) << bad.bytes.hex();
        EXPECT_EQ(nullptr, obj);
    }

    // Values encoded inside encoded values, 1000 deep: the text form gives up
    // at the nesting limit instead of recursing through all of them.
    Bytes chain;
    for (int i = 0; i < 1000; i++) chain.object(OBJ_ANY_ID).field(1).int32(OBJ_ANY_ID).field(2);
    chain.object(OBJ_ANY_ID).field(1).int32(1).end();
    for (int i = 0; i < 1000; i++) chain.end();
    ASSERT_EQ(0, decode(chain, OBJ_ANY_ID, &obj));
    EXPECT_EQ(nullptr, obj->toString(nullptr));
    delete obj;
}

}  // namespace
