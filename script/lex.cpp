#include "script/lex.h"

#include <locale.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dirbase/any.h"
#include "script/lex_pattern.h"

LexStream::~LexStream() {}

namespace {
const size_t kNoMark = SIZE_MAX;
// peek's answer when a marked scan has filled the whole window.
const int kWindowFull = -2;

bool isSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(int c) {
    return c >= '0' && c <= '9';
}
bool isOctal(int c) {
    return c >= '0' && c <= '7';
}
bool isAlpha(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// The C locale's punctuation: printable ASCII that is not a letter, digit
// or space. Spelled out so that the process locale cannot change it.
bool isPunct(int c) {
    return c > ' ' && c < 127 && !isAlpha(c) && !isDigit(c);
}
bool isWordStart(int c) {
    return isAlpha(c) || c == '_' || c == '$';
}
bool isWordChar(int c) {
    return isWordStart(c) || isDigit(c);
}
// Only the capitals: `10l` is the number 10 followed by the name `l`.
bool isSuffix(int c) {
    return c == 'F' || c == 'L' || c == 'U';
}

const char* const kReservedWords[] = {"class",      "const",     "enum",    "export",  "extends",
                                      "import",     "super",     "implements", "interface", "package",
                                      "private",    "protected", "public",  "static",  "yield"};

// Decimal text to double in the C locale whatever the process locale is,
// correctly rounded (digit-by-digit accumulation would make 0.3 read as
// 0.30000000000000004).
double cLocaleStrtod(const char* text) {
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c != static_cast<locale_t>(nullptr) ? strtod_l(text, nullptr, c) : strtod(text, nullptr);
}
}  // namespace

Lex::Lex(const char* source, int line, int column, bool templateMode) : _in(nullptr), _eof(true) {
    size_t n = source != nullptr ? strlen(source) : 0;
    _buf = static_cast<unsigned char*>(malloc(n + 1));
    if (n > 0) memcpy(_buf, source, n);
    _buf[n] = 0;
    _end = n;
    init(line, column, templateMode);
}

Lex::Lex(LexStream* in, int line, int column, bool templateMode) : _in(in), _eof(in == nullptr) {
    _buf = static_cast<unsigned char*>(malloc(kWindow + 1));
    _buf[0] = 0;
    _end = 0;
    init(line, column, templateMode);
    fill();
}

void Lex::init(int line, int column, bool templateMode) {
    _pos = 0;
    _mark = kNoMark;
    _readError = false;
    _line = line;
    _column = column;
    _tokCap = 128;
    _tok = static_cast<char*>(malloc(_tokCap));
    _tokLen = 0;
    _templateCapable = templateMode;
    _inText = templateMode;
    _textCollected = false;
    _outputExpression = false;
    _longIntegers = false;
}

Lex::~Lex() {
    free(_buf);
    free(_tok);
}

// ---------------------------------------------------------------------------
// The window

bool Lex::fill() {
    if (_in == nullptr || _eof) return false;
    size_t keep = _mark < _pos ? _mark : _pos;
    if (keep > 0) {
        memmove(_buf, _buf + keep, _end - keep);
        _end -= keep;
        _pos -= keep;
        if (_mark != kNoMark) _mark -= keep;
    }
    if (_end >= static_cast<size_t>(kWindow)) return keep > 0;
    int n = _in->read(_buf + _end, kWindow - static_cast<int>(_end));
    if (n > 0) {
        _end += static_cast<size_t>(n) < kWindow - _end ? static_cast<size_t>(n) : kWindow - _end;
    } else if (n == 0 || n == -1) {
        // A stream that delivers nothing is treated as ended rather than
        // asked again, so a misbehaving stream cannot make the lexer spin.
        _eof = true;
    } else {
        _eof = true;
        _readError = true;
    }
    _buf[_end] = 0;
    return true;
}

int Lex::peek(size_t k) {
    while (_pos + k >= _end) {
        if (_eof) return -1;
        if (!fill()) return _eof ? -1 : kWindowFull;
    }
    return _buf[_pos + k];
}

void Lex::testMore() {
    if (!_eof && _end - _pos < static_cast<size_t>(kRefillBelow)) fill();
}

void Lex::advanceSlow() {
    if (_pos >= _end && peek(0) < 0) return;
    if (_buf[_pos++] == '\n') {
        ++_line;
        _column = 1;
    } else {
        ++_column;
    }
    if (_in != nullptr) testMore();
}

// ---------------------------------------------------------------------------
// Helpers

void Lex::textAdd(int c) {
    if (_tokLen + 1 >= _tokCap) {
        _tokCap *= 2;
        _tok = static_cast<char*>(realloc(_tok, _tokCap));
    }
    _tok[_tokLen++] = static_cast<char>(c);
}

void Lex::textAdd(const unsigned char* bytes, size_t n) {
    if (_tokLen + n + 1 > _tokCap) {
        while (_tokLen + n + 1 > _tokCap) _tokCap *= 2;
        _tok = static_cast<char*>(realloc(_tok, _tokCap));
    }
    memcpy(_tok + _tokLen, bytes, n);
    _tokLen += n;
}

void Lex::setString(Token* t, const unsigned char* bytes, size_t n) {
    char* text = static_cast<char*>(malloc(n + 1));
    memcpy(text, bytes, n);
    text[n] = 0;
    t->type = TOKEN_STRING;
    t->value.clear();
    t->value.type = ANY_STRING;
    t->value.hint = HINT_STRING;
    t->value.value.s = text;
}

const char* Lex::textGet() {
    _tok[_tokLen] = 0;
    return _tok;
}

void Lex::setError(Token* t, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    t->type = TOKEN_ERROR;
    t->value.set(message);
}

int Lex::toHexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Lex::convertToInt64(const char* text, long long& out) {
    if (text == nullptr) return false;
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!isDigit(*p)) return false;
    uint64_t v = 0;
    for (; *p != 0; ++p) {
        if (!isDigit(*p)) return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    out = static_cast<long long>(negative ? 0 - v : v);
    return true;
}

bool Lex::convertToDouble(const char* text, double& out) {
    if (text == nullptr) return false;
    const char* p = text;
    while (isDigit(*p)) ++p;
    if (*p == '.') {
        ++p;
        while (isDigit(*p)) ++p;
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '-') ++p;
        while (isDigit(*p)) ++p;
    }
    if (*p != 0) return false;
    // Every part's digits are optional: ".", "e" and the like read as 0.
    out = *text != 0 ? cLocaleStrtod(text) : 0.0;
    return true;
}

// ---------------------------------------------------------------------------
// Tokens

void Lex::nextToken(Token* t) {
    t->clear();
    t->type = TOKEN_END;
    t->spaceBefore = false;
    t->outputExpression = false;
    _nextToken(t);
    if (_templateCapable && _textCollected) {
        t->textLength = _text.length();
        t->text = _text.take();
        t->outputExpression = _outputExpression;
        _textCollected = false;
    }
}

void Lex::collectText() {
    _textCollected = true;
    _outputExpression = false;
    char chunk[256];
    size_t used = 0;
    for (;;) {
        int c = cur();
        if (c < 0) break;
        if (c == '<' && peek(1) == '?') {
            advance();
            advance();
            if (peek(0) == 'J' && peek(1) == 'S') {
                advance();
                advance();
                _outputExpression = false;
            } else {
                _outputExpression = true;
            }
            _inText = false;
            break;
        }
        chunk[used++] = static_cast<char>(c);
        if (used == sizeof chunk) {
            _text.append(chunk, used);
            used = 0;
        }
        advance();
    }
    if (used > 0) _text.append(chunk, used);
    // An empty builder still stands for collected (empty) text.
}

void Lex::_nextToken(Token* t) {
    bool space = false;
    for (;;) {
        if (_inText) collectText();
        while (isSpace(cur())) {
            advance();
            space = true;
        }
        if (_templateCapable && !_inText && cur() == '?' && peek(1) == '>') {
            advance();
            advance();
            _inText = true;
            continue;
        }
        t->spaceBefore = space;
        t->line = _line;
        t->column = _column;
        int c = cur();
        if (c < 0) {
            if (_readError) {
                setError(t, "Error reading the script input");
            } else {
                t->type = TOKEN_END;
            }
            return;
        }
        if (c == '/' && peek(1) == '/') {
            while (cur() >= 0 && cur() != '\n') advance();
            if (cur() < 0) {
                setError(t, "End of file encountered in \"//\" comment");
                return;
            }
            space = true;
            continue;
        }
        if (c == '/' && peek(1) == '*') {
            int line = _line, column = _column;
            advance();
            advance();
            for (;;) {
                int d = cur();
                if (d < 0) {
                    setError(t, "End of file encountered in \"/*\" comment (Beginning at Line: %d, Position: %d)", line,
                             column);
                    return;
                }
                if (d == '*' && peek(1) == '/') {
                    advance();
                    advance();
                    break;
                }
                advance();
            }
            space = true;
            continue;
        }
        if (c == '"' || c == '\'') {
            lexString(t, c);
            return;
        }
        if (isDigit(c) || (c == '.' && isDigit(peek(1)))) {
            lexNumber(t);
            return;
        }
        if (c == '/' && t->regexAllowed && lexRegex(t)) return;
        if (isPunct(c) && c != '_' && c != '$') {
            advance();
            t->type = TOKEN_PUNCT;
            t->value.setInt32(c);
            return;
        }
        if (isWordStart(c)) {
            lexWord(t);
            return;
        }
        advance();
        setError(t, "Illegal character 0x%x encountered", static_cast<int>(static_cast<signed char>(c)));
        return;
    }
}

// Strings ---------------------------------------------------------------

void Lex::lexString(Token* t, int quote) {
    advance();
    textReset();
    const char* error = nullptr;
    for (;;) {
        // Bytes that need no attention are taken as one run.
        size_t run = 0;
        while (_pos + run < _end) {
            unsigned char b = _buf[_pos + run];
            if (b == quote || b == '\\' || b == '\n') break;
            ++run;
        }
        if (run > 0) {
            if (_tokLen == 0 && _pos + run < _end && _buf[_pos + run] == quote) {
                // The whole literal is one run: no pass through the text buffer.
                setString(t, _buf + _pos, run);
                skipHeld(run);
                advance();
                return;
            }
            textAdd(_buf + _pos, run);
            skipHeld(run);
            continue;
        }
        int c = cur();
        if (c < 0) {
            setError(t, "End of file encountered in string");
            return;
        }
        if (c == '\n') {
            advance();
            setError(t, "Newline not allowed in string");
            return;
        }
        if (c == quote) {
            advance();
            break;
        }
        if (c != '\\') {
            textAdd(c);
            advance();
            continue;
        }
        advance();
        int e = cur();
        switch (e) {
        case '\n': advance(); continue;
        case '"':
        case '\'':
        case '\\': textAdd(e); advance(); continue;
        case 'b': textAdd(8); advance(); continue;
        case 'f': textAdd(12); advance(); continue;
        case 'n': textAdd(10); advance(); continue;
        case 'r': textAdd(13); advance(); continue;
        case 't': textAdd(9); advance(); continue;
        case 'v': textAdd(11); advance(); continue;
        case 'x':
        case 'u': {
            // \u gives one byte too: the low 8 bits of the code.
            advance();
            int digits = e == 'x' ? 2 : 4;
            int v = 0;
            for (int i = 0; i < digits && error == nullptr; ++i) {
                int h = toHexValue(cur());
                if (h < 0) {
                    error = e == 'x' ? "Expected \\x<HEXDIGIT><HEXDIGIT>"
                                     : "Expected \\u<HEXDIGIT><HEXDIGIT><HEXDIGIT><HEXDIGIT>";
                } else {
                    v = v * 16 + h;
                    advance();
                }
            }
            if (error == nullptr) {
                textAdd(v & 0xFF);
                continue;
            }
            break;
        }
        default:
            if (isOctal(e)) {
                int v = e - '0';
                advance();
                for (int i = 0; i < 2 && isOctal(cur()); ++i) {
                    v = v * 8 + (cur() - '0');
                    advance();
                }
                textAdd(v & 0xFF);
                continue;
            }
            if (e < 0) {
                setError(t, "End of file encountered in string");
                return;
            }
            error = "Illegal character escape sequence";
            break;
        }
        // A bad escape: the rest of the literal goes with the error token.
        while (cur() >= 0 && cur() != '\n' && cur() != quote) advance();
        if (cur() == quote) advance();
        setError(t, "%s", error);
        return;
    }
    setString(t, reinterpret_cast<const unsigned char*>(_tok), _tokLen);
}

// Numbers ---------------------------------------------------------------

int Lex::lookaheadHex() {
    size_t k = 2;
    while (toHexValue(peek(k)) >= 0) ++k;
    int flags = 0;
    for (int c = peek(k); isSuffix(c); c = peek(++k)) {
        if (c == 'U') flags |= SUFFIX_U;
        if (c == 'L') flags |= SUFFIX_L;
    }
    return flags;
}

int Lex::lookaheadOctal() {
    size_t k = 1;
    while (isOctal(peek(k))) ++k;
    int flags = 0;
    for (int c = peek(k); isSuffix(c); c = peek(++k)) {
        if (c == 'U') flags |= SUFFIX_U;
        if (c == 'L') flags |= SUFFIX_L;
    }
    return flags;
}

int Lex::lookaheadDecimal() {
    size_t k = 0;
    int flags = 0;
    while (isDigit(peek(k))) ++k;
    if (peek(k) == '.') {
        flags |= SUFFIX_FRACTION;
        ++k;
        while (isDigit(peek(k))) ++k;
    }
    if (peek(k) == 'e' || peek(k) == 'E') {
        size_t e = k + 1;
        if (peek(e) == '+' || peek(e) == '-') ++e;
        if (isDigit(peek(e))) {
            flags |= SUFFIX_FRACTION;
            k = e;
            while (isDigit(peek(k))) ++k;
        }
    }
    for (int c = peek(k); isSuffix(c); c = peek(++k)) {
        if (c == 'U') flags |= SUFFIX_U;
        if (c == 'L') flags |= SUFFIX_L;
        if (c == 'F') flags |= SUFFIX_F;
    }
    return flags;
}

void Lex::skipSuffixes() {
    while (isSuffix(cur())) advance();
}

bool Lex::lexPlainNumber(Token* t) {
    if (_in != nullptr) return false;
    size_t p = _pos;
    // A leading zero before a digit or x is octal or hex.
    if (_buf[p] == '0' && p + 1 < _end && (isDigit(_buf[p + 1]) || _buf[p + 1] == 'x' || _buf[p + 1] == 'X'))
        return false;
    uint64_t v = 0;
    while (p < _end && isDigit(_buf[p])) {
        v = v * 10 + static_cast<uint64_t>(_buf[p] - '0');
        ++p;
    }
    bool fraction = p < _end && _buf[p] == '.';
    if (fraction) {
        ++p;
        while (p < _end && isDigit(_buf[p])) ++p;
    }
    if (p < _end && (_buf[p] == 'e' || _buf[p] == 'E' || isSuffix(_buf[p]))) return false;
    size_t n = p - _pos;
    if (fraction) {
        textReset();
        textAdd(_buf + _pos, n);
        t->type = TOKEN_DOUBLE;
        t->value.setDouble(cLocaleStrtod(textGet()));
    } else if (_longIntegers) {
        t->type = TOKEN_LONG_INTEGER;
        t->value.setInt64(static_cast<int64_t>(v));
    } else {
        t->type = TOKEN_INTEGER;
        t->value.setInt32(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
    skipHeld(n);
    return true;
}

void Lex::lexNumber(Token* t) {
    if (lexPlainNumber(t)) return;
    // The look-ahead may reach past the refill point; the mark keeps the
    // number's first byte in the window while it does.
    _mark = _pos;
    int c = cur();
    int flags;
    bool decimal = false;
    uint64_t v = 0;
    if (c == '0' && (peek(1) == 'x' || peek(1) == 'X')) {
        flags = lookaheadHex();
        _mark = kNoMark;
        advance();
        advance();
        for (int h = toHexValue(cur()); h >= 0; h = toHexValue(cur())) {
            v = v * 16 + static_cast<uint64_t>(h);
            advance();
        }
    } else if (c == '0' && isOctal(peek(1))) {
        flags = lookaheadOctal();
        _mark = kNoMark;
        advance();
        while (isOctal(cur())) {
            v = v * 8 + static_cast<uint64_t>(cur() - '0');
            advance();
        }
    } else {
        flags = lookaheadDecimal();
        _mark = kNoMark;
        decimal = true;
        if (flags & SUFFIX_FRACTION) {
            textReset();
            while (isDigit(cur())) {
                textAdd(cur());
                advance();
            }
            if (cur() == '.') {
                textAdd('.');
                advance();
                while (isDigit(cur())) {
                    textAdd(cur());
                    advance();
                }
            }
            if ((cur() == 'e' || cur() == 'E') &&
                (isDigit(peek(1)) || ((peek(1) == '+' || peek(1) == '-') && isDigit(peek(2))))) {
                textAdd('e');
                advance();
                if (cur() == '+' || cur() == '-') {
                    textAdd(cur());
                    advance();
                }
                while (isDigit(cur())) {
                    textAdd(cur());
                    advance();
                }
            }
            skipSuffixes();
            if (flags & SUFFIX_U) {
                setError(t, "Floating point values cannot be unsigned");
            } else if (flags & SUFFIX_L) {
                setError(t, "Floating point values cannot be marked long");
            } else if (flags & SUFFIX_F) {
                t->type = TOKEN_FLOAT;
                t->value.setFloat(static_cast<float>(cLocaleStrtod(textGet())));
            } else {
                t->type = TOKEN_DOUBLE;
                t->value.setDouble(cLocaleStrtod(textGet()));
            }
            return;
        }
        while (isDigit(cur())) {
            v = v * 10 + static_cast<uint64_t>(cur() - '0');
            advance();
        }
    }
    skipSuffixes();
    if (flags & SUFFIX_U) {
        setError(t, "Unsigned values are not supported yet");
    } else if ((flags & SUFFIX_L) || (decimal && _longIntegers)) {
        t->type = TOKEN_LONG_INTEGER;
        t->value.setInt64(static_cast<int64_t>(v));
    } else {
        // 32-bit accumulation wraps: the low 32 bits of the 64-bit one.
        t->type = TOKEN_INTEGER;
        t->value.setInt32(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
}

// Regular expressions -----------------------------------------------------

bool Lex::lexRegex(Token* t) {
    int line = _line, column = _column;
    _mark = _pos;
    advance();
    textReset();
    bool abandoned = false;
    for (;;) {
        int c = cur();
        if (c == -1) {
            _mark = kNoMark;
            setError(t, "Unexpected end of file while recognizing regular expression");
            return true;
        }
        // A line end first (or a literal longer than the window) means the
        // '/' was not a literal's start after all.
        if (c == '\n' || c == kWindowFull) {
            abandoned = true;
            break;
        }
        if (c == '/') {
            advance();
            break;
        }
        if (c == '\\') {
            textAdd(c);
            advance();
            c = cur();
            if (c == -1) continue;
            if (c == '\n' || c == kWindowFull) {
                abandoned = true;
                break;
            }
        }
        textAdd(c);
        advance();
    }
    if (abandoned) {
        _pos = _mark;
        _mark = kNoMark;
        _line = line;
        _column = column;
        return false;
    }
    _mark = kNoMark;
    int flags = 0;
    for (;;) {
        int c = cur();
        if (c == 'i') {
            flags |= ZephanPattern::IGNORE_CASE;
        } else if (c == 'm') {
            flags |= ZephanPattern::MULTI_LINE;
        } else if (c == 'g') {
            flags |= ZephanPattern::GLOBAL;
        } else if (c == 'y') {
            advance();
            setError(t, "'sticky' regular expressions are not supported");
            return true;
        } else {
            break;
        }
        advance();
    }
    ZephanPattern* pattern = new ZephanPattern(textGet(), flags);
    if (pattern->failed()) {
        setError(t, "Bad or Illegal regular expression: %s", pattern->errorText());
        delete pattern;
        return true;
    }
    t->type = TOKEN_REGEX;
    t->value.setReference(pattern);
    return true;
}

// Words -----------------------------------------------------------------

namespace {

// What a word is, beyond an identifier.
enum WordKind { WORD_RESERVED = -1, WORD_TRUE = -2, WORD_FALSE = -3, WORD_NAN = -4 };

struct SpecialWord {
    const char* word;
    size_t length;
    int kind;  // a token type or a WordKind
};

// The words that are not identifiers, by first byte, so that a word is
// compared with the few that could match instead of with all of them.
class SpecialWords {
public:
    SpecialWords() {
        for (int type = TOKEN_FIRST_KEYWORD; type <= TOKEN_LITERAL_NULL; ++type)
            if (tokenWord(type) != nullptr) add(tokenWord(type), type);
        add("undefined", TOKEN_LITERAL_UNDEFINED);
        add("NaN", WORD_NAN);
        for (const char* reserved : kReservedWords) add(reserved, WORD_RESERVED);
        add("true", WORD_TRUE);
        add("false", WORD_FALSE);
    }
    // 0 for an ordinary identifier.
    int find(const char* word, size_t length) const {
        for (const SpecialWord& w : _byFirst[static_cast<unsigned char>(word[0]) & 127])
            if (w.length == length && memcmp(w.word, word, length) == 0) return w.kind;
        return 0;
    }

private:
    void add(const char* word, int kind) { _byFirst[static_cast<unsigned char>(word[0]) & 127].push_back({word, strlen(word), kind}); }
    std::vector<SpecialWord> _byFirst[128];
};

}  // namespace

void Lex::lexWord(Token* t) {
    static const SpecialWords special;
    textReset();
    for (;;) {
        size_t run = 0;
        while (_pos + run < _end && isWordChar(_buf[_pos + run])) ++run;
        if (run > 0) {
            textAdd(_buf + _pos, run);
            skipHeld(run);
        }
        if (!isWordChar(cur())) break;
    }
    const char* word = textGet();
    int kind = special.find(word, _tokLen);
    switch (kind) {
    case 0:
        setString(t, reinterpret_cast<const unsigned char*>(word), _tokLen);
        t->type = TOKEN_IDENT;
        return;
    case WORD_NAN:
        t->type = TOKEN_DOUBLE;
        t->value.setDouble(NAN);
        return;
    case WORD_RESERVED: setError(t, "Illegal use of reserved word, %s", word); return;
    case WORD_TRUE:
    case WORD_FALSE:
        t->type = TOKEN_BOOL;
        t->value.setBool(kind == WORD_TRUE);
        return;
    default: t->type = kind; return;  // a keyword, null or undefined
    }
}
