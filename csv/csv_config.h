// The configuration of a streaming CSV read (CSVConfig), its column
// definitions (CSVRow) and the rows it produces (CSVResultRow).
//
// A CSVRow maps one input column (1-based position in the CSV line) to one
// output column (1-based slot in the result row), with a type code and an
// optional script expression that transforms the field first (the field's
// text is the variable VALUE while it runs).
//
// Ownership: a CSVConfig owns its copies of the texts and its CSVRows; a
// CSVRow owns its expression text and its Parser; a CSVResultRow owns its
// values and its errors. Whoever receives a CSVResultRow deletes it, or
// gives it back to the reader that made it (HyperCSV::recycle) so that the
// row, its values and their storage serve a later line.
// Thread-safety: none. A configuration is built before the reader starts
// and is then used by the reader's thread only, until the reader is gone.
#ifndef DRV_CSV_CSV_CONFIG_H
#define DRV_CSV_CSV_CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <malloc.h>
#include <string.h>

#include <vector>

#include "common/error_codes.h"
#include "dirbase/any.h"

class Error;
class ObjRef;
class Parser;

// Type codes that the conversion acts on; any other code keeps the value as
// the field or its expression produced it.
enum CSVType {
    CSV_TYPE_STRING = 1,
    CSV_TYPE_DOUBLE = 5,
    CSV_TYPE_DATE = 13,
    CSV_TYPE_TIMESTAMP = 14,
};

class CSVRow {
public:
    // expression (may be null or empty: no transform) is copied.
    CSVRow(int inputColumn, int outputColumn, int type, const char* expression);
    virtual ~CSVRow();
    CSVRow(const CSVRow&) = delete;
    CSVRow& operator=(const CSVRow&) = delete;

    // Builds the parser "col-%d" (the output column) over the expression,
    // with scope as its root, and parses the expression. The parser takes
    // debugLevel when that is below the process-wide selector. Returns null
    // on success (or when there is no expression), else the parser's error
    // (owned by the parser).
    const Error* createParser(int debugLevel, ObjRef* scope);
    // Releases the parser (the reader does when it is destroyed).
    void releaseParser();

    int inputColumn;
    int outputColumn;
    int type;
    char* expression;  // null when there is none
    Parser* parser;    // null until createParser
};

class CSVConfig {
public:
    // Every text is copied; inputPath, taskLogPath and encoding may be null.
    // quote and separator give their first character (null or empty: '"'
    // and ','). debugLevel: trace detail of the task log, below 2 every
    // character and read, below 3 every field, below 4 the final summary.
    CSVConfig(const char* inputPath, const char* taskLogPath, int debugLevel, const char* encoding, const char* quote,
              const char* separator, int headerLines);
    virtual ~CSVConfig();
    CSVConfig(const CSVConfig&) = delete;
    CSVConfig& operator=(const CSVConfig&) = delete;

    // Takes ownership; puts the definition at the front of rows.
    void addRow(CSVRow* row);

    char* inputPath;
    char* taskLogPath;
    int debugLevel;
    char* encoding;
    char* quote;
    char* separator;
    int headerLines;
    std::vector<CSVRow*> rows;  // front first
};

class CSVResultRow {
public:
    // count empty (null) slots.
    explicit CSVResultRow(int count);
    virtual ~CSVResultRow();
    CSVResultRow(const CSVResultRow&) = delete;
    CSVResultRow& operator=(const CSVResultRow&) = delete;

    // Replaces slot index (from 0) with value (taken over; may be null).
    // Returns 0, or 24 ("Illegal Argument") when index is out of range (value
    // is then deleted).
    int set(int index, Any* value);
    // Takes ownership; appended at the end of the row's errors.
    void addError(Error* error);

    // Typed setters that reuse the value already in the slot (and, for a
    // text, its storage when the new text is no longer than the old one)
    // instead of allocating a new value: how a recycled row is refilled.
    // Each returns 0, or 24 when index is out of range.
    int setText(int index, const char* text, size_t length);
    int setDouble(int index, double value);
    // An int64 of milliseconds since 1970 with the date hint.
    int setDate(int index, long long ms);
    // Drops the errors for the row's next use; the values stay, to be
    // overwritten or emptied.
    void clearErrors();

    int count() const { return _values.count; }
    // The value in slot index, or null for an empty slot or a bad index.
    Any* get(int index) const { return _values.get(index); }
    AnyArray* values() { return &_values; }
    const std::vector<Error*>& errors() const { return _errors; }

private:
    // The slot's value made ready to be overwritten (created when empty).
    Any* slot(int index) {
        if (index < 0 || index >= _values.count) return nullptr;
        Any*& v = _values.elements[index];
        if (v == nullptr) v = new Any();
        return v;
    }

    // A new text buffer holds at least this much; one up to
    // kKeptTextCapacity is always reused for a text that fits.
    static constexpr size_t kMinTextCapacity = 32;
    static constexpr size_t kKeptTextCapacity = 4096;

    AnyArray _values;
    std::vector<Error*> _errors;
};

// Copies n bytes. Most fields are a few bytes long: those are moved in two
// overlapping words, without a call into the library.
inline void csvCopyText(char* to, const char* from, size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        memcpy(&head, from, 8);
        memcpy(&tail, from + n - 8, 8);
        memcpy(to, &head, 8);
        memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        memcpy(&head, from, 4);
        memcpy(&tail, from + n - 4, 4);
        memcpy(to, &head, 4);
        memcpy(to + n - 4, &tail, 4);
    } else if (n > 0 && n < 4) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    } else if (n > 16) {
        memcpy(to, from, n);
    }
}

// Inline: it runs once for every text field the reader produces.
inline int CSVResultRow::setText(int index, const char* text, size_t length) {
    Any* v = slot(index);
    if (v == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    // A value's string is always malloc'ed (the value frees it with free),
    // whoever set it, so the allocator knows how much it holds: a text that
    // fits is written over it. A buffer far larger than the text is not
    // kept, so that one huge field does not pin its memory in a reused row.
    char* buffer = nullptr;
    if (!v->encoded && (v->type == ANY_STRING || v->type == ANY_CHAR) && v->value.s != nullptr) {
        size_t capacity = malloc_usable_size(v->value.s);
        if (capacity > length && (capacity <= kKeptTextCapacity || capacity / 4 <= length)) {
            buffer = v->value.s;
            v->value.s = nullptr;
        }
    }
    if (buffer == nullptr) {
        v->clear();
        // Room for somewhat longer texts of later lines in the same slot.
        buffer = static_cast<char*>(malloc(length < kMinTextCapacity ? kMinTextCapacity : length + 1));
    }
    csvCopyText(buffer, text, length);
    buffer[length] = '\0';
    v->type = ANY_STRING;
    v->hint = HINT_STRING;
    v->value.s = buffer;
    return 0;
}

#endif
