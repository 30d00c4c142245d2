#include "script/lex_pattern.h"

#include <string.h>

#include "dirbase/string_builder.h"

// The literal's m flag is Oniguruma's multi-line option (a dot also matches
// a line feed), which RegexPattern calls DOT_ALL; the global flag only
// changes how often the string methods search, so the compiler never sees it.
ZephanPattern::ZephanPattern(const char* source, int flags)
    : _regex(source, flags & (RegexPattern::IGNORE_CASE | RegexPattern::DOT_ALL)), _flags(flags) {}

char* ZephanPattern::toString(Parser*) {
    StringBuilder out;
    out.append("/");
    out.append(source() != nullptr ? source() : "");
    out.append("/");
    if (_flags & IGNORE_CASE) out.append("i");
    if (_flags & GLOBAL) out.append("g");
    if (_flags & MULTI_LINE) out.append("m");
    return out.take();
}

unsigned int ZephanPattern::getObjectID() const {
    return OBJ_ZEPHAN_PATTERN_ID;
}

int ZephanPattern::isEqual(const Principal*, bool* result, const Translatable* other) const {
    const ZephanPattern* p = dynamic_cast<const ZephanPattern*>(other);
    *result = p != nullptr && p->_flags == _flags &&
              strcmp(p->source() != nullptr ? p->source() : "", source() != nullptr ? source() : "") == 0;
    return 0;
}
