// The lexer: token positions in both source forms, the stream window
// boundary falling inside tokens, template text delivery, and the literal
// kinds and lexical errors that a script cannot tell apart on its own.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "script/lex.h"
#include "script/lex_pattern.h"
#include "tests/script/string_stream.h"

namespace {

// "TYPE value @line:column", one per token up to and including END.
std::string describe(const Token& t) {
    std::string out = tokenTypeName(t.type);
    if (t.type == TOKEN_PUNCT) {
        out += ' ';
        out += static_cast<char>(t.value.getInt32());
    } else if (t.type != TOKEN_END && t.value.getType() != ANY_NULL) {
        char* text = const_cast<Any&>(t.value).toString(nullptr);
        out += ' ';
        out += text != nullptr ? text : "?";
        free(text);
    }
    return out + " @" + std::to_string(t.line) + ":" + std::to_string(t.column);
}

// Lexes everything; a '/' may start a regular expression after punctuation
// other than ')', as the parser arranges.
std::vector<std::string> lexAll(Lex& lex) {
    std::vector<std::string> out;
    Token t;
    bool regexAllowed = false;
    for (int guard = 0; guard < 100000; ++guard) {
        t.regexAllowed = regexAllowed;
        lex.nextToken(&t);
        out.push_back(describe(t));
        if (t.type == TOKEN_END) break;
        regexAllowed = t.type == TOKEN_PUNCT && !t.isPunct(')');
    }
    return out;
}

std::vector<std::string> lexString(const std::string& source) {
    Lex lex(source.c_str(), 1, 0, false);
    return lexAll(lex);
}

std::vector<std::string> lexStream(const std::string& source, int chunk) {
    StringStream in(source, chunk);
    Lex lex(&in, 1, 0, false);
    return lexAll(lex);
}

TEST(Lex, PositionsAreTheSameFromAStringAndFromAStream) {
    // The first line starts at the constructor's column 0; after a newline
    // the first column is 1. Comments and white space only move the cursor.
    const std::string source =
        "var x=1;\n"
        "  /* two\n  lines */ y = 'a\\\nb' ;// note\n"
        "\tz>>=2.5e1F\n";
    std::vector<std::string> expected = {
        "KEYWORD_VAR @1:0", "IDENT \"x\" @1:4",   "PUNCT = @1:5",     "INTEGER 1 @1:6",  "PUNCT ; @1:7",
        "IDENT \"y\" @3:12", "PUNCT = @3:14",     "STRING \"ab\" @3:16", "PUNCT ; @4:4",
        "IDENT \"z\" @5:2",  "PUNCT > @5:3",      "PUNCT > @5:4",     "PUNCT = @5:5",    "FLOAT 25.0 @5:6",
        "END @6:1",
    };
    EXPECT_EQ(expected, lexString(source));
    for (int chunk : {1, 3, 4096}) EXPECT_EQ(expected, lexStream(source, chunk)) << "chunk " << chunk;
}

TEST(Lex, TokensAcrossTheWindowBoundaryLexAsFromAString) {
    // Each long token is placed so that it straddles the end of the first
    // 8192-byte window, and the point where a refill starts (80 bytes before
    // the end): a string, an identifier, a number whose suffix is looked
    // ahead of, a regular expression, one abandoned at a line end (its
    // cursor must return to the '/'), and a block comment.
    std::string longName(300, 'n');
    std::string longString = "'" + std::string(500, 's') + "\\x41'";
    std::vector<std::string> tokens = {longString,
                                       longName,
                                       std::string(60, '7') + "L",
                                       "= /" + std::string(200, 'r') + "/gi",
                                       "] / " + std::string(150, 'q') + "\n",
                                       "/*" + std::string(400, 'c') + "*/ k"};
    for (const std::string& token : tokens) {
        for (int before : {8192 - 100, 8192 - 81, 8192 - 40, 8192 - 1, 8192}) {
            std::string source = "a\n" + std::string(static_cast<size_t>(before) - 2, ' ') + token + " ;";
            std::vector<std::string> fromString = lexString(source);
            ASSERT_GE(fromString.size(), 3u);
            EXPECT_EQ(fromString, lexStream(source, Lex::kWindow)) << "token at " << before;
            EXPECT_EQ(fromString, lexStream(source, 1000)) << "token at " << before;
        }
    }
    // What the string form says about them, so the comparison above is
    // checked against the rules and not only against itself.
    EXPECT_EQ("STRING \"" + std::string(500, 's') + "A\" @2:3", lexString(longString.insert(0, "\n  "))[0]);
    EXPECT_EQ("LONG_INTEGER " + std::to_string(7777777777777777777LL) + " @1:0", lexString("7777777777777777777L")[0]);
    std::vector<std::string> abandoned = lexString("] / q\n/");
    EXPECT_EQ("PUNCT / @1:2", abandoned[1]);
    EXPECT_EQ("IDENT \"q\" @1:4", abandoned[2]);
    std::vector<std::string> regex = lexString("= /r+/gi");
    EXPECT_EQ("REGEX /r+/ig @1:2", regex[1]);
}

TEST(Lex, AStreamReadErrorEndsInAnErrorToken) {
    StringStream in("a = 1", 2, true);
    Lex lex(&in, 1, 0, false);
    std::vector<std::string> tokens;
    Token t;
    for (int i = 0; i < 5; ++i) {
        lex.nextToken(&t);
        tokens.push_back(describe(t));
    }
    EXPECT_EQ("INTEGER 1 @1:4", tokens[2]);
    EXPECT_EQ("ERROR", tokens[3].substr(0, 5));  // never a quiet END
}

struct Delivered {
    std::string token;
    bool hasText;
    std::string text;
    bool outputExpression;
};

std::vector<Delivered> lexTemplate(Lex& lex) {
    std::vector<Delivered> out;
    Token t;
    for (int guard = 0; guard < 1000; ++guard) {
        lex.nextToken(&t);
        out.push_back({describe(t), t.text != nullptr, t.text != nullptr ? std::string(t.text, t.textLength) : "",
                       t.outputExpression});
        if (t.type == TOKEN_END) break;
    }
    return out;
}

TEST(Lex, TemplateTextArrivesOnTheTokenAfterIt) {
    Lex lex("Hello <?JS x = 1; ?>World", 1, 0, true);
    std::vector<Delivered> got = lexTemplate(lex);
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ("IDENT \"x\" @1:11", got[0].token);
    EXPECT_TRUE(got[0].hasText);
    EXPECT_EQ("Hello ", got[0].text);
    EXPECT_FALSE(got[0].outputExpression);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(got[i].hasText) << got[i].token;
    EXPECT_EQ("END @1:25", got[4].token);
    EXPECT_EQ("World", got[4].text);

    // A bare "<?" opens an expression section; "?><?JS" delivers an empty text.
    Lex expr("<? a ?><?JS b ?>", 1, 0, true);
    got = lexTemplate(expr);
    ASSERT_EQ(3u, got.size());
    EXPECT_TRUE(got[0].hasText);
    EXPECT_EQ("", got[0].text);
    EXPECT_TRUE(got[0].outputExpression);
    EXPECT_TRUE(got[1].hasText);
    EXPECT_EQ("", got[1].text);
    EXPECT_FALSE(got[1].outputExpression);
    EXPECT_EQ("END @1:16", got[2].token);
    EXPECT_FALSE(got[2].outputExpression);  // a text that ran to the end closed no section

    // Without template mode "<?" and "?>" are punctuation and no text exists.
    Lex code("a ?> b", 1, 0, false);
    got = lexTemplate(code);
    for (const Delivered& d : got) EXPECT_FALSE(d.hasText);
    EXPECT_EQ("PUNCT ? @1:2", got[1].token);

    // Text longer than the window, with NUL bytes, arrives whole from a stream.
    std::string text(20000, 't');
    text[100] = 0;
    text[9000] = '\n';
    StringStream in(text + "<?JS y ?>" + text, 777);
    Lex streamed(&in, 1, 0, true);
    got = lexTemplate(streamed);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(text, got[0].text);
    EXPECT_EQ("IDENT \"y\" @2:11005", got[0].token);
    EXPECT_EQ(text, got[1].text);
}

TEST(Lex, LiteralKindsAndLexicalErrors) {
    struct Case {
        const char* source;
        const char* first;
    } cases[] = {
        {"10L", "LONG_INTEGER 10 @1:0"},
        {"2147483648", "INTEGER -2147483648 @1:0"},
        {"2147483648L", "LONG_INTEGER 2147483648 @1:0"},
        {"0x7fffFFFFL", "LONG_INTEGER 2147483647 @1:0"},
        {"012", "INTEGER 10 @1:0"},
        {"09", "INTEGER 9 @1:0"},
        {"2F", "INTEGER 2 @1:0"},
        {"1.5F", "FLOAT 1.5 @1:0"},
        {".5", "DOUBLE 0.5 @1:0"},
        {"0.3", "DOUBLE 0.3 @1:0"},
        {"1.", "DOUBLE 1.0 @1:0"},
        {"1.e2", "DOUBLE 100.0 @1:0"},
        {"2.5e-1)", "DOUBLE 0.25 @1:0"},
        {"10U", "ERROR \"Unsigned values are not supported yet\" @1:0"},
        {"0x10U", "ERROR \"Unsigned values are not supported yet\" @1:0"},
        {"1.5L", "ERROR \"Floating point values cannot be marked long\" @1:0"},
        {"1e2U", "ERROR \"Floating point values cannot be unsigned\" @1:0"},
        {"'\\x41\\101\\'\"'", "STRING \"AA'\\\"\" @1:0"},
        {"'\\q' x", "ERROR \"Illegal character escape sequence\" @1:0"},
        {"'\\x4g'", "ERROR \"Expected \\\\x<HEXDIGIT><HEXDIGIT>\" @1:0"},
        {"'\\u12'", "ERROR \"Expected \\\\u<HEXDIGIT><HEXDIGIT><HEXDIGIT><HEXDIGIT>\" @1:0"},
        {"'ab\ncd'", "ERROR \"Newline not allowed in string\" @1:0"},
        {"'ab\\tcd\\'' x", "STRING \"ab\\tcd'\" @1:0"},
        {"x // last line", "IDENT \"x\" @1:0"},
        {"\n /* open", "ERROR \"End of file encountered in \\\"/*\\\" comment (Beginning at Line: 2, Position: 2)\" @2:2"},
        {"class", "ERROR \"Illegal use of reserved word, class\" @1:0"},
        {"\x01", "ERROR \"Illegal character 0x1 encountered\" @1:0"},
        {"\xc3", "ERROR \"Illegal character 0xffffffc3 encountered\" @1:0"},
        {"undefined", "LITERAL_UNDEFINED @1:0"},
        {"null", "LITERAL_NULL @1:0"},
        {"true", "BOOL true @1:0"},
        {"nullx", "IDENT \"nullx\" @1:0"},
        {"fals", "IDENT \"fals\" @1:0"},
        {"$_a1", "IDENT \"$_a1\" @1:0"},
        {"#", "PUNCT # @1:0"},
        {"@ /x/", "PUNCT @ @1:0"},
        {"= /x/y", "PUNCT = @1:0"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.first, lexString(c.source)[0]) << c.source;

    // Where the second token is the point.
    EXPECT_EQ("ERROR \"End of file encountered in \\\"//\\\" comment\" @1:2", lexString("x // last line")[1]);
    EXPECT_EQ("REGEX /x/ @1:2", lexString("@ /x/")[1]);
    EXPECT_EQ("ERROR \"'sticky' regular expressions are not supported\" @1:2", lexString("= /x/y")[1]);
    EXPECT_EQ(0u, lexString("( /a(/")[1].rfind("ERROR \"Bad or Illegal regular expression: ", 0));
    EXPECT_EQ("ERROR \"Unexpected end of file while recognizing regular expression\" @1:2", lexString("( /ab")[1]);
    // After an identifier a '/' divides; the first token is never a regex.
    EXPECT_EQ((std::vector<std::string>{"IDENT \"a\" @1:0", "PUNCT / @1:1", "IDENT \"b\" @1:2", "PUNCT / @1:3",
                                        "IDENT \"c\" @1:4", "END @1:5"}),
              lexString("a/b/c"));
    EXPECT_EQ("PUNCT / @1:0", lexString("/x/")[0]);
    // Only capital letters are suffixes: a small one is a name of its own.
    EXPECT_EQ((std::vector<std::string>{"INTEGER 10 @1:0", "IDENT \"l\" @1:2", "END @1:3"}), lexString("10l"));
    EXPECT_EQ((std::vector<std::string>{"INTEGER 10 @1:0", "IDENT \"u\" @1:2", "END @1:3"}), lexString("10u"));
    EXPECT_EQ((std::vector<std::string>{"DOUBLE 1.5 @1:0", "IDENT \"f\" @1:3", "END @1:4"}), lexString("1.5f"));
    EXPECT_EQ((std::vector<std::string>{"INTEGER 16 @1:0", "IDENT \"l\" @1:4", "END @1:5"}), lexString("0x10l"));
    // An exponent needs digits: "1e" is a number and a name.
    EXPECT_EQ((std::vector<std::string>{"INTEGER 1 @1:0", "IDENT \"e\" @1:1", "END @1:2"}), lexString("1e"));

    // \u gives one byte, not UTF-8.
    Token one;
    Lex unicode("'\\u00e9'", 1, 0, false);
    unicode.nextToken(&one);
    EXPECT_STREQ("\xe9", one.value.getString());

    Token nan;
    Lex lex("NaN", 1, 0, false);
    lex.nextToken(&nan);
    EXPECT_EQ(TOKEN_DOUBLE, nan.type);
    EXPECT_TRUE(isnan(nan.value.getDouble()));

    // The JSON reader's option: plain decimal integers become 64-bit.
    Lex longs("7 0x7 7.0", 1, 0, false);
    longs.setLongIntegers(true);
    Token t;
    longs.nextToken(&t);
    EXPECT_EQ(TOKEN_LONG_INTEGER, t.type);
    longs.nextToken(&t);
    EXPECT_EQ(TOKEN_INTEGER, t.type);
    longs.nextToken(&t);
    EXPECT_EQ(TOKEN_DOUBLE, t.type);
}

TEST(Lex, WholeStringConversionsForArithmetic) {
    long long i = 0;
    EXPECT_TRUE(Lex::convertToInt64("-42", i));
    EXPECT_EQ(-42, i);
    EXPECT_TRUE(Lex::convertToInt64("+9223372036854775807", i));
    EXPECT_EQ(9223372036854775807LL, i);
    for (const char* bad : {"", "-", "4 2", "42x", "4.2", " 1"}) EXPECT_FALSE(Lex::convertToInt64(bad, i)) << bad;
    double d = -1;
    EXPECT_TRUE(Lex::convertToDouble("", d));
    EXPECT_EQ(0.0, d);
    EXPECT_TRUE(Lex::convertToDouble("12.5e-1", d));
    EXPECT_EQ(1.25, d);
    EXPECT_TRUE(Lex::convertToDouble("3", d));
    EXPECT_EQ(3.0, d);
    for (const char* bad : {"1.5x", "-1", "1e+2", "a"}) EXPECT_FALSE(Lex::convertToDouble(bad, d)) << bad;
}

}  // namespace
