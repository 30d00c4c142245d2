// ZephanPatternPrototype: the class of the pattern objects (lex_pattern.h).
// `new ZephanPattern(text)` compiles the text's string form with no flags
// (a text that does not compile gives a pattern that matches nothing), and
// `pattern.test(text)` tells whether the pattern matches the whole text.
//
// Stateless; registered once and shared by every thread that runs scripts.
#ifndef DRV_SCRIPT_PATTERN_PROTOTYPE_H
#define DRV_SCRIPT_PATTERN_PROTOTYPE_H

#include "dirbase/translatable.h"

class ZephanPatternPrototype : public Translatable {
public:
    bool isPrototype() const override { return true; }
    // 48 without an argument, 49 when it has no string form.
    int construct(Parser* parser, Any** args, Translatable** out) const override;
    // test(text): a boolean; 48 / 49 for the argument; other names 111.
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override;
    char* toString(Parser* parser) override;
};

#endif
