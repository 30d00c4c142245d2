// Argument reading and result making shared by the built-in prototypes
// (strings, arrays, JSON, patterns). A method receives a null-terminated
// array of values; a missing argument is a null entry. These helpers turn an
// argument into the type a method wants and answer the shared error code
// when it cannot: 48 ("Missing Arguments") for an absent required argument,
// 49 ("Object cannot be converted to a useful type") for one that does not
// convert. Internal to the interpreter; pure functions, any thread.
#ifndef DRV_SCRIPT_BUILTIN_ARGS_H
#define DRV_SCRIPT_BUILTIN_ARGS_H

#include <stddef.h>
#include <stdlib.h>

#include "dirbase/any.h"

class ZephanPattern;

namespace script_builtin {

// The number of arguments before the terminating null.
int argCount(Any** args);
// args[i], or null when the list ends before it.
Any* arg(Any** args, int i);

// Whether v is a string value (either string kind, not encoded).
bool isText(const Any* v);

// The text form of a value used where a method wants a string: a string's
// own text, any other value's text form (every value has one). Owned copies
// only where a conversion was needed.
class TextArg {
public:
    TextArg() : text(nullptr), length(0), _owned(nullptr) {}
    ~TextArg() { free(_owned); }
    TextArg(const TextArg&) = delete;
    TextArg& operator=(const TextArg&) = delete;
    // 0, 48 when v is null, 49 when the value has no bounded text, 39 when
    // its text would be longer than a string may be (plainTextOf).
    int read(Parser* parser, const Any* v);
    const char* text;
    size_t length;

private:
    char* _owned;
};

// Integer arguments. With required false an absent argument leaves *out at
// its default and answers 0. A value that converts without producing a
// number (hint 1002) also leaves *out as it was, so *out must hold the
// default (or, for a required argument, a defined value) before the call.
int argInt64(Any** args, int i, bool required, long long* out);
int argInt32(Any** args, int i, bool required, int* out);

// The pattern object a value refers to, or null.
ZephanPattern* patternOf(const Any* v);

// A growing text that doubles its room (long results are built in linear
// time also where realloc cannot grow in place). take() hands the malloc'd,
// terminated text over and empties the buffer.
class TextBuffer {
public:
    TextBuffer() : _data(nullptr), _used(0), _room(0) {}
    ~TextBuffer() { free(_data); }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    void append(const char* text, size_t length) {
        if (_used + length + 1 > _room) grow(length);
        if (length > 0) __builtin_memcpy(_data + _used, text, length);
        _used += length;
    }
    void append(const char* text) { append(text, __builtin_strlen(text)); }
    size_t length() const { return _used; }
    char* take();

private:
    void grow(size_t length);
    char* _data;
    size_t _used;
    size_t _room;
};

// A new string value (hint 1) holding length bytes of data.
Any* newText(const char* data, size_t length);
// A new string value taking over text (malloc'd, terminated).
Any* adoptText(char* text);
// A new value referring to object (which gets its first count here when new).
Any* newReference(Translatable* object);

// What one piece of a split holds: its value, its slot and its text.
inline size_t pieceBytes(size_t length) {
    return sizeof(Any) + sizeof(Any*) + length + 1;
}

// Counts what a new array holds (its slots, its values and their texts)
// toward the run's next look at its memory (Parser::noteBuilt), so that
// arrays made in a short loop are looked at in time; parser may be null.
void noteNewArray(Parser* parser, const AnyArray* array);

}  // namespace script_builtin

#endif
