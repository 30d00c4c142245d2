// The built-in classes beyond what the conformance cases show: the pattern
// operations the host calls directly (match, zephan_match, bounded
// searches), bounds on text forms, and an Error object's members as a
// script reads them.
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <string>

#include <gtest/gtest.h>

#include "common/error_codes.h"
#include "dirbase/attributes.h"
#include "script/any_prototype.h"
#include "script/array_prototype.h"
#include "script/builtin_args.h"
#include "script/builtins.h"
#include "script/json.h"
#include "script/string_prototype.h"
#include "script/lex_pattern.h"
#include "script/location.h"
#include "script/operators.h"
#include "script/pattern_prototype.h"
#include "script/date.h"
#include "tests/script/script_run.h"

namespace {

using script_test::run;

class Builtins : public ::testing::Test {
protected:
    void SetUp() override { script_registerBuiltins(); }
};

// The first line of a failed run's report: class, code and message.
std::string failure(const std::string& source) {
    std::string out = run("t.js", source, false);
    return out.substr(0, out.find('\n'));
}

// An array holding count references to part.
Any* sharing(Translatable* part, int count) {
    AnyArray* list = new AnyArray();
    for (int i = 0; i < count; i++) {
        Any* ref = new Any();
        ref->setReference(part);
        list->append(ref);
    }
    Any* value = new Any();
    value->setReference(list);
    return value;
}

TEST_F(Builtins, TextFormsOfSharedLongPartsAreBoundedByTheirLength) {
    // A few references to one part holding a long text print that text
    // each time: 20 times 1 MiB is more than a string may hold, refused
    // before it is built; 8 times is fine.
    const std::string mib(1 << 20, 'a');
    AnyArray* withText = new AnyArray();
    withText->append(new Any(mib.c_str()));
    Attributes* withKey = new Attributes();
    withKey->setAttribute(mib.c_str(), 1);
    ZephanPattern* withSource = new ZephanPattern(("(" + mib).c_str(), 0);
    for (Translatable* part : {static_cast<Translatable*>(withText), static_cast<Translatable*>(withKey),
                               static_cast<Translatable*>(withSource)}) {
        Any* many = sharing(part, 20);
        Any* few = sharing(part, 8);
        EXPECT_FALSE(textIsBounded(many->getReferenced())) << part->getObjectID();
        char* text = nullptr;
        EXPECT_EQ(DirError::E_NO_RESOURCE, plainTextOf(nullptr, *many, &text)) << part->getObjectID();
        EXPECT_EQ(nullptr, text);
        EXPECT_TRUE(textIsBounded(few->getReferenced())) << part->getObjectID();
        ASSERT_EQ(0, plainTextOf(nullptr, *few, &text)) << part->getObjectID();
        EXPECT_GT(strlen(text), 8u << 20);
        free(text);
        delete many;
        delete few;
    }
    // A value that contains itself stays what it was: no text, 49.
    AnyArray* self = new AnyArray();
    Any cyclic;
    cyclic.setReference(self);
    self->append(new Any(cyclic));
    char* text = nullptr;
    EXPECT_EQ(DirError::E_NOT_CONVERTIBLE, plainTextOf(nullptr, cyclic, &text));
    self->clear();
    // Scripts see the same: the case err_text_too_long.
}

TEST_F(Builtins, StringifyWritesWhatTheTextFormsWrite) {
    // Escapes, every byte class and malformed UTF-8 (an ASCII byte with a
    // stray continuation byte after it decodes as one character).
    const char* texts[] = {"plain", "q\"b\\s/", "\t\n\r\b\f\a\v\x01\x7f", "h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                           "t\x9are", "\xc3", "\xff\xfe", ("a\xc3\xa9\x80" "b")};
    AnyArray* list = new AnyArray();
    Any value;
    value.setReference(list);
    for (const char* t : texts) list->append(new Any(t));
    list->append(new Any(2.5));
    list->append(Any::makeUndefined());
    list->append(nullptr);
    char* generic = value.toJSON(nullptr);
    char* text = nullptr;
    ASSERT_EQ(0, script_jsonText(nullptr, &value, &text));
    EXPECT_STREQ(generic, text);
    free(generic);
    free(text);
}

TEST_F(Builtins, APatternLongerThanTheBoundIsRefusedWithoutCompiling) {
    // Compiling costs the square of the source's length, so a script's
    // long string would take hours: sources past the bound never reach the
    // compiler and make a pattern that finds nothing.
    const std::string longest(RegexPattern::kMaxSource, 'a'), tooLong = longest + "a";
    ZephanPattern fits(longest.c_str(), ZephanPattern::GLOBAL);
    EXPECT_FALSE(fits.failed());
    EXPECT_TRUE(fits.matches(longest.c_str()));
    ZephanPattern refused(tooLong.c_str(), ZephanPattern::GLOBAL);
    EXPECT_TRUE(refused.failed());
    EXPECT_STRNE("", refused.errorText());
    EXPECT_EQ(tooLong, refused.source());
    char* text = refused.toString(nullptr);
    EXPECT_EQ("/" + tooLong + "/g", text);
    free(text);
    EXPECT_FALSE(refused.matches(tooLong.c_str()));
    EXPECT_EQ(-1, refused.search(tooLong.c_str()));
    ASSERT_EQ(0, refused.replace(tooLong.c_str(), "x", &text));
    EXPECT_EQ(tooLong, text);
    free(text);
    AnyArray* pieces = nullptr;
    ASSERT_EQ(0, refused.split(tooLong.c_str(), &pieces));
    ASSERT_EQ(1, pieces->size());
    EXPECT_EQ(tooLong, pieces->get(0)->getString());
    delete pieces;
    Any* found = nullptr;
    ASSERT_EQ(0, refused.match(tooLong.c_str(), &found));
    EXPECT_EQ(ANY_NULL, found->getType());
    delete found;
    EXPECT_FALSE(zephan_match(tooLong.c_str(), tooLong.c_str()));

    // In scripts: a constructed pattern finds nothing, a literal is a
    // lexical error.
    const std::string build = "var s = 'a'; for (var k = 0; k < 13; k++) { s = s + s; }\n";
    EXPECT_EQ("true 0\n", run("t.js", build + "var p = new ZephanPattern(s); print(p.test(s), s.search(p));\n", false));
    EXPECT_EQ("false -1\n",
              run("t.js", build + "s = s + 'a'; var p = new ZephanPattern(s); print(p.test(s), s.search(p));\n", false));
    EXPECT_EQ("SyntaxError 105: Primary expression expected",
              failure("var r = /" + tooLong + "/;\n"));
    EXPECT_EQ("true\n", run("t.js", "print(/" + longest + "/.test('" + longest + "'));\n", false));
}

TEST_F(Builtins, PatternOperationsForTheHost) {
    ZephanPattern* dates = new ZephanPattern("(?<y>\\d{4})-(\\d\\d)(x)?", ZephanPattern::GLOBAL);
    ObjRef hold(dates);
    Any* found = nullptr;
    ASSERT_EQ(0, dates->match("on 2024-02 and 1999-12.", &found));
    char* text = found->toString(nullptr);
    EXPECT_STREQ("[ \"2024-02\", \"2024\", \"02\", undefined, \"1999-12\", \"1999\", \"12\", undefined ]", text);
    free(text);
    delete found;

    ZephanPattern first("(\\d)", 0);
    ASSERT_EQ(0, first.match("a1b2", &found));
    text = found->toString(nullptr);
    EXPECT_STREQ("[ \"1\", \"1\" ]", text);
    free(text);
    delete found;
    ASSERT_EQ(0, first.match("none", &found));
    EXPECT_EQ(ANY_NULL, found->getType());
    delete found;

    // Whole-text matches unless any-match is asked for.
    ZephanPattern digit("\\d", 0), anywhere("\\d", ZephanPattern::ANY_MATCH);
    EXPECT_FALSE(digit.matches("a1"));
    EXPECT_TRUE(digit.matches("1"));
    EXPECT_TRUE(anywhere.matches("a1"));
    EXPECT_FALSE(anywhere.matches("ab"));

    EXPECT_TRUE(zephan_match("eth[0-9]+", "eth12"));
    EXPECT_FALSE(zephan_match("eth[0-9]+", "eth12x"));
    EXPECT_FALSE(zephan_match("eth[", "eth["));
    EXPECT_TRUE(zephan_match("", ""));

    // A bounded search gives up: no match, and the operations that build
    // results say so.
    std::string runaway(5000, 'a');
    runaway += '!';
    ZephanPattern bad("(a|aa)+$", ZephanPattern::GLOBAL);
    EXPECT_FALSE(bad.matches(runaway.c_str()));
    EXPECT_EQ(-1, bad.search(runaway.c_str()));
    char* replaced = nullptr;
    EXPECT_EQ(DirError::E_NO_RESOURCE, bad.replace(runaway.c_str(), "x", kMaxStringBytes, &replaced));
    EXPECT_EQ(nullptr, replaced);
    AnyArray* pieces = nullptr;
    EXPECT_EQ(DirError::E_NO_RESOURCE, bad.split(runaway.c_str(), &pieces));
    EXPECT_EQ(nullptr, pieces);
    EXPECT_EQ(DirError::E_NO_RESOURCE, bad.match(runaway.c_str(), &found));
    EXPECT_EQ(nullptr, found);

    // A result may reach the given length but not pass it.
    ZephanPattern xs("x", ZephanPattern::GLOBAL);
    ASSERT_EQ(0, xs.replace("axxb", "yyy", 8, &replaced));
    EXPECT_STREQ("ayyyyyyb", replaced);
    free(replaced);
    replaced = nullptr;
    EXPECT_EQ(DirError::E_NO_RESOURCE, xs.replace("axxb", "yyy", 7, &replaced));
    EXPECT_EQ(nullptr, replaced);
}

// A host calling a prototype directly may pass no method name: every
// built-in class answers "No such function" for it, with no result.
TEST_F(Builtins, ACallWithoutAMethodNameIsNoSuchFunction) {
    Any text("abc");
    AnyArray* array = new AnyArray();
    ObjRef holdArray(array);
    ZephanPattern* pattern = new ZephanPattern("a", 0);
    ObjRef holdPattern(pattern);
    Date* date = new Date(0LL);
    ObjRef holdDate(date);
    Any one(1);
    Any* args[] = {&one, nullptr};

    AnyPrototype strings;
    AnyArrayPrototype arrays;
    AnyStringPrototype stringClass;
    JSONPrototype json;
    ZephanPatternPrototype patterns;
    DatePrototype dates;
    struct Call {
        const char* what;
        Translatable* prototype;
        Translatable* self;
    };
    const Call calls[] = {
        {"string", &strings, &text},      {"array", &arrays, array},       {"String", &stringClass, &stringClass},
        {"JSON", &json, &json},           {"pattern", &patterns, pattern}, {"date", &dates, date},
    };
    for (const Call& c : calls) {
        Any* result = reinterpret_cast<Any*>(1);
        EXPECT_EQ(DirError::E_NO_SUCH_FUNCTION, c.prototype->callMemberFn(nullptr, &result, c.self, nullptr, args))
            << c.what;
        EXPECT_EQ(nullptr, result) << c.what;
    }
}

// A text may end in a multi-byte character cut short (bytes from a file,
// String.fromCharCode), or have a lead byte near its end followed by too
// few bytes of any kind: the regex library takes the character's length
// from its lead byte and reports a match that ends past the text. Every
// operation keeps its pieces inside the text.
TEST_F(Builtins, AMatchOfACutCharacterStaysInsideTheText) {
    for (const char* tail : {"\xC3", "\xE2\x82", "\xF4\x90\x80", "\xF0" "a"}) {
        SCOPED_TRACE(tail);
        // Exactly the text's bytes, so that a read past them is caught.
        std::string cut = std::string("b") + tail;
        char* text = static_cast<char*>(malloc(cut.size() + 1));
        memcpy(text, cut.c_str(), cut.size() + 1);

        ZephanPattern other("[^a]", ZephanPattern::GLOBAL);
        char* replaced = nullptr;
        ASSERT_EQ(0, other.replace(text, "y", kMaxStringBytes, &replaced));
        EXPECT_STREQ("yy", replaced);
        free(replaced);

        ZephanPattern once("[^ab]+", 0);
        ASSERT_EQ(0, once.replace(text, "y", kMaxStringBytes, &replaced));
        EXPECT_STREQ("by", replaced);
        free(replaced);

        AnyArray* pieces = nullptr;
        ASSERT_EQ(0, once.split(text, &pieces));
        ASSERT_EQ(2, pieces->size());
        EXPECT_STREQ("b", pieces->get(0)->getString());
        EXPECT_STREQ("", pieces->get(1)->getString());
        delete pieces;

        Any* found = nullptr;
        ASSERT_EQ(0, ZephanPattern("([^ab]+)", ZephanPattern::GLOBAL).match(text, &found));
        AnyArray* groups = nullptr;
        ASSERT_TRUE(found->convertToArray(&groups));
        ASSERT_EQ(2, groups->size());
        EXPECT_EQ(std::string(tail), groups->get(0)->getString());
        EXPECT_EQ(std::string(tail), groups->get(1)->getString());
        delete found;

        EXPECT_TRUE(ZephanPattern("b[^a]", 0).matches(text));
        EXPECT_EQ(1, once.search(text));
        free(text);
    }
}

TEST_F(Builtins, AGlobalSearchHasOneBudgetForAllItsMatches) {
    // Each search of (a+)+b|c backtracks through a run of 22 a's, within
    // the bound of one search, before it finds the c; 500 such runs take
    // far longer than one operation may.
    std::string runs;
    for (int i = 0; i < 500; i++) runs += std::string(22, 'a') + "c";
    ZephanPattern heavy("(a+)+b|c", ZephanPattern::GLOBAL);
    Any* found = nullptr;
    EXPECT_EQ(DirError::E_NO_RESOURCE, heavy.match(runs.c_str(), &found));
    EXPECT_EQ(nullptr, found);
    // Many cheap matches are no problem.
    std::string many(50000, 'x');
    char* replaced = nullptr;
    ASSERT_EQ(0, ZephanPattern("x", ZephanPattern::GLOBAL).replace(many.c_str(), "yy", kMaxStringBytes, &replaced));
    EXPECT_EQ(100000u, strlen(replaced));
    free(replaced);
}

// lastIndexOf of a long search text takes time in proportion to the
// text, not to the text's length times the search's: half a megabyte of
// a's and a b, looked for in a megabyte of a's, compared at every
// position from the end took seconds (and a quarter of an hour at the
// longest strings).
TEST_F(Builtins, LastIndexOfALongSearchTakesLinearTime) {
    rusage before;
    getrusage(RUSAGE_THREAD, &before);
    std::string out = run("t.js",
                          "var a = 'a'; for (var i = 0; i < 19; i++) { a = a + a; }\n"
                          "var s = a + a; var t = a + 'b'; var u = s + 'b' + a;\n"
                          "print(s.lastIndexOf(t), u.lastIndexOf(t), u.lastIndexOf(t, 524288));\n"
                          "print(u.lastIndexOf(t, 524287), u.lastIndexOf(t, -5), u.lastIndexOf(a));\n"
                          "print(u.lastIndexOf(a, 1000), u.lastIndexOf(u), u.lastIndexOf(u + 'a'));\n",
                          false);
    rusage after;
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_EQ("-1 524288 524288\n-1 -1 1048577\n1000 0 -1\n", out);
    double seconds = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                     static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6;
    EXPECT_LT(seconds, 3.0);
}

TEST_F(Builtins, ReplaceRefusesAnOverlongResultBeforeBuildingIt) {
    // 1000 matches, each replaced by 512 KiB: half a gigabyte if built
    // whole, while the refusal comes once 16 MiB are passed.
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ("EvalError 39: System resource not available",
              failure("var r = 'y'; for (var i = 0; i < 19; i++) { r = r + r; }\n"
                      "var t = ''; for (var i = 0; i < 1000; i++) { t = t + 'x'; }\n"
                      "t.replace(/x/g, r);\n"));
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    // The peak resident size (kilobytes) grew by far less than the result
    // would have taken.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 128L * 1024);
}

TEST_F(Builtins, ErrorMembersAsAScriptReadsThem) {
    std::string out;
    VarSet* scope = script_test::printingScope(&out);
    ObjRef root(scope);
    Location** traceback = new Location*[3];
    traceback[0] = new Location("a.js", "f", 3, 5);
    traceback[1] = new Location("a.js", nullptr, 7, 1);
    traceback[2] = nullptr;
    Any* err = new Any();
    // An error whose own message is not its code's text: "message" answers
    // the code's shared text, the text form (and "stack") the own message.
    err->setReference(new Error(Error::TypeError, DirError::E_ILLEGAL_MATH_OPERAND, "left operand is a string",
                                traceback));
    scope->define("err", err);
    const char* source =
        "print(err.name, err.message, err.fileName, err.lineNumber, err.columnNumber);\n"
        "print(err.stack);\n"
        "print(err.toString() == err.stack, typeof err, err.missing);\n"
        "err.test('x');\n";
    {
        Parser parser("e.js", source, &root, 1, 0, false);
        ASSERT_TRUE(parser.parseScript());
        EXPECT_FALSE(parser.executeScript(nullptr, &root));
        ASSERT_NE(nullptr, parser.getError());
        // The pattern class shares the error's object id; its methods do not
        // apply to an error.
        EXPECT_EQ(DirError::E_NO_SUCH_FUNCTION, parser.getError()->code);
    }
    scope->clear();
    EXPECT_EQ(
        "TypeError Operand illegal for math operation a.js 3 5\n"
        "TypeError: left operand is a string\n"
        "    at: f (a.js:3:5)\n"
        "    at: a.js:7:1\n"
        "true object undefined\n",
        out);
}

// Fills the stack below the caller with a pattern, so that a variable a
// later call forgets to set holds that pattern rather than a leftover that
// might happen to be right.
__attribute__((noinline)) void dirtyStack() {
    volatile unsigned char junk[64 * 1024];
    for (size_t i = 0; i < sizeof junk; i++) junk[i] = 0xA5;
}

TEST_F(Builtins, AValueEveryConversionAcceptsLeavesTheDefault) {
    // Hint 1002: every typed conversion succeeds and writes nothing, so an
    // optional argument holding it keeps the method's default.
    Any any;
    any.setHint(HINT_ANY);
    Any* args[] = {&any, nullptr};
    long long wide = 42;
    int narrow = 7;
    dirtyStack();
    EXPECT_EQ(0, script_builtin::argInt64(args, 0, false, &wide));
    dirtyStack();
    EXPECT_EQ(0, script_builtin::argInt32(args, 0, false, &narrow));
    EXPECT_EQ(42, wide);
    EXPECT_EQ(7, narrow);

    // slice(1, <that value>) ends at the array's length, its default.
    AnyArray* list = new AnyArray();
    Any self;
    self.setReference(list);
    for (int i = 0; i < 4; i++) list->append(new Any(i));
    Any one(1);
    Any* sliceArgs[] = {&one, &any, nullptr};
    AnyArrayPrototype arrays;
    Any* result = nullptr;
    dirtyStack();
    ASSERT_EQ(0, arrays.callMemberFn(nullptr, &result, list, "slice", sliceArgs));
    ASSERT_NE(nullptr, result);
    char* text = result->toString(nullptr);
    EXPECT_STREQ("[ 1, 2, 3 ]", text);
    free(text);
    delete result;

    // 'abcabc'.indexOf('b', <that value>) searches from 0, its default.
    Any abc("abcabc");
    Any b("b");
    Any* indexArgs[] = {&b, &any, nullptr};
    AnyPrototype strings;
    result = nullptr;
    dirtyStack();
    ASSERT_EQ(0, strings.callMemberFn(nullptr, &result, &abc, "indexOf", indexArgs));
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(1, result->getInt32());
    delete result;

    // fromCharCode(72, <that value>, 105): no byte for it.
    Any h(72), i(105);
    Any* codes[] = {&h, &any, &i, nullptr};
    AnyStringPrototype stringClass;
    result = nullptr;
    dirtyStack();
    ASSERT_EQ(0, stringClass.callMemberFn(nullptr, &result, &stringClass, "fromCharCode", codes));
    ASSERT_NE(nullptr, result);
    EXPECT_STREQ("Hi", result->getString());
    delete result;
}

}  // namespace
