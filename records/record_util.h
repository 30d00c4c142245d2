// Small helpers shared by the record translators of this library: owned
// string copies and the read-a-field-or-keep-the-default step of optional
// fields.
#ifndef DRV_RECORDS_RECORD_UTIL_H
#define DRV_RECORDS_RECORD_UTIL_H

#include <stdlib.h>
#include <string.h>

#include "dirbase/message.h"

inline char* dupOrNull(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

// Replaces an owned string by a copy of s.
inline void setOwned(char*& field, const char* s) {
    char* copy = dupOrNull(s);
    free(field);
    field = copy;
}

// Optional fields: when the field is absent the value keeps its default and
// the message carries no error; any other failure stays set. Each returns
// the message's error afterwards.
template <class T, class Read>
int readOptional(MessageBase* m, unsigned int n, T* value, Read read) {
    if (!m->hasField(n)) return m->getError();
    return (m->*read)(n, value);
}

#endif
