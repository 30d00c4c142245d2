#include "script/error.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/string_builder.h"
#include "script/location.h"

Error::Error(Type type, int code, const char* message, Location** traceback)
    : type(type),
      code(code),
      message(strdup(message != nullptr ? message : DirError::getErrorDescription(code))),
      traceback(traceback) {}

Error::Error(const Error& other)
    : Translatable(other), type(other.type), code(other.code), message(strdup(other.message)), traceback(nullptr) {
    if (other.traceback == nullptr) return;
    size_t n = 0;
    while (other.traceback[n] != nullptr) ++n;
    traceback = new Location*[n + 1];
    for (size_t i = 0; i < n; ++i) traceback[i] = new Location(*other.traceback[i]);
    traceback[n] = nullptr;
}

Error::~Error() {
    free(message);
    if (traceback != nullptr) {
        for (Location** l = traceback; *l != nullptr; ++l) delete *l;
        delete[] traceback;
    }
}

const char* Error::typeName(int type) {
#define DRV_SCRIPT_ERROR_NAME(code, name) \
    case code: return #name;
    switch (type) { DRV_SCRIPT_ERROR_TYPES(DRV_SCRIPT_ERROR_NAME) }
#undef DRV_SCRIPT_ERROR_NAME
    return "Error";
}

int Error::getField(Parser* parser, Any** result, const char* name) const {
    const Location* first = firstLocation();
    if (strcmp(name, "name") == 0) {
        *result = new Any(typeName(type));
    } else if (strcmp(name, "message") == 0) {
        *result = new Any(DirError::getErrorDescription(code));
    } else if (strcmp(name, "fileName") == 0) {
        *result = first != nullptr ? new Any(first->fileName) : Any::makeUndefined();
    } else if (strcmp(name, "lineNumber") == 0) {
        *result = first != nullptr ? new Any(first->line) : Any::makeUndefined();
    } else if (strcmp(name, "columnNumber") == 0) {
        *result = first != nullptr ? new Any(first->column) : Any::makeUndefined();
    } else if (strcmp(name, "stack") == 0) {
        char* text = const_cast<Error*>(this)->toString(parser);
        *result = new Any(text);
        free(text);
    } else {
        return Translatable::getField(parser, result, name);
    }
    return 0;
}

char* Error::toString(Parser*) {
    StringBuilder out;
    out.append(typeName(type));
    out.append(": ");
    out.append(message != nullptr ? message : "");
    for (Location** l = traceback; l != nullptr && *l != nullptr; ++l) {
        const Location* at = *l;
        char* line = nullptr;
        int n = at->functionName != nullptr
                    ? asprintf(&line, "\n    at: %s (%s:%d:%d)", at->functionName,
                               at->fileName != nullptr ? at->fileName : "", at->line, at->column)
                    : asprintf(&line, "\n    at: %s:%d:%d", at->fileName != nullptr ? at->fileName : "", at->line,
                               at->column);
        if (n >= 0) {
            out.append(line);
            free(line);
        }
    }
    return out.take();
}

unsigned int Error::getObjectID() const {
    return OBJ_ERROR_ID;
}
