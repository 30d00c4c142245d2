#include "dirbase/string_builder.h"

#include <stdlib.h>
#include <string.h>

StringBuilder::~StringBuilder() {
    free(buffer);
}

void StringBuilder::reserve(size_t length) {
    if (used + length + 1 > allocated) {
        // The old size plus what is appended plus a kilobyte of slack.
        allocated = allocated + length + 1025;
        buffer = static_cast<char*>(realloc(buffer, allocated));
    }
}

void StringBuilder::append(const char* text, size_t length) {
    if (text == nullptr) return;
    if (length == kToEnd) length = strlen(text);
    reserve(length);
    memcpy(buffer + used, text, length);
    used += length;
    buffer[used] = '\0';
}

void StringBuilder::appendNoNl(const char* text, size_t length) {
    if (text == nullptr) return;
    if (length == kToEnd) length = strlen(text);
    reserve(length);
    for (size_t i = 0; i < length; i++)
        if (text[i] != '\r' && text[i] != '\n') buffer[used++] = text[i];
    buffer[used] = '\0';
}

char* StringBuilder::take() {
    char* text = buffer != nullptr ? buffer : strdup("");
    used = 0;
    allocated = 0;
    buffer = nullptr;
    return text;
}

void StringBuilder::clear() {
    free(buffer);
    used = 0;
    allocated = 0;
    buffer = nullptr;
}

char* ns_strtok_r(char* text, const char* delimiters, char** save) {
    char* start = text != nullptr ? text : *save;
    if (start == nullptr || *start == '\0') {
        *save = start;
        return nullptr;
    }
    char* p = start;
    while (*p != '\0' && strchr(delimiters, *p) == nullptr) p++;
    if (*p != '\0') {
        *p = '\0';
        *save = p + 1;
    } else {
        *save = p;
    }
    return start;
}
