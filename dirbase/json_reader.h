// Reading JSON texts into values: numbers, strings, true, false, null,
// arrays (AnyArray) and objects (Attributes, which list the newest member
// first, so the last member of the text comes first; a repeated name keeps
// its first place and takes its last value). For tables and arguments that
// people write by hand.
//
// Thread-safety: a pure function; any thread.
#ifndef DRV_DIRBASE_JSON_READER_H
#define DRV_DIRBASE_JSON_READER_H

#include <string>

class Any;

// One JSON value as an Any: whole numbers become 32-bit integers when they
// fit, else 64-bit; other numbers doubles. Null with *error set to a
// description when the text is not one JSON value (nesting deeper than 64
// levels is refused).
Any* parseJsonValue(const char* text, std::string* error);

#endif
