// Private to Any's own files (any.cpp, any_text.cpp, any_xlator.cpp): small
// helpers they share. Nothing outside dirbase/ includes this.
#ifndef DRV_DIRBASE_ANY_INTERNAL_H
#define DRV_DIRBASE_ANY_INTERNAL_H

#include <string.h>

#include "dirbase/any.h"

namespace any_internal {

// Logs the message and reports it as a broken invariant.
void fatal(const char* message, const char* file, int line);

// Kind codes that name the object id of an owned object.
inline bool isObjectKind(unsigned int t) {
    return t >= 11 && t != OBJ_ANYARRAY_ID;
}

inline char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

// Truncation toward zero that saturates instead of overflowing.
inline long long truncateToInt64(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return 9223372036854775807LL;
    if (d <= -9223372036854775808.0) return -9223372036854775807LL - 1;
    return static_cast<long long>(d);
}

// Deletes an object that a value held. Past a nesting limit the deletion
// waits for the outermost one on this thread, so that releasing a deeply
// nested value cannot overflow the stack.
void deleteNested(Translatable* obj);

// Compares two containers (arrays, or referenced objects) with compare,
// within the comparison under way on this thread: a pair met again in it is
// equal, and past a depth limit the answer is "unequal". So a value that
// holds itself, or that shares its parts many times, compares in bounded
// time and stack.
bool compareNested(const void* a, const void* b, bool (*compare)(const void*, const void*));

}  // namespace any_internal

#endif
