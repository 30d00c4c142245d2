// Location: a place in a script (file name, function name, line, column).
// Syntax-tree nodes, tokens and error tracebacks carry them.
//
// Ownership: a location owns copies of its two names.
// Thread-safety: none; immutable after construction except setFunctionName.
#ifndef DRV_SCRIPT_LOCATION_H
#define DRV_SCRIPT_LOCATION_H

#include "dirbase/translatable.h"

class Location : public Translatable {
public:
    // Both names are copied; either may be null.
    Location(const char* fileName, const char* functionName, int line, int column);
    Location(const Location& other);
    Location& operator=(const Location&) = delete;
    ~Location() override;

    void setFunctionName(const char* name);
    // "(%s:%d:%d)": file, line, column.
    char* toString(Parser* parser) override;

    char* fileName;
    char* functionName;
    int line;
    int column;
};

#endif
