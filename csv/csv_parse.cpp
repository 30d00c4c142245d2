#include "csv/csv_parse.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/error_codes.h"
#include "csv/csv_position.h"
#include "csv/csv_scan.h"
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

int csvFirstLineFields(const char* text, size_t length, const char* quote, const char* separator, bool* whole) {
    if (whole != nullptr) *whole = false;
    const CSVDelimiter q = CSVDelimiter::of(quote, '"');
    const CSVDelimiter sep = CSVDelimiter::of(separator, ',');
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
    const unsigned char* const end = p + (text != nullptr ? length : 0);
    p += csvBomLength(p, static_cast<size_t>(end - p));
    auto at = [end](const CSVDelimiter& d, const unsigned char* from) { return end - from >= d.length && d.at(from); };
    int fields = 0;
    bool inQuote = false;
    bool fieldEmpty = true;
    while (p < end) {
        if (inQuote) {
            if (at(q, p)) {
                p += q.length;
                if (at(q, p)) {
                    p += q.length;
                    fieldEmpty = false;
                } else {
                    inQuote = false;
                }
            } else {
                p++;
                fieldEmpty = false;
            }
        } else if (at(q, p)) {
            p += q.length;
            inQuote = true;
        } else if (at(sep, p)) {
            p += sep.length;
            fields++;
            fieldEmpty = true;
        } else if (*p == '\n' || *p == '\r') {
            // A line whose only field is empty is blank: the readers skip it.
            if (fields > 0 || !fieldEmpty) {
                if (whole != nullptr) *whole = true;
                return fields + 1;
            }
            p++;
        } else {
            p++;
            fieldEmpty = false;
        }
    }
    return fields > 0 || !fieldEmpty ? fields + 1 : 0;
}

namespace {

// A string value holding a copy of length bytes at text.
Any* textValue(const char* text, size_t length) {
    Any* v = new Any();
    char* copy = static_cast<char*>(malloc(length + 1));
    memcpy(copy, text, length);
    copy[length] = '\0';
    v->type = ANY_STRING;
    v->hint = HINT_STRING;
    v->value.s = copy;
    return v;
}

// An array value taking over the values collected in items (which is
// emptied), allocated once at its final size.
Any* arrayValue(std::vector<Any*>& items) {
    AnyArray* array = new AnyArray();
    if (!items.empty()) {
        array->elements = static_cast<Any**>(malloc(items.size() * sizeof(Any*)));
        memcpy(array->elements, items.data(), items.size() * sizeof(Any*));
        array->count = static_cast<int>(items.size());
        items.clear();
    }
    Any* v = new Any();
    v->setArray(array);
    return v;
}

// The state of one parse; the tree under construction is released unless
// parse() hands it over.
class TextParser {
public:
    TextParser(const char* quote, const char* separator, int headerLines)
        : _quote(CSVDelimiter::of(quote, '"')), _sep(CSVDelimiter::of(separator, ',')),
          _headersLeft(headerLines > 0 ? headerLines : 0) {}
    ~TextParser() {
        for (Any* v : _warnings) delete v;
        for (Any* v : _row) delete v;
        for (Any* v : _data) delete v;
    }
    TextParser(const TextParser&) = delete;
    TextParser& operator=(const TextParser&) = delete;

    Error* parse(const unsigned char* p, Attributes** out);

private:
    // Adds bytes to the field. A field that is one stretch of the text is
    // only pointed at; anything else is copied together in _field.
    void append(const unsigned char* from, size_t n) {
        if (_span != nullptr) {
            if (from == _span + _spanLength) {
                _spanLength += n;
                return;
            }
            _field.assign(reinterpret_cast<const char*>(_span), _spanLength);
            _span = nullptr;
        } else if (_field.empty()) {
            _span = from;
            _spanLength = n;
            return;
        }
        _field.append(reinterpret_cast<const char*>(from), n);
    }
    bool fieldEmpty() const { return _span == nullptr ? _field.empty() : _spanLength == 0; }
    void warn(const char* description);
    // Returns false for a blank line (which then ends here).
    bool endField(bool lineEnd);
    void endLine();

    CSVDelimiter _quote;
    CSVDelimiter _sep;
    const unsigned char* _span = nullptr;
    size_t _spanLength = 0;
    std::string _field;
    // Every field of a line is kept as a value, so memory runs out long
    // before the field count leaves the int range (unlike the position).
    int _fieldIndex = 0;
    CSVPosition _at;
    bool _inQuote = false;
    bool _hasContent = false;
    int _headersLeft;
    int _reference = -1;
    // The header texts, the warnings, the current row's values and the data
    // rows so far, made into arrays once their size is known: an array grows
    // one slot per append, copying itself each time, and a text may have a
    // warning on every line or thousands of header fields.
    std::vector<std::string> _columns;
    std::vector<Any*> _warnings;
    std::vector<Any*> _row;
    std::vector<Any*> _data;
};

void TextParser::warn(const char* description) {
    Attributes* w = new Attributes();
    w->setAttribute("description", description);
    w->setAttribute("line", _at.reportedLine());
    Any* v = new Any();
    v->setObject(w);
    _warnings.push_back(v);
}

bool TextParser::endField(bool lineEnd) {
    if (lineEnd && _fieldIndex == 0 && fieldEmpty()) {
        warn("Blank line ignored");
        _hasContent = false;
        return false;
    }
    const char* text = _span != nullptr ? reinterpret_cast<const char*>(_span) : _field.data();
    size_t length = _span != nullptr ? _spanLength : _field.size();
    if (_headersLeft > 0) {
        // A column's texts are joined in place: copying the header so far
        // for every header line that adds to it would cost time quadratic
        // in the number of header lines.
        const size_t at = static_cast<size_t>(_fieldIndex);
        if (at < _columns.size()) {
            _columns[at].push_back('\n');
            _columns[at].append(text, length);
        } else {
            // Header fields arrive in order, so the slot is the next one.
            _columns.resize(at);
            _columns.emplace_back(text, length);
        }
    } else {
        _row.push_back(textValue(text, length));
    }
    _fieldIndex++;
    _span = nullptr;
    _spanLength = 0;
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
        _data.push_back(arrayValue(_row));
    }
    _fieldIndex = 0;
    _hasContent = false;
}

Error* TextParser::parse(const unsigned char* p, Attributes** out) {
    const unsigned char* const end = p + strlen(reinterpret_cast<const char*>(p));
    p += csvBomLength(p, static_cast<size_t>(end - p));
    // Bytes that may start something other than field text, outside and
    // inside quotes.
    const unsigned char plainStops[4] = {_quote.bytes[0], _sep.bytes[0], '\r', '\n'};
    const unsigned char quotedStops[2] = {_quote.bytes[0], '\n'};
    const CSVScanner plain(plainStops, 4);
    const CSVScanner quoted(quotedStops, 2);
    for (;;) {
        // A run of plain field text is taken at once.
        const unsigned char* from = p;
        p = (_inQuote ? quoted : plain).find(p, end, &_at.column);
        if (p > from) {
            append(from, static_cast<size_t>(p - from));
            _hasContent = true;
        }
        if (p == end) break;
        // The text is terminated, so a delimiter that is cut short by the
        // end simply does not match.
        if (_inQuote) {
            if (_quote.at(p)) {
                p += _quote.length;
                _at.column++;
                if (p != end && _quote.at(p)) {
                    // A doubled quote stands for one quote character.
                    append(_quote.bytes, static_cast<size_t>(_quote.length));
                    p += _quote.length;
                    _at.column++;
                } else {
                    _inQuote = false;
                }
            } else if (*p == '\n') {
                append(p, 1);
                p++;
                _at.nextLine();
            } else {
                append(p, 1);
                p++;
                _at.column++;
                _hasContent = true;
            }
            continue;
        }
        if (_quote.at(p)) {
            p += _quote.length;
            _at.column++;
            _inQuote = true;
            _hasContent = true;
        } else if (_sep.at(p)) {
            p += _sep.length;
            _at.column++;
            _hasContent = true;
            endField(false);
        } else if (*p == '\n' || (*p == '\r' && p[1] == '\n')) {
            if (endField(true)) endLine();
            p += *p == '\r' ? 2 : 1;
            _at.nextLine();
        } else {
            // A lone carriage return, or the first byte of a character that
            // only begins like a delimiter.
            append(p, 1);
            p++;
            _at.column++;
            _hasContent = true;
        }
    }
    if (_inQuote) {
        Location** where = new Location*[2]();
        where[0] = new Location("<input>", nullptr, _at.reportedLine(), _at.reportedColumn());
        return new Error(Error::SyntaxError, DirError::E_IO, "EOF encountered while inside quote", where);
    }
    if (_hasContent && endField(true)) endLine();

    Attributes* result = new Attributes();
    std::vector<Any*> columns;
    columns.reserve(_columns.size());
    for (const std::string& header : _columns) columns.push_back(textValue(header.data(), header.size()));
    _columns.clear();
    result->addAttribute("columns", arrayValue(columns));
    const long long rows = static_cast<long long>(_data.size());
    result->addAttribute("data", arrayValue(_data));
    result->setAttribute("totalRows", rows);
    if (!_warnings.empty()) result->addAttribute("warnings", arrayValue(_warnings));
    *out = result;
    return nullptr;
}

}  // namespace

Error* parseCSV(Attributes** out, const char* text, const char* quote, const char* separator, int headerLines) {
    *out = nullptr;
    TextParser parser(quote, separator, headerLines);
    return parser.parse(reinterpret_cast<const unsigned char*>(text != nullptr ? text : ""), out);
}
