// Text utilities of the record code: StringBuilder, a growing C string, and
// ns_strtok_r, a tokenizer that keeps empty tokens.
#ifndef DRV_DIRBASE_STRING_BUILDER_H
#define DRV_DIRBASE_STRING_BUILDER_H

#include <stddef.h>

class StringBuilder {
public:
    // Passed as a length: up to the terminating NUL.
    static const size_t kToEnd = static_cast<size_t>(-1);

    StringBuilder() : used(0), allocated(0), buffer(nullptr) {}
    ~StringBuilder();
    StringBuilder(const StringBuilder&) = delete;
    StringBuilder& operator=(const StringBuilder&) = delete;

    void append(const char* text, size_t length);
    void append(const char* text) { append(text, kToEnd); }
    // Appends with every CR and LF byte left out.
    void appendNoNl(const char* text, size_t length);
    // The text so far; null while nothing was appended.
    const char* get() const { return buffer; }
    size_t length() const { return used; }
    // Hands the buffer over (free()) and empties the builder; an empty
    // builder gives a new empty string.
    char* take();
    void clear();

    size_t used;
    size_t allocated;
    char* buffer;

private:
    void reserve(size_t length);
};

// Like strtok_r, but empty tokens count: a token ends at the first delimiter
// byte (overwritten by NUL and skipped), consecutive delimiters give empty
// tokens, and null is returned once the remaining text is empty.
char* ns_strtok_r(char* text, const char* delimiters, char** save);

#endif
