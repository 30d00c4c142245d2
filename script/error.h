// Error: the script error object. The parser records a syntax error with
// one; evaluation records the first failure of a run with one; scripts read
// its fields ("name", "message", "fileName", "lineNumber", "columnNumber",
// "stack").
//
// Ownership: an error owns its message and its traceback (a null-terminated
// array of owned Locations, the failure point first).
// Thread-safety: none; an error belongs to the parser that recorded it, and
// copies are independent.
#ifndef DRV_SCRIPT_ERROR_H
#define DRV_SCRIPT_ERROR_H

#include "dirbase/translatable.h"

class Location;

const unsigned int OBJ_ERROR_ID = 9223;

// XX(code, name)
#define DRV_SCRIPT_ERROR_TYPES(XX) \
    XX(1, SyntaxError)             \
    XX(2, EvalError)               \
    XX(3, RangeError)              \
    XX(4, ReferenceError)          \
    XX(5, TypeError)               \
    XX(6, URIError)

class Error : public Translatable {
public:
#define DRV_SCRIPT_ERROR_ENUMERATOR(code, name) name = (code),
    enum Type { DRV_SCRIPT_ERROR_TYPES(DRV_SCRIPT_ERROR_ENUMERATOR) };
#undef DRV_SCRIPT_ERROR_ENUMERATOR

    // message is copied (null: the shared text of code); traceback (may be
    // null) is taken over.
    Error(Type type, int code, const char* message, Location** traceback);
    Error(const Error& other);
    Error& operator=(const Error&) = delete;
    ~Error() override;

    // "SyntaxError" ... "URIError"; "Error" for a number outside the table.
    static const char* typeName(int type);

    const Location* firstLocation() const { return traceback != nullptr ? traceback[0] : nullptr; }

    int getField(Parser* parser, Any** result, const char* name) const override;
    // "%s: %s" (type name, message), then per traceback entry a newline and
    // "    at: %s (%s:%d:%d)" or, without a function name, "    at: %s:%d:%d".
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    Type type;
    int code;
    char* message;
    Location** traceback;
};

#endif
