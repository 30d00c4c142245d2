#include "script/pattern_prototype.h"

#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "script/builtin_args.h"
#include "script/lex_pattern.h"

using namespace script_builtin;

int ZephanPatternPrototype::construct(Parser* parser, Any** args, Translatable** out) const {
    *out = nullptr;
    TextArg source;
    int rc = source.read(parser, arg(args, 0));
    if (rc != 0) return rc;
    *out = new ZephanPattern(source.text, 0);
    return 0;
}

int ZephanPatternPrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name,
                                         Any** args) {
    *result = nullptr;
    ZephanPattern* pattern = self != this ? dynamic_cast<ZephanPattern*>(self) : nullptr;
    // A host may call without a method name; that names no method here.
    if (pattern != nullptr && name != nullptr && strcmp(name, "test") == 0) {
        TextArg text;
        int rc = text.read(parser, arg(args, 0));
        if (rc != 0) return rc;
        *result = new Any(pattern->matches(text.text));
        return 0;
    }
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* ZephanPatternPrototype::toString(Parser*) {
    return strdup("[class ZephanPattern]");
}
