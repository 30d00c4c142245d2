#include "dirbase/any.h"

#include <stdlib.h>
#include <string.h>

Any::Any() : encoded(false), encodedLength(0), type(ANY_NULL), hint(HINT_NONE) {
    value.i64 = 0;
}

Any::Any(const char* text) : Any() {
    set(text);
}

Any::~Any() {
    clear();
}

Any* Any::makeUndefined() {
    Any* a = new Any();
    a->type = ANY_UNDEFINED;
    return a;
}

void Any::clear() {
    if (encoded) {
        free(value.bytes);
    } else if (type == ANY_STRING || type == ANY_CHAR) {
        free(value.s);
    }
    encoded = false;
    encodedLength = 0;
    type = ANY_NULL;
    hint = HINT_NONE;
    value.i64 = 0;
}

void Any::set(const char* text) {
    clear();
    type = ANY_STRING;
    hint = HINT_STRING;
    value.s = text != nullptr ? strdup(text) : nullptr;
}

const char* Any::getString() const {
    return !encoded && (type == ANY_STRING || type == ANY_CHAR) ? value.s : nullptr;
}

unsigned int Any::getObjectID() const {
    return OBJ_ANY_ID;
}
