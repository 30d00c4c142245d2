// ZephanPattern: the script's regular-expression object, as far as the
// lexer needs it: a regular-expression literal is compiled at once into one
// (Java syntax over UTF-8, through io/regex_pattern.h) and the token holds a
// reference to it. Its script methods come with the built-in objects.
//
// Ownership: the pattern owns its compiled form. Reference-counted through
// ObjRef like every scriptable object.
// Thread-safety: used by one thread at a time; never changed once built.
#ifndef DRV_SCRIPT_LEX_PATTERN_H
#define DRV_SCRIPT_LEX_PATTERN_H

#include "dirbase/translatable.h"
#include "io/regex_pattern.h"

const unsigned int OBJ_ZEPHAN_PATTERN_ID = 9223;

class ZephanPattern : public Translatable {
public:
    // Flags of a literal; only the first two reach the compiler.
    enum Flags { IGNORE_CASE = 1, MULTI_LINE = 2, GLOBAL = 4 };

    // Compiles source; a pattern that does not compile still exists (failed).
    ZephanPattern(const char* source, int flags);
    ZephanPattern(const ZephanPattern&) = delete;
    ZephanPattern& operator=(const ZephanPattern&) = delete;

    bool failed() const { return _regex.failed(); }
    const char* errorText() const { return _regex.errorText(); }
    const char* source() const { return _regex.source(); }
    int flags() const { return _flags; }
    const RegexPattern& regex() const { return _regex; }

    // "/" source "/" and "i", "g", "m" for the flags set, in that order.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    int isEqual(const Principal* principal, bool* result, const Translatable* other) const override;

private:
    RegexPattern _regex;
    int _flags;
};

#endif
