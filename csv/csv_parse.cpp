#include "csv/csv_parse.h"

#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "script/error.h"
#include "script/location.h"

CSVDelimiter CSVDelimiter::of(const char* text, char def) {
    CSVDelimiter d{};
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    if (p == nullptr || *p == 0) {
        d.bytes[0] = static_cast<unsigned char>(def);
        d.length = 1;
        return d;
    }
    int n = p[0] < 0xC0 ? 1 : p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : p[0] < 0xF8 ? 4 : 1;
    int got = 1;
    while (got < n && (p[got] & 0xC0) == 0x80) got++;
    // A lead byte without all its continuation bytes stands alone.
    if (got < n) n = 1;
    memcpy(d.bytes, p, static_cast<size_t>(n));
    d.length = n;
    return d;
}

size_t csvBomLength(const unsigned char* p, size_t length) {
    return length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}

int csvCountChars(const unsigned char* p, size_t length) {
    int n = 0;
    for (size_t i = 0; i < length; i++) n += (p[i] & 0xC0) != 0x80;
    return n;
}

namespace {

// The state of one parse; the tree under construction is released unless
// finish() hands it over.
class TextParser {
public:
    TextParser(const char* quote, const char* separator, int headerLines)
        : _quote(CSVDelimiter::of(quote, '"')), _sep(CSVDelimiter::of(separator, ',')),
          _headersLeft(headerLines > 0 ? headerLines : 0), _columns(new AnyArray()), _data(new AnyArray()) {
        memset(_plain, 0, sizeof _plain);
        memset(_quoted, 0, sizeof _quoted);
        _plain[_quote.bytes[0]] = _plain[_sep.bytes[0]] = _plain[unsigned('\r')] = _plain[unsigned('\n')] = 1;
        _quoted[_quote.bytes[0]] = _quoted[unsigned('\n')] = 1;
    }
    ~TextParser() {
        delete _columns;
        delete _data;
        delete _warnings;
        delete _row;
    }
    TextParser(const TextParser&) = delete;
    TextParser& operator=(const TextParser&) = delete;

    Error* parse(const unsigned char* p, Attributes** out);

private:
    void ordinary(const unsigned char* from, const unsigned char* to) {
        _field.append(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from));
        _column += csvCountChars(from, static_cast<size_t>(to - from));
        _hasContent = true;
    }
    void warn(const char* description);
    // Returns false for a blank line (which then ends here).
    bool endField(bool lineEnd);
    void endLine();

    CSVDelimiter _quote;
    CSVDelimiter _sep;
    // Bytes that may start something other than field text, outside and
    // inside quotes.
    unsigned char _plain[256];
    unsigned char _quoted[256];
    std::string _field;
    int _fieldIndex = 0;
    int _line = 1;
    int _column = 1;
    bool _inQuote = false;
    bool _hasContent = false;
    int _headersLeft;
    int _reference = -1;
    long long _rows = 0;
    AnyArray* _columns;
    AnyArray* _data;
    AnyArray* _warnings = nullptr;
    AnyArray* _row = nullptr;
};

void TextParser::warn(const char* description) {
    Attributes* w = new Attributes();
    w->setAttribute("description", description);
    w->setAttribute("line", _line);
    Any* v = new Any();
    v->setObject(w);
    if (_warnings == nullptr) _warnings = new AnyArray();
    _warnings->append(v);
}

bool TextParser::endField(bool lineEnd) {
    if (lineEnd && _fieldIndex == 0 && _field.empty()) {
        warn("Blank line ignored");
        _hasContent = false;
        return false;
    }
    if (_headersLeft > 0) {
        Any* existing = _columns->get(_fieldIndex);
        if (existing != nullptr && existing->getString() != nullptr) {
            std::string joined = std::string(existing->getString()) + "\n" + _field;
            existing->set(joined.c_str());
        } else {
            // Header fields arrive in order, so the slot is the next one.
            while (_columns->size() < _fieldIndex) _columns->append(new Any(""));
            if (_fieldIndex < _columns->size()) {
                _columns->elements[_fieldIndex]->set(_field.c_str());
            } else {
                _columns->append(new Any(_field.c_str()));
            }
        }
    } else {
        if (_row == nullptr) _row = new AnyArray();
        _row->append(new Any(_field.c_str()));
    }
    _fieldIndex++;
    _field.clear();
    return true;
}

void TextParser::endLine() {
    if (_reference < 0) {
        _reference = _fieldIndex;
    } else if (_fieldIndex != _reference) {
        warn("Number of fields differs from prior lines");
        _reference = _fieldIndex;
    }
    if (_headersLeft > 0) {
        _headersLeft--;
    } else {
        Any* v = new Any();
        v->setArray(_row != nullptr ? _row : new AnyArray());
        _row = nullptr;
        _data->append(v);
        _rows++;
    }
    _fieldIndex = 0;
    _hasContent = false;
}

Error* TextParser::parse(const unsigned char* p, Attributes** out) {
    p += csvBomLength(p, strnlen(reinterpret_cast<const char*>(p), 3));
    for (;;) {
        // A run of plain field text is copied at once.
        const unsigned char* from = p;
        const unsigned char* table = _inQuote ? _quoted : _plain;
        while (*p != 0 && table[*p] == 0) p++;
        if (p > from) ordinary(from, p);
        if (*p == 0) break;
        if (_inQuote) {
            if (_quote.at(p)) {
                p += _quote.length;
                _column++;
                if (*p != 0 && _quote.at(p)) {
                    // A doubled quote stands for one quote character.
                    _field.append(reinterpret_cast<const char*>(_quote.bytes), static_cast<size_t>(_quote.length));
                    p += _quote.length;
                    _column++;
                } else {
                    _inQuote = false;
                }
            } else if (*p == '\n') {
                _field += '\n';
                p++;
                _line++;
                _column = 1;
            } else {
                ordinary(p, p + 1);
                p++;
            }
            continue;
        }
        if (_quote.at(p)) {
            p += _quote.length;
            _column++;
            _inQuote = true;
            _hasContent = true;
        } else if (_sep.at(p)) {
            p += _sep.length;
            _column++;
            _hasContent = true;
            endField(false);
        } else if (*p == '\n' || (*p == '\r' && p[1] == '\n')) {
            if (endField(true)) endLine();
            p += *p == '\r' ? 2 : 1;
            _line++;
            _column = 1;
        } else {
            // A lone carriage return, or the first byte of a character that
            // only begins like a delimiter.
            ordinary(p, p + 1);
            p++;
        }
    }
    if (_inQuote) {
        Location** where = new Location*[2]();
        where[0] = new Location("<input>", nullptr, _line, _column);
        return new Error(Error::SyntaxError, DirError::E_IO, "EOF encountered while inside quote", where);
    }
    if (_hasContent && endField(true)) endLine();

    Attributes* result = new Attributes();
    Any* v = new Any();
    v->setArray(_columns);
    _columns = nullptr;
    result->addAttribute("columns", v);
    v = new Any();
    v->setArray(_data);
    _data = nullptr;
    result->addAttribute("data", v);
    result->setAttribute("totalRows", _rows);
    if (_warnings != nullptr) {
        v = new Any();
        v->setArray(_warnings);
        _warnings = nullptr;
        result->addAttribute("warnings", v);
    }
    *out = result;
    return nullptr;
}

}  // namespace

Error* parseCSV(Attributes** out, const char* text, const char* quote, const char* separator, int headerLines) {
    *out = nullptr;
    TextParser parser(quote, separator, headerLines);
    return parser.parse(reinterpret_cast<const unsigned char*>(text != nullptr ? text : ""), out);
}
