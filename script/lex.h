// Lex: the hand-written lexer of the scripting language. It turns source
// text into Tokens one at a time for the parser. It is thin on purpose:
// every punctuation character is a token of its own and the parser builds
// the longer operators; the lexer knows numbers with C-style suffixes,
// quoted strings with escapes, regular-expression literals (compiled at once
// into a pattern object), keywords, reserved words, and a template mode in
// which text outside "<?" ... "?>" is collected and handed to the parser on
// the token that follows it.
//
// Two source forms: a private copy of a whole string, or a fixed window of
// kWindow bytes over a LexStream, so that a source of any length is lexed in
// constant memory.
//
// Ownership: the lexer owns its buffers; it does not own the stream.
// Thread-safety: none; a lexer belongs to one parser and one thread at a time.
#ifndef DRV_SCRIPT_LEX_H
#define DRV_SCRIPT_LEX_H

#include <stddef.h>

#include "dirbase/string_builder.h"
#include "script/token.h"

// The byte stream a lexer can read from. read blocks until it has bytes,
// and answers how many it wrote (at most length), -1 at the end of the data
// with nothing read, or -2 (any value below -1) on a read error or time-out.
// The runtime's file input implements it through an adapter.
class LexStream {
public:
    virtual ~LexStream();
    virtual int read(unsigned char* buffer, int length) = 0;
};

class Lex {
public:
    // Size of the window over a stream, and how few unread bytes make the
    // lexer refill it.
    static const int kWindow = 8192;
    static const int kRefillBelow = 80;

    // Lexes a copy of source (null counts as empty). Line and column are the
    // position of its first character; the parser's callers pass 1 and 0.
    // templateMode starts in text instead of code.
    Lex(const char* source, int line, int column, bool templateMode);
    // Lexes a stream through the window; the stream must outlive the lexer.
    Lex(LexStream* in, int line, int column, bool templateMode);
    ~Lex();
    Lex(const Lex&) = delete;
    Lex& operator=(const Lex&) = delete;

    // Fills t with the next token (t's regexAllowed is read, not written).
    // When the lexer is template capable and text was collected since the
    // previous token, t receives that text (empty when there was none) and
    // the outputExpression flag; otherwise t's text is null.
    void nextToken(Token* t);

    // Every decimal integer literal without fraction or exponent becomes a
    // LONG_INTEGER, as if it had the L suffix (the JSON reader wants this).
    void setLongIntegers(bool on) { _longIntegers = on; }

    // 0-15 for a hex digit, -1 for anything else.
    static int toHexValue(int c);
    // Whole-string conversions used by the arithmetic on string operands.
    // Int64: optional sign and decimal digits, nothing else (wraps on
    // overflow). Double: digits, optional '.' and digits, optional e/E with
    // optional '-' and digits; "" is 0.0. False on any other character.
    static bool convertToInt64(const char* text, long long& out);
    static bool convertToDouble(const char* text, double& out);

    // Suffix flags answered by the lookahead functions.
    enum Suffix { SUFFIX_U = 1, SUFFIX_L = 2, SUFFIX_FRACTION = 4, SUFFIX_F = 8 };

private:
    void init(int line, int column, bool templateMode);
    void _nextToken(Token* t);
    // The byte at the cursor plus k, or -1 past the end of the input.
    int peek(size_t k);
    int cur() { return _pos < _end ? _buf[_pos] : peek(0); }
    // Consumes one byte, keeping line and column. Inline for a held byte of
    // a whole-string source, the common case.
    void advance() {
        if (_pos < _end && _in == nullptr) {
            if (_buf[_pos++] == '\n') {
                ++_line;
                _column = 1;
            } else {
                ++_column;
            }
            return;
        }
        advanceSlow();
    }
    void advanceSlow();
    // Consumes n held bytes that contain no line end.
    void skipHeld(size_t n) {
        _pos += n;
        _column += static_cast<int>(n);
        if (_in != nullptr) testMore();
    }
    // Streaming: refills the window when fewer than kRefillBelow unread
    // bytes remain and the stream has more.
    void testMore();
    // Moves the unread (or marked) bytes to the front and reads once more;
    // false when no room could be made or the stream has ended.
    bool fill();
    // Template text up to "<?" or the end of the input.
    void collectText();

    // Scan the number at the cursor without consuming it.
    int lookaheadHex();
    int lookaheadOctal();
    int lookaheadDecimal();

    void lexString(Token* t, int quote);
    void lexNumber(Token* t);
    // False when the attempt is abandoned (the cursor is back at the '/').
    bool lexRegex(Token* t);
    void lexWord(Token* t);
    void skipSuffixes();
    void setError(Token* t, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The reusable token-text buffer.
    void textReset() { _tokLen = 0; }
    void textAdd(int c);
    void textAdd(const unsigned char* bytes, size_t n);
    const char* textGet();
    // Makes t a string token holding a copy of n bytes.
    static void setString(Token* t, const unsigned char* bytes, size_t n);
    // A decimal integer or a fraction without exponent or suffix, read
    // straight from the bytes of a whole-string source; false (nothing
    // consumed) sends every other number to the general scan.
    bool lexPlainNumber(Token* t);

    unsigned char* _buf;
    size_t _pos;   // read cursor
    size_t _end;   // bytes held
    size_t _mark;  // streaming: bytes from here on are kept by a refill (SIZE_MAX: none)
    LexStream* _in;
    bool _eof;
    bool _readError;
    int _line;
    int _column;

    char* _tok;
    size_t _tokLen;
    size_t _tokCap;

    bool _templateCapable;
    bool _inText;
    bool _textCollected;
    bool _outputExpression;
    StringBuilder _text;

    bool _longIntegers;
};

#endif
