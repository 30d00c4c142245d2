// Token: one lexical unit of the scripting language, as the lexer (lex.h)
// hands it to the parser (parser.h). The token types are written once in
// DRV_TOKEN_TYPES; the keyword table, the debug names and the enum all come
// from it.
//
// Ownership: a token owns its value and its template text. The parser keeps
// three of them (its look-ahead) and moves them along with moveTo.
// Thread-safety: none; a token belongs to one parser.
#ifndef DRV_SCRIPT_TOKEN_H
#define DRV_SCRIPT_TOKEN_H

#include <stddef.h>

#include "dirbase/any.h"

class Location;
class Parser;

// XX(code, NAME, word): word is the source text of a keyword or literal
// word, null for the other types.
#define DRV_TOKEN_TYPES(XX)                          \
    XX(1, END, nullptr)                              \
    XX(2, IDENT, nullptr)                            \
    XX(3, STRING, nullptr)                           \
    XX(4, DOUBLE, nullptr)                           \
    XX(5, FLOAT, nullptr)                            \
    XX(6, INTEGER, nullptr)                          \
    XX(7, LONG_INTEGER, nullptr)                     \
    XX(8, BOOL, nullptr)                             \
    XX(9, PUNCT, nullptr)                            \
    XX(10, KEYWORD_BREAK, "break")                   \
    XX(11, KEYWORD_CASE, "case")                     \
    XX(12, KEYWORD_CATCH, "catch")                   \
    XX(13, KEYWORD_CONTINUE, "continue")             \
    XX(14, KEYWORD_DEBUGGER, "debugger")             \
    XX(15, KEYWORD_DEFAULT, "default")               \
    XX(16, KEYWORD_DELETE, "delete")                 \
    XX(17, KEYWORD_DO, "do")                         \
    XX(18, KEYWORD_ELSE, "else")                     \
    XX(19, KEYWORD_FINALLY, "finally")               \
    XX(20, KEYWORD_FOR, "for")                       \
    XX(21, KEYWORD_FUNCTION, "function")             \
    XX(22, KEYWORD_IF, "if")                         \
    XX(23, KEYWORD_IN, "in")                         \
    XX(24, KEYWORD_INSTANCEOF, "instanceof")         \
    XX(25, KEYWORD_NEW, "new")                       \
    XX(26, KEYWORD_RETURN, "return")                 \
    XX(27, KEYWORD_SWITCH, "switch")                 \
    XX(28, KEYWORD_THIS, "this")                     \
    XX(29, KEYWORD_THROW, "throw")                   \
    XX(30, KEYWORD_TRY, "try")                       \
    XX(31, KEYWORD_TYPEOF, "typeof")                 \
    XX(32, KEYWORD_VAR, "var")                       \
    XX(33, KEYWORD_LET, "let")                       \
    XX(34, KEYWORD_VOID, "void")                     \
    XX(35, KEYWORD_WHILE, "while")                   \
    XX(36, KEYWORD_WITH, "with")                     \
    XX(37, LITERAL_NULL, "null")                     \
    XX(38, LITERAL_UNDEFINED, "undefined")           \
    XX(39, REGEX, nullptr)                           \
    XX(40, ERROR, nullptr)

#define DRV_TOKEN_ENUMERATOR(code, name, word) TOKEN_##name = (code),
enum TokenType { DRV_TOKEN_TYPES(DRV_TOKEN_ENUMERATOR) };
#undef DRV_TOKEN_ENUMERATOR

const int TOKEN_FIRST_KEYWORD = TOKEN_KEYWORD_BREAK;
const int TOKEN_LAST_KEYWORD = TOKEN_KEYWORD_WITH;

// The debug name of a token type ("IDENT", "KEYWORD_IF"), or null for a
// number outside the table.
const char* tokenTypeName(int type);
// The keyword or literal word of a type ("if", "null"), or null.
const char* tokenWord(int type);

class Token {
public:
    Token();
    virtual ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    // Moves everything but regexAllowed from `from` into this token; from's
    // text becomes null and its value is left empty.
    void moveTo(Token* from);
    // Frees the text and clears the value (the slot can be refilled).
    void clear();
    // A new location: the parser's source name, this line, this column (a
    // column of 0 is reported as 1). The caller owns it.
    Location* getLocation(Parser* parser) const;
    // The debug form, through parser->printf at level 2.
    void print(Parser* parser) const;

    bool isPunct(int c) const { return type == TOKEN_PUNCT && value.getType() == ANY_INT32 && value.getInt32() == c; }

    int line;
    int column;
    Any value;
    int type;
    // Set by the parser before the token is read: a '/' here may begin a
    // regular-expression literal.
    bool regexAllowed;
    // Set by the lexer: white space (or a comment) came before the token.
    bool spaceBefore;
    // Template text collected before this token (malloc'd, may hold NULs:
    // textLength counts its bytes), or null.
    char* text;
    size_t textLength;
    // The text was closed by a bare "<?": the code that follows is one
    // expression whose value is output.
    bool outputExpression;
};

#endif
