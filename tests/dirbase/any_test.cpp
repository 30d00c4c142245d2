// Any, AnyArray and ObjRef: text forms, equality, conversions, the scripting
// hooks, copies, and the Any encoding.
#include "dirbase/any.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/os.h"
#include "dir/directory.h"
#include "dirbase/acl.h"
#include "dirbase/message.h"
#include "tests/support/bytes.h"

namespace {

std::string text(char* s) {
    std::string out = s != nullptr ? s : "(null)";
    free(s);
    return out;
}

std::string str(Any& a) {
    return text(a.toString(nullptr));
}

uint32_t typeWord(const Any& a) {
    return static_cast<uint32_t>(a.getHint()) << 16 | a.getType();
}

// Encodes an Any and decodes it again.
Any* roundTrip(const Any& a) {
    Message out(0);
    EXPECT_EQ(0, out.writeObject(OBJ_ANY_ID, &a));
    out.switchToRead();
    Translatable* obj = nullptr;
    EXPECT_EQ(0, out.readObject(OBJ_ANY_ID, &obj));
    return static_cast<Any*>(obj);
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
    Any s("x");
    EXPECT_EQ(0x10007u, typeWord(s));
    EXPECT_EQ("\"x\"", str(s));
    Any quoted("say \"hi\"");
    EXPECT_EQ("\"say \\\"hi\\\"\"", str(quoted));
    EXPECT_EQ("\"say \"hi\"\"", text(quoted.toJSON(nullptr))) << "JSON form is not escaped";
    Any absent(static_cast<const char*>(nullptr));
    EXPECT_EQ(ANY_STRING, absent.getType());
    EXPECT_EQ(nullptr, absent.toString(nullptr));

    Any n;
    EXPECT_EQ("null", str(n));
    Any t(true), f(false);
    EXPECT_EQ("true", str(t));
    EXPECT_EQ("false", str(f));
    Any i32(-42);
    EXPECT_EQ("-42", str(i32));
    Any i64(-5000000000LL);
    EXPECT_EQ("-5000000000", str(i64));
    Any three(3.0), eighth(0.125), half(2.5f), big(1e300);
    EXPECT_EQ("3.0", str(three));
    EXPECT_EQ("0.125", str(eighth));
    EXPECT_EQ("2.5", str(half));
    EXPECT_EQ(303u, str(big).size()) << "not cut at 80 characters";
    Any c;
    c.setChar("c");
    EXPECT_EQ("'c'", str(c));
    EXPECT_EQ("'c'", text(c.toJSON(nullptr)));
    Any* u = Any::makeUndefined();
    EXPECT_EQ("undefined", str(*u));
    delete u;

    Any* epoch = Any::makeDate(0);
    EXPECT_EQ("\"1970-01-01T00:00:00.000Z\"", str(*epoch));
    delete epoch;
    Any* date = Any::makeDate(1700000000123LL);
    EXPECT_EQ("\"2023-11-14T22:13:20.123Z\"", str(*date));
    EXPECT_STREQ("date", date->getTypeOf(nullptr));
    EXPECT_STREQ("date", date->getClassOf(nullptr));
    delete date;

    AnyArray* array = new AnyArray();
    array->append(new Any(1));
    array->append(nullptr);
    array->append(new Any("two"));
    Any a;
    a.setArray(array);
    EXPECT_EQ("[ 1, null, \"two\" ]", str(a));

    Acl* acl = new Acl("K`me");
    Any ref;
    ref.setReference(acl);
    EXPECT_EQ("K`me", str(ref));
    Any emptyRef;
    emptyRef.setReference(nullptr);
    EXPECT_EQ("null", str(emptyRef));
}

TEST_F(AnyTest, StringsAreEscapedByCodePoint) {
    Any tabE("\t\xC3\xA9");
    EXPECT_EQ("\"\\t\\u00E9\"", str(tabE));
    Any controls("\x07\x08\x0C\x0D\n\\\x01\x0B\x1F\x7F");
    EXPECT_EQ("\"\\a\\b\\f\\r\\n\\\\\\x1\\xB\\x1F\\x7F\"", str(controls));
    Any wide("\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ("\"\\u20AC\\U0001F600\"", str(wide));
    Any plain("plain ASCII ~");
    EXPECT_EQ("\"plain ASCII ~\"", str(plain));
    // Many escapes in a row grow the buffer.
    std::string many(300, '\x01');
    Any lots(many.c_str());
    EXPECT_EQ(2 + 300 * 3u, str(lots).size());
    // Malformed UTF-8 still gives a complete text.
    Any broken("a\xC3");
    EXPECT_EQ("\"a\\u00C3\"", str(broken));
}

TEST_F(AnyTest, EqualityFollowsKindsHintsAndWidths) {
    Any i32(5), i64(5LL), d5(5.0), f05(0.5f), d05(0.5);
    EXPECT_TRUE(i32 == i64);
    EXPECT_TRUE(i64 == i32);
    EXPECT_TRUE(f05 == d05);
    EXPECT_TRUE(d05 == f05);
    EXPECT_FALSE(i32 == d5);
    Any nan1(NAN), nan2(NAN);
    EXPECT_FALSE(nan1 == nan2);
    EXPECT_FALSE(nan1 == nan1);

    // Same kind with different hints: unequal; across widths hints do not matter.
    Any hinted(5);
    hinted.setHint(HINT_DATE);
    EXPECT_FALSE(hinted == i32);
    EXPECT_TRUE(hinted == i64);
    Any plainNull, hintedNull;
    hintedNull.setHint(3);
    EXPECT_TRUE(plainNull == Any());
    EXPECT_FALSE(plainNull == hintedNull);

    Any a("a"), a2("a"), b("b"), none(static_cast<const char*>(nullptr)), none2(static_cast<const char*>(nullptr));
    EXPECT_TRUE(a == a2);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == none);
    EXPECT_TRUE(none == none2);

    Any arr1, arr2;
    AnyArray* x = new AnyArray();
    x->append(new Any(1));
    x->append(nullptr);
    arr1.setArray(x);
    arr2.setArray(new AnyArray(*x));
    EXPECT_TRUE(arr1 == arr2);
    arr2.getArray()->elements[1] = new Any();
    EXPECT_FALSE(arr1 == arr2) << "an empty slot matches only an empty slot";

    Acl* acl = new Acl("same");
    Any r1, r2, r3;
    r1.setReference(acl);
    r2.setReference(new Acl("same"));
    r3.setReference(new Acl("other"));
    EXPECT_TRUE(r1 == r2);
    EXPECT_FALSE(r1 == r3);

    Any o1, o2;
    o1.setObject(new Acl("same"));
    o2.setObject(new Acl("same"));
    EXPECT_FALSE(o1 == o2) << "owned objects are never equal";

    bool equal = false;
    EXPECT_EQ(0, i32.isEqual(nullptr, &equal, &i64));
    EXPECT_TRUE(equal);
    EXPECT_EQ(0, i32.isEqual(nullptr, &equal, acl));
    EXPECT_FALSE(equal);
}

TEST_F(AnyTest, TextConversionsReadUnitsAndFractions) {
    int i = 0;
    long long l = 0;
    double d = 0;
    EXPECT_TRUE(Any::textToInt32(" 4k ", i));
    EXPECT_EQ(4096, i);
    EXPECT_TRUE(Any::textToInt32("-1.5", i));
    EXPECT_EQ(-1, i);
    EXPECT_TRUE(Any::textToInt32("12x", i));
    EXPECT_EQ(12, i);
    i = 77;
    EXPECT_FALSE(Any::textToInt32("12xy", i));
    EXPECT_EQ(77, i) << "a failed conversion leaves the output alone";
    EXPECT_TRUE(Any::textToInt32("", i));
    EXPECT_EQ(0, i);
    EXPECT_TRUE(Any::textToInt32("3 M", i));
    EXPECT_EQ(3 << 20, i);
    EXPECT_TRUE(Any::textToInt32("1t", i));
    EXPECT_EQ(1, i) << "the 32-bit form has no T unit";
    EXPECT_TRUE(Any::textToInt64("1t", l));
    EXPECT_EQ(1099511627776LL, l);
    EXPECT_TRUE(Any::textToInt64("2P", l));
    EXPECT_EQ(2LL << 50, l);
    EXPECT_TRUE(Any::textToInt64("1e", l));
    EXPECT_EQ(1LL << 60, l);
    EXPECT_TRUE(Any::textToInt64("1.5k", l));
    EXPECT_EQ(1536, l);
    EXPECT_TRUE(Any::textToInt64("-2g", l));
    EXPECT_EQ(-(2LL << 30), l);
    EXPECT_TRUE(Any::textToInt64("9.9e300", l)) << "saturates instead of overflowing";
    EXPECT_EQ(9223372036854775807LL, l);

    EXPECT_TRUE(Any::textToDouble(".5", d));
    EXPECT_EQ(0.5, d);
    EXPECT_TRUE(Any::textToDouble("-.5", d));
    EXPECT_EQ(-0.5, d);
    EXPECT_TRUE(Any::textToDouble("   ", d));
    EXPECT_EQ(0.0, d);
    EXPECT_TRUE(Any::textToDouble("2.5 apples", d));
    EXPECT_EQ(2.5, d);
    d = 9;
    EXPECT_FALSE(Any::textToDouble("apples", d));
    EXPECT_EQ(9, d);

    EXPECT_TRUE(Any::textToBool("YES"));
    EXPECT_TRUE(Any::textToBool("True"));
    EXPECT_TRUE(Any::textToBool("1"));
    EXPECT_FALSE(Any::textToBool("10"));
    EXPECT_FALSE(Any::textToBool("no"));
}

TEST_F(AnyTest, TypedConversionsAcceptWhatTheirHintsAllow) {
    auto hinted = [](const char* s, unsigned int hint) {
        Any* a = new Any(s);
        a->setHint(hint);
        return a;
    };
    int i = -1;
    long long l = -1;
    double d = -1;
    bool b = false;
    char* s = nullptr;

    Any i32(7), i64(8LL), flag(true), real(1.5);
    EXPECT_TRUE(i32.convertToInt32(i));
    EXPECT_EQ(7, i);
    EXPECT_FALSE(i64.convertToInt32(i)) << "an int64 is not narrowed";
    EXPECT_TRUE(i32.convertToInt64(l));
    EXPECT_EQ(7, l);
    EXPECT_TRUE(flag.convertToDouble(d));
    EXPECT_EQ(1.0, d);
    EXPECT_TRUE(real.convertToDouble(d));
    EXPECT_EQ(1.5, d);
    EXPECT_TRUE(flag.convertToBool(b));
    EXPECT_TRUE(b);
    EXPECT_FALSE(i32.convertToBool(b));

    Any* intText = hinted(" 4k ", HINT_INT32_TEXT);
    EXPECT_TRUE(intText->convertToInt32(i));
    EXPECT_EQ(4096, i);
    EXPECT_FALSE(intText->convertToInt64(l)) << "hint 6 is not hint 7";
    Any* longText = hinted("1t", HINT_INT64_TEXT);
    EXPECT_TRUE(longText->convertToInt64(l));
    EXPECT_EQ(1099511627776LL, l);
    Any* boolText = hinted("yes", HINT_BOOL_TEXT);
    b = false;
    EXPECT_TRUE(boolText->convertToBool(b));
    EXPECT_TRUE(b);
    Any* enumText = hinted("  42", HINT_ENUM_TEXT);
    EXPECT_TRUE(enumText->convertToEnum(i));
    EXPECT_EQ(42, i);
    Any plain("12");
    EXPECT_FALSE(plain.convertToInt32(i)) << "a plain string needs hint 6";
    EXPECT_TRUE(plain.convertToDouble(d)) << "doubles take strings of any hint";
    EXPECT_EQ(12.0, d);
    EXPECT_TRUE(plain.convertToString(s));
    EXPECT_STREQ("12", s);
    free(s);
    EXPECT_FALSE(i32.convertToString(s));

    // Hint 1002 is accepted by every conversion and writes nothing.
    Any* wildcard = hinted("whatever", HINT_ANY);
    i = 5;
    l = 6;
    d = 7;
    b = false;
    EXPECT_TRUE(wildcard->convertToInt32(i));
    EXPECT_TRUE(wildcard->convertToInt64(l));
    EXPECT_TRUE(wildcard->convertToDouble(d));
    EXPECT_TRUE(wildcard->convertToBool(b));
    EXPECT_TRUE(wildcard->convertToEnum(i));
    EXPECT_EQ(5, i);
    EXPECT_EQ(6, l);
    EXPECT_EQ(7, d);
    EXPECT_FALSE(b);

    // References: arrays and attribute sets by their ids.
    Any arrayRef;
    AnyArray* array = new AnyArray();
    arrayRef.setReference(array);
    AnyArray* gotArray = nullptr;
    EXPECT_TRUE(arrayRef.convertToArray(&gotArray));
    EXPECT_EQ(array, gotArray);
    Attributes* attrs = nullptr;
    EXPECT_FALSE(arrayRef.convertToAttributes(&attrs));
    Function* fn = nullptr;
    EXPECT_FALSE(arrayRef.convertToFunction(&fn));

    for (Any* a : {intText, longText, boolText, enumText, wildcard}) delete a;
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
    Any ref;
    ref.setReference(holder);
    int i = 0;
    EXPECT_FALSE(ref.convertToInt32(nullptr, i)) << "without a Parser the reference itself is converted";
    _scriptTypeHooks.assignedValue = [](Parser*, const Translatable* object) -> const Any* {
        return &static_cast<const Holder*>(object)->current;
    };
    Parser* parser = reinterpret_cast<Parser*>(holder);  // any non-null Parser
    ASSERT_TRUE(ref.convertToInt32(parser, i));
    EXPECT_EQ(41, i);
    double d = 0;
    ASSERT_TRUE(ref.convertToDouble(parser, d));
    EXPECT_EQ(41.0, d);
}

TEST_F(AnyTest, ScriptingHooksOnValuesAndArrays) {
    Any* result = nullptr;
    Any n;
    EXPECT_EQ(123, n.getField(nullptr, &result, "length"));
    Any* u = Any::makeUndefined();
    EXPECT_EQ(123, u->getField(nullptr, &result, "x"));
    delete u;
    Any s("h\xC3\xA9llo");
    ASSERT_EQ(0, s.getField(nullptr, &result, "length"));
    EXPECT_EQ(ANY_INT32, result->getType());
    EXPECT_EQ(6, result->getInt32()) << "the byte length";
    delete result;
    EXPECT_EQ(50, s.getField(nullptr, &result, "size"));
    ASSERT_EQ(0, s.getField(nullptr, &result, "prototype"));
    EXPECT_EQ(ANY_UNDEFINED, result->getType()) << "no prototype registered";
    delete result;
    Any encoded;
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
    Any index1(1), index7(7LL), indexS("1"), index2(2);
    ASSERT_EQ(0, array.getArrayElement(nullptr, &result, &index1));
    EXPECT_STREQ("ten", result->getString());
    EXPECT_NE(array.elements[1]->getString(), result->getString()) << "a reference, not the element";
    delete result;
    ASSERT_EQ(0, array.getArrayElement(nullptr, &result, &index7));
    EXPECT_EQ(ANY_UNDEFINED, result->getType());
    delete result;
    ASSERT_EQ(0, array.getArrayElement(nullptr, &result, &index2));
    EXPECT_EQ(ANY_UNDEFINED, result->getType()) << "an empty slot";
    delete result;
    EXPECT_EQ(24, array.getArrayElement(nullptr, &result, &indexS));

    EXPECT_EQ(0, array.setArrayElement(nullptr, &index2, new Any(true)));
    EXPECT_EQ(ANY_BOOLEAN, array.get(2)->getType());
    EXPECT_EQ(24, array.setArrayElement(nullptr, &indexS, new Any(1)));
    Any negative(-1);
    EXPECT_EQ(24, array.setArrayElement(nullptr, &negative, new Any(1)));

    // The hooks of the scripting language answer prototypes and class names.
    _scriptTypeHooks.className = [](Parser*, unsigned int id) -> const char* {
        return id == OBJ_ACL_ID ? "AccessList" : nullptr;
    };
    Any ref;
    ref.setReference(new Acl("x"));
    EXPECT_STREQ("AccessList", ref.getClassOf(nullptr));
    EXPECT_STREQ("object", ref.getTypeOf(nullptr));
    Any i(1);
    EXPECT_STREQ("int32", i.getClassOf(nullptr));
    EXPECT_STREQ("number", i.getTypeOf(nullptr));
    Any arr;
    arr.setArray(new AnyArray());
    EXPECT_STREQ("array", arr.getClassOf(nullptr));
}

TEST_F(AnyTest, PrettyArraysIndentByTheParsersLevel) {
    static int level;
    level = 1;
    _scriptTypeHooks.prettyLevel = [](Parser*) -> int* { return &level; };
    AnyArray* inner = new AnyArray();
    inner->append(new Any(2));
    AnyArray outer;
    outer.append(new Any(1));
    Any wrapped;
    wrapped.setArray(inner);
    outer.append(new Any(wrapped));
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
    Any ref;
    ref.setReference(acl);
    EXPECT_EQ(1, acl->_refCount);
    {
        Any second(ref);
        Any* third = ref.createReference();
        EXPECT_EQ(3, acl->_refCount);
        EXPECT_EQ(acl, third->getReferenced());
        delete third;
    }
    EXPECT_EQ(1, acl->_refCount);

    Any owned;
    owned.setObject(new Acl("owned"));
    Any ownedCopy(owned);
    Translatable* obj;
    ASSERT_TRUE(ownedCopy.getObject(&obj));
    EXPECT_STREQ("owned", static_cast<Acl*>(obj)->getText()) << "copied through its translator";
    EXPECT_NE(owned.value.object, obj);

    Any from("moved");
    Any to;
    to.takeFrom(from);
    EXPECT_STREQ("moved", to.getString());
    EXPECT_EQ(ANY_STRING, from.getType());
    EXPECT_EQ(nullptr, from.getString());

    Any h("hinted");
    h.setHint(HINT_INT32_TEXT);
    Any* assigned = Any::createForVariableAssign(&h);
    EXPECT_EQ(0x10007u, typeWord(*assigned));
    delete assigned;
    Any i(3);
    i.setHint(HINT_DATE);
    assigned = Any::createForVariableAssign(&i);
    EXPECT_EQ(HINT_NONE, assigned->getHint());
    EXPECT_EQ(3, assigned->getInt32());
    delete assigned;
    Any arr;
    arr.setArray(new AnyArray());
    EXPECT_EQ(nullptr, Any::createForVariableAssign(&arr));
    assigned = Any::createForVariableAssign(&ref);
    EXPECT_EQ(acl, assigned->getReferenced());
    delete assigned;

    Any neg(5), negL(6LL), negD(1.5), negS("5");
    neg.setSign(-1);
    negL.setSign(-1);
    negD.setSign(-1);
    negS.setSign(-1);
    EXPECT_EQ(-5, neg.getInt32());
    EXPECT_EQ(-6, negL.getInt64());
    EXPECT_EQ(-1.5, negD.getDouble());
    EXPECT_STREQ("5", negS.getString());

    EXPECT_EQ(5863208ul, getHashValue("ab"));
    EXPECT_EQ(177550ul, getHashValue("\xE9")) << "bytes count as signed chars";
    EXPECT_EQ(5863208ul, Any("ab").hashValue());
    Any wide(static_cast<long long>(0x0000000500000003LL));
    EXPECT_EQ(6ul, wide.hashValue());
    EXPECT_EQ(2ul, Any(2.9).hashValue());
    EXPECT_EQ(0ul, Any(static_cast<const char*>(nullptr)).hashValue());
}

TEST_F(AnyTest, ProgrammingErrorsStopTheProcess) {
    EXPECT_DEATH(
        {
            Any bad;
            bad.type = ANY_INVALID;
            Any copy(bad);
        },
        "");
    EXPECT_DEATH(
        {
            Any a;
            a.setType(0xFFFF);
        },
        "");
    EXPECT_DEATH(
        {
            Any a;
            a.setArray(new AnyArray());
            delete a.createReference();
        },
        "");
    EXPECT_DEATH(
        {
            AnyArray array;
            Any index(3);
            array.setArrayElement(nullptr, &index, new Any(1));
        },
        "");
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
    std::vector<Any*> values;
    values.push_back(new Any());
    values.push_back(Any::makeUndefined());
    values.push_back(new Any(true));
    values.push_back(new Any(-3));
    values.push_back(new Any(1LL << 50));
    values.push_back(new Any(0.25f));
    values.push_back(new Any(-1e100));
    values.push_back(new Any("string \xE2\x82\xAC"));
    values.push_back(new Any(static_cast<const char*>(nullptr)));
    values.push_back(Any::makeDate(1234567890123LL));
    Any* c = new Any();
    c->setChar("chars");
    values.push_back(c);
    Any* withHint = new Any("yes");
    withHint->setHint(HINT_BOOL_TEXT);
    values.push_back(withHint);
    Any* array = new Any();
    AnyArray* elements = new AnyArray();
    for (int i = 0; i < 300; i++) elements->append(i % 7 == 0 ? nullptr : new Any(i));
    array->setArray(elements);
    values.push_back(array);

    for (Any* v : values) {
        Any* back = roundTrip(*v);
        ASSERT_NE(nullptr, back);
        EXPECT_EQ(typeWord(*v), typeWord(*back)) << str(*v);
        EXPECT_TRUE(*v == *back) << str(*v) << " vs " << str(*back);
        delete back;
        delete v;
    }
}

TEST_F(AnyTest, ObjectsTravelEncodedUntilUsed) {
    // A reference travels as its object, under the object's own id.
    Any ref;
    ref.setReference(new Acl("A`owner"));
    Any* back = roundTrip(ref);
    EXPECT_EQ(OBJ_ACL_ID, back->getType());
    EXPECT_TRUE(back->isEncoded());
    EXPECT_STREQ("nativeJava", back->getClassOf(nullptr));
    // Copies of the encoded form are byte copies.
    Any copy(*back);
    EXPECT_TRUE(copy.isEncoded());
    EXPECT_EQ(0, memcmp(copy.getEncodedBytes(), back->getEncodedBytes(), back->encodedLength));
    // Encoded again, the bytes go out unchanged.
    Any* again = roundTrip(*back);
    EXPECT_EQ(back->encodedLength, again->encodedLength);
    delete again;
    // Using it decodes it in place.
    EXPECT_EQ("A`owner", str(*back));
    EXPECT_FALSE(back->isEncoded());
    Translatable* obj;
    EXPECT_TRUE(back->getObject(&obj));
    EXPECT_EQ(OBJ_ACL_ID, obj->getObjectID());
    // takeObject hands over a fresh decoded object and keeps the bytes.
    Translatable* taken;
    ASSERT_TRUE(copy.takeObject(&taken));
    EXPECT_TRUE(copy.isEncoded());
    EXPECT_STREQ("A`owner", static_cast<Acl*>(taken)->getText());
    delete taken;
    delete back;

    // An id nobody can decode stays encoded, and using it fails cleanly.
    Bytes unknown = Bytes().object(OBJ_ANY_ID).field(1).int32(4711).field(2).object(4711).field(1).int32(1).end().end();
    Message in(unknown.c_str(), unknown.size());
    ASSERT_EQ(0, in.readObject(OBJ_ANY_ID, &obj));
    Any* opaque = static_cast<Any*>(obj);
    EXPECT_TRUE(opaque->isEncoded());
    EXPECT_EQ(nullptr, opaque->toString(nullptr));
    EXPECT_TRUE(opaque->isEncoded());
    delete opaque;

    // The hint field may be missing; a null payload object is a null payload.
    Bytes noHint = Bytes().object(OBJ_ANY_ID).field(1).int32(4711).field(2).u8(8).end();
    Message in2(noHint.c_str(), noHint.size());
    ASSERT_EQ(0, in2.readObject(OBJ_ANY_ID, &obj));
    EXPECT_EQ(0, in2.getError()) << "the missing hint was recovered from";
    EXPECT_EQ(HINT_NONE, static_cast<Any*>(obj)->getHint());
    EXPECT_FALSE(static_cast<Any*>(obj)->isEncoded());
    EXPECT_EQ(nullptr, static_cast<Any*>(obj)->value.object);
    delete obj;

    // Kinds and hints out of range are refused, not asserted.
    for (int32_t kind : {0, 8, 0xFFFF, -1}) {
        Bytes bad = Bytes().object(OBJ_ANY_ID).field(1).int32(kind).end();
        Message m(bad.c_str(), bad.size());
        EXPECT_NE(0, m.readObject(OBJ_ANY_ID, &obj)) << kind;
        EXPECT_EQ(nullptr, obj);
    }
    Bytes badHint = Bytes().object(OBJ_ANY_ID).field(1).int32(1).field(3).int32(0x10000).end();
    Message m(badHint.c_str(), badHint.size());
    EXPECT_NE(0, m.readObject(OBJ_ANY_ID, &obj));
    // Values encoded inside encoded values, 1000 deep: the text form gives up
    // at the nesting limit instead of recursing through all of them.
    Bytes chain;
    for (int i = 0; i < 1000; i++) chain.object(OBJ_ANY_ID).field(1).int32(OBJ_ANY_ID).field(2);
    chain.object(OBJ_ANY_ID).field(1).int32(1).end();
    for (int i = 0; i < 1000; i++) chain.end();
    Message deep(chain.c_str(), chain.size());
    ASSERT_EQ(0, deep.readObject(OBJ_ANY_ID, &obj));
    EXPECT_EQ(nullptr, obj->toString(nullptr));
    delete obj;

    // An array count larger than its elements is refused before allocating.
    Bytes lying = Bytes().object(OBJ_ANYARRAY_ID).field(1).int32(0x7FFFFFFF).end();
    Message m2(lying.c_str(), lying.size());
    EXPECT_NE(0, m2.readObject(OBJ_ANYARRAY_ID, &obj));
}

}  // namespace
