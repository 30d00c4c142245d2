#include "script/location.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
char* copyOrNull(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}
}  // namespace

Location::Location(const char* fileName, const char* functionName, int line, int column)
    : fileName(copyOrNull(fileName)), functionName(copyOrNull(functionName)), line(line), column(column) {}

Location::Location(const Location& other)
    : Translatable(other),
      fileName(copyOrNull(other.fileName)),
      functionName(copyOrNull(other.functionName)),
      line(other.line),
      column(other.column) {}

Location::~Location() {
    free(fileName);
    free(functionName);
}

void Location::setFunctionName(const char* name) {
    free(functionName);
    functionName = copyOrNull(name);
}

char* Location::toString(Parser*) {
    char* text = nullptr;
    if (asprintf(&text, "(%s:%d:%d)", fileName != nullptr ? fileName : "", line, column) < 0) return nullptr;
    return text;
}
