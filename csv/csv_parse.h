// parseCSV: parses a whole CSV text held in memory into an Attributes tree,
// and the small pieces of CSV syntax that the streaming reader (HyperCSV)
// shares with it (the quote and separator characters, the byte-order mark,
// the field count of a text's first line).
//
// The result tree (owned by the caller):
//   "columns"   array of header texts (a column's texts from several header
//               lines joined by a newline)
//   "data"      array of rows, each an array of field strings
//   "totalRows" number of data rows
//   "warnings"  array of {"description", "line"} sets; only when there are any
//
// Thread-safety: pure functions of their arguments; safe from any thread.
#ifndef DRV_CSV_CSV_PARSE_H
#define DRV_CSV_CSV_PARSE_H

#include <stddef.h>

class Attributes;
class Error;

// One quote or separator character: the first UTF-8 sequence of the text
// given for it (1 to 4 bytes).
struct CSVDelimiter {
    unsigned char bytes[4];
    int length;

    // The first character of text; def (an ASCII character) when text is
    // null or empty. A malformed lead sequence is taken as its first byte.
    static CSVDelimiter of(const char* text, char def);
    // Whether the delimiter starts at p, with at least length bytes readable.
    bool at(const unsigned char* p) const {
        if (p[0] != bytes[0]) return false;
        for (int i = 1; i < length; i++)
            if (p[i] != bytes[i]) return false;
        return true;
    }
};

// Length of a UTF-8 byte-order mark at the start of the length bytes at p (0 or 3).
size_t csvBomLength(const unsigned char* p, size_t length);

// The number of fields of the first line of the length bytes at text that
// is not blank, counted by the streaming reader's line rules: a carriage
// return ends a line as a newline does, and a quoted field may hold either.
// A line that the bytes end in the middle of counts as far as it goes; 0
// when there is no such line. One pass, whatever precedes that line.
// *whole (when given) tells whether the line's end was among the bytes, so
// that a caller reading a file in parts knows when it has read enough.
int csvFirstLineFields(const char* text, size_t length, const char* quote, const char* separator,
                       bool* whole = nullptr);

// Parses text (UTF-8, up to its terminator). quote and separator give the
// first character of each (null or empty: '"' and ','); headerLines leading
// non-blank lines are headers. Returns null with *out set to a new tree,
// or a new Error (SyntaxError 28 for a text ending inside quotes, located at
// file "<input>" and the line and column where the text ended) with *out null.
Error* parseCSV(Attributes** out, const char* text, const char* quote, const char* separator, int headerLines);

#endif
